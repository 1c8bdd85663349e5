// Home Assistant's poll against an owserver-protocol server: twenty
// DS18B20/DS18S20 temperatures asked for at once, each on a connection of
// its own (PARALLEL_UPDATES = 0, pyownet's stateless proxy, flags 0),
// against `qvds18x20 serve` and against OWFS's owserver, both on the same
// emulated DS2480B bus: `qvds18x20 sim-adapter` answers on a
// pseudo-terminal as the chip would, with real serial and 1-Wire timing,
// and each server opens it as its adapter.
//
// Home Assistant polls every 30 s, past owserver's 15 s cache and serve's
// 2 s poll window, so every poll converts; the reads here go through
// /uncached/ to get the same without waiting 30 s between polls. A first
// poll, not timed, lets each server find the bus.
//
// Counters per poll: elapsed_ms (real time from the first request to the
// last answer), slowest_ms (the longest a single read waited) and pings
// (keep-alive pings the clients skipped). At the end both times are
// printed side by side. Skipped when owserver, owdir or the tool is not
// there.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "measurement_rig.hpp"
#include "posix/owserver_comparison.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSensors = 20;

std::map<std::string, double> g_poll_ms;  // by server, the mean of its polls

std::string tool_path() { return QVDS_TOOL_PATH; }

void put_word(std::string& out, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((u >> shift) & 0xFF));
}
std::int32_t word_at(const unsigned char* p) {
  return static_cast<std::int32_t>((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                   (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]});
}

bool read_exactly(int fd, unsigned char* buf, std::size_t n, Clock::time_point deadline) {
  std::size_t got = 0;
  while (got < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  return true;
}

struct ReadResult {
  std::string value;  // empty on failure
  int pings = 0;
  double ms = 0;
};

// One READ on a connection of its own, as pyownet's stateless proxy does.
ReadResult read_once(int port, const std::string& path) {
  ReadResult result;
  const auto start = Clock::now();
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::string request;
    const std::string payload = path + std::string(1, '\0');
    for (const std::int32_t w : {0, static_cast<std::int32_t>(payload.size()), 2, 0, 65536, 0}) put_word(request, w);
    request += payload;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      const auto deadline = start + std::chrono::seconds(120);
      std::array<unsigned char, 24> head{};
      while (read_exactly(fd, head.data(), head.size(), deadline)) {
        const std::int32_t payload_bytes = word_at(head.data() + 4);
        const std::int32_t ret = word_at(head.data() + 8);
        if (payload_bytes < 0) {
          ++result.pings;
          continue;
        }
        std::string data(static_cast<std::size_t>(payload_bytes), '\0');
        if (payload_bytes > 0 &&
            !read_exactly(fd, reinterpret_cast<unsigned char*>(data.data()), data.size(), deadline))
          break;
        if (ret > 0) result.value = data.substr(0, static_cast<std::size_t>(ret));
        break;
      }
    }
  }
  ::close(fd);
  result.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return result;
}

// A server on its own emulated DS2480B; stopped with the object.
struct Served {
  std::string dir;
  int port = 0;
  std::string why;  // why it did not come up
  bool up() const { return why.empty(); }

