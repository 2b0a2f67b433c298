/* The C ABI exercised from plain C: every entry point, absent and NULL arguments, and failure
   outputs left untouched. Prints "N passed, M failed" and exits non-zero on any failure. */
#include <stdio.h>
#include <string.h>

#include "tessella/tessella.h"

static int passed = 0;
static int failed = 0;

#define CHECK(cond)                                                  \
  do {                                                               \
    if (cond) {                                                      \
      ++passed;                                                      \
    } else {                                                         \
      ++failed;                                                      \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                \
  } while (0)

static int all_bytes(const uint8_t *p, size_t n, uint8_t v) {
  size_t i;
  for (i = 0; i < n; ++i)
    if (p[i] != v) return 0;
  return 1;
}

static int error_is(const tessella_error *e, int kind, const char *detail) {
  if (e->kind != kind) return 0;
  if (detail == NULL) return e->detail == NULL;
  return e->detail != NULL && strcmp(e->detail, detail) == 0;
}

static void test_errors(void) {
  tessella_error e = {TESSELLA_INVALID_FORMAT, "too short"};
  char buf[64];
  char tiny[8];
  size_t n = tessella_error_message(&e, buf, sizeof buf);
  CHECK(n == 31);
  CHECK(strcmp(buf, "invalid frame format: too short") == 0);
  n = tessella_error_message(&e, tiny, sizeof tiny);
  CHECK(n == 31);
  CHECK(strcmp(tiny, "invalid") == 0);
  CHECK(tessella_error_message(&e, NULL, 0) == 31);

  e.kind = TESSELLA_CAPABILITY_INVALID;
  e.detail = NULL;
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 30);
  CHECK(strcmp(buf, "capability required or invalid") == 0);
  e.kind = TESSELLA_INTERNAL;
  e.detail = "cap ser";
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 23);
  CHECK(strcmp(buf, "internal error: cap ser") == 0);
  e.kind = 99;
  CHECK(tessella_error_message(&e, buf, sizeof buf) > 0);

  CHECK(strcmp(tessella_version(), "0.1.0") == 0);
  tessella_buf_free(NULL);
}

static void test_aead(void) {
  uint8_t key[32], nonce[12], tag[16], tag2[16];
  const uint8_t aad[3] = {1, 2, 3};
  const uint8_t pt[5] = {'h', 'e', 'l', 'l', 'o'};
  tessella_buf ct = {NULL, 0}, out = {NULL, 0};
  tessella_error e = {-1, NULL};
  int alg;
  memset(key, 7, sizeof key);
  memset(nonce, 9, sizeof nonce);
  for (alg = 1; alg <= 2; ++alg) {
    CHECK(tessella_aead_encrypt((uint8_t)alg, key, 32, nonce, aad, 3, pt, 5, &ct, tag, &e) == 0);
    CHECK(ct.len == 5 && ct.data != NULL);
    CHECK(tessella_aead_decrypt((uint8_t)alg, key, 32, nonce, aad, 3, ct.data, ct.len, tag, &out,
                                &e) == 0);
    CHECK(out.len == 5 && memcmp(out.data, pt, 5) == 0);
    tessella_buf_free(&out);
    CHECK(out.data == NULL && out.len == 0);

    /* A flipped tag bit fails and leaves the output untouched. */
    tag[0] ^= 1;
    CHECK(tessella_aead_decrypt((uint8_t)alg, key, 32, nonce, aad, 3, ct.data, ct.len, tag, &out,
                                &e) == -1);
    CHECK(error_is(&e, TESSELLA_AEAD_TAG_MISMATCH, NULL));
    CHECK(out.data == NULL && out.len == 0);
    tessella_buf_free(&ct);

    /* Empty plaintext from a NULL pointer; a 31-byte key. */
    CHECK(tessella_aead_encrypt((uint8_t)alg, key, 32, nonce, NULL, 0, NULL, 0, &ct, tag2, &e) == 0);
    CHECK(ct.len == 0);
    tessella_buf_free(&ct);
    memset(tag2, 0xEE, sizeof tag2);
    CHECK(tessella_aead_encrypt((uint8_t)alg, key, 31, nonce, NULL, 0, pt, 5, &ct, tag2, &e) == -1);
    CHECK(error_is(&e, TESSELLA_KEY_UNAVAILABLE, NULL));
    CHECK(ct.data == NULL && all_bytes(tag2, 16, 0xEE));
  }
  /* NULL with a length is refused; a NULL error pointer is allowed. */
  CHECK(tessella_aead_encrypt(1, key, 32, nonce, NULL, 4, pt, 5, &ct, tag, &e) == -1);
  CHECK(e.kind == TESSELLA_INTERNAL);
  CHECK(tessella_aead_encrypt(1, key, 32, nonce, NULL, 0, pt, 5, &ct, tag, NULL) == 0);
  tessella_buf_free(&ct);
}

