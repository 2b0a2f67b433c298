// Frames: wire format, associated data, seal/open/verify, byte-level sealing and verifying.
#include <gtest/gtest.h>

#include <random>

#include "tessella/tessella.hpp"
#include "vectors.hpp"

namespace tessella {
namespace {

using test::bytes_of;
using test::to_hex;

Seed seed_of(std::uint8_t v) {
  Seed s{};
  s.fill(v);
  return s;
}

// Everything seal_bytes takes, with editable defaults.
struct SealInputs {
  std::uint8_t alg = 1;
  std::uint8_t hdr2 = 7;
  std::uint8_t hdr3 = 9;
  Nonce nonce{};
  Timestamp ts{};
  PublicKey author{};
  PublicKey owner{};
  Cid prev_cid{};
  Bytes pol = {'p', 'o', 'l'};
  Bytes meta = {'{', '}'};
  Bytes plaintext = {'h', 'e', 'l', 'l', 'o'};
  Bytes key = Bytes(32, 0x42);
  SigningKey signer = signing_key_from_seed(seed_of(0x01));

  SealInputs() {
    for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(0xA0 + i);
    for (std::size_t i = 0; i < ts.size(); ++i) ts[i] = static_cast<std::uint8_t>(0x10 + i);
    author = verifying_key_bytes(signer);
    owner.fill(0x0E);
    prev_cid.fill(0xC1);
  }

