// ROM codes in the three forms users carry between tools, and the model
// names of the families.
#include <gtest/gtest.h>

#include <string>

#include "onewire/sim/bus.hpp"
#include "qvds18x20/rom_id.hpp"

namespace {

using qvtool::format_rom;
using qvtool::IdFormat;
using qvtool::parse_rom_id;

// The device README and the issue tracker use: OWFS 28.FF6B3C911604,
// the kernel 28-0416913c6bff.
const onewire::Rom kRom = onewire::sim::make_rom(0x28, 0x0416913C6BFF);

TEST(RomId, EveryFormNamesTheSameDeviceAndPrintsBack) {
  EXPECT_EQ(format_rom(kRom, IdFormat::kQvds), "D70416913C6BFF28");
  EXPECT_EQ(format_rom(kRom, IdFormat::kOwfs), "28.FF6B3C911604");
  EXPECT_EQ(format_rom(kRom, IdFormat::kKernel), "28-0416913c6bff");
  for (const char* text : {"D70416913C6BFF28", "d70416913c6bff28", "28.FF6B3C911604", "28.ff6b3c911604",
                           "28.FF6B3C911604.D7", "28.FF6B3C911604D7", "28FF6B3C911604D7", "28FF6B3C911604",
                           "28-0416913c6bff", "28-0416913C6BFF"}) {
    const auto rom = parse_rom_id(text);
    ASSERT_TRUE(rom.has_value()) << text;
    EXPECT_EQ(*rom, kRom) << text;
  }
  // Every ROM survives each form.
  for (std::uint64_t serial : {0x000000000001ull, 0xA1B2C3D4E5F6ull, 0x00802B4A1C3ull}) {
    for (std::uint8_t family : {0x10, 0x22, 0x3B}) {
      const onewire::Rom r = onewire::sim::make_rom(family, serial);
      for (IdFormat f : {IdFormat::kQvds, IdFormat::kOwfs, IdFormat::kKernel})
        EXPECT_EQ(parse_rom_id(format_rom(r, f)), r) << format_rom(r, f);
    }
  }
}

TEST(RomId, WrongTextSaysWhy) {
  std::string why;
  EXPECT_FALSE(parse_rom_id("D70416913C6BFF29", &why));  // one digit off: neither order is sound
  EXPECT_NE(why.find("CRC"), std::string::npos) << why;
  EXPECT_FALSE(parse_rom_id("28.FF6B3C911604.D8", &why));
  EXPECT_NE(why.find("CRC"), std::string::npos) << why;
  for (const char* bad : {"", "28", "28.FF6B3C9116", "28-0416913c6b", "28-0416913c6bff00", "zz.FF6B3C911604",
                          "28..FF6B3C911604", "2.8FF6B3C911604", "00-0416913c6bff", "COM3"}) {
    why.clear();
    EXPECT_FALSE(parse_rom_id(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(RomId, ModelNames) {
  EXPECT_EQ(qvtool::model_name(0x28), "DS18B20");
  EXPECT_EQ(qvtool::model_name(0x10), "DS18S20");
  EXPECT_EQ(qvtool::model_name(0x22), "DS1822");
  EXPECT_EQ(qvtool::model_name(0x3B), "DS1825/MAX31850");
  EXPECT_EQ(qvtool::model_name(0x01), "DS2401");
  EXPECT_EQ(qvtool::model_name(0x81), "0x81");
}

}  // namespace