static void test_primitives(void) {
  /* RFC 8032 section 7.1, test 1. */
  static const uint8_t seed[32] = {
      0x9d, 0x61, 0xb1, 0x9d, 0xef, 0xfd, 0x5a, 0x60, 0xba, 0x84, 0x4a, 0xf4, 0x92, 0xec, 0x2c, 0xc4,
      0x44, 0x49, 0xc5, 0x69, 0x7b, 0x32, 0x69, 0x19, 0x70, 0x3b, 0xac, 0x03, 0x1c, 0xae, 0x7f, 0x60};
  static const uint8_t pub_expected[32] = {
      0xd7, 0x5a, 0x98, 0x01, 0x82, 0xb1, 0x0a, 0xb7, 0xd5, 0x4b, 0xfe, 0xd3, 0xc9, 0x64, 0x07, 0x3a,
      0x0e, 0xe1, 0x72, 0xf3, 0xda, 0xa6, 0x23, 0x25, 0xaf, 0x02, 0x1a, 0x68, 0xf7, 0x07, 0x51, 0x1a};
  uint8_t pub[32], sig[64], bad_pub[32], cid[32], hk[32], nonce_a[12], nonce_b[12];
  tessella_error e = {-1, NULL};
  tessella_signing_key *key = tessella_signing_key_from_seed(seed);
  CHECK(key != NULL);
  tessella_verifying_key_bytes(key, pub);
  CHECK(memcmp(pub, pub_expected, 32) == 0);
  tessella_sign(key, NULL, 0, sig);
  CHECK(sig[0] == 0xe5 && sig[63] == 0x0b);
  CHECK(tessella_verify(pub, NULL, 0, sig, &e) == 0);
  sig[10] ^= 1;
  CHECK(tessella_verify(pub, NULL, 0, sig, &e) == -1);
  CHECK(error_is(&e, TESSELLA_SIGNATURE_INVALID, NULL));
  memset(bad_pub, 0, 32);
  bad_pub[0] = 2; /* not a curve point */
  e.kind = -1;
  CHECK(tessella_verify(bad_pub, NULL, 0, sig, &e) == -1);
  CHECK(error_is(&e, TESSELLA_SIGNATURE_INVALID, NULL));
  tessella_signing_key_free(key);
  tessella_signing_key_free(NULL);
  CHECK(tessella_signing_key_from_seed(NULL) == NULL);

  /* BLAKE3 of the empty input. */
  tessella_cid_blake3(NULL, 0, cid);
  CHECK(cid[0] == 0xaf && cid[1] == 0x13 && cid[31] == 0x62);
  tessella_hkdf_derive(NULL, 0, NULL, 0, hk);
  CHECK(!all_bytes(hk, 32, 0));

  tessella_random_nonce(nonce_a);
  tessella_random_nonce(nonce_b);
  CHECK(memcmp(nonce_a, nonce_b, 12) != 0);
}

struct sealed {
  tessella_buf frame;
  uint8_t cid[32];
};

