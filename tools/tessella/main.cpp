// tessella: create, open, inspect and debug sealed frames and capability tokens.
//
// Exit status: 0 success; 1 the operation failed (the library's error text is printed on
// stderr); 2 the command line was wrong (the command's help is printed on stderr).

#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

#include <tessella/tessella.hpp>

#include "commands.hpp"
#include "encoding.hpp"
#include "files.hpp"

namespace {

using tessella::cli::Context;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The deepest command that the parser entered, so that a usage error shows the right help.
CLI::App* selected_command(CLI::App& app) {
  CLI::App* cmd = &app;
  for (;;) {
    auto subs = cmd->get_subcommands();
    if (subs.empty()) return cmd;
    cmd = subs.front();
  }
}

// The command's name as typed: "tessella cap issue".
std::string command_path(const CLI::App* cmd) {
  std::string path = cmd->get_name();
  for (const CLI::App* p = cmd->get_parent(); p != nullptr; p = p->get_parent()) {
    path = p->get_name() + " " + path;
  }
  return path;
}

int report_failure(const Context& ctx, const std::string& message,
                   std::optional<tessella::ErrorKind> kind,
                   const tessella::cli::Json& fields = tessella::cli::Json::object()) {
  std::fputs(fmt::format("tessella: {}\n", message).c_str(), stderr);
  if (ctx.json) {
    tessella::cli::Json out = {{"error", message}};
    if (kind) {
      out["kind"] = std::string(tessella::cli::error_kind_name(*kind));
      out["kind_number"] = static_cast<int>(*kind);
    }
    for (const auto& [key, value] : fields.items()) out[key] = value;
    std::string text = out.dump(2, ' ', false, tessella::cli::Json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tessella " TESSELLA_VERSION_STRING
      ": create, open, inspect and debug sealed frames and capability tokens.\n"
      "Secrets (data keys, signing seeds, phrases) are read from files or standard input, never\n"
      "from the command line, in files readable by their owner only. A 32-byte key file holds\n"
      "the raw bytes or 64 hexadecimal digits.",
      "tessella"};
  app.set_version_flag("--version", TESSELLA_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(
      "Example:\n"
      "  tessella demo --seed 1\n"
      "  tessella <command> --help");

  Context ctx;
  tessella::cli::add_demo_command(app, ctx);
  tessella::cli::add_keys_commands(app, ctx);
  tessella::cli::add_frame_commands(app, ctx);
  tessella::cli::add_cap_commands(app, ctx);
  tessella::cli::add_event_commands(app, ctx);
  tessella::cli::add_inspect_command(app, ctx);
  tessella::cli::add_docs_command(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    CLI::App* cmd = selected_command(app);
    std::string message = e.what();
    // A word where a command was due is reported as what it most likely is: a misspelt command.
    auto rest = cmd->remaining();
    bool is_group = !cmd->get_subcommands([](const CLI::App*) { return true; }).empty();
    if (is_group && !rest.empty() && !rest.front().starts_with("-")) {
      message = "unknown command: " + rest.front();
    }
    // The main input is positional, with --in as its other name.
    if (message == "--in is required") message = "INPUT (or --in FILE) is required";
    // The root's help shows the command that was entered, under its full name.
    std::cerr << command_path(cmd) << ": " << message << "\n\n" << app.help();
    return kExitUsage;
  } catch (const tessella::cli::Failure& f) {
    return report_failure(ctx, f.what(), f.kind(), f.fields());
  } catch (const std::bad_alloc&) {
    return report_failure(ctx, "out of memory", std::nullopt);
  } catch (const std::exception& e) {
    return report_failure(ctx, e.what(), std::nullopt);
  }
  // Output that never arrived is a failure, whatever the command concluded.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fputs("tessella: cannot write standard output\n", stderr);
    return kExitFailure;
  }
  return ctx.exit_code;
}