  Result<SealedBytes> seal_to_bytes() const {
    return seal_bytes(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid, pol, meta, plaintext,
                      key, signer);
  }
  Result<SealedFrame> seal_record() const {
    return seal(alg, hdr2, hdr3, nonce, ts, author, owner, prev_cid, pol, meta, plaintext, key,
                signer);
  }
};

Bytes wire_of(const Frame& f) {
  auto w = serialize(f);
  EXPECT_TRUE(w.has_value());
  return w ? *w : Bytes{};
}

Frame random_frame(std::mt19937_64& rng, std::size_t max_section) {
  auto byte = [&] { return static_cast<std::uint8_t>(rng()); };
  auto fill = [&](auto& arr) {
    for (auto& b : arr) b = byte();
  };
  Frame f;
  f.version = byte();
  f.alg = (rng() & 1) ? 1 : 2;
  f.hdr2 = byte();
  f.hdr3 = byte();
  fill(f.nonce);
  fill(f.ts);
  fill(f.author);
  fill(f.owner);
  fill(f.prev_cid);
  f.pol.resize(rng() % (max_section + 1));
  f.meta.resize(rng() % (max_section + 1));
  f.ct.resize(rng() % (4 * max_section + 1));
  fill(f.pol);
  fill(f.meta);
  fill(f.ct);
  fill(f.tag);
  fill(f.sig);
  return f;
}

// ---------------------------------------------------------------------------------------------
// Wire format

Bytes header_bytes(std::size_t total, std::uint8_t alg, std::uint16_t p, std::uint16_t m,
                   std::uint32_t n) {
  Bytes b(total, 0);
  if (total > 1) b[1] = alg;
  if (total >= 136) {
    b[128] = static_cast<std::uint8_t>(p >> 8);
    b[129] = static_cast<std::uint8_t>(p);
    b[130] = static_cast<std::uint8_t>(m >> 8);
    b[131] = static_cast<std::uint8_t>(m);
    b[132] = static_cast<std::uint8_t>(n >> 24);
    b[133] = static_cast<std::uint8_t>(n >> 16);
    b[134] = static_cast<std::uint8_t>(n >> 8);
    b[135] = static_cast<std::uint8_t>(n);
  }
  return b;
}

struct ParseCase {
  const char* name;
  Bytes input;
  const char* detail;  // nullptr: parses
};

TEST(Deserialize, RefusesMalformedInputsInCheckOrder) {
  const ParseCase cases[] = {
      {"empty", {}, "too short"},
      {"135 bytes", header_bytes(135, 1, 0, 0, 0), "too short"},
      {"135 bytes with bad alg", header_bytes(135, 9, 0, 0, 0), "too short"},
      {"136 bytes, alg 1, empty sections", header_bytes(136, 1, 0, 0, 0), "length"},
      {"215 bytes, empty sections", header_bytes(215, 2, 0, 0, 0), "length"},
      {"216 bytes, alg 2, empty sections", header_bytes(216, 2, 0, 0, 0), nullptr},
      {"216 bytes, alg 1, empty sections", header_bytes(216, 1, 0, 0, 0), nullptr},
      {"200 bytes, alg 0", header_bytes(200, 0, 0, 0, 0), "alg"},
      {"200 bytes, alg 3", header_bytes(200, 3, 0, 0, 0), "alg"},
      {"200 bytes, alg 255, huge lengths", header_bytes(200, 255, 0xFFFF, 0xFFFF, 0xFFFFFFFF), "alg"},
      {"pol of 258 bytes missing", header_bytes(216 + 257, 1, 0x0102, 0, 0), "length"},
      {"pol of 258 bytes present", header_bytes(216 + 258, 1, 0x0102, 0, 0), nullptr},
      {"meta of 1 byte missing", header_bytes(216, 1, 0, 1, 0), "length"},
      {"ct of 2^32-1 bytes missing", header_bytes(4096, 2, 0, 0, 0xFFFFFFFF), "length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = deserialize(c.input);
    if (c.detail == nullptr) {
      ASSERT_TRUE(r.has_value()) << r.error();
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error(), TessellaError::invalid_format(c.detail));
      EXPECT_EQ(r.error().message(), std::string("invalid frame format: ") + c.detail);
    }
  }
}

TEST(Deserialize, LengthsAreBigEndian) {
  Bytes in = header_bytes(216 + 258, 1, 0x0102, 0, 0);
  for (std::size_t i = 0; i < 258; ++i) in[136 + i] = static_cast<std::uint8_t>(i);
  auto f = deserialize(in);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->pol.size(), 258u);
  EXPECT_EQ(f->pol[257], 257 % 256);
  EXPECT_TRUE(f->meta.empty());
  EXPECT_TRUE(f->ct.empty());
}

TEST(Deserialize, CarriesUncheckedHeaderBytes) {
  for (std::uint8_t version : {0, 1, 255}) {
    for (std::uint8_t hdr : {0, 0x5A, 255}) {
      Bytes in = header_bytes(216, 2, 0, 0, 0);
      in[0] = version;
      in[2] = hdr;
      in[3] = static_cast<std::uint8_t>(~hdr);
      auto f = deserialize(in);
      ASSERT_TRUE(f.has_value());
      EXPECT_EQ(f->version, version);
      EXPECT_EQ(f->hdr2, hdr);
      EXPECT_EQ(f->hdr3, static_cast<std::uint8_t>(~hdr));
      EXPECT_EQ(wire_of(*f), in);
    }
  }
}

TEST(Deserialize, SectionsLandInTheirFields) {
  Bytes in = header_bytes(216 + 3 + 2 + 4, 1, 3, 2, 4);
  const Bytes body = {'a', 'b', 'c', 'd', 'e', 1, 2, 3, 4};
  std::copy(body.begin(), body.end(), in.begin() + 136);
  for (std::size_t i = 0; i < 80; ++i) in[145 + i] = static_cast<std::uint8_t>(0x80 + i);
  auto f = deserialize(in);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->pol, (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(f->meta, (Bytes{'d', 'e'}));
  EXPECT_EQ(f->ct, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(f->tag[0], 0x80);
  EXPECT_EQ(f->tag[15], 0x8F);
  EXPECT_EQ(f->sig[0], 0x90);
  EXPECT_EQ(f->sig[63], 0xCF);
}

TEST(Serialize, RandomFramesRoundTripAndIgnoreTrailingBytes) {
  const auto seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 300; ++i) {
    const Frame f = random_frame(rng, i < 250 ? 40 : 3000);
    const Bytes wire = wire_of(f);
    ASSERT_EQ(wire.size(), 216 + f.pol.size() + f.meta.size() + f.ct.size());
    auto back = deserialize(wire);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, f);

    Bytes longer = wire;
    const std::size_t extra = rng() % 300;
    for (std::size_t k = 0; k < extra; ++k) longer.push_back(static_cast<std::uint8_t>(rng()));
    auto again = deserialize(longer);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, f);
    EXPECT_EQ(wire_of(*again), wire);

    // Any cut inside the frame is refused.
    if (!wire.empty()) {
      const std::size_t cut = rng() % wire.size();
      EXPECT_FALSE(deserialize(ByteView(wire).first(cut)).has_value()) << "cut at " << cut;
    }
  }
}

