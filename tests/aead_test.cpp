// AES-256-GCM and ChaCha20-Poly1305: published vectors, key sizes, tampering, limits.
#include "tessella/aead.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "vectors.hpp"

namespace tessella {
namespace {

using test::from_hex;
using test::to_hex;

const AesGcmImpl kGcm;
const ChaCha20Impl kChaCha;

struct Algorithm {
  const char* name;
  std::uint8_t alg;  // the frame's algorithm identifier
  const AeadImpl* impl;
};

const Algorithm kAlgorithms[] = {
    {"AesGcm", kAlgAesGcm, &kGcm},
    {"ChaCha20Poly1305", kAlgChaCha20, &kChaCha},
};

Nonce nonce_from_hex(std::string_view hex) { return test::array_from_hex<kNonceSize>(hex); }
Tag tag_from_hex(std::string_view hex) { return test::array_from_hex<kTagSize>(hex); }

// A fixed-size array from bytes read out of a vector file; a wrong length fails the test.
template <std::size_t N>
std::array<std::uint8_t, N> fixed(const Bytes& b, const std::string& where) {
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(b.size(), N) << where;
  std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
  return out;
}

Bytes key_of(std::uint8_t first) {
  Bytes key(kKeySize);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + 7 * i);
  return key;
}

const Nonce kNonce = {0xca, 0xfe, 0xba, 0xbe, 0xfa, 0xce, 0xdb, 0xad, 0xde, 0xca, 0xf8, 0x88};

// Checks one published encryption both ways: encrypt gives (ct, tag), decrypt gives pt.
void expect_vector(const AeadImpl& impl, const Bytes& key, const Nonce& nonce, const Bytes& aad,
                   const Bytes& pt, const Bytes& ct, const Tag& tag, const std::string& where) {
  auto sealed = impl.encrypt(key, nonce, aad, pt);
  ASSERT_TRUE(sealed.has_value()) << where << ": " << sealed.error();
  EXPECT_EQ(to_hex(sealed->ct), to_hex(ct)) << where;
  EXPECT_EQ(to_hex(sealed->tag), to_hex(tag)) << where;
  auto opened = impl.decrypt(key, nonce, aad, ct, tag);
  ASSERT_TRUE(opened.has_value()) << where << ": " << opened.error();
  EXPECT_EQ(to_hex(*opened), to_hex(pt)) << where;
}

// Checks that a published forgery is refused as a tag mismatch.
void expect_refused(const AeadImpl& impl, const Bytes& key, const Nonce& nonce, const Bytes& aad,
                    const Bytes& ct, const Tag& tag, const std::string& where) {
  auto opened = impl.decrypt(key, nonce, aad, ct, tag);
  ASSERT_FALSE(opened.has_value()) << where << ": forgery accepted";
  EXPECT_EQ(opened.error(), TessellaError(ErrorKind::AeadTagMismatch)) << where;
}

// ---------------------------------------------------------------------------------------------
// Single published values.

TEST(ChaCha20Poly1305, Rfc8439Section2_8_2) {
  const Bytes key = from_hex("808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f");
  const Nonce nonce = nonce_from_hex("070000004041424344454647");
  const Bytes aad = from_hex("50515253c0c1c2c3c4c5c6c7");
  const std::string_view text =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, "
      "sunscreen would be it.";
  const Bytes pt(text.begin(), text.end());
  const Bytes ct = from_hex(
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92"
      "728b1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b"
      "4831d7bc3ff4def08e4b7a9de576d26586cec64b6116");
  const Tag tag = tag_from_hex("1ae10b594f09e26a7e902ecbd0600691");
  expect_vector(kChaCha, key, nonce, aad, pt, ct, tag, "RFC 8439 2.8.2");
}

// The AES-256 cases of McGrew and Viega, "The Galois/Counter Mode of Operation", appendix B.
TEST(AesGcm, McGrewViegaAes256Cases) {
  struct Case {
    const char* name;
    const char* key;
    const char* iv;
    const char* aad;
    const char* pt;
    const char* ct;
    const char* tag;
  };
  const Case cases[] = {
      {"test case 13", "0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
      {"test case 14", "0000000000000000000000000000000000000000000000000000000000000000",
       "000000000000000000000000", "", "00000000000000000000000000000000",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
      {"test case 16", "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308",
       "cafebabefacedbaddecaf888", "feedfacedeadbeeffeedfacedeadbeefabaddad2",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449"
       "a6b525b16aedf5aa0de657ba637b39",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056"
       "828838c5f61e6393ba7a0abcc9f662",
       "76fc6ece0f4e1768cddf8853bb2d551b"},
  };
  for (const Case& c : cases) {
    expect_vector(kGcm, from_hex(c.key), nonce_from_hex(c.iv), from_hex(c.aad), from_hex(c.pt),
                  from_hex(c.ct), tag_from_hex(c.tag), c.name);
  }
}

// ---------------------------------------------------------------------------------------------
// Properties of both algorithms.

class Aead : public ::testing::TestWithParam<Algorithm> {
 protected:
  const AeadImpl& impl() const { return *GetParam().impl; }
};

INSTANTIATE_TEST_SUITE_P(BothAlgorithms, Aead, ::testing::ValuesIn(kAlgorithms),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_P(Aead, EmptyPlaintextGivesEmptyCiphertextAndATagOverTheAssociatedData) {
  const Bytes key = key_of(1);
  const Bytes aad = from_hex("0102030405");
  auto sealed = impl().encrypt(key, kNonce, aad, {});
  ASSERT_TRUE(sealed.has_value()) << sealed.error();
  EXPECT_TRUE(sealed->ct.empty());
  auto opened = impl().decrypt(key, kNonce, aad, {}, sealed->tag);
  ASSERT_TRUE(opened.has_value()) << opened.error();
  EXPECT_TRUE(opened->empty());
  // The tag authenticates the associated data alone.
  Bytes other_aad = aad;
  other_aad[4] ^= 1;
  auto refused = impl().decrypt(key, kNonce, other_aad, {}, sealed->tag);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind(), ErrorKind::AeadTagMismatch);
  // And with no associated data at all the tag differs.
  auto bare = impl().encrypt(key, kNonce, {}, {});
  ASSERT_TRUE(bare.has_value());
  EXPECT_NE(bare->tag, sealed->tag);
}

TEST_P(Aead, KeysOfOtherLengthsAreUnavailable) {
  const Bytes pt(7, 0x70);
  const Tag tag{};
  for (std::size_t len : {0u, 1u, 16u, 24u, 31u, 33u, 64u}) {
    SCOPED_TRACE("key length " + std::to_string(len));
    const Bytes key(len, 0x42);
    auto sealed = impl().encrypt(key, kNonce, {}, pt);
    ASSERT_FALSE(sealed.has_value());
    EXPECT_EQ(sealed.error(), TessellaError(ErrorKind::KeyUnavailable));
    EXPECT_EQ(sealed.error().detail(), nullptr);
    auto opened = impl().decrypt(key, kNonce, {}, pt, tag);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error(), TessellaError(ErrorKind::KeyUnavailable));
  }
}

TEST_P(Aead, KeyLengthIsCheckedBeforeAnythingElse) {
  // An output span of the wrong size would be refused too, but the key decides first.
  const Bytes key(31, 0x42);
  const Bytes pt(10, 0);
  Bytes out(3);
  Tag tag{};
  auto r = impl().encrypt_into(key, kNonce, {}, pt, out, tag);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), TessellaError(ErrorKind::KeyUnavailable));
  auto d = impl().decrypt_into(key, kNonce, {}, pt, tag, out);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error(), TessellaError(ErrorKind::KeyUnavailable));
}

