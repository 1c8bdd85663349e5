// The thermometer families of the simulated bus, seen from the bus as a
// host sees them: ROM patterns, power-up scratchpads, byte 6, the
// configuration register, WRITE SCRATCHPAD's side effects, conversion
// times and their scaling, busy slots, READ POWER SUPPLY, parasite power,
// the EEPROM, alarm search, undocumented codes and the record of codes no
// host may send. The expected values are the published measurements of
// real parts (genuine DS18B20 and the clone families).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/sim/clone_family.hpp"
#include "onewire/sim/ds18x20.hpp"
#include "support/sim_link_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using onewire::Rom;
using onewire::sim::Ds18x20;
using onewire::sim::ThermometerFamily;
using testing_support::Scratchpad;
using testing_support::temp_bytes;
using F = ThermometerFamily;

// Bytes as the research prints them: "28-13-9B-...".
std::vector<std::uint8_t> bytes_of(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

double ms(rtl::Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Clones : testing_support::SimLinkFixture {
  std::shared_ptr<Ds18x20> add(F family, std::uint64_t serial = 1, double celsius = 25.0) {
    auto d = onewire::sim::make_thermometer(family, serial, celsius);
    bus->add(d);
    return d;
  }

  // Reset, MATCH ROM, then `bytes`.
  void send(const Rom& rom, std::initializer_list<int> bytes) {
    select(&rom);
    write(bytes);
  }

  std::vector<int> read_bytes(int n) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) out.push_back(link.touch_byte(0xFF));
    return out;
  }

  // WRITE SCRATCHPAD with the alarm bytes the part holds and `config`.
  void write_config(const Rom& rom, int config) {
    const Scratchpad pad = read_scratchpad(&rom);
    send(rom, {0x4E, pad[2], pad[3], config});
  }

  // CONVERT T, then read slots every 100 us (after a first wait of 1 ms,
  // as a host must) until one reads 1: the conversion time a host sees.
  rtl::Duration polled_conversion(const Rom& rom) {
    send(rom, {0x44});
    const auto start = clock.now();
    clock.advance(1ms);
    while (link.touch_bit(1) == 0) {
      clock.advance(100us);
      if (clock.now() - start > 3s) {
        ADD_FAILURE() << "the conversion never ended";
        break;
      }
    }
    return clock.now() - start;
  }

  // CONVERT T fed by the strong pull-up for `fed`.
  void parasite_convert(const Rom& rom, rtl::Duration fed) {
    select(&rom);
    link.touch_byte_pullup(0x44);
    clock.advance(fed);
    link.end_strong_pullup();
  }
};

// --- ROMs ---

struct RomCase {
  F family;
  const char* example;  // as published; seven bytes where the published CRC is wrong
  bool (*pattern)(const Rom&);
};

const RomCase kRoms[] = {
    {F::kA1, "28-13-9B-BB-0B-00-00-1F", [](const Rom& r) { return r[5] == 0 && r[6] == 0; }},
    {F::kA1Fishy, "28-9B-9E-CB-03-00-00",
     [](const Rom& r) { return (r[3] & 0xF0) == 0xC0 && r[4] == 0x03 && r[5] == 0 && r[6] == 0; }},
    {F::kA2, "28-19-00-00-B7-5B-00-41", [](const Rom& r) { return r[2] == 0 && r[3] == 0 && r[6] == 0; }},
    {F::kA3, "28-CA-BA-61-00-00-00-A3", [](const Rom& r) { return r[4] == 0 && r[5] == 0 && r[6] == 0; }},
    {F::kB1, "28-AA-3C-61-55-14-01-F0", [](const Rom& r) { return r[1] == 0xAA; }},
    {F::kB1v2, "28-E4-FA-2F-57-23-0B-AF", [](const Rom&) { return true; }},
    {F::kB2, "28-FF-7C-5A-61-16-04-EE", [](const Rom& r) { return r[1] == 0xFF; }},
    {F::kC, "28-FF-64-1D-CD-96-F2-01", [](const Rom& r) { return r[1] == 0xFF && r[2] == 0x64; }},
    {F::kD1, "28-48-1B-77-91-17-02-55", [](const Rom& r) { return r[3] == 0x77 && r[4] == 0x91; }},
    {F::kD2, "28-90-FE-79-97-00-03-20", [](const Rom& r) { return r[3] == 0x79 && r[4] == 0x97; }},
    {F::kE, "28-00-74-28-59-43-0F-7A", [](const Rom& r) { return r[1] == 0x00; }},
    {F::kF, "28-03-60-00-00-01-24-D0", [](const Rom&) { return true; }},
    {F::kG, "28-C7-9E-A3-59-83-D9-74", [](const Rom&) { return true; }},
    {F::kH, "28-0C-80-53-5C-AA-8E-A2", [](const Rom&) { return true; }},
};