TEST(Serialize, RefusesSectionsThatDoNotFitTheLengthFields) {
  Frame f;
  f.pol.assign(kMaxSectionSize, 1);
  f.meta.assign(kMaxSectionSize, 2);
  auto max = serialize(f);
  ASSERT_TRUE(max.has_value());
  EXPECT_EQ((*max)[128], 0xFF);
  EXPECT_EQ((*max)[131], 0xFF);

  for (int which = 0; which < 2; ++which) {
    Frame big;
    (which == 0 ? big.pol : big.meta).assign(kMaxSectionSize + 1, 0);
    EXPECT_EQ(serialize(big).error(), TessellaError::invalid_format("section too long"));
    EXPECT_EQ(aad_bytes(big, 0).error(), TessellaError::invalid_format("section too long"));
    EXPECT_FALSE(fits_wire_format(big));
  }
}

// ---------------------------------------------------------------------------------------------
// Associated data

TEST(AadBytes, IsTheWirePrefixWithTheGivenLength) {
  Frame f;
  auto aad = aad_bytes(f, 5);
  ASSERT_TRUE(aad.has_value());
  ASSERT_EQ(aad->size(), 136u);
  EXPECT_EQ(to_hex(ByteView(*aad).subspan(132)), "00000005");

  const auto seed = std::random_device{}();
  SCOPED_TRACE(::testing::Message() << "seed " << seed);
  std::mt19937_64 rng(seed);
  for (int i = 0; i < 50; ++i) {
    Frame r = random_frame(rng, 100);
    const Bytes wire = wire_of(r);
    auto a = aad_bytes(r, static_cast<std::uint32_t>(r.ct.size()));
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(*a, Bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(a->size())));
    auto other = aad_bytes(r, 0x01020304);
    EXPECT_EQ(to_hex(ByteView(*other).subspan(132, 4)), "01020304");
  }
}

// ---------------------------------------------------------------------------------------------
// Seal, open, verify

class SealAlg : public ::testing::TestWithParam<std::uint8_t> {};
INSTANTIATE_TEST_SUITE_P(BothAlgorithms, SealAlg, ::testing::Values(1, 2),
                         [](const auto& info) { return info.param == 1 ? "AesGcm" : "ChaCha20"; });

