#include "TMGetDs18x20CountU/block_read.hpp"

#include <algorithm>

#include "IBTMEXPWnew/IBTMEXPWnew.hpp"

namespace {
constexpr std::uint8_t kFamilyDs18b20 = 0x28;
}  // namespace

BlockRead ReadScratchpadInBlocks(std::int32_t session, void* state, std::uint8_t family, bool configure,
                                 std::array<std::uint8_t, 9>& pad) {
  if (configure && family == kFamilyDs18b20) {
    std::array<std::uint8_t, 4> write = {onewire::kWriteScratchpad, 0xFF, 0xFF, 0xFF};
    QvBlockExchange(session, state, onewire::kBlockSelect, write.data(), static_cast<std::int16_t>(write.size()));
  }
  std::array<std::uint8_t, 10> read{};
  read.fill(0xFF);
  read[0] = onewire::kReadScratchpad;
  const std::int16_t r =
      QvBlockExchange(session, state, onewire::kBlockSelect, read.data(), static_cast<std::int16_t>(read.size()));
  if (r == 0) return BlockRead::kNotSelected;
  if (r != 1) return BlockRead::kFailed;
  std::copy(read.begin() + 1, read.end(), pad.begin());
  return BlockRead::kRead;
}
