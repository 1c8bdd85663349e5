// The DS2490 status-packet and result-code parser, alone and inside the
// backend: arbitrary bytes as status packets, bulk data and transfer
// outcomes. The parser must accept only packets a chip could send; the
// backend must come back from every call (no hang, no crash, no undefined
// behaviour) with a result its contract allows.
//
// Input: a parser round on the first bytes; then, from the back, the
// number of link calls and per call its kind and argument; the rest is
// what the device answers, transfer after transfer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <vector>

#include "harness.hpp"
#include "onewire/ds2490/ds2490_link.hpp"
#include "onewire/errors.hpp"

namespace {

namespace p = onewire::ds2490;

// A device whose every answer comes from the fuzzer: a result code per
// transfer, then the bytes it moves.
class ScriptedUsb final : public p::UsbDevice {
 public:
  explicit ScriptedUsb(std::vector<std::uint8_t> script) : script_(std::move(script)) {}
  int open() override { return next_bool() ? p::kUsbSuccess : p::kUsbErrorNoDevice; }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int set_configuration(int) override { return outcome(); }
  int claim_interface(int) override { return outcome(); }
  int release_interface(int) override { return p::kUsbSuccess; }
  int set_alt_setting(int, int) override { return outcome(); }
  int clear_halt(std::uint8_t) override { return outcome(); }
  int control(std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t, std::uint8_t*, std::uint16_t,
              rtl::Duration) override {
    return outcome();
  }
  int bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred, rtl::Duration) override {
    return move(endpoint == p::kEpFromBus, data, length, transferred);
  }
  int interrupt(std::uint8_t, std::uint8_t* data, int length, int& transferred, rtl::Duration) override {
    return move(true, data, length, transferred);
  }

 private:
  std::uint8_t next() { return pos_ < script_.size() ? script_[pos_++] : 0xFF; }
  bool next_bool() { return (next() & 0x0F) != 0; }
  // Mostly success; sometimes one of the errors libusb has.
  int outcome() {
    static constexpr int kErrors[] = {p::kUsbErrorIo,      p::kUsbErrorNoDevice, p::kUsbErrorTimeout,
                                      p::kUsbErrorPipe,    p::kUsbErrorOverflow, p::kUsbErrorBusy};
    const std::uint8_t b = next();
    if (pos_ >= script_.size()) return p::kUsbErrorNoDevice;  // the script ran out: unplugged
    return b < 0xC0 ? p::kUsbSuccess : kErrors[b % 6];
  }
  int move(bool in, std::uint8_t* data, int length, int& transferred) {
    const int r = outcome();
    const int n = std::min<int>(next() % 40, length);
    transferred = n;
    if (in)
      for (int i = 0; i < n; ++i) data[i] = next();
    return r;
  }

  std::vector<std::uint8_t> script_;
  std::size_t pos_ = 0;
  bool open_ = true;
};

bool allowed_error(int r) {
  // kErrPortBusy: the device's interface is held by another program.
  return r == onewire::kErrAdapterNoResponse || r == onewire::kErrPortIo || r == onewire::kErrBusShort ||
         r == onewire::kErrPortUnavailable || r == onewire::kErrPortBusy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::skip_time();
  FuzzedDataProvider in(data, size);

  // The parser on its own.
  const auto packet = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 40));
  p::Status s;
  const p::StatusError e = p::parse_status(packet.data(), packet.size(), s);
  if (e == p::StatusError::kNone) {
    fuzzing::check(packet.size() >= p::kStatusRegisters && packet.size() <= p::kStatusMax);
    fuzzing::check(s.result_count == packet.size() - p::kStatusRegisters);
    fuzzing::check(s.from_bus <= p::kFifoSize && s.to_bus <= p::kFifoSize && s.command_fifo <= p::kCommandFifoSize);
    fuzzing::check(s.speed <= p::kSpeedOverdrive && (!s.idle() || s.command == 0));
    p::ResultSummary r;
    p::summarise_results(s, r);
    fuzzing::check(r.codes >= 0 && static_cast<std::size_t>(r.codes) <= s.result_count);
  } else {
    fuzzing::check(s.result_count == 0 && s.flags == 0);
  }

  // The backend on a device that answers anything.
  const auto plan = fuzzing::take_plan(in, 24);
  p::Ds2490Options options;
  options.poll_limit = 8;
  p::Ds2490Link link(std::make_unique<ScriptedUsb>(in.ConsumeRemainingBytes<std::uint8_t>()), options);
  fuzzing::LinkRules rules{allowed_error};
  rules.match = true;
  fuzzing::run_plan(link, plan, rules);
  return 0;
}
