#include "onewire/sim/ds2490_emulator.hpp"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "onewire/ds2490/protocol.hpp"

namespace onewire::sim {

using namespace std::chrono_literals;
namespace p = onewire::ds2490;

namespace {

constexpr rtl::Duration kFrame = 1ms;
constexpr rtl::Duration kPullupUnit = 16ms;
constexpr rtl::TimePoint kNever = rtl::TimePoint::max();

// Power-on values of the mode registers, in status-byte order 1..6:
// speed, strong pull-up duration, programming pulse duration, slew rate,
// write-1 low time, data sample offset / write-0 recovery.
constexpr std::array<std::uint8_t, 6> kPowerOnModes = {0, 0x20, 0x40, 5, 4, 4};

constexpr std::uint8_t kDeviceDescriptor[18] = {
    18, 1, 0x10, 0x01,  // USB 1.1
    0xFF, 0xFF, 0xFF,   // vendor-specific class
    64,                 // EP0 packet size
    p::kVendorId & 0xFF, p::kVendorId >> 8, p::kProductId & 0xFF, p::kProductId >> 8,
    0x00, 0x01,  // device release
    0, 0, 0,     // no strings
    1};

// Configuration 1: one interface with four alternate settings of three
// endpoints each; they differ in the status polling interval and the
// bulk packet size.
constexpr std::array<std::uint8_t, 9 + 4 * 30> make_config() {
  std::array<std::uint8_t, 9 + 4 * 30> d{};
  const std::size_t total = d.size();
  std::size_t k = 0;
  for (std::uint8_t b : {std::uint8_t{9}, std::uint8_t{2}, static_cast<std::uint8_t>(total & 0xFF),
                         static_cast<std::uint8_t>(total >> 8), std::uint8_t{1}, std::uint8_t{1}, std::uint8_t{0},
                         std::uint8_t{0xA0}, std::uint8_t{50}})
    d[k++] = b;
  for (std::uint8_t alt = 0; alt < 4; ++alt) {
    const std::uint8_t interval = alt < 2 ? 10 : 1;
    const std::uint8_t packet = (alt & 1) != 0 ? 64 : 16;
    for (std::uint8_t b : {std::uint8_t{9}, std::uint8_t{4}, std::uint8_t{0}, alt, std::uint8_t{3}, std::uint8_t{0xFF},
                           std::uint8_t{0xFF}, std::uint8_t{0xFF}, std::uint8_t{0}})
      d[k++] = b;
    for (std::uint8_t b : {std::uint8_t{7}, std::uint8_t{5}, p::kEpStatus, std::uint8_t{3}, std::uint8_t{32},
                           std::uint8_t{0}, interval})
      d[k++] = b;
    for (std::uint8_t b :
         {std::uint8_t{7}, std::uint8_t{5}, p::kEpToBus, std::uint8_t{2}, packet, std::uint8_t{0}, std::uint8_t{0}})
      d[k++] = b;
    for (std::uint8_t b :
         {std::uint8_t{7}, std::uint8_t{5}, p::kEpFromBus, std::uint8_t{2}, packet, std::uint8_t{0}, std::uint8_t{0}})
      d[k++] = b;
  }
  return d;
}
constexpr auto kConfigDescriptor = make_config();

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

struct Ds2490Emulator::Impl {
  // A communication command the chip accepted.
  struct Command {
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint8_t cost = 2;        // bytes it takes in the command FIFO
    bool released = false;        // IM set, or START EXE came
  };
  // A command the 1-Wire engine has run (the bus already saw it; the host
  // sees its effects as their times come).
  struct Running {
    std::uint16_t value = 0;
    std::uint8_t cost = 2;
    rtl::TimePoint start{};
    rtl::TimePoint data_at{};     // its EP3 bytes are ready
    rtl::TimePoint end_at{};      // done (strong pull-up over)
    bool pullup = false;          // a strong pull-up follows the bus work
    bool infinite = false;        // ... until HALT
    std::deque<std::uint8_t> out; // EP3 bytes still to come
    std::optional<std::uint8_t> result;
    bool flush_on_error = false;
  };

