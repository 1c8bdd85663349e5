// The emulated DS2490's USB transfers: each served at its USB frame, with
// the chip's registers, FIFOs and results advanced to that time.
#include "onewire/sim/ds2490_emulator.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "onewire/sim/ds2490_state.hpp"

namespace onewire::sim {

namespace p = onewire::ds2490;

void Ds2490Emulator::Impl::power_on() {
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

// Lets time run to `now`: bus work that has finished shows its EP3
// bytes (as far as the FIFO has room), results and idle state.
void Ds2490Emulator::Impl::advance(rtl::TimePoint now) {
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

void Ds2490Emulator::Impl::post(std::uint8_t result, bool flush_on_error) {
  if (results.size() < 64) results.push_back(result);
  // EOS only says that fewer ROMs were there than asked for; the ROMs
  // found stay.
  if (flush_on_error && (result & ~p::kResultEos) != 0 && result != p::kResultDeviceArrived) {
    waiting.clear();
    ep2.clear();
    ep3.clear();
  }
}

bool Ds2490Emulator::Impl::pulse_running(rtl::TimePoint now) const {
  if (engine.empty()) return false;
  const Running& r = engine.front();
  return r.pullup && now >= r.data_at && (r.infinite || now < r.end_at);
}

std::size_t Ds2490Emulator::Impl::fifo_bytes(rtl::TimePoint now) const {
  std::size_t n = 0;
  for (const auto& c : waiting) n += c.cost;
  for (const auto& r : engine)
    if (r.start > now) n += r.cost;
  return n;
}

std::array<std::uint8_t, p::kStatusRegisters> Ds2490Emulator::Impl::registers(rtl::TimePoint now) const {
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
  s.trace.note("ctrl %02X %02X %04X %04X len %u -> %d", request_type, request, value, index, length, r);
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
    s.trace.note("bulk out %d -> %d (EP2 %zu)", length, k, s.ep2.size());
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
    rtl::TimePoint ready = Impl::kNever;
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
    const rtl::TimePoint done = ready == Impl::kNever ? Impl::kNever : s.next_frame(std::max(wait_from, ready));
    if (done > deadline) {
      s.clock().sleep_until(deadline);
      std::lock_guard lock(s.mu);
      s.account(wait_from, deadline);
      s.trace.note("bulk in %d -> timeout after %d", length, transferred);
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
        s.trace.note("bulk in %d -> overflow after %d", length, transferred);
        return ds2490::kUsbErrorOverflow;
      }
      for (std::size_t i = 0; i < packet; ++i) {
        data[transferred++] = s.ep3.front();
        s.ep3.pop_front();
      }
      if (packet < packet_size || transferred == length) {
        s.trace.note("bulk in %d -> %d", length, transferred);
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
    if (done > issue + timeout) done = Impl::kNever;
    else s.account(issue, done);
  }
  if (done == Impl::kNever) {
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
  if (s.trace.on()) {
    std::string hex;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(b, sizeof b, "%02X ", data[i]);
      hex += b;
    }
    s.trace.note("status %s", hex.c_str());
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
  impl_->trace.set(std::move(trace));
}

}  // namespace onewire::sim
