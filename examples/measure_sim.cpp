// The smallest application of the component: a simulated bus with a
// DS18B20, a DS18S20 and a DS2401 on COM1, one session, one measurement.
// It includes the library as applications do, through the umbrella header
// of the installed include root.
#include <cstdio>
#include <memory>

#include <qvds18x20/qvds18x20.hpp>

int main() {
  using namespace onewire::sim;
  auto bus = std::make_shared<SimBus>();
  bus->add(std::make_shared<Ds18x20>(make_rom(0x28, 0x0416913C6BFF), 21.5));
  bus->add(std::make_shared<Ds18x20>(make_rom(0x10, 0x000802B4A1C3), -3.25));
  bus->add(make_rom_device(make_rom(0x01, 0x00001A2B3C4D)));
  auto driver = std::make_shared<SimDriver>();
  driver->attach(1, bus);
  onewire::InstallDriver(driver);

  TQvDs18x20 sensors(nullptr);
  std::printf("driver: %s\n", sensors.DriverVer().c_str());
  bool done = false;
  int status = 1;
  sensors.OnGetTemp([&](TObject*) {
    for (int i = 0; i < sensors.SensorListCount(); ++i) {
      const TSensor* s = sensors.sensor(i);
      std::printf("%s  %-8s %s\n", s->romstr.c_str(), s->name.c_str(), s->temp.empty() ? "-" : s->temp.c_str());
    }
    status = 0;
  });
  sensors.OnSessionError([&](TObject*) { std::fprintf(stderr, "error: %s\n", sensors.TMEXerror.str().c_str()); });

  sensors.TMEXOpenSession();
  if (!sensors.SesionActive()) return 1;
  sensors.TMEXGetTemp();
  // Serve the main thread until the worker has ended.
  RunMessageLoop([&] {
    done = !sensors.Working();
    return done;
  });
  ProcessMessages();
  sensors.TMEXCloseSession();
  return status;
}