TEST_P(SealAlg, RoundTripsPayloadsAndSections) {
  struct Shape {
    std::size_t pol, meta, plaintext;
  };
  const Shape shapes[] = {{0, 0, 0}, {3, 2, 5}, {0, 0, 1 << 20}, {65535, 65535, 1000}, {1, 65535, 0}};
  for (const auto& s : shapes) {
    SCOPED_TRACE(::testing::Message() << s.pol << "/" << s.meta << "/" << s.plaintext);
    SealInputs in;
    in.alg = GetParam();
    in.pol.assign(s.pol, 'p');
    in.meta.assign(s.meta, 'm');
    in.plaintext.resize(s.plaintext);
    for (std::size_t i = 0; i < s.plaintext; ++i) in.plaintext[i] = static_cast<std::uint8_t>(i * 7);

    auto rec = in.seal_record();
    ASSERT_TRUE(rec.has_value()) << rec.error();
    const Frame& f = rec->frame;
    EXPECT_EQ(f.version, 1);
    EXPECT_EQ(f.alg, in.alg);
    EXPECT_EQ(f.hdr2, in.hdr2);
    EXPECT_EQ(f.hdr3, in.hdr3);
    EXPECT_EQ(f.nonce, in.nonce);
    EXPECT_EQ(f.ts, in.ts);
    EXPECT_EQ(f.author, in.author);
    EXPECT_EQ(f.owner, in.owner);
    EXPECT_EQ(f.prev_cid, in.prev_cid);
    EXPECT_EQ(f.pol, in.pol);
    EXPECT_EQ(f.meta, in.meta);
    EXPECT_EQ(f.ct.size(), in.plaintext.size());
    if (!in.plaintext.empty()) EXPECT_NE(f.ct, in.plaintext);

    // The byte path and the record path give the same frame and identifier.
    auto bytes = in.seal_to_bytes();
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(bytes->bytes, wire_of(f));
    EXPECT_EQ(bytes->cid, rec->cid);
    EXPECT_EQ(bytes->cid, cid_blake3(bytes->bytes));

    auto pt = open(f, in.key, true);
    ASSERT_TRUE(pt.has_value()) << pt.error();
    EXPECT_EQ(*pt, in.plaintext);
    auto pt2 = open_bytes(bytes->bytes, in.key, std::nullopt, std::nullopt);
    ASSERT_TRUE(pt2.has_value()) << pt2.error();
    EXPECT_EQ(*pt2, in.plaintext);

    auto report = verify(f, in.signer.verifying_key());
    ASSERT_TRUE(report.has_value());
    EXPECT_TRUE(report->valid);
    EXPECT_EQ(report->reason, nullptr);
    EXPECT_EQ(report->cid, rec->cid);
    auto report2 = verify_bytes(bytes->bytes);
    ASSERT_TRUE(report2.has_value());
    EXPECT_EQ(*report2, *report);
  }
}

TEST_P(SealAlg, IsDeterministicForOneNonceAndChangesWithIt) {
  SealInputs in;
  in.alg = GetParam();
  auto a = in.seal_to_bytes();
  auto b = in.seal_to_bytes();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->bytes, b->bytes);
  EXPECT_EQ(a->cid, b->cid);

  in.nonce[11] ^= 1;
  auto c = in.seal_to_bytes();
  ASSERT_TRUE(c.has_value());
  auto fa = deserialize(a->bytes), fc = deserialize(c->bytes);
  EXPECT_NE(fa->ct, fc->ct);
  EXPECT_NE(fa->tag, fc->tag);
  EXPECT_NE(fa->sig, fc->sig);
  EXPECT_NE(a->cid, c->cid);
}

TEST_P(SealAlg, RefusesBadKeysAndOversizedInputsUpFront) {
  for (std::size_t len : {0, 16, 31, 33, 64}) {
    SealInputs in;
    in.alg = GetParam();
    in.key.assign(len, 1);
    EXPECT_EQ(in.seal_to_bytes().error(), TessellaError(ErrorKind::KeyUnavailable)) << len;
    EXPECT_EQ(in.seal_record().error(), TessellaError(ErrorKind::KeyUnavailable)) << len;
  }
  SealInputs big;
  big.alg = GetParam();
  big.meta.assign(kMaxSectionSize + 1, '{');
  EXPECT_EQ(big.seal_to_bytes().error(), TessellaError::invalid_format("section too long"));
  big.meta.clear();
  big.pol.assign(kMaxSectionSize + 1, 'x');
  big.key.assign(5, 0);  // the length check comes before the key check
  EXPECT_EQ(big.seal_record().error(), TessellaError::invalid_format("section too long"));
}

