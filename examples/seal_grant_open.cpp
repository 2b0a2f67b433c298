// Seals a payload under a policy that requires a capability, grants a token to a reader, opens
// the frame as that reader and checks who sealed it.
#include <chrono>
#include <cstdint>
#include <iostream>
#include <string_view>

#include <tessella/tessella.hpp>

int main() {
  using namespace tessella;
  const auto now = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch()).count());

  // The author's keys come from a recovery phrase; the reader has a key pair of its own.
  auto phrase = generate_mnemonic(12);
  if (!phrase) return std::cerr << phrase.error() << "\n", 1;
  auto keys = restore_keys(*phrase);
  if (!keys) return std::cerr << keys.error() << "\n", 1;
  const ByteView data_key = keys->enc_key.secret_bytes();
  const SigningKey author = signing_key_from_seed(keys->sign_seed);
  const PublicKey me = verifying_key_bytes(author);
  Seed reader_seed{};  // a real reader draws its own seed and shows only its public key
  reader_seed.fill(0x42);
  const PublicKey reader_pub = verifying_key_bytes(signing_key_from_seed(reader_seed));

  // Seal: the policy in meta asks for a token that grants READ_FEATURES.
  // No nonce is passed: the library draws a fresh one for this frame.
  auto sealed = seal_bytes(kAlgAesGcm, 0, 0, Timestamp{}, me, me, Cid{}, {},
                           as_bytes(R"({"require_cap":true,"allowed_ops":1})"),
                           as_bytes("feature vector v3"), data_key, author);
  if (!sealed) return std::cerr << "seal: " << sealed.error() << "\n", 1;
  std::cout << "sealed " << sealed->bytes.size() << " bytes\n";

  // Grant: a token for this frame, to the reader, valid for one hour.
  auto token = cap_issue(keys->sign_seed, me, sealed->cid, Rights::READ_FEATURES, now + 3600,
                         reader_pub);
  if (!token) return std::cerr << "grant: " << token.error() << "\n", 1;
  const auto wire_token = cap_encode(*token);  // 180 bytes, handed to the reader

  // Open as the reader, now, trusting tokens issued by the frame's owner (the default trust).
  OpenOptions as_reader{.capability = ByteView(wire_token), .presenter_pub = reader_pub,
                        .now = now};
  auto plaintext = open_bytes_trusted(sealed->bytes, data_key, as_reader);
  if (!plaintext) return std::cerr << "open: " << plaintext.error() << "\n", 1;
  std::cout << "opened: "
            << std::string_view(reinterpret_cast<const char*>(plaintext->data()), plaintext->size())
            << "\n";

  // A token the reader issued to itself is refused: its issuer is not the owner.
  auto own = cap_issue(reader_seed, reader_pub, sealed->cid, Rights::READ_FEATURES, now + 3600,
                       reader_pub);
  if (!own) return std::cerr << "grant: " << own.error() << "\n", 1;
  const auto own_token = cap_encode(*own);
  as_reader.capability = ByteView(own_token);
  auto refused = open_bytes_trusted(sealed->bytes, data_key, as_reader);
  std::cout << "self-issued token: " << (refused ? "opened" : refused.error().message()) << "\n";

  // Opening checks no signature: verify it, and that the author is the key expected.
  auto report = verify_bytes(sealed->bytes);
  auto fields = frame_view(sealed->bytes);
  if (!report || !report->valid || report->cid != sealed->cid || !fields || fields->author != me)
    return std::cerr << "not sealed by the expected author\n", 1;
  std::cout << "verified: signed by the expected author, identifier matches\n";
  return refused ? 1 : 0;
}
