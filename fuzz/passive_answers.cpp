// The passive backend against arbitrary echoes: the probe at open, then a
// sequence of link calls (searches included, bit by bit). Every call must
// come back with a result its contract allows.
//
// Input: the echoes from the front; from the back the number of calls and
// per call its kind and argument.
#include <fuzzer/FuzzedDataProvider.h>

#include "onewire/passive/passive_link.hpp"
#include "scripted_port.hpp"

namespace {

bool allowed_error(int r) {
  return r == onewire::kErrAdapterNoResponse || r == onewire::kErrPortIo || r == onewire::kErrBusShort ||
         r == onewire::kErrSpeed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static rtl::SkipClock skip;
  rtl::SetClock(&skip);
  FuzzedDataProvider in(data, size);
  const int calls = in.ConsumeIntegralInRange<int>(0, 32);
  std::vector<std::pair<std::uint8_t, std::uint8_t>> plan;
  for (int i = 0; i < calls; ++i) {
    const auto kind = in.ConsumeIntegral<std::uint8_t>();
    plan.emplace_back(kind, in.ConsumeIntegral<std::uint8_t>());
  }
  onewire::passive::PassiveLink link(std::make_unique<fuzzing::ScriptedPort>(in.ConsumeRemainingBytes<std::uint8_t>()));
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
        fuzzing::check((r >= 0 && (r & ~arg) == 0) || allowed_error(r));
        break;
      case 3: {
        onewire::SearchPass pass;
        pass.last_discrepancy = arg % 65;
        // Half the passes expect a ROM, whose slots then go out at once.
        if ((arg & 0x80) != 0) {
          pass.has_expected = true;
          pass.expected.fill(static_cast<std::uint8_t>(arg * 37));
        }
        r = link.search(pass);
        fuzzing::check(r == 0 || r == 1 || allowed_error(r));
        if (r == 1) fuzzing::check(pass.last_zero >= 0 && pass.last_zero <= 64 && pass.last_family_zero <= 8);
        break;
      }
      default:
        r = link.set_speed(static_cast<onewire::Speed>(arg % 3));
        fuzzing::check(r == 0 || allowed_error(r));
        break;
    }
  }
  link.close();
  return 0;
}
