// Seals a payload under a policy that requires a capability, grants a token to a reader, opens
// the frame as that reader and verifies it.
#include <iostream>
#include <string_view>

#include <tessella/tessella.hpp>

int main() {
  using namespace tessella;

  // Keys: the author's from a recovery phrase, the reader's from its own seed.
  auto phrase = generate_mnemonic(12);
  auto keys = phrase ? restore_keys(*phrase) : std::unexpected(phrase.error());
  if (!keys) return std::cerr << keys.error() << "\n", 1;
  const SigningKey author = signing_key_from_seed(keys->sign_seed);
  Seed reader_seed{};
  reader_seed.fill(0x42);
  const SigningKey reader = signing_key_from_seed(reader_seed);

  // Seal: the policy in meta asks for a capability holding READ_FEATURES.
  const std::string_view meta = R"({"require_cap":true,"allowed_ops":1})";
  const std::string_view payload = "feature vector v3";
  const Timestamp ts{};
  const PublicKey owner = verifying_key_bytes(author);
  const Cid no_previous{};
  auto sealed = seal_bytes(kAlgAesGcm, 0, 0, RandomNonce().next(), ts, verifying_key_bytes(author),
                           owner, no_previous, {},
                           {reinterpret_cast<const std::uint8_t*>(meta.data()), meta.size()},
                           {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()},
                           keys->enc_key.secret_bytes(), author);
  if (!sealed) return std::cerr << "seal: " << sealed.error() << "\n", 1;
  std::cout << "sealed " << sealed->bytes.size() << " bytes\n";

  // Grant: a token for this frame, to the reader, until time 2000.
  auto token = cap_issue(keys->sign_seed, verifying_key_bytes(author), sealed->cid,
                         Rights::READ_FEATURES, 2000, verifying_key_bytes(reader));
  if (!token) return std::cerr << "grant: " << token.error() << "\n", 1;
  const auto token_bytes = cap_encode(*token);

  // Open as the reader at time 1500, then as someone else.
  const PublicKey reader_pub = verifying_key_bytes(reader);
  auto plaintext = open_bytes_with_ctx(sealed->bytes, keys->enc_key.secret_bytes(), ByteView(token_bytes),
                                       reader_pub, 1500);
  if (!plaintext) return std::cerr << "open: " << plaintext.error() << "\n", 1;
  std::cout << "opened: "
            << std::string_view(reinterpret_cast<const char*>(plaintext->data()), plaintext->size())
            << "\n";
  auto refused = open_bytes(sealed->bytes, keys->enc_key.secret_bytes(), ByteView(token_bytes),
                            owner);
  std::cout << "opened by the wrong holder: " << (refused ? "yes" : refused.error().message())
            << "\n";

  // Verify: anyone can, with no key.
  auto report = verify_bytes(sealed->bytes);
  if (!report || !report->valid || report->cid != sealed->cid) return 1;
  std::cout << "verified: signature valid, identifier matches\n";
  return refused ? 1 : 0;
}
