// Parsing the Rights text form: no primitive floor, listed for its fixed cost.
#include "floors.hpp"
#include "tessella/rights.hpp"

namespace tessella::bench {
namespace {

struct RightsText {
  const char* name;
  std::string text;
};

}  // namespace

void register_rights_benchmarks() {
  Registry& r = registry();
  static const std::vector<RightsText> texts = {
      {"one", "READ_RAW"},
      {"two", "READ_FEATURES | READ_RAW"},
      {"all", "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE | "
              "0xffffffe0"},
      {"spaces", "\t READ_RAW \xE2\x80\x83|\xC2\xA0 COMPUTE_USE\xE3\x80\x80 "},
  };
  for (const RightsText& t : texts) {
    const std::string& text = t.text;
    r.row({std::string("rights_parse/") + t.name, "-", text.size(),
           r.add(std::string("rights_parse/") + t.name + "/tessella",
                 [&text](benchmark::State& s) {
                   if (!Rights::parse(text)) s.SkipWithError("parse failed");
                   count_allocations(s, [&] { benchmark::DoNotOptimize(Rights::parse(text)); });
                   for (auto _ : s) {
                     auto v = Rights::parse(text);
                     benchmark::DoNotOptimize(v);
                   }
                   s.SetBytesProcessed(static_cast<std::int64_t>(s.iterations() * text.size()));
                 }),
           "", "", {}});
  }
}

}  // namespace tessella::bench
