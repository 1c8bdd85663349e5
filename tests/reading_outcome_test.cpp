// What a measurement makes of each sensor, on both of the worker's paths
// (block exchange and byte-wise calls): a reading with its exact value and
// raw scratchpad, or no reading and why: the power-on value, a failed
// conversion, a conversion that never started, a scratchpad that keeps
// failing its CRC.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>

#include "QvDs18x20/QvDs18x20.hpp"
#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "support/pump.hpp"
#include "support/sim_fixture.hpp"

namespace {

using onewire::Op;
using Pad = std::array<std::uint8_t, 9>;

// Nine scratchpad bytes from eight, with the CRC the part would send.
Pad with_crc(std::array<std::uint8_t, 8> bytes) {
  Pad pad{};
  std::copy(bytes.begin(), bytes.end(), pad.begin());
  pad[8] = onewire::crc8(pad.data(), 8);
  return pad;
}

class ReadingOutcome : public testing_support::SimFixture, public ::testing::WithParamInterface<bool> {
 protected:
  ReadingOutcome() : c(nullptr) {
    driver->offer_block_exchange(blocks());
    c.OnGetTemp([this](TObject*) { ++temps_events; });
  }
  ~ReadingOutcome() override { c.Close(); }
  bool blocks() const { return GetParam(); }

  void open() {
    c.TMEXOpenSession();
    ASSERT_TRUE(c.SesionActive()) << c.TMEXerror.str();
  }
  void measure() {
    c.TMEXGetTemp();
    ASSERT_TRUE(testing_support::pump_until([&] { return !c.Working(); }));
    ProcessMessages();
  }
  const TSensor& sensor_of(const std::shared_ptr<onewire::sim::Ds18x20>& d) {
    for (int i = 0; i < c.SensorListCount(); ++i)
      if (c.sensor(i)->rom == d->rom()) return *c.sensor(i);
    ADD_FAILURE() << "not listed";
    static const TSensor none;
    return none;
  }

