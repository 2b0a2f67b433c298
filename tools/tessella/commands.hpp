// The command groups of the tool and the option helpers they share.
#ifndef TESSELLA_TOOL_COMMANDS_HPP
#define TESSELLA_TOOL_COMMANDS_HPP

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include <tessella/tessella.hpp>

#include "report.hpp"

namespace tessella::cli {

/// What one run of the tool shares between main and the command that runs.
struct Context {
  bool json = false;  // --json: print one JSON object
  int exit_code = 0;  // set by a command that reports a negative result without failing
};

/// Registration of the command groups.
void add_keys_commands(CLI::App& app, Context& ctx);    // keys new | restore | public
void add_frame_commands(CLI::App& app, Context& ctx);   // seal, open, verify
void add_cap_commands(CLI::App& app, Context& ctx);     // cap issue, rights
void add_event_commands(CLI::App& app, Context& ctx);   // event, blind-index
void add_inspect_command(CLI::App& app, Context& ctx);  // inspect
void add_demo_command(CLI::App& app, Context& ctx);     // demo
void add_docs_command(CLI::App& app);                   // generate-docs (hidden, for the build)

/// add_command adds a subcommand with its description and the example shown under --help.
CLI::App* add_command(CLI::App& parent, std::string name, std::string description,
                      std::string example);
/// add_json_flag adds --json, which switches the command's output to one JSON object.
void add_json_flag(CLI::App& cmd, Context& ctx);
/// Option decorators: each adds a check and the value's name in the help, and returns the option.
/// hex_value takes exactly `size` bytes written as 2 * size hexadecimal digits (HEX).
CLI::Option* hex_value(CLI::Option* opt, std::size_t size);
/// rights_value takes what parse_rights reads (RIGHTS).
CLI::Option* rights_value(CLI::Option* opt);
/// number_value takes decimal digits up to 2^64 - 1, no sign (N).
CLI::Option* number_value(CLI::Option* opt);
/// time_value takes what parse_time reads: seconds, an RFC 3339 date-time or +DURATION (TIME).
CLI::Option* time_value(CLI::Option* opt);
/// expiry_time reads an expiry option checked by time_value and warns on stderr when the time
/// is already past.
std::uint64_t expiry_time(const std::string& text, const std::string& option);
/// named_values accepts one of the names (any letter case) and hands the option its number.
CLI::Validator named_values(std::vector<std::pair<std::string, int>> names, std::string what);
/// add_alg_option adds --alg aes|chacha (default chacha), stored as the frame's alg byte.
CLI::Option* add_alg_option(CLI::App& cmd, std::uint8_t& alg);
/// add_scope_options adds --scope HEX and --frame FILE, which exclude each other: the content
/// identifier a command concerns, written out or taken from a frame.
void add_scope_options(CLI::App& cmd, std::string& scope, std::string& frame,
                       const std::string& scope_help);
/// require_scope is a usage error unless --scope or --frame is given; scope_cid then reads the
/// content identifier from whichever it is.
void require_scope(const std::string& scope, const std::string& frame);
Cid scope_cid(const std::string& scope, const std::string& frame);
/// cid_of returns the content identifier of the frame at the start of `bytes`: BLAKE3 of the
/// frame's own wire form, trailing bytes excluded. The parser's errors.
Result<Cid> cid_of(ByteView bytes);
/// alg_name names an alg byte: "aes-256-gcm", "chacha20-poly1305", or the number.
std::string alg_name(std::uint8_t alg);

/// usage_error is a misuse found after parsing (for example two options that cannot go
/// together); main answers it like a parse error, with the command's help and status 2.
[[noreturn]] void usage_error(const std::string& message);
/// check_json_output refuses --json together with an output file of "-": standard output cannot
/// carry both the data and the report. Commands that write data to standard output print no
/// report.
void check_json_output(const Context& ctx, const std::string& out);

}  // namespace tessella::cli

#endif
