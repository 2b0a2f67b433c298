/* tessella C ABI 1.1: seal, sign, name and open frames; capability tokens, events, recovery
 * phrases and blind indexes, for hosts written in C, Swift, Kotlin or any language with a C FFI.
 *
 * Conventions, which hold for every function below:
 * - Byte strings are a pointer and a length; NULL with length 0 is the empty string, NULL with a
 *   length is refused. Fixed-size arrays (`const uint8_t x[32]`) must point to that many readable
 *   (or, for outputs, writable) bytes; no length is passed for them.
 * - An optional input is absent when its pointer is NULL. Absent is not empty: `cap == NULL` is
 *   "no capability", `cap != NULL, cap_len == 0` is a capability of 0 bytes.
 * - A fallible function returns 0 on success and -1 on failure. On failure it fills *err when err
 *   is not NULL and leaves every output untouched (output buffers stay {NULL, 0}); the few
 *   exceptions say so. A NULL required argument gives kind 8 (TESSELLA_INTERNAL) "null argument";
 *   running out of memory gives kind 8 "out of memory". These two are not repeated below.
 * - Errors name a kind and, for kinds 0, 7 and 8, a static detail text; each function lists the
 *   ones it gives. tessella_error_message writes the text form.
 * - Nothing aborts, throws or prints, with one exception: if the operating system's random source
 *   cannot be read, tessella_random_nonce and tessella_generate_mnemonic stop the process rather
 *   than return predictable bytes.
 * - Every function is re-entrant and keeps no state; any number of threads may call at once.
 *   Buffers returned in a tessella_buf belong to the caller and are released with
 *   tessella_buf_free. Output buffers of the *_into functions must not overlap their inputs.
 *
 * What a host must know about security:
 * - Open frames with tessella_open_bytes_trusted (or _trusted_into), naming the issuers it
 *   trusts (the frame's owner, listed keys, or both), and pass the current time as now. The
 *   older tessella_open_bytes accepts a capability token from any issuer as long as its own
 *   signature holds, so a holder can grant itself access, and checks no expiry without now.
 * - Opening checks no frame signature. A host that must know who sealed a frame calls
 *   tessella_verify_bytes and compares the author with the key it expects.
 * - Seal with nonce NULL: the library then draws a fresh nonce. A nonce used twice under one
 *   data key reveals the XOR of the two plaintexts and, with AES-256-GCM, the key that
 *   authenticates every frame under that data key, so that all of them become forgeable.
 * - Frame and token checks refuse public keys of small order (the all-zero key among them),
 *   under which any signature could be made to hold; the primitive tessella_verify does not.
 * - The presenter's public key is a claim: the host must have authenticated the presenter (for
 *   example by a signed challenge) before passing it.
 * - A frame is guarded only when its meta section reads as a policy with "require_cap": true. A
 *   meta the policy reader cannot read (not one JSON object) leaves the frame unguarded, so a
 *   host that means to guard a frame checks its meta with tessella_read_policy before sealing.
 * - Secrets passed in are never kept; secrets returned (keys, seeds, phrases) are the caller's to
 *   wipe. Every copy the library makes is wiped before it is freed.
 */
#ifndef TESSELLA_H
#define TESSELLA_H

#include <stddef.h>
#include <stdint.h>

#define TESSELLA_VERSION_MAJOR 1
#define TESSELLA_VERSION_MINOR 1
#define TESSELLA_VERSION_PATCH 0
#define TESSELLA_VERSION_STRING "1.1.0"

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
/* A frame's fixed part and trailer: a frame is 216 + pol + meta + payload bytes. */
#define TESSELLA_FRAME_OVERHEAD 216

/* The two ciphers of a frame's alg byte. */
#define TESSELLA_ALG_AES_256_GCM 1
#define TESSELLA_ALG_CHACHA20_POLY1305 2

/* The five named rights of a capability token and a frame's "allowed_ops" (bits; others may be
   set too). */
