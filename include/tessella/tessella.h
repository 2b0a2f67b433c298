/* tessella C ABI.
 *
 * Conventions (see docs/design.md):
 * - Byte strings are a pointer and a length; NULL with length 0 is the empty string. Fixed-size
 *   arrays must point to that many readable (or writable) bytes.
 * - An optional input is absent when its pointer is NULL; absent is not empty.
 * - Fallible functions return 0 on success and -1 on failure. On failure they fill *err when
 *   err is not NULL and leave every output untouched (output buffers stay {NULL, 0}).
 * - Nothing aborts, throws or prints; running out of memory is kind 8 (TESSELLA_INTERNAL) with
 *   detail "out of memory".
 * - Every function is re-entrant and keeps no state.
 */
#ifndef TESSELLA_H
#define TESSELLA_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(TESSELLA_BUILDING)
#    define TESSELLA_EXPORT __declspec(dllexport)
#  else
#    define TESSELLA_EXPORT
#  endif
#else
#  define TESSELLA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TESSELLA_NONCE_LEN 12
#define TESSELLA_TAG_LEN 16
#define TESSELLA_TS_LEN 16
#define TESSELLA_KEY_LEN 32
#define TESSELLA_CID_LEN 32
#define TESSELLA_PUBLIC_KEY_LEN 32
#define TESSELLA_SEED_LEN 32
#define TESSELLA_SIGNATURE_LEN 64
#define TESSELLA_CAP_TOKEN_LEN 180

typedef enum tessella_kind {
  TESSELLA_INVALID_FORMAT = 0, TESSELLA_SIGNATURE_INVALID = 1, TESSELLA_AEAD_TAG_MISMATCH = 2,
  TESSELLA_NONCE_INVALID = 3, TESSELLA_CAPABILITY_INVALID = 4, TESSELLA_POLICY_VIOLATION = 5,
  TESSELLA_KEY_UNAVAILABLE = 6, TESSELLA_CRYPTO = 7, TESSELLA_INTERNAL = 8
} tessella_kind;

typedef struct tessella_error {
  int32_t kind;          /* a tessella_kind */
  const char *detail;    /* static NUL-terminated text for kinds 0, 7, 8; NULL otherwise */
} tessella_error;

/* Writes the error's text form, NUL-terminated and cut to fit `cap` bytes; returns the length of
   the whole text (without NUL), like snprintf. out may be NULL when cap is 0. A NULL err or an
   unknown kind writes "internal error: unknown error". */
TESSELLA_EXPORT size_t tessella_error_message(const tessella_error *err, char *out, size_t cap);

typedef struct tessella_buf { uint8_t *data; size_t len; } tessella_buf;  /* owned by the caller */
TESSELLA_EXPORT void tessella_buf_free(tessella_buf *buf);   /* releases data, sets {NULL, 0}; NULL-safe */

TESSELLA_EXPORT const char *tessella_version(void);          /* e.g. "0.1.0" */

/* ---- Primitives ---- */

/* alg 1: AES-256-GCM; any other value: ChaCha20-Poly1305 (as the frame layer maps it). */
TESSELLA_EXPORT int tessella_aead_encrypt(uint8_t alg, const uint8_t *key, size_t key_len,
                                          const uint8_t nonce[12], const uint8_t *aad,
                                          size_t aad_len, const uint8_t *pt, size_t pt_len,
                                          tessella_buf *out_ct, uint8_t out_tag[16],
                                          tessella_error *err);
TESSELLA_EXPORT int tessella_aead_decrypt(uint8_t alg, const uint8_t *key, size_t key_len,
                                          const uint8_t nonce[12], const uint8_t *aad,
                                          size_t aad_len, const uint8_t *ct, size_t ct_len,
                                          const uint8_t tag[16], tessella_buf *out_pt,
                                          tessella_error *err);

/* 12 bytes from the operating system's random source. */
TESSELLA_EXPORT void tessella_random_nonce(uint8_t out[12]);

typedef struct tessella_signing_key tessella_signing_key;   /* opaque; secret wiped on free */
/* NULL only if out of memory (or seed is NULL). */
TESSELLA_EXPORT tessella_signing_key *tessella_signing_key_from_seed(const uint8_t seed[32]);
TESSELLA_EXPORT void tessella_signing_key_free(tessella_signing_key *key);  /* NULL-safe */
TESSELLA_EXPORT void tessella_verifying_key_bytes(const tessella_signing_key *key, uint8_t out[32]);
TESSELLA_EXPORT void tessella_sign(const tessella_signing_key *key, const uint8_t *msg,
                                   size_t msg_len, uint8_t out_sig[64]);
/* Public key bytes that do not decode to a curve point give SignatureInvalid. */
TESSELLA_EXPORT int tessella_verify(const uint8_t pub[32], const uint8_t *msg, size_t msg_len,
                                    const uint8_t sig[64], tessella_error *err);

