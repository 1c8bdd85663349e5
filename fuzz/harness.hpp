// What the fuzz targets share: the clock every wait skips on, the check
// that stops the process on an answer no contract allows, and for the link
// targets the plan of calls read from the input, each call's answer held
// to what the Link contract allows.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "onewire/link.hpp"
#include "rtl/clock.hpp"

namespace fuzzing {

// Stops the process loudly: an answer outside what the contract allows.
inline void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Timeouts and the adapters' settle times cost nothing.
inline rtl::SkipClock& skip_time() {
  static rtl::SkipClock skip;
  rtl::SetClock(&skip);
  return skip;
}

struct Call {
  std::uint8_t kind;
  std::uint8_t arg;
};

// The number of calls (at most `most`), then each call's kind and argument.
inline std::vector<Call> take_plan(FuzzedDataProvider& in, int most) {
  const int calls = in.ConsumeIntegralInRange<int>(0, most);
  std::vector<Call> plan;
  for (int i = 0; i < calls; ++i) {
    const auto kind = in.ConsumeIntegral<std::uint8_t>();
    plan.push_back({kind, in.ConsumeIntegral<std::uint8_t>()});
  }
  return plan;
}

// What one kind of link may answer beyond what every link answers.
struct LinkRules {
  // The errors its calls may fail with.
  bool (*allowed_error)(int r);
  // Search passes whose argument has the top bit set expect a ROM (their
  // slots may go out at once) instead of asking for alarming devices.
  bool expected_rom_passes = false;
  // Only the standard speed is run; the others are refused.
  bool standard_speed_only = false;
  // The plan's calls include match().
  bool match = false;
};

// Opens the link and makes the plan's calls on it: reset, touch_bit,
// touch_byte, search, match (when the rules have it) and set_speed.
inline void run_plan(onewire::Link& link, const std::vector<Call>& plan, const LinkRules& rules) {
  const auto allowed = rules.allowed_error;
  const int opened = link.open();
  check(opened == 1 || allowed(opened));
  if (opened != 1) return;
  const int kinds = rules.match ? 6 : 5;
  for (const auto& [kind, arg] : plan) {
    int r = 0;
    switch (kind % kinds) {
      case 0:
        r = link.reset();
        check((r >= 0 && r <= 3) || allowed(r));
        break;
      case 1:
        r = link.touch_bit(arg & 1);
        check(r == 0 || r == 1 || allowed(r));
        break;
      case 2:
        r = link.touch_byte(arg);
        // A written 0 can never read back as 1.
        check((r >= 0 && (r & ~arg) == 0) || allowed(r));
        break;
      case 3: {
        onewire::SearchPass pass;
        pass.last_discrepancy = arg % 65;
        if (rules.expected_rom_passes && (arg & 0x80) != 0) {
          pass.has_expected = true;
          pass.expected.fill(static_cast<std::uint8_t>(arg * 37));
        } else if (!rules.expected_rom_passes) {
          pass.alarm_only = (arg & 0x80) != 0;
        }
        r = link.search(pass);
        check(r == 0 || r == 1 || allowed(r));
        if (r == 1)
          check(pass.last_zero >= 0 && pass.last_zero <= 64 && pass.last_family_zero >= 0 &&
                pass.last_family_zero <= 8 && pass.last_family_zero <= pass.last_zero);
        break;
      }
      case 4:
        if (rules.match) {
          onewire::Rom rom{};
          rom[0] = arg;
          r = link.match(rom);
          check(r == 0 || r == 1 || allowed(r));
          break;
        }
        [[fallthrough]];
      default:
        r = link.set_speed(static_cast<onewire::Speed>(arg % 3));
        check((rules.standard_speed_only ? r == 0 : r == arg % 3) || allowed(r));
        break;
    }
  }
  link.close();
}

}  // namespace fuzzing