TEST_F(Clones, RomsFollowTheirFamilysPatternWithAValidCrcAndAnswerTheSearch) {
  for (const RomCase& c : kRoms) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    // Serial 0 is the published example.
    const Rom example = onewire::sim::make_family_rom(c.family, 0);
    const auto published = bytes_of(c.example);
    EXPECT_TRUE(std::equal(published.begin(), published.end(), example.begin()));
    EXPECT_EQ(onewire::crc8(example.data(), 8), 0);
    std::set<Rom> seen;
    for (std::uint64_t serial = 0; serial < 256; ++serial) {
      const Rom r = onewire::sim::make_family_rom(c.family, serial * 0x010203);
      EXPECT_EQ(r[0], 0x28);
      EXPECT_EQ(onewire::crc8(r.data(), 8), 0) << serial;
      EXPECT_TRUE(c.pattern(r)) << serial;
      seen.insert(r);
    }
    EXPECT_EQ(seen.size(), 256u) << "serials give different ROMs";
  }
  EXPECT_EQ(onewire::sim::make_family_rom(F::kDs18s20, 0x1234), onewire::sim::make_rom(0x10, 0x1234));
  EXPECT_EQ(onewire::sim::make_family_rom(F::kDs1822, 0x1234), onewire::sim::make_rom(0x22, 0x1234));
  EXPECT_EQ(onewire::sim::make_family_rom(F::kDs1825, 0x1234), onewire::sim::make_rom(0x3B, 0x1234));

  // One of each on a bus: the search finds them all.
  std::set<Rom> on_bus;
  for (const F f : onewire::sim::thermometer_families()) on_bus.insert(add(f, 7)->rom());
  const auto found = search_all();
  EXPECT_EQ(std::set<Rom>(found.begin(), found.end()), on_bus);
  EXPECT_EQ(found.size(), onewire::sim::kThermometerFamilyCount);
}

TEST(CloneFamilies, NamesParseBackAndABareRomGetsItsFamilysModel) {
  std::set<std::string> names;
  for (const F f : onewire::sim::thermometer_families()) {
    const std::string name(onewire::sim::family_name(f));
    names.insert(name);
    EXPECT_EQ(onewire::sim::parse_thermometer_family(name), f);
  }
  EXPECT_EQ(names.size(), onewire::sim::kThermometerFamilyCount);
  EXPECT_EQ(onewire::sim::parse_thermometer_family("b1V2"), F::kB1v2);
  EXPECT_EQ(onewire::sim::parse_thermometer_family("a1-FISHY"), F::kA1Fishy);
  EXPECT_EQ(onewire::sim::parse_thermometer_family("B3"), std::nullopt);
  EXPECT_EQ(onewire::sim::parse_thermometer_family(""), std::nullopt);
  EXPECT_EQ(Ds18x20(onewire::sim::make_rom(0x28, 1)).family(), F::kA1);
  EXPECT_EQ(Ds18x20(onewire::sim::make_rom(0x10, 1)).family(), F::kDs18s20);
  EXPECT_EQ(Ds18x20(onewire::sim::make_rom(0x22, 1)).family(), F::kDs1822);
  EXPECT_EQ(Ds18x20(onewire::sim::make_rom(0x3B, 1)).family(), F::kDs1825);
  EXPECT_EQ(onewire::sim::make_thermometer(F::kC, 3)->family(), F::kC);
}

// --- scratchpad ---

// Power-up scratchpads as published; -1 = a value the research leaves open.
struct PowerUp {
  F family;
  std::array<int, 9> bytes;
};

