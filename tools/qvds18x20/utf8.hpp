// Texts bound for formats whose strings are UTF-8: JSON (standard output
// and MQTT payloads), MQTT topics and Prometheus label values. What the
// tool reports comes partly from the user (a port path, a device file's
// name) and may hold any bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qvtool {

// The length of the valid UTF-8 sequence (RFC 3629: no overlong forms,
// no surrogates, nothing past U+10FFFF) at the start of `s`; 0 when `s`
// does not start with one.
std::size_t utf8_sequence_length(std::string_view s);

bool is_utf8(std::string_view s);

// `s` with each byte that is not part of a valid sequence written as the
// four characters \xHH, so that the text stays valid and the byte stays
// visible.
std::string utf8_escaped(std::string_view s);

}  // namespace qvtool