TESSELLA_EXPORT void tessella_cid_blake3(const uint8_t *data, size_t len, uint8_t out[32]);
/* HKDF-SHA-256 with an empty salt, 32 bytes of output. */
TESSELLA_EXPORT void tessella_hkdf_derive(const uint8_t *ikm, size_t ikm_len, const uint8_t *info,
                                          size_t info_len, uint8_t out[32]);

/* ---- Frames ---- */

/* deserialize, then serialize: the frame's canonical wire form (input minus trailing bytes). */
TESSELLA_EXPORT int tessella_frame_reserialize(const uint8_t *bytes, size_t len, tessella_buf *out,
                                               tessella_error *err);

/* The frame's associated data for ciphertext length n. */
TESSELLA_EXPORT int tessella_frame_aad(const uint8_t *bytes, size_t len, uint32_t n,
                                       tessella_buf *out, tessella_error *err);

TESSELLA_EXPORT int tessella_seal_bytes(uint8_t alg, uint8_t hdr2, uint8_t hdr3,
                                        const uint8_t nonce[12], const uint8_t ts[16],
                                        const uint8_t author[32], const uint8_t owner[32],
                                        const uint8_t prev_cid[32], const uint8_t *pol,
                                        size_t pol_len, const uint8_t *meta, size_t meta_len,
                                        const uint8_t *pt, size_t pt_len, const uint8_t *key,
                                        size_t key_len, const tessella_signing_key *signer,
                                        tessella_buf *out_frame, uint8_t out_cid[32],
                                        tessella_error *err);

/* cap, presenter_pub and now are optional (NULL = absent). With now == NULL this is open_bytes. */
TESSELLA_EXPORT int tessella_open_bytes(const uint8_t *frame, size_t frame_len, const uint8_t *key,
                                        size_t key_len, const uint8_t *cap, size_t cap_len,
                                        const uint8_t presenter_pub[32], const uint64_t *now,
                                        tessella_buf *out_pt, tessella_error *err);

typedef struct tessella_frame_verification {
  uint8_t cid[32];
  int32_t valid;          /* 1 or 0 */
  const char *reason;     /* NULL when valid, otherwise static "signature" */
} tessella_frame_verification;
TESSELLA_EXPORT int tessella_verify_bytes(const uint8_t *frame, size_t frame_len,
                                          tessella_frame_verification *out, tessella_error *err);

/* The unsigned ownership-transfer template, in wire form. */
TESSELLA_EXPORT int tessella_transfer_bytes(const uint8_t prev_cid[32], const uint8_t new_owner[32],
                                            tessella_buf *out, tessella_error *err);

/* ---- Capabilities and rights ---- */

TESSELLA_EXPORT int tessella_cap_issue(const uint8_t issuer_seed[32], const uint8_t issuer_pub[32],
                                       const uint8_t scope_cid[32], uint32_t rights,
                                       uint64_t exp_ts, const uint8_t holder_pub[32],
                                       uint8_t out_token[180], tessella_error *err);
/* Decodes the token (a decode failure gives CapabilityInvalid), then checks holder and signature. */
TESSELLA_EXPORT int tessella_cap_verify(const uint8_t *token, size_t token_len,
                                        const uint8_t presenter_pub[32], tessella_error *err);

/* Display form (READ_FEATURES | READ_RAW ...), NUL-terminated, cut to fit; returns the whole length
   (at most 88). Never fails and never allocates. */
TESSELLA_EXPORT size_t tessella_rights_format(uint32_t bits, char *out, size_t cap);
/* Parses the text form. Returns 0 and sets *out, or returns -1 and sets *parse_error to
   1 (EmptyFlag), 2 (InvalidNamedFlag) or 3 (InvalidHexFlag) when parse_error is not NULL. */
TESSELLA_EXPORT int tessella_rights_parse(const char *text, size_t len, uint32_t *out,
                                          int32_t *parse_error);

/* ---- Events, recovery, search ---- */

/* kind: 0 OwnershipTransfer, 1 ReadEvent, 2 LicenseGrant; any other value fails with InvalidFormat. */
TESSELLA_EXPORT int tessella_seal_event(uint8_t alg, const uint8_t author[32],
                                        const uint8_t owner[32], const uint8_t prev_cid[32],
                                        int32_t kind, const uint8_t scope_cid[32], uint32_t rights,
                                        uint64_t exp_ts, const uint8_t peer_pub[32],
                                        const uint8_t *key, size_t key_len,
                                        const tessella_signing_key *signer,
                                        tessella_buf *out_frame, uint8_t out_cid[32],
                                        tessella_error *err);

/* The phrase is returned as text in out (not NUL-terminated; len is its length). */
TESSELLA_EXPORT int tessella_generate_mnemonic(size_t words, tessella_buf *out, tessella_error *err);
TESSELLA_EXPORT int tessella_restore_keys(const char *phrase, size_t len, uint8_t out_enc_key[32],
                                          uint8_t out_sign_seed[32], tessella_error *err);

TESSELLA_EXPORT int tessella_blind_index(const uint8_t *key, size_t key_len, const uint8_t *term,
                                         size_t term_len, uint8_t out[32], tessella_error *err);

#ifdef __cplusplus
}
#endif

#endif /* TESSELLA_H */