TEST_P(Aead, SeededRoundTrips) {
  const std::uint64_t seed = test::test_seed();
  std::mt19937_64 rng(seed);
  auto random_bytes = [&](std::size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  };
  for (int round = 0; round < 200; ++round) {
    const std::size_t pt_len = round < 100 ? rng() % 80 : rng() % 70000;
    const Bytes key = random_bytes(kKeySize);
    Nonce nonce;
    for (auto& x : nonce) x = static_cast<std::uint8_t>(rng());
    const Bytes aad = random_bytes(rng() % 64);
    const Bytes pt = random_bytes(pt_len);
    SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
    auto sealed = impl().encrypt(key, nonce, aad, pt);
    ASSERT_TRUE(sealed.has_value()) << sealed.error();
    ASSERT_EQ(sealed->ct.size(), pt.size());
    if (pt.size() >= 16) {
      EXPECT_NE(sealed->ct, pt);
    }
    auto opened = impl().decrypt(key, nonce, aad, sealed->ct, sealed->tag);
    ASSERT_TRUE(opened.has_value()) << opened.error();
    EXPECT_EQ(*opened, pt);
  }
}

TEST_P(Aead, EncryptionIsAFunctionOfItsInputs) {
  const Bytes key = key_of(3);
  const Bytes pt(40, 0x61);
  auto a = impl().encrypt(key, kNonce, {}, pt);
  auto b = impl().encrypt(key, kNonce, {}, pt);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->ct, b->ct);
  EXPECT_EQ(a->tag, b->tag);
  Nonce other = kNonce;
  other[11] ^= 1;
  auto c = impl().encrypt(key, other, {}, pt);
  ASSERT_TRUE(c);
  EXPECT_NE(a->ct, c->ct);
  EXPECT_NE(a->tag, c->tag);
}

