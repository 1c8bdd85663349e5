#include "rtl/form_stream.hpp"

#include <algorithm>
#include <vector>

#include "rtl/sysutils.hpp"

EReadError::EReadError(int line, const std::string& what)
    : std::runtime_error("line " + IntToStr(line) + ": " + what), line_(line) {}

namespace {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "''";
    else out += c;
  }
  out += "'";
  return out;
}

// Unquotes a 'text' literal; false when it is not one.
bool Unquote(std::string_view v, std::string& out) {
  if (v.size() < 2 || v.front() != '\'' || v.back() != '\'') return false;
  out.clear();
  for (std::size_t i = 1; i + 1 < v.size(); ++i) {
    if (v[i] == '\'') {
      if (i + 2 < v.size() && v[i + 1] == '\'') {
        out += '\'';
        ++i;
      } else {
        return false;
      }
    } else {
      out += v[i];
    }
  }
  return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace

std::string WriteComponentToText(TComponent& component) {
  std::string out = "object " + component.Name() + ": " + component.ClassName() + "\n";
  for (const TPropInfo& p : component.PublishedProperties()) {
    if (!p.set) continue;
    if (p.stored && !p.stored()) continue;
    const std::string value = p.get();
    out += "  " + p.name + " = " + (p.quoted ? Quote(value) : value) + "\n";
  }
  out += "end\n";
  return out;
}

void ReadComponentFromText(std::string_view text, TComponent& component) {
  struct LoadingGuard {
    TComponent& c;
    bool finished = false;
    ~LoadingGuard() {
      if (!finished) c.SetLoading(false);
    }
  } guard{component};
  component.SetLoading(true);

  const auto lines = Lines(text);
  auto props = component.PublishedProperties();
  bool in_object = false;
  bool ended = false;
  int number = 0;
  int last_text_line = 0;
  for (std::string_view raw : lines) {
    ++number;
    const std::string line = Trim(raw);
    if (line.empty()) continue;
    last_text_line = number;
    if (ended) throw EReadError(number, "text after 'end'");
    if (!in_object) {
      // object Name: ClassName
      if (line.rfind("object ", 0) != 0) throw EReadError(number, "expected 'object'");
      const std::string rest = Trim(std::string_view(line).substr(7));
      const auto colon = rest.find(':');
      if (colon == std::string::npos) throw EReadError(number, "expected 'Name: ClassName'");
      const std::string name = Trim(std::string_view(rest).substr(0, colon));
      const std::string cls = Trim(std::string_view(rest).substr(colon + 1));
      if (cls != component.ClassName())
        throw EReadError(number, "class " + cls + " does not match " + component.ClassName());
      component.SetName(name);
      in_object = true;
      continue;
    }
    if (line == "end") {
      ended = true;
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) throw EReadError(number, "expected 'Property = Value'");
    const std::string name = Trim(std::string_view(line).substr(0, eq));
    const std::string value = Trim(std::string_view(line).substr(eq + 1));
    auto it = std::find_if(props.begin(), props.end(), [&](const TPropInfo& p) { return p.name == name; });
    if (it == props.end()) throw EReadError(number, "unknown property " + name);
    if (!it->set) throw EReadError(number, "property " + name + " is read-only");
    std::string parsed;
    if (it->quoted) {
      if (!Unquote(value, parsed)) throw EReadError(number, "malformed string for " + name);
    } else if (!it->enum_names.empty()) {
      if (std::find(it->enum_names.begin(), it->enum_names.end(), value) == it->enum_names.end())
        throw EReadError(number, "invalid value " + value + " for " + name);
      parsed = value;
    } else {
      // A sentinel that no decimal text but its own gives.
      constexpr std::int32_t kNotANumber = -2147483647 - 1;
      if (StrToIntDef(value, kNotANumber) == kNotANumber && value != "-2147483648")
        throw EReadError(number, "invalid number " + value + " for " + name);
      parsed = value;
    }
    try {
      it->set(parsed);
    } catch (const std::exception& e) {
      throw EReadError(number, e.what());
    }
  }
  if (!in_object) throw EReadError(last_text_line, "no object in form");
  if (!ended) throw EReadError(last_text_line, "missing 'end'");
  guard.finished = true;
  component.Loaded();
}