static void test_frames(void) {
  uint8_t seed[32], issuer_seed[32], holder_seed[32], author[32], issuer_pub[32], holder_pub[32];
  uint8_t nonce[12], ts[16], owner[32], prev[32], key[32], token[180], token_copy[180];
  static const char meta[] = "{\"require_cap\":true,\"allowed_ops\":1}";
  static const uint8_t pt[4] = {'d', 'a', 't', 'a'};
  tessella_signing_key *signer, *issuer, *holder;
  struct sealed s;
  tessella_buf out = {NULL, 0};
  tessella_error e = {-1, NULL};
  tessella_frame_verification report;
  uint64_t now;
  uint8_t cid_copy[32];

  memset(seed, 1, 32);
  memset(issuer_seed, 2, 32);
  memset(holder_seed, 3, 32);
  memset(nonce, 4, 12);
  memset(ts, 5, 16);
  memset(owner, 6, 32);
  memset(prev, 7, 32);
  memset(key, 8, 32);
  signer = tessella_signing_key_from_seed(seed);
  issuer = tessella_signing_key_from_seed(issuer_seed);
  holder = tessella_signing_key_from_seed(holder_seed);
  tessella_verifying_key_bytes(signer, author);
  tessella_verifying_key_bytes(issuer, issuer_pub);
  tessella_verifying_key_bytes(holder, holder_pub);

  s.frame.data = NULL;
  s.frame.len = 0;
  CHECK(tessella_seal_bytes(1, 0, 0, nonce, ts, author, owner, prev, NULL, 0, (const uint8_t *)meta,
                            strlen(meta), pt, 4, key, 32, signer, &s.frame, s.cid, &e) == 0);
  CHECK(s.frame.len == 216 + strlen(meta) + 4);

  /* Failure leaves out_frame and out_cid untouched. */
  memset(cid_copy, 0xAB, 32);
  CHECK(tessella_seal_bytes(1, 0, 0, nonce, ts, author, owner, prev, NULL, 0, NULL, 0, pt, 4, key,
                            16, signer, &out, cid_copy, &e) == -1);
  CHECK(error_is(&e, TESSELLA_KEY_UNAVAILABLE, NULL));
  CHECK(out.data == NULL && all_bytes(cid_copy, 32, 0xAB));
  CHECK(tessella_seal_bytes(9, 0, 0, nonce, ts, author, owner, prev, NULL, 0, NULL, 0, pt, 4, key,
                            32, signer, &out, cid_copy, &e) == -1);
  CHECK(error_is(&e, TESSELLA_INVALID_FORMAT, "alg"));
  CHECK(tessella_seal_bytes(1, 0, 0, nonce, ts, author, owner, prev, NULL, 0, NULL, 0, pt, 4, key,
                            32, NULL, &out, cid_copy, &e) == -1);
  CHECK(out.data == NULL);

  /* Verify. */
  CHECK(tessella_verify_bytes(s.frame.data, s.frame.len, &report, &e) == 0);
  CHECK(report.valid == 1 && report.reason == NULL && memcmp(report.cid, s.cid, 32) == 0);
  s.frame.data[s.frame.len - 1] ^= 1;
  CHECK(tessella_verify_bytes(s.frame.data, s.frame.len, &report, &e) == 0);
  CHECK(report.valid == 0 && report.reason != NULL && strcmp(report.reason, "signature") == 0);
  s.frame.data[s.frame.len - 1] ^= 1;
  CHECK(tessella_verify_bytes(s.frame.data, 100, &report, &e) == -1);
  CHECK(error_is(&e, TESSELLA_INVALID_FORMAT, "too short"));

  /* Reserialize and associated data. */
  CHECK(tessella_frame_reserialize(s.frame.data, s.frame.len, &out, &e) == 0);
  CHECK(out.len == s.frame.len && memcmp(out.data, s.frame.data, out.len) == 0);
  tessella_buf_free(&out);
  CHECK(tessella_frame_aad(s.frame.data, s.frame.len, 5, &out, &e) == 0);
  CHECK(out.len == 136 + strlen(meta) && out.data[135] == 5);
  tessella_buf_free(&out);
  CHECK(tessella_frame_aad(s.frame.data, 135, 5, &out, &e) == -1 && out.data == NULL);

  /* Capabilities: issue, verify, open. */
  CHECK(tessella_cap_issue(issuer_seed, issuer_pub, s.cid, 1, 100, holder_pub, token, &e) == 0);
  CHECK(token[32] == 1 && token[36] == 100 && token[108] == 64);
  CHECK(tessella_cap_verify(token, 180, holder_pub, &e) == 0);
  CHECK(tessella_cap_verify(token, 180, author, &e) == -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL));
  CHECK(tessella_cap_verify(token, 179, holder_pub, &e) == -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL));
  memcpy(token_copy, token, 180);
  token_copy[150] ^= 1;
  CHECK(tessella_cap_verify(token_copy, 180, holder_pub, &e) == -1);
  CHECK(error_is(&e, TESSELLA_SIGNATURE_INVALID, NULL));

  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, token, 180, holder_pub, NULL, &out,
                            &e) == 0);
  CHECK(out.len == 4 && memcmp(out.data, pt, 4) == 0);
  tessella_buf_free(&out);
  now = 100;
  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, token, 180, holder_pub, &now, &out,
                            &e) == 0);
  tessella_buf_free(&out);
  now = 101;
  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, token, 180, holder_pub, &now, &out,
                            &e) == -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL) && out.data == NULL);
  /* Absent capability versus a capability of 0 bytes: both refused, neither crashes. */
  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, NULL, 0, holder_pub, NULL, &out,
                            &e) == -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL));
  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, token, 0, holder_pub, NULL, &out,
                            &e) == -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL));
  CHECK(tessella_open_bytes(s.frame.data, s.frame.len, key, 32, token, 180, NULL, NULL, &out, &e) ==
        -1);
  CHECK(error_is(&e, TESSELLA_CAPABILITY_INVALID, NULL) && out.data == NULL);

  /* Transfer template. */
  CHECK(tessella_transfer_bytes(prev, owner, &out, &e) == 0);
  CHECK(out.len == 216 && out.data[0] == 1 && out.data[1] == 2 && out.data[2] == 1 &&
        out.data[64] == 6 && out.data[96] == 7);
  tessella_buf_free(&out);

  /* Events. */
  CHECK(tessella_seal_event(2, author, owner, prev, 2, s.cid, 3, 50, holder_pub, key, 32, signer,
                            &out, cid_copy, &e) == 0);
  CHECK(tessella_verify_bytes(out.data, out.len, &report, &e) == 0 && report.valid == 1);
  CHECK(memcmp(report.cid, cid_copy, 32) == 0);
  tessella_buf_free(&out);
  CHECK(tessella_seal_event(2, author, owner, prev, 3, s.cid, 3, 50, holder_pub, key, 32, signer,
                            &out, cid_copy, &e) == -1);
  CHECK(e.kind == TESSELLA_INVALID_FORMAT && out.data == NULL);
  CHECK(tessella_seal_event(2, author, owner, prev, 0, s.cid, 3, 50, holder_pub, key, 16, signer,
                            &out, cid_copy, &e) == -1);
  CHECK(error_is(&e, TESSELLA_KEY_UNAVAILABLE, NULL));

  tessella_buf_free(&s.frame);
  tessella_signing_key_free(signer);
  tessella_signing_key_free(issuer);
  tessella_signing_key_free(holder);
}