#define TESSELLA_RIGHT_READ_FEATURES 0x1u
#define TESSELLA_RIGHT_READ_RAW 0x2u
#define TESSELLA_RIGHT_TRANSFER_OWNERSHIP 0x4u
#define TESSELLA_RIGHT_LICENSE_GRANT 0x8u
#define TESSELLA_RIGHT_COMPUTE_USE 0x10u

/* The three event kinds of tessella_seal_event. */
#define TESSELLA_EVENT_OWNERSHIP_TRANSFER 0
#define TESSELLA_EVENT_READ 1
#define TESSELLA_EVENT_LICENSE_GRANT 2

/* The nine error kinds. */
typedef enum tessella_kind {
  TESSELLA_INVALID_FORMAT = 0, TESSELLA_SIGNATURE_INVALID = 1, TESSELLA_AEAD_TAG_MISMATCH = 2,
  TESSELLA_NONCE_INVALID = 3, TESSELLA_CAPABILITY_INVALID = 4, TESSELLA_POLICY_VIOLATION = 5,
  TESSELLA_KEY_UNAVAILABLE = 6, TESSELLA_CRYPTO = 7, TESSELLA_INTERNAL = 8
} tessella_kind;

typedef struct tessella_error {
  int32_t kind;          /* a tessella_kind */
  const char *detail;    /* static NUL-terminated text for kinds 0, 7, 8; NULL otherwise */
} tessella_error;

/* Writes the error's text form ("invalid frame format: alg", "aead tag mismatch", ...),
   NUL-terminated and cut to fit `cap` bytes, and returns the length of the whole text (without
   NUL), like snprintf. out may be NULL when cap is 0. A NULL err or an unknown kind writes
   "internal error: unknown error". Never fails. */
TESSELLA_EXPORT size_t tessella_error_message(const tessella_error *err, char *out, size_t cap);

typedef struct tessella_buf { uint8_t *data; size_t len; } tessella_buf;  /* owned by the caller */
/* Releases buf->data and sets *buf to {NULL, 0}. NULL-safe. Does not wipe: wipe a buffer that
   held a secret before releasing it. */
TESSELLA_EXPORT void tessella_buf_free(tessella_buf *buf);

/* The library's version, "1.1.0": the same as TESSELLA_VERSION_STRING of the header it was built
   with. A host compares the two to detect a header from another release. */
TESSELLA_EXPORT const char *tessella_version(void);

/* ---- Primitives ---- */

/* Encrypts pt with AEAD `alg` (1: AES-256-GCM; any other value: ChaCha20-Poly1305, as the frame
   layer maps it) under a 32-byte key and a 12-byte nonce, binding aad. The nonce must be new
   for this key: a reused one reveals the XOR of the plaintexts and, with AES-256-GCM, the key
   that authenticates them. Writes the ciphertext
   (pt_len bytes) to *out_ct and the tag to out_tag.
   Errors: TESSELLA_KEY_UNAVAILABLE when key_len is not 32; TESSELLA_INTERNAL "aes-gcm encrypt" or
   "chacha encrypt" when the input exceeds the cipher's limits. */
TESSELLA_EXPORT int tessella_aead_encrypt(uint8_t alg, const uint8_t *key, size_t key_len,
                                          const uint8_t nonce[12], const uint8_t *aad,
                                          size_t aad_len, const uint8_t *pt, size_t pt_len,
                                          tessella_buf *out_ct, uint8_t out_tag[16],
                                          tessella_error *err);
/* Decrypts and authenticates; writes the plaintext (ct_len bytes) to *out_pt. The plaintext is
   decrypted straight into the returned buffer; on failure no plaintext byte is released.
   Errors: TESSELLA_KEY_UNAVAILABLE when key_len is not 32; TESSELLA_AEAD_TAG_MISMATCH for every
   other failure (wrong key, nonce or aad, altered ciphertext or tag, input beyond the limits). */