  std::shared_ptr<SimBus> bus;
  rtl::Clock* clock_override = nullptr;
  mutable std::mutex mu;
  rtl::TimePoint origin{};

  bool open = false;
  bool claimed = false;
  int configuration = 1;
  int alt = 0;

  // Chip state.
  std::uint8_t enables = 0;  // status byte 0 order: SPUE, PRGE, SPCE
  std::array<std::uint8_t, 6> modes = kPowerOnModes;
  bool halted = false;
  bool ep0f = false;
  std::deque<Command> waiting;
  std::deque<Running> engine;
  rtl::TimePoint engine_free{};
  std::deque<std::uint8_t> ep2;
  std::deque<std::uint8_t> ep3;
  std::deque<std::uint8_t> results;

  Ds2490Stats stats;
  std::function<void(const std::string&)> trace;

  rtl::Clock& clock() const { return clock_override != nullptr ? *clock_override : rtl::GetClock(); }

  rtl::TimePoint frame_floor(rtl::TimePoint t) const {
    if (t < origin) return origin;
    return origin + ((t - origin) / kFrame) * kFrame;
  }
  // The first frame start after `t`: when the host controller serves a
  // transfer issued at `t`.
  rtl::TimePoint next_frame(rtl::TimePoint t) const { return frame_floor(t) + kFrame; }
  rtl::TimePoint next_poll(rtl::TimePoint t) const {
    const rtl::Duration interval = alt < 2 ? 10 * kFrame : kFrame;
    if (t < origin) return origin + interval;
    return origin + ((t - origin) / interval + 1) * interval;
  }
  std::size_t bulk_packet() const { return (alt & 1) != 0 ? 64 : 16; }

  void note(const char* format, ...) {
    if (!trace) return;
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    trace(line);
  }

  void power_on() {
    enables = 0;
    modes = kPowerOnModes;
    halted = false;
    ep0f = false;
    waiting.clear();
    engine.clear();
    ep2.clear();
    ep3.clear();
    results.clear();
    bus->strong_pullup(false);
    bus->set_speed(Speed::kNormal);
  }

  bool spue() const { return (enables & 0x01) != 0; }
  bool prge() const { return (enables & 0x02) != 0; }
  bool speed_change() const { return (enables & 0x04) != 0; }

  rtl::Duration slot_time() const {
    switch (modes[0]) {
      case p::kSpeedOverdrive:
        return 10us;
      case p::kSpeedFlexible:
        return rtl::Duration(65us) + std::chrono::microseconds(modes[5] & 7);
      default:
        return 65us;
    }
  }
  rtl::Duration reset_time() const { return modes[0] == p::kSpeedOverdrive ? rtl::Duration(140us) : rtl::Duration(1096us); }

  // Lets time run to `now`: bus work that has finished shows its EP3
  // bytes (as far as the FIFO has room), results and idle state.
  void advance(rtl::TimePoint now) {
    while (!engine.empty()) {
      Running& r = engine.front();
      if (now < r.data_at) return;
      while (!r.out.empty() && ep3.size() < p::kFifoSize) {
        ep3.push_back(r.out.front());
        r.out.pop_front();
      }
      if (!r.out.empty() || r.infinite || now < r.end_at) return;
      if (r.result) post(*r.result, r.flush_on_error);
      engine.pop_front();
    }
  }

  void post(std::uint8_t result, bool flush_on_error) {
    if (results.size() < 64) results.push_back(result);
    // EOS only says that fewer ROMs were there than asked for; the ROMs
    // found stay.
    if (flush_on_error && (result & ~p::kResultEos) != 0 && result != p::kResultDeviceArrived) {
      waiting.clear();
      ep2.clear();
      ep3.clear();
    }
  }

  bool pulse_running(rtl::TimePoint now) const {
    if (engine.empty()) return false;
    const Running& r = engine.front();
    return r.pullup && now >= r.data_at && (r.infinite || now < r.end_at);
  }

