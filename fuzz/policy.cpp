// The frame policy reader (a streaming reader that keeps no document) against a whole-document
// parse with the same rules (nlohmann::json on the text with its two known refusals rewritten
// away), plus two rewrites that must not change the policy. Every text read also checks that the
// compact reader, when it decides, agrees with the full reader.
#include <algorithm>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "policy_internal.hpp"
#include "tessella/frame.hpp"

using namespace tessella;
using tessella_fuzz::policy_from_document;

namespace {

// nlohmann::json writes a document recursively: deeper documents are not written back.
constexpr std::size_t kDumpMaxDepth = 1024;

// read_policy, checked against its two readers: the full reader gives the same policy, and the
// compact reader, when it decides, agrees with the full one.
FramePolicy read(ByteView meta) {
  static_assert(noexcept(read_policy(meta)));
  const FramePolicy got = read_policy(meta);
  const FramePolicy full = detail::read_policy_full(meta);
  FUZZ_CHECK(got == full);
  FramePolicy compact;
  if (detail::read_policy_compact(meta, compact)) FUZZ_CHECK(compact == full);
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView meta(data, size);
  const FramePolicy got = read(meta);
  const FramePolicy want = policy_from_document(meta);
  FUZZ_CHECK(got == want);

  // White space around one JSON value does not change it (and does not make a non-JSON text
  // JSON).
  std::string padded = " \t";
  padded.append(reinterpret_cast<const char*>(data), size);
  padded += "\r\n ";
  FUZZ_CHECK(read(as_bytes(padded)) == got);

  // A document written back compactly (repeated keys collapsed to their last occurrence) keeps
  // its policy.
  if (std::find(meta.begin(), meta.end(), std::uint8_t{0}) == meta.end() &&
      !tessella_fuzz::starts_with_bom(meta)) {
    const auto doc = nlohmann::json::parse(meta.begin(), meta.end(), nullptr, false);
    if (!doc.is_discarded() && tessella_fuzz::nesting_depth(doc) <= kDumpMaxDepth) {
      const std::string text = doc.dump();
      FUZZ_CHECK(read(as_bytes(text)) == got);
    }
  }
  return 0;
}
