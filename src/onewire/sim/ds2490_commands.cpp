// The DS2490's communication commands, run by its 1-Wire engine on the
// simulated bus, and its vendor requests on endpoint 0.
#include <algorithm>
#include <string>
#include <vector>

#include "onewire/sim/ds2490_state.hpp"

namespace onewire::sim {

using namespace std::chrono_literals;
namespace p = onewire::ds2490;

namespace {

constexpr rtl::Duration kPullupUnit = 16ms;

Speed bus_speed(std::uint8_t code) {
  if (code == p::kSpeedOverdrive) return Speed::kOverdrive;
  if (code == p::kSpeedFlexible) return Speed::kRelaxed;
  return Speed::kNormal;
}

bool rom_bit(const Rom& rom, int i) { return ((rom[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1) != 0; }
void set_rom_bit(Rom& rom, int i, bool v) {
  const auto mask = static_cast<std::uint8_t>(1u << (i % 8));
  auto& b = rom[static_cast<std::size_t>(i / 8)];
  b = static_cast<std::uint8_t>(v ? (b | mask) : (b & ~mask));
}

}  // namespace

rtl::Duration Ds2490Emulator::Impl::slot_time() const {
  switch (modes[0]) {
    case p::kSpeedOverdrive:
      return 10us;
    case p::kSpeedFlexible:
      return rtl::Duration(65us) + std::chrono::microseconds(modes[5] & 7);
    default:
      return 65us;
  }
}

rtl::Duration Ds2490Emulator::Impl::reset_time() const {
  return modes[0] == p::kSpeedOverdrive ? rtl::Duration(140us) : rtl::Duration(1096us);
}

// EP2 bytes a command needs before it can start.
std::size_t Ds2490Emulator::Impl::needs(const Command& c) const {
  const std::uint16_t code = c.value & 0xF0;
  if ((c.value & 0xFF) >= 0x80 && (c.value & 0xF0) == 0x80) return c.value >> 8;  // READ STRAIGHT preamble
  switch (code) {
    case p::kCmdMatchAccess & 0xF0:
      return 8;
    case p::kCmdBlockIo & 0xF0:
      return c.index;
    case p::kCmdSearchAccess & 0xF0:
      return 8;
    default:
      return 0;
  }
}

void Ds2490Emulator::Impl::try_start(rtl::TimePoint now) {
  while (!waiting.empty() && !halted) {
    if (!engine.empty() && engine.back().infinite) return;  // a pull-up holds the engine
    const Command& c = waiting.front();
    if (!c.released || ep2.size() < needs(c)) return;
    const Command cmd = c;
    waiting.pop_front();
    execute(cmd, now);
  }
}

std::vector<std::uint8_t> Ds2490Emulator::Impl::take_ep2(std::size_t n) {
  std::vector<std::uint8_t> v;
  for (std::size_t i = 0; i < n && !ep2.empty(); ++i) {
    v.push_back(ep2.front());
    ep2.pop_front();
  }
  return v;
}

// Reset as part of a command: the result bits it adds.
std::uint8_t Ds2490Emulator::Impl::bus_reset() {
  const int r = bus->reset();
  if (r == kResetShort) return p::kResultSh;
  if (r == kResetNoPresence) return p::kResultNrs;
  if (r == kResetAlarmPresence) return p::kResultApp;
  return 0;
}

void Ds2490Emulator::Impl::execute(const Command& c, rtl::TimePoint now) {
  Running run;
  run.value = c.value;
  run.cost = c.cost;
  run.start = std::max(now, engine_free);
  bus->set_speed(bus_speed(modes[0]));
  const std::uint64_t resets0 = bus->resets();
  const std::uint64_t slots0 = bus->slots();
  const rtl::Duration slot = slot_time();
  const rtl::Duration reset = reset_time();
  std::uint8_t error = 0;
  bool ntf = (c.value & p::kFlagNtf) != 0;
  bool icp = (c.value & p::kFlagIcp) != 0;
  bool spu = (c.value & p::kFlagSpu) != 0;
  std::optional<std::uint8_t> new_speed;
  const bool rst = (c.value & p::kFlagRst) != 0;

  if ((c.value & 0xF0) == 0x80) {
    // READ STRAIGHT packs its flags into the low byte.
    const std::uint8_t lo = c.value & 0xFF;
    ntf = (lo & 0x08) != 0;
    icp = (lo & 0x04) != 0;
    spu = false;
    if ((lo & 0x02) != 0) error |= bus_reset();
    for (std::uint8_t b : take_ep2(c.value >> 8)) bus->touch_byte(b);
    for (std::uint16_t i = 0; i < c.index; ++i) run.out.push_back(static_cast<std::uint8_t>(bus->touch_byte(0xFF)));
  } else {
    switch (c.value & 0xF0) {
      case 0x10:  // SET DURATION
        if ((c.value & p::kFlagType) != 0)
          modes[2] = static_cast<std::uint8_t>(c.index & 0xFF);
        else
          modes[1] = static_cast<std::uint8_t>(c.index & 0xFF);
        spu = false;
        break;
      case 0x20: {  // BIT I/O
        const int line = bus->touch_bit((c.value & p::kFlagD) != 0 ? 1 : 0);
        if (!icp) run.out.push_back(static_cast<std::uint8_t>(line != 0 ? 1 : 0));
        // CIB: the pull-up only when the bit read back is 0.
        if ((c.value & p::kFlagCib) != 0 && line != 0) spu = false;
        break;
      }
      case 0x30:  // PULSE
        if ((c.value & p::kFlagType) != 0) {
          spu = false;
          // No 12 V supply on the emulated adapter.
          if (prge()) error |= p::kResultVpp;
        } else {
          spu = true;
        }
        break;
      case 0x40:  // 1-WIRE RESET
        if ((c.value & p::kFlagSe) != 0 && speed_change() && c.index <= p::kSpeedOverdrive) {
          modes[0] = static_cast<std::uint8_t>(c.index);
          bus->set_speed(bus_speed(modes[0]));
        }
        error |= bus_reset();
        spu = false;
        break;
      case 0x50: {  // BYTE I/O
        const int b = bus->touch_byte(c.index & 0xFF);
        if (!icp) run.out.push_back(static_cast<std::uint8_t>(b));
        break;
      }
      case 0x60: {  // MATCH ACCESS
        if (rst) error |= bus_reset();
        if ((error & (p::kResultNrs | p::kResultSh)) == 0) {
          bus->touch_byte(c.index & 0xFF);
          for (std::uint8_t b : take_ep2(8)) bus->touch_byte(b);
        } else {
          take_ep2(8);
        }
        if ((c.value & p::kFlagSe) != 0 && speed_change() && (c.index >> 8) <= p::kSpeedOverdrive)
          new_speed = static_cast<std::uint8_t>(c.index >> 8);
        spu = false;
        break;
      }
      case 0x70: {  // BLOCK I/O
        if (rst) error |= bus_reset();
        for (std::uint8_t b : take_ep2(c.index)) run.out.push_back(static_cast<std::uint8_t>(bus->touch_byte(b)));
        break;
      }
      case 0xF0:  // SEARCH ACCESS
        error |= search(c, run.out);
        spu = false;
        break;
      default:
        break;
    }
  }
  const auto resets = bus->resets() - resets0;
  const auto slots = bus->slots() - slots0;
  const rtl::Duration wire = static_cast<std::int64_t>(resets) * reset + static_cast<std::int64_t>(slots) * slot;
  if (new_speed) {
    modes[0] = *new_speed;
    bus->set_speed(bus_speed(modes[0]));
  }
  run.data_at = run.start + wire;
  run.end_at = run.data_at;
  // A strong pull-up needs SPUE; without it the chip ignores SPU.
  if (spu && spue()) {
    // The devices see the pull-up from the end of the bus work on, as
    // they saw the work itself: now.
    run.pullup = true;
    if (modes[1] == 0) {
      run.infinite = true;
      bus->strong_pullup(true);
    } else {
      run.end_at = run.data_at + static_cast<std::int64_t>(modes[1]) * kPullupUnit;
      bus->strong_pullup_for(static_cast<std::int64_t>(modes[1]) * kPullupUnit);
    }
  }
  if (!icp && (ntf || error != 0)) run.result = error;
  run.flush_on_error = (c.value & p::kFlagF) != 0;
  engine_free = run.infinite ? kNever : run.end_at;
  trace.note("  run %04X idx %04X: %llu resets %llu slots, %zu bytes out, result %s", c.value, c.index,
       static_cast<unsigned long long>(resets), static_cast<unsigned long long>(slots), run.out.size(),
       run.result ? std::to_string(*run.result).c_str() : "-");
  engine.push_back(std::move(run));
}

// SEARCH ACCESS: passes over the bus, each walking the branch the start
// ROM picks at the discrepancies, until the ROM limit or the end.
std::uint8_t Ds2490Emulator::Impl::search(const Command& c, std::deque<std::uint8_t>& out) {
  const std::uint8_t command = c.index & 0xFF;
  const int limit = c.index >> 8;
  const bool report = (c.value & p::kFlagSm) != 0;
  const bool rts = (c.value & p::kFlagRts) != 0;
  Rom start{};
  const auto bytes = take_ep2(8);
  for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) start[i] = bytes[i];
  std::uint8_t error = 0;
  int found = 0;
  bool reset_first = (c.value & p::kFlagRst) != 0;
  for (;;) {
    if (reset_first) {
      const std::uint8_t r = bus_reset();
      if ((r & (p::kResultNrs | p::kResultSh)) != 0) {
        error |= r;
        break;
      }
    }
    reset_first = true;
    bus->touch_byte(command);
    Rom rom{};
    Rom map{};
    bool lost = false;
    for (int i = 0; i < 64; ++i) {
      const int id = bus->touch_bit(1);
      const int cmp = bus->touch_bit(1);
      if (id != 0 && cmp != 0) {
        lost = true;
        break;
      }
      bool dir = id != 0;
      if (id == cmp) {
        dir = rom_bit(start, i);
        set_rom_bit(map, i, true);
      }
      bus->touch_bit(dir ? 1 : 0);
      set_rom_bit(rom, i, dir);
    }
    if (lost) break;
    ++found;
    if (report) out.insert(out.end(), rom.begin(), rom.end());
    int next = -1;
    for (int i = 63; i >= 0 && next < 0; --i)
      if (rom_bit(map, i) && !rom_bit(rom, i)) next = i;
    if (next < 0) break;  // the search is complete
    start = rom;
    set_rom_bit(start, next, true);
    for (int i = next + 1; i < 64; ++i) set_rom_bit(start, i, false);
    if (limit != 0 && found >= limit) {
      if (rts) out.insert(out.end(), map.begin(), map.end());
      break;
    }
  }
  if (report && limit != 0 && found < limit) error |= p::kResultEos;
  return error;
}

int Ds2490Emulator::Impl::vendor(std::uint8_t request, std::uint16_t value, std::uint16_t index, rtl::TimePoint now) {
  switch (request) {
    case p::kRequestControl:
      return control_command(value, now);
    case p::kRequestComm:
      return comm_command(value, index, now);
    case p::kRequestMode:
      return mode_command(value, index);
    default:
      return ds2490::kUsbErrorPipe;
  }
}

int Ds2490Emulator::Impl::control_command(std::uint16_t value, rtl::TimePoint now) {
  switch (value) {
    case p::kCtlResetDevice:
      power_on();
      engine_free = now;
      return 0;
    case p::kCtlStartExe:
      for (auto& c : waiting) c.released = true;
      try_start(now);
      return 0;
    case p::kCtlResumeExe:
      halted = false;
      try_start(now);
      return 0;
    case p::kCtlHaltExeIdle:
    case p::kCtlHaltExeDone:
      for (auto& r : engine)
        if (r.infinite) {
          r.infinite = false;
          r.end_at = std::max(now, r.data_at);
          engine_free = r.end_at;
          bus->strong_pullup(false);
        }
      halted = true;
      return 0;
    case p::kCtlFlushCommCmds:
      waiting.clear();
      return 0;
    case p::kCtlFlushRcvBuffer:
      ep3.clear();
      return 0;
    case p::kCtlFlushXmtBuffer:
      ep2.clear();
      return 0;
    default:
      return ds2490::kUsbErrorPipe;
  }
}

bool Ds2490Emulator::Impl::known_command(std::uint16_t value) {
  switch (value & 0xF0) {
    case 0x10:
    case 0x20:
    case 0x30:
    case 0x40:
    case 0x50:
    case 0x60:
    case 0x70:
    case 0x80:
    case 0xF0:
      return true;
    default:
      return false;
  }
}

int Ds2490Emulator::Impl::comm_command(std::uint16_t value, std::uint16_t index, rtl::TimePoint now) {
  if (!known_command(value)) return ds2490::kUsbErrorPipe;
  Command c;
  c.value = value;
  c.index = index;
  if (needs(c) > p::kFifoSize) return ds2490::kUsbErrorPipe;
  c.cost = static_cast<std::uint8_t>(2 + ((index & 0xFF) != 0 ? 1 : 0) + ((index >> 8) != 0 ? 1 : 0));
  const bool im = (value & 0xF0) == 0x80 ? (value & 0x01) != 0 : (value & p::kFlagIm) != 0;
  c.released = im;
  // A full command FIFO drops the setup packet; only EP0F tells.
  if (fifo_bytes(now) + c.cost > p::kCommandFifoSize) {
    ep0f = true;
    return 0;
  }
  waiting.push_back(c);
  try_start(now);
  return 0;
}

int Ds2490Emulator::Impl::mode_command(std::uint16_t value, std::uint16_t index) {
  const auto v = static_cast<std::uint8_t>(index & 0xFF);
  switch (value) {
    case p::kModePulseEnable:
      // The parameter has PRGE in bit 0 and SPUE in bit 1; the status
      // byte keeps them the other way round.
      enables = static_cast<std::uint8_t>((enables & 0x04) | ((v & p::kPulseSpue) != 0 ? 0x01 : 0) |
                                          ((v & p::kPulsePrge) != 0 ? 0x02 : 0));
      return 0;
    case p::kModeSpeedChangeEnable:
      enables = static_cast<std::uint8_t>((enables & 0x03) | ((v & 1) != 0 ? 0x04 : 0));
      return 0;
    case p::kModeSpeed:
      if (v > p::kSpeedOverdrive) return ds2490::kUsbErrorPipe;
      modes[0] = v;
      return 0;
    case p::kModePullupDuration:
      modes[1] = v;
      return 0;
    case p::kModeSlewRate:
      modes[3] = v & 7;
      return 0;
    case p::kModeProgDuration:
      modes[2] = v;
      return 0;
    case p::kModeWrite1Low:
      modes[4] = v & 7;
      return 0;
    case p::kModeDsoW0r:
      modes[5] = v & 7;
      return 0;
    default:
      return ds2490::kUsbErrorPipe;
  }
}

int Ds2490Emulator::Impl::get_comm_cmds(std::uint8_t* data, std::uint16_t length) {
  std::size_t n = 0;
  while (!waiting.empty() && n + waiting.front().cost <= length) {
    const Command c = waiting.front();
    waiting.pop_front();
    data[n++] = static_cast<std::uint8_t>(c.value & 0xFF);
    data[n++] = static_cast<std::uint8_t>(c.value >> 8);
    if ((c.index & 0xFF) != 0) data[n++] = static_cast<std::uint8_t>(c.index & 0xFF);
    if ((c.index >> 8) != 0) data[n++] = static_cast<std::uint8_t>(c.index >> 8);
  }
  return static_cast<int>(n);
}

}  // namespace onewire::sim
