// The comparison the USB and I2C benchmarks share: OWFS's owserver reading
// the rig's sensors through one of the tool's stand-ins, one owread of an
// uncached temperature per sensor (owserver converts and waits itself,
// 750 ms each). Skipped when owserver or the tool is not there.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../measurement_rig.hpp"

namespace bench {

inline int run(const std::string& command) { return std::system(command.c_str()); }

inline std::string owfs_id(const onewire::Rom& rom) {
  char id[32];
  std::snprintf(id, sizeof id, "%02X.%02X%02X%02X%02X%02X%02X", rom[0], rom[1], rom[2], rom[3], rom[4], rom[5], rom[6]);
  return id;
}

// `tool` is the tool's path, `stand_in` its command that puts the sensors
// behind an emulated adapter (sim-usb, sim-i2c), `owserver_bus` owserver's
// option that opens that adapter; `name` tells the scratch folder apart.
inline void time_owserver(benchmark::State& state, const std::string& tool, const std::string& name,
                          const std::string& stand_in, const std::string& owserver_bus, int sensors) {
  if (tool.empty() || run("command -v owserver >/dev/null && command -v owread >/dev/null") != 0) {
    state.SkipWithError("owserver/owread or the tool are not there");
    return;
  }
  const std::string dir = "/tmp/qvds-bench-" + name + "-" + std::to_string(::getpid());
  run("mkdir -p " + dir);
  {
    std::ofstream f(dir + "/devices.json");
    f << "{\"devices\": [";
    for (int i = 0; i < sensors; ++i) {
      const auto rom = sensor_rom(i);
      char serial[16];
      std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", rom[6], rom[5], rom[4], rom[3], rom[2], rom[1]);
      f << (i ? "," : "") << "{\"type\": \"" << (rom[0] == 0x10 ? "DS18S20" : "DS18B20") << "\", \"serial\": \"" << serial
        << "\", \"celsius\": " << sensor_celsius(i) << "}";
    }
    f << "]}\n";
  }
  const std::string port = std::to_string(30000 + ::getpid() % 20000);
  run(tool + " " + stand_in + " --devices " + dir + "/devices.json -- owserver " + owserver_bus + " -p 127.0.0.1:" +
      port + " --foreground --error_level=0 >" + dir + "/owserver.log 2>&1 & echo $! >" + dir + "/pid");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool up = false;
  while (!up && std::chrono::steady_clock::now() < deadline)
    up = run("owdir -s 127.0.0.1:" + port + " / 2>/dev/null | grep -q '^/28\\.'") == 0 || (run("sleep 0.2"), false);
  // One owread per sensor: a single request for all of them can outlast
  // the client's network deadline, since owserver converts them one by one.
  std::vector<std::string> reads;
  for (int i = 0; i < sensors; ++i)
    reads.push_back("owread -s 127.0.0.1:" + port + " /uncached/" + owfs_id(sensor_rom(i)) + "/temperature >>" + dir +
                    "/owread.out 2>&1");
  if (!up) {
    state.SkipWithError("owserver did not come up");
  } else {
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      bool ok = true;
      for (const auto& r : reads) ok = ok && run(r) == 0;
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!ok) {
        std::ifstream out(dir + "/owread.out");
        std::string text((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
        state.SkipWithError(("owread failed: " + text).c_str());
        break;
      }
    }
  }
  run("kill $(cat " + dir + "/pid) 2>/dev/null; sleep 0.5; rm -rf " + dir);
}

}  // namespace bench
