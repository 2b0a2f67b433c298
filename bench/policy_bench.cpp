// read_policy: no primitive floor, listed for its fixed cost, on the documents the library and
// hosts write (no policy, the two policy documents, an event document) and on two others.
#include "floors.hpp"
#include "tessella/events.hpp"
#include "tessella/policy.hpp"

namespace tessella::bench {
namespace {

struct PolicyCase {
  const char* name;
  std::string text;
};

std::string nested_policy() {
  // About 1 KiB: other members, nested values, then the two keys.
  std::string s = R"({"owner":"alice","tags":[)";
  for (int i = 0; i < 40; ++i) s += (i ? ",\"" : "\"") + std::string("tag-") + std::to_string(i) + "\"";
  s += R"(],"limits":{"reads":[1,2,3,{"a":null,"b":[true,false]}],"note":"x\u00e9y"},)";
  s += R"("require_cap":true,"allowed_ops":4294967297})";
  return s;
}

}  // namespace

void register_policy_benchmarks() {
  Registry& r = registry();
  static const std::vector<PolicyCase> policies = {
      {"empty", ""},
      {"no-cap", R"({"require_cap":false})"},
      {"cap", std::string(kCapPolicy)},
      {"event", event_document(EventKind::ReadEvent, event_body())},
      {"nested", nested_policy()},
      {"not-json", R"({"require_cap":true,)"},
  };
  for (const PolicyCase& p : policies) {
    const std::string& text = p.text;
    r.row({std::string("read_policy/") + p.name, "-", text.size(),
           r.add(std::string("read_policy/") + p.name + "/tessella",
                 [&text](benchmark::State& s) {
                   count_allocations(s, [&] { benchmark::DoNotOptimize(read_policy(as_bytes(text))); });
                   for (auto _ : s) {
                     auto pol = read_policy(as_bytes(text));
                     benchmark::DoNotOptimize(pol);
                   }
                   s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * text.size()));
                 }),
           "", "", {}});
  }
}

}  // namespace tessella::bench
