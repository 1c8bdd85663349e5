#include "onewire/ds2490/ds2490_link.hpp"

#include <array>
#include <cstring>

#include "onewire/commands.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"

namespace onewire::ds2490 {

namespace {

// An attempt failed on the USB side; what to recover from is in Attempt.
constexpr int kFailed = -1000;

std::uint8_t speed_code(Speed s) {
  switch (s) {
    case Speed::kOverdrive:
      return kSpeedOverdrive;
    case Speed::kRelaxed:
      return kSpeedFlexible;
    default:
      return kSpeedRegular;
  }
}

// Hosts enable the strong pull-up (for parasite-powered sensors) and SE
// speed changes; the status byte shows SPUE as bit 0 and SPCE as bit 2.
constexpr std::uint8_t kExpectedEnables = 0x05;

}  // namespace

struct Ds2490Link::Attempt {
  int usb_error = 0;          // the failing transfer's libusb code, 0 for a protocol fault
  std::uint8_t endpoint = 0;  // where it failed (0: the control endpoint)
  bool committed = false;     // the chip took a command that touched the bus

  // Records where the attempt failed: kFailed, for the body to return.
  int failed(int error, std::uint8_t at) {
    usb_error = error;
    endpoint = at;
    return kFailed;
  }
};

Ds2490Link::Ds2490Link(std::unique_ptr<UsbDevice> device, Ds2490Options options)
    : device_(std::move(device)), options_(options) {}

Ds2490Link::~Ds2490Link() { close(); }

const char* Ds2490Link::name() const { return "DS2490 USB 1-Wire adapter (DS9490)"; }

bool Ds2490Link::is_open() const { return open_ && device_ && device_->is_open(); }

int Ds2490Link::open() {
  if (is_open()) return 1;
  close();
  if (!device_) return kErrPortUnavailable;
  // Not there, held by another program, or not ours to use.
  if (const int r = device_->open(); r != kUsbSuccess) {
    note_failure("libusb_open", r);
    return r == kUsbErrorBusy ? kErrPortBusy : kErrPortUnavailable;
  }
  open_ = true;
  recoveries_ = 0;
  int r = configure();
  if (r == 1) r = initialise();
  if (r != 1) {
    close();
    return r;
  }
  if (!options_.port_name.empty()) note_open_success(options_.port_name);
  return 1;
}

void Ds2490Link::note_failure(const char* call, int usb_error) {
  if (options_.port_name.empty()) return;
  OpenFailure f;
  f.call = call;
  f.code = usb_error;
  // libusb's own words for its codes (libusb_strerror).
  switch (usb_error) {
    case kUsbErrorAccess:
      f.problem = OpenProblem::kDenied;
      f.text = "Access denied (insufficient permissions)";
      break;
    case kUsbErrorBusy:
      f.problem = OpenProblem::kBusy;
      f.text = "Resource busy";
      break;
    case kUsbErrorNoDevice:
    case kUsbErrorNotFound:
      f.problem = OpenProblem::kAbsent;
      f.text = usb_error == kUsbErrorNoDevice ? "No such device (it may have been disconnected)" : "Entity not found";
      break;
    default:
      f.problem = OpenProblem::kOther;
      f.text = "libusb error " + std::to_string(usb_error);
  }
  note_open_failure(options_.port_name, std::move(f));
}

void Ds2490Link::close() {
  if (pullup_ && is_open()) release_pullup();
  pullup_ = false;
  if (device_ && device_->is_open()) {
    device_->release_interface(kInterface);
    device_->close();
  }
  open_ = false;
}

int Ds2490Link::configure() {
  // Configuration 1 again resets the interface's alternate setting and
  // data toggles; a kernel that already configured it may refuse, which
  // changes nothing.
  if (device_->set_configuration(1) == kUsbErrorNoDevice) return kErrPortIo;
  if (const int r = device_->claim_interface(kInterface); r != kUsbSuccess) {
    // Busy: another program (owserver, say) has the interface.
    note_failure("libusb_claim_interface", r);
    return r == kUsbErrorNoDevice ? kErrPortIo : r == kUsbErrorBusy ? kErrPortBusy : kErrPortUnavailable;
  }
  if (const int r = device_->set_alt_setting(kInterface, kAltSetting); r != kUsbSuccess)
    return r == kUsbErrorNoDevice ? kErrPortIo : kErrAdapterNoResponse;
  for (std::uint8_t ep : {kEpFromBus, kEpToBus, kEpStatus})
    if (device_->clear_halt(ep) == kUsbErrorNoDevice) return kErrPortIo;
  return 1;
}

// From whatever state a previous user (or a failure) left: reset the chip,
// then the modes, and check in a status packet that it took them.
int Ds2490Link::initialise() {
  const auto timeout = options_.transfer_timeout;
  auto ctl = [&](std::uint8_t request, std::uint16_t value, std::uint16_t index) {
    return device_->control(kVendorOut, request, value, index, nullptr, 0, timeout);
  };
  // The strong pull-up lasts until it is ended (duration 0): the host, not
  // the chip, knows how long a conversion is waited for.
  const std::array<std::array<std::uint16_t, 3>, 5> steps = {{
      {kRequestControl, kCtlResetDevice, 0},
      {kRequestMode, kModePulseEnable, kPulseSpue},
      {kRequestMode, kModePullupDuration, 0},
      {kRequestMode, kModeSpeedChangeEnable, 1},
      {kRequestMode, kModeSpeed, speed_code_},
  }};
  for (const auto& step : steps) {
    const int r = ctl(static_cast<std::uint8_t>(step[0]), step[1], step[2]);
    if (r == kUsbErrorNoDevice) return kErrPortIo;
    if (r < 0) return kErrAdapterNoResponse;
  }
  std::array<std::uint8_t, kStatusMax> buf{};
  int got = 0;
  const int r = read_status(buf, got);
  if (r == kUsbErrorNoDevice) return kErrPortIo;
  Status s;
  if (r != kUsbSuccess || parse_status(buf.data(), static_cast<std::size_t>(got), s) != StatusError::kNone)
    return kErrAdapterNoResponse;
  if (s.enable_flags != kExpectedEnables || s.speed != speed_code_ || s.ep0_overflow())
    return kErrAdapterNoResponse;
  return 1;
}

int Ds2490Link::recover(int usb_error, std::uint8_t endpoint) {
  ++recoveries_;
  // The chip reset below ends any pull-up.
  pullup_ = false;
  if (endpoint != 0 && (usb_error == kUsbErrorPipe || usb_error == kUsbErrorTimeout || usb_error == kUsbErrorOverflow)) {
    if (device_->clear_halt(endpoint) == kUsbErrorNoDevice) return unplugged();
  }
  // One status packet to see the chip's state; whatever it says, the
  // chip is then reset, which ends every kind of confusion.
  std::array<std::uint8_t, kStatusMax> buf{};
  int got = 0;
  const int r = read_status(buf, got);
  if (r == kUsbErrorNoDevice) return unplugged();
  if (r == kUsbErrorPipe) device_->clear_halt(kEpStatus);
  const int init = initialise();
  if (init == kErrPortIo) close();
  return init;
}

template <typename Body>
int Ds2490Link::run(Body&& body) {
  if (!is_open()) return unplugged();
  if (pullup_) {
    if (const int r = release_pullup(); r < 0) return r;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    Attempt a;
    const int r = body(a);
    if (r != kFailed) return r;
    if (a.usb_error == kUsbErrorNoDevice) return unplugged();
    const int recovered = recover(a.usb_error, a.endpoint);
    if (recovered == kErrPortIo) return kErrPortIo;
    // A command that already ran on the bus cannot be run again without
    // changing what the devices see.
    if (recovered != 1 || a.committed) return kErrAdapterNoResponse;
  }
  return kErrAdapterNoResponse;
}

int Ds2490Link::comm(std::uint16_t value, std::uint16_t index, Attempt& a) {
  const int r = device_->control(kVendorOut, kRequestComm, value, index, nullptr, 0, options_.transfer_timeout);
  if (r < 0) {
    a.usb_error = r;
    a.endpoint = 0;
    return kFailed;
  }
  return 1;
}

int Ds2490Link::mode(std::uint16_t value, std::uint16_t index, Attempt& a) {
  const int r = device_->control(kVendorOut, kRequestMode, value, index, nullptr, 0, options_.transfer_timeout);
  if (r < 0) {
    a.usb_error = r;
    return kFailed;
  }
  return 1;
}

int Ds2490Link::send(const std::uint8_t* data, int n, Attempt& a) {
  std::array<std::uint8_t, kFifoSize> copy{};
  std::memcpy(copy.data(), data, static_cast<std::size_t>(n));
  int done = 0;
  const int r = device_->bulk(kEpToBus, copy.data(), n, done, options_.transfer_timeout);
  if (r != kUsbSuccess || done != n) return a.failed(r != kUsbSuccess ? r : kUsbErrorIo, kEpToBus);
  return 1;
}

// Asks for exactly the bytes expected: asking for fewer than the chip
// holds would lose them all.
int Ds2490Link::receive(std::uint8_t* data, int n, Attempt& a) {
  int got = 0;
  const int r = device_->bulk(kEpFromBus, data, n, got, options_.transfer_timeout);
  if (r != kUsbSuccess || got != n) return a.failed(r != kUsbSuccess ? r : kUsbErrorIo, kEpFromBus);
  return 1;
}

int Ds2490Link::unplugged() {
  close();
  return kErrPortIo;
}

int Ds2490Link::read_status(std::array<std::uint8_t, kStatusMax>& buf, int& got) {
  return device_->interrupt(kEpStatus, buf.data(), static_cast<int>(buf.size()), got, options_.transfer_timeout);
}

int Ds2490Link::wait_idle(Attempt& a, Status& last, ResultSummary& results) {
  for (int i = 0; i < options_.poll_limit; ++i) {
    std::array<std::uint8_t, kStatusMax> buf{};
    int got = 0;
    const int r = read_status(buf, got);
    if (r != kUsbSuccess) return a.failed(r, kEpStatus);
    const std::uint8_t* packet = buf.data();
    // Two buffered packets in one read: the second is the current one.
    if (got == static_cast<int>(kStatusMax) && std::memcmp(buf.data(), buf.data() + kStatusRegisters, 8) == 0) {
      Status first;
      if (parse_status(buf.data(), kStatusRegisters, first) == StatusError::kNone) summarise_results(first, results);
      packet += kStatusRegisters;
      got = static_cast<int>(kStatusRegisters);
    }
    if (parse_status(packet, static_cast<std::size_t>(got), last) != StatusError::kNone || last.ep0_overflow() ||
        last.speed != speed_code_) {
      return a.failed(0, kEpStatus);
    }
    summarise_results(last, results);
    if (last.idle()) return 1;
  }
  return a.failed(kUsbErrorTimeout, kEpStatus);
}

int Ds2490Link::wait_result(Attempt& a, ResultSummary& results) {
  Status last;
  if (const int r = wait_idle(a, last, results); r != 1) return r;
  // The result byte may trail the idle flag by a packet.
  for (int extra = 0; results.codes == 0 && extra < 3; ++extra)
    if (const int r = wait_idle(a, last, results); r != 1) return r;
  return 1;
}

int Ds2490Link::reset() {
  return run([&](Attempt& a) -> int {
    // NTF: a result byte every time, so a clean reset is told apart from
    // one whose result has not been polled yet. F: an error flushes the
    // FIFOs, so nothing stale is left in EP3.
    const std::uint16_t value = kCmdReset | kFlagIm | kFlagNtf | kFlagF | kFlagSe;
    if (comm(value, speed_code_, a) != 1) return kFailed;
    ResultSummary res;
    if (wait_result(a, res) != 1) return kFailed;
    if (res.short_circuit) return kResetShort;
    if (res.no_presence) return kResetNoPresence;
    if (res.alarm_presence) return kResetAlarmPresence;
    return kResetPresence;
  });
}

int Ds2490Link::touch_bit(int bit) {
  return run([&](Attempt& a) -> int {
    if (comm(static_cast<std::uint16_t>(kCmdBitIo | kFlagIm | (bit != 0 ? kFlagD : 0)), 0, a) != 1) return kFailed;
    a.committed = true;
    std::uint8_t in = 0;
    if (receive(&in, 1, a) != 1) return kFailed;
    // A bit read is 0 or 1, and the line cannot turn a written 0 into 1.
    if (in > 1 || (bit == 0 && in != 0)) return a.failed(0, kEpFromBus);
    return in;
  });
}

int Ds2490Link::touch_byte(int byte) { return byte_io(byte, false); }

int Ds2490Link::touch_byte_pullup(int byte) { return byte_io(byte, true); }

int Ds2490Link::byte_io(int byte, bool pullup) {
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  return run([&](Attempt& a) -> int {
    // The byte comes back through EP3 the moment it is done (before the
    // pull-up that follows it ends): the bulk read waits for it, so no
    // status poll is needed in between.
    if (comm(kCmdByteIo | kFlagIm | (pullup ? kFlagSpu : 0), value, a) != 1) return kFailed;
    a.committed = true;
    std::uint8_t in = 0;
    if (receive(&in, 1, a) != 1) return kFailed;
    if (pullup) pullup_ = true;
    if ((in & ~value) != 0) return a.failed(0, kEpFromBus);
    return in;
  });
}

int Ds2490Link::end_strong_pullup() {
  if (!pullup_) return 1;
  if (!is_open()) {
    pullup_ = false;
    return kErrPortIo;
  }
  return release_pullup();
}

// HALT EXE IDLE ends a pull-up of infinite duration; RESUME EXE lets the
// chip take commands again. The status then shows SPUA clear within a
// poll or two.
int Ds2490Link::release_pullup() {
  pullup_ = false;
  const auto timeout = options_.transfer_timeout;
  for (std::uint16_t request : {kCtlHaltExeIdle, kCtlResumeExe}) {
    const int r = device_->control(kVendorOut, kRequestControl, request, 0, nullptr, 0, timeout);
    if (r == kUsbErrorNoDevice) return unplugged();
    if (r < 0) return recover(r, 0);
  }
  for (int i = 0; i < options_.poll_limit; ++i) {
    std::array<std::uint8_t, kStatusMax> buf{};
    int got = 0;
    const int r = read_status(buf, got);
    if (r == kUsbErrorNoDevice) return unplugged();
    // A packet buffered from before the halt only costs one more poll.
    Status st;
    if (r != kUsbSuccess || parse_status(buf.data(), static_cast<std::size_t>(got), st) != StatusError::kNone)
      return recover(r != kUsbSuccess ? r : 0, kEpStatus);
    if (!st.pullup_active() && !st.halted()) return 1;
  }
  // A chip that keeps its pull-up is reset, which ends it for sure.
  return recover(kUsbErrorTimeout, kEpStatus);
}

int Ds2490Link::search(SearchPass& pass) {
  // The start ROM: the pass's branch at every bit; the chip takes its
  // bits only at the discrepancies it meets.
  SearchWalk start;
  for (int i = 1; i <= 64; ++i) start.take(i, search_branch(pass, i), false);
  const std::uint8_t command = search_command(pass.alarm_only);
  return run([&](Attempt& a) -> int {
    if (send(start.rom.data(), 8, a) != 1) return kFailed;
    // One ROM per command; RTS brings the discrepancies of the pass when
    // more devices are left.
    const std::uint16_t value = kCmdSearchAccess | kFlagSm | kFlagRts | kFlagF | kFlagRst | kFlagIm;
    if (comm(value, static_cast<std::uint16_t>(0x0100 | command), a) != 1) return kFailed;
    Status s;
    ResultSummary res;
    if (wait_idle(a, s, res) != 1) return kFailed;
    if (res.short_circuit) return kErrBusShort;
    if (res.no_presence || s.from_bus == 0) return 0;
    if (s.from_bus != 8 && s.from_bus != 16) return a.failed(0, kEpFromBus);
    std::array<std::uint8_t, 16> in{};
    if (receive(in.data(), s.from_bus, a) != 1) return kFailed;
    Rom rom{};
    Rom discrepancies{};
    std::memcpy(rom.data(), in.data(), 8);
    if (s.from_bus == 16) std::memcpy(discrepancies.data(), in.data() + 8, 8);
    SearchWalk walk;
    for (int i = 1; i <= 64; ++i) walk.take(i, rom_bit(rom, i), rom_bit(discrepancies, i) != 0);
    walk.finish(pass);
    return 1;
  });
}

int Ds2490Link::match(const Rom& rom) {
  return run([&](Attempt& a) -> int {
    if (send(rom.data(), 8, a) != 1) return kFailed;
    if (comm(kCmdMatchAccess | kFlagRst | kFlagNtf | kFlagIm, 0x0055, a) != 1) return kFailed;
    ResultSummary res;
    if (wait_result(a, res) != 1) return kFailed;
    if (res.short_circuit) return kErrBusShort;
    if (res.no_presence) return 0;
    return 1;
  });
}

int Ds2490Link::set_speed(Speed speed) {
  const std::uint8_t code = speed_code(speed);
  return run([&](Attempt& a) -> int {
    if (mode(kModeSpeed, code, a) != 1) return kFailed;
    speed_code_ = code;
    return static_cast<int>(speed);
  });
}

}  // namespace onewire::ds2490