  std::size_t fifo_bytes(rtl::TimePoint now) const {
    std::size_t n = 0;
    for (const auto& c : waiting) n += c.cost;
    for (const auto& r : engine)
      if (r.start > now) n += r.cost;
    return n;
  }

  std::array<std::uint8_t, p::kStatusRegisters> registers(rtl::TimePoint now) const {
    std::array<std::uint8_t, p::kStatusRegisters> s{};
    s[0] = enables;
    for (std::size_t i = 0; i < 6; ++i) s[1 + i] = modes[i];
    std::uint8_t flags = 0;
    if (pulse_running(now)) flags |= p::kStSpua;
    if (halted) flags |= p::kStHalt;
    if (engine.empty() && waiting.empty()) flags |= p::kStIdle;
    if (ep0f) flags |= p::kStEp0f;
    s[8] = flags;
    if (!engine.empty() && engine.front().start <= now) {
      s[9] = static_cast<std::uint8_t>(engine.front().value & 0xFF);
      s[10] = static_cast<std::uint8_t>(engine.front().value >> 8);
    }
    s[11] = static_cast<std::uint8_t>(std::min<std::size_t>(fifo_bytes(now), p::kCommandFifoSize));
    s[12] = static_cast<std::uint8_t>(ep2.size());
    s[13] = static_cast<std::uint8_t>(ep3.size());
    return s;
  }

  // --- command execution (on the bus, at once; effects timed) ---

