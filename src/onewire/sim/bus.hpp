// The simulated 1-Wire bus: a wired-AND line shared by device models that
// are bit-level state machines driven by reset pulses and time slots.
//
// The bus is thread-safe: every master primitive and every change of the
// device set runs under the bus's own lock. The same bus serves the
// in-process simulated driver (SimLink) and the virtual serial adapters.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "onewire/link.hpp"
#include "rtl/clock.hpp"

namespace onewire::sim {

// One device on the bus, seen from the line. Each time slot has two
// phases: every device says what it drives (drive: true = it leaves the
// line high), the bus computes the wired-AND with the master's level, then
// every device samples the resulting level (sample). The bus's clock time
// is passed so that devices can model conversion times.
class QVDS_API Device {
 public:
  virtual ~Device() = default;
  virtual const Rom& rom() const = 0;
  // A reset pulse ended: every device drops what it was doing. True when
  // the device answers with a presence pulse.
  virtual bool on_reset(rtl::TimePoint now) = 0;
  // The level the device leaves on the line during this slot.
  virtual bool drive(rtl::TimePoint now) = 0;
  // The level of the line at the sampling point of this slot.
  virtual void sample(bool line, rtl::TimePoint now) = 0;
  // Whether the device takes part in ALARM SEARCH (0xEC).
  virtual bool alarm(rtl::TimePoint now) = 0;
  // The master put the bus at the strong pull-up (true) or released it
  // (false). Parasite-powered devices draw their conversion current from
  // it; a slot or a reset ends a strong pull-up first, so every device sees
  // the release before the slot.
  virtual void on_strong_pullup(bool on, rtl::TimePoint now) { (void)on, (void)now; }
  // True while the device neither drives nor samples the line until the
  // next reset (it dropped out of a search or was not matched). The bus
  // then skips it in every slot, which keeps a long bus cheap to model.
  virtual bool asleep() { return false; }
  // True while the device pulls the line low whatever the master does (a
  // clone failing on parasite power): every slot reads 0 and a reset
  // finds a short. Asked at every reset; a device that returns true must
  // also stay awake (asleep() false) until it lets go.
  virtual bool holds_line_low(rtl::TimePoint now) {
    (void)now;
    return false;
  }
};

// Modelled duration of bus primitives at a speed (DS2480B timing:
// standard reset 1096 us and slot 60 us; overdrive 138 us and 10 us).
struct QVDS_API BusTiming {
  static rtl::Duration reset(Speed s);
  static rtl::Duration slot(Speed s);
};

class QVDS_API SimBus {
 public:
  SimBus();
  ~SimBus();

  // --- device set (safe from any thread, also while a master works) ---
  void add(std::shared_ptr<Device> device);
  // Removes the device with this ROM; false when there is none.
  bool remove(const Rom& rom);
  std::vector<std::shared_ptr<Device>> devices() const;
  // The device with this ROM, or null.
  std::shared_ptr<Device> find(const Rom& rom) const;
  // A shorted bus: resets report kResetShort and every slot reads 0.
  void set_short(bool shorted);

  // --- master primitives ---
  int reset();               // a ResetResult
  int touch_bit(int bit);    // the sampled level, 0 or 1
  int touch_byte(int byte);  // eight slots, LSB first; the byte read back
  // Holds the line at the strong pull-up from now until strong_pullup(false)
  // or the next reset or slot. `at`, when given, is the device-clock time
  // the change took effect (an adapter that ends a timed pull-up only
  // notices later).
  void strong_pullup(bool on, std::optional<rtl::TimePoint> at = std::nullopt);
  // A pull-up of a set length from now: on now, off when it has passed.
  void strong_pullup_for(rtl::Duration length);
  bool strong_pullup_on() const;
  void set_speed(Speed s);
  Speed speed() const;

  // --- time ---
  // Modelled 1-Wire time of all traffic so far (sum of resets and slots at
  // the speed each ran at).
  rtl::Duration bus_time() const;
  void reset_bus_time();
  // When set, every primitive also waits its modelled duration on `clock`,
  // against a running deadline so that short sleeps do not add up their
  // overshoot. Null (the default) only accounts the time.
  void set_pacing(rtl::Clock* clock);
  // The clock devices read for conversion times: rtl::GetClock() unless set.
  void set_device_clock(rtl::Clock* clock);

  // Counters, for tests and benchmarks.
  std::uint64_t resets() const;
  std::uint64_t slots() const;
  std::uint64_t strong_pullups() const;  // times the strong pull-up came on

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Makes a valid ROM code: family, 48-bit serial (least significant byte
// first on the bus), CRC computed.
QVDS_API Rom make_rom(std::uint8_t family, std::uint64_t serial);

// A device that only has a ROM: DS2401 (family 0x01) and every family we do
// not model further. Answers SEARCH ROM, ALARM SEARCH (never alarming),
// MATCH ROM, SKIP ROM, READ ROM, and nothing else.
QVDS_API std::shared_ptr<Device> make_rom_device(const Rom& rom);

}  // namespace onewire::sim
