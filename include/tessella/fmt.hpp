/// @file
/// fmt support for TessellaError and Rights. Opt-in: the other headers do not need fmt, and this
/// one uses only fmt's documented formatter API, so it builds with fmt 9 and later.
///
/// - `fmt::format("{}", err)` writes a TessellaError as operator<< does; string specs apply.
/// - A Rights value formats as its display form with `{}` (string specs apply), its diagnostic
///   form with `{:?}` (fill, alignment and width, also from an argument: `{:_>{}?}`), and as the
///   32-bit number with `{:b}`, `{:o}`, `{:x}`, `{:X}`, `{:d}` and the specs of an unsigned
///   integer.
#ifndef TESSELLA_FMT_HPP
#define TESSELLA_FMT_HPP

#include <array>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>

#include "tessella/rights.hpp"
#include "tessella/error.hpp"

/// @cond fmt_formatters
// The formatters below implement fmt's formatter protocol; the file's comment documents them.

/// `fmt::format("{}", err)` writes the same text as operator<<; string specs apply.
template <>
struct fmt::formatter<tessella::TessellaError> : fmt::formatter<std::string_view> {
  template <class FormatContext>
  auto format(const tessella::TessellaError& err, FormatContext& ctx) const {
    return fmt::formatter<std::string_view>::format(err.message(), ctx);
  }
};

/// Rights formats as its display form with `{}` (string specs apply), its diagnostic form with
/// `{:?}` (fill, alignment and width, also from an argument: `{:_>{}?}`), and as the 32-bit
/// number with `{:b}`, `{:o}`, `{:x}`, `{:X}`, `{:d}` and the specs of an unsigned integer.
template <>
struct fmt::formatter<tessella::Rights> {
  enum class Mode { Display, Diagnostic, Number };
  Mode mode = Mode::Display;
  fmt::formatter<std::uint32_t> number;
  fmt::formatter<std::string_view> text;
  // Diagnostic mode: the specs before '?' without a nested width field, and that field's argument.
  std::string_view diagnostic_specs;
  int width_arg = -1;

  constexpr auto parse(fmt::format_parse_context& ctx) {
    auto it = ctx.begin();
    auto end = it;
    // Find the '}' that closes this field, stepping over nested ones ("{:{}x}": dynamic width).
    for (int depth = 0; end != ctx.end(); ++end) {
      if (*end == '{') {
        ++depth;
      } else if (*end == '}') {
        if (depth == 0) break;
        --depth;
      }
    }
    if (end == it) return text.parse(ctx);
    const char last = *(end - 1);
    if (last == 'b' || last == 'o' || last == 'x' || last == 'X' || last == 'd' || last == 'B') {
      mode = Mode::Number;
      return number.parse(ctx);
    }
    if (last != '?') return text.parse(ctx);

    mode = Mode::Diagnostic;
    std::string_view specs(&*it, static_cast<std::size_t>(end - 1 - it));
    const std::size_t open = specs.find('{');
    if (open != std::string_view::npos) {
      const std::size_t close = specs.find('}', open);
      if (close + 1 != specs.size()) throw fmt::format_error("invalid width in format string");
      const std::string_view id = specs.substr(open + 1, close - open - 1);
      if (id.empty()) {
        width_arg = ctx.next_arg_id();
      } else {
        int n = 0;
        for (char c : id) {
          if (c < '0' || c > '9' || n > 1000) throw fmt::format_error("invalid width argument");
          n = n * 10 + (c - '0');
        }
        ctx.check_arg_id(n);
        width_arg = n;
      }
      specs = specs.substr(0, open);
    }
    for (char c : specs) {
      if (c == '.' || c == '{' || c == '}') throw fmt::format_error("invalid diagnostic format");
    }
    diagnostic_specs = specs;
    return end;
  }

  template <class FormatContext>
  auto format(tessella::Rights r, FormatContext& ctx) const {
    if (mode == Mode::Number) return number.format(r.bits(), ctx);
    // The display form, which is also the diagnostic form of any value but 0; on the stack.
    std::array<char, tessella::Rights::kMaxDisplayLen> shown;
    std::string_view value(shown.data(), r.write_display(shown));
    if (mode == Mode::Display) return text.format(value, ctx);
    if (r.bits() == 0) value = "0x0";
    if (diagnostic_specs.empty() && width_arg < 0) {
      return std::copy(value.begin(), value.end(), ctx.out());
    }
    // Fill, alignment and width are applied as for a string, through a format string rebuilt
    // with the width taken from its argument.
    unsigned long long width = 0;
    if (width_arg >= 0) {
      const auto as_width = [](auto v) -> unsigned long long {
        if constexpr (std::is_integral_v<decltype(v)> && !std::is_same_v<decltype(v), bool>) {
          if constexpr (std::is_signed_v<decltype(v)>) {
            if (v < 0) throw fmt::format_error("negative width");
          }
          return static_cast<unsigned long long>(v);
        } else {
          throw fmt::format_error("width is not an integer");
        }
      };
#if FMT_VERSION >= 110000
      width = ctx.arg(width_arg).visit(as_width);
#else
      width = fmt::visit_format_arg(as_width, ctx.arg(width_arg));
#endif
    }
    fmt::memory_buffer spec;
    fmt::format_to(std::back_inserter(spec), "{{:{}", diagnostic_specs);
    if (width_arg >= 0) fmt::format_to(std::back_inserter(spec), "{}", width);
    spec.push_back('}');
    return fmt::format_to(ctx.out(), fmt::runtime(std::string_view(spec.data(), spec.size())),
                          value);
  }
};

/// @endcond

#endif