  // EP2 bytes a command needs before it can start.
  std::size_t needs(const Command& c) const {
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

  void try_start(rtl::TimePoint now) {
    while (!waiting.empty() && !halted) {
      if (!engine.empty() && engine.back().infinite) return;  // a pull-up holds the engine
      const Command& c = waiting.front();
      if (!c.released || ep2.size() < needs(c)) return;
      const Command cmd = c;
      waiting.pop_front();
      execute(cmd, now);
    }
  }

  std::vector<std::uint8_t> take_ep2(std::size_t n) {
    std::vector<std::uint8_t> v;
    for (std::size_t i = 0; i < n && !ep2.empty(); ++i) {
      v.push_back(ep2.front());
      ep2.pop_front();
    }
    return v;
  }

  // Reset as part of a command: the result bits it adds.
  std::uint8_t bus_reset() {
    const int r = bus->reset();
    if (r == kResetShort) return p::kResultSh;
    if (r == kResetNoPresence) return p::kResultNrs;
    if (r == kResetAlarmPresence) return p::kResultApp;
    return 0;
  }

  void execute(const Command& c, rtl::TimePoint now) {
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
    note("  run %04X idx %04X: %llu resets %llu slots, %zu bytes out, result %s", c.value, c.index,
         static_cast<unsigned long long>(resets), static_cast<unsigned long long>(slots), run.out.size(),
         run.result ? std::to_string(*run.result).c_str() : "-");
    engine.push_back(std::move(run));
  }

  // SEARCH ACCESS: passes over the bus, each walking the branch the start
  // ROM picks at the discrepancies, until the ROM limit or the end.
  std::uint8_t search(const Command& c, std::deque<std::uint8_t>& out) {
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

  // --- requests on endpoint 0 ---

  int vendor(std::uint8_t request, std::uint16_t value, std::uint16_t index, rtl::TimePoint now) {
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

  int control_command(std::uint16_t value, rtl::TimePoint now) {
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

  static bool known_command(std::uint16_t value) {
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

  int comm_command(std::uint16_t value, std::uint16_t index, rtl::TimePoint now) {
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

  int mode_command(std::uint16_t value, std::uint16_t index) {
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

  int get_comm_cmds(std::uint8_t* data, std::uint16_t length) {
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

  int standard(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint8_t* data,
               std::uint16_t length) {
    if (request_type == 0x80 && request == 0x06) {  // GET_DESCRIPTOR
      const std::uint8_t* d = nullptr;
      std::size_t n = 0;
      if ((value >> 8) == 1) {
        d = kDeviceDescriptor;
        n = sizeof kDeviceDescriptor;
      } else if ((value >> 8) == 2 && (value & 0xFF) == 0) {
        d = kConfigDescriptor.data();
        n = kConfigDescriptor.size();
      } else {
        return ds2490::kUsbErrorPipe;  // no strings, nothing else
      }
      const std::size_t k = std::min<std::size_t>(n, length);
      if (data != nullptr) std::copy(d, d + k, data);
      return static_cast<int>(k);
    }
    if (request_type == 0x80 && request == 0x00) {  // GET_STATUS
      const std::size_t k = std::min<std::size_t>(2, length);
      for (std::size_t i = 0; i < k && data != nullptr; ++i) data[i] = 0;
      return static_cast<int>(k);
    }
    if (request_type == 0x80 && request == 0x08) {  // GET_CONFIGURATION
      if (length > 0 && data != nullptr) data[0] = static_cast<std::uint8_t>(configuration);
      return length > 0 ? 1 : 0;
    }
    return ds2490::kUsbErrorPipe;
  }

  // Accounts a transfer issued at `issue` and served at `done`.
  void account(rtl::TimePoint issue, rtl::TimePoint done) { stats.modelled += done - frame_floor(issue); }
};

Ds2490Emulator::Ds2490Emulator(std::shared_ptr<SimBus> bus, rtl::Clock* clock)
    : impl_(std::make_unique<Impl>()), bus_(std::move(bus)) {
  impl_->bus = bus_;
  impl_->clock_override = clock;
  impl_->origin = impl_->clock().now();
  impl_->engine_free = impl_->origin;
  impl_->power_on();
}

Ds2490Emulator::~Ds2490Emulator() = default;

int Ds2490Emulator::open() {
  std::lock_guard lock(impl_->mu);
  impl_->open = true;
  return ds2490::kUsbSuccess;
}

void Ds2490Emulator::close() {
  std::lock_guard lock(impl_->mu);
  impl_->open = false;
  impl_->claimed = false;
}

bool Ds2490Emulator::is_open() const {
  std::lock_guard lock(impl_->mu);
  return impl_->open;
}

int Ds2490Emulator::set_configuration(int configuration) {
  std::lock_guard lock(impl_->mu);
  if (configuration != 0 && configuration != 1) return ds2490::kUsbErrorPipe;
  // Configuration 1 again is a lightweight reset of the interface.
  impl_->configuration = configuration;
  impl_->alt = 0;
  return ds2490::kUsbSuccess;
}

int Ds2490Emulator::claim_interface(int interface_number) {
  std::lock_guard lock(impl_->mu);
  if (interface_number != p::kInterface) return ds2490::kUsbErrorNotFound;
  impl_->claimed = true;
  return ds2490::kUsbSuccess;
}

int Ds2490Emulator::release_interface(int interface_number) {
  std::lock_guard lock(impl_->mu);
  if (interface_number != p::kInterface) return ds2490::kUsbErrorNotFound;
  impl_->claimed = false;
  return ds2490::kUsbSuccess;
}

int Ds2490Emulator::set_alt_setting(int interface_number, int alt_setting) {
  std::lock_guard lock(impl_->mu);
  if (interface_number != p::kInterface || alt_setting < 0 || alt_setting > 3) return ds2490::kUsbErrorNotFound;
  impl_->alt = alt_setting;
  return ds2490::kUsbSuccess;
}

int Ds2490Emulator::clear_halt(std::uint8_t endpoint) {
  if (endpoint != p::kEpStatus && endpoint != p::kEpToBus && endpoint != p::kEpFromBus && endpoint != 0)
    return ds2490::kUsbErrorNotFound;
  return ds2490::kUsbSuccess;
}

int Ds2490Emulator::control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                            std::uint16_t index, std::uint8_t* data, std::uint16_t length, rtl::Duration) {
  Impl& s = *impl_;
  const rtl::TimePoint issue = s.clock().now();
  rtl::TimePoint done{};
  {
    std::lock_guard lock(s.mu);
    done = s.next_frame(issue);
    ++s.stats.control;
    s.account(issue, done);
  }
  s.clock().sleep_until(done);
  std::lock_guard lock(s.mu);
  s.advance(done);
  int r = ds2490::kUsbErrorPipe;
  if (request_type == p::kVendorOut && length == 0) {
    r = s.vendor(request, value, index, done);
  } else if (request_type == p::kVendorIn && request == p::kRequestControl && value == p::kCtlGetCommCmds) {
    r = data == nullptr ? ds2490::kUsbErrorInvalidParam : s.get_comm_cmds(data, length);
  } else if ((request_type & 0x60) == 0) {
    r = s.standard(request_type, request, value, data, length);
  }
  s.note("ctrl %02X %02X %04X %04X len %u -> %d", request_type, request, value, index, length, r);
  return r;
}

int Ds2490Emulator::bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                         rtl::Duration timeout) {
  Impl& s = *impl_;
  transferred = 0;
  if (data == nullptr || length < 0) return ds2490::kUsbErrorInvalidParam;
  const rtl::TimePoint issue = s.clock().now();
  const rtl::TimePoint deadline = issue + timeout;
  if (endpoint == p::kEpToBus) {
    rtl::TimePoint done{};
    {
      std::lock_guard lock(s.mu);
      if (!s.claimed) return ds2490::kUsbErrorIo;
      ++s.stats.bulk_out;
      done = s.next_frame(issue);
      s.account(issue, done);
    }
    s.clock().sleep_until(done);
    std::unique_lock lock(s.mu);
    s.advance(done);
    int k = 0;
    while (k < length) {
      const std::size_t room = p::kFifoSize - s.ep2.size();
      if (room == 0) break;
      const int n = std::min(length - k, static_cast<int>(room));
      s.ep2.insert(s.ep2.end(), data + k, data + k + n);
      k += n;
      s.try_start(done);
    }
    transferred = k;
    s.note("bulk out %d -> %d (EP2 %zu)", length, k, s.ep2.size());
    if (k < length) {
      // Nothing drains EP2 without a command: the rest is NAKed until the
      // deadline.
      lock.unlock();
      s.clock().sleep_until(deadline);
      return ds2490::kUsbErrorTimeout;
    }
    return ds2490::kUsbSuccess;
  }
  if (endpoint != p::kEpFromBus) return ds2490::kUsbErrorNotFound;
  {
    std::lock_guard lock(s.mu);
    if (!s.claimed) return ds2490::kUsbErrorIo;
    ++s.stats.bulk_in;
  }
  rtl::TimePoint wait_from = issue;
  for (;;) {
    rtl::TimePoint ready = kNever;
    {
      std::lock_guard lock(s.mu);
      s.advance(wait_from);
      if (!s.ep3.empty()) {
        ready = wait_from;
      } else {
        for (const auto& r : s.engine)
          if (!r.out.empty()) {
            ready = r.data_at;
            break;
          }
      }
    }
    const rtl::TimePoint done = ready == kNever ? kNever : s.next_frame(std::max(wait_from, ready));
    if (done > deadline) {
      s.clock().sleep_until(deadline);
      std::lock_guard lock(s.mu);
      s.account(wait_from, deadline);
      s.note("bulk in %d -> timeout after %d", length, transferred);
      return ds2490::kUsbErrorTimeout;
    }
    s.clock().sleep_until(done);
    std::lock_guard lock(s.mu);
    s.account(wait_from, done);
    s.advance(done);
    const std::size_t packet_size = s.bulk_packet();
    while (!s.ep3.empty()) {
      const std::size_t packet = std::min(s.ep3.size(), packet_size);
      if (static_cast<int>(packet) > length - transferred) {
        // The host's buffer cannot take the packet: it is lost.
        for (std::size_t i = 0; i < packet; ++i) s.ep3.pop_front();
        s.note("bulk in %d -> overflow after %d", length, transferred);
        return ds2490::kUsbErrorOverflow;
      }
      for (std::size_t i = 0; i < packet; ++i) {
        data[transferred++] = s.ep3.front();
        s.ep3.pop_front();
      }
      if (packet < packet_size || transferred == length) {
        s.note("bulk in %d -> %d", length, transferred);
        return ds2490::kUsbSuccess;
      }
    }
    // A full packet and the FIFO empty: the transfer goes on until a short
    // packet, as USB bulk transfers do.
    wait_from = done;
  }
}

int Ds2490Emulator::interrupt(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                              rtl::Duration timeout) {
  Impl& s = *impl_;
  transferred = 0;
  if (endpoint != p::kEpStatus) return ds2490::kUsbErrorNotFound;
  if (data == nullptr || length < 0) return ds2490::kUsbErrorInvalidParam;
  const rtl::TimePoint issue = s.clock().now();
  rtl::TimePoint done{};
  {
    std::lock_guard lock(s.mu);
    if (!s.claimed) return ds2490::kUsbErrorIo;
    ++s.stats.interrupt;
    done = s.next_poll(issue);
    if (done > issue + timeout) done = kNever;
    else s.account(issue, done);
  }
  if (done == kNever) {
    s.clock().sleep_for(timeout);
    return ds2490::kUsbErrorTimeout;
  }
  s.clock().sleep_until(done);
  std::lock_guard lock(s.mu);
  s.advance(done);
  const auto regs = s.registers(done);
  const std::size_t results = std::min<std::size_t>(s.results.size(), p::kStatusMax - p::kStatusRegisters);
  const std::size_t n = p::kStatusRegisters + results;
  if (static_cast<std::size_t>(length) < n) {
    // The packet does not fit the host's buffer and is lost, results too.
    for (std::size_t i = 0; i < results; ++i) s.results.pop_front();
    return ds2490::kUsbErrorOverflow;
  }
  std::copy(regs.begin(), regs.end(), data);
  for (std::size_t i = 0; i < results; ++i) {
    data[p::kStatusRegisters + i] = s.results.front();
    s.results.pop_front();
  }
  transferred = static_cast<int>(n);
  if (s.trace) {
    std::string hex;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02X ", data[i]);
      hex += b;
    }
    s.note("status %s", hex.c_str());
  }
  return ds2490::kUsbSuccess;
}

void Ds2490Emulator::power_cycle() {
  std::lock_guard lock(impl_->mu);
  impl_->power_on();
  impl_->engine_free = impl_->clock().now();
  impl_->alt = 0;
  impl_->configuration = 1;
  impl_->claimed = false;
  impl_->open = false;
}

int Ds2490Emulator::alt_setting() const {
  std::lock_guard lock(impl_->mu);
  return impl_->alt;
}

std::uint8_t Ds2490Emulator::status_register(int i) {
  std::lock_guard lock(impl_->mu);
  const rtl::TimePoint now = impl_->clock().now();
  impl_->advance(now);
  if (i < 0 || i >= static_cast<int>(p::kStatusRegisters)) return 0;
  return impl_->registers(now)[static_cast<std::size_t>(i)];
}

Ds2490Stats Ds2490Emulator::stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stats;
}

void Ds2490Emulator::reset_stats() {
  std::lock_guard lock(impl_->mu);
  impl_->stats = Ds2490Stats{};
}

void Ds2490Emulator::set_trace(std::function<void(const std::string&)> trace) {
  std::lock_guard lock(impl_->mu);
  impl_->trace = std::move(trace);
}

const std::uint8_t* Ds2490Emulator::device_descriptor(std::size_t& length) {
  length = sizeof kDeviceDescriptor;
  return kDeviceDescriptor;
}

const std::uint8_t* Ds2490Emulator::config_descriptor(std::size_t& length) {
  length = kConfigDescriptor.size();
  return kConfigDescriptor.data();
}

}  // namespace onewire::sim
