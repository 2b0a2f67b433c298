#include "report.hpp"

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

#include "tessella/fmt.hpp"

namespace tessella::cli {

Report& Report::add(std::string key, Json value) {
  std::string text = text_of(value);
  return add(std::move(key), std::move(value), std::move(text));
}

Report& Report::add(std::string key, Json value, std::string text) {
  entries_.push_back({std::move(key), std::move(value), std::move(text), nullptr});
  return *this;
}

Report& Report::add(std::string key, Report section) {
  entries_.push_back(
      {std::move(key), nullptr, {}, std::make_shared<const Report>(std::move(section))});
  return *this;
}

Json Report::json() const {
  Json out = Json::object();
  for (const auto& e : entries_) out[e.key] = e.section ? e.section->json() : e.value;
  return out;
}

std::string Report::text(std::size_t indent) const {
  std::size_t width = 0;
  for (const auto& e : entries_) {
    if (!e.section) width = std::max(width, e.key.size());
  }
  std::string out;
  for (const auto& e : entries_) {
    if (e.section) {
      out += fmt::format("{:{}}{}:\n{}", "", indent, e.key, e.section->text(indent + 2));
    } else {
      out += fmt::format("{:{}}{:<{}} {}\n", "", indent, e.key + ":", width + 1, e.text);
    }
  }
  return out;
}

void Report::print(bool as_json) const {
  // Invalid UTF-8 never reaches the JSON writer as text, but a stray byte must not abort output.
  std::string out =
      as_json ? json().dump(2, ' ', false, Json::error_handler_t::replace) + "\n" : text();
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

std::string Report::text_of(const Json& value) {
  if (value.is_string())
    return value.get<std::string>().empty() ? "(empty)" : value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  if (value.is_null()) return "-";
  if (value.is_array()) {
    std::string out;
    for (const auto& item : value) {
      if (!out.empty()) out += ", ";
      out += text_of(item);
    }
    return out.empty() ? "-" : out;
  }
  return value.dump();
}

Report rights_report(Rights rights) {
  Json names = Json::array();
  for (const auto& named : rights.iter_names()) names.push_back(std::string(named.name));
  Rights unnamed = rights - Rights::from_bits_retain(Rights::kNamedMask);
  Report r;
  r.add("bits", rights.bits())
      .add("display", rights.to_string())
      .add("diagnostic", fmt::format("{:?}", rights))
      .add("names", names)
      .add("unnamed", fmt::format("{:#x}", unnamed))
      .add("binary", fmt::format("{:#b}", rights))
      .add("octal", fmt::format("{:#o}", rights))
      .add("hex", fmt::format("{:#x}", rights))
      .add("hex_upper", fmt::format("{:#X}", rights));
  return r;
}

Report policy_report(const FramePolicy& policy) {
  Report r;
  r.add("require_cap", policy.require_cap)
      .add("allowed_ops", policy.allowed_ops.bits(),
           fmt::format("{:?} ({:#x})", policy.allowed_ops, policy.allowed_ops));
  return r;
}

}  // namespace tessella::cli
