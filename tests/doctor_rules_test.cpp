// Which family a DS18B20 is, from observations written the way the
// published clone research describes each family: its example ROM, its
// power-up scratchpad, what it reads back after each WRITE SCRATCHPAD
// test, byte 6 after a conversion at 21.5 degrees, and its conversion
// times at 9 to 12 bits. The rules must name every family from all of
// it, and say no more than the evidence carries from less of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/ds18x20/doctor_rules.hpp"

namespace {

namespace ds = onewire::ds18x20;
using ds::CloneFamily;
using ds::Confidence;
using ds::Observation;
using ds::Scratchpad;
using ds::WriteTest;
using Rom = std::array<std::uint8_t, 8>;
using F = CloneFamily;

Rom rom_of(std::array<std::uint8_t, 7> first) {
  Rom r{};
  std::copy(first.begin(), first.end(), r.begin());
  r[7] = onewire::crc8(r.data(), 7);
  return r;
}

Scratchpad pad_of(std::array<std::uint8_t, 8> bytes) {
  Scratchpad p{};
  std::copy(bytes.begin(), bytes.end(), p.begin());
  p[8] = onewire::crc8(p.data(), 8);
  return p;
}

// One family as the research describes it.
struct Facts {
  F family;
  std::array<std::uint8_t, 7> rom;         // its example ROM without the CRC byte
  std::array<std::uint8_t, 8> power_up;    // bytes 0-7 at power-up
  std::uint8_t b6_at_21_5;                 // byte 6 after a 12-bit conversion at 21.5 degrees (0158)
  std::uint8_t cfg_00, cfg_ff, cfg_3f;     // the configuration read back after writing 00, FF, 3F
  bool spills;                             // the 3rd (4th, 5th) byte of WRITE SCRATCHPAD lands in byte 6 (6, 7)
  std::array<int, 4> ms;                   // conversion time at 9..12 bits; 0: it never reports busy
  bool busy_at_once;                       // a read slot right after CONVERT T reads 0
};

const Facts kFacts[] = {
    {F::kA1, {0x28, 0x13, 0x9B, 0xBB, 0x0B, 0x00, 0x00}, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}, 0x08,
     0x1F, 0x7F, 0x3F, false, {75, 150, 300, 600}, true},
    {F::kA1Fishy, {0x28, 0x9B, 0x9E, 0xCB, 0x03, 0x00, 0x00}, {0x50, 0x05, 0x00, 0x00, 0x1F, 0xFF, 0x0C, 0x10}, 0x08,
     0x1F, 0x7F, 0x3F, false, {56, 112, 225, 450}, true},
    {F::kA2, {0x28, 0x19, 0x00, 0x00, 0xB7, 0x5B, 0x00}, {0x50, 0x05, 0x3C, 0x21, 0x7F, 0xFF, 0x0C, 0x10}, 0x08, 0x1F,
     0x7F, 0x3F, false, {50, 100, 200, 400}, true},
    {F::kA3, {0x28, 0xCA, 0xBA, 0x61, 0x00, 0x00, 0x00}, {0x50, 0x05, 0x7F, 0x80, 0x7F, 0xFF, 0x0C, 0x10}, 0x08, 0x1F,
     0x7F, 0x3F, false, {76, 152, 303, 606}, false},
    {F::kB1, {0x28, 0xAA, 0x3C, 0x61, 0x55, 0x14, 0x01}, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}, 0x0C, 0x1F,
     0x7F, 0x3F, true, {81, 162, 325, 650}, true},
    {F::kB1v2, {0x28, 0xE4, 0xFA, 0x2F, 0x57, 0x23, 0x0B}, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}, 0x08,
     0x1F, 0x7F, 0x3F, false, {81, 162, 325, 650}, true},
    {F::kB2, {0x28, 0xFF, 0x7C, 0x5A, 0x61, 0x16, 0x04}, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}, 0x0C, 0x1F,
     0x7F, 0x3F, true, {80, 160, 320, 640}, true},
    {F::kC, {0x28, 0xFF, 0x64, 0x1D, 0xCD, 0x96, 0xF2}, {0x50, 0x05, 0x55, 0x00, 0x7F, 0xFF, 0x0C, 0x10}, 0x0C, 0x7F,
     0x7F, 0x7F, false, {29, 29, 29, 29}, true},
    {F::kD1, {0x28, 0x48, 0x1B, 0x77, 0x91, 0x17, 0x02}, {0x90, 0x01, 0x55, 0x05, 0x7F, 0x7E, 0x81, 0x66}, 0x81, 0x1F,
     0x7F, 0x3F, false, {11, 11, 11, 11}, true},
    {F::kD2, {0x28, 0x90, 0xFE, 0x79, 0x97, 0x00, 0x03}, {0x90, 0x01, 0x55, 0x05, 0x7F, 0x7A, 0x84, 0x66}, 0x84, 0x1F,
     0x7F, 0x3F, false, {494, 494, 494, 494}, true},
    {F::kE, {0x28, 0x00, 0x74, 0x28, 0x59, 0x43, 0x0F}, {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10}, 0x08, 0x1F,
     0x7F, 0x3F, false, {22, 22, 22, 22}, true},
    {F::kF, {0x28, 0x03, 0x60, 0x00, 0x00, 0x01, 0x24}, {0x50, 0x05, 0x55, 0x00, 0x7F, 0xFF, 0x0C, 0x10}, 0x0C, 0x7F,
     0xFF, 0x7F, false, {0, 0, 0, 0}, false},
    {F::kG, {0x28, 0xC7, 0x9E, 0xA3, 0x59, 0x83, 0xD9}, {0x50, 0x05, 0x55, 0xAA, 0x7F, 0xFF, 0x0C, 0x10}, 0x18, 0x1F,
     0x7F, 0x3F, false, {33, 65, 130, 260}, true},
    {F::kH, {0x28, 0x0C, 0x80, 0x53, 0x5C, 0xAA, 0x8E}, {0x50, 0x05, 0x55, 0xAA, 0x7F, 0xFF, 0x0C, 0x10}, 0x08, 0x1F,
     0x7F, 0x3F, false, {101, 141, 198, 279}, true},
};

