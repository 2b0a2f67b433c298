/* The C ABI from plain C: every entry point, NULL arguments, failure outputs left untouched. */
#include <stdio.h>
#include <string.h>

#include "tessella/tessella.h"

static int passed = 0, failed = 0;

#define CHECK(cond) \
  (void)((cond) ? ++passed : (++failed, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

static int all_bytes(const uint8_t *p, size_t n, uint8_t v) {
  while (n-- > 0)
    if (p[n] != v) return 0;
  return 1;
}

static int error_is(const tessella_error *e, int kind, const char *detail) {
  return e->kind == kind && (detail == NULL ? e->detail == NULL : e->detail && strcmp(e->detail, detail) == 0);
}

/* The call fails and sets the local error e to this kind and detail. */
#define FAILS(call, k, detail) (e.kind = -1, (call) == -1 && error_is(&e, TESSELLA_##k, detail))
#define REFUSED(call) FAILS(call, INTERNAL, "null argument")
#define UNTOUCHED(buf) ((buf).data == NULL && (buf).len == 0)

static void test_errors_and_rights(void) {
  tessella_error e = {TESSELLA_INVALID_FORMAT, "too short"};
  char buf[64], tiny[8];
  uint32_t bits = 0;
  int32_t perr = 0;
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 31 && strcmp(buf, "invalid frame format: too short") == 0);
  CHECK(tessella_error_message(&e, tiny, sizeof tiny) == 31 && strcmp(tiny, "invalid") == 0);
  e.kind = TESSELLA_CAPABILITY_INVALID; /* a kind without a detail ignores the pointer */
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 30 && strcmp(buf, "capability required or invalid") == 0);
  e.kind = TESSELLA_INTERNAL, e.detail = "cap ser";
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 23 && strcmp(buf, "internal error: cap ser") == 0);
  e.kind = 99;
  CHECK(tessella_error_message(&e, buf, sizeof buf) == 29 && strcmp(buf, "internal error: unknown error") == 0);
  CHECK(strcmp(tessella_version(), TESSELLA_VERSION_STRING) == 0 && strcmp(tessella_version(), "1.0.0") == 0);

  CHECK(tessella_rights_format(3, buf, sizeof buf) == 24 && strcmp(buf, "READ_FEATURES | READ_RAW") == 0);
  CHECK(tessella_rights_parse("READ_RAW|COMPUTE_USE", 20, &bits, &perr) == 0 && bits == 18);
  CHECK(tessella_rights_parse("0x100000000", 11, &bits, &perr) == -1 && perr == 3 && bits == 18);
  perr = 9;
  CHECK(tessella_rights_parse(NULL, 3, &bits, &perr) == -1 && perr == 0);
}

#define ENC(key_len, aad, aad_len, pt, pt_len, out, tag) \
  tessella_aead_encrypt((uint8_t)alg, key, key_len, nonce, aad, aad_len, pt, pt_len, out, tag, &e)
#define DEC(nonce, out) tessella_aead_decrypt((uint8_t)alg, key, 32, nonce, aad, 3, ct.data, ct.len, tag, out, &e)

static void test_aead(void) {
  uint8_t key[32], nonce[12], tag[16], tag2[16];
  const uint8_t aad[3] = {1, 2, 3}, pt[5] = {'h', 'e', 'l', 'l', 'o'};
  tessella_buf ct = {NULL, 0}, out = {NULL, 0};
  tessella_error e = {-1, NULL};
  int alg;
  memset(key, 7, sizeof key), memset(nonce, 9, sizeof nonce), memset(tag2, 0xEE, sizeof tag2);
  for (alg = 1; alg <= 2; ++alg) {
    CHECK(ENC(32, aad, 3, pt, 5, &ct, tag) == 0 && ct.len == 5 && ct.data != NULL);
    CHECK(DEC(nonce, &out) == 0 && out.len == 5 && memcmp(out.data, pt, 5) == 0);
    tessella_buf_free(&out);
    tag[0] ^= 1; /* a flipped tag bit fails and leaves the output untouched */
    CHECK(FAILS(DEC(nonce, &out), AEAD_TAG_MISMATCH, NULL) && UNTOUCHED(out));
    CHECK(REFUSED(DEC(NULL, &out)) && REFUSED(DEC(nonce, NULL)));
    tessella_buf_free(&ct);
    /* Empty plaintext and aad from NULL pointers; a 31-byte key; NULL with a length. */
    CHECK(ENC(32, NULL, 0, NULL, 0, &ct, tag) == 0 && ct.len == 0);
    tessella_buf_free(&ct);
    CHECK(FAILS(ENC(31, NULL, 0, pt, 5, &ct, tag2), KEY_UNAVAILABLE, NULL));
    CHECK(UNTOUCHED(ct) && all_bytes(tag2, 16, 0xEE));
  }
}

