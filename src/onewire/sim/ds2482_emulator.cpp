#include "onewire/sim/ds2482_emulator.hpp"

#include <algorithm>
#include <mutex>

#include "onewire/ds2482/protocol.hpp"

namespace onewire::sim {

namespace p = onewire::ds2482;

struct Ds2482Emulator::Impl {
  mutable std::mutex mu;
  int channels = 1;
  std::array<std::shared_ptr<SimBus>, 8> buses;
  Ds2482Timing timing;

  // Registers. `status` holds every bit but 1WB and LL, which are worked
  // out when it is read.
  std::uint8_t status = p::kStRst;
  std::uint8_t config = 0;
  std::uint8_t data = 0;
  std::uint8_t pointer = p::kPtrStatus;
  int channel = 0;
  bool line_low = false;  // the last reset found the line shorted

  // The 1-Wire command running, and what it leaves when done.
  bool busy = false;
  rtl::TimePoint busy_until{};
  std::uint8_t next_status = 0;
  std::uint8_t next_data = 0;
  bool next_line_low = false;
  bool hang_next = false;
  bool pullup = false;  // the strong pull-up holds the active channel

  Ds2482Stats stats;

  SimBus& bus() { return *buses[static_cast<std::size_t>(channel)]; }

  void settle(rtl::TimePoint t) {
    if (!busy || t < busy_until || busy_until == rtl::TimePoint::max()) return;
    busy = false;
    status = next_status;
    data = next_data;
    line_low = next_line_low;
  }

  bool busy_at(rtl::TimePoint t) {
    settle(t);
    return busy;
  }

  std::uint8_t status_at(rtl::TimePoint t) {
    const bool b = busy_at(t);
    auto s = static_cast<std::uint8_t>(status & ~(p::kSt1wb | p::kStLl));
    if (b) s |= p::kSt1wb;
    if (!line_low) s |= p::kStLl;
    return s;
  }

  // The strong pull-up ends, and SPU with it.
  void end_pullup() {
    if (pullup) {
      pullup = false;
      bus().strong_pullup(false);
    }
    config = static_cast<std::uint8_t>(config & ~p::kCfgSpu);
  }

  void power_on() {
    end_pullup();
    status = p::kStRst;
    config = 0;
    data = 0;
    pointer = p::kPtrStatus;
    channel = 0;
    line_low = false;
    busy = false;
  }

  rtl::Duration slot() const {
    return (config & p::kCfg1ws) != 0 ? timing.slot_overdrive : timing.slot;
  }

  // Parameters a command takes, or -1 for a code this chip does not know.
  int parameters(std::uint8_t cmd) const {
    switch (cmd) {
      case p::kCmdDeviceReset:
      case p::kCmdReset:
      case p::kCmdReadByte:
        return 0;
      case p::kCmdSetReadPointer:
      case p::kCmdWriteConfig:
      case p::kCmdSingleBit:
      case p::kCmdWriteByte:
      case p::kCmdTriplet:
        return 1;
      case p::kCmdChannelSelect:
        return channels == 8 ? 1 : -1;
      default:
        return -1;
    }
  }

  bool valid(std::uint8_t cmd, std::uint8_t param) const {
    switch (cmd) {
      case p::kCmdSetReadPointer:
        return param == p::kPtrStatus || param == p::kPtrData || param == p::kPtrConfig ||
               (param == p::kPtrChannel && channels == 8);
      case p::kCmdWriteConfig:
        return (param >> 4) == (~param & 0x0F);
      case p::kCmdChannelSelect:
        return std::find(p::kChannelCode.begin(), p::kChannelCode.end(), param) != p::kChannelCode.end();
      default:
        return true;
    }
  }