TESSELLA_EXPORT int tessella_aead_decrypt(uint8_t alg, const uint8_t *key, size_t key_len,
                                          const uint8_t nonce[12], const uint8_t *aad,
                                          size_t aad_len, const uint8_t *ct, size_t ct_len,
                                          const uint8_t tag[16], tessella_buf *out_pt,
                                          tessella_error *err);

/* Writes 12 bytes from the operating system's random source. NULL out does nothing. */
TESSELLA_EXPORT void tessella_random_nonce(uint8_t out[12]);

/* An Ed25519 signing key. Opaque; its secret is wiped when it is freed. */
typedef struct tessella_signing_key tessella_signing_key;
/* Derives the key pair from a 32-byte seed (RFC 8032). Returns NULL only when memory runs out or
   seed is NULL. */
TESSELLA_EXPORT tessella_signing_key *tessella_signing_key_from_seed(const uint8_t seed[32]);
/* Wipes and releases the key. NULL-safe. */
TESSELLA_EXPORT void tessella_signing_key_free(tessella_signing_key *key);
/* Writes the key's 32-byte public key. Does nothing when key or out is NULL. */
TESSELLA_EXPORT void tessella_verifying_key_bytes(const tessella_signing_key *key, uint8_t out[32]);
/* Signs msg (pure Ed25519) and writes the 64-byte signature to out_sig. Errors: only the two
   general ones; out_sig is untouched on failure. */
TESSELLA_EXPORT int tessella_sign(const tessella_signing_key *key, const uint8_t *msg,
                                  size_t msg_len, uint8_t out_sig[64], tessella_error *err);
/* Verifies a signature strictly (RFC 8032: canonical S, canonical point encodings). Public keys
   of small order are accepted, as RFC 8032 does; frames and tokens refuse them.
   Errors: TESSELLA_SIGNATURE_INVALID for a signature that does not verify and for public key
   bytes that do not decode to a curve point. */
TESSELLA_EXPORT int tessella_verify(const uint8_t pub[32], const uint8_t *msg, size_t msg_len,
                                    const uint8_t sig[64], tessella_error *err);

/* Writes the BLAKE3 hash (32 bytes) of data: a content identifier. Never fails; does nothing when
   out is NULL or data is NULL with a length. */
TESSELLA_EXPORT void tessella_cid_blake3(const uint8_t *data, size_t len, uint8_t out[32]);
/* HKDF-SHA-256 with an empty salt: writes 32 bytes derived from ikm and info to out.
   Errors: TESSELLA_CRYPTO "hkdf" when OpenSSL fails; out is untouched on failure. */
TESSELLA_EXPORT int tessella_hkdf_derive(const uint8_t *ikm, size_t ikm_len, const uint8_t *info,
                                         size_t info_len, uint8_t out[32], tessella_error *err);

/* ---- Frames ----
   Parsing errors, shared by every function that reads a frame (TESSELLA_INVALID_FORMAT):
   "too short" below 136 bytes, "alg" for an alg byte other than 1 or 2, "length" when the input
   is shorter than the lengths its header gives. Bytes after the frame are ignored. */

/* Where a frame's fields and sections lie, read without copying a section. Offsets count from the
   start of the parsed input; section i is input[i_offset .. i_offset + i_len). */
typedef struct tessella_frame_fields {
  uint8_t version, alg, hdr2, hdr3;
  uint8_t nonce[12];
  uint8_t ts[16];
  uint8_t author[32];
  uint8_t owner[32];
  uint8_t prev_cid[32];
  size_t pol_offset, pol_len;
  size_t meta_offset, meta_len;
  size_t ct_offset, ct_len;      /* ct_len is also the plaintext's length */
  uint8_t tag[16];
  uint8_t sig[64];
  size_t frame_len;              /* the frame's own bytes; anything after is trailing input */
} tessella_frame_fields;
/* Parses a frame's wire form into *out. Allocates nothing. Errors: the parsing errors. */
TESSELLA_EXPORT int tessella_frame_parse(const uint8_t *bytes, size_t len,
                                         tessella_frame_fields *out, tessella_error *err);
