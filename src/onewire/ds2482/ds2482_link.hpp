// The DS2482-100 and DS2482-800 I2C-to-1-Wire bridges as a Link, over an
// I2cBus: detection (Device Reset, then Channel Select tells a -800 from a
// -100), the configuration (active pull-up, speed, strong pull-up), resets
// with presence and short read from the status register, bits, bytes,
// ROM search passes made of the chip's triplets, and on a -800 the
// channel of the port.
//
// Every 1-Wire command is followed by status reads until the chip's busy
// flag falls: the first after the time the command takes on the line, the
// rest until a deadline, all through rtl::Clock. A chip that stays busy
// past it, or that refuses a command, is reset and set up again, and the
// call fails with kErrAdapterNoResponse, as does any byte the chip does not
// acknowledge; a
// bus that is gone fails it with kErrPortIo and closes the link.
//
// The eight channels of one DS2482-800 share the chip: its channel
// switch, its configuration and every I2C transfer to it. Links on
// channels of the same chip (the same bus device and address) share one
// lock for it, and each operation selects its link's channel and
// configuration first when another link left others; so links on several
// channels may work from several threads at once, each operation
// running whole. A strong pull-up keeps the chip on its channel until it
// ends (end_strong_pullup or the link's next operation, from whatever
// thread): no lock is held meanwhile, but operations of the other
// channels wait for that end, for at most pullup_wait, and then fail with
// kErrPortBusy rather than switch the chip away from a conversion that
// draws its power through it.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/ds2482/i2c_bus.hpp"
#include "onewire/ds2482/chip_address.hpp"
#include "onewire/link.hpp"
#include "rtl/clock.hpp"

namespace onewire::ds2482 {

// What the links on channels of one chip share.
struct SharedChip;

struct Ds2482Options {
  // How long after a command its first status read comes, at standard
  // speed: a little less than the chip takes (OWFS waits 1125 us for a
  // reset, 530 us for a byte; the emulator's model takes 1148 us and eight
  // 70 us slots), so that with the read's own I2C time one read finds it
  // done at 100 and at 400 kHz. Overdrive commands wait a tenth of these.
  rtl::Duration reset_wait = std::chrono::microseconds(1125);
  rtl::Duration slot_wait = std::chrono::microseconds(68);
  // Between status reads that found the chip busy.
  rtl::Duration poll_interval = std::chrono::microseconds(10);
  // How long past the first status read a command may keep the chip busy.
  rtl::Duration busy_deadline = std::chrono::milliseconds(20);
  // How long an operation waits for another channel's strong pull-up to
  // end before it fails with kErrPortBusy: a little more than the longest
  // conversion (750 ms) and the call that ends it. Real time, not `clock`'s:
  // a test's clock that skips time may run ahead of the thread holding the
  // pull-up, which must have its time to end it.
  std::chrono::milliseconds pullup_wait = std::chrono::milliseconds(2000);
  // The active pull-up: right for every bus but a single device on a
  // short line, and what the kernel's and OWFS's drivers choose.
  bool active_pullup = true;
  // Where the waits go (null: rtl::GetClock() at each wait).
  rtl::Clock* clock = nullptr;
};

class Ds2482Link final : public Link {
 public:
  Ds2482Link(std::unique_ptr<I2cBus> bus, ChipAddress where, Ds2482Options options = {});
  ~Ds2482Link() override;

  // Opens the bus, finds the chip at the address (kErrAdapterNoResponse
  // when none answers as a DS2482 does), selects the channel
  // (kErrPortUnavailable for a channel the chip does not have) and writes
  // the configuration.
  int open() override;
  void close() override;
  bool is_open() const override;

