#include "qvds18x20/json_text.hpp"

#include "qvds18x20/utf8.hpp"

namespace qvtool {
namespace {

using nlohmann::json;

bool all_strings_utf8(const json& j) {
  if (j.is_string()) return is_utf8(j.get_ref<const std::string&>());
  if (j.is_object()) {
    for (const auto& item : j.items())
      if (!is_utf8(item.key()) || !all_strings_utf8(item.value())) return false;
    return true;
  }
  if (j.is_array()) {
    for (const auto& e : j)
      if (!all_strings_utf8(e)) return false;
  }
  return true;
}

json escaped(const json& j) {
  if (j.is_string()) return utf8_escaped(j.get_ref<const std::string&>());
  if (j.is_object()) {
    json out = json::object();
    for (const auto& item : j.items()) out[utf8_escaped(item.key())] = escaped(item.value());
    return out;
  }
  if (j.is_array()) {
    json out = json::array();
    for (const auto& e : j) out.push_back(escaped(e));
    return out;
  }
  return j;
}

}  // namespace

std::string json_dump(const json& j) {
  // The copy only when there is something to escape: nearly never.
  return all_strings_utf8(j) ? j.dump() : escaped(j).dump();
}

}  // namespace qvtool
