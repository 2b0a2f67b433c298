// Report: what a command prints, either as aligned "name: value" lines or as one JSON object.
#ifndef TESSELLA_TOOL_REPORT_HPP
#define TESSELLA_TOOL_REPORT_HPP

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <tessella/tessella.hpp>

namespace tessella::cli {

using Json = nlohmann::ordered_json;

/// A Report is an ordered list of named values and nested sections. Every entry has a JSON value
/// and a text rendering; the text defaults to the value itself (strings unquoted, booleans as
/// yes/no).
class Report {
 public:
  /// Adds a value shown as itself.
  Report& add(std::string key, Json value);
  /// Adds a value whose text line differs from its JSON value (for example a number shown with
  /// its meaning).
  Report& add(std::string key, Json value, std::string text);
  /// Adds a nested section.
  Report& add(std::string key, Report section);

  Json json() const;
  /// The text form: one "key: value" line per entry with the values aligned, sections indented.
  std::string text(std::size_t indent = 0) const;
  /// Writes the JSON object (one line per member) or the text form to standard output.
  void print(bool as_json) const;

  /// text_of renders a JSON value as a text line does.
  static std::string text_of(const Json& value);

 private:
  struct Entry {
    std::string key;
    Json value;
    std::string text;
    std::shared_ptr<const Report> section;
  };
  std::vector<Entry> entries_;
};

/// rights_report shows a rights value in every form the library writes.
Report rights_report(Rights rights);
/// policy_report shows the policy the open path will enforce for a frame's meta section.
Report policy_report(const FramePolicy& policy);


}  // namespace tessella::cli

#endif
