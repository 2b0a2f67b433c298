/* The C ABI from plain C: every entry point, its conventions checked for every function from one
   table, the trust of the opening calls, failure outputs left untouched. */
#include <stdio.h>
#include <stdlib.h>
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
  CHECK(strcmp(tessella_version(), TESSELLA_VERSION_STRING) == 0 && strcmp(tessella_version(), "1.1.0") == 0);

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

/* ---- The conventions, for every function ----
   Each function is called through a wrapper that takes its pointer arguments from p[]: inputs
   from the fixture, outputs from buffers prefilled with a pattern. The driver checks that every
   byte of a fixed-size output is written on success, that nothing past it is, that each required
   pointer set to NULL in turn gives "null argument" and touches nothing, that an optional one
   does not, and that a failure of another kind (bad = 1) touches nothing either. */

enum role { END, IN, OPT, OUT, OUT_STRUCT, BUF };
typedef struct { int role; size_t size; void *init; } slot;
typedef int (*call_fn)(void **p, int bad, tessella_error *e);
typedef struct {
  const char *name;
  call_fn call;
  int has_bad, is_void;
  slot s[14];
} api_case;

#define MAX_SLOTS 14
#define OUT_CAP 512
static uint8_t outs[MAX_SLOTS][OUT_CAP], seen[3][MAX_SLOTS][OUT_CAP];
static tessella_buf bufs[MAX_SLOTS];

static struct {
  uint8_t seed[32], pub[32], holder_seed[32], holder[32], key[32], nonce[12], ts[16], prev[32];
  uint8_t aad[3], pt[4], ct[4], tag[16], sig[64], pol[2], meta[64], frame[512], token[180];
  size_t meta_len, frame_len;
  uint64_t now;
  tessella_trust trust;
  tessella_signing_key *signer;
  char phrase[256];
  size_t phrase_len;
} fx;

static void fixture(void) {
  tessella_error e;
  tessella_buf b = {NULL, 0};
  uint8_t cid[32];
  static const char meta[] = "{\"require_cap\":true,\"allowed_ops\":1}";
  memset(fx.seed, 0x21, 32), memset(fx.holder_seed, 0x22, 32), memset(fx.key, 0x23, 32);
  memset(fx.nonce, 0x24, 12), memset(fx.ts, 0x25, 16), memset(fx.prev, 0x26, 32);
  memcpy(fx.aad, "aad", 3), memcpy(fx.pt, "text", 4), memcpy(fx.pol, "pp", 2);
  fx.meta_len = strlen(meta), memcpy(fx.meta, meta, fx.meta_len);
  fx.signer = tessella_signing_key_from_seed(fx.seed);
  tessella_verifying_key_bytes(fx.signer, fx.pub);
  {
    tessella_signing_key *h = tessella_signing_key_from_seed(fx.holder_seed);
    tessella_verifying_key_bytes(h, fx.holder);
    tessella_signing_key_free(h);
  }
  CHECK(tessella_aead_encrypt(1, fx.key, 32, fx.nonce, fx.aad, 3, fx.pt, 4, &b, fx.tag, &e) == 0 && b.len == 4);
  if (b.len == 4) memcpy(fx.ct, b.data, 4);
  tessella_buf_free(&b);
  CHECK(tessella_sign(fx.signer, fx.pt, 4, fx.sig, &e) == 0);
  /* A guarded frame whose owner is the signer, and the signer's token for the holder. */
  CHECK(tessella_seal_bytes(1, 0, 0, fx.nonce, fx.ts, fx.pub, fx.pub, fx.prev, fx.pol, 2, fx.meta, fx.meta_len,
                            fx.pt, 4, fx.key, 32, fx.signer, &b, cid, &e) == 0 && b.len <= sizeof fx.frame);
  fx.frame_len = b.len, memcpy(fx.frame, b.data, b.len);
  tessella_buf_free(&b);
  CHECK(tessella_cap_issue(fx.seed, fx.pub, cid, 1, 1000, fx.holder, fx.token, &e) == 0);
  fx.now = 1000;
  fx.trust.issuers = NULL, fx.trust.issuer_count = 0, fx.trust.owner = 1;
  CHECK(tessella_generate_mnemonic(24, &b, &e) == 0 && b.len < sizeof fx.phrase);
  fx.phrase_len = b.len, memcpy(fx.phrase, b.data, b.len);
  memset(b.data, 0, b.len);
  tessella_buf_free(&b);
}