// Text lengths around the block sizes and well past the sizes where implementations commonly
// switch strategy (short one-shot code against wide vector code).
const std::size_t kLengths[] = {0,   1,    15,   16,   17,   33,   63,   64,    255,  511,
                                512, 513,  1023, 1024, 1025, 4096, 8191, 16384, 65537};

class AeadLength : public ::testing::TestWithParam<std::tuple<Algorithm, std::size_t>> {
 protected:
  const AeadImpl& impl() const { return *std::get<0>(GetParam()).impl; }
  std::size_t length() const { return std::get<1>(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(BothAlgorithms, AeadLength,
                         ::testing::Combine(::testing::ValuesIn(kAlgorithms),
                                            ::testing::ValuesIn(kLengths)),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param).name) + "_" +
                                  std::to_string(std::get<1>(p.param));
                         });

Bytes pattern(std::size_t len, std::uint8_t salt) {
  Bytes b(len);
  for (std::size_t i = 0; i < len; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + salt);
  return b;
}

// Every single-bit change of key, nonce, associated data or tag, and of the ciphertext's first,
// middle and last bytes, is refused; the refused decryption leaves no plaintext in the caller's
// buffer.
TEST_P(AeadLength, EveryOneBitTamperIsATagMismatch) {
  const Bytes key = key_of(9);
  const Bytes aad = from_hex("a0a1a2a3a4a5a6a7a8a9aaabac");
  const Bytes pt = pattern(length(), 0x5a);
  auto sealed = impl().encrypt(key, kNonce, aad, pt);
  ASSERT_TRUE(sealed.has_value());
  ASSERT_EQ(sealed->ct.size(), pt.size());

  int refused = 0;
  auto expect_mismatch = [&](const Bytes& k, const Nonce& n, const Bytes& a, const Bytes& c,
                             const Tag& t, const std::string& what) {
    Bytes out(c.size(), 0xee);
    auto r = impl().decrypt_into(k, n, a, c, t, out);
    ASSERT_FALSE(r.has_value()) << what << " accepted";
    EXPECT_EQ(r.error(), TessellaError(ErrorKind::AeadTagMismatch)) << what;
    EXPECT_TRUE(std::ranges::all_of(out, [](std::uint8_t x) { return x == 0; }))
        << what << ": output not wiped";
    auto d = impl().decrypt(k, n, a, c, t);
    ASSERT_FALSE(d.has_value()) << what << " accepted";
    EXPECT_EQ(d.error(), TessellaError(ErrorKind::AeadTagMismatch)) << what;
    ++refused;
  };
  auto flip = [](auto& bytes, std::size_t bit) {
    bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  };
  for (std::size_t bit = 0; bit < key.size() * 8; ++bit) {
    Bytes k = key;
    flip(k, bit);
    expect_mismatch(k, kNonce, aad, sealed->ct, sealed->tag, "key bit " + std::to_string(bit));
  }
  for (std::size_t bit = 0; bit < kNonceSize * 8; ++bit) {
    Nonce n = kNonce;
    flip(n, bit);
    expect_mismatch(key, n, aad, sealed->ct, sealed->tag, "nonce bit " + std::to_string(bit));
  }
  for (std::size_t bit = 0; bit < aad.size() * 8; ++bit) {
    Bytes a = aad;
    flip(a, bit);
    expect_mismatch(key, kNonce, a, sealed->ct, sealed->tag, "aad bit " + std::to_string(bit));
  }
  std::set<std::size_t> ct_bytes;
  const std::size_t len = sealed->ct.size();
  for (std::size_t i = 0; i < std::min<std::size_t>(len, 40); ++i) {
    ct_bytes.insert(i);
    ct_bytes.insert(len - 1 - i);
    ct_bytes.insert(len / 2 + i < len ? len / 2 + i : len - 1);
  }
  int ct_bits = 0;
  for (std::size_t byte : ct_bytes) {
    for (std::size_t b = 0; b < 8; ++b) {
      Bytes c = sealed->ct;
      flip(c, byte * 8 + b);
      expect_mismatch(key, kNonce, aad, c, sealed->tag, "ciphertext bit " + std::to_string(byte * 8 + b));
      ++ct_bits;
    }
  }
  for (std::size_t bit = 0; bit < kTagSize * 8; ++bit) {
    Tag t = sealed->tag;
    flip(t, bit);
    expect_mismatch(key, kNonce, aad, sealed->ct, t, "tag bit " + std::to_string(bit));
  }
  // Dropping or adding associated data, or shortening the ciphertext, is refused as well.
  expect_mismatch(key, kNonce, {}, sealed->ct, sealed->tag, "aad dropped");
  Bytes longer_aad = aad;
  longer_aad.push_back(0);
  expect_mismatch(key, kNonce, longer_aad, sealed->ct, sealed->tag, "aad extended");
  int extra = 2;
  if (len > 0) {
    Bytes shorter(sealed->ct.begin(), sealed->ct.end() - 1);
    expect_mismatch(key, kNonce, aad, shorter, sealed->tag, "ciphertext truncated");
    ++extra;
  }
  EXPECT_EQ(refused, 256 + 96 + 104 + ct_bits + 128 + extra);

  // The untouched inputs still open.
  auto opened = impl().decrypt(key, kNonce, aad, sealed->ct, sealed->tag);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, pt);
}

