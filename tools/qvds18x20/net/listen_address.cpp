#include "qvds18x20/net/listen_address.hpp"

#include "qvds18x20/exit_codes.hpp"

namespace qvtool::net {

std::string ListenAddress::text() const {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
}

ListenAddress parse_listen_address(const std::string& option, const std::string& value, const std::string& example,
                                   const std::string& what) {
  const std::string form = option + " takes [ADDR:]PORT with PORT 0..65535 (127.0.0.1:" + example + ", [::1]:" +
                           example + ", 0.0.0.0:" + example + " for every interface)";
  ListenAddress where{"127.0.0.1", value};
  const std::size_t colon = value.rfind(':');
  if (colon != std::string::npos) {
    where.host = value.substr(0, colon);
    where.port = value.substr(colon + 1);
    if (where.host.size() >= 2 && where.host.front() == '[' && where.host.back() == ']')
      where.host = where.host.substr(1, where.host.size() - 2);
    else if (where.host.find(':') != std::string::npos)
      throw UsageError(form + ", not \"" + shorten(value) + "\" (a v6 address goes in brackets)");
    if (where.host.empty())
      throw UsageError(form + ", not \"" + shorten(value) + "\": name the address, since listening on every "
                       "interface shows " + what + " to the network");
  }
  const bool digits = !where.port.empty() && where.port.size() <= 5 &&
                      where.port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stol(where.port) > 65535) throw UsageError(form + ", not \"" + shorten(value) + "\"");
  return where;
}

}  // namespace qvtool::net