#define B(i) ((uint8_t *)p[i])
static int w_aead_encrypt(void **p, int bad, tessella_error *e) {
  return tessella_aead_encrypt(1, B(0), bad ? 31 : 32, B(1), B(2), 3, B(3), 4, p[4], B(5), e);
}
static int w_aead_decrypt(void **p, int bad, tessella_error *e) {
  return tessella_aead_decrypt(1, B(0), 32, B(1), B(2), bad ? 2 : 3, B(3), 4, B(4), p[5], e);
}
static int w_random_nonce(void **p, int bad, tessella_error *e) {
  (void)bad, (void)e;
  tessella_random_nonce(B(0));
  return 0;
}
static int w_verifying_key_bytes(void **p, int bad, tessella_error *e) {
  (void)bad, (void)e;
  tessella_verifying_key_bytes(p[0], B(1));
  return 0;
}
static int w_sign(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_sign(p[0], B(1), 4, B(2), e);
}
static int w_verify(void **p, int bad, tessella_error *e) {
  return tessella_verify(B(0), B(1), bad ? 3 : 4, B(2), e);
}
static int w_cid_blake3(void **p, int bad, tessella_error *e) {
  (void)bad, (void)e;
  tessella_cid_blake3(B(0), 4, B(1));
  return 0;
}
static int w_hkdf(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_hkdf_derive(B(0), 4, B(1), 3, B(2), e);
}
#define FRAME_LEN (bad ? 100 : fx.frame_len)
static int w_frame_parse(void **p, int bad, tessella_error *e) {
  return tessella_frame_parse(B(0), FRAME_LEN, p[1], e);
}
static int w_frame_cid(void **p, int bad, tessella_error *e) {
  return tessella_frame_cid(B(0), FRAME_LEN, B(1), e);
}
static int w_frame_reserialize(void **p, int bad, tessella_error *e) {
  return tessella_frame_reserialize(B(0), FRAME_LEN, p[1], e);
}
static int w_frame_aad(void **p, int bad, tessella_error *e) {
  return tessella_frame_aad(B(0), FRAME_LEN, 9, p[1], e);
}
static int w_seal(void **p, int bad, tessella_error *e) {
  return tessella_seal_bytes(1, 0, 0, B(0), B(1), B(2), B(3), B(4), B(5), 2, B(6), fx.meta_len, B(7), 4, B(8),
                             bad ? 31 : 32, p[9], p[10], B(11), e);
}
static int w_sealed_len(void **p, int bad, tessella_error *e) {
  return tessella_sealed_len(bad ? 65536 : 2, 3, 4, p[0], e);
}
static int w_seal_into(void **p, int bad, tessella_error *e) {
  return tessella_seal_bytes_into(1, 0, 0, B(0), B(1), B(2), B(3), B(4), B(5), 2, B(6), fx.meta_len, B(7), 4,
                                  B(8), bad ? 31 : 32, p[9], B(10), fx.frame_len, p[11], B(12), e);
}
#define OPEN_ARGS B(0), fx.frame_len, B(1), bad ? 31 : 32, B(2), 180, B(3), p[4]
static int w_open(void **p, int bad, tessella_error *e) {
  return tessella_open_bytes(OPEN_ARGS, p[5], e);
}
static int w_open_into(void **p, int bad, tessella_error *e) {
  return tessella_open_bytes_into(OPEN_ARGS, B(5), 4, p[6], e);
}
static int w_open_trusted(void **p, int bad, tessella_error *e) {
  return tessella_open_bytes_trusted(OPEN_ARGS, p[5], p[6], e);
}
static int w_open_trusted_into(void **p, int bad, tessella_error *e) {
  return tessella_open_bytes_trusted_into(OPEN_ARGS, p[5], B(6), 4, p[7], e);
}
static int w_verify_bytes(void **p, int bad, tessella_error *e) {
  return tessella_verify_bytes(B(0), FRAME_LEN, p[1], e);
}
static int w_transfer(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_transfer_bytes(B(0), B(1), p[2], e);
}
static int w_read_policy(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_read_policy(B(0), fx.meta_len, p[1], e);
}
static int w_cap_decode(void **p, int bad, tessella_error *e) {
  return tessella_cap_decode(B(0), bad ? 179 : 180, p[1], e);
}
static int w_cap_issue(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_cap_issue(B(0), B(1), B(2), 3, 4, B(3), B(4), e);
}
static int w_cap_verify(void **p, int bad, tessella_error *e) {
  return tessella_cap_verify(B(0), bad ? 179 : 180, B(1), e);
}
static int w_seal_event(void **p, int bad, tessella_error *e) {
  return tessella_seal_event(2, B(0), B(1), B(2), 1, B(3), 3, 5, B(4), B(5), bad ? 31 : 32, p[6], p[7], B(8), e);
}
static int w_generate_mnemonic(void **p, int bad, tessella_error *e) {
  return tessella_generate_mnemonic(bad ? 13 : 12, p[0], e);
}
static int w_restore_keys(void **p, int bad, tessella_error *e) {
  return tessella_restore_keys(p[0], bad ? fx.phrase_len - 1 : fx.phrase_len, B(1), B(2), e);
}
static int w_blind_index(void **p, int bad, tessella_error *e) {
  (void)bad;
  return tessella_blind_index(B(0), 32, B(1), 4, B(2), e);
}

