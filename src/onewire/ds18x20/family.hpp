// The thermometer families of the 1-Wire bus, told apart by their ROM's
// family code: which model each is, what its scratchpad holds, and which
// commands it takes. Pure facts of the data sheets: no I/O.
//
// Thread safety: pure functions and constants, for any thread at any time.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <string>

namespace onewire::ds18x20 {

// --- family codes ---
inline constexpr std::uint8_t kFamilyDs18s20 = 0x10;
inline constexpr std::uint8_t kFamilyDs1822 = 0x22;
inline constexpr std::uint8_t kFamilyDs18b20 = 0x28;
inline constexpr std::uint8_t kFamilyDs1825 = 0x3B;  // also the MAX31850/51 and MAX31826
inline constexpr std::uint8_t kFamilyDs28ea00 = 0x42;
inline constexpr std::uint8_t kFamilyDs2401 = 0x01;

enum class Model : std::uint8_t {
  kOther = 0,  // a device without a thermometer, or one we do not know
  kDs18s20,
  kDs1822,
  kDs18b20,
  kDs1825,
  kDs28ea00,
};

QVDS_API Model model_of(std::uint8_t family);
// The model as people write it ("DS18B20"); for kOther, "unknown".
QVDS_API const char* model_name(Model model);
// The name of a device by its family code: a thermometer's model, the
// DS2401's, or "family 0xNN".
QVDS_API std::string family_name(std::uint8_t family);

// Families whose scratchpad and function commands are a DS18x20's.
QVDS_API bool is_thermometer(std::uint8_t family);
// Families whose configuration register (byte 4) sets the resolution.
QVDS_API bool has_resolution(std::uint8_t family);
// How many bytes WRITE SCRATCHPAD takes: 3 (TH, TL, configuration), or
// 2 on the DS18S20, which has no configuration register.
QVDS_API int write_scratchpad_length(std::uint8_t family);

}  // namespace onewire::ds18x20