const PowerUp kPowerUps[] = {
    {F::kA1, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
    {F::kA1Fishy, {0x50, 0x05, 0x00, 0x00, 0x1F, 0xFF, 0x0C, 0x10, 0x74}},
    {F::kA2, {0x50, 0x05, -1, -1, 0x7F, 0xFF, 0x0C, 0x10, -1}},
    {F::kA3, {0x50, 0x05, 0x7F, 0x80, 0x7F, 0xFF, 0x0C, 0x10, 0x93}},
    {F::kB1, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
    {F::kB1v2, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
    {F::kB2, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
    {F::kC, {0x50, 0x05, 0x55, 0x00, 0x7F, 0xFF, 0x0C, 0x10, 0x21}},
    {F::kD1, {0x90, 0x01, 0x55, 0x05, 0x7F, 0x7E, 0x81, 0x66, 0x96}},
    {F::kD2, {0x90, 0x01, 0x55, 0x05, 0x7F, -1, -1, 0x66, -1}},
    {F::kE, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10, 0xBD}},
    {F::kF, {0x50, 0x05, 0x55, 0x00, 0x7F, 0xFF, 0x0C, 0x10, 0x21}},
    {F::kG, {0x50, 0x05, 0x55, 0xAA, 0x7F, 0xFF, 0x0C, 0x10, 0xAF}},
    {F::kH, {0x50, 0x05, 0x55, 0xAA, 0x7F, 0xFF, 0x0C, 0x10, 0xAF}},
    {F::kDs18s20, {0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0x87}},
    {F::kDs1822, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
    {F::kDs1825, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}},
};

TEST_F(Clones, PowerUpScratchpadsAsPublished) {
  for (const PowerUp& c : kPowerUps) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    const auto d = add(c.family, 5);
    const Scratchpad pad = read_scratchpad(&d->rom());
    for (std::size_t i = 0; i < 9; ++i) {
      if (c.bytes[i] < 0) continue;
      EXPECT_EQ(pad[i], c.bytes[i]) << "byte " << i;
    }
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
  }
  // What the research leaves open still keeps its rules: D2's bytes 5 and
  // 6 are no genuine FF and 0C, and A2's alarm bytes differ between chips.
  const Scratchpad d2 = read_scratchpad(&add(F::kD2, 6)->rom());
  EXPECT_NE(d2[5], 0xFF);
  EXPECT_NE(d2[6], 0x0C);
  std::set<std::pair<int, int>> alarm_bytes;
  for (std::uint64_t serial = 10; serial < 20; ++serial) {
    const Scratchpad a2 = read_scratchpad(&add(F::kA2, serial)->rom());
    alarm_bytes.insert({a2[2], a2[3]});
  }
  EXPECT_GT(alarm_bytes.size(), 5u);
}

// Byte 6 after a 12-bit conversion; kOwn: the part's own byte, as at power-up.
constexpr int kOwn = -1;
struct Byte6Case {
  F family;
  int at_21_3125;  // raw 0155: low nibble 5
  int at_85;       // raw 0550: low nibble 0
};

const Byte6Case kByte6[] = {
    {F::kA1, 0x0B, 0x10},   {F::kA1Fishy, 0x0B, 0x10}, {F::kA2, 0x0B, 0x10},     {F::kA3, 0x0B, 0x10},
    {F::kB1, 0x0C, 0x0C},   {F::kB1v2, 0x0B, 0x10},    {F::kB2, 0x0C, 0x0C},     {F::kC, 0x0C, 0x0C},
    {F::kD1, kOwn, kOwn},   {F::kD2, kOwn, kOwn},      {F::kE, 0x0B, 0x10},      {F::kF, 0x0C, 0x0C},
    {F::kG, 0x1B, 0x20},    {F::kH, 0x0B, 0x10},       {F::kDs1822, 0x0B, 0x10}, {F::kDs1825, 0x0B, 0x10},
};

TEST_F(Clones, ByteSixAfterATwelveBitConversionFollowsTheFamilysRule) {
  for (const Byte6Case& c : kByte6) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    const auto d = add(c.family, 9, 21.3125);
    const Rom& rom = d->rom();
    const int power_up = read_scratchpad(&rom)[6];
    write_config(rom, 0x7F);
    convert(&rom);
    Scratchpad pad = read_scratchpad(&rom);
    EXPECT_EQ(temp_bytes(pad), 0x0155);
    EXPECT_EQ(pad[6], c.at_21_3125 == kOwn ? power_up : c.at_21_3125);
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    // A real 85.0 is told from the power-up 85.0 by byte 6 only where the
    // rule gives 10h (or 20h) for a low nibble of 0.
    d->set_temperature(85.0);
    convert(&rom);
    pad = read_scratchpad(&rom);
    EXPECT_EQ(temp_bytes(pad), 0x0550);
    EXPECT_EQ(pad[6], c.at_85 == kOwn ? power_up : c.at_85);
    bus->remove(rom);
  }
}

struct ConfigCase {
  F family;
  std::array<int, 3> after;  // read back after writing 00, FF, 3F
};

const ConfigCase kConfigs[] = {
    {F::kA1, {0x1F, 0x7F, 0x3F}},  {F::kA1Fishy, {0x1F, 0x7F, 0x3F}}, {F::kA2, {0x1F, 0x7F, 0x3F}},
    {F::kA3, {0x1F, 0x7F, 0x3F}},  {F::kB1, {0x1F, 0x7F, 0x3F}},      {F::kB1v2, {0x1F, 0x7F, 0x3F}},
    {F::kB2, {0x1F, 0x7F, 0x3F}},  {F::kC, {0x7F, 0x7F, 0x7F}},       {F::kD1, {0x1F, 0x7F, 0x3F}},
    {F::kD2, {0x1F, 0x7F, 0x3F}},  {F::kE, {0x1F, 0x7F, 0x3F}},       {F::kF, {0x7F, 0xFF, 0x7F}},
    {F::kG, {0x1F, 0x7F, 0x3F}},   {F::kH, {0x1F, 0x7F, 0x3F}},       {F::kDs1822, {0x1F, 0x7F, 0x3F}},
    {F::kDs1825, {0x1F, 0x7F, 0x3F}},
};

TEST_F(Clones, ConfigurationReadBackAfterWritesOf00FFAnd3F) {
  for (const ConfigCase& c : kConfigs) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    const auto d = add(c.family, 11);
    const int written[] = {0x00, 0xFF, 0x3F};
    for (int i = 0; i < 3; ++i) {
      send(d->rom(), {0x4E, 0x12, 0x34, written[i]});
      const Scratchpad pad = read_scratchpad(&d->rom());
      EXPECT_EQ(pad[2], 0x12);
      EXPECT_EQ(pad[3], 0x34);
      EXPECT_EQ(pad[4], c.after[static_cast<std::size_t>(i)]) << "after " << written[i];
    }
  }
  // The DS18S20 has no configuration register: it takes two bytes.
  const auto s20 = add(F::kDs18s20, 11);
  send(s20->rom(), {0x4E, 0x12, 0x34, 0x00});
  EXPECT_EQ(read_scratchpad(&s20->rom())[4], 0xFF);
}