#define I(x) {IN, 0, (void *)(x)}
#define O(n) {OUT, n, NULL}
#define OS(n) {OUT_STRUCT, n, NULL}
#define OP(x) {OPT, 0, (void *)(x)}
#define BF {BUF, 0, NULL}
#define SEAL_INPUTS OP(fx.nonce), I(fx.ts), I(fx.pub), I(fx.pub), I(fx.prev), I(fx.pol), I(fx.meta), I(fx.pt), \
                    I(fx.key), I(fx.signer)
#define OPEN_INPUTS I(fx.frame), I(fx.key), OP(fx.token), OP(fx.holder), OP(&fx.now)

static const api_case *api_cases(void) {
  static api_case cases[40];
  const api_case list[] = {
      {"aead_encrypt", w_aead_encrypt, 1, 0, {I(fx.key), I(fx.nonce), I(fx.aad), I(fx.pt), BF, O(16)}},
      {"aead_decrypt", w_aead_decrypt, 1, 0, {I(fx.key), I(fx.nonce), I(fx.aad), I(fx.ct), I(fx.tag), BF}},
      {"random_nonce", w_random_nonce, 0, 1, {O(12)}},
      {"verifying_key_bytes", w_verifying_key_bytes, 0, 1, {I(fx.signer), O(32)}},
      {"sign", w_sign, 0, 0, {I(fx.signer), I(fx.pt), O(64)}},
      {"verify", w_verify, 1, 0, {I(fx.pub), I(fx.pt), I(fx.sig)}},
      {"cid_blake3", w_cid_blake3, 0, 1, {I(fx.pt), O(32)}},
      {"hkdf_derive", w_hkdf, 0, 0, {I(fx.pt), I(fx.aad), O(32)}},
      {"frame_parse", w_frame_parse, 1, 0, {I(fx.frame), O(sizeof(tessella_frame_fields))}},
      {"frame_cid", w_frame_cid, 1, 0, {I(fx.frame), O(32)}},
      {"frame_reserialize", w_frame_reserialize, 1, 0, {I(fx.frame), BF}},
      {"frame_aad", w_frame_aad, 1, 0, {I(fx.frame), BF}},
      {"seal_bytes", w_seal, 1, 0, {SEAL_INPUTS, BF, O(32)}},
      {"sealed_len", w_sealed_len, 1, 0, {O(sizeof(size_t))}},
      {"seal_bytes_into", w_seal_into, 1, 0, {SEAL_INPUTS, O(fx.frame_len), O(sizeof(size_t)), O(32)}},
      {"open_bytes", w_open, 1, 0, {OPEN_INPUTS, BF}},
      {"open_bytes_into", w_open_into, 1, 0, {OPEN_INPUTS, O(4), O(sizeof(size_t))}},
      {"open_bytes_trusted", w_open_trusted, 1, 0, {OPEN_INPUTS, I(&fx.trust), BF}},
      {"open_bytes_trusted_into", w_open_trusted_into, 1, 0,
       {OPEN_INPUTS, I(&fx.trust), O(4), O(sizeof(size_t))}},
      {"verify_bytes", w_verify_bytes, 1, 0, {I(fx.frame), OS(sizeof(tessella_frame_verification))}},
      {"transfer_bytes", w_transfer, 0, 0, {I(fx.prev), I(fx.pub), BF}},
      {"read_policy", w_read_policy, 0, 0, {I(fx.meta), O(sizeof(tessella_policy))}},
      {"cap_decode", w_cap_decode, 1, 0, {I(fx.token), OS(sizeof(tessella_cap_token))}},
      {"cap_issue", w_cap_issue, 0, 0, {I(fx.seed), I(fx.pub), I(fx.prev), I(fx.holder), O(180)}},
      {"cap_verify", w_cap_verify, 1, 0, {I(fx.token), I(fx.holder)}},
      {"seal_event", w_seal_event, 1, 0,
       {I(fx.pub), I(fx.pub), I(fx.prev), I(fx.prev), I(fx.holder), I(fx.key), I(fx.signer), BF, O(32)}},
      {"generate_mnemonic", w_generate_mnemonic, 1, 0, {BF}},
      {"restore_keys", w_restore_keys, 1, 0, {I(fx.phrase), O(32), O(32)}},
      {"blind_index", w_blind_index, 0, 0, {I(fx.key), I(fx.pt), O(32)}},
      {NULL, NULL, 0, 0, {{END, 0, NULL}}},
  };
  memcpy(cases, list, sizeof list);
  return cases;
}

