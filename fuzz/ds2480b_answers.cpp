// The DS2480B backend against arbitrary adapter answers: detection, then
// a sequence of link calls. Every call must come back (no hang, no crash,
// no undefined behaviour) with a result its contract allows.
//
// Input: the adapter's answers from the front; from the back the rate to
// switch to, the number of calls, and per call its kind and argument.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>

#include "onewire/ds2480b/ds2480b_link.hpp"
#include "scripted_port.hpp"

namespace {

bool allowed_error(int r) {
  return r == onewire::kErrAdapterNoResponse || r == onewire::kErrPortIo || r == onewire::kErrBusShort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Timeouts and the chip's settle times cost nothing.
  static rtl::SkipClock skip;
  rtl::SetClock(&skip);
  FuzzedDataProvider in(data, size);
  // 0: the link measures the answer delay and chooses.
  static constexpr std::array<int, 5> kRates = {9600, 19200, 57600, 115200, 0};
  onewire::ds2480b::Ds2480bOptions options;
  options.baud = kRates[in.ConsumeIntegralInRange<std::size_t>(0, 4)];
  options.detect_attempts = 2;
  const int calls = in.ConsumeIntegralInRange<int>(0, 32);
  std::vector<std::pair<std::uint8_t, std::uint8_t>> plan;
  for (int i = 0; i < calls; ++i) {
    const auto kind = in.ConsumeIntegral<std::uint8_t>();
    plan.emplace_back(kind, in.ConsumeIntegral<std::uint8_t>());
  }
  onewire::ds2480b::Ds2480bLink link(std::make_unique<fuzzing::ScriptedPort>(in.ConsumeRemainingBytes<std::uint8_t>()),
                                     options);
  const int opened = link.open();
  fuzzing::check(opened == 1 || allowed_error(opened));
  if (opened != 1) return 0;
  for (const auto& [kind, arg] : plan) {
    int r = 0;
    switch (kind % 5) {
      case 0:
        r = link.reset();
        fuzzing::check((r >= 0 && r <= 3) || allowed_error(r));
        break;
      case 1:
        r = link.touch_bit(arg & 1);
        fuzzing::check(r == 0 || r == 1 || allowed_error(r));
        break;
      case 2:
        r = link.touch_byte(arg);
        // A written 0 can never read back as 1.
        fuzzing::check((r >= 0 && (r & ~arg) == 0) || allowed_error(r));
        break;
      case 3: {
        onewire::SearchPass pass;
        pass.last_discrepancy = arg % 65;
        pass.alarm_only = (arg & 0x80) != 0;
        r = link.search(pass);
        fuzzing::check(r == 0 || r == 1 || allowed_error(r));
        if (r == 1)
          fuzzing::check(pass.last_zero >= 0 && pass.last_zero <= 64 && pass.last_family_zero >= 0 &&
                         pass.last_family_zero <= 8 && pass.last_family_zero <= pass.last_zero);
        break;
      }
      default:
        r = link.set_speed(static_cast<onewire::Speed>(arg % 3));
        fuzzing::check(r == arg % 3 || allowed_error(r));
        break;
    }
  }
  link.close();
  return 0;
}
