// TessellaError: the kind number and exact text of every kind of error, through operator<<, fmt
// (with a width) and message().
#include "tessella/fmt.hpp"
#include "tessella/error.hpp"

#include <sstream>
#include <tuple>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace tessella {
namespace {

TEST(Error, KindNumberAndExactText) {
  const struct { TessellaError error; int kind; const char* text; } cases[] = {
      {TessellaError::invalid_format("too short"), 0, "invalid frame format: too short"},
      {TessellaError(ErrorKind::InvalidFormat), 0, "invalid frame format: unspecified"},
      {TessellaError(ErrorKind::SignatureInvalid), 1, "signature verification failed"},
      {TessellaError(ErrorKind::AeadTagMismatch), 2, "aead tag mismatch"},
      {TessellaError(ErrorKind::NonceInvalid), 3, "nonce reuse or invalid nonce"},
      {TessellaError(ErrorKind::CapabilityInvalid), 4, "capability required or invalid"},
      {TessellaError(ErrorKind::PolicyViolation), 5, "policy violation"},
      {TessellaError(ErrorKind::KeyUnavailable), 6, "key unavailable"},
      {TessellaError::crypto("kdf expand enc"), 7, "crypto error: kdf expand enc"},
      {TessellaError::internal("cap ser"), 8, "internal error: cap ser"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.error.kind()), c.kind) << c.text;
    std::ostringstream os;
    os << c.error;
    EXPECT_EQ(std::tuple(os.str(), fmt::format("{:>40}", c.error), c.error.message()),
              std::tuple(c.text, fmt::format("{:>40}", c.text), c.text));
    // Kinds 0, 7 and 8 carry a detail after their prefix; the others are the prefix alone.
    const bool detailed = c.kind == 0 || c.kind == 7 || c.kind == 8;
    EXPECT_EQ(TessellaError::has_detail(c.error.kind()), detailed) << c.text;
    EXPECT_TRUE(detailed || c.error.detail() == nullptr) << c.text;
  }
}

}  // namespace
}  // namespace tessella