// Encrypting in place must give what encrypting into a separate buffer gives.
TEST_P(AeadLength, InPlaceEqualsSeparateBuffers) {
  const Bytes key = key_of(5);
  const Bytes aad = from_hex("00ff");
  const Bytes pt = pattern(length(), 3);
  auto reference = impl().encrypt(key, kNonce, aad, pt);
  ASSERT_TRUE(reference.has_value());
  Bytes buffer = pt;
  Tag tag{};
  ASSERT_TRUE(impl().encrypt_into(key, kNonce, aad, buffer, buffer, tag).has_value());
  EXPECT_EQ(buffer, reference->ct);
  EXPECT_EQ(tag, reference->tag);
  auto opened = impl().decrypt(key, kNonce, aad, buffer, tag);
  ASSERT_TRUE(opened.has_value());
  EXPECT_EQ(*opened, pt);
}

TEST_P(Aead, IntoVariantsAgreeWithTheOwningOnes) {
  const Bytes key = key_of(11);
  const Bytes aad = from_hex("0badc0de");
  const Bytes pt(100, 0x33);
  auto sealed = impl().encrypt(key, kNonce, aad, pt);
  ASSERT_TRUE(sealed.has_value());
  Bytes ct(pt.size());
  Tag tag{};
  ASSERT_TRUE(impl().encrypt_into(key, kNonce, aad, pt, ct, tag).has_value());
  EXPECT_EQ(ct, sealed->ct);
  EXPECT_EQ(tag, sealed->tag);
  Bytes back(ct.size());
  ASSERT_TRUE(impl().decrypt_into(key, kNonce, aad, ct, tag, back).has_value());
  EXPECT_EQ(back, pt);
}

TEST(Aead, DecryptingWithTheOtherAlgorithmFails) {
  const Bytes key = key_of(21);
  const Bytes aad = from_hex("0001");
  for (std::size_t len : {0u, 1u, 64u}) {
    const Bytes pt(len, 0x77);
    auto by_gcm = kGcm.encrypt(key, kNonce, aad, pt);
    auto by_chacha = kChaCha.encrypt(key, kNonce, aad, pt);
    ASSERT_TRUE(by_gcm && by_chacha);
    auto a = kChaCha.decrypt(key, kNonce, aad, by_gcm->ct, by_gcm->tag);
    ASSERT_FALSE(a.has_value()) << "length " << len;
    EXPECT_EQ(a.error(), TessellaError(ErrorKind::AeadTagMismatch));
    auto b = kGcm.decrypt(key, kNonce, aad, by_chacha->ct, by_chacha->tag);
    ASSERT_FALSE(b.has_value()) << "length " << len;
    EXPECT_EQ(b.error(), TessellaError(ErrorKind::AeadTagMismatch));
  }
}

