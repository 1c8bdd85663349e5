#include "qvds18x20/config_args.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

namespace qvtool {
namespace {

// "--mqtt-discovery" for the key "mqtt_discovery".
std::string option_of(const std::string& key) {
  std::string name = "--" + key;
  std::replace(name.begin(), name.end(), '_', '-');
  return name;
}

// Whether the arguments after the command name give `opt` (by any of its
// names, as --name, --name=value or -n).
bool given(const CLI::Option* opt, const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    for (const std::string& l : opt->get_lnames())
      if (arg == "--" + l || arg.rfind("--" + l + "=", 0) == 0) return true;
    for (const std::string& s : opt->get_snames())
      if (arg.rfind("-" + s, 0) == 0 && arg.rfind("--", 0) != 0) return true;
  }
  return false;
}

}  // namespace

ExpandedArgs expand_config(CLI::App& app, int argc, char** argv, const std::vector<std::string>& commands) {
  ExpandedArgs out;
  for (int i = 0; i < argc; ++i) out.args.emplace_back(argv[i]);
  if (argc < 2) return out;
  CLI::App* cmd = nullptr;
  for (CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (sub->check_name(argv[1])) cmd = sub;
  if (cmd == nullptr || std::find(commands.begin(), commands.end(), cmd->get_name()) == commands.end()) return out;
  const std::vector<std::string> rest(out.args.begin() + 2, out.args.end());
  std::string path;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--") break;
    if (rest[i] == "--config" && i + 1 < rest.size()) path = rest[i + 1];
    if (rest[i].rfind("--config=", 0) == 0) path = rest[i].substr(9);
  }
  if (path.empty()) return out;  // none, or an empty name the parser refuses
  out.config = load_config(path);
  out.has_config = true;
  std::vector<std::string> added;
  for (const auto& [key, value] : out.config.options) {
    const std::string name = option_of(key);
    // --help is no setting: given in a file it would print the help and
    // end a service with status 0.
    const bool not_a_setting = name == "--config" || name == "--help";
    const CLI::Option* opt = not_a_setting ? nullptr : cmd->get_option_no_throw(name);
    if (opt == nullptr) {
      bool elsewhere = false;
      for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (!not_a_setting && std::find(commands.begin(), commands.end(), sub->get_name()) != commands.end())
          elsewhere = elsewhere || sub->get_option_no_throw(name) != nullptr;
      if (elsewhere) continue;
      std::string keys;
      for (const CLI::Option* o : cmd->get_options())
        for (const std::string& l : o->get_lnames())
          if (l != "help" && l != "config") {
            std::string k = l;
            std::replace(k.begin(), k.end(), '-', '_');
            keys += (keys.empty() ? "" : ", ") + k;
          }
      throw ConfigError(value.where + ": unknown key \"" + key + "\" (the keys are the long options without their dashes: " +
                        keys + ")");
    }
    if (given(opt, rest)) continue;
    const bool flag = opt->get_type_name().empty();
    const bool value_optional = opt->get_expected_min() == 0;  // --sim: a file, or none
    if (flag && !value.is_bool) throw ConfigError(value.where + ": \"" + key + "\" takes true or false");
    if (!flag && value.is_bool && !value_optional)
      throw ConfigError(value.where + ": \"" + key + "\" takes a value, not true or false");
    if (value.is_bool) {
      if (value.text == "true") added.push_back(name);
    } else {
      added.push_back(name + "=" + value.text);
    }
    out.origins[name] = value.where;
  }
  out.args.insert(out.args.begin() + 2, added.begin(), added.end());
  return out;
}

std::string with_origin(const std::string& message, const std::map<std::string, std::string>& origins) {
  // Every option of the file the message names, as a word of its own.
  std::string places;
  for (const auto& [name, where] : origins)
    for (std::size_t at = message.find(name); at != std::string::npos; at = message.find(name, at + 1)) {
      const std::size_t end = at + name.size();
      const bool word = end == message.size() || !(std::isalnum(static_cast<unsigned char>(message[end])) ||
                                                   message[end] == '-' || message[end] == '_');
      if (word) {
        places += (places.empty() ? "" : ", ") + where;
        break;
      }
    }
  return places.empty() ? message : message + " (in " + places + ")";
}

}  // namespace qvtool