const Facts& facts(F f) {
  for (const Facts& x : kFacts)
    if (x.family == f) return x;
  return kFacts[0];
}

std::string name(F f) { return ds::clone_family_name(f); }

// What the part holds after a WRITE SCRATCHPAD of `data` over `before`.
Scratchpad written(const Facts& f, const Scratchpad& before, const std::vector<std::uint8_t>& data) {
  std::array<std::uint8_t, 8> b{};
  std::copy(before.begin(), before.begin() + 8, b.begin());
  b[2] = data[0];
  b[3] = data[1];
  switch (data[2]) {
    case 0x00: b[4] = f.cfg_00; break;
    case 0xFF: b[4] = f.cfg_ff; break;
    case 0x3F: b[4] = f.cfg_3f; break;
    default: b[4] = (f.cfg_00 == 0x1F) ? static_cast<std::uint8_t>((data[2] & 0x60) | 0x1F) : 0x7F; break;
  }
  if (f.spills) {
    b[6] = data.size() >= 4 ? data[3] : data[2];
    if (data.size() >= 5) b[7] = data[4];
  }
  return pad_of(b);
}

// A 12-bit conversion at 21.5 degrees: 0158, byte 6 as the family leaves
// it, the rest as it was.
Scratchpad converted(const Facts& f, const Scratchpad& before) {
  std::array<std::uint8_t, 8> b{};
  std::copy(before.begin(), before.begin() + 8, b.begin());
  b[0] = 0x58;
  b[1] = 0x01;
  b[6] = f.b6_at_21_5;
  return pad_of(b);
}

// Tiers 0 and 1 and the write tests.
Observation written_only(const Facts& f, ds::PowerSupply power) {
  Observation o;
  o.rom = rom_of(f.rom);
  o.power = power;
  o.found = pad_of(f.power_up);
  const std::uint8_t th = f.power_up[2], tl = f.power_up[3];
  const std::vector<std::vector<std::uint8_t>> writes = {
      {th, tl, 0x7F, 0x11, 0x22},
      {th, tl, 0x00},
      {th, tl, 0xFF},
      {static_cast<std::uint8_t>(~th), static_cast<std::uint8_t>(~tl), 0x3F},
      {th, tl, 0x7F}};
  Scratchpad now = *o.found;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    now = written(f, now, writes[i]);
    o.after_write[i] = now;
  }
  return o;
}

