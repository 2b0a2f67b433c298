/* Seals a payload under a policy that requires a capability, grants a token to a reader, opens
   the frame as that reader and verifies it, through the C ABI. */
#include <stdio.h>
#include <string.h>

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
  uint8_t key[32], nonce[12], ts[16] = {0}, prev[32] = {0}, cid[32], token[TESSELLA_CAP_TOKEN_LEN];
  uint64_t now = 1500;
  tessella_buf frame = {NULL, 0}, plaintext = {NULL, 0};
  tessella_frame_verification check;
  tessella_error err;
  tessella_signing_key *author, *reader;
  int rc = 0;

  memset(author_seed, 0x11, sizeof author_seed);
  memset(reader_seed, 0x42, sizeof reader_seed);
  memset(key, 0x5c, sizeof key);
  author = tessella_signing_key_from_seed(author_seed);
  reader = tessella_signing_key_from_seed(reader_seed);
  if (author == NULL || reader == NULL) return 1;
  tessella_verifying_key_bytes(author, author_pub);
  tessella_verifying_key_bytes(reader, reader_pub);
  tessella_random_nonce(nonce);

  if (tessella_seal_bytes(1, 0, 0, nonce, ts, author_pub, author_pub, prev, NULL, 0,
                          (const uint8_t *)meta, strlen(meta), (const uint8_t *)payload,
                          strlen(payload), key, sizeof key, author, &frame, cid, &err) != 0) {
    rc = report("seal", &err);
    goto done;
  }
  printf("sealed %zu bytes\n", frame.len);

  if (tessella_cap_issue(author_seed, author_pub, cid, 1 /* READ_FEATURES */, 2000, reader_pub,
                         token, &err) != 0) {
    rc = report("grant", &err);
    goto done;
  }
  if (tessella_open_bytes(frame.data, frame.len, key, sizeof key, token, sizeof token, reader_pub,
                          &now, &plaintext, &err) != 0) {
    rc = report("open", &err);
    goto done;
  }
  printf("opened: %.*s\n", (int)plaintext.len, (const char *)plaintext.data);

  if (tessella_verify_bytes(frame.data, frame.len, &check, &err) != 0 || !check.valid ||
      memcmp(check.cid, cid, 32) != 0) {
    rc = 1;
    goto done;
  }
  printf("verified: signature valid, identifier matches\n");

done:
  tessella_buf_free(&plaintext);
  tessella_buf_free(&frame);
  tessella_signing_key_free(reader);
  tessella_signing_key_free(author);
  return rc;
}