TEST_F(Clones, WriteScratchpadSpillsIntoBytesSixAndSevenOnB1AndB2Only) {
  for (const F f : {F::kB1, F::kB2, F::kB1v2, F::kA1, F::kC, F::kE}) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(f)));
    const bool spills = f == F::kB1 || f == F::kB2;
    const auto d = add(f, 13, 21.5);
    const Rom& rom = d->rom();
    const Scratchpad before = read_scratchpad(&rom);
    // Three bytes: the third (as written) also lands in byte 6.
    send(rom, {0x4E, 0x4B, 0x46, 0x7F});
    Scratchpad pad = read_scratchpad(&rom);
    EXPECT_EQ(pad[6], spills ? 0x7F : before[6]);
    // What the component writes before every measurement.
    send(rom, {0x4E, 0xFF, 0xFF, 0xFF});
    pad = read_scratchpad(&rom);
    EXPECT_EQ(pad[6], spills ? 0xFF : before[6]);
    // Five bytes: the fourth and fifth go into bytes 6 and 7.
    send(rom, {0x4E, 0x4B, 0x46, 0x7F, 0x11, 0x22});
    pad = read_scratchpad(&rom);
    EXPECT_EQ(pad[5], 0xFF);
    EXPECT_EQ(pad[6], spills ? 0x11 : before[6]);
    EXPECT_EQ(pad[7], spills ? 0x22 : 0x10);
    EXPECT_EQ(onewire::crc8(pad.data(), 9), 0);
    // A conversion puts byte 6 back by the family's rule (0C on B1/B2);
    // byte 7 keeps what was written.
    convert(&rom);
    pad = read_scratchpad(&rom);
    EXPECT_EQ(pad[6], f == F::kA1 || f == F::kB1v2 || f == F::kE ? 0x10 - 8 : 0x0C);
    EXPECT_EQ(pad[7], spills ? 0x22 : 0x10);
  }
}

// --- timing ---

struct TimingCase {
  F family;
  double min_ms, max_ms;  // 12 bits, polled
  double ratio;           // mean ratio of successive resolutions' times
};

const TimingCase kTimings[] = {
    {F::kA1, 584, 615, 2.0},   {F::kA1Fishy, 400, 500, 2.0}, {F::kA2, 325, 502, 2.0},     {F::kA3, 577, 626, 2.0},
    {F::kB1, 589, 728, 2.0},   {F::kB1v2, 630, 670, 2.0},    {F::kB2, 587, 697, 2.0},     {F::kC, 28, 30, 1.0},
    {F::kD1, 10, 12, 1.0},     {F::kD2, 462, 523, 1.0},      {F::kE, 20, 25, 1.0},        {F::kG, 226, 320, 2.0},
    {F::kH, 275, 283, 1.41},   {F::kDs1822, 584, 615, 2.0},  {F::kDs1825, 584, 615, 2.0},
};

TEST_F(Clones, ConversionTimesAndTheirScalingAsAHostPollsThem) {
  for (const TimingCase& c : kTimings) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    std::set<long> twelve_bit_times;
    for (std::uint64_t serial = 1; serial <= 3; ++serial) {
      const auto d = add(c.family, serial * 77);
      const Rom& rom = d->rom();
      std::array<double, 4> t{};
      for (int bits = 9; bits <= 12; ++bits) {
        write_config(rom, ((bits - 9) << 5) | 0x1F);
        t[static_cast<std::size_t>(bits - 9)] = ms(polled_conversion(rom));
      }
      EXPECT_GE(t[3], c.min_ms);
      EXPECT_LE(t[3], c.max_ms + 0.1);
      // The sketch's test: the mean ratio of successive times.
      const double ratio = (t[1] / t[0] + t[2] / t[1] + t[3] / t[2]) / 3;
      const double tolerance = c.ratio == 1.0 ? 0.15 : c.ratio < 1.5 ? 0.2 : 0.3;
      EXPECT_NEAR(ratio, c.ratio, tolerance) << t[0] << " " << t[1] << " " << t[2] << " " << t[3];
      // Repeatable per chip.
      EXPECT_EQ(ms(polled_conversion(rom)), t[3]);
      twelve_bit_times.insert(std::lround(t[3] * 10));
    }
    if (c.max_ms - c.min_ms > 5) {
      EXPECT_GT(twelve_bit_times.size(), 1u) << "chips differ";
    }
  }
  // H at 9..12 bits: 101 / 141 / 198 / 279 ms measured on one part.
  const auto h = add(F::kH, 0);
  const double h_ms[] = {101, 141, 198, 279};
  for (int bits = 9; bits <= 12; ++bits) {
    write_config(h->rom(), ((bits - 9) << 5) | 0x1F);
    EXPECT_NEAR(ms(polled_conversion(h->rom())), h_ms[bits - 9], 5.0) << bits;
  }
}

TEST_F(Clones, BusySlotsAfterConvertT) {
  const auto a1 = add(F::kA1, 1, 30.0);
  const auto a3 = add(F::kA3, 1, 30.0);
  const auto f = add(F::kF, 1, 30.0);
  // A genuine part pulls the first slot low; A3 leaves it high for up to
  // a millisecond, four times running.
  for (int i = 0; i < 4; ++i) {
    send(a1->rom(), {0x44});
    EXPECT_EQ(link.touch_bit(1), 0);
    send(a3->rom(), {0x44});
    EXPECT_EQ(link.touch_bit(1), 1);
    clock.advance(1ms);
    EXPECT_EQ(link.touch_bit(1), 0);
    clock.advance(1s);
  }
  // F is never busy, yet converts for about 27 ms: a host that trusts the
  // slot reads the old value.
  send(f->rom(), {0x44});
  EXPECT_EQ(link.touch_bit(1), 1);
  clock.advance(3ms);
  EXPECT_EQ(link.touch_bit(1), 1);
  EXPECT_EQ(read_scratchpad(&f->rom())[0], 0x50);
  send(f->rom(), {0x44});
  clock.advance(25ms);
  EXPECT_EQ(read_scratchpad(&f->rom())[0], 0x50);
  clock.advance(4ms);
  EXPECT_EQ(temp_bytes(read_scratchpad(&f->rom())), 30 * 16);
  EXPECT_GE(f->conversion_time(), rtl::Duration(26ms));
  EXPECT_LE(f->conversion_time(), rtl::Duration(28ms));
}

