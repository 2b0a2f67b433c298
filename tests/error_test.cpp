// TessellaError: kind numbers, text forms, and agreement of operator<<, fmt and message().
#include "tessella/error.hpp"

#include <cstring>
#include <sstream>
#include <streambuf>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace tessella {
namespace {

std::string streamed(const TessellaError& err) {
  std::ostringstream os;
  os << err;
  return os.str();
}

// Every error the library produces, with the exact text a host shows for it.
struct TextCase {
  const char* name;
  TessellaError error;
  std::string_view text;
  std::size_t length;
};

const TextCase kTexts[] = {
    {"FormatTooShort", TessellaError::invalid_format("too short"),
     "invalid frame format: too short", 31},
    {"FormatAlg", TessellaError::invalid_format("alg"), "invalid frame format: alg", 25},
    {"FormatLength", TessellaError::invalid_format("length"), "invalid frame format: length", 28},
    {"FormatBounds", TessellaError::invalid_format("bounds"), "invalid frame format: bounds", 28},
    {"FormatAuthorPub", TessellaError::invalid_format("author_pub"),
     "invalid frame format: author_pub", 32},
    {"FormatWordCount", TessellaError::invalid_format("invalid word count"),
     "invalid frame format: invalid word count", 40},
    {"FormatMnemonic", TessellaError::invalid_format("invalid mnemonic"),
     "invalid frame format: invalid mnemonic", 38},
    {"SignatureInvalid", TessellaError(ErrorKind::SignatureInvalid),
     "signature verification failed", 29},
    {"AeadTagMismatch", TessellaError(ErrorKind::AeadTagMismatch), "aead tag mismatch", 17},
    {"NonceInvalid", TessellaError(ErrorKind::NonceInvalid), "nonce reuse or invalid nonce", 28},
    {"CapabilityInvalid", TessellaError(ErrorKind::CapabilityInvalid),
     "capability required or invalid", 30},
    {"PolicyViolation", TessellaError(ErrorKind::PolicyViolation), "policy violation", 16},
    {"KeyUnavailable", TessellaError(ErrorKind::KeyUnavailable), "key unavailable", 15},
    {"CryptoKdfEnc", TessellaError::crypto("kdf expand enc"), "crypto error: kdf expand enc", 28},
    {"CryptoKdfSign", TessellaError::crypto("kdf expand sign"), "crypto error: kdf expand sign",
     29},
    {"InternalAesGcmEncrypt", TessellaError::internal("aes-gcm encrypt"),
     "internal error: aes-gcm encrypt", 31},
    {"InternalChachaEncrypt", TessellaError::internal("chacha encrypt"),
     "internal error: chacha encrypt", 30},
    {"InternalAesGcmTooShort", TessellaError::internal("aes-gcm ct too short"),
     "internal error: aes-gcm ct too short", 36},
    {"InternalChachaTooShort", TessellaError::internal("chacha ct too short"),
     "internal error: chacha ct too short", 35},
    {"InternalCapSer", TessellaError::internal("cap ser"), "internal error: cap ser", 23},
    {"InternalMnemonic", TessellaError::internal("mnemonic generation failed"),
     "internal error: mnemonic generation failed", 42},
    {"InternalHmacKey", TessellaError::internal("hmac key init"), "internal error: hmac key init",
     29},
};

class ErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, StreamFmtAndMessageWriteTheSameExactText) {
  const TextCase& c = GetParam();
  EXPECT_EQ(streamed(c.error), c.text);
  EXPECT_EQ(fmt::format("{}", c.error), c.text);
  EXPECT_EQ(c.error.message(), c.text);
  EXPECT_EQ(streamed(c.error).size(), c.length);
  // No kind number, no line break, nothing around the text.
  EXPECT_EQ(fmt::format("[{}]", c.error), "[" + std::string(c.text) + "]");
}

TEST_P(ErrorText, DetailFollowsThePrefixDirectly) {
  const TextCase& c = GetParam();
  const std::string text = streamed(c.error);
  const std::string_view prefix = kind_text(c.error.kind());
  ASSERT_TRUE(text.starts_with(prefix)) << text;
  if (TessellaError::has_detail(c.error.kind())) {
    ASSERT_NE(c.error.detail(), nullptr);
    EXPECT_EQ(text.substr(prefix.size()), c.error.detail());
    EXPECT_EQ(prefix.back(), ' ');
    EXPECT_NE(prefix[prefix.size() - 2], ' ');  // exactly one blank before the detail
  } else {
    EXPECT_EQ(c.error.detail(), nullptr);
    EXPECT_EQ(text, prefix);
  }
}