TEST(Aead, AlgorithmIdentifierOneIsAesGcmAndEveryOtherChaCha) {
  for (const Algorithm& a : kAlgorithms) EXPECT_EQ(typeid(aead_for(a.alg)), typeid(*a.impl)) << a.name;
  EXPECT_EQ(typeid(aead_for(1)), typeid(AesGcmImpl));
  for (int alg : {0, 2, 3, 0x7f, 0xff}) {
    EXPECT_EQ(typeid(aead_for(static_cast<std::uint8_t>(alg))), typeid(ChaCha20Impl)) << alg;
  }
  EXPECT_EQ(kAlgAesGcm, 1);
  EXPECT_EQ(kAlgChaCha20, 2);
  // The chosen objects also behave as their algorithm.
  const Bytes key = key_of(2);
  const Bytes pt(20, 1);
  auto via_gcm = aead_for(1).encrypt(key, kNonce, {}, pt);
  auto via_chacha = aead_for(2).encrypt(key, kNonce, {}, pt);
  auto gcm = kGcm.encrypt(key, kNonce, {}, pt);
  auto chacha = kChaCha.encrypt(key, kNonce, {}, pt);
  ASSERT_TRUE(via_gcm && via_chacha && gcm && chacha);
  EXPECT_EQ(via_gcm->tag, gcm->tag);
  EXPECT_EQ(via_chacha->tag, chacha->tag);
  EXPECT_NE(gcm->tag, chacha->tag);
}