// --- power ---

TEST_F(Clones, ReadPowerSupplyAndFamilyCsWrongAnswer) {
  const auto power_read = [&](const Rom& rom) {
    send(rom, {0xB4});
    return link.touch_bit(1);
  };
  for (const F f : onewire::sim::thermometer_families()) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(f)));
    const auto d = add(f, 21);
    EXPECT_EQ(power_read(d->rom()), 1);
    d->set_parasite(true);
    EXPECT_EQ(power_read(d->rom()), 0);
    bus->remove(d->rom());
  }
  const auto c = add(F::kC, 22);
  c->set_reports_parasite(true);
  EXPECT_EQ(power_read(c->rom()), 0);
}

TEST_F(Clones, ParasitePowerByFamily) {
  // Genuine: fed, it converts; D1 (hidden register 06) floats and keeps its
  // reading; F (VDD at ground) resets to 85; each works once told so.
  struct Case {
    F family;
    std::uint16_t failed;  // what a failed parasite conversion leaves
  };
  for (const Case c : {Case{F::kA1, 0}, Case{F::kD1, 0x0190}, Case{F::kF, 0x0550}}) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    const auto d = add(c.family, 31, 30.0);
    const Rom& rom = d->rom();
    parasite_convert(rom, 800ms);
    EXPECT_EQ(temp_bytes(read_scratchpad(&rom)), 30 * 16) << "powered for the first";
    d->set_parasite(true);
    d->set_temperature(40.0);
    parasite_convert(rom, 800ms);
    const std::uint16_t expected = c.family == F::kA1 ? 40 * 16 : c.failed;
    // D1 keeps its last reading on its capacitor, F is back at power-up.
    EXPECT_EQ(temp_bytes(read_scratchpad(&rom)), c.family == F::kD1 ? 30 * 16 : expected);
    d->set_parasite_works(true);
    parasite_convert(rom, 800ms);
    EXPECT_EQ(temp_bytes(read_scratchpad(&rom)), 40 * 16);
    bus->remove(rom);
  }
  // D1's hidden register says which kind it is.
  const auto d1 = add(F::kD1, 32);
  send(d1->rom(), {0x8B});
  EXPECT_EQ(link.touch_byte(0xFF), 0x06);
  d1->set_parasite_works(true);
  send(d1->rom(), {0x8B});
  EXPECT_EQ(link.touch_byte(0xFF), 0x02);
}

TEST_F(Clones, ParasiteD2HoldsTheLineLowAndComesBackAtPowerUp) {
  const auto d2 = add(F::kD2, 41, 30.0);
  const auto a1 = add(F::kA1, 41, 20.0);
  d2->set_parasite(true);
  const Rom& rom = d2->rom();
  select(&rom);
  link.touch_byte_pullup(0x44);
  clock.advance(10ms);
  link.end_strong_pullup();
  // The whole bus is dead while it tries.
  EXPECT_EQ(link.reset(), onewire::kResetShort);
  EXPECT_EQ(link.touch_byte(0xFF), 0x00);
  clock.advance(530ms);
  EXPECT_EQ(link.reset(), onewire::kResetPresence);
  const Scratchpad pad = read_scratchpad(&rom);
  EXPECT_EQ(temp_bytes(pad), 0x0190) << "25 degrees, the power-up value";
  EXPECT_EQ(d2->brownouts(), 1);
  EXPECT_EQ(read_scratchpad(&a1->rom())[0], 0x50) << "the other sensor answers again";
}

TEST_F(Clones, ParasiteGHoldsTheLineWhenReadEarlyAndHFloats) {
  const auto g = add(F::kG, 51, 30.0);
  const auto h = add(F::kH, 51, 30.0);
  g->set_parasite(true);
  h->set_parasite(true);
  // Read during its conversion, G holds the line low: nine 00 bytes (whose
  // CRC is right) and a short, for about a second more.
  parasite_convert(g->rom(), 100ms);
  const Scratchpad early = read_scratchpad(&g->rom());
  EXPECT_EQ(early, Scratchpad{});
  EXPECT_EQ(onewire::crc8(early.data(), 9), 0);
  EXPECT_EQ(link.reset(), onewire::kResetShort);
  clock.advance(900ms);
  EXPECT_EQ(link.reset(), onewire::kResetShort);
  clock.advance(400ms);
  EXPECT_EQ(link.reset(), onewire::kResetPresence);
  EXPECT_EQ(temp_bytes(read_scratchpad(&g->rom())), 30 * 16) << "it did finish";
  // H leaves the line alone until done, and the result is there later.
  parasite_convert(h->rom(), 50ms);
  const Scratchpad floating = read_scratchpad(&h->rom());
  EXPECT_TRUE(std::all_of(floating.begin(), floating.end(), [](std::uint8_t b) { return b == 0xFF; }));
  clock.advance(300ms);
  EXPECT_EQ(temp_bytes(read_scratchpad(&h->rom())), 30 * 16);
  EXPECT_EQ(g->brownouts() + h->brownouts(), 0);
}

