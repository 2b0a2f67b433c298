// generate-docs: the bash and zsh completions and the man page, written from the tool's own
// option definitions at build time (the command is hidden from the help).

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "commands.hpp"
#include "files.hpp"

namespace tessella::cli {

namespace {

// A command as typed ("cap issue") with the parsed definitions it holds.
struct Command {
  std::string path;
  const CLI::App* app;
};

bool hidden(const CLI::App* app) { return app->get_group().empty(); }

void collect(const CLI::App* app, const std::string& path, std::vector<Command>& out) {
  for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
    if (hidden(sub)) continue;
    std::string p = path.empty() ? sub->get_name() : path + " " + sub->get_name();
    out.push_back({p, sub});
    collect(sub, p, out);
  }
}

std::vector<std::string> subcommand_names(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
    if (!hidden(sub)) names.push_back(sub->get_name());
  }
  return names;
}

// The visible long and short names of a command's options ("--key", "-h").
std::vector<std::string> option_names(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : app->get_options()) {
    if (opt->get_group().empty()) continue;
    for (const auto& l : opt->get_lnames()) names.push_back("--" + l);
    for (const auto& s : opt->get_snames()) names.push_back("-" + s);
  }
  return names;
}

std::string joined(const std::vector<std::string>& words) {
  return fmt::format("{}", fmt::join(words, " "));
}

// Options that take a file name, completed with file names.
std::vector<std::string> file_options(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::Option* opt : app->get_options()) {
    if (opt->get_type_name() != "FILE") continue;
    for (const auto& l : opt->get_lnames()) names.push_back("--" + l);
  }
  return names;
}

std::string bash(const CLI::App& root, const std::vector<Command>& commands) {
  std::string out = "# bash completion for tessella, generated from its option definitions.\n"
                    "_tessella() {\n"
                    "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
                    "  local path=\"\" w i\n"
                    "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                    "    w=${COMP_WORDS[i]}\n"
                    "    case \"$w\" in -*) ;; *)\n"
                    "      case \"${path:+$path }$w\" in\n";
  for (const auto& c : commands) out += fmt::format("        \"{}\") path=\"{}\" ;;\n", c.path, c.path);
  out += "      esac ;;\n    esac\n  done\n  local words files leaf\n  case \"$path\" in\n";
  out += fmt::format("    \"\") words=\"{} {}\" ;;\n", joined(subcommand_names(&root)),
                     joined(option_names(&root)));
  for (const auto& c : commands) {
    // Commands without subcommands take file names as arguments.
    out += fmt::format("    \"{}\") words=\"{} {}\"; files=\"{}\"; leaf={} ;;\n", c.path,
                       joined(subcommand_names(c.app)), joined(option_names(c.app)),
                       joined(file_options(c.app)), subcommand_names(c.app).empty() ? "1" : "");
  }
  out += "  esac\n"
         "  if [[ \" $files \" == *\" $prev \"* || ( $cur != -* && -n $leaf ) ]]; then\n"
         "    COMPREPLY=($(compgen -f -W \"$words\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -o filenames -F _tessella tessella\n";
  return out;
}

std::string quoted_zsh(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += ' ';
    } else if (c == '\'') {
      out += "'\\''";
    } else if (c == '[' || c == ']' || c == ':') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

std::string zsh(const CLI::App& root, const std::vector<Command>& commands) {
  std::string out = "#compdef tessella\n# zsh completion for tessella, generated from its option "
                    "definitions.\n_tessella() {\n  local -a words_ path_\n  local w\n"
                    "  for w in ${words[2,CURRENT-1]}; do\n    [[ $w == -* ]] && continue\n"
                    "    case \"${path_:+$path_ }$w\" in\n";
  for (const auto& c : commands) out += fmt::format("      \"{}\") path_=\"{}\" ;;\n", c.path, c.path);
  out += "    esac\n  done\n  case \"$path_\" in\n";
  auto describe = [](const CLI::App* app) {
    std::string args;
    for (const CLI::App* sub : app->get_subcommands([](const CLI::App*) { return true; })) {
      if (hidden(sub)) continue;
      std::string first = sub->get_description().substr(0, sub->get_description().find('\n'));
      args += fmt::format(" '{}:{}'", sub->get_name(), quoted_zsh(first));
    }
    for (const CLI::Option* opt : app->get_options()) {
      if (opt->get_group().empty()) continue;
      for (const auto& l : opt->get_lnames()) {
        args += fmt::format(" '--{}[{}]'", l, quoted_zsh(opt->get_description()));
      }
    }
    return args;
  };
  out += fmt::format("    \"\") _values -w command{} ;;\n", describe(&root));
  for (const auto& c : commands) {
    out += fmt::format("    \"{}\") _alternative 'files:file:_files' 'options:option:_values -w "
                       "option{}' ;;\n",
                       c.path, describe(c.app));
  }
  out += "  esac\n}\n_tessella \"$@\"\n";
  return out;
}

std::string roff(const std::string& text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    line_start = c == '\n';
  }
  return out;
}

std::string man(const CLI::App& root, const std::vector<Command>& commands) {
  std::string out = fmt::format(
      ".TH TESSELLA 1 \"\" \"tessella {}\" \"User Commands\"\n.SH NAME\ntessella \\- {}\n"
      ".SH SYNOPSIS\n.B tessella\n.I command\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n{}\n",
      TESSELLA_VERSION_STRING, "create, open, inspect and debug sealed frames and capability tokens",
      roff(root.get_description()));
  out += ".SH COMMANDS\n";
  for (const auto& c : commands) {
    out += fmt::format(".SS tessella {}\n{}\n", roff(c.path), roff(c.app->get_description()));
    for (const CLI::Option* opt : c.app->get_options()) {
      if (opt->get_group().empty()) continue;
      std::string names;
      for (const auto& l : opt->get_lnames()) names += (names.empty() ? "" : ", ") + ("--" + l);
      if (!opt->get_positional() || !opt->get_lnames().empty()) {
        if (names.empty()) names = opt->get_name();
      }
      if (opt->get_positional()) names = opt->get_name(true, false) + (names.empty() ? "" : ", " + names);
      std::string type = opt->get_type_name();
      out += fmt::format(".TP\n.B {}{}\n{}\n", roff(names),
                         type.empty() || opt->get_type_size() == 0 ? "" : " \\fI" + roff(type) + "\\fR",
                         roff(opt->get_description()));
    }
    if (!c.app->get_footer().empty()) out += fmt::format(".PP\n.nf\n{}\n.fi\n", roff(c.app->get_footer()));
  }
  out += ".SH EXIT STATUS\n0 success; 1 the operation failed or was refused (the reason on standard "
         "error, and in the JSON object with \\-\\-json); 2 the command line was wrong (the "
         "command's help on standard error).\n";
  return out;
}

void write_text(const std::string& path, const std::string& text) {
  write_file(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, {});
}

}  // namespace

void add_docs_command(CLI::App& app) {
  auto dir = std::make_shared<std::string>();
  CLI::App* cmd = app.add_subcommand("generate-docs", "Write the shell completions and the man page");
  cmd->group("");  // hidden: run by the build
  cmd->add_option("DIR", *dir)->required();
  cmd->callback([dir, &app] {
    std::vector<Command> commands;
    collect(&app, "", commands);
    write_text(*dir + "/tessella.bash", bash(app, commands));
    write_text(*dir + "/_tessella", zsh(app, commands));
    write_text(*dir + "/tessella.1", man(app, commands));
  });
}

}  // namespace tessella::cli