// Everything of tier 2 on external power.
Observation full(const Facts& f) {
  Observation o = written_only(f, ds::PowerSupply::kExternal);
  Scratchpad now = *o.after(WriteTest::kBack);
  for (int i = 0; i < 4; ++i) {
    const auto cfg = static_cast<std::uint8_t>(0x1F | i << 5);
    now = written(f, now, {f.power_up[2], f.power_up[3], cfg});
    o.timing_config_read[static_cast<std::size_t>(i)] = now[4];
    ds::TimedConversion t;
    t.busy_at_once = f.busy_at_once;
    t.busy_at_probe = f.ms[static_cast<std::size_t>(i)] != 0;
    if (f.ms[static_cast<std::size_t>(i)] != 0) t.time = ds::Micros(1000 * f.ms[static_cast<std::size_t>(i)]);
    o.timed[static_cast<std::size_t>(i)] = t;
    now = converted(f, now);
  }
  o.converted.push_back(now);
  return o;
}

bool has_text(const std::vector<std::string>& lines, const std::string& part) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

std::string all(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += "\n  " + l;
  return text;
}

TEST(DoctorRules, EveryFamilyIsNamedFromTheSafeTestsOnExternalPower) {
  for (const Facts& f : kFacts) {
    const ds::Verdict v = ds::classify(full(f));
    EXPECT_EQ(v.family, f.family) << name(f.family) << " taken for " << name(v.family) << all(v.evidence);
    EXPECT_TRUE(v.converted) << name(f.family);
    ASSERT_FALSE(v.candidates.empty()) << name(f.family);
    if (f.family == F::kB2) {
      // B2 behaves as a UMW B1 in every safe test, whose ROM bytes look
      // random: its ROM's FF makes it the likelier, no more.
      EXPECT_EQ(v.confidence, Confidence::kLow) << all(v.evidence);
      EXPECT_EQ(v.candidates, (std::vector<F>{F::kB2, F::kB1}));
    } else {
      EXPECT_EQ(v.confidence, Confidence::kHigh) << name(f.family) << all(v.evidence);
      EXPECT_EQ(v.candidates.size(), 1u) << name(f.family) << all(v.evidence);
    }
    // The genuine part departs from nothing; every clone from something.
    if (f.family == F::kA1)
      EXPECT_TRUE(v.faults.empty()) << all(v.faults);
    else
      EXPECT_FALSE(v.faults.empty()) << name(f.family);
  }
}

TEST(DoctorRules, TheFaultsNameWhatEachCloneDoesDifferently) {
  struct Case {
    F family;
    const char* fault;
  };
  const Case cases[] = {
      {F::kB1, "landed in bytes 6 and 7"},
      {F::kB1, "byte 6 after a 12-bit conversion is 0C"},
      {F::kB1, "ROM bytes 5 and 6 are 14 01"},
      {F::kC, "the configuration 00 read back as 7F, not 1F"},
      {F::kF, "the configuration FF read back as FF, not 7F"},
      {F::kF, "cannot be polled"},
      {F::kA3, "not busy right after CONVERT T"},
      {F::kA3, "ROM bytes 4 to 6 are 00"},
      {F::kD1, "byte 5 is 7E, not FF"},
      {F::kD1, "byte 7 is 66, not 10"},
      {F::kH, "does not halve per bit (x1.40)"},
      {F::kE, "does not halve per bit (x1.00)"},
      {F::kE, "took 22.0 ms, outside 550-660 ms"},
      {F::kG, "byte 6 after a 12-bit conversion is 18"},
  };
  for (const Case& c : cases) {
    const ds::Verdict v = ds::classify(full(facts(c.family)));
    EXPECT_TRUE(has_text(v.faults, c.fault)) << name(c.family) << " lacks \"" << c.fault << "\":" << all(v.faults);
  }
  // The scaling: x2 for the genuine part, 1.4 for H, 1 for the D families.
  EXPECT_NEAR(*ds::classify(full(facts(F::kA1))).ratio, 2.0, 0.01);
  EXPECT_NEAR(*ds::classify(full(facts(F::kH))).ratio, 1.41, 0.02);
  EXPECT_NEAR(*ds::classify(full(facts(F::kD2))).ratio, 1.0, 0.01);
  EXPECT_FALSE(ds::classify(full(facts(F::kC))).ratio) << "a fixed resolution has no scaling";
  EXPECT_EQ(ds::classify(full(facts(F::kA1))).time12, ds::Micros(600000));
}

