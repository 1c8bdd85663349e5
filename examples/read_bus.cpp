// Every thermometer of one bus, read through the bus engine: plain calls
// that return values, no message loop and no events.
//
//   read_bus                        the simulated bus (three demonstration devices)
//   read_bus ds2480b /dev/ttyUSB0   a real adapter: passive, ds2480b, usb, ds2482, w1 or auto
#include <chrono>
#include <cstdio>
#include <memory>

#include <qvds18x20/qvds18x20.hpp>

namespace {

// A bus of the simulator that ships with the library.
qvds::Result<qvds::Bus> simulated_bus() {
  using namespace onewire::sim;
  auto bus = std::make_shared<SimBus>();
  bus->add(std::make_shared<Ds18x20>(make_rom(0x28, 0x0416913C6BFF), 21.5));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x10, 0x000802B4A1C3), -3.25));
  bus->add(make_rom_device(make_rom(0x01, 0x00001A2B3C4D)));
  return qvds::Bus::adopt(std::make_unique<SimLink>(bus), "simulated bus");
}

}  // namespace

int main(int argc, char** argv) {
  qvds::Result<qvds::Bus> bus = argc == 3 ? qvds::Bus::open(argv[1], argv[2]) : simulated_bus();
  if (!bus) {
    std::fprintf(stderr, "cannot open the bus: %s\n", bus.message().c_str());
    return 1;
  }
  qvds::CallOptions call;
  call.timeout = std::chrono::seconds(10);
  // One conversion on every sensor at once, then each one's scratchpad.
  const qvds::Result<qvds::Measurement> m = bus->measure({}, call);
  if (!m) {
    std::fprintf(stderr, "%s: %s\n", bus->name().c_str(), m.message().c_str());
    return 1;
  }
  for (const qvds::Reading& r : m->readings) {
    const std::string rom = qvds::format_rom(r.rom, qvds::RomForm::kOwfs);
    if (r.ok())
      std::printf("%s  %-8s %9.4f\n", rom.c_str(), qvds::model_name(r.model), *r.celsius);
    else if (r.status != qvds::ReadStatus::kNoThermometer)
      std::printf("%s  %-8s not read: %s\n", rom.c_str(), qvds::model_name(r.model), r.reason.c_str());
  }
  return m->read_count() > 0 ? 0 : 1;
}