static int run(const api_case *c, int null_at, int bad, uint8_t pattern, tessella_error *e) {
  void *p[MAX_SLOTS];
  int i;
  for (i = 0; c->s[i].role != END; ++i) {
    p[i] = c->s[i].init;
    if (c->s[i].role == OUT || c->s[i].role == OUT_STRUCT) memset(outs[i], pattern, OUT_CAP), p[i] = outs[i];
    if (c->s[i].role == BUF) bufs[i].data = NULL, bufs[i].len = 0, p[i] = &bufs[i];
    if (i == null_at) p[i] = NULL;
  }
  if (e != NULL) e->kind = -1, e->detail = NULL;
  return c->call(p, bad, e);
}

/* Nothing written: every output still holds the pattern, every returned buffer is empty. */
static int untouched(const api_case *c, uint8_t pattern) {
  int i, ok = 1;
  for (i = 0; c->s[i].role != END; ++i) {
    if (c->s[i].role == OUT || c->s[i].role == OUT_STRUCT) ok &= all_bytes(outs[i], OUT_CAP, pattern);
    if (c->s[i].role == BUF) ok &= UNTOUCHED(bufs[i]);
  }
  return ok;
}

static void release(const api_case *c) {
  int i;
  for (i = 0; c->s[i].role != END; ++i)
    if (c->s[i].role == BUF) tessella_buf_free(&bufs[i]);
}