/* Writes the frame's content identifier: the BLAKE3 hash of its own bytes (trailing input
   excluded). Errors: the parsing errors. */
TESSELLA_EXPORT int tessella_frame_cid(const uint8_t *bytes, size_t len, uint8_t out_cid[32],
                                       tessella_error *err);

/* Parses, then writes the frame's canonical wire form (the input without trailing bytes) to *out.
   Errors: the parsing errors. */
TESSELLA_EXPORT int tessella_frame_reserialize(const uint8_t *bytes, size_t len, tessella_buf *out,
                                               tessella_error *err);

/* Writes the frame's associated data for ciphertext length n: its first 136 + pol + meta bytes
   with n in the length field. Errors: the parsing errors. */
TESSELLA_EXPORT int tessella_frame_aad(const uint8_t *bytes, size_t len, uint32_t n,
                                       tessella_buf *out, tessella_error *err);

/* Seals pt into a frame: encrypts it under the 32-byte data key with `alg` (1 AES-256-GCM,
   2 ChaCha20-Poly1305), signs the frame with signer and names it by the BLAKE3 hash of its wire
   form. Writes the frame (216 + pol_len + meta_len + pt_len bytes) to *out_frame and its
   identifier to out_cid. Whether author belongs to signer is not checked.
   nonce NULL (the safe choice): the library draws a fresh 12-byte nonce from the operating
   system's random source, and the frame carries it. A nonce passed in must never have been used
   under this data key: a reused nonce reveals the XOR of the two plaintexts and, with
   AES-256-GCM, lets anyone forge frames under the key.
   Errors, checked in this order before any work: TESSELLA_INVALID_FORMAT "alg" (alg not 1 or 2),
   "section too long" (pol or meta above 65,535 bytes), "payload too long" (pt of 2^32 bytes or
   more, or a frame larger than the address space); TESSELLA_KEY_UNAVAILABLE (key_len not 32);
   then the cipher's TESSELLA_INTERNAL errors. */
TESSELLA_EXPORT int tessella_seal_bytes(uint8_t alg, uint8_t hdr2, uint8_t hdr3,
                                        const uint8_t nonce[12], const uint8_t ts[16],
                                        const uint8_t author[32], const uint8_t owner[32],
                                        const uint8_t prev_cid[32], const uint8_t *pol,
                                        size_t pol_len, const uint8_t *meta, size_t meta_len,
                                        const uint8_t *pt, size_t pt_len, const uint8_t *key,
                                        size_t key_len, const tessella_signing_key *signer,
                                        tessella_buf *out_frame, uint8_t out_cid[32],
                                        tessella_error *err);

/* Writes to *out_len the length of the frame tessella_seal_bytes makes from sections and a
   payload of these lengths. Errors: TESSELLA_INVALID_FORMAT "section too long" or
   "payload too long", as tessella_seal_bytes. */
TESSELLA_EXPORT int tessella_sealed_len(size_t pol_len, size_t meta_len, size_t pt_len,
                                        size_t *out_len, tessella_error *err);

/* tessella_seal_bytes into the caller's buffer: writes the frame into out[0 .. *out_len) and
   allocates nothing for it. nonce NULL draws a fresh nonce, as for tessella_seal_bytes; a nonce
   passed in and used twice under one data key reveals the XOR of the plaintexts and, with
   AES-256-GCM, lets anyone forge frames under the key. Errors: as tessella_seal_bytes, then TESSELLA_INVALID_FORMAT
   "buffer too small" when out_cap is below the frame's length (nothing is written). On a cipher
   failure out may hold a partial frame, never plaintext. */
