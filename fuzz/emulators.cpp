// Our adapter emulators against arbitrary host traffic, as a virtual
// adapter meets it from any program on its pseudo-terminal: bytes, breaks,
// closes and flushes in any order, on a bus whose devices and short come
// and go. Nothing may crash, and the answers must stay within what a chip
// can send.
//
// Input: the first byte picks the adapter and the bus; then host bytes,
// except F8..FC, which are events, and FD, which sends the next byte
// as it is.
#include <fuzzer/FuzzedDataProvider.h>

#include "harness.hpp"
#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/ds18x20.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rtl::SkipClock& skip = fuzzing::skip_time();
  FuzzedDataProvider in(data, size);
  const auto setup = in.ConsumeIntegral<std::uint8_t>();
  auto bus = std::make_shared<onewire::sim::SimBus>();
  for (int i = 0; i < (setup & 7); ++i)
    bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(i % 2 != 0 ? 0x10 : 0x28, 0x77 + i * 0x101),
                                                     -20.0 + 9.5 * i));
  const auto kind = (setup & 0x80) != 0 ? onewire::sim::AdapterKind::kPassive : onewire::sim::AdapterKind::kDs2480b;
  auto adapter = onewire::sim::make_adapter_emulator(kind, bus);
  std::vector<std::uint8_t> out;
  while (in.remaining_bytes() > 0) {
    const auto event = in.ConsumeIntegral<std::uint8_t>();
    switch (event) {
      case 0xF8:
        adapter->line_break();
        break;
      case 0xF9:
        adapter->power_cycle();
        break;
      case 0xFA:
        adapter->host_discarded_output();
        break;
      case 0xFB:
        bus->set_short((in.ConsumeIntegral<std::uint8_t>() & 1) != 0);
        break;
      case 0xFC:
        skip.sleep_for(std::chrono::milliseconds(in.ConsumeIntegral<std::uint8_t>() * 4));
        break;
      default: {
        const std::uint8_t byte = event == 0xFD ? in.ConsumeIntegral<std::uint8_t>() : event;
        out.clear();
        adapter->receive(byte, out);
        // One answer per byte, two when a finite strong pull-up ends with
        // it.
        fuzzing::check(out.size() <= 2);
        const auto& t = adapter->last_timing();
        fuzzing::check(t.receive.count() > 0 && t.wire.count() >= 0 && t.answer.count() >= 0);
        const int baud = adapter->baud();
        fuzzing::check(baud == 0 || baud == 9600 || baud == 19200 || baud == 57600 || baud == 115200);
        break;
      }
    }
  }
  return 0;
}