TEST_F(Clones, PowerCyclesLoseTheScratchpadUnlessACapacitorHoldsIt) {
  struct Case {
    F family;
    rtl::Duration off;
    bool kept;
  };
  for (const Case c : {Case{F::kA1, 100ms, false}, Case{F::kD1, 10s, true}, Case{F::kD1, 10min, false},
                       Case{F::kG, 50ms, true}, Case{F::kG, 1s, false}}) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)) + " " + std::to_string(ms(c.off)));
    const auto d = add(c.family, 61, 30.0);
    const Rom& rom = d->rom();
    const Scratchpad power_up = read_scratchpad(&rom);
    convert(&rom);
    d->power_cycle(clock.now(), c.off);
    clock.advance(c.off);
    EXPECT_EQ(temp_bytes(read_scratchpad(&rom)), c.kept ? 30 * 16 : temp_bytes(power_up));
    bus->remove(rom);
  }
}

// --- EEPROM ---

TEST_F(Clones, EepromCopyRecallWearAndPartsWithoutOne) {
  // A genuine part stores what COPY SCRATCHPAD found, 10 ms busy, and
  // loads it at power-up.
  const auto a1 = add(F::kA1, 71);
  send(a1->rom(), {0x4E, 0x1E, 0xF6, 0x3F});  // +30, -10, 10 bits
  send(a1->rom(), {0x48});
  EXPECT_EQ(link.touch_bit(1), 0);
  clock.advance(10ms);
  EXPECT_EQ(link.touch_bit(1), 1);
  send(a1->rom(), {0x4E, 0x00, 0x00, 0x7F});
  a1->power_cycle(clock.now(), 1s);
  Scratchpad pad = read_scratchpad(&a1->rom());
  EXPECT_EQ(pad[2], 0x1E);
  EXPECT_EQ(pad[3], 0xF6);
  EXPECT_EQ(pad[4], 0x3F);
  EXPECT_EQ(a1->eeprom_writes(), 1);
  EXPECT_EQ(a1->copy_commands(), 1);

  // Family C keeps about eight writes; after that a copy no longer holds.
  const auto c = add(F::kC, 71);
  for (int i = 1; i <= 10; ++i) {
    send(c->rom(), {0x4E, i, 0x00, 0x7F});
    send(c->rom(), {0x48});
    clock.advance(10ms);
    send(c->rom(), {0xB8});
    clock.advance(1ms);
    EXPECT_EQ(read_scratchpad(&c->rom())[2], std::min(i, 8)) << "copy " << i;
  }
  EXPECT_EQ(c->eeprom_writes(), 10);

  // D1 and F have none: nothing is written, and a recall shows it.
  for (const F f : {F::kD1, F::kF}) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(f)));
    const auto d = add(f, 72);
    const Scratchpad before = read_scratchpad(&d->rom());
    send(d->rom(), {0x4E, 0x1E, 0xF6, 0x3F});
    send(d->rom(), {0x48});
    EXPECT_EQ(link.touch_bit(1), 1) << "nothing to wait for";
    clock.advance(10ms);
    send(d->rom(), {0xB8});
    clock.advance(1ms);
    pad = read_scratchpad(&d->rom());
    EXPECT_EQ(pad[2], before[2]);
    EXPECT_EQ(pad[3], before[3]);
    EXPECT_EQ(pad[4], before[4]);
    EXPECT_EQ(d->eeprom_writes(), 0);
    EXPECT_EQ(d->copy_commands(), 1);
  }
}

TEST_F(Clones, AParasiteCopyNeedsTenMillisecondsOfStrongPullup) {
  const auto d = add(F::kA1, 81);
  d->set_parasite(true);
  const Rom& rom = d->rom();
  struct Case {
    std::optional<rtl::Duration> pullup;  // none: no pull-up at all
    bool stored;
  };
  int th = 1;
  for (const Case c : {Case{std::nullopt, false}, Case{5ms, false}, Case{10ms, true}}) {
    send(rom, {0x4E, th, 0x00, 0x7F});
    select(&rom);
    if (c.pullup) {
      link.touch_byte_pullup(0x48);
      clock.advance(*c.pullup);
      link.end_strong_pullup();
    } else {
      link.touch_byte(0x48);
      clock.advance(20ms);
    }
    send(rom, {0x4E, 0x55, 0x00, 0x7F});
    send(rom, {0xB8});
    clock.advance(1ms);
    EXPECT_EQ(read_scratchpad(&rom)[2], c.stored ? th : d->power_up_settings()[0]);
    EXPECT_EQ(d->power_up_settings()[0], c.stored ? th : 0x4B);
    ++th;
  }
  EXPECT_EQ(d->eeprom_writes(), 1);
  EXPECT_EQ(d->copy_commands(), 3);
}

// --- alarms ---

