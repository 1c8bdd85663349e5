#include "qvds18x20/publish/mqtt_url.hpp"

#include <cstdlib>

#include "qvds18x20/exit_codes.hpp"

namespace qvtool {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// User names and passwords may hold ':' '@' '/' percent-encoded.
std::string percent_decoded(const std::string& s, const char* what) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    const int hi = i + 2 < s.size() ? hex_digit(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? hex_digit(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) throw UsageError(std::string("--mqtt: bad percent-encoding in the ") + what);
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return out;
}

}  // namespace

std::string MqttTarget::where() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

MqttTarget parse_mqtt_url(const std::string& url) {
  const std::string form = " (mqtt://[user[:password]@]host[:port]/topic-prefix)";
  MqttTarget t;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    t.tls = true;
  } else {
    throw UsageError("--mqtt takes a URL beginning with mqtt:// or mqtts://" + form);
  }
  const std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);

  const std::size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const std::size_t colon = userinfo.find(':');
    t.user = percent_decoded(userinfo.substr(0, colon), "user name");
    if (colon != std::string::npos) {
      t.password = percent_decoded(userinfo.substr(colon + 1), "password");
      t.has_password = true;
    }
    if (t.user.empty()) throw UsageError("--mqtt: the URL has an empty user name" + form);
  }

  std::string after_host;  // ":port" or empty
  if (!authority.empty() && authority[0] == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string::npos) throw UsageError("--mqtt: unclosed '[' in the host" + form);
    t.host = authority.substr(1, close - 1);
    after_host = authority.substr(close + 1);
  } else {
    const std::size_t colon = authority.find(':');
    t.host = authority.substr(0, colon);
    if (colon != std::string::npos) after_host = authority.substr(colon);
  }
  if (t.host.empty()) throw UsageError("--mqtt: the URL names no host" + form);
  if (!after_host.empty() && after_host[0] != ':') throw UsageError("--mqtt: unexpected text after the host" + form);
  t.port = t.tls ? 8883 : 1883;
  if (!after_host.empty()) {
    const std::string port_text = after_host.substr(1);
    char* end = nullptr;
    const long p = std::strtol(port_text.c_str(), &end, 10);
    if (port_text.empty() || port_text[0] < '0' || port_text[0] > '9' || *end != 0 || p < 1 || p > 65535)
      throw UsageError("--mqtt: the port must be a number 1..65535, not \"" + shorten(port_text) + "\"");
    t.port = static_cast<int>(p);
  }

  while (!path.empty() && path.back() == '/') path.pop_back();
  if (path.empty()) throw UsageError("--mqtt: the URL names no topic prefix" + form);
  if (path.find_first_of("+#") != std::string::npos)
    throw UsageError("--mqtt: the topic prefix \"" + shorten(path) + "\" holds a wildcard (+ or #)");
  if (path.find("//") != std::string::npos || path.front() == '/')
    throw UsageError("--mqtt: the topic prefix \"" + shorten(path) + "\" has an empty level");
  if (path.front() == '$')
    throw UsageError("--mqtt: the topic prefix \"" + shorten(path) + "\" begins with $: " + kBrokerTopics);
  t.prefix = path;
  return t;
}

}  // namespace qvtool
