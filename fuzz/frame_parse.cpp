// Frame wire format: deserialize against the layout read by hand, and the round trip
// deserialize -> serialize -> deserialize.
#include <cstdint>
#include <cstring>

#include "fuzz_support.hpp"
#include "tessella/frame.hpp"

using namespace tessella;
using tessella_fuzz::same_bytes;

namespace {

std::uint64_t be(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

bool same_error(const TessellaError& e, const char* detail) {
  return e.kind() == ErrorKind::InvalidFormat && e.detail() != nullptr &&
         std::strcmp(e.detail(), detail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  const auto frame = deserialize(in);

  // The outcome the layout dictates: the first failing check, in order.
  if (size < 136) {
    FUZZ_CHECK(!frame && same_error(frame.error(), "too short"));
    return 0;
  }
  if (data[1] != 1 && data[1] != 2) {
    FUZZ_CHECK(!frame && same_error(frame.error(), "alg"));
    return 0;
  }
  const std::uint64_t p = be(data + 128, 2);
  const std::uint64_t m = be(data + 130, 2);
  const std::uint64_t n = be(data + 132, 4);
  const std::uint64_t total = 216 + p + m + n;
  if (size < total) {
    FUZZ_CHECK(!frame && same_error(frame.error(), "length"));
    return 0;
  }
  FUZZ_CHECK(frame.has_value());

  const Frame& f = *frame;
  FUZZ_CHECK(f.version == data[0] && f.alg == data[1] && f.hdr2 == data[2] && f.hdr3 == data[3]);
  FUZZ_CHECK(f.pol.size() == p && f.meta.size() == m && f.ct.size() == n);
  FUZZ_CHECK(same_bytes(f.pol, in.subspan(136, p)));
  FUZZ_CHECK(same_bytes(f.meta, in.subspan(136 + p, m)));
  FUZZ_CHECK(same_bytes(f.sig, in.subspan(total - 64, 64)));
  FUZZ_CHECK(fits_wire_format(f));

  // Re-serializing gives exactly the frame's own bytes: the input without what follows them.
  const auto wire = serialize(f);
  FUZZ_CHECK(wire.has_value());
  FUZZ_CHECK(same_bytes(*wire, in.first(total)));

  // The associated data is the prefix up to the end of meta.
  const auto aad = aad_bytes(f, static_cast<std::uint32_t>(n));
  FUZZ_CHECK(aad.has_value() && same_bytes(*aad, in.first(136 + p + m)));

  // Parsing the canonical bytes again gives the same frame.
  const auto again = deserialize(*wire);
  FUZZ_CHECK(again.has_value() && *again == f);
  return 0;
}