// Inputs beyond the ciphers' limits are refused before any byte of them is read or written.
// The inputs are address space reserved without access rights: a cipher that touched them would
// die of a segmentation fault instead of using memory, so each check runs in a child process.
class Reserved {
 public:
  explicit Reserved(std::size_t size) : size_(size) {
    void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
  }
  ~Reserved() {
    if (data_ != nullptr) ::munmap(data_, size_);
  }
  Reserved(const Reserved&) = delete;
  Reserved& operator=(const Reserved&) = delete;
  bool ok() const { return data_ != nullptr; }
  std::span<std::uint8_t> span(std::size_t n) const { return {data_, n}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_;
};

// In the child: exit status 0 when the call failed with exactly `expected`.
template <class R>
[[noreturn]] void exit_with_verdict(const R& r, const TessellaError& expected, const char* what) {
  if (r.has_value()) {
    std::fprintf(stderr, "%s: accepted\n", what);
    std::_Exit(1);
  }
  if (!(r.error() == expected)) {
    std::fprintf(stderr, "%s: %s\n", what, r.error().message().c_str());
    std::_Exit(2);
  }
  std::_Exit(0);
}

constexpr std::uint64_t kGcmMaxText = std::uint64_t{1} << 36;                  // 68,719,476,736
constexpr std::uint64_t kChaChaRefused = 64 * ((std::uint64_t{1} << 32) - 1);  // 274,877,906,880

TEST(AeadLimits, AesGcmRefusesTextOrAssociatedDataOver2To36Bytes) {
  Reserved in(kGcmMaxText + 17), out(kGcmMaxText + 17);
  if (!in.ok() || !out.ok()) GTEST_SKIP() << "cannot reserve 64 GiB of address space";
  const Bytes key = key_of(4);
  const auto refused = TessellaError::internal("aes-gcm encrypt");
  const auto mismatch = TessellaError(ErrorKind::AeadTagMismatch);
  Tag tag{};
  Bytes small(8);
  EXPECT_EXIT(exit_with_verdict(kGcm.encrypt_into(key, kNonce, {}, in.span(kGcmMaxText + 1),
                                                  out.span(kGcmMaxText + 1), tag),
                                refused, "plaintext of 2^36 + 1 bytes"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(exit_with_verdict(
                  kGcm.encrypt_into(key, kNonce, in.span(kGcmMaxText + 1), small, small, tag),
                  refused, "associated data of 2^36 + 1 bytes"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(exit_with_verdict(kGcm.decrypt_into(key, kNonce, {}, in.span(kGcmMaxText + 17), tag,
                                                  out.span(kGcmMaxText + 17)),
                                mismatch, "ciphertext of 2^36 + 17 bytes"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(exit_with_verdict(
                  kGcm.decrypt_into(key, kNonce, in.span(kGcmMaxText + 1), small, tag, small),
                  mismatch, "associated data of 2^36 + 1 bytes"),
              ::testing::ExitedWithCode(0), "");
}

TEST(AeadLimits, ChaChaRefusesTextOf64Times2To32Minus1Bytes) {
  Reserved in(kChaChaRefused), out(kChaChaRefused);
  if (!in.ok() || !out.ok()) GTEST_SKIP() << "cannot reserve 256 GiB of address space";
  const Bytes key = key_of(6);
  Tag tag{};
  EXPECT_EXIT(exit_with_verdict(kChaCha.encrypt_into(key, kNonce, {}, in.span(kChaChaRefused),
                                                     out.span(kChaChaRefused), tag),
                                TessellaError::internal("chacha encrypt"), "plaintext"),
              ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(exit_with_verdict(kChaCha.decrypt_into(key, kNonce, {}, in.span(kChaChaRefused), tag,
                                                     out.span(kChaChaRefused)),
                                TessellaError(ErrorKind::AeadTagMismatch), "ciphertext"),
              ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// Wycheproof: every case with a 32-byte key, a 12-byte nonce and a 16-byte tag.

bool full_size(const nlohmann::json& group, const nlohmann::json&) {
  return group.value("keySize", 0) == 256 && group.value("ivSize", 0) == 96 &&
         group.value("tagSize", 0) == 128;
}

void run_wycheproof_aead(const AeadImpl& impl, const test::WycheproofCase& c) {
  const std::string where = c.file + " tcId " + std::to_string(c.tc_id);
  test::JsonFields group(c.group, where + " group");
  ASSERT_EQ(group.num("keySize"), 256);
  ASSERT_EQ(group.num("ivSize"), 96);
  ASSERT_EQ(group.num("tagSize"), 128);
  group.ignore("type");
  group.ignore("source");
  EXPECT_TRUE(group.all_consumed());

  test::JsonFields t(c.test, where);
  t.num("tcId");
  const std::string comment = t.str("comment");
  const nlohmann::json flags = t.get("flags");
  const Bytes key = t.hex("key");
  const Bytes iv = t.hex("iv");
  const Bytes aad = t.hex("aad");
  const Bytes msg = t.hex("msg");
  const Bytes ct = t.hex("ct");
  const Bytes tag_bytes = t.hex("tag");
  const std::string result = t.str("result");
  EXPECT_TRUE(t.all_consumed());
  ASSERT_EQ(key.size(), kKeySize) << where;
  ASSERT_EQ(iv.size(), kNonceSize) << where;
  ASSERT_EQ(tag_bytes.size(), kTagSize) << where;
  const Nonce nonce = fixed<kNonceSize>(iv, where);
  const Tag tag = fixed<kTagSize>(tag_bytes, where);
  const std::string label = where + " " + comment + " " + flags.dump();

  switch (test::verdict_of(result)) {
    case test::Verdict::kValid:
      expect_vector(impl, key, nonce, aad, msg, ct, tag, label);
      break;
    case test::Verdict::kInvalid:
      expect_refused(impl, key, nonce, aad, ct, tag, label);
      break;
    case test::Verdict::kAcceptable:
      // With the fixed 12-byte nonce and 16-byte tag no case should be merely acceptable; a
      // new one needs a decision recorded here.
      FAIL() << label << ": acceptable case without a recorded decision";
    case test::Verdict::kUnknown:
      FAIL() << label << ": unknown result " << result;
  }
}

class WycheproofAesGcm : public ::testing::TestWithParam<test::WycheproofCase> {};
TEST_P(WycheproofAesGcm, Case) {
  TESSELLA_WYCHEPROOF_CASE(GetParam());
  run_wycheproof_aead(kGcm, GetParam());
}
INSTANTIATE_TEST_SUITE_P(Aes256Iv96Tag128, WycheproofAesGcm,
                         ::testing::ValuesIn(test::wycheproof_cases("aes_gcm_test.json", full_size)),
                         test::wycheproof_name);

class WycheproofChaCha20Poly1305 : public ::testing::TestWithParam<test::WycheproofCase> {};
TEST_P(WycheproofChaCha20Poly1305, Case) {
  TESSELLA_WYCHEPROOF_CASE(GetParam());
  run_wycheproof_aead(kChaCha, GetParam());
}
INSTANTIATE_TEST_SUITE_P(
    Key256Nonce96Tag128, WycheproofChaCha20Poly1305,
    ::testing::ValuesIn(test::wycheproof_cases("chacha20_poly1305_test.json", full_size)),
    test::wycheproof_name);

// The AES-128 and AES-192 cases with 12-byte nonces: their keys are unavailable to this library.
TEST(WycheproofAesGcmOtherKeySizes, AreKeyUnavailable) {
  TESSELLA_REQUIRE_SHARED();
  nlohmann::json doc;
  ASSERT_TRUE(test::read_json(test::shared_vectors() / "wycheproof" / "aes_gcm_test.json", doc));
  int checked = 0;
  for (const auto& g : doc.at("testGroups")) {
    if (g.at("keySize") == 256 || g.at("ivSize") != 96) continue;
    for (const auto& test_case : g.at("tests")) {
      test::JsonFields t(test_case, "aes_gcm_test.json tcId " + test_case.at("tcId").dump());
      t.num("tcId");
      t.ignore("comment");
      t.ignore("flags");
      t.ignore("result");  // whatever the case tests, its key is refused first
      const Bytes key = t.hex("key");
      const Nonce nonce = fixed<kNonceSize>(t.hex("iv"), t.where());
      const Bytes aad = t.hex("aad");
      const Bytes msg = t.hex("msg");
      const Bytes ct = t.hex("ct");
      const Tag tag = fixed<kTagSize>(t.hex("tag"), t.where());
      EXPECT_TRUE(t.all_consumed());
      ASSERT_NE(key.size(), kKeySize) << t.where();
      auto e = kGcm.encrypt(key, nonce, aad, msg);
      auto d = kGcm.decrypt(key, nonce, aad, ct, tag);
      ASSERT_FALSE(e.has_value()) << t.where();
      ASSERT_FALSE(d.has_value()) << t.where();
      EXPECT_EQ(e.error(), TessellaError(ErrorKind::KeyUnavailable)) << t.where();
      EXPECT_EQ(d.error(), TessellaError(ErrorKind::KeyUnavailable)) << t.where();
      ++checked;
    }
  }
  EXPECT_GT(checked, 0);
}

// ---------------------------------------------------------------------------------------------
// NIST CAVS AES-GCM files (Debian's python3-cryptography-vectors): 256-bit keys, 96-bit IVs,
// 128-bit tags. Other IV and tag lengths are not expressible through this interface.

bool nist_selected(test::KvRecord& r) {
  const auto keylen = r.header_number("Keylen");
  const auto ivlen = r.header_number("IVlen");
  const auto taglen = r.header_number("Taglen");
  EXPECT_EQ(keylen, 256u) << r.where();
  if (ivlen != 96 || taglen != 128) {
    r.skip();
    return false;
  }
  return true;
}

TEST(NistAesGcm, EncryptExtIv256) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(
      test::cryptography_vectors() / "ciphers/AES/GCM/gcmEncryptExtIV256.rsp", "Count", records));
  int checked = 0;
  for (auto& r : records) {
    if (!nist_selected(r)) continue;
    r.number("Count");
    const Bytes key = r.bytes("Key");
    const Bytes iv = r.bytes("IV");
    const Bytes pt = r.bytes("PT");
    const Bytes aad = r.bytes("AAD");
    const Bytes ct = r.bytes("CT");
    const Bytes tag = r.bytes("Tag");
    EXPECT_EQ(r.header_number("PTlen"), pt.size() * 8) << r.where();
    EXPECT_EQ(r.header_number("AADlen"), aad.size() * 8) << r.where();
    EXPECT_TRUE(r.all_consumed());
    expect_vector(kGcm, key, fixed<kNonceSize>(iv, r.where()), aad, pt, ct,
                  fixed<kTagSize>(tag, r.where()), r.where());
    ++checked;
  }
  EXPECT_GT(checked, 0);
  RecordProperty("cases", checked);
}

TEST(NistAesGcm, Decrypt256IncludingForgeries) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(test::cryptography_vectors() / "ciphers/AES/GCM/gcmDecrypt256.rsp",
                                 "Count", records));
  int opened = 0, refused = 0;
  for (auto& r : records) {
    if (!nist_selected(r)) continue;
    r.number("Count");
    const Bytes key = r.bytes("Key");
    const Nonce nonce = fixed<kNonceSize>(r.bytes("IV"), r.where());
    const Bytes ct = r.bytes("CT");
    const Bytes aad = r.bytes("AAD");
    const Tag tag = fixed<kTagSize>(r.bytes("Tag"), r.where());
    const bool fail = r.flag("FAIL");
    EXPECT_EQ(r.header_number("PTlen"), ct.size() * 8) << r.where();
    EXPECT_EQ(r.header_number("AADlen"), aad.size() * 8) << r.where();
    if (fail) {
      EXPECT_FALSE(r.has("PT")) << r.where();
      EXPECT_TRUE(r.all_consumed());
      expect_refused(kGcm, key, nonce, aad, ct, tag, r.where());
      ++refused;
    } else {
      const Bytes pt = r.bytes("PT");
      EXPECT_TRUE(r.all_consumed());
      expect_vector(kGcm, key, nonce, aad, pt, ct, tag, r.where());
      ++opened;
    }
  }
  EXPECT_GT(opened, 0);
  EXPECT_GT(refused, 0);
  RecordProperty("opened", opened);
  RecordProperty("refused", refused);
}

// ---------------------------------------------------------------------------------------------
// ChaCha20-Poly1305 files of python3-cryptography-vectors (from BoringSSL and OpenSSL).

TEST(ChaCha20Poly1305Files, BoringSsl) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(
      test::cryptography_vectors() / "ciphers/ChaCha20Poly1305/boringssl.txt", "COUNT", records));
  for (auto& r : records) {
    r.number("COUNT");
    const Bytes key = r.bytes("KEY");
    const Nonce nonce = fixed<kNonceSize>(r.bytes("NONCE"), r.where());
    const Bytes pt = r.bytes("IN");
    const Bytes aad = r.bytes("AD");
    const Bytes ct = r.bytes("CT");
    const Tag tag = fixed<kTagSize>(r.bytes("TAG"), r.where());
    EXPECT_TRUE(r.all_consumed());
    expect_vector(kChaCha, key, nonce, aad, pt, ct, tag, r.where());
  }
  RecordProperty("cases", static_cast<int>(records.size()));
}

TEST(ChaCha20Poly1305Files, OpenSslIncludingAForgery) {
  std::vector<test::KvRecord> records;
  ASSERT_TRUE(test::read_kv_file(
      test::cryptography_vectors() / "ciphers/ChaCha20Poly1305/openssl.txt", "COUNT", records));
  int refused = 0;
  for (auto& r : records) {
    r.number("COUNT");
    const Bytes key = r.bytes("Key");
    const Nonce nonce = fixed<kNonceSize>(r.bytes("IV"), r.where());
    const Bytes aad = r.bytes("AAD");
    const Tag tag = fixed<kTagSize>(r.bytes("Tag"), r.where());
    const Bytes pt = r.bytes("Plaintext");
    const Bytes ct = r.bytes("Ciphertext");
    const bool forged = r.has("Result");
    if (forged) {
      EXPECT_EQ(r.text("Result"), "CIPHERFINAL_ERROR") << r.where();
    }
    EXPECT_TRUE(r.all_consumed());
    if (forged) {
      expect_refused(kChaCha, key, nonce, aad, ct, tag, r.where());
      ++refused;
    } else {
      expect_vector(kChaCha, key, nonce, aad, pt, ct, tag, r.where());
    }
  }
  EXPECT_EQ(refused, 1);
}

// ---------------------------------------------------------------------------------------------
// Long texts appear in no vector file: Python's cryptography package encrypts random inputs of
// every length in kLengths, and both ciphers must give the same bytes and open them.

TEST(AeadCrossCheck, AgreesWithPythonCryptography) {
  if (!test::python_present()) GTEST_SKIP() << test::kPython << " is absent";
  const std::uint64_t seed = test::test_seed();
  std::string lengths;
  for (std::size_t n : kLengths) lengths += (lengths.empty() ? "" : ",") + std::to_string(n);
  static constexpr std::string_view kScript = R"(
import random, sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305
rng = random.Random(int(sys.argv[1]))
for name, cls in (("gcm", AESGCM), ("chacha", ChaCha20Poly1305)):
    for n in map(int, sys.argv[2].split(",")):
        key, nonce = rng.randbytes(32), rng.randbytes(12)
        aad, pt = rng.randbytes(rng.randrange(0, 40)), rng.randbytes(n)
        out = cls(key).encrypt(nonce, pt, aad)
        print(":".join([name, key.hex(), nonce.hex(), aad.hex(), pt.hex(), out[:-16].hex(), out[-16:].hex()]))
)";
  std::string out;
  ASSERT_TRUE(test::run_python(kScript, {std::to_string(seed), lengths}, out));
  std::istringstream in(out);
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::size_t start = 0;
    for (std::size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1)
      f.push_back(line.substr(start, colon - start));
    f.push_back(line.substr(start));
    ASSERT_EQ(f.size(), 7u) << line.substr(0, 80);
    const AeadImpl& impl = f[0] == "gcm" ? static_cast<const AeadImpl&>(kGcm) : kChaCha;
    const Bytes pt = from_hex(f[4]);
    expect_vector(impl, from_hex(f[1]), nonce_from_hex(f[2]), from_hex(f[3]), pt, from_hex(f[5]),
                  tag_from_hex(f[6]),
                  "seed " + std::to_string(seed) + " " + f[0] + " length " + std::to_string(pt.size()));
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(2 * std::size(kLengths)));
}

}  // namespace
}  // namespace tessella
