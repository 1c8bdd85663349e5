// The one way the tool turns JSON into text (standard output, MQTT
// payloads): never throws for a string that is not UTF-8.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace qvtool {

// `j` as one line of JSON. A string (or key) that is not valid UTF-8 is
// written with its stray bytes as \xHH (utf8_escaped); numbers that are
// not finite are null, as JSON has no other way to say them.
std::string json_dump(const nlohmann::json& j);

}  // namespace qvtool