  void execute(std::uint8_t cmd, std::uint8_t param, rtl::TimePoint t) {
    switch (cmd) {
      case p::kCmdDeviceReset:
        // Ends whatever the chip was doing.
        power_on();
        return;
      case p::kCmdSetReadPointer:
        pointer = param;
        return;
      case p::kCmdWriteConfig: {
        const auto bits = static_cast<std::uint8_t>(param & 0x0F);
        if (pullup && (bits & p::kCfgSpu) == 0) end_pullup();
        config = bits;
        status = static_cast<std::uint8_t>(status & ~p::kStRst);
        pointer = p::kPtrConfig;
        return;
      }
      case p::kCmdChannelSelect:
        end_pullup();
        channel = static_cast<int>(std::find(p::kChannelCode.begin(), p::kChannelCode.end(), param) -
                                   p::kChannelCode.begin());
        pointer = p::kPtrChannel;
        return;
      default:
        one_wire(cmd, param, t);
    }
  }

  // A command that makes 1-Wire traffic: on the bus now, its results
  // when its time has passed.
  void one_wire(std::uint8_t cmd, std::uint8_t param, rtl::TimePoint t) {
    if (pullup) end_pullup();
    SimBus& b = bus();
    const bool overdrive = (config & p::kCfg1ws) != 0;
    b.set_speed(overdrive ? Speed::kOverdrive : Speed::kNormal);
    next_status = status;
    next_data = data;
    next_line_low = line_low;
    bool spu = false;
    rtl::Duration length{0};
    switch (cmd) {
      case p::kCmdReset: {
        const int r = b.reset();
        next_status = static_cast<std::uint8_t>(next_status & ~(p::kStPpd | p::kStSd));
        if (r == kResetShort) next_status |= p::kStSd;
        if (r == kResetPresence || r == kResetAlarmPresence) next_status |= p::kStPpd;
        next_line_low = r == kResetShort;
        length = overdrive ? timing.reset_overdrive : timing.reset;
        break;
      }
      case p::kCmdSingleBit: {
        const int line = b.touch_bit((param & 0x80) != 0 ? 1 : 0);
        next_status = static_cast<std::uint8_t>((next_status & ~p::kStSbr) | (line != 0 ? p::kStSbr : 0));
        spu = true;
        length = slot();
        break;
      }
      case p::kCmdWriteByte:
        next_data = static_cast<std::uint8_t>(b.touch_byte(param));
        spu = true;
        length = 8 * slot();
        break;
      case p::kCmdReadByte:
        next_data = static_cast<std::uint8_t>(b.touch_byte(0xFF));
        length = 8 * slot();
        break;
      case p::kCmdTriplet: {
        const int id = b.touch_bit(1);
        const int cmp = b.touch_bit(1);
        // Devices that disagree (both 0) take the direction asked for;
        // where they agree the chip follows them, and with no device at
        // all (both 1) it writes a 1.
        const int dir = id != cmp ? id : (id != 0 ? 1 : ((param & 0x80) != 0 ? 1 : 0));
        b.touch_bit(dir);
        next_status = static_cast<std::uint8_t>(next_status & ~(p::kStSbr | p::kStTsb | p::kStDir));
        if (id != 0) next_status |= p::kStSbr;
        if (cmp != 0) next_status |= p::kStTsb;
        if (dir != 0) next_status |= p::kStDir;
        length = 3 * slot();
        break;
      }
      default:
        return;
    }
    if (spu && (config & p::kCfgSpu) != 0) {
      // The devices see the pull-up from the end of the slots on, as they
      // saw the slots: now.
      pullup = true;
      b.strong_pullup(true);
    }
    busy = true;
    busy_until = hang_next ? rtl::TimePoint::max() : t + length;
    hang_next = false;
    pointer = p::kPtrStatus;
    ++stats.commands;
    stats.wire += length;
  }