TESSELLA_EXPORT int tessella_seal_bytes_into(uint8_t alg, uint8_t hdr2, uint8_t hdr3,
                                             const uint8_t nonce[12], const uint8_t ts[16],
                                             const uint8_t author[32], const uint8_t owner[32],
                                             const uint8_t prev_cid[32], const uint8_t *pol,
                                             size_t pol_len, const uint8_t *meta, size_t meta_len,
                                             const uint8_t *pt, size_t pt_len, const uint8_t *key,
                                             size_t key_len, const tessella_signing_key *signer,
                                             uint8_t *out, size_t out_cap, size_t *out_len,
                                             uint8_t out_cid[32], tessella_error *err);

/* Opens a frame under its policy and writes the plaintext to *out_pt. cap (a capability token),
   presenter_pub (the presenting holder's public key) and now (the current Unix time in seconds)
   are optional: NULL is absent. Checks no frame signature (see the preamble).
   Checks, in order: the parsing errors; the frame's policy (read from meta); when it says
   "require_cap": true: a capability present and decodable (else TESSELLA_CAPABILITY_INVALID),
   not expired when now is given (exp_ts < *now: TESSELLA_CAPABILITY_INVALID), presenter_pub
   present (else TESSELLA_CAPABILITY_INVALID), held by the presenter (else
   TESSELLA_CAPABILITY_INVALID), signed by its issuer_pub (else TESSELLA_SIGNATURE_INVALID), scoped
   to this frame's identifier and granting every right of "allowed_ops" (else
   TESSELLA_POLICY_VIOLATION). Then TESSELLA_KEY_UNAVAILABLE (key_len not 32) and
   TESSELLA_AEAD_TAG_MISMATCH. The plaintext is decrypted straight into the returned buffer. */
TESSELLA_EXPORT int tessella_open_bytes(const uint8_t *frame, size_t frame_len, const uint8_t *key,
                                        size_t key_len, const uint8_t *cap, size_t cap_len,
                                        const uint8_t presenter_pub[32], const uint64_t *now,
                                        tessella_buf *out_pt, tessella_error *err);

/* tessella_open_bytes into the caller's buffer: writes the plaintext into out[0 .. *out_len);
   its length is the frame's ct_len (tessella_frame_parse). Errors: as tessella_open_bytes, with
   TESSELLA_INVALID_FORMAT "buffer too small" after the parsing errors when out_cap is below the
   plaintext's length. Exception to the conventions: when decryption fails, the first ct_len
   bytes of out have been overwritten with zeros. */
TESSELLA_EXPORT int tessella_open_bytes_into(const uint8_t *frame, size_t frame_len,
                                             const uint8_t *key, size_t key_len,
                                             const uint8_t *cap, size_t cap_len,
                                             const uint8_t presenter_pub[32], const uint64_t *now,
                                             uint8_t *out, size_t out_cap, size_t *out_len,
                                             tessella_error *err);

/* The issuers a host trusts to grant access to guarded frames. A trust with no listed key and
   owner 0 trusts nobody: every guarded frame is refused. */
typedef struct tessella_trust {
  const uint8_t *issuers;   /* issuer_count public keys, 32 bytes each, back to back */
  size_t issuer_count;
  int32_t owner;            /* non-zero: the frame's own owner field is trusted as well */
} tessella_trust;

/* tessella_open_bytes with the host's trust: the call a host should use to open frames. On the
   capability path, after the token's holder and signature checks and before its scope, the
   token's issuer_pub must equal one of trust's issuers, or the frame's owner field when
   trust->owner is non-zero; otherwise TESSELLA_CAPABILITY_INVALID. Frames whose policy asks for
   no capability open as with tessella_open_bytes, whatever the trust. trust NULL, or issuers
   NULL with a non-zero count, is "null argument". Errors: as tessella_open_bytes, with that one
   check added. */
TESSELLA_EXPORT int tessella_open_bytes_trusted(const uint8_t *frame, size_t frame_len,
                                                const uint8_t *key, size_t key_len,
                                                const uint8_t *cap, size_t cap_len,
                                                const uint8_t presenter_pub[32],
                                                const uint64_t *now, const tessella_trust *trust,
                                                tessella_buf *out_pt, tessella_error *err);