TEST_F(Clones, AlarmSearchAtTheThresholds) {
  // TH = 25, TL = 10 everywhere. The DS18B20 families compare floor(T):
  // T <= TL or T >= TH; the DS18S20 its 9-bit value: T <= TL or T > TH.
  std::vector<std::shared_ptr<Ds18x20>> b20;
  for (const F f : {F::kA1, F::kB1, F::kC, F::kD1, F::kE, F::kG, F::kH}) b20.push_back(add(f, 91));
  const auto s20 = add(F::kDs18s20, 91);
  for (const auto& d : b20) send(d->rom(), {0x4E, 25, 10, 0x7F});
  send(s20->rom(), {0x4E, 25, 10});
  struct Step {
    double celsius;
    bool b20, s20;
  };
  for (const Step s : {Step{25.0, true, false}, Step{24.9375, false, false}, Step{25.5, true, false},
                       Step{26.0, true, true}, Step{11.0, false, false}, Step{10.9375, true, false},
                       Step{10.0, true, true}, Step{-40.0, true, true}}) {
    SCOPED_TRACE(s.celsius);
    for (const auto& d : b20) d->set_temperature(s.celsius);
    s20->set_temperature(s.celsius);
    convert();
    std::set<Rom> expected;
    if (s.b20)
      for (const auto& d : b20) expected.insert(d->rom());
    if (s.s20) expected.insert(s20->rom());
    const auto found = search_all(true);
    EXPECT_EQ(std::set<Rom>(found.begin(), found.end()), expected);
  }
  // Thresholds are signed: TL = -1 catches -0.0625, which floors to -1.
  const auto cold = add(F::kA1, 92, -0.0625);
  send(cold->rom(), {0x4E, 25, 0xFF, 0x7F});
  for (const auto& d : b20) d->set_temperature(20.0);
  s20->set_temperature(20.0);
  convert();
  EXPECT_EQ(search_all(true), std::vector<Rom>{cold->rom()});
}

// --- undocumented codes and what a host sent ---

// The first byte each family answers to a code; -1: any value but FF.
constexpr int kAny = -1;
constexpr int kNone = 0xFF;
struct HiddenCase {
  std::uint8_t code;
  std::array<int, 14> answers;  // A1 A1f A2 A3 B1 B1v2 B2 C D1 D2 E F G H
};

const HiddenCase kHidden[] = {
    {0x68, {0x74, kAny, 0xFB, kAny, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone}},
    {0x93, {kAny, kAny, kAny, kNone, kAny, kAny, kAny, kNone, kNone, kNone, kNone, kNone, kNone, kNone}},
    {0x97, {kNone, kNone, kNone, kNone, 0x22, 0x22, 0x31, kNone, kNone, kNone, kNone, kNone, kNone, kNone}},
    {0x8B, {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, 0x06, 0x00, kNone, kNone, kNone, kNone}},
    {0x19, {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kAny, kNone, kNone}},
    {0x8E, {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kAny, kNone}},
    {0x90, {kNone, kNone, kNone, kNone, kAny, kAny, kAny, kNone, kNone, kNone, kNone, kNone, kNone, kNone}},
    {0x4D, {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kAny, kAny, kNone, kNone, kNone, kNone}},
    {0xBA, {kNone, kNone, kNone, kNone, kNone, kNone, kNone, kNone, kAny, kAny, kNone, kNone, kNone, kNone}},
};

TEST_F(Clones, UndocumentedCodesAreAnsweredOnlyByTheirFamilies) {
  const F order[] = {F::kA1, F::kA1Fishy, F::kA2, F::kA3, F::kB1, F::kB1v2, F::kB2,
                     F::kC,  F::kD1,      F::kD2, F::kE,  F::kF,  F::kG,    F::kH};
  std::vector<std::shared_ptr<Ds18x20>> parts;
  for (const F f : order) parts.push_back(add(f, 101));
  for (const HiddenCase& c : kHidden) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      SCOPED_TRACE(std::string(onewire::sim::family_name(order[i])) + " code " + std::to_string(c.code));
      send(parts[i]->rom(), {c.code});
      const int first = link.touch_byte(0xFF);
      if (c.answers[i] == kAny)
        EXPECT_NE(first, 0xFF);
      else
        EXPECT_EQ(first, c.answers[i]);
    }
  }
  // A1's Trim1 through 93 after 95 writes it, until 64 reloads the stored
  // value; F's 19 is three bytes that are not all FF.
  send(parts[0]->rom(), {0x93});
  const int trim1 = link.touch_byte(0xFF);
  send(parts[0]->rom(), {0x95, 0x3C});
  send(parts[0]->rom(), {0x93});
  EXPECT_EQ(link.touch_byte(0xFF), 0x3C);
  send(parts[0]->rom(), {0x64});
  send(parts[0]->rom(), {0x93});
  EXPECT_EQ(link.touch_byte(0xFF), trim1);
  send(parts[11]->rom(), {0x19});
  const auto f19 = read_bytes(3);
  EXPECT_NE(f19, (std::vector<int>{0xFF, 0xFF, 0xFF}));
  // E's custom scratchpad takes complements and gives them back.
  const Rom& e = parts[10]->rom();
  send(e, {0xDE});
  const auto custom = read_bytes(2);
  send(e, {0x2E, custom[0] ^ 0xFF, custom[1] ^ 0xFF});
  send(e, {0xDE});
  EXPECT_EQ(read_bytes(2), (std::vector<int>{custom[0] ^ 0xFF, custom[1] ^ 0xFF}));
  // D's 66 writes bytes 5-7.
  send(parts[8]->rom(), {0x66, 0xA1, 0xB2, 0xC3});
  const Scratchpad d1 = read_scratchpad(&parts[8]->rom());
  EXPECT_EQ(d1[5], 0xA1);
  EXPECT_EQ(d1[6], 0xB2);
  EXPECT_EQ(d1[7], 0xC3);
  EXPECT_EQ(onewire::crc8(d1.data(), 9), 0);
  // C and H answer no undocumented code at all.
  for (const std::size_t i : {std::size_t{7}, std::size_t{13}}) {
    for (int code = 0; code < 256; ++code) {
      if (code == 0x44 || code == 0x4E || code == 0xBE || code == 0x48 || code == 0xB8 || code == 0xB4) continue;
      send(parts[i]->rom(), {code});
      ASSERT_EQ(read_bytes(2), (std::vector<int>{0xFF, 0xFF})) << std::string(onewire::sim::family_name(order[i]))
                                                              << " code " << code;
    }
  }
}