TEST(Seal, RefusesAlgorithmsTheReaderWouldRefuse) {
  for (int alg : {0, 3, 4, 255}) {
    SealInputs in;
    in.alg = static_cast<std::uint8_t>(alg);
    in.key.assign(3, 0);  // the algorithm is checked before anything else
    EXPECT_EQ(in.seal_to_bytes().error(), TessellaError::invalid_format("alg")) << alg;
    EXPECT_EQ(in.seal_record().error(), TessellaError::invalid_format("alg")) << alg;
  }
}

TEST(Seal, AuthorIsNotCheckedAgainstTheSigner) {
  SealInputs in;
  in.author = verifying_key_bytes(signing_key_from_seed(seed_of(0x77)));
  auto sealed = in.seal_to_bytes();
  ASSERT_TRUE(sealed.has_value());
  auto report = verify_bytes(sealed->bytes);
  ASSERT_TRUE(report.has_value());
  EXPECT_FALSE(report->valid);
  EXPECT_STREQ(report->reason, "signature");
  EXPECT_EQ(report->cid, sealed->cid);
  // Checked against the real signer's key it holds.
  auto frame = deserialize(sealed->bytes);
  EXPECT_TRUE(verify(*frame, in.signer.verifying_key())->valid);
}

TEST(Open, CapabilityVerdictComesFirst) {
  SealInputs in;
  auto rec = in.seal_record();
  ASSERT_TRUE(rec.has_value());
  EXPECT_EQ(open(rec->frame, Bytes(3, 0), false).error(),
            TessellaError(ErrorKind::CapabilityInvalid));
  EXPECT_EQ(open(rec->frame, Bytes(3, 0), true).error(), TessellaError(ErrorKind::KeyUnavailable));
  EXPECT_EQ(open(rec->frame, Bytes(32, 0), true).error(),
            TessellaError(ErrorKind::AeadTagMismatch));
  Frame other_alg = rec->frame;
  other_alg.alg = 2;
  EXPECT_EQ(open(other_alg, in.key, true).error(), TessellaError(ErrorKind::AeadTagMismatch));
}

TEST(Verify, OtherKeyKeepsTheIdentifier) {
  SealInputs in;
  auto rec = in.seal_record();
  ASSERT_TRUE(rec.has_value());
  auto other = signing_key_from_seed(seed_of(0x55));
  auto good = verify(rec->frame, in.signer.verifying_key());
  auto bad = verify(rec->frame, other.verifying_key());
  ASSERT_TRUE(good && bad);
  EXPECT_TRUE(good->valid);
  EXPECT_FALSE(bad->valid);
  EXPECT_STREQ(bad->reason, "signature");
  EXPECT_EQ(good->cid, bad->cid);
}

TEST(Verify, ZeroedSignatureStillOpensButNoLongerVerifies) {
  for (std::uint8_t alg : {1, 2}) {
    SealInputs in;
    in.alg = alg;
    auto sealed = in.seal_to_bytes();
    ASSERT_TRUE(sealed.has_value());
    Bytes zeroed = sealed->bytes;
    std::fill(zeroed.end() - 64, zeroed.end(), 0);
    EXPECT_TRUE(open_bytes(zeroed, in.key, std::nullopt, std::nullopt).has_value());
    auto report = verify_bytes(zeroed);
    ASSERT_TRUE(report.has_value());
    EXPECT_FALSE(report->valid);
    EXPECT_NE(report->cid, sealed->cid);
    EXPECT_EQ(report->cid, cid_blake3(zeroed));
  }
}

// ---------------------------------------------------------------------------------------------
// Tamper matrix: one bit of every field, both algorithms.

struct Field {
  const char* name;
  std::size_t offset;  // into a frame with pol "pol", meta "{}", a 5-byte plaintext
  std::size_t length;
};