TEST(DoctorRules, OnParasitePowerTheWritesAndByteSixStillTellMostFamilies) {
  // No timing tests: what the writes and one fed conversion show.
  for (F family : {F::kA1, F::kB1, F::kB2, F::kC, F::kD1, F::kE, F::kF, F::kG}) {
    const Facts& f = facts(family);
    Observation o = written_only(f, ds::PowerSupply::kParasite);
    o.converted.push_back(converted(f, *o.after(WriteTest::kBack)));
    const ds::Verdict v = ds::classify(o);
    EXPECT_EQ(v.family, family) << name(family) << " taken for " << name(v.family) << all(v.evidence);
    EXPECT_FALSE(v.time12) << name(family);
  }
  // H and B1v2 behave alike but in time: their factory settings tell
  // them, no more surely than that.
  const Facts& h = facts(F::kH);
  Observation o = written_only(h, ds::PowerSupply::kParasite);
  o.converted.push_back(converted(h, *o.after(WriteTest::kBack)));
  const ds::Verdict v = ds::classify(o);
  EXPECT_EQ(v.family, F::kH);
  EXPECT_EQ(v.confidence, Confidence::kLow) << all(v.evidence);
  EXPECT_NE(std::find(v.candidates.begin(), v.candidates.end(), F::kB1v2), v.candidates.end());
  // A3's ROM is also an old genuine part's; without its late busy signal
  // it stays a guess, as the research's own count of it is.
  const Facts& a3 = facts(F::kA3);
  Observation p = written_only(a3, ds::PowerSupply::kParasite);
  p.converted.push_back(converted(a3, *p.after(WriteTest::kBack)));
  const ds::Verdict w = ds::classify(p);
  EXPECT_EQ(w.family, F::kA3);
  EXPECT_EQ(w.confidence, Confidence::kLow);
  EXPECT_NE(std::find(w.candidates.begin(), w.candidates.end(), F::kA1), w.candidates.end());
}

TEST(DoctorRules, ASensorThatDoesNotConvertIsNamedByItsWritesAndSaidSo) {
  // B1 with its conversions skipped: never busy, its power-on value kept.
  const Facts& f = facts(F::kB1);
  Observation o = written_only(f, ds::PowerSupply::kExternal);
  ds::TimedConversion quiet;
  o.timed[0] = quiet;
  o.converted.push_back(*o.after(WriteTest::kBack));
  const ds::Verdict v = ds::classify(o);
  EXPECT_EQ(v.family, F::kB1) << all(v.evidence);
  EXPECT_EQ(v.confidence, Confidence::kMedium) << "its own behaviour in a conversion was not seen";
  EXPECT_FALSE(v.converted);
  EXPECT_TRUE(v.conversion_asked);
  EXPECT_TRUE(has_text(v.faults, "it did not convert")) << all(v.faults);
  EXPECT_TRUE(has_text(v.untested, "it did not convert")) << all(v.untested);
  // Its silence is no sign of family F, which converts without a word.
  EXPECT_EQ(std::find(v.candidates.begin(), v.candidates.end(), F::kF), v.candidates.end());

  // The D families' power-on value is 25.0: kept, it is no conversion.
  const Facts& d = facts(F::kD1);
  Observation q = written_only(d, ds::PowerSupply::kExternal);
  q.timed[0] = quiet;
  q.converted.push_back(*q.after(WriteTest::kBack));
  EXPECT_FALSE(ds::classify(q).converted);
  EXPECT_EQ(ds::classify(q).family, F::kD1);
}

