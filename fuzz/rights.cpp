// Rights text form: Rights::parse against the reference reader of rights_model.hpp; the display
// and diagnostic forms against its writer; parse -> display -> parse and parse -> diagnostic -> parse give
// the same value. The first four bytes also give a value whose forms are checked the same way.
#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "fuzz_support.hpp"
#include "rights_model.hpp"
#include "tessella/fmt.hpp"
#include "tessella/capabilities.hpp"

using namespace tessella;
using rights_model::reference_display;
using rights_model::reference_parse;

namespace {

void check_value(Rights r) {
  const std::string display = r.to_string();
  FUZZ_CHECK(display == reference_display(r.bits()));
  const auto back = Rights::parse(display);
  FUZZ_CHECK(back && *back == r);

  const std::string diagnostic = r.to_diagnostic();
  FUZZ_CHECK(diagnostic == (r.is_empty() ? std::string("0x0") : display));
  const auto back_diag = Rights::parse(diagnostic);
  FUZZ_CHECK(back_diag && *back_diag == r);

  FUZZ_CHECK(fmt::format("{}", r) == display);
  FUZZ_CHECK(fmt::format("{:?}", r) == diagnostic);
  FUZZ_CHECK(fmt::format("{:#x}", r) == fmt::format("{:#x}", r.bits()));

  // Iteration: named flags in table order, then the unnamed bits; their union is the value.
  Rights joined;
  std::uint32_t last_named = 0;
  bool saw_unnamed = false;
  for (Rights part : r) {
    FUZZ_CHECK(!part.is_empty() && !saw_unnamed && !joined.intersects(part));
    if ((part.bits() & Rights::kNamedMask) != 0) {
      FUZZ_CHECK(part.bits() > last_named && (part.bits() & (part.bits() - 1)) == 0);
      last_named = part.bits();
    } else {
      saw_unnamed = true;
    }
    joined |= part;
  }
  FUZZ_CHECK(joined == r);
  std::uint32_t named = 0;
  for (const auto& n : r.iter_names()) {
    FUZZ_CHECK(Rights::from_name(n.name) == n.value);
    named |= n.value.bits();
  }
  FUZZ_CHECK(named == (r.bits() & Rights::kNamedMask));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto got = Rights::parse(text);
  const auto want = reference_parse(text);
  FUZZ_CHECK(got.has_value() == want.has_value());
  if (got) {
    FUZZ_CHECK(*got == *want);
    check_value(*got);
  } else {
    FUZZ_CHECK(got.error() == want.error());
  }

  std::uint32_t bits = 0;
  for (std::size_t i = 0; i < 4 && i < size; ++i) bits |= std::uint32_t{data[i]} << (8 * i);
  check_value(Rights::from_bits_retain(bits));
  return 0;
}