INSTANTIATE_TEST_SUITE_P(AllLibraryErrors, ErrorText, ::testing::ValuesIn(kTexts),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Error, PrefixLengths) {
  EXPECT_EQ(kind_text(ErrorKind::InvalidFormat), "invalid frame format: ");
  EXPECT_EQ(kind_text(ErrorKind::InvalidFormat).size(), 22u);
  EXPECT_EQ(kind_text(ErrorKind::Crypto), "crypto error: ");
  EXPECT_EQ(kind_text(ErrorKind::Crypto).size(), 14u);
  EXPECT_EQ(kind_text(ErrorKind::Internal), "internal error: ");
  EXPECT_EQ(kind_text(ErrorKind::Internal).size(), 16u);
}

TEST(Error, KindNumbersAreStable) {
  EXPECT_EQ(static_cast<int>(ErrorKind::InvalidFormat), 0);
  EXPECT_EQ(static_cast<int>(ErrorKind::SignatureInvalid), 1);
  EXPECT_EQ(static_cast<int>(ErrorKind::AeadTagMismatch), 2);
  EXPECT_EQ(static_cast<int>(ErrorKind::NonceInvalid), 3);
  EXPECT_EQ(static_cast<int>(ErrorKind::CapabilityInvalid), 4);
  EXPECT_EQ(static_cast<int>(ErrorKind::PolicyViolation), 5);
  EXPECT_EQ(static_cast<int>(ErrorKind::KeyUnavailable), 6);
  EXPECT_EQ(static_cast<int>(ErrorKind::Crypto), 7);
  EXPECT_EQ(static_cast<int>(ErrorKind::Internal), 8);
}

TEST(Error, OnlyFormatCryptoAndInternalCarryADetail) {
  for (int k = 0; k <= 8; ++k) {
    const auto kind = static_cast<ErrorKind>(k);
    const bool expected = k == 0 || k == 7 || k == 8;
    EXPECT_EQ(TessellaError::has_detail(kind), expected) << "kind " << k;
  }
}

TEST(Error, KindsWithoutDetailNeverAppendOne) {
  for (int k = 1; k <= 6; ++k) {
    const TessellaError err(static_cast<ErrorKind>(k));
    EXPECT_EQ(err.detail(), nullptr) << "kind " << k;
    EXPECT_EQ(streamed(err), kind_text(err.kind())) << "kind " << k;
    EXPECT_EQ(err.kind(), static_cast<ErrorKind>(k));
  }
}

TEST(Error, NamedConstructorsSetKindAndDetail) {
  const auto f = TessellaError::invalid_format("bounds");
  EXPECT_EQ(f.kind(), ErrorKind::InvalidFormat);
  EXPECT_STREQ(f.detail(), "bounds");
  const auto c = TessellaError::crypto("kdf expand sign");
  EXPECT_EQ(c.kind(), ErrorKind::Crypto);
  EXPECT_STREQ(c.detail(), "kdf expand sign");
  const auto i = TessellaError::internal("cap ser");
  EXPECT_EQ(i.kind(), ErrorKind::Internal);
  EXPECT_STREQ(i.detail(), "cap ser");
}

TEST(Error, EqualityComparesKindAndDetailText) {
  // Equal details held at different addresses still compare equal.
  char copy[] = "too short";
  EXPECT_EQ(TessellaError::invalid_format("too short"), TessellaError::invalid_format(copy));
  EXPECT_FALSE(TessellaError::invalid_format("too short") == TessellaError::invalid_format("alg"));
  EXPECT_FALSE(TessellaError::internal("cap ser") == TessellaError::crypto("cap ser"));
  EXPECT_FALSE(TessellaError(ErrorKind::CapabilityInvalid) ==
               TessellaError(ErrorKind::PolicyViolation));
  EXPECT_EQ(TessellaError(ErrorKind::KeyUnavailable), TessellaError(ErrorKind::KeyUnavailable));
}

TEST(Error, IsAPlainValueCopiedBetweenThreads) {
  static_assert(std::is_trivially_copyable_v<TessellaError>);
  const TessellaError original = TessellaError::crypto("kdf expand enc");
  std::string seen;
  std::thread t([copy = original, &seen] { seen = streamed(copy); });
  t.join();
  EXPECT_EQ(seen, "crypto error: kdf expand enc");
}

// A sink that refuses every character.
class FailingBuf : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(Error, SinkFailureReachesTheCaller) {
  FailingBuf buf;
  std::ostream os(&buf);
  std::ostream& returned = os << TessellaError(ErrorKind::AeadTagMismatch);
  EXPECT_EQ(&returned, &os);
  EXPECT_TRUE(returned.bad());
  std::ostream os2(&buf);
  EXPECT_TRUE((os2 << TessellaError::internal("cap ser")).bad());
}

TEST(Error, FmtHonoursWidthLikeAnyString) {
  EXPECT_EQ(fmt::format("{:>20}", TessellaError(ErrorKind::PolicyViolation)),
            "    policy violation");
}

}  // namespace
}  // namespace tessella