  TQvDs18x20 c;
  int temps_events = 0;
};

TEST_P(ReadingOutcome, AReadingCarriesItsExactValueAndItsScratchpad) {
  auto b20 = add_thermometer(0x28, 1, 21.0625);
  auto s20 = add_thermometer(0x10, 2, 25.5);
  auto coarse = add_thermometer(0x28, 3, -25.3);
  coarse->set_resolution(10);
  open();
  measure();
  const TSensor& a = sensor_of(b20);
  EXPECT_EQ(a.status, rsRead);
  EXPECT_EQ(a.temp, "21.1") << "the text keeps the component's one digit";
  EXPECT_EQ(a.celsius, 21.0625);
  EXPECT_EQ(a.scratchpad[0] | a.scratchpad[1] << 8, 0x0151);
  EXPECT_EQ(onewire::crc8(a.scratchpad.data(), 9), 0);
  EXPECT_EQ(sensor_of(s20).celsius, 25.5);
  EXPECT_EQ(sensor_of(s20).temp, "25.5");
  // A 10-bit conversion's two undefined bits count towards minus infinity
  // in the exact value, as the part means them.
  EXPECT_EQ(sensor_of(coarse).celsius, -25.5);
  EXPECT_EQ(temps_events, 1);
}

TEST_P(ReadingOutcome, ThePowerOnValueAndAFailedConversionAreNoReadings) {
  auto fresh = add_thermometer(0x28, 1, 20.0);
  auto power_on = add_thermometer(0x28, 2, 20.0);
  auto failed = add_thermometer(0x28, 3, 20.0);
  auto hot = add_thermometer(0x28, 4, 85.0);
  auto s20 = add_thermometer(0x10, 5, 20.0);
  power_on->set_scratchpad_override(with_crc({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}));
  failed->set_scratchpad_override(with_crc({0xFF, 0x07, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}));
  s20->set_scratchpad_override(with_crc({0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10}));
  open();
  measure();
  EXPECT_EQ(sensor_of(fresh).status, rsRead);
  EXPECT_EQ(sensor_of(power_on).status, rsPowerOnValue);
  EXPECT_EQ(sensor_of(power_on).temp, "") << "no text for what is no reading";
  EXPECT_TRUE(std::isnan(sensor_of(power_on).celsius));
  EXPECT_EQ(sensor_of(power_on).scratchpad[6], 0x0C) << "the bytes are kept for whoever wants to look";
  EXPECT_EQ(sensor_of(failed).status, rsConversionFailed);
  // A real 85 degrees: byte 6 says the part converted.
  EXPECT_EQ(sensor_of(hot).status, rsRead);
  EXPECT_EQ(sensor_of(hot).temp, "85.0");
  EXPECT_EQ(sensor_of(hot).scratchpad[6], 0x10);
  // A DS18S20 cannot tell its power-on value from a converted 85.0: no
  // reading, and it says why.
  EXPECT_EQ(sensor_of(s20).status, rsUnconfirmed);
  EXPECT_EQ(sensor_of(s20).temp, "");
  EXPECT_EQ(temps_events, 1);
  EXPECT_EQ(c.TMEXerror.str(), "");

  // A bus where every thermometer holds its power-on value read nothing.
  bus->remove(hot->rom());
  bus->remove(s20->rom());
  fresh->set_scratchpad_override(with_crc({0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}));
  measure();
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #");
  EXPECT_EQ(c.LastResult(), kErrNoSensorRead);
  EXPECT_EQ(sensor_of(fresh).status, rsPowerOnValue);
  EXPECT_EQ(sensor_of(fresh).temp, "20.0") << "a sensor not read keeps its last text";
}

TEST_P(ReadingOutcome, AConversionThatDidNotStartLeavesOldValuesUnread) {
  auto d = add_thermometer(0x28, 1, 20.0);
  open();
  measure();
  ASSERT_EQ(sensor_of(d).temp, "20.0");
  d->set_temperature(30.0);
  // The measurement's conversion: its SKIP ROM echo comes back as 0 (the
  // component's own report), so the devices kept their old values.
  driver->fail(Op::kTouchByte, 1, 0);
  measure();
  // Its report (1002) also ends the session on the main thread while the
  // worker waits; whichever the worker meets first, nothing is read.
  EXPECT_FALSE(IsReading(sensor_of(d).status)) << ReadStatusName(sensor_of(d).status);
  EXPECT_EQ(sensor_of(d).temp, "20.0");
  EXPECT_EQ(c.TMEXerror.str(), "POMIAR T error: #") << "nothing was read, after the conversion's own report";

  // A reset that finds nobody: our drivers say so, and the conversion did
  // not start either. Other drivers' reset answers are not relied on.
  c.TMEXOpenSession();
  measure();
  ASSERT_EQ(sensor_of(d).temp, "30.0");
  d->set_temperature(40.0);
  driver->fail(Op::kTouchReset, 1, onewire::kResetNoPresence);
  measure();
  if (blocks()) {
    EXPECT_EQ(sensor_of(d).status, rsNoConversion) << ReadStatusName(sensor_of(d).status);
    EXPECT_EQ(sensor_of(d).temp, "30.0");
  } else {
    // The byte-wise path serves drivers whose answers to a reset are not
    // relied on: it cannot tell, and takes what the scratchpad holds.
    EXPECT_EQ(sensor_of(d).status, rsRead);
    EXPECT_EQ(sensor_of(d).temp, "30.0");
  }
}

TEST_P(ReadingOutcome, ASpoiltScratchpadIsReadAgainWhereTheDriverOffersBlocks) {
  auto once = add_thermometer(0x10, 1, 21.0);
  auto always = add_thermometer(0x10, 2, 22.0);
  Pad bad = with_crc({0x2A, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10});
  bad[8] ^= 0x01;
  always->set_scratchpad_override(bad);
  open();
  measure();
  // Measure again: now `once` has its first read spoilt by a bit error.
  // Bytes read back: SKIP ROM and CONVERT T, then the first sensor's READ
  // SCRATCHPAD and its byte 0 (a DS18S20 gets no configuration write).
  const bool once_first = c.sensor(0)->rom == once->rom();
  const std::uint64_t bytes_before = driver->calls(Op::kTouchByte);
  const std::uint64_t blocks_before = driver->calls(Op::kBlockExchange);
  once->set_temperature(23.5);
  // Behind `always` come its reads: three with blocks, one byte-wise.
  driver->corrupt_byte(once_first ? 2 + 1 + 1 : 2 + (blocks() ? 30 : 10) + 1 + 1, 0x02);
  measure();
  EXPECT_EQ(sensor_of(always).status, rsCrcError);
  if (blocks()) {
    EXPECT_EQ(sensor_of(once).status, rsRead);
    EXPECT_EQ(sensor_of(once).celsius, 23.5);
    // Three reads of the one that keeps failing, two of the one that
    // failed once; no new conversion for either.
    EXPECT_EQ(driver->calls(Op::kBlockExchange) - blocks_before, 5u);
    EXPECT_EQ(once->conversions(), 3) << "the enumeration's and the two measurements'";
  } else {
    // The byte-wise calls are the ones every driver has always seen: one
    // read of nine bytes each, no retry.
    EXPECT_EQ(sensor_of(once).status, rsCrcError);
    EXPECT_EQ(sensor_of(once).temp, "21.0");
    EXPECT_EQ(driver->calls(Op::kTouchByte) - bytes_before, 2u + 2u * 10u);
  }
}

TEST_P(ReadingOutcome, ADeviceGoneFromTheBusIsNotSelected) {
  auto stays = add_thermometer(0x28, 1, 20.0);
  auto leaves = add_thermometer(0x28, 2, 21.0);
  open();
  measure();
  bus->remove(leaves->rom());
  measure();
  EXPECT_EQ(sensor_of(stays).status, rsRead);
  EXPECT_EQ(sensor_of(leaves).status, rsNotSelected);
  EXPECT_EQ(sensor_of(leaves).temp, "21.0");
  EXPECT_STRNE(ReadStatusName(rsNotSelected), ReadStatusName(rsCrcError));
  EXPECT_FALSE(DescribeReadStatus(rsPowerOnValue).empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, ReadingOutcome, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "BlockExchange" : "Bytewise");
});

}  // namespace