TEST(DoctorRules, TheUndocumentedReadsConfirmAFamilyOrDisagree) {
  struct Answers {
    F family;
    std::uint8_t code;
    std::vector<std::uint8_t> bytes;
  };
  // Each family's own marker; every other code unanswered.
  const Answers markers[] = {
      {F::kA1, 0x68, {0x73}}, {F::kA2, 0x68, {0xFB}},           {F::kA3, 0x68, {0x6B}},
      {F::kB1, 0x97, {0x22}}, {F::kB2, 0x97, {0x31}},           {F::kD1, 0x8B, {0x06, 0x2F, 0x11}},
      {F::kD2, 0x8B, {0x00, 0x2F}}, {F::kE, 0xDE, {0x00, 0x00}}, {F::kF, 0x19, {0x00, 0x19, 0x80}},
      {F::kG, 0x8E, {0x21}},
  };
  for (const Answers& m : markers) {
    Observation o = full(facts(m.family));
    ds::UndocumentedAnswers a;
    a.set(m.code, m.bytes);
    if (m.family == F::kA1 || m.family == F::kB1 || m.family == F::kB2) a.set(0x93, std::vector<std::uint8_t>{0x5E});
    o.undocumented = a;
    const ds::Verdict v = ds::classify(o);
    EXPECT_EQ(v.family, m.family) << name(m.family) << all(v.evidence);
    EXPECT_EQ(v.confidence, Confidence::kHigh) << name(m.family);
  }
  // C and H answer none of them.
  for (F family : {F::kC, F::kH}) {
    Observation o = full(facts(family));
    o.undocumented = ds::UndocumentedAnswers{};
    EXPECT_EQ(ds::classify(o).family, family) << name(family);
  }
  // A genuine-looking part with a B marker and a G marker at once is no
  // family known.
  Observation o = full(facts(F::kA1));
  ds::UndocumentedAnswers a;
  a.set(0x97, std::vector<std::uint8_t>{0x22});
  a.set(0x8E, std::vector<std::uint8_t>{0x21});
  o.undocumented = a;
  const ds::Verdict v = ds::classify(o);
  EXPECT_EQ(v.family, F::kUnknown);
  EXPECT_EQ(v.confidence, Confidence::kNone);
  EXPECT_TRUE(has_text(v.evidence, "no known family")) << all(v.evidence);
}

TEST(DoctorRules, OneScratchpadReadNamesAFamilyOnlyAsFarAsItCan) {
  const auto quick = [](F family) {
    const Facts& f = facts(family);
    return ds::quick_family(rom_of(f.rom), pad_of(f.power_up));
  };
  // The ROM and the power-up scratchpad leave one family.
  for (F family : {F::kA1, F::kD1, F::kD2}) {
    const ds::Verdict v = quick(family);
    EXPECT_EQ(v.family, family) << name(family) << all(v.evidence);
    EXPECT_EQ(v.confidence, Confidence::kMedium) << name(family);
  }
  // The ROM pattern picks one of several (E's power-up 85.0 with byte 6
  // at 10 is a converted 85.0 of a genuine-ruled part as well).
  for (F family : {F::kB1, F::kC, F::kA3, F::kA1Fishy, F::kE}) {
    const ds::Verdict v = quick(family);
    EXPECT_EQ(v.family, family) << name(family) << all(v.evidence);
    EXPECT_EQ(v.confidence, Confidence::kLow) << name(family);
    EXPECT_GT(v.candidates.size(), 1u) << name(family);
  }
  // B1v2's random ROM and power-up scratchpad are a UMW B1's as well.
  const ds::Verdict b1v2 = quick(F::kB1v2);
  EXPECT_EQ(b1v2.family, F::kUnknown);
  EXPECT_NE(std::find(b1v2.candidates.begin(), b1v2.candidates.end(), F::kB1v2), b1v2.candidates.end());
  EXPECT_NE(std::find(b1v2.candidates.begin(), b1v2.candidates.end(), F::kB1), b1v2.candidates.end());

  // What a host's own writes and conversions leave tells more: B1 after
  // a WRITE SCRATCHPAD of FF FF FF, and after a conversion at 21.5.
  const Facts& b1 = facts(F::kB1);
  const Scratchpad after_ff = pad_of({0x50, 0x05, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x10});
  const ds::Verdict spilled = ds::quick_family(rom_of(b1.rom), after_ff);
  EXPECT_EQ(spilled.family, F::kB1) << all(spilled.evidence);
  EXPECT_EQ(spilled.confidence, Confidence::kMedium);
  EXPECT_TRUE(has_text(spilled.faults, "byte 6 is FF")) << all(spilled.faults);
  const ds::Verdict conv = ds::quick_family(rom_of(b1.rom), converted(b1, pad_of(b1.power_up)));
  EXPECT_EQ(conv.family, F::kB1) << all(conv.evidence);
  // A genuine part after a conversion is still one.
  const Facts& a1 = facts(F::kA1);
  EXPECT_EQ(ds::quick_family(rom_of(a1.rom), converted(a1, pad_of(a1.power_up))).family, F::kA1);

  // A scratchpad that fails its CRC says nothing.
  Scratchpad bad = pad_of(a1.power_up);
  bad[8] ^= 0x01;
  const ds::Verdict v = ds::quick_family(rom_of(a1.rom), bad);
  EXPECT_TRUE(has_text(v.untested, "the scratchpad")) << all(v.untested);
  // Not a DS18B20: no family.
  const ds::Verdict s20 = ds::quick_family(rom_of({0x10, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06}), pad_of(a1.power_up));
  EXPECT_EQ(s20.family, F::kUnknown);
  EXPECT_TRUE(s20.candidates.empty());
}