#define CHECK_CASE(cond) \
  (void)((cond) ? ++passed : (++failed, fprintf(stderr, "%s:%d: %s: check failed: %s\n", __FILE__, __LINE__, c->name, #cond)))

static void check_conventions(const api_case *c) {
  static const uint8_t patterns[3] = {0x11, 0x5A, 0xA5};
  tessella_error e;
  int i, r, written;
  size_t j;
  for (r = 0; r < 3; ++r) {
    CHECK_CASE(run(c, -1, 0, patterns[r], &e) == 0);
    for (i = 0; c->s[i].role != END; ++i) {
      if (c->s[i].role == OUT) CHECK_CASE(all_bytes(outs[i] + c->s[i].size, OUT_CAP - c->s[i].size, patterns[r]));
      if (c->s[i].role == BUF) CHECK_CASE(bufs[i].len > 0 && bufs[i].data != NULL);
    }
    memcpy(seen[r], outs, sizeof outs);
    release(c);
  }
  for (i = 0; c->s[i].role != END; ++i) {
    if (c->s[i].role != OUT) continue;
    for (j = 0, written = 1; j < c->s[i].size; ++j)
      written &= seen[0][i][j] != patterns[0] || seen[1][i][j] != patterns[1] || seen[2][i][j] != patterns[2];
    CHECK_CASE(written);
  }
  CHECK_CASE(run(c, -1, 0, 0x5A, NULL) == 0); /* err is optional */
  release(c);
  for (i = 0; c->s[i].role != END; ++i) {
    const int rc = run(c, i, 0, 0x5A, &e);
    if (c->s[i].role == OPT) {
      CHECK_CASE(!(rc == -1 && error_is(&e, TESSELLA_INTERNAL, "null argument")));
    } else if (c->is_void) {
      CHECK_CASE(rc == 0 && untouched(c, 0x5A));
    } else {
      CHECK_CASE(rc == -1 && error_is(&e, TESSELLA_INTERNAL, "null argument") && untouched(c, 0x5A));
    }
    release(c);
  }
  if (c->has_bad) {
    CHECK_CASE(run(c, -1, 1, 0x5A, &e) == -1 && e.kind >= 0 && e.kind <= 8 && untouched(c, 0x5A));
    release(c);
  }
}

/* Text outputs cut at every length keep the byte after cap and end in a NUL inside it. */
static void check_text(const char *name, size_t (*write)(const void *arg, char *out, size_t cap), const void *arg) {
  char full[128], buf[130];
  const size_t n = write(arg, full, sizeof full);
  size_t cap;
  for (cap = 0; cap <= n + 1; ++cap) {
    memset(buf, 0x5A, sizeof buf);
    if (write(arg, cap == 0 ? NULL : buf, cap) != n || buf[cap] != 0x5A ||
        (cap > 0 && (strlen(buf) != (cap - 1 < n ? cap - 1 : n) || strncmp(buf, full, strlen(buf)) != 0))) {
      ++failed, fprintf(stderr, "%s: text cut at %zu bytes\n", name, cap);
      return;
    }
  }
  ++passed;
}
static size_t write_error(const void *arg, char *out, size_t cap) { return tessella_error_message(arg, out, cap); }
static size_t write_rights(const void *arg, char *out, size_t cap) {
  return tessella_rights_format(*(const uint32_t *)arg, out, cap);
}

/* Every algorithm byte: 1 is AES-256-GCM and any other value ChaCha20-Poly1305 for the raw AEAD;
   sealing takes 1 and 2 and refuses the rest with "alg", writing nothing. */
static void check_algorithms(void) {
  uint8_t tags[3][16], tag[16], cid[32];
  tessella_buf ct[3] = {{NULL, 0}, {NULL, 0}, {NULL, 0}}, out = {NULL, 0};
  tessella_error e;
  int alg, ok_aead = 1, ok_seal = 1;
  for (alg = 1; alg <= 2; ++alg)
    CHECK(tessella_aead_encrypt((uint8_t)alg, fx.key, 32, fx.nonce, fx.aad, 3, fx.pt, 4, &ct[alg], tags[alg], &e) == 0);
  for (alg = 0; alg <= 255; ++alg) {
    const int want = alg == 1 ? 1 : 2;
    tessella_buf c = {NULL, 0};
    ok_aead &= tessella_aead_encrypt((uint8_t)alg, fx.key, 32, fx.nonce, fx.aad, 3, fx.pt, 4, &c, tag, &e) == 0 &&
               c.len == 4 && !memcmp(c.data, ct[want].data, 4) && !memcmp(tag, tags[want], 16);
    ok_aead &= tessella_aead_decrypt((uint8_t)alg, fx.key, 32, fx.nonce, fx.aad, 3, c.data, 4, tag, &out, &e) == 0 &&
               !memcmp(out.data, fx.pt, 4);
    tessella_buf_free(&c), tessella_buf_free(&out);
    memset(cid, 0x5A, 32);
    if (alg == 1 || alg == 2) {
      ok_seal &= tessella_seal_bytes((uint8_t)alg, 0, 0, NULL, fx.ts, fx.pub, fx.pub, fx.prev, NULL, 0, NULL, 0, fx.pt,
                                     4, fx.key, 32, fx.signer, &out, cid, &e) == 0 && out.data[1] == alg;
      tessella_buf_free(&out);
      ok_seal &= tessella_seal_event((uint8_t)alg, fx.pub, fx.pub, fx.prev, 0, fx.prev, 1, 2, fx.pub, fx.key, 32,
                                     fx.signer, &out, cid, &e) == 0 && out.data[1] == alg;
    } else {
      ok_seal &= FAILS(tessella_seal_bytes((uint8_t)alg, 0, 0, NULL, fx.ts, fx.pub, fx.pub, fx.prev, NULL, 0, NULL,
                                           0, fx.pt, 4, fx.key, 32, fx.signer, &out, cid, &e), INVALID_FORMAT, "alg");
      ok_seal &= FAILS(tessella_seal_event((uint8_t)alg, fx.pub, fx.pub, fx.prev, 0, fx.prev, 1, 2, fx.pub, fx.key,
                                           32, fx.signer, &out, cid, &e), INVALID_FORMAT, "alg");
      ok_seal &= UNTOUCHED(out) && all_bytes(cid, 32, 0x5A);
    }
    tessella_buf_free(&out);
  }
  CHECK(ok_aead);
  CHECK(ok_seal);
  tessella_buf_free(&ct[1]), tessella_buf_free(&ct[2]);
}

static void test_conventions(void) {
  const api_case *c;
  tessella_error errors[11];
  uint32_t rights[] = {0, 1, 3, 0x1F, 0x80000000u, 0xFFFFFFFFu};
  size_t i;
  fixture();
  for (c = api_cases(); c->name != NULL; ++c) check_conventions(c);
  for (i = 0; i < 11; ++i) {
    errors[i].kind = (int32_t)i - 1; /* -1 and 9 are unknown kinds */
    errors[i].detail = i == 1 ? "section too long" : i == 9 ? "cap ser" : NULL;
    check_text("error_message", write_error, &errors[i]);
  }
  for (i = 0; i < sizeof rights / sizeof rights[0]; ++i) check_text("rights_format", write_rights, &rights[i]);
  check_algorithms();
  tessella_signing_key_free(fx.signer);
}

/* ---- Trust: who may grant access to a guarded frame ---- */

#define OPEN_TRUSTED(token, t, out) \
  tessella_open_bytes_trusted(frame.data, frame.len, key, 32, token, 180, pubs[3], NULL, t, out, &e)
#define OPEN_TRUSTED_INTO(token, t) \
  tessella_open_bytes_trusted_into(frame.data, frame.len, key, 32, token, 180, pubs[3], NULL, t, plain, sizeof plain, &n, &e)

static void test_trust(void) {
  /* 0 author, 1 owner, 2 listed issuer, 3 holder, 4 stranger */
  uint8_t seeds[5][32], pubs[5][32], key[32], ts[16] = {0}, zero[32] = {0}, cid[32], tokens[4][180], plain[8];
  static const char meta[] = "{\"require_cap\":true}";
  tessella_signing_key *keys[5];
  tessella_buf frame = {NULL, 0}, out = {NULL, 0}, second = {NULL, 0};
  tessella_error e;
  tessella_trust trust;
  tessella_frame_fields a, b;
  const int issuer_of[4] = {1, 2, 4, 3}; /* owner, listed, stranger, self-issued by the holder */
  int i, t, owner;
  size_t n;
  for (i = 0; i < 5; ++i) {
    memset(seeds[i], 0x40 + i, 32);
    keys[i] = tessella_signing_key_from_seed(seeds[i]);
    tessella_verifying_key_bytes(keys[i], pubs[i]);
  }
  memset(key, 0x33, 32);
  /* The library draws the nonce: two frames of the same inputs differ in it, and both open. */
  CHECK(tessella_seal_bytes(2, 0, 0, NULL, ts, pubs[0], pubs[1], zero, NULL, 0, (const uint8_t *)meta, strlen(meta),
                            (const uint8_t *)"text", 4, key, 32, keys[0], &frame, cid, &e) == 0);
  CHECK(tessella_seal_bytes(2, 0, 0, NULL, ts, pubs[0], pubs[1], zero, NULL, 0, (const uint8_t *)meta, strlen(meta),
                            (const uint8_t *)"text", 4, key, 32, keys[0], &second, tokens[0], &e) == 0);
  CHECK(tessella_frame_parse(frame.data, frame.len, &a, &e) == 0 && tessella_frame_parse(second.data, second.len, &b, &e) == 0);
  CHECK(memcmp(a.nonce, b.nonce, 12) != 0 && memcmp(cid, tokens[0], 32) != 0);
  CHECK(tessella_open_bytes(second.data, second.len, key, 32, NULL, 0, NULL, NULL, &out, &e) == -1); /* guarded */
  tessella_buf_free(&second);

  for (i = 0; i < 4; ++i)
    CHECK(tessella_cap_issue(seeds[issuer_of[i]], pubs[issuer_of[i]], cid, 0, 100, pubs[3], tokens[i], &e) == 0);
  for (i = 0; i < 4; ++i) {
    for (owner = 0; owner <= 1; ++owner) {
      for (t = 0; t <= 1; ++t) {
        const int opens = (owner && i == 0) || (t && i == 1);
        trust.issuers = t ? pubs[2] : NULL, trust.issuer_count = t ? 1 : 0, trust.owner = owner;
        if (opens) {
          CHECK(OPEN_TRUSTED(tokens[i], &trust, &out) == 0 && out.len == 4 && !memcmp(out.data, "text", 4));
          CHECK(OPEN_TRUSTED_INTO(tokens[i], &trust) == 0 && n == 4 && !memcmp(plain, "text", 4));
        } else {
          memset(plain, 0x5A, sizeof plain), n = 99;
          CHECK(FAILS(OPEN_TRUSTED(tokens[i], &trust, &out), CAPABILITY_INVALID, NULL) && UNTOUCHED(out));
          CHECK(FAILS(OPEN_TRUSTED_INTO(tokens[i], &trust), CAPABILITY_INVALID, NULL));
          CHECK(all_bytes(plain, sizeof plain, 0x5A) && n == 99);
        }
        tessella_buf_free(&out);
        /* The untrusting call lets every issuer in. */
        CHECK(tessella_open_bytes(frame.data, frame.len, key, 32, tokens[i], 180, pubs[3], NULL, &out, &e) == 0);
        tessella_buf_free(&out);
      }
    }
  }
  trust.issuers = NULL, trust.issuer_count = 1, trust.owner = 1;
  CHECK(REFUSED(OPEN_TRUSTED(tokens[0], &trust, &out)) && REFUSED(OPEN_TRUSTED(tokens[0], NULL, &out)));
  tessella_buf_free(&frame);

  /* A frame without a policy ignores the trust, even one that trusts nobody. */
  trust.issuers = NULL, trust.issuer_count = 0, trust.owner = 0;
  CHECK(tessella_seal_bytes(1, 0, 0, NULL, ts, pubs[0], pubs[1], zero, NULL, 0, NULL, 0, (const uint8_t *)"text", 4,
                            key, 32, keys[0], &frame, cid, &e) == 0);
  CHECK(OPEN_TRUSTED(NULL, &trust, &out) == 0 && out.len == 4);
  tessella_buf_free(&out), tessella_buf_free(&frame);

  /* A token naming the identity point as issuer, with R = identity and S = 0: its equation holds
     for any bytes, yet it is refused as a bad signature on the opening path. */
  CHECK(tessella_seal_bytes(1, 0, 0, NULL, ts, pubs[0], pubs[1], zero, NULL, 0, (const uint8_t *)meta, strlen(meta),
                            (const uint8_t *)"text", 4, key, 32, keys[0], &frame, cid, &e) == 0);
  memset(zero, 0, 32), zero[0] = 1;
  CHECK(tessella_cap_issue(seeds[0], zero, cid, 0, 100, pubs[3], tokens[0], &e) == 0);
  memset(tokens[0] + 116, 0, 64), tokens[0][116] = 1;
  CHECK(FAILS(tessella_open_bytes(frame.data, frame.len, key, 32, tokens[0], 180, pubs[3], NULL, &out, &e),
              SIGNATURE_INVALID, NULL));
  CHECK(FAILS(tessella_cap_verify(tokens[0], 180, pubs[3], &e), SIGNATURE_INVALID, NULL));
  tessella_buf_free(&frame);
  for (i = 0; i < 5; ++i) tessella_signing_key_free(keys[i]);
}

int main(void) {
  test_errors_and_rights();
  test_aead();
  test_primitives_recovery_and_search();
  test_frames();
  test_conventions();
  test_trust();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
