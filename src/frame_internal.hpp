// The steps of sealing and opening that the C ABI runs one by one, so that it checks every input
// before it allocates the buffer it returns and parses a frame once.
#ifndef TESSELLA_SRC_FRAME_INTERNAL_HPP
#define TESSELLA_SRC_FRAME_INTERNAL_HPP

#include <optional>
#include <span>

#include "tessella/frame.hpp"

namespace tessella::detail {

/// check_seal checks a seal's inputs in their fixed order (algorithm, section and payload sizes,
/// key) and returns the frame's length.
Result<std::size_t> check_seal(std::uint8_t alg, std::size_t pol, std::size_t meta,
                               std::size_t pt, ByteView data_key) noexcept;

/// check_open runs the opening path's checks before decryption: when the frame's policy asks for
/// a capability, the token must be present, decodable, unexpired at `now`, held by the
/// presenter, signed by its issuer, scoped to this frame and grant every right the policy names;
/// then the data key must be 32 bytes.
Result<void> check_open(const FrameView& v, ByteView data_key, std::optional<ByteView> capability,
                        std::optional<PublicKey> presenter_pub, std::optional<std::uint64_t> now);

/// decrypt_view decrypts the frame's ciphertext into the first ct.size() bytes of `out` (a
/// checked 32-byte key); on failure those bytes are wiped.
Result<void> decrypt_view(const FrameView& v, ByteView data_key, std::span<std::uint8_t> out);

}  // namespace tessella::detail

#endif