  std::uint8_t register_at(rtl::TimePoint t) {
    switch (pointer) {
      case p::kPtrData:
        settle(t);
        return data;
      case p::kPtrConfig:
        settle(t);
        return config;
      case p::kPtrChannel:
        return p::kChannelReadBack[static_cast<std::size_t>(channel)];
      default: {
        const std::uint8_t s = status_at(t);
        if ((s & p::kSt1wb) != 0) ++stats.busy_reads;
        return s;
      }
    }
  }
};

namespace {

std::shared_ptr<SimBus> or_empty(std::shared_ptr<SimBus> bus) { return bus ? std::move(bus) : std::make_shared<SimBus>(); }

}  // namespace

Ds2482Emulator::Ds2482Emulator(std::shared_ptr<SimBus> bus, Ds2482Timing timing) : impl_(std::make_unique<Impl>()) {
  impl_->channels = 1;
  for (auto& b : impl_->buses) b = nullptr;
  impl_->buses[0] = or_empty(std::move(bus));
  impl_->timing = timing;
}

Ds2482Emulator::Ds2482Emulator(std::array<std::shared_ptr<SimBus>, 8> channels, Ds2482Timing timing)
    : impl_(std::make_unique<Impl>()) {
  impl_->channels = 8;
  for (std::size_t i = 0; i < 8; ++i) impl_->buses[i] = or_empty(std::move(channels[i]));
  impl_->timing = timing;
}

Ds2482Emulator::~Ds2482Emulator() = default;

int Ds2482Emulator::channels() const { return impl_->channels; }

const std::shared_ptr<SimBus>& Ds2482Emulator::bus(int channel) const {
  const auto i = static_cast<std::size_t>(std::clamp(channel, 0, impl_->channels - 1));
  return impl_->buses[i];
}

std::size_t Ds2482Emulator::write(const std::uint8_t* data, std::size_t n, rtl::TimePoint start, rtl::Duration bit) {
  std::lock_guard lock(impl_->mu);
  Impl& s = *impl_;
  if (n == 0 || data == nullptr) return 0;
  ++s.stats.writes;
  // Byte k of the transfer is acknowledged after START, the address and
  // k + 1 bytes: that is when the chip acts on it.
  const auto acked_at = [&](std::size_t k) { return start + bit * static_cast<std::int64_t>(1 + 9 * (k + 2)); };
  const std::uint8_t cmd = data[0];
  const rtl::TimePoint t0 = acked_at(0);
  const int params = s.parameters(cmd);
  // While a 1-Wire command runs, only Device Reset and Set Read Pointer
  // are taken.
  if (params < 0 || (s.busy_at(t0) && cmd != p::kCmdDeviceReset && cmd != p::kCmdSetReadPointer)) {
    ++s.stats.refused;
    return 0;
  }
  std::size_t acked = 1;
  if (params == 0) {
    s.execute(cmd, 0, t0);
  } else {
    // A command cut off before its parameter does nothing.
    if (n < 2) return 1;
    if (!s.valid(cmd, data[1])) {
      ++s.stats.refused;
      return 1;
    }
    acked = 2;
    const rtl::TimePoint t1 = acked_at(1);
    s.settle(t1);
    s.execute(cmd, data[1], t1);
  }
  // The chip never acknowledges a byte beyond its command.
  if (n > acked) ++s.stats.refused;
  return acked;
}

void Ds2482Emulator::read(std::uint8_t* data, std::size_t n, rtl::TimePoint start, rtl::Duration bit) {
  std::lock_guard lock(impl_->mu);
  Impl& s = *impl_;
  ++s.stats.reads;
  // Byte k is sampled as it leaves, after START, the address and k bytes.
  for (std::size_t k = 0; k < n; ++k)
    data[k] = s.register_at(start + bit * static_cast<std::int64_t>(1 + 9 * (k + 1)));
}

void Ds2482Emulator::power_cycle() {
  std::lock_guard lock(impl_->mu);
  impl_->power_on();
}

void Ds2482Emulator::hang_next_command() {
  std::lock_guard lock(impl_->mu);
  impl_->hang_next = true;
}

std::uint8_t Ds2482Emulator::status(rtl::TimePoint now) {
  std::lock_guard lock(impl_->mu);
  return impl_->status_at(now);
}

std::uint8_t Ds2482Emulator::config() const {
  std::lock_guard lock(impl_->mu);
  return impl_->config;
}

int Ds2482Emulator::channel() const {
  std::lock_guard lock(impl_->mu);
  return impl_->channel;
}

bool Ds2482Emulator::pullup_on() const {
  std::lock_guard lock(impl_->mu);
  return impl_->pullup;
}

Ds2482Stats Ds2482Emulator::stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stats;
}

void Ds2482Emulator::reset_stats() {
  std::lock_guard lock(impl_->mu);
  impl_->stats = Ds2482Stats{};
}

}  // namespace onewire::sim