static void test_rights(void) {
  char buf[128];
  uint32_t bits = 0;
  int32_t perr = 0;
  CHECK(tessella_rights_format(3, buf, sizeof buf) == 24);
  CHECK(strcmp(buf, "READ_FEATURES | READ_RAW") == 0);
  CHECK(tessella_rights_format(0, buf, sizeof buf) == 0 && buf[0] == '\0');
  CHECK(tessella_rights_format(97, buf, 6) == 20 && strcmp(buf, "READ_") == 0);
  CHECK(tessella_rights_parse("READ_RAW|COMPUTE_USE", 20, &bits, &perr) == 0 && bits == 18);
  CHECK(tessella_rights_parse("|", 1, &bits, &perr) == -1 && perr == 1);
  CHECK(tessella_rights_parse("read_raw", 8, &bits, &perr) == -1 && perr == 2);
  CHECK(tessella_rights_parse("0x100000000", 11, &bits, &perr) == -1 && perr == 3);
  CHECK(tessella_rights_parse(NULL, 0, &bits, &perr) == 0 && bits == 0);
  CHECK(tessella_rights_parse("0x40", 4, NULL, NULL) == 0);
}

static void test_recovery_and_search(void) {
  tessella_buf phrase = {NULL, 0};
  tessella_error e = {-1, NULL};
  uint8_t enc[32], sig[32], enc2[32], tok[32];
  size_t spaces = 0, i;
  CHECK(tessella_generate_mnemonic(12, &phrase, &e) == 0);
  for (i = 0; i < phrase.len; ++i) spaces += phrase.data[i] == ' ';
  CHECK(spaces == 11);
  CHECK(tessella_restore_keys((const char *)phrase.data, phrase.len, enc, sig, &e) == 0);
  CHECK(memcmp(enc, sig, 32) != 0);
  CHECK(tessella_restore_keys((const char *)phrase.data, phrase.len, enc2, sig, &e) == 0);
  CHECK(memcmp(enc, enc2, 32) == 0);
  tessella_buf_free(&phrase);
  CHECK(tessella_generate_mnemonic(13, &phrase, &e) == -1);
  CHECK(error_is(&e, TESSELLA_INVALID_FORMAT, "invalid word count") && phrase.data == NULL);
  memset(enc2, 0x5A, 32);
  CHECK(tessella_restore_keys("abandon", 7, enc2, sig, &e) == -1);
  CHECK(error_is(&e, TESSELLA_INVALID_FORMAT, "invalid mnemonic") && all_bytes(enc2, 32, 0x5A));

  /* RFC 4231 test case 2. */
  CHECK(tessella_blind_index((const uint8_t *)"Jefe", 4,
                             (const uint8_t *)"what do ya want for nothing?", 28, tok, &e) == 0);
  CHECK(tok[0] == 0x5b && tok[1] == 0xdc && tok[31] == 0x43);
  CHECK(tessella_blind_index(NULL, 0, NULL, 0, tok, &e) == 0);
}

int main(void) {
  test_errors();
  test_aead();
  test_primitives();
  test_frames();
  test_rights();
  test_recovery_and_search();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
