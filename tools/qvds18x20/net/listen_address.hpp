// Where a listener listens: [ADDR:]PORT as the options take it, with
// 127.0.0.1 unless an address is given, and a v6 address in brackets.
#pragma once

#include <string>

namespace qvtool::net {

struct ListenAddress {
  std::string host;  // without brackets
  std::string port;  // digits, 0..65535
  // host:port as people write it ([::1]:4304 for a v6 address).
  std::string text() const;
};

// Parses `value` of option `option` ("--owserver"); `example` is a port
// its message shows. Throws UsageError for anything else, ":PORT" included
// (which some programs take for every interface: here that is said as
// 0.0.0.0:PORT).
ListenAddress parse_listen_address(const std::string& option, const std::string& value, const std::string& example,
                                   const std::string& what);

}  // namespace qvtool::net