/* tessella_open_bytes_into with the host's trust, checked as tessella_open_bytes_trusted does.
   Errors and the wiping of out on a failed decryption: as tessella_open_bytes_into. */
TESSELLA_EXPORT int tessella_open_bytes_trusted_into(const uint8_t *frame, size_t frame_len,
                                                     const uint8_t *key, size_t key_len,
                                                     const uint8_t *cap, size_t cap_len,
                                                     const uint8_t presenter_pub[32],
                                                     const uint64_t *now,
                                                     const tessella_trust *trust, uint8_t *out,
                                                     size_t out_cap, size_t *out_len,
                                                     tessella_error *err);

typedef struct tessella_frame_verification {
  uint8_t cid[32];
  int32_t valid;          /* 1 or 0 */
  const char *reason;     /* NULL when valid, otherwise static "signature" */
} tessella_frame_verification;
/* Checks the frame's signature with its author field as the Ed25519 key and writes the report
   and the frame's identifier to *out. A signature that does not verify is a report (valid 0),
   not an error. Whether the author is the key the host expects is the host's to compare
   (tessella_frame_parse). Errors: the parsing errors; TESSELLA_INVALID_FORMAT "author_pub" when
   the author field is not a curve point or is a point of small order (such as the all-zero field
   of a transfer template), under which a signature proves nothing. */
TESSELLA_EXPORT int tessella_verify_bytes(const uint8_t *frame, size_t frame_len,
                                          tessella_frame_verification *out, tessella_error *err);

/* Writes the unsigned ownership-transfer template in wire form (216 bytes: version 1, alg 2,
   hdr2 1, owner = new_owner, prev_cid = prev_cid, everything else zero). Errors: only the two
   general ones. */
TESSELLA_EXPORT int tessella_transfer_bytes(const uint8_t prev_cid[32], const uint8_t new_owner[32],
                                            tessella_buf *out, tessella_error *err);

/* A frame's access policy, as the opening path reads it from the meta section. */
typedef struct tessella_policy {
  int32_t require_cap;    /* 1 when the meta asks for a capability, else 0 */
  uint32_t allowed_ops;   /* the rights a capability must grant */
} tessella_policy;
/* Reads meta as the opening path does: only one JSON object counts, its last "require_cap" when
   it is true and its last "allowed_ops" when it is an unsigned integer (low 32 bits). Any other
   text gives {0, 0}: the frame is unguarded. Allocates nothing. Errors: only "null argument". */
TESSELLA_EXPORT int tessella_read_policy(const uint8_t *meta, size_t meta_len, tessella_policy *out,
                                         tessella_error *err);

/* ---- Capabilities and rights ---- */

/* A decoded capability token (its 180-byte binary form holds these fields). */
typedef struct tessella_cap_token {
  uint8_t scope_cid[32];
  uint32_t rights;
  uint64_t exp_ts;
  uint8_t holder_pub[32];
  uint8_t issuer_pub[32];
  uint8_t sig[64];
} tessella_cap_token;
/* Decodes a token's binary form into *out without checking its signature (tessella_cap_verify
   does). Bytes after the token are ignored. Errors: TESSELLA_CAPABILITY_INVALID when the input is
   too short or its signature length word is not 64. */
TESSELLA_EXPORT int tessella_cap_decode(const uint8_t *token, size_t token_len,
                                        tessella_cap_token *out, tessella_error *err);

/* Issues a token: scope, rights, expiry and holder, signed with the key derived from
   issuer_seed, naming issuer_pub as its issuer (not checked against the seed). Writes the
   180-byte binary form to out_token. Errors: only the two general ones. */
TESSELLA_EXPORT int tessella_cap_issue(const uint8_t issuer_seed[32], const uint8_t issuer_pub[32],
                                       const uint8_t scope_cid[32], uint32_t rights,
                                       uint64_t exp_ts, const uint8_t holder_pub[32],
                                       uint8_t out_token[180], tessella_error *err);
