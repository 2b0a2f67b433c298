#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"
#include "refusals.hpp"

namespace tessella::cli {

CLI::App* add_command(CLI::App& parent, std::string name, std::string description,
                      std::string example) {
  CLI::App* cmd = parent.add_subcommand(std::move(name), std::move(description));
  cmd->footer("Example:\n" + example);
  return cmd;
}

void add_json_flag(CLI::App& cmd, Context& ctx) {
  cmd.add_flag("--json", ctx.json, "Print the result as one JSON object");
}

CLI::Option* hex_value(CLI::Option* opt, std::size_t size) {
  return opt
      ->check(CLI::Validator(
          [size](std::string& text) -> std::string {
            auto bytes = from_hex(text);
            if (!bytes || bytes->size() != size) {
              return fmt::format("expected {} hexadecimal digits ({} bytes): {}", 2 * size, size,
                                 text);
            }
            return {};
          },
          ""))
      ->type_name("HEX");
}

CLI::Option* rights_value(CLI::Option* opt) {
  return opt
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            auto rights = parse_rights(text);
            return rights ? std::string() : "invalid rights \"" + text + "\": " + rights.error();
          },
          ""))
      ->type_name("RIGHTS");
}

void add_scope_options(CLI::App& cmd, std::string& scope, std::string& frame,
                       const std::string& scope_help) {
  auto* scope_opt = hex_value(cmd.add_option("--scope", scope, scope_help), kCidSize);
  cmd.add_option("--frame", frame, "Take the content identifier of this frame")
      ->type_name("FILE")
      ->excludes(scope_opt);
}

void require_scope(const std::string& scope, const std::string& frame) {
  if (scope.empty() && frame.empty()) usage_error("--scope or --frame is required");
}

Cid scope_cid(const std::string& scope, const std::string& frame) {
  if (frame.empty()) return Cid{hex_array<32>(scope)};
  Input input = map_input(frame);
  return cid_blake3(frame_or_fail(frame == kStdio ? "standard input" : frame, input.bytes()).wire);
}

CLI::Validator named_values(std::vector<std::pair<std::string, int>> names, std::string what) {
  std::string desc;
  for (const auto& [name, value] : names) desc += (desc.empty() ? "" : "|") + name;
  return CLI::Validator(
      [names, what, desc](std::string& text) -> std::string {
        for (const auto& [name, value] : names) {
          if (CLI::detail::to_lower(text) == CLI::detail::to_lower(name)) {
            text = std::to_string(value);
            return {};
          }
        }
        return fmt::format("{} must be one of {}: {}", what, desc, text);
      },
      "");
}

CLI::Option* number_value(CLI::Option* opt) {
  return opt
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            std::uint64_t value = 0;
            bool ok = !text.empty() && text.size() <= 20;
            for (char c : text) {
              ok = ok && c >= '0' && c <= '9';
              // Ten times the value plus a digit must stay within 2^64 - 1.
              ok = ok && value <= (UINT64_MAX - static_cast<std::uint64_t>(c - '0')) / 10;
              if (ok) value = value * 10 + static_cast<std::uint64_t>(c - '0');
            }
            return ok ? std::string() : "expected a number from 0 to 18446744073709551615: " + text;
          },
          ""))
      ->type_name("N");
}

CLI::Option* time_value(CLI::Option* opt) {
  return opt
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            auto t = parse_time(text, now_seconds());
            return t ? std::string() : t.error();
          },
          ""))
      ->type_name("TIME");
}

std::uint64_t expiry_time(const std::string& text, const std::string& option) {
  const std::uint64_t now = now_seconds();
  auto t = parse_time(text, now);
  if (!t) usage_error(option + ": " + t.error());
  if (*t < now) {
    std::fputs(fmt::format("tessella: warning: {} {} is already past ({}; the time now is {})\n",
                           option, text, format_time(*t), format_time(now))
                   .c_str(),
               stderr);
  }
  return *t;
}

CLI::Option* add_alg_option(CLI::App& cmd, std::uint8_t& alg) {
  alg = kAlgChaCha20;
  return cmd.add_option("--alg", alg, "Cipher: aes (AES-256-GCM) or chacha (ChaCha20-Poly1305)")
      ->transform(named_values({{"aes", kAlgAesGcm}, {"chacha", kAlgChaCha20}}, "the cipher"))
      ->type_name("aes|chacha")
      ->default_str("chacha");
}

std::string alg_name(std::uint8_t alg) {
  switch (alg) {
    case kAlgAesGcm:
      return "aes-256-gcm";
    case kAlgChaCha20:
      return "chacha20-poly1305";
    default:
      return std::to_string(alg);
  }
}

void usage_error(const std::string& message) { throw CLI::ValidationError(message); }

void check_json_output(const Context& ctx, const std::string& out) {
  if (ctx.json && out == kStdio) usage_error("--json prints to standard output: give --out a file");
}

}  // namespace tessella::cli
