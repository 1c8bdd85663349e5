// The DS2480B backend against arbitrary adapter answers: detection, then
// a sequence of link calls. Every call must come back (no hang, no crash,
// no undefined behaviour) with a result its contract allows.
//
// Input: the adapter's answers from the front; from the back the rate to
// switch to, the number of calls, and per call its kind and argument.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>

#include "harness.hpp"
#include "onewire/ds2480b/ds2480b_link.hpp"
#include "scripted_port.hpp"

namespace {

bool allowed_error(int r) {
  return r == onewire::kErrAdapterNoResponse || r == onewire::kErrPortIo || r == onewire::kErrBusShort;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::skip_time();
  FuzzedDataProvider in(data, size);
  // 0: the link measures the answer delay and chooses.
  static constexpr std::array<int, 5> kRates = {9600, 19200, 57600, 115200, 0};
  onewire::ds2480b::Ds2480bOptions options;
  options.baud = kRates[in.ConsumeIntegralInRange<std::size_t>(0, 4)];
  options.detect_attempts = 2;
  const auto plan = fuzzing::take_plan(in, 32);
  onewire::ds2480b::Ds2480bLink link(std::make_unique<fuzzing::ScriptedPort>(in.ConsumeRemainingBytes<std::uint8_t>()),
                                     options);
  fuzzing::run_plan(link, plan, {allowed_error});
  return 0;
}
