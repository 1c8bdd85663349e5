#include "onewire/ds18x20/family.hpp"

namespace onewire::ds18x20 {

Model model_of(std::uint8_t family) {
  switch (family) {
    case kFamilyDs18s20: return Model::kDs18s20;
    case kFamilyDs1822: return Model::kDs1822;
    case kFamilyDs18b20: return Model::kDs18b20;
    case kFamilyDs1825: return Model::kDs1825;
    case kFamilyDs28ea00: return Model::kDs28ea00;
    default: return Model::kOther;
  }
}

const char* model_name(Model model) {
  switch (model) {
    case Model::kDs18s20: return "DS18S20";
    case Model::kDs1822: return "DS1822";
    case Model::kDs18b20: return "DS18B20";
    case Model::kDs1825: return "DS1825";
    case Model::kDs28ea00: return "DS28EA00";
    case Model::kOther: break;
  }
  return "unknown";
}

std::string family_name(std::uint8_t family) {
  if (family == kFamilyDs2401) return "DS2401";
  const Model model = model_of(family);
  if (model != Model::kOther) return model_name(model);
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("family 0x") + kHex[family >> 4] + kHex[family & 15];
}

bool is_thermometer(std::uint8_t family) { return model_of(family) != Model::kOther; }

bool has_resolution(std::uint8_t family) { return is_thermometer(family) && family != kFamilyDs18s20; }

int write_scratchpad_length(std::uint8_t family) { return family == kFamilyDs18s20 ? 2 : 3; }

}  // namespace onewire::ds18x20