enum class Expect {
  AltersAuthenticatedBytes,  // open: AeadTagMismatch; verify: invalid
  ParseFailsAlg,             // the parser refuses the alg byte
  SignatureOnly,             // open succeeds; verify invalid
  AuthorKey,                 // verify: invalid or "author_pub"; open: AeadTagMismatch
  LengthField,               // the layout moves: parse fails or open and verify fail
};

class Tamper : public ::testing::TestWithParam<std::tuple<std::uint8_t, int>> {};

const Field kFields[] = {
    {"version", 0, 1},    {"alg", 1, 1},       {"hdr2", 2, 1},       {"hdr3", 3, 1},
    {"nonce", 4, 12},     {"ts", 16, 16},      {"author", 32, 32},   {"owner", 64, 32},
    {"prev_cid", 96, 32}, {"pol_len", 128, 2}, {"meta_len", 130, 2}, {"ct_len", 132, 4},
    {"pol", 136, 3},      {"meta", 139, 2},    {"ct", 141, 5},       {"tag", 146, 16},
    {"sig", 162, 64},
};

Expect expectation(std::string_view name) {
  if (name == "alg") return Expect::ParseFailsAlg;
  if (name == "sig") return Expect::SignatureOnly;
  if (name == "author") return Expect::AuthorKey;
  if (name.ends_with("_len")) return Expect::LengthField;
  return Expect::AltersAuthenticatedBytes;
}