TEST_F(Clones, EveryCodeAHostMustNeverSendIsRecorded) {
  std::vector<std::shared_ptr<Ds18x20>> parts;
  for (const F f : {F::kA1, F::kB1, F::kD1, F::kE, F::kDs18s20}) parts.push_back(add(f, 111));
  // Documented and safely read codes leave no record.
  for (const int code : {0x44, 0xBE, 0xB4, 0xB8, 0x68, 0x93, 0x97, 0x8B, 0x19, 0x8E, 0xDE, 0x4D, 0xBA, 0xBB, 0x90,
                         0x91, 0x92, 0xDD, 0xEE, 0x64}) {
    select(nullptr);
    write({code});
    clock.advance(800ms);
  }
  for (const auto& d : parts) EXPECT_TRUE(d->forbidden_commands().empty());
  const std::vector<std::uint8_t> never = {0x94, 0x96, 0xA3, 0x66, 0xAB, 0x28, 0x01, 0xFF, 0x4F};
  for (const std::uint8_t code : never) {
    select(nullptr);
    write({code});
  }
  // 48 is counted as an EEPROM write instead.
  select(nullptr);
  write({0x48});
  for (const auto& d : parts) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(d->family())));
    EXPECT_EQ(d->forbidden_commands(), never);
    EXPECT_EQ(d->copy_commands(), 1);
  }
  // Only addressed devices hear a code.
  send(parts[0]->rom(), {0x96});
  EXPECT_EQ(parts[0]->forbidden_commands().size(), never.size() + 1);
  EXPECT_EQ(parts[1]->forbidden_commands().size(), never.size());
}

// --- faults ---

TEST_F(Clones, SkippedAndFailedConversionsLeaveWhatTheFamilyShows) {
  // A conversion that does not happen leaves the power-up value: 85.0 with
  // byte 6 0C on A1 and B1, 85.0 with byte 6 10 on E, 25.0 on D1.
  struct Case {
    F family;
    std::uint16_t raw;
    int byte6;
  };
  for (const Case c : {Case{F::kA1, 0x0550, 0x0C}, Case{F::kB1, 0x0550, 0x0C}, Case{F::kE, 0x0550, 0x10},
                       Case{F::kD1, 0x0190, 0x81}}) {
    SCOPED_TRACE(std::string(onewire::sim::family_name(c.family)));
    const auto d = add(c.family, 121, 21.5);
    d->skip_conversions(1);
    send(d->rom(), {0x44});
    EXPECT_EQ(link.touch_bit(1), 1) << "nothing to wait for";
    clock.advance(800ms);
    Scratchpad pad = read_scratchpad(&d->rom());
    EXPECT_EQ(temp_bytes(pad), c.raw);
    EXPECT_EQ(pad[6], c.byte6);
    convert(&d->rom());
    EXPECT_EQ(temp_bytes(read_scratchpad(&d->rom())), 0x0158) << "the next one converts";
    EXPECT_EQ(d->conversions(), 2);
    d->skip_conversions(Ds18x20::kEvery);
    d->set_temperature(30.0);
    for (int i = 0; i < 3; ++i) convert(&d->rom());
    EXPECT_EQ(temp_bytes(read_scratchpad(&d->rom())), 0x0158) << "a stale value";
    bus->remove(d->rom());
  }
  // A failed conversion: 127.94 degrees, byte 6 0C on a genuine part.
  const auto a1 = add(F::kA1, 122, 21.5);
  a1->fail_conversions(1);
  convert(&a1->rom());
  Scratchpad pad = read_scratchpad(&a1->rom());
  EXPECT_EQ(temp_bytes(pad), 0x07FF);
  EXPECT_EQ(pad[6], 0x0C);
  convert(&a1->rom());
  EXPECT_EQ(temp_bytes(read_scratchpad(&a1->rom())), 0x0158);
}

TEST_F(Clones, CorruptedReadsFailTheirCrc) {
  const auto d = add(F::kA1, 131, 21.5);
  convert(&d->rom());
  d->corrupt_reads(2);
  for (int i = 0; i < 2; ++i) {
    const Scratchpad bad = read_scratchpad(&d->rom());
    EXPECT_NE(onewire::crc8(bad.data(), 9), 0);
    EXPECT_NE(temp_bytes(bad), 0x0158);
  }
  EXPECT_EQ(onewire::crc8(read_scratchpad(&d->rom()).data(), 9), 0);
  d->corrupt_every(3);
  int bad = 0;
  for (int i = 1; i <= 12; ++i) {
    const Scratchpad pad = read_scratchpad(&d->rom());
    const bool failed = onewire::crc8(pad.data(), 9) != 0;
    EXPECT_EQ(failed, i % 3 == 0) << i;
    bad += failed ? 1 : 0;
  }
  EXPECT_EQ(bad, 4);
  d->corrupt_every(0);
  EXPECT_EQ(onewire::crc8(read_scratchpad(&d->rom()).data(), 9), 0);
}

}  // namespace
