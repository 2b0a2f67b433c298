/* Seals a payload under a policy that requires a capability, grants a token to a reader, opens
   the frame as that reader and checks who sealed it, through the C ABI. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <tessella/tessella.h>

static int report(const char *what, const tessella_error *err) {
  char text[128];
  tessella_error_message(err, text, sizeof text);
  fprintf(stderr, "%s: %s\n", what, text);
  return 1;
}

int main(void) {
  static const char meta[] = "{\"require_cap\":true,\"allowed_ops\":1}";
  static const char payload[] = "feature vector v3";
  uint8_t author_seed[32], reader_seed[32], author_pub[32], reader_pub[32];
  uint8_t key[32], ts[16] = {0}, prev[32] = {0}, cid[32], token[TESSELLA_CAP_TOKEN_LEN];
  uint64_t now = (uint64_t)time(NULL);
  tessella_buf frame = {NULL, 0}, plaintext = {NULL, 0};
  tessella_frame_verification check;
  tessella_frame_fields fields;
  tessella_trust owner_only = {NULL, 0, 1}; /* tokens count when the frame's owner issued them */
  tessella_error err;
  tessella_signing_key *author, *reader;
  int rc = 0;

  /* A real host draws its seeds and data key (or restores them with tessella_restore_keys). */
  memset(author_seed, 0x11, sizeof author_seed);
  memset(reader_seed, 0x42, sizeof reader_seed);
  memset(key, 0x5c, sizeof key);
  author = tessella_signing_key_from_seed(author_seed);
  reader = tessella_signing_key_from_seed(reader_seed);
  if (author == NULL || reader == NULL) return 1;
  tessella_verifying_key_bytes(author, author_pub);
  tessella_verifying_key_bytes(reader, reader_pub);

  /* The policy in meta asks for a token that grants READ_FEATURES. The nonce is NULL: the
     library draws a fresh one. */
  if (tessella_seal_bytes(TESSELLA_ALG_AES_256_GCM, 0, 0, NULL, ts, author_pub, author_pub, prev,
                          NULL, 0, (const uint8_t *)meta, strlen(meta), (const uint8_t *)payload,
                          strlen(payload), key, sizeof key, author, &frame, cid, &err) != 0) {
    rc = report("seal", &err);
    goto done;
  }
  printf("sealed %zu bytes\n", frame.len);

  /* A token for this frame, to the reader, valid for one hour. */
  if (tessella_cap_issue(author_seed, author_pub, cid, TESSELLA_RIGHT_READ_FEATURES, now + 3600,
                         reader_pub, token, &err) != 0) {
    rc = report("grant", &err);
    goto done;
  }
  if (tessella_open_bytes_trusted(frame.data, frame.len, key, sizeof key, token, sizeof token,
                                  reader_pub, &now, &owner_only, &plaintext, &err) != 0) {
    rc = report("open", &err);
    goto done;
  }
  printf("opened: %.*s\n", (int)plaintext.len, (const char *)plaintext.data);

  /* Opening checks no signature: verify it, and that the author is the key expected. */
  if (tessella_verify_bytes(frame.data, frame.len, &check, &err) != 0 || !check.valid ||
      memcmp(check.cid, cid, 32) != 0 ||
      tessella_frame_parse(frame.data, frame.len, &fields, &err) != 0 ||
      memcmp(fields.author, author_pub, 32) != 0) {
    fprintf(stderr, "not sealed by the expected author\n");
    rc = 1;
    goto done;
  }
  printf("verified: signed by the expected author, identifier matches\n");

done:
  tessella_buf_free(&plaintext);
  tessella_buf_free(&frame);
  tessella_signing_key_free(reader);
  tessella_signing_key_free(author);
  return rc;
}