  int reset() override;
  int touch_bit(int bit) override;
  int touch_byte(int byte) override;
  // The chip's triplet command, one I2C command and one status read per
  // ROM bit.
  int search(SearchPass& pass) override;
  // The MATCH ROM bytes without reading them back, which a selection never
  // needs: half the transfers of the bytes' default.
  int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) override;
  // Standard and overdrive (1WS); the chip has no flexible timing.
  int set_speed(Speed speed) override;
  // SPU: the strong pull-up follows the byte and holds until a
  // configuration write without SPU (or the chip's next 1-Wire command).
  bool can_strong_pullup() const override { return true; }
  int touch_byte_pullup(int byte) override;
  int end_strong_pullup() override;

  const char* name() const override;

  // After open: 1 for a DS2482-100, 8 for a DS2482-800.
  int channels() const { return channels_; }
  const ChipAddress& where() const { return where_; }
  // Times the chip was reset to recover from a stuck busy flag.
  int recoveries() const { return recoveries_; }
  // Times an operation found another channel's strong pull-up on and
  // waited for it (any thread may ask).
  int pullup_waits() const { return pullup_waits_.load(); }

 private:
  rtl::Clock& clock() const { return options_.clock != nullptr ? *options_.clock : rtl::GetClock(); }
  // A transport result as a driver result; a bus that is gone closes the
  // link.
  int fail(int i2c_result);
  int send(std::initializer_list<std::uint8_t> bytes);
  // A 1-Wire command: refused, the chip is reset and set up again (it may
  // be busy with something the link does not know of).
  int command(std::initializer_list<std::uint8_t> bytes);
  int receive(std::uint8_t& value);
  // Waits `slots` slots (or a reset, for slots < 0) and then reads the
  // status until the busy flag is clear.
  int wait_idle(int slots, std::uint8_t& status);
  // Reads the register a Set Read Pointer to `pointer` names.
  int read_register(std::uint8_t pointer, std::uint8_t& value);
  int write_config(std::uint8_t bits);
  int select_channel(int channel);
  int detect();
  int setup();
  int recover();
  // Before every operation: the link is open, and a strong pull-up ended.
  int prepare();
  // The chip, for one operation: locked, on this link's channel and
  // configuration, once no other link's strong pull-up holds it.
  std::unique_lock<std::recursive_mutex> take_chip(int& result);
  // With the chip locked once (the lock is let go while waiting): false
  // when another link's strong pull-up outlasted pullup_wait.
  bool wait_for_other_pullup(std::unique_lock<std::recursive_mutex>& lock);
  // This link's strong pull-up is over (or gone with the chip's reset or
  // the bus): the chip is free for the other channels. Chip locked.
  void drop_pullup();
  // The unlocked bodies of the operations, for each other's use.
  int do_reset();
  int do_touch_byte(int byte);
  int write_only(std::uint8_t byte);
  // After a byte command: waits out its eight slots and reads back what
  // the bus gave for `sent`.
  int read_back(std::uint8_t sent);

  std::unique_ptr<I2cBus> bus_;
  ChipAddress where_;
  Ds2482Options options_;
  bool open_ = false;
  int channels_ = 0;
  std::uint8_t config_ = 0;  // the configuration bits in force, SPU never among them
  bool pullup_ = false;
  int recoveries_ = 0;
  std::atomic<int> pullup_waits_{0};
  std::shared_ptr<SharedChip> chip_;
};

// The link for a DS2482 port name ("/dev/i2c-1:0x18:3") over `bus` (the
// system's i2c-dev bus of that name when null). Null, with `error` set,
// for text that is no DS2482 port (kErrPortUnavailable) or a build with
// no I2C (kErrAdapterType).
std::unique_ptr<Link> make_ds2482_link(const std::string& port_text, std::unique_ptr<I2cBus> bus, std::int16_t& error,
                                       Ds2482Options options = {});

// Addresses from 0x18 to 0x1F where a device acknowledges a one-byte read,
// which changes nothing on a DS2482 (it reads a register) nor on most
// other chips: for telling a user where the chip is when it is not at the
// address named. The bus must be open.
std::vector<std::uint8_t> answering_addresses(I2cBus& bus);

}  // namespace onewire::ds2482
