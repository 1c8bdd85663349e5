// Where a DS2482 port points: the I2C bus device, the chip's address (0x18
// unless given) and the -800's channel, parsed and written back.
#include <gtest/gtest.h>

#include <string>

#include "onewire/ds2482/chip_address.hpp"

namespace {

namespace p = onewire::ds2482;

TEST(Ds2482ChipAddress, BusAddressAndChannel) {
  const auto plain = p::parse_chip_address("/dev/i2c-1");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->device, "/dev/i2c-1");
  EXPECT_EQ(plain->address, 0x18);
  EXPECT_EQ(plain->channel, -1);
  const auto full = p::parse_chip_address("/dev/i2c-12:0x1f:7");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->address, 0x1F);
  EXPECT_EQ(full->channel, 7);
  EXPECT_EQ(p::format_chip_address(*full), "/dev/i2c-12:0x1F:7");
  EXPECT_EQ(p::format_chip_address(*plain), "/dev/i2c-1:0x18");
  for (const char* bad : {"", ":0x18", "/dev/i2c-1:0x17", "/dev/i2c-1:0x20", "/dev/i2c-1:24", "/dev/i2c-1:0x18:8",
                          "/dev/i2c-1:0x18:-1", "/dev/i2c-1:0x18:1:2", "/dev/i2c-1:0x1g"}) {
    std::string why;
    EXPECT_FALSE(p::parse_chip_address(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

}  // namespace