TEST(DoctorRules, TheWriteTestsAreTheResearchsBytesAndTheSummaryIsPlainWords) {
  const Scratchpad found = pad_of({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10});
  const ds::WriteBytes five = ds::write_test_bytes(WriteTest::kFiveBytes, found);
  EXPECT_EQ(five.length, 5u);
  EXPECT_EQ(five.data, (std::array<std::uint8_t, 5>{0x4B, 0x46, 0x7F, 0x11, 0x22}));
  const ds::WriteBytes inverted = ds::write_test_bytes(WriteTest::kInverted, found);
  EXPECT_EQ(inverted.length, 3u);
  EXPECT_EQ(inverted.data[0], 0xB4);
  EXPECT_EQ(inverted.data[1], 0xB9);
  EXPECT_EQ(inverted.data[2], 0x3F);
  for (int bits = 9; bits <= 12; ++bits) EXPECT_EQ(ds::resolution_of(ds::timing_config(bits)), bits);
  // Reads only, and none of the codes that write.
  for (const ds::UndocumentedRead& u : ds::undocumented_reads())
    for (std::uint8_t never : {0x94, 0x96, 0xA3, 0x66, 0xAB, 0x28, 0x95, 0x63, 0x64, 0x48, 0x2E})
      EXPECT_NE(u.code, never);

  ds::ReadingCheck ok;
  ok.status = ds::ReadStatus::kRead;
  ok.reads = 20;
  EXPECT_EQ(ds::summary_line(F::kB1, ok), "clone B1: reads right; parasite power works; EEPROM untested");
  ds::ReadingCheck noisy = ok;
  noisy.crc_errors = 3;
  EXPECT_EQ(ds::summary_line(F::kA1, noisy),
            "genuine A1: reads right; CRC errors in 3 of 20 reads; parasite power works; EEPROM good for at least "
            "50 000 writes");
  ds::ReadingCheck stuck = ok;
  stuck.status = ds::ReadStatus::kUnconfirmed;
  EXPECT_NE(ds::summary_line(F::kF, stuck).find("no EEPROM"), std::string::npos);
  EXPECT_NE(ds::summary_line(F::kF, stuck).find("unconfirmed"), std::string::npos);
  // Every family's meaning says what its owner must know.
  EXPECT_NE(ds::family_meaning(F::kC).find("8 writes"), std::string::npos);
  EXPECT_NE(ds::family_meaning(F::kD2).find("pulls the line low"), std::string::npos);
  EXPECT_NE(ds::family_meaning(F::kB1).find("confirms an 85.0"), std::string::npos);
  EXPECT_NE(ds::family_meaning(F::kD1).find("confirms a 25.0"), std::string::npos);
}

}  // namespace