TEST_P(Tamper, EveryBitOfEveryField) {
  const auto [alg, field_index] = GetParam();
  const Field& field = kFields[field_index];
  SealInputs in;
  in.alg = alg;
  auto sealed = in.seal_to_bytes();
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->bytes.size(), 226u);
  const Expect expect = expectation(field.name);

  for (std::size_t byte = field.offset; byte < field.offset + field.length; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      SCOPED_TRACE(::testing::Message() << field.name << " byte " << byte << " bit " << bit);
      Bytes t = sealed->bytes;
      t[byte] ^= static_cast<std::uint8_t>(1u << bit);
      auto parsed = deserialize(t);
      auto opened = open_bytes(t, in.key, std::nullopt, std::nullopt);
      auto report = verify_bytes(t);
      switch (expect) {
        case Expect::ParseFailsAlg:
          EXPECT_EQ(parsed.error(), TessellaError::invalid_format("alg"));
          EXPECT_EQ(opened.error(), TessellaError::invalid_format("alg"));
          EXPECT_EQ(report.error(), TessellaError::invalid_format("alg"));
          break;
        case Expect::SignatureOnly:
          ASSERT_TRUE(opened.has_value());
          EXPECT_EQ(*opened, in.plaintext);
          ASSERT_TRUE(report.has_value());
          EXPECT_FALSE(report->valid);
          EXPECT_NE(report->cid, sealed->cid);
          break;
        case Expect::AltersAuthenticatedBytes:
          ASSERT_TRUE(parsed.has_value());
          EXPECT_EQ(open(*parsed, in.key, true).error(), TessellaError(ErrorKind::AeadTagMismatch));
          EXPECT_EQ(opened.error(), TessellaError(ErrorKind::AeadTagMismatch));
          ASSERT_TRUE(report.has_value());
          EXPECT_FALSE(report->valid);
          EXPECT_STREQ(report->reason, "signature");
          EXPECT_NE(report->cid, sealed->cid);
          break;
        case Expect::AuthorKey:
          EXPECT_EQ(opened.error(), TessellaError(ErrorKind::AeadTagMismatch));
          if (report.has_value()) {
            EXPECT_FALSE(report->valid);
          } else {
            EXPECT_EQ(report.error(), TessellaError::invalid_format("author_pub"));
          }
          break;
        case Expect::LengthField:
          if (parsed.has_value()) {
            EXPECT_FALSE(opened.has_value());
            ASSERT_TRUE(report.has_value() || report.error().kind() == ErrorKind::InvalidFormat);
            if (report.has_value()) EXPECT_FALSE(report->valid);
          } else {
            EXPECT_EQ(parsed.error(), TessellaError::invalid_format("length"));
          }
          break;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    AllFields, Tamper,
    ::testing::Combine(::testing::Values(1, 2), ::testing::Range(0, static_cast<int>(std::size(kFields)))),
    [](const auto& info) {
      return std::string(std::get<0>(info.param) == 1 ? "AesGcm_" : "ChaCha20_") +
             kFields[std::get<1>(info.param)].name;
    });

// ---------------------------------------------------------------------------------------------
// Byte-level verification

TEST(VerifyBytes, TrailingBytesDoNotChangeTheReport) {
  SealInputs in;
  auto sealed = in.seal_to_bytes();
  ASSERT_TRUE(sealed.has_value());
  Bytes longer = sealed->bytes;
  longer.insert(longer.end(), {1, 2, 3, 4, 5, 6, 7});
  auto a = verify_bytes(sealed->bytes);
  auto b = verify_bytes(longer);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(b->valid);
  EXPECT_EQ(b->cid, sealed->cid);
  EXPECT_EQ(*a, *b);
}

TEST(VerifyBytes, AuthorThatIsNotACurvePointIsRefused) {
  // y = 2 has no matching x on edwards25519; y = p (non-canonical) and x = 0 with the sign bit
  // set are refused by the strict decoding too.
  const std::string authors[] = {
      "0200000000000000000000000000000000000000000000000000000000000000",
      "edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f",
      "0100000000000000000000000000000000000000000000000000000000000080",
  };
  for (const auto& hex : authors) {
    SCOPED_TRACE(hex);
    SealInputs in;
    in.author = test::array_from_hex<32>(hex);
    auto sealed = in.seal_to_bytes();
    ASSERT_TRUE(sealed.has_value());
    EXPECT_EQ(verify_bytes(sealed->bytes).error(), TessellaError::invalid_format("author_pub"));
  }
  // A small-order point is a valid key: the report is simply invalid.
  SealInputs in;
  in.author = test::array_from_hex<32>(
      "0100000000000000000000000000000000000000000000000000000000000000");
  auto sealed = in.seal_to_bytes();
  auto report = verify_bytes(sealed->bytes);
  ASSERT_TRUE(report.has_value());
  EXPECT_FALSE(report->valid);
}

TEST(VerifyBytes, ShortInputIsTheParsersError) {
  EXPECT_EQ(verify_bytes(Bytes(100, 1)).error(), TessellaError::invalid_format("too short"));
  EXPECT_EQ(verify_bytes(header_bytes(300, 1, 0, 0, 200)).error(),
            TessellaError::invalid_format("length"));
}

// ---------------------------------------------------------------------------------------------
// Ownership transfer

TEST(Transfer, HasTheFixedTemplateAndWireForm) {
  Cid prev;
  PublicKey owner;
  for (std::size_t i = 0; i < 32; ++i) {
    prev[i] = static_cast<std::uint8_t>(0xC0 + i);
    owner[i] = static_cast<std::uint8_t>(0x10 + i);
  }
  const Frame f = transfer(prev, owner);
  EXPECT_EQ(f.owner, owner);
  EXPECT_EQ(f.prev_cid, prev);
  EXPECT_EQ(f, transfer(prev, owner));

  const Bytes wire = wire_of(f);
  ASSERT_EQ(wire.size(), 216u);
  std::string expected = "01020100" + std::string(120, '0') + to_hex(owner) + to_hex(prev) +
                         std::string(16, '0') + std::string(160, '0');
  EXPECT_EQ(to_hex(wire), expected);
  auto back = deserialize(wire);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, f);
}

}  // namespace
}  // namespace tessella
