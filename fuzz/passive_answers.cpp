// The passive backend against arbitrary echoes: the probe at open, then a
// sequence of link calls (searches included, bit by bit). Every call must
// come back with a result its contract allows.
//
// Input: the echoes from the front; from the back the number of calls and
// per call its kind and argument.
#include <fuzzer/FuzzedDataProvider.h>

#include "harness.hpp"
#include "onewire/passive/passive_link.hpp"
#include "scripted_port.hpp"

namespace {

bool allowed_error(int r) {
  return r == onewire::kErrAdapterNoResponse || r == onewire::kErrPortIo || r == onewire::kErrBusShort ||
         r == onewire::kErrSpeed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzing::skip_time();
  FuzzedDataProvider in(data, size);
  const auto plan = fuzzing::take_plan(in, 32);
  onewire::passive::PassiveLink link(std::make_unique<fuzzing::ScriptedPort>(in.ConsumeRemainingBytes<std::uint8_t>()));
  fuzzing::LinkRules rules{allowed_error};
  // Half the passes expect a ROM, whose slots then go out at once; the
  // adapter runs the standard speed alone.
  rules.expected_rom_passes = true;
  rules.standard_speed_only = true;
  fuzzing::run_plan(link, plan, rules);
  return 0;
}
