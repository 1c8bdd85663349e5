// The configuration file: options and sensor tables read as written, and
// every file that cannot be used refused whole with its line and column.
#include <gtest/gtest.h>

#include <string>

#include "onewire/sim/bus.hpp"
#include "qvds18x20/config_file.hpp"

namespace {

using qvtool::ConfigError;
using qvtool::parse_config;

// The message of the error a text raises, or "" when it is taken.
std::string error_of(const std::string& text) {
  try {
    parse_config(text, "q.toml");
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "";
}

TEST(ConfigFile, OptionsAndSensorsAsWritten) {
  const auto cfg = parse_config(R"(# a service's file
port = "/dev/ttyUSB0"
adapter = "ds2480b"
interval = 60
mqtt_discovery = true
offset_test = 1.5

[sensors."28.FF6B3C911604"]
name = "Boiler flow"
offset = -0.25
min = -10
max = 95.5

[sensors.28-0316a2b80c11]
name = "cellar"
)",
                                "q.toml");
  EXPECT_EQ(cfg.options.at("port").text, "/dev/ttyUSB0");
  EXPECT_EQ(cfg.options.at("interval").text, "60");
  EXPECT_EQ(cfg.options.at("mqtt_discovery").text, "true");
  EXPECT_TRUE(cfg.options.at("mqtt_discovery").is_bool);
  EXPECT_EQ(cfg.options.at("offset_test").text, "1.5");
  EXPECT_EQ(cfg.options.at("port").where, "q.toml:2:8");
  ASSERT_EQ(cfg.sensors.size(), 2u);
  const auto& boiler = cfg.sensors.at(onewire::sim::make_rom(0x28, 0x0416913C6BFF));
  EXPECT_EQ(boiler.name, "Boiler flow");
  EXPECT_EQ(boiler.offset, -0.25);
  EXPECT_EQ(boiler.min, -10.0);
  EXPECT_EQ(boiler.max, 95.5);
  const auto& cellar = cfg.sensors.at(onewire::sim::make_rom(0x28, 0x0316A2B80C11));
  EXPECT_FALSE(cellar.min.has_value());
  EXPECT_EQ(qvtool::name_slug("Boiler flow #2"), "boiler_flow_2");
  EXPECT_EQ(qvtool::name_slug("  ÄÖ--x "), "x");
}

TEST(ConfigFile, EveryFaultNamesItsPlace) {
  struct Case {
    const char* text;
    const char* where;
    const char* what;
  };
  const Case cases[] = {
      {"port = \"a\"\nport = \"b\"\n", "q.toml:2:", "port"},      // a key given twice
      {"port = \n", "q.toml:1:", ""},                            // no value
      {"port = \"\"\n", "q.toml:1:", "must not be empty"},
      {"interval = nan\n", "q.toml:1:", "finite"},
      {"x = [1, 2]\n", "q.toml:1:", "must be text"},
      {"[sensors.\"28.FF6B3C911604.D8\"]\nname = \"a\"\n", "q.toml:1:", "CRC"},
      {"[sensors.\"28.FF6B3C911604\"]\nnmae = \"a\"\n", "q.toml:2:", "unknown key \"nmae\""},
      {"[sensors.\"28.FF6B3C911604\"]\nname = 5\n", "q.toml:2:", "must be text"},
      {"[sensors.\"28.FF6B3C911604\"]\nname = \"!!\"\n", "q.toml:2:", "letter or a digit"},
      {"[sensors.\"28.FF6B3C911604\"]\nmin = 10\nmax = 5\n", "q.toml:1:", "below max"},
      {"[sensors.\"28.FF6B3C911604\"]\nmin = 130\n", "q.toml:1:", "the part's range is: -55 to 125"},
      {"[sensors.\"28.FF6B3C911604\"]\noffset = 99\n", "q.toml:2:", "offset"},
      {"[sensors.\"28.FF6B3C911604\"]\nname = \"a\"\n[sensors.\"D70416913C6BFF28\"]\nname = \"b\"\n", "q.toml:3:",
       "twice"},
      {"[sensors.\"28.FF6B3C911604\"]\nname = \"Cellar\"\n[sensors.\"28-0316a2b80c11\"]\nname = \"cellar\"\n",
       "q.toml:", "another sensor too, at q.toml:"},
      {"sensors = 3\n", "q.toml:1:", "table"},
      {"port = \"\xff\"\n", "q.toml:1:", ""},  // not UTF-8
  };
  for (const Case& c : cases) {
    const std::string e = error_of(c.text);
    EXPECT_EQ(e.rfind(c.where, 0), 0u) << c.text << " -> " << e;
    EXPECT_NE(e.find(c.what), std::string::npos) << c.text << " -> " << e;
  }
  EXPECT_EQ(error_of("# nothing but a comment\n"), "");
}

// Names in any script: a name without a Latin letter or digit has no
// topic word of its own (the ROM is used there), and the limit is
// counted in bytes, as it is stored.
TEST(ConfigFile, NamesInAnyScriptWithTheirLimitInBytes) {
  const auto cfg = parse_config("[sensors.\"28.FF6B3C911604\"]\nname = \"\u6e29\u5ea6\"\n"
                                "[sensors.\"28-0316a2b80c11\"]\nname = \"\u6e7f\u5ea6\"\n"
                                "[sensors.\"28-0417c0de0042\"]\nname = \"K\u00fcche\"\n",
                                "q.toml");
  EXPECT_EQ(cfg.sensors.at(onewire::sim::make_rom(0x28, 0x0416913C6BFF)).name, "\u6e29\u5ea6");
  EXPECT_EQ(qvtool::name_slug("\u6e29\u5ea6"), "") << "no topic word: the ROM stands in";
  EXPECT_EQ(qvtool::name_slug("K\u00fcche"), "k_che");
  // 32 two-byte letters fit, 33 do not; the message counts bytes.
  std::string fits, too_long;
  for (int i = 0; i < 32; ++i) fits += "\u00e9";
  too_long = fits + "\u00e9";
  EXPECT_EQ(error_of("[sensors.\"28.FF6B3C911604\"]\nname = \"" + fits + "\"\n"), "");
  const std::string e = error_of("[sensors.\"28.FF6B3C911604\"]\nname = \"" + too_long + "\"\n");
  EXPECT_NE(e.find("64 bytes"), std::string::npos) << e;
  // The same name twice is refused whatever its script; two names
  // without a topic word of their own are told apart by their ROMs.
  EXPECT_NE(error_of("[sensors.\"28.FF6B3C911604\"]\nname = \"\u6e29\"\n"
                     "[sensors.\"28-0316a2b80c11\"]\nname = \"\u6e29\"\n")
                .find("another sensor too"),
            std::string::npos);
  // A C1 control character is no more printable than a C0 one.
  EXPECT_NE(error_of("[sensors.\"28.FF6B3C911604\"]\nname = \"a\\u0085b\"\n").find("printable"), std::string::npos);
}

TEST(ConfigFile, FilesThatAreNoConfiguration) {
  EXPECT_THROW(qvtool::load_config("/nonexistent/q.toml"), ConfigError);
  EXPECT_THROW(qvtool::load_config("/"), ConfigError);
}

}  // namespace