  explicit Served(bool ours) {
    const std::string tool = tool_path();
    dir = std::string("/tmp/qvds-bench-owserver-") + (ours ? "serve" : "owserver") + "-" + std::to_string(::getpid());
    bench::run("mkdir -p " + dir + " && : >" + dir + "/owfs.conf");
    {
      std::ofstream f(dir + "/devices.json");
      f << "{\"devices\": [";
      for (int i = 0; i < kSensors; ++i) {
        const auto rom = bench::sensor_rom(i);
        char serial[16];
        std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X%02X%02X", rom[6], rom[5], rom[4], rom[3], rom[2],
                      rom[1]);
        f << (i ? "," : "") << "{\"type\": \"" << (rom[0] == 0x10 ? "DS18S20" : "DS18B20") << "\", \"serial\": \""
          << serial << "\", \"celsius\": " << bench::sensor_celsius(i) << "}";
      }
      f << "]}\n";
    }
    bench::run(tool + " sim-adapter --type ds2480b --realtime --devices " + dir + "/devices.json >" + dir +
               "/adapter.out 2>&1 & echo $! >" + dir + "/adapter.pid");
    std::string pty;
    for (int i = 0; i < 100 && pty.empty(); ++i) {
      std::ifstream in(dir + "/adapter.out");
      std::getline(in, pty);
      if (pty.rfind("/dev/", 0) != 0) {
        pty.clear();
        bench::run("sleep 0.1");
      }
    }
    if (pty.empty()) {
      why = "sim-adapter printed no pseudo-terminal";
      return;
    }
    port = 30000 + (::getpid() + (ours ? 0 : 7)) % 20000;
    const std::string at = "127.0.0.1:" + std::to_string(port);
    const std::string command =
        ours ? tool + " serve --port " + pty + " --adapter ds2480b --owserver " + at
             : "owserver -c " + dir + "/owfs.conf --device=" + pty + " -p " + at + " --foreground --error_level=0";
    bench::run(command + " >" + dir + "/server.log 2>&1 & echo $! >" + dir + "/server.pid");
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    bool listed = false;
    while (!listed && Clock::now() < deadline)
      listed = bench::run("owdir -s " + at + " / 2>/dev/null | grep -q '^/28\\.'") == 0 || (bench::run("sleep 0.2"), false);
    if (!listed) why = "the server did not list the sensors (" + dir + "/server.log)";
  }

  ~Served() {
    bench::run("kill $(cat " + dir + "/server.pid) 2>/dev/null; sleep 0.5; kill -INT $(cat " + dir +
               "/adapter.pid) 2>/dev/null; sleep 0.5; rm -rf " + dir);
  }
};

// Every sensor at once; false (with the reason) when a read failed or
// gave another value than the simulated one.
bool poll(int port, double& slowest, int& pings, std::string& why) {
  std::vector<std::future<ReadResult>> reads;
  for (int i = 0; i < kSensors; ++i)
    reads.push_back(std::async(std::launch::async, [port, i] {
      return read_once(port, "/uncached/" + bench::owfs_id(bench::sensor_rom(i)) + "/temperature");
    }));
  bool ok = true;
  for (int i = 0; i < kSensors; ++i) {
    const ReadResult r = reads[static_cast<std::size_t>(i)].get();
    slowest = std::max(slowest, r.ms);
    pings += r.pings;
    const double want = bench::sensor_celsius(i);
    if (r.value.empty() || std::abs(std::atof(r.value.c_str()) - want) > 0.001) {
      why = bench::owfs_id(bench::sensor_rom(i)) + " read \"" + r.value + "\"";
      ok = false;
    }
  }
  return ok;
}

void BM_HomeAssistantPoll(benchmark::State& state, const std::string& name, bool ours) {
  if (tool_path().empty() || bench::run("command -v owdir >/dev/null") != 0 ||
      (!ours && bench::run("command -v owserver >/dev/null") != 0)) {
    state.SkipWithError("the tool, owdir or owserver is not there");
    return;
  }
  Served server(ours);
  if (!server.up()) {
    state.SkipWithError(server.why.c_str());
    return;
  }
  double slowest = 0;
  int pings = 0;
  std::string why;
  if (!poll(server.port, slowest, pings, why)) {
    state.SkipWithError(("first poll: " + why).c_str());
    return;
  }
  double total = 0;
  slowest = 0;
  pings = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const bool ok = poll(server.port, slowest, pings, why);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(seconds);
    total += seconds;
    if (!ok) {
      state.SkipWithError(why.c_str());
      return;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["elapsed_ms"] = total / n * 1000;
  state.counters["slowest_ms"] = slowest;
  state.counters["pings"] = pings / n;
  g_poll_ms[name] = total / n * 1000;
}

BENCHMARK_CAPTURE(BM_HomeAssistantPoll, qvds18x20_serve, std::string("qvds18x20 serve"), true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK_CAPTURE(BM_HomeAssistantPoll, owserver, std::string("owserver"), false)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!g_poll_ms.empty()) {
    std::printf("\nHome Assistant's poll of %d sensors on one emulated DS2480B bus:\n", kSensors);
    for (const char* name : {"qvds18x20 serve", "owserver"}) {
      const auto it = g_poll_ms.find(name);
      if (it != g_poll_ms.end()) std::printf("  %-16s %8.0f ms\n", name, it->second);
      else std::printf("  %-16s %8s\n", name, "skipped");
    }
  }
  return 0;
}
