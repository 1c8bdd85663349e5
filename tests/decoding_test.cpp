// Scratchpad bytes to temperature text.
#include <gtest/gtest.h>

#include "TMGetDs18x20CountU/TMGetDs18x20CountU.hpp"

namespace {
std::string decode(std::uint8_t family, std::uint16_t raw, std::uint8_t count_remain, std::uint8_t config) {
  return TMGetDsCount::ObliczTemp(family, static_cast<std::uint8_t>(raw & 0xFF), static_cast<std::uint8_t>(raw >> 8),
                                  count_remain, config);
}
}  // namespace

TEST(Decoding, WorkedExamples) {
  struct Row {
    std::uint8_t family;
    std::uint16_t raw;
    std::uint8_t count_remain;
    std::uint8_t config;
    const char* text;
  };
  const Row rows[] = {
      {0x28, 0x0191, 0, 0x7F, "25.1"},  {0x28, 0x07D0, 0, 0x7F, "125.0"}, {0x28, 0x0550, 0, 0x7F, "85.0"},
      {0x28, 0x00A2, 0, 0x7F, "10.1"},  {0x28, 0x0008, 0, 0x7F, "0.5"},   {0x28, 0x0000, 0, 0x7F, "0.0"},
      {0x28, 0xFFF8, 0, 0x7F, "-0.5"},  {0x28, 0xFF5E, 0, 0x7F, "-10.1"}, {0x28, 0xFE6F, 0, 0x7F, "-25.1"},
      {0x28, 0xFC90, 0, 0x7F, "-55.0"}, {0x28, 0x0197, 0, 0x7F, "25.4"},  {0x28, 0x0197, 0, 0x5F, "25.4"},
      {0x28, 0x0197, 0, 0x3F, "25.2"},  {0x28, 0x0197, 0, 0x1F, "25.0"},  {0x28, 0xFE69, 0, 0x3F, "-25.2"},
      {0x28, 0xFE69, 0, 0x1F, "-25.0"}, {0x10, 0x0032, 0x0C, 0, "25.0"},  {0x10, 0x0032, 0x05, 0, "25.4"},
      {0x10, 0x0033, 0x05, 0, "25.4"},  {0x10, 0x00AA, 0x0C, 0, "85.0"},  {0x10, 0xFFFF, 0x0C, 0, "-1.0"},
      {0x10, 0xFFFF, 0x0A, 0, "-0.9"},  {0x10, 0xFF92, 0x0C, 0, "-55.0"}, {0x10, 0x0000, 0x10, 0, "-0.2"},
      {0x22, 0x0191, 0, 0x1F, "25.1"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(decode(r.family, r.raw, r.count_remain, r.config), r.text)
        << std::hex << int(r.family) << " " << r.raw << " cr " << int(r.count_remain) << " cfg " << int(r.config);
}

TEST(Decoding, EdgesOfTheEncoding) {
  // A floating line (all ones) still decodes; the measurement's CRC check
  // is what keeps it out of the results.
  EXPECT_EQ(decode(0x28, 0xFFFF, 0xFF, 0xFF), "-0.1");
  EXPECT_EQ(decode(0x10, 0xFFFF, 0xFF, 0xFF), "-16.2");
  // The integer part is eight bits wide.
  EXPECT_EQ(decode(0x28, 0x1000, 0, 0x7F), "0.0");
  EXPECT_EQ(decode(0x28, 0x8000, 0, 0x7F), "-0.0");
  // Configuration matters only for 0x28, COUNT REMAIN only for 0x10.
  EXPECT_EQ(decode(0x28, 0x0197, 0x00, 0x7F), decode(0x28, 0x0197, 0x0F, 0x7F));
  EXPECT_EQ(decode(0x10, 0x0032, 0x05, 0x1F), decode(0x10, 0x0032, 0x05, 0x7F));
  EXPECT_EQ(decode(0x3B, 0x0197, 0, 0x1F), "25.4");
  // Always one digit after the point, never a plus sign.
  for (std::uint32_t raw = 0; raw <= 0xFFFF; raw += 37) {
    const std::string t = decode(0x28, static_cast<std::uint16_t>(raw), 0, 0x7F);
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[t.size() - 2], '.') << t;
    EXPECT_NE(t[0], '+');
  }
}
