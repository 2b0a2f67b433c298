// The steps of sealing an event, which the C ABI runs one by one so that it checks every input
// before it allocates the frame it returns.
#ifndef TESSELLA_SRC_EVENTS_INTERNAL_HPP
#define TESSELLA_SRC_EVENTS_INTERNAL_HPP

#include <span>
#include <string>
#include <string_view>

#include "tessella/events.hpp"

namespace tessella::detail {

/// check_event checks an event's inputs in seal_event's order (kind, alg, key) and returns its
/// document.
Result<std::string> check_event(std::uint8_t alg, EventKind kind, const EventBody& body,
                                ByteView data_key);

/// event_frame_len is the length of the event frame that carries this document.
std::size_t event_frame_len(std::string_view document) noexcept;

/// seal_event_into seals a checked event into `out`, which holds exactly event_frame_len bytes,
/// and returns the frame's identifier.
Result<Cid> seal_event_into(std::uint8_t alg, const PublicKey& author, const PublicKey& owner,
                            const Cid& prev_cid, std::string_view document, ByteView data_key,
                            const SigningKey& signer, std::span<std::uint8_t> out);

}  // namespace tessella::detail

#endif
