// Process-wide CRC accumulators and records of the wrapper unit.
#include "IBTMEXPWnew/wrapper.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "onewire/crc.hpp"

namespace {

// Read before any test runs: the accumulators are constant-initialised, so
// these see their values at load.
const std::uint8_t g_crc8_at_load = CRC8;
const std::uint16_t g_crc16_at_load = CRC16;

std::uint8_t crc8_of(std::string_view bytes) {
  std::uint8_t last = CRC8;
  for (char c : bytes) last = DoCRC8(static_cast<std::uint8_t>(c));
  return last;
}

std::uint8_t crc8_of(const std::vector<std::uint8_t>& bytes) {
  std::uint8_t last = CRC8;
  for (std::uint8_t b : bytes) last = DoCRC8(b);
  return last;
}

void crc16_of(std::string_view bytes) {
  for (char c : bytes) DoCRC16(static_cast<std::uint8_t>(c));
}

class WrapperCrcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CRC8 = 0;
    CRC16 = 0;
  }
};

TEST(WrapperState, ProcessStateIsZeroAtLoad) {
  EXPECT_EQ(g_crc8_at_load, 0);
  EXPECT_EQ(g_crc16_at_load, 0);
  EXPECT_EQ(SHandle, 0);
  EXPECT_TRUE(std::all_of(std::begin(StateBuf), std::end(StateBuf), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(sizeof(StateBuf), 15360u);
}

TEST_F(WrapperCrcTest, Crc8SingleBytesFromZeroAreTheTableEntries) {
  const std::array<std::uint8_t, 8> first{0x00, 0x5E, 0xBC, 0xE2, 0x61, 0x3F, 0xDD, 0x83};
  for (std::size_t i = 0; i < first.size(); ++i) {
    CRC8 = 0;
    EXPECT_EQ(DoCRC8(static_cast<std::uint8_t>(i)), first[i]) << "byte " << i;
  }
  CRC8 = 0;
  EXPECT_EQ(DoCRC8(0x80), 0x8C);
  CRC8 = 0;
  EXPECT_EQ(DoCRC8(0xFF), 0x35);

  // Every entry against the bitwise CRC of the bus layer.
  for (int i = 0; i < 256; ++i) {
    CRC8 = 0;
    const std::uint8_t got = DoCRC8(static_cast<std::uint8_t>(i));
    EXPECT_EQ(got, onewire::crc8_update(0, static_cast<std::uint8_t>(i))) << "byte " << i;
    EXPECT_EQ(CRC8, got) << "the result is also left in CRC8";
  }
}

TEST_F(WrapperCrcTest, Crc8OfKnownMessages) {
  EXPECT_EQ(crc8_of("123456789"), 0xA1);

  // A ROM code: the CRC of the first seven bytes is the eighth, and running
  // on over it leaves zero.
  CRC8 = 0;
  EXPECT_EQ(crc8_of({0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00}), 0xA2);
  EXPECT_EQ(DoCRC8(0xA2), 0x00);

  CRC8 = 0;
  EXPECT_EQ(crc8_of({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}), 0x1C);  // DS18B20 at power-up
  CRC8 = 0;
  EXPECT_EQ(crc8_of({0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10}), 0x87);  // DS18S20 at power-up
}

TEST_F(WrapperCrcTest, Crc8RunsOnWithoutReset) {
  EXPECT_EQ(crc8_of("123456789"), 0xA1);
  const std::uint8_t second = crc8_of("123456789");
  EXPECT_NE(second, 0xA1);
  const std::string_view twice = "123456789123456789";
  EXPECT_EQ(second, onewire::crc8(reinterpret_cast<const std::uint8_t*>(twice.data()), twice.size()));

  CRC8 = 0x5A;  // a non-zero start is taken as it is
  EXPECT_EQ(DoCRC8(0x00), onewire::crc8_update(0x5A, 0x00));
}

TEST_F(WrapperCrcTest, Crc16SingleBytesFromZero) {
  DoCRC16(0x01);
  EXPECT_EQ(CRC16, 0xC0C1);
  CRC16 = 0;
  DoCRC16(0x80);
  EXPECT_EQ(CRC16, 0xA001);
  CRC16 = 0;
  DoCRC16(0x00);
  EXPECT_EQ(CRC16, 0x0000);
}

TEST_F(WrapperCrcTest, Crc16OfKnownMessageAndRunningOn) {
  crc16_of("123456789");
  EXPECT_EQ(CRC16, 0xBB3D);
  // Running on over the CRC itself, low byte first, leaves zero: the
  // accumulator was not reset between the two calls.
  DoCRC16(0x3D);
  DoCRC16(0xBB);
  EXPECT_EQ(CRC16, 0x0000);

  CRC16 = 0;
  crc16_of("1234");
  const std::uint16_t half = CRC16;
  crc16_of("56789");
  EXPECT_NE(half, 0xBB3D);
  EXPECT_EQ(CRC16, 0xBB3D);
}

TEST(WrapperRecords, FileEntryReadsAStoredImageByteForByte) {
  std::array<std::uint8_t, 44> image{};
  std::memcpy(image.data(), "READMEAB", 8);
  image[8] = 0x65;
  image[9] = 0x07;
  image[10] = 0x03;
  image[11] = 0x02;
  for (std::size_t i = 0; i < 32; ++i) image[12 + i] = static_cast<std::uint8_t>(0xC0 + i);

  FileEntry entry;
  std::memcpy(&entry, image.data(), sizeof entry);
  EXPECT_EQ(std::string_view(entry.name, 8), "READMEAB");
  EXPECT_EQ(entry.extension, 0x65);
  EXPECT_EQ(entry.startpage, 0x07);
  EXPECT_EQ(entry.numpages, 0x03);
  EXPECT_EQ(entry.attribute, 0x02);
  EXPECT_EQ(entry.BitMap[0], 0xC0);
  EXPECT_EQ(entry.BitMap[31], 0xDF);

  PFileEntry p = &entry;
  FileEntry copy = *p;
  EXPECT_EQ(std::memcmp(&copy, image.data(), sizeof copy), 0);
}

TEST(WrapperRecords, DirectoryPathReadsAStoredImageByteForByte) {
  std::array<std::uint8_t, 84> image{};
  image[0] = 2;
  image[1] = 0;
  const char16_t ref = u'\\';
  std::memcpy(image.data() + 2, &ref, sizeof ref);
  std::memcpy(image.data() + 4, "SUBDIR  DATA    ", 16);
  image[83] = 0x7E;

  DirectoryPath dir;
  std::memcpy(&dir, image.data(), sizeof dir);
  EXPECT_EQ(dir.NumEntries, 2);
  EXPECT_EQ(dir.Ref, u'\\');
  EXPECT_EQ(std::string_view(dir.Entries, 16), "SUBDIR  DATA    ");
  EXPECT_EQ(dir.Entries[79], 0x7E);

  PDirectoryPath p = &dir;
  DirectoryPath copy = *p;
  EXPECT_EQ(std::memcmp(&copy, image.data(), sizeof copy), 0);
}

}  // namespace