static void test_primitives_recovery_and_search(void) {
  static const uint8_t seed[] = "\x9d\x61\xb1\x9d\xef\xfd\x5a\x60\xba\x84\x4a\xf4\x92\xec\x2c\xc4" /* RFC 8032 7.1 */
                                "\x44\x49\xc5\x69\x7b\x32\x69\x19\x70\x3b\xac\x03\x1c\xae\x7f\x60"; /* test 1 */
  static const uint8_t bad_pub[32] = {2}; /* y = 2: not a curve point */
  uint8_t pub[32], sig[64], out[32], ikm[22], enc[32], enc2[32];
  tessella_error e = {-1, NULL};
  tessella_buf phrase = {NULL, 0};
  size_t spaces = 0, i;
  tessella_signing_key *key = tessella_signing_key_from_seed(seed);
  CHECK(key != NULL);
  tessella_verifying_key_bytes(key, pub);
  CHECK(tessella_sign(key, NULL, 0, sig, &e) == 0);
  CHECK(pub[0] == 0xd7 && pub[1] == 0x5a && pub[31] == 0x1a && sig[0] == 0xe5 && sig[63] == 0x0b);
  CHECK(tessella_verify(pub, NULL, 0, sig, &e) == 0);
  CHECK(FAILS(tessella_verify(bad_pub, NULL, 0, sig, &e), SIGNATURE_INVALID, NULL));
  CHECK(REFUSED(tessella_verify(NULL, NULL, 0, sig, &e)));
  tessella_signing_key_free(key);

  tessella_cid_blake3(NULL, 0, out); /* BLAKE3 of the empty input */
  CHECK(out[0] == 0xaf && out[1] == 0x13 && out[31] == 0x62);
  memset(ikm, 0x0b, sizeof ikm); /* RFC 5869 test case 3: empty salt and info */
  CHECK(tessella_hkdf_derive(ikm, sizeof ikm, NULL, 0, out, &e) == 0);
  CHECK(out[0] == 0x8d && out[1] == 0xa4 && out[31] == 0x2d);

  CHECK(tessella_generate_mnemonic(12, &phrase, &e) == 0);
  for (i = 0; i < phrase.len; ++i) spaces += phrase.data[i] == ' ';
  CHECK(spaces == 11 && tessella_restore_keys((const char *)phrase.data, phrase.len, enc, sig, &e) == 0);
  tessella_buf_free(&phrase);
  CHECK(FAILS(tessella_generate_mnemonic(13, &phrase, &e), INVALID_FORMAT, "invalid word count"));
  memset(enc2, 0x5A, 32);
  CHECK(FAILS(tessella_restore_keys("abandon", 7, enc2, sig, &e), INVALID_FORMAT, "invalid mnemonic"));
  CHECK(REFUSED(tessella_restore_keys(NULL, 7, enc2, sig, &e)) && all_bytes(enc2, 32, 0x5A));

  /* RFC 4231 test case 2; the empty key and term; NULL with a length. */
  CHECK(tessella_blind_index((const uint8_t *)"Jefe", 4, (const uint8_t *)"what do ya want for nothing?", 28, out,
                             &e) == 0 && out[0] == 0x5b && out[1] == 0xdc && out[31] == 0x43);
}

#define SEAL(alg, key_len, signer, out, cid)                                                                   \
  tessella_seal_bytes(alg, 0, 0, nonce, ts, author, owner, prev, NULL, 0, (const uint8_t *)meta, strlen(meta), \
                      pt, 4, key, key_len, signer, out, cid, &e)
#define OPEN(cap, cap_len, presenter, when, out) \
  tessella_open_bytes(frame.data, frame.len, key, 32, cap, cap_len, presenter, when, out, &e)
#define SEAL_INTO(alg, out, cap, len, cid)                                                                       \
  tessella_seal_bytes_into(alg, 0, 0, nonce, ts, author, owner, prev, NULL, 0, (const uint8_t *)meta, strlen(meta), \
                           pt, 4, key, 32, signers[0], out, cap, len, cid, &e)