/* Decodes the token, then checks holder and signature. Checks no expiry and trusts any issuer.
   Errors: TESSELLA_CAPABILITY_INVALID when the token does not decode or its holder is not
   presenter_pub; TESSELLA_SIGNATURE_INVALID when its signature does not verify under its
   issuer_pub, or issuer_pub is not a curve point or is of small order. */
TESSELLA_EXPORT int tessella_cap_verify(const uint8_t *token, size_t token_len,
                                        const uint8_t presenter_pub[32], tessella_error *err);

/* Writes the display form of a rights value ("READ_FEATURES | READ_RAW | 0x40"; "" for 0),
   NUL-terminated and cut to fit `cap` bytes; returns the whole length (at most 88). out may be
   NULL when cap is 0. Never fails and never allocates. */
TESSELLA_EXPORT size_t tessella_rights_format(uint32_t bits, char *out, size_t cap);
/* Parses the text form (names and 0x-hex pieces separated by "|", trimmed of Unicode white
   space). Returns 0 and sets *out (when out is not NULL), or returns -1 and sets *parse_error
   (when parse_error is not NULL) to 1 (EmptyFlag), 2 (InvalidNamedFlag), 3 (InvalidHexFlag), or 0
   when text is NULL with a length. */
TESSELLA_EXPORT int tessella_rights_parse(const char *text, size_t len, uint32_t *out,
                                          int32_t *parse_error);

/* ---- Events, recovery, search ---- */

/* Seals a domain event as a frame: kind 0 OwnershipTransfer, 1 ReadEvent, 2 LicenseGrant; the
   body (scope_cid, rights, exp_ts, peer_pub) becomes the frame's meta document and the payload is
   empty; the nonce is derived from the data key and the frame. Writes the frame and its identifier.
   Errors, in order: TESSELLA_INVALID_FORMAT "event kind" for any other kind, "alg" for an alg
   other than 1 or 2; TESSELLA_KEY_UNAVAILABLE (key_len not 32); TESSELLA_INTERNAL "hmac key init"
   when OpenSSL fails. */
TESSELLA_EXPORT int tessella_seal_event(uint8_t alg, const uint8_t author[32],
                                        const uint8_t owner[32], const uint8_t prev_cid[32],
                                        int32_t kind, const uint8_t scope_cid[32], uint32_t rights,
                                        uint64_t exp_ts, const uint8_t peer_pub[32],
                                        const uint8_t *key, size_t key_len,
                                        const tessella_signing_key *signer,
                                        tessella_buf *out_frame, uint8_t out_cid[32],
                                        tessella_error *err);

/* Generates a BIP-39 English recovery phrase of 12 or 24 words from fresh entropy and
   writes it to *out as text (words separated by single spaces, not NUL-terminated). The phrase is
   a secret: wipe it before tessella_buf_free. Errors: TESSELLA_INVALID_FORMAT
   "invalid word count"; TESSELLA_INTERNAL "mnemonic generation failed". */
TESSELLA_EXPORT int tessella_generate_mnemonic(size_t words, tessella_buf *out, tessella_error *err);
/* Restores the encryption key and the signing seed from a phrase (words separated by single
   spaces, checksum checked). Errors: TESSELLA_INVALID_FORMAT "invalid mnemonic";
   TESSELLA_CRYPTO "kdf expand enc" or "kdf expand sign" when OpenSSL fails. */
TESSELLA_EXPORT int tessella_restore_keys(const char *phrase, size_t len, uint8_t out_enc_key[32],
                                          uint8_t out_sign_seed[32], tessella_error *err);

/* Writes the blind-index token HMAC-SHA-256(key, term): equal terms under one key give equal
   tokens. Errors: TESSELLA_INTERNAL "hmac key init" when OpenSSL fails. */
TESSELLA_EXPORT int tessella_blind_index(const uint8_t *key, size_t key_len, const uint8_t *term,
                                         size_t term_len, uint8_t out[32], tessella_error *err);

#ifdef __cplusplus
}
#endif

#endif /* TESSELLA_H */