#define OPEN_INTO(cap, presenter, when, out, out_cap) \
  tessella_open_bytes_into(frame.data, frame.len, key, 32, cap, 180, presenter, when, out, out_cap, &n, &e)
#define VERIFY(data, len) tessella_verify_bytes(data, len, &report, &e)
#define EVENT(kind, key_len, signer) \
  tessella_seal_event(2, author, owner, prev, kind, cid, 3, 50, holder, key, key_len, signer, &out, cid2, &e)

static void test_frames(void) {
  uint8_t seeds[3][32], pubs[3][32], nonce[12], ts[16], owner[32], prev[32], key[32];
  uint8_t cid[32], cid2[32], token[180], token2[180];
  static const char meta[] = "{\"require_cap\":true,\"allowed_ops\":1}";
  static const uint8_t pt[4] = {'d', 'a', 't', 'a'};
  tessella_signing_key *signers[3];
  tessella_buf frame = {NULL, 0}, out = {NULL, 0};
  tessella_error e = {-1, NULL};
  tessella_frame_verification report;
  const uint8_t *author = pubs[0], *issuer = pubs[1], *holder = pubs[2];
  uint64_t now = 101; /* past the token's expiry */
  int i;
  size_t n = 0;
  uint8_t wire[512], plain[8];
  tessella_frame_fields fields;
  tessella_policy policy;
  tessella_cap_token decoded;
  for (i = 0; i < 3; ++i) {
    memset(seeds[i], i + 1, 32);
    signers[i] = tessella_signing_key_from_seed(seeds[i]);
    tessella_verifying_key_bytes(signers[i], pubs[i]);
  }
  memset(nonce, 4, 12), memset(ts, 5, 16), memset(owner, 6, 32), memset(prev, 7, 32), memset(key, 8, 32);

  CHECK(SEAL(1, 32, signers[0], &frame, cid) == 0 && frame.len == 216 + strlen(meta) + 4);
  memset(cid2, 0xAB, 32); /* failures leave out_frame and out_cid untouched */
  CHECK(FAILS(SEAL(1, 16, signers[0], &out, cid2), KEY_UNAVAILABLE, NULL));
  CHECK(FAILS(SEAL(9, 32, signers[0], &out, cid2), INVALID_FORMAT, "alg"));

  CHECK(VERIFY(frame.data, frame.len) == 0 && report.valid == 1 && !report.reason && !memcmp(report.cid, cid, 32));
  CHECK(FAILS(VERIFY(frame.data, 100), INVALID_FORMAT, "too short"));

  CHECK(tessella_frame_reserialize(frame.data, frame.len, &out, &e) == 0 && out.len == frame.len);
  tessella_buf_free(&out);
  CHECK(tessella_frame_aad(frame.data, frame.len, 5, &out, &e) == 0);
  CHECK(out.len == 136 + strlen(meta) && out.data[135] == 5 && memcmp(out.data, frame.data, 132) == 0);
  tessella_buf_free(&out);
  CHECK(FAILS(tessella_frame_aad(frame.data, 135, 5, &out, &e), INVALID_FORMAT, "too short") && UNTOUCHED(out));

  /* Fields and section places without copying; the identifier of the frame's own bytes. */
  CHECK(tessella_frame_parse(frame.data, frame.len, &fields, &e) == 0 && fields.alg == 1 && fields.version == 1);
  CHECK(fields.meta_offset == 136 && fields.meta_len == strlen(meta) && fields.ct_offset == 136 + strlen(meta));
  CHECK(fields.ct_len == 4 && fields.frame_len == frame.len);
  CHECK(tessella_frame_cid(frame.data, frame.len + 0, cid2, &e) == 0 && !memcmp(cid2, cid, 32));
  memset(&fields, 0x5A, sizeof fields), memset(cid2, 0x5A, 32);
  CHECK(FAILS(tessella_frame_parse(frame.data, frame.len - 1, &fields, &e), INVALID_FORMAT, "length"));
  CHECK(FAILS(tessella_frame_cid(frame.data, 135, cid2, &e), INVALID_FORMAT, "too short"));
  CHECK(all_bytes((const uint8_t *)&fields, sizeof fields, 0x5A) && all_bytes(cid2, 32, 0x5A));
  CHECK(tessella_read_policy((const uint8_t *)meta, strlen(meta), &policy, &e) == 0);
  CHECK(policy.require_cap == 1 && policy.allowed_ops == 1);

  /* Into the caller's buffer: the same frame, and a buffer one byte short refused untouched. */
  CHECK(tessella_sealed_len(0, strlen(meta), 4, &n, &e) == 0 && n == frame.len);
  CHECK(FAILS(tessella_sealed_len(65536, 0, 0, &n, &e), INVALID_FORMAT, "section too long"));
  CHECK(FAILS(tessella_sealed_len(0, 0, (size_t)-1, &n, &e), INVALID_FORMAT, "payload too long") && n == frame.len);
  CHECK(SEAL_INTO(1, wire, sizeof wire, &n, cid2) == 0 && n == frame.len && !memcmp(wire, frame.data, n));
  memset(wire, 0x5A, sizeof wire);
  CHECK(FAILS(SEAL_INTO(1, wire, frame.len - 1, &n, cid2), INVALID_FORMAT, "buffer too small"));
  CHECK(REFUSED(SEAL_INTO(1, NULL, 5, &n, cid2)) && all_bytes(wire, sizeof wire, 0x5A) && n == frame.len);

  CHECK(tessella_cap_issue(seeds[1], issuer, cid, 1, 100, holder, token, &e) == 0);
  CHECK(tessella_cap_decode(token, 180, &decoded, &e) == 0 && decoded.rights == 1 && decoded.exp_ts == 100);
  CHECK(FAILS(tessella_cap_decode(token, 179, &decoded, &e), CAPABILITY_INVALID, NULL));
  CHECK(token[32] == 1 && token[36] == 100 && token[108] == 64 && memcmp(token + 76, issuer, 32) == 0);
  memset(token2, 0x5A, 180);
  CHECK(REFUSED(tessella_cap_issue(NULL, issuer, cid, 1, 100, holder, token2, &e)));
  CHECK(all_bytes(token2, 180, 0x5A) && tessella_cap_verify(token, 180, holder, &e) == 0);

  /* Open up to the expiry; after it, without a token or presenter, or into NULL: refused. */
  CHECK(OPEN(token, 180, holder, NULL, &out) == 0 && out.len == 4 && memcmp(out.data, pt, 4) == 0);
  tessella_buf_free(&out);
  CHECK(FAILS(OPEN(NULL, 0, holder, NULL, &out), CAPABILITY_INVALID, NULL));
  CHECK(REFUSED(OPEN(token, 180, holder, NULL, NULL)) && UNTOUCHED(out));
  CHECK(OPEN_INTO(token, holder, NULL, plain, sizeof plain) == 0 && n == 4 && !memcmp(plain, pt, 4));
  memset(plain, 0x5A, sizeof plain), n = 99;
  CHECK(FAILS(OPEN_INTO(token, holder, NULL, plain, 3), INVALID_FORMAT, "buffer too small"));
  CHECK(FAILS(OPEN_INTO(token, holder, &now, plain, 4), CAPABILITY_INVALID, NULL));
  CHECK(REFUSED(OPEN_INTO(token, holder, NULL, NULL, 4)) && all_bytes(plain, 8, 0x5A) && n == 99);
  key[0] ^= 1; /* a failed decryption leaves zeros where the plaintext would be */
  CHECK(FAILS(OPEN_INTO(token, holder, NULL, plain, sizeof plain), AEAD_TAG_MISMATCH, NULL));
  CHECK(all_bytes(plain, 4, 0) && all_bytes(plain + 4, 4, 0x5A) && n == 99);
  key[0] ^= 1;

  CHECK(tessella_transfer_bytes(prev, owner, &out, &e) == 0 && out.len == 216);
  CHECK(out.data[0] == 1 && out.data[1] == 2 && out.data[2] == 1 && out.data[64] == 6 && out.data[96] == 7);
  tessella_buf_free(&out);

  CHECK(EVENT(2, 32, signers[0]) == 0 && !VERIFY(out.data, out.len) && report.valid && !memcmp(report.cid, cid2, 32));
  tessella_buf_free(&out);
  memset(cid2, 0xAB, 32);
  CHECK(FAILS(EVENT(3, 32, signers[0]), INVALID_FORMAT, "event kind"));
  CHECK(REFUSED(EVENT(0, 32, NULL)) && UNTOUCHED(out) && all_bytes(cid2, 32, 0xAB));

  tessella_buf_free(&frame);
  for (i = 0; i < 3; ++i) tessella_signing_key_free(signers[i]);
}

int main(void) {
  test_errors_and_rights();
  test_aead();
  test_primitives_recovery_and_search();
  test_frames();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
