// The owserver protocol's server over a simulated bus, driven by a raw
// socket client: what each message type answers, the flags it honours,
// reads that share one conversion, values that are no measurement given
// as errors, settings written to EEPROM, persistence, keep-alive pings,
// and the bounds that keep a slow or hostile client from the others.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/sim/sim_link.hpp"
#include "qvds/bus.hpp"
#include "qvds18x20/net/event_loop.hpp"
#include "qvds18x20/owserver/bus_hub.hpp"
#include "qvds18x20/owserver/handler.hpp"
#include "qvds18x20/owserver/names.hpp"
#include "qvds18x20/owserver/server.hpp"
#include "qvds18x20/owserver/wire.hpp"
#include "qvds18x20/publish/engines.hpp"
#include "qvds18x20/publish/metrics.hpp"
#include "rtl/clock.hpp"
#include "support/sim_bus_builder.hpp"
#include "support/step_clock.hpp"

namespace {

using namespace std::chrono_literals;
using namespace qvtool::owserver;
using onewire::sim::make_rom;
using Clock = std::chrono::steady_clock;

struct Message {
  Header h;
  std::string data;
  std::string text() const { return data.substr(0, static_cast<std::size_t>(std::max(0, h.size))); }
};

// A client that speaks the protocol byte by byte, as the tests need it.
class Client {
 public:
  explicit Client(unsigned short port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { ::close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  void raw(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }
  void request(std::int32_t type, const std::string& path, std::int32_t flags = 0, std::int32_t size = 65536,
               std::int32_t offset = 0, const std::string& value = "", std::int32_t version = 0,
               const std::string& tokens = "") {
    std::string payload = path + std::string(1, '\0') + value;
    Header h{version, static_cast<std::int32_t>(payload.size()), type, flags,
             type == kMsgWrite ? static_cast<std::int32_t>(value.size()) : size, offset};
    const auto head = encode_header(h);
    raw(std::string(reinterpret_cast<const char*>(head.data()), head.size()) + payload + tokens);
  }
  void half_close() { ::shutdown(fd_, SHUT_WR); }

  // Exactly `n` bytes, or nothing when the connection ends or the time
  // runs out first.
  std::optional<std::string> read_bytes(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = Clock::now() + timeout;
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[65536];
      const ssize_t got = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) return std::nullopt;
      out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
  }
  std::optional<Message> message(std::chrono::milliseconds timeout = 10s) {
    const auto head = read_bytes(kHeaderSize, timeout);
    if (!head) return std::nullopt;
    Message m;
    m.h = decode_header(reinterpret_cast<const std::uint8_t*>(head->data()));
    if (m.h.payload > 0) {
      auto body = read_bytes(static_cast<std::size_t>(m.h.payload), timeout);
      if (!body) return std::nullopt;
      m.data = *body;
    }
    return m;
  }
  // The next message that is not a ping; `pings` counts those before it.
  std::optional<Message> answer(int* pings = nullptr, std::chrono::milliseconds timeout = 10s) {
    for (;;) {
      auto m = message(timeout);
      if (!m || m->h.payload >= 0) return m;
      if (pings != nullptr) ++*pings;
    }
  }
  // Whether the server ended the connection within `timeout`.
  bool ended(std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
      if (got <= 0) return true;
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A server on a simulated bus, as serve runs it.
struct OwserverServer : ::testing::Test {
  testing_support::StepClock clock;
  rtl::ClockGuard guard{clock};
  testing_support::SimBusBuilder b;
  std::shared_ptr<onewire::sim::SimBus> sim;
  qvds::Bus bus;
  std::shared_ptr<qvtool::net::EventLoop> loop;
  std::unique_ptr<BusHub> hub;
  std::unique_ptr<Handler> handler;
  std::unique_ptr<Server> server;
  unsigned short port = 0;

  void serve(ServerOptions so = {}, HubOptions ho = {}, bool start = true) {
    sim = b.build();
    auto opened = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(sim), "sim");
    ASSERT_TRUE(opened.ok()) << opened.message();
    bus = std::move(*opened);
    loop = std::make_shared<qvtool::net::EventLoop>();
    qvtool::net::EventLoop* l = loop.get();
    hub = std::make_unique<BusHub>(
        std::vector<qvds::Bus*>{&bus}, [l](std::function<void()> f) { l->post(std::move(f)); },
        [l](std::chrono::milliseconds d, std::function<void()> f) { l->post_after(d, std::move(f)); }, ho);
    ServerInfo info;
    info.version = "test";
    info.pid = 4321;
    info.timeouts = {{"volatile", 2}};
    handler = std::make_unique<Handler>(*hub, info);
    server = std::make_unique<Server>(loop->context(), *handler, "127.0.0.1", "0", so);
    port = server->port();
    if (start) loop->start();
  }

  void TearDown() override {
    if (loop) loop->stop();
    server.reset();
    bus.close();
    handler.reset();
    hub.reset();
  }

  std::size_t conversions() {
    std::size_t n = 0;
    loop->run_sync([&] { n = hub->conversions(); });
    return n;
  }
  std::size_t connections() {
    std::size_t n = 0;
    loop->run_sync([&] { n = server->connections(); });
    return n;
  }

  // One request on a connection of its own, and its answer.
  Message ask(std::int32_t type, const std::string& path, std::int32_t flags = 0, std::int32_t size = 65536,
              const std::string& value = "") {
    Client c(port);
    EXPECT_TRUE(c.connected());
    c.request(type, path, flags, size, 0, value);
    auto m = c.answer();
    EXPECT_TRUE(m.has_value()) << path;
    return m.value_or(Message{});
  }
  std::string read(const std::string& path, std::int32_t flags = 0) {
    const Message m = ask(kMsgRead, path, flags);
    EXPECT_GE(m.h.type, 0) << path << ": " << m.h.type;
    EXPECT_EQ(m.h.type, m.h.size) << path;
    EXPECT_EQ(m.h.payload, m.h.size) << path;
    return m.text();
  }
  int error(std::int32_t type, const std::string& path, std::int32_t flags = 0, std::int32_t size = 65536,
            const std::string& value = "") {
    const Message m = ask(type, path, flags, size, value);
    EXPECT_EQ(m.h.payload, 0) << path;
    return m.h.type;
  }
};

std::string name(std::uint8_t family, std::uint64_t serial) {
  // Built by appending: GCC 12 warns wrongly on "/" + std::string when it
  // optimises.
  std::string path = "/";
  path += device_name(make_rom(family, serial), NameFormat::kFdI);
  return path;
}

TEST_F(OwserverServer, EveryMessageTypeAnswersAsOwfsClientsExpect) {
  b.add_sensor(0x28, 1, 21.5625).add_rom_device(0x01, 7);
  serve();
  // NOP: an empty answer, at once, never a ping.
  Client c(port);
  c.request(kMsgNop, "");
  auto nop = c.message();
  ASSERT_TRUE(nop);
  EXPECT_EQ(nop->h.payload, 0);
  EXPECT_EQ(nop->h.type, 0);
  EXPECT_EQ(nop->h.version, 0);
  // The return-code table clients fetch first.
  const std::string table = read("/settings/return_codes/text.ALL");
  EXPECT_EQ(std::count(table.begin(), table.end(), ','), kReturnCodes - 1);
  EXPECT_EQ(read("/system/process/pid"), "        4321");
  EXPECT_EQ(read("/system/configuration/version"), "test");
  EXPECT_EQ(read("/settings/timeout/volatile", kFlagTrim), "2");
  EXPECT_EQ(read("/settings/units/temperature_scale", 0x10000), "F");
  const std::string dev = name(0x28, 1);
  // OWFS's codes for what cannot be answered.
  EXPECT_EQ(error(kMsgRead, "/"), -kErrIsDir);
  EXPECT_EQ(error(kMsgRead, dev), -kErrIsDir);
  EXPECT_EQ(error(kMsgDirAll, dev + "/temperature"), -kErrNotDir);
  EXPECT_EQ(error(kMsgDir, dev + "/type"), -kErrNotDir);
  EXPECT_EQ(error(kMsgSize, dev + "/type"), -kErrNoMsg);
  EXPECT_EQ(error(99, dev + "/type"), -kErrNoMsg);
  EXPECT_EQ(error(kMsgError, dev + "/type"), -kErrNoMsg);
  EXPECT_EQ(error(kMsgRead, dev + "/type", 0, 0), -kErrMsgSize);
  EXPECT_EQ(error(kMsgRead, dev + "/type", 0, kMaxReadSize + 1), -kErrMsgSize);
  EXPECT_EQ(error(kMsgGet, dev + "/type", 0, 0), -kErrMsgSize);
  EXPECT_EQ(error(kMsgRead, "/" + std::string(kMaxPath, 'a')), -kErrMsgSize);
  EXPECT_EQ(error(kMsgWrite, dev + "/temperature", 0, 0, "20"), -kErrNotSupported);
  EXPECT_EQ(error(kMsgRead, dev + "/nothing"), -kErrNoEntry);
  EXPECT_EQ(error(kMsgRead, name(0x28, 99) + "/temperature"), -kErrNoEntry);
  EXPECT_EQ(error(kMsgRead, "/nothing/at/all"), -kErrNoEntry);
  EXPECT_EQ(error(kMsgDirAll, "/bus.1"), -kErrNoEntry);  // one bus
  // A request without a path.
  Client empty(port);
  Header h{0, 0, kMsgRead, 0, 65536, 0};
  const auto head = encode_header(h);
  empty.raw(std::string(reinterpret_cast<const char*>(head.data()), head.size()));
  auto bad = empty.answer();
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->h.type, -kErrBadMsg);
  // GET reads a file and lists a directory.
  const Message get = ask(kMsgGet, dev + "/type");
  EXPECT_EQ(get.text(), "DS18B20");
  const Message listed = ask(kMsgGet, dev);
  EXPECT_NE(listed.text().find(dev + "/temperature,"), std::string::npos);
  EXPECT_EQ(listed.text().find(dev + "/temperature/"), std::string::npos);
  const Message slashed = ask(kMsgGetSlash, "/");
  EXPECT_NE(slashed.text().find(dev + "/"), std::string::npos);
  // PRESENCE: the ROM's 8 bytes, or -1.
  const Message there = ask(kMsgPresence, dev);
  EXPECT_EQ(there.h.type, 0);
  ASSERT_EQ(there.data.size(), 8u);
  EXPECT_EQ(std::memcmp(there.data.data(), make_rom(0x28, 1).data(), 8), 0);
  const Message root = ask(kMsgPresence, "/settings");
  EXPECT_EQ(root.data, std::string(8, '\0'));
  const Message absent = ask(kMsgPresence, name(0x28, 99), kFlagUncached);
  EXPECT_EQ(absent.h.type, -1);
  EXPECT_EQ(absent.h.payload, 0);
}

TEST_F(OwserverServer, ListingsFollowTheFlagsAndHoldOwfsNamesOnly) {
  b.add_sensor(0x28, 1, 20.0).add_sensor(0x10, 2, 19.5).add_rom_device(0x01, 7);
  serve();
  const std::string s28 = name(0x28, 1), s10 = name(0x10, 2), id = name(0x01, 7);
  // Without bus_ret: the devices and nothing else (Home Assistant reads
  // the family of every entry).
  const Message plain = ask(kMsgDirAllSlash, "/");
  std::string all = plain.text();
  EXPECT_EQ(plain.h.payload, plain.h.size + 1);  // NUL-terminated
  for (const std::string& d : {s28, s10, id}) EXPECT_NE(all.find(d + "/"), std::string::npos) << all;
  EXPECT_EQ(std::count(all.begin(), all.end(), ','), 2);
  EXPECT_EQ(plain.h.offset, 0x8002);  // the thermometers' flags
  // With bus_ret: the bus, uncached, settings, system, simultaneous, alarm.
  all = ask(kMsgDirAll, "/", kFlagBusRet).text();
  for (const char* e : {"/bus.0", "/uncached", "/settings", "/system", "/simultaneous", "/alarm"})
    EXPECT_NE(all.find(e), std::string::npos) << e << " in " << all;
  EXPECT_EQ(all.find("/bus.0/"), std::string::npos);
  all = ask(kMsgDirAll, "/uncached", kFlagBusRet).text();
  EXPECT_NE(all.find("/uncached" + s28), std::string::npos) << all;
  EXPECT_EQ(all.find("/uncached/uncached"), std::string::npos) << all;
  all = ask(kMsgDirAll, "/bus.0", kFlagBusRet).text();
  EXPECT_NE(all.find("/bus.0" + s28), std::string::npos) << all;
  EXPECT_EQ(all.find("/settings"), std::string::npos) << all;
  // DIR: one message per entry, then the end marker with the flags.
  Client c(port);
  c.request(kMsgDir, "/");
  std::vector<std::string> entries;
  for (;;) {
    auto m = c.answer();
    ASSERT_TRUE(m);
    if (m->h.payload == 0) {
      EXPECT_EQ(m->h.offset, 0x8002);
      break;
    }
    EXPECT_EQ(m->h.payload, m->h.size + 1);
    entries.push_back(m->text());
  }
  EXPECT_EQ(entries.size(), 3u);
  // A device's properties, and no more than OWFS gives its family.
  const std::string props = ask(kMsgDirAll, s10).text();
  EXPECT_NE(props.find(s10 + "/temperature,"), std::string::npos);
  EXPECT_EQ(props.find("temperature9"), std::string::npos);  // hidden on a DS18S20
  EXPECT_EQ(props.find("tempres"), std::string::npos);
  EXPECT_EQ(ask(kMsgDirAll, id).text().find("temperature"), std::string::npos);
  // The name format of the flags.
  all = ask(kMsgDirAll, "/", static_cast<std::int32_t>(0x01000000)).text();
  EXPECT_NE(all.find("/" + device_name(make_rom(0x28, 1), NameFormat::kFI)), std::string::npos) << all;
  EXPECT_EQ(all.find('.'), std::string::npos) << all;
  EXPECT_EQ(read("/" + device_name(make_rom(0x28, 1), NameFormat::kFIdC) + "/family"), "28");
  // The fixed directories.
  all = ask(kMsgDirAllSlash, "/settings").text();
  EXPECT_EQ(all, "/settings/return_codes/,/settings/timeout/,/settings/units/");
  EXPECT_EQ(ask(kMsgDirAll, "/simultaneous").text(), "/simultaneous/temperature");
}

TEST_F(OwserverServer, ValuesComeInOwfsFormatsScalesAndPieces) {
  b.add_sensor(0x28, 1, 21.5625).parasite().add_sensor(0x10, 2, -3.25);
  serve();
  const std::string s28 = name(0x28, 1), s10 = name(0x10, 2);
  const qvds::Rom rom = make_rom(0x28, 1);
  EXPECT_EQ(read(s28 + "/temperature"), "     21.5625");
  EXPECT_EQ(read(s10 + "/temperature"), "       -3.25");
  EXPECT_EQ(read(s10 + "/temperature12"), "       -3.25");  // the hidden link
  EXPECT_EQ(read(s28 + "/temperature", kFlagTrim), "21.5625");
  EXPECT_EQ(read(s28 + "/temperature", kFlagTrim | 0x10000), "70.8125");
  EXPECT_EQ(read(s28 + "/temperature", kFlagTrim | 0x20000), "294.712");
  EXPECT_EQ(read(s28 + "/temperature", kFlagTrim | 0x30000), "530.482");
  EXPECT_EQ(read(s28 + "/latesttemp", kFlagTrim), "21.5625");
  char crc[3];
  std::snprintf(crc, sizeof crc, "%02X", rom[7]);
  EXPECT_EQ(read(s28 + "/family"), "28");
  EXPECT_EQ(read(s28 + "/id"), device_name(rom, NameFormat::kFI).substr(2));
  EXPECT_EQ(read(s28 + "/crc8"), crc);
  EXPECT_EQ(read(s28 + "/address"), device_name(rom, NameFormat::kFIC));
  std::string reversed;
  for (int i = 7; i >= 0; --i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02X", rom[static_cast<std::size_t>(i)]);
    reversed += two;
  }
  EXPECT_EQ(read(s28 + "/r_address"), reversed);
  EXPECT_EQ(read(s28 + "/locator"), "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(read(s28 + "/type"), "DS18B20");
  EXPECT_EQ(read(s10 + "/type"), "DS18S20");
  EXPECT_EQ(read(s28 + "/power"), "0");  // parasite-powered
  EXPECT_EQ(read(s10 + "/power"), "1");
  EXPECT_EQ(read(s28 + "/tempres"), "          12");
  EXPECT_EQ(read(s28 + "/temphigh", kFlagTrim), "75");  // the factory's
  EXPECT_EQ(read(s28 + "/templow", kFlagTrim | 0x10000), "158");  // 70 C in F
  const std::string pad = read(s28 + "/scratchpad");
  ASSERT_EQ(pad.size(), 9u);
  EXPECT_EQ(static_cast<std::uint8_t>(pad[8]), onewire::crc8(reinterpret_cast<const std::uint8_t*>(pad.data()), 8));
  EXPECT_EQ(read(s28 + "/alias"), "");
  // A read's size and offset cut the value; the offset comes back.
  Client c(port);
  c.request(kMsgRead, s28 + "/type", 0, 4, 2);
  auto piece = c.answer();
  ASSERT_TRUE(piece);
  EXPECT_EQ(piece->text(), "18B2");
  EXPECT_EQ(piece->h.offset, 2);
  EXPECT_EQ(piece->h.type, 4);
  // The request's flags come back (ownet among them).
  const Message echoed = ask(kMsgRead, s28 + "/family", kFlagOwnet | kFlagAlias | kFlagBusRet);
  EXPECT_EQ(echoed.h.flags, kFlagOwnet | kFlagAlias | kFlagBusRet);
  const Message failed = ask(kMsgRead, s28 + "/nothing", kFlagOwnet);
  EXPECT_EQ(failed.h.flags, kFlagOwnet);
}

TEST_F(OwserverServer, ReadsWithinOnePollWindowShareOneConversion) {
  for (int i = 0; i < 20; ++i) b.add_sensor(0x28, 100 + static_cast<std::uint64_t>(i), 10.0 + i * 0.5);
  HubOptions ho;
  ho.poll_window = 60s;  // however slowly a loaded machine serves the twenty
  serve({}, ho);
  const auto sensors = b.sensors();
  // Home Assistant's poll: every sensor at once, each on a connection of
  // its own.
  std::vector<std::future<std::string>> reads;
  for (int i = 0; i < 20; ++i)
    reads.push_back(std::async(std::launch::async, [this, i] {
      return read(name(0x28, 100 + static_cast<std::uint64_t>(i)) + "/temperature", kFlagTrim);
    }));
  for (int i = 0; i < 20; ++i) {
    char want[16];
    std::snprintf(want, sizeof want, "%G", 10.0 + i * 0.5);
    EXPECT_EQ(reads[static_cast<std::size_t>(i)].get(), want);
  }
  EXPECT_EQ(conversions(), 1u);
  for (const auto& s : sensors) EXPECT_EQ(s->conversions(), 1);
  // Within the window a read takes that conversion; /uncached/ and the
  // uncached flag take a new one.
  sensors[0]->set_temperature(30.0);
  EXPECT_EQ(read(name(0x28, 100) + "/temperature", kFlagTrim), "10");
  EXPECT_EQ(conversions(), 1u);
  EXPECT_EQ(read("/uncached" + name(0x28, 100) + "/temperature", kFlagTrim), "30");
  EXPECT_EQ(conversions(), 2u);
  sensors[0]->set_temperature(31.0);
  EXPECT_EQ(read(name(0x28, 100) + "/temperature", kFlagTrim | kFlagUncached), "31");
  EXPECT_EQ(conversions(), 3u);
  // A write of /simultaneous/temperature converts every sensor; reads
  // after it share it.
  sensors[1]->set_temperature(-5.5);
  const Message w = ask(kMsgWrite, "/simultaneous/temperature", 0, 0, "1");
  EXPECT_EQ(w.h.type, 0);
  EXPECT_EQ(w.h.size, 1);
  EXPECT_EQ(conversions(), 4u);
  EXPECT_EQ(read("/simultaneous/temperature"), "1");
  EXPECT_EQ(read(name(0x28, 101) + "/temperature", kFlagTrim), "-5.5");
  EXPECT_EQ(read(name(0x28, 101) + "/latesttemp", kFlagTrim), "-5.5");
  EXPECT_EQ(conversions(), 4u);
  // latesttemp is the last conversion's value, not the sensor's now, and
  // the next conversion's as soon as there is one.
  sensors[1]->set_temperature(7.25);
  EXPECT_EQ(read("/uncached" + name(0x28, 101) + "/latesttemp", kFlagTrim), "-5.5");
  EXPECT_EQ(ask(kMsgWrite, "/simultaneous/temperature", 0, 0, "1").h.type, 0);
  EXPECT_EQ(read("/uncached" + name(0x28, 101) + "/latesttemp", kFlagTrim), "7.25");
  EXPECT_EQ(conversions(), 5u);
}

// Node-RED asks everything uncached: reads that arrive together still
// share the conversion they wait for.
TEST_F(OwserverServer, UncachedReadsThatArriveTogetherShareOneConversion) {
  for (int i = 0; i < 8; ++i) b.add_sensor(0x28, 200 + static_cast<std::uint64_t>(i), -2.0 - i);
  HubOptions ho;
  ho.gather = 1s;
  serve({}, ho, false);
  // The requests wait in their sockets until the loop runs: it finds them
  // all at once.
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    clients.back()->request(kMsgRead, "/uncached" + name(0x28, 200 + static_cast<std::uint64_t>(i)) + "/temperature",
                            kFlagTrim);
  }
  loop->start();
  for (int i = 0; i < 8; ++i) {
    auto m = clients[static_cast<std::size_t>(i)]->answer();
    ASSERT_TRUE(m);
    char want[16];
    std::snprintf(want, sizeof want, "%G", -2.0 - i);
    EXPECT_EQ(m->text(), want);
  }
  EXPECT_EQ(conversions(), 1u);
  for (const auto& s : b.sensors()) EXPECT_EQ(s->conversions(), 1);
}

TEST_F(OwserverServer, AValueThatIsNoMeasurementIsAnError) {
  b.add_sensor(0x28, 1, 20.0).add_sensor(0x28, 2, 20.0).add_sensor(0x28, 3, 20.0);
  serve();
  const auto sensors = b.sensors();
  // Power-on value: 85.0 with byte 6 0x0C.
  std::array<std::uint8_t, 9> pad = {0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
  pad[8] = onewire::crc8(pad.data(), 8);
  sensors[0]->set_scratchpad_override(pad);
  // A scratchpad whose CRC never holds.
  std::array<std::uint8_t, 9> spoiled = {0x50, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x10, 0x10, 0};
  spoiled[8] = static_cast<std::uint8_t>(onewire::crc8(spoiled.data(), 8) ^ 0x5A);
  sensors[1]->set_scratchpad_override(spoiled);
  EXPECT_EQ(error(kMsgRead, name(0x28, 1) + "/temperature"), -kErrIo);
  EXPECT_EQ(error(kMsgRead, name(0x28, 1) + "/latesttemp"), -kErrIo);
  // Its settings cannot be read before a conversion at them: a failure
  // of the bus; its scratchpad alone is OWFS's spoiled transaction.
  EXPECT_EQ(error(kMsgRead, name(0x28, 2) + "/temperature"), -kErrIo);
  EXPECT_EQ(error(kMsgRead, name(0x28, 2) + "/scratchpad"), -kErrInvalid);
  EXPECT_EQ(read(name(0x28, 3) + "/temperature", kFlagTrim), "20");
  // A sensor that left the bus.
  sim->remove(make_rom(0x28, 3));
  EXPECT_EQ(error(kMsgRead, "/uncached" + name(0x28, 3) + "/temperature"), -kErrNoEntry);
  EXPECT_EQ(ask(kMsgPresence, name(0x28, 3), kFlagUncached).h.type, -1);
}

TEST_F(OwserverServer, TemperatureNConvertsAtThatResolutionInRamOnly) {
  b.add_sensor(0x28, 1, 21.5625);
  serve();
  const auto sensor = b.sensors()[0];
  const std::string s = name(0x28, 1);
  EXPECT_EQ(read(s + "/temperature9", kFlagTrim), "21.5");  // masked to half degrees
  EXPECT_EQ(sensor->scratchpad(clock.now())[4], 0x1F);       // 9 bits in RAM
  EXPECT_EQ(read(s + "/fasttemp", kFlagTrim), "21.5");
  EXPECT_EQ(read(s + "/temperature11", kFlagTrim), "21.5");
  EXPECT_EQ(read(s + "/temperature10", kFlagTrim), "21.5");
  EXPECT_EQ(read(s + "/temperature12", kFlagTrim), "21.5625");
  // The EEPROM keeps 12 bits: the power-on resolution, which tempres
  // reports and temperature converts at.
  EXPECT_EQ(read(s + "/temperature9", kFlagTrim), "21.5");
  EXPECT_EQ(read("/uncached" + s + "/tempres", kFlagTrim), "12");
  EXPECT_EQ(read(s + "/temperature", kFlagTrim), "21.5625");
  EXPECT_EQ(sensor->scratchpad(clock.now())[4], 0x7F);
}

TEST_F(OwserverServer, SettingsAreWrittenToTheEepromInTheClientsScale) {
  b.add_sensor(0x28, 1, 21.5625).add_sensor(0x10, 2, 20.0);
  serve();
  const auto sensor = b.sensors()[0];
  const std::string s = name(0x28, 1);
  Message w = ask(kMsgWrite, s + "/tempres", 0, 0, "10");
  EXPECT_EQ(w.h.type, 0);
  EXPECT_EQ(w.h.size, 2);
  EXPECT_EQ(read("/uncached" + s + "/tempres", kFlagTrim), "10");
  EXPECT_EQ(read(s + "/temperature", kFlagTrim), "21.5");  // at the new power-on resolution
  // Thresholds in the client's scale, whole degrees in the part: 77 F
  // is 25 C.
  EXPECT_EQ(ask(kMsgWrite, s + "/templow", 0x10000, 0, "77").h.type, 0);
  EXPECT_EQ(ask(kMsgWrite, s + "/temphigh", 0, 0, "30.9").h.type, 0);
  EXPECT_EQ(read("/uncached" + s + "/templow", kFlagTrim), "25");
  EXPECT_EQ(read("/uncached" + s + "/temphigh", kFlagTrim), "30");
  EXPECT_EQ(read("/uncached" + s + "/tempres", kFlagTrim), "10");  // kept by the threshold writes
  // A power cycle: the part comes back with what its EEPROM holds.
  sensor->set_resolution(12);
  EXPECT_EQ(read("/uncached" + s + "/tempres", kFlagTrim), "10");
  // What cannot be written changes nothing.
  EXPECT_EQ(error(kMsgWrite, s + "/tempres", 0, 0, "13"), -kErrRange);
  EXPECT_EQ(error(kMsgWrite, s + "/tempres", 0, 0, "ten"), -kErrInvalid);
  EXPECT_EQ(error(kMsgWrite, s + "/templow", 0, 0, "200"), -kErrRange);
  EXPECT_EQ(error(kMsgWrite, s + "/templow", 0, 0, "31"), -kErrInvalid);  // above temphigh
  EXPECT_EQ(error(kMsgWrite, s + "/templow", kFlagSafeMode, 0, "5"), -kErrAccess);
  EXPECT_EQ(error(kMsgWrite, name(0x10, 2) + "/tempres", 0, 0, "9"), -kErrNoEntry);
  EXPECT_EQ(read("/uncached" + s + "/templow", kFlagTrim), "25");
  EXPECT_EQ(error(kMsgWrite, name(0x10, 2) + "/temphigh", 0, 0, "40"), -kErrInvalid);  // below its templow, 70
  EXPECT_EQ(ask(kMsgWrite, name(0x10, 2) + "/templow", 0, 0, "10").h.type, 0);
  EXPECT_EQ(ask(kMsgWrite, name(0x10, 2) + "/temphigh", 0, 0, "40").h.type, 0);
  EXPECT_EQ(read("/uncached" + name(0x10, 2) + "/temphigh", kFlagTrim), "40");
}

TEST_F(OwserverServer, PersistenceIsGrantedUpToItsLimitAndSaidInTheFlags) {
  b.add_sensor(0x28, 1, 20.0);
  ServerOptions so;
  so.max_persistent = 1;
  serve(so);
  const std::string path = name(0x28, 1) + "/type";
  Client a(port);
  a.request(kMsgRead, path, kFlagPersistence | kFlagOwnet);
  auto first = a.answer();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->h.flags, kFlagPersistence | kFlagOwnet);
  a.request(kMsgRead, path, kFlagPersistence);
  auto second = a.answer();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->text(), "DS18B20");
  // The limit is taken: another connection is answered without the grant
  // and closed.
  Client b2(port);
  b2.request(kMsgRead, path, kFlagPersistence);
  auto denied = b2.answer();
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->h.flags & kFlagPersistence, 0);
  EXPECT_EQ(denied->text(), "DS18B20");
  EXPECT_TRUE(b2.ended());
  // A request without the flag ends the persistent connection too, and
  // its place is free again.
  a.request(kMsgRead, path, 0);
  ASSERT_TRUE(a.answer());
  EXPECT_TRUE(a.ended());
  Client c(port);
  c.request(kMsgRead, path, kFlagPersistence);
  auto granted = c.answer();
  ASSERT_TRUE(granted);
  EXPECT_EQ(granted->h.flags & kFlagPersistence, kFlagPersistence);
}

TEST_F(OwserverServer, ClientsThatLeaveEarlyOrForwardAreServed) {
  b.add_sensor(0x28, 1, 20.0);
  serve();
  const std::string path = name(0x28, 1) + "/temperature";
  // node-owfs half-closes after its request and reads until the end.
  Client half(port);
  half.request(kMsgRead, path, kFlagOwnet | kFlagUncached | kFlagAlias, 8192);
  half.half_close();
  auto got = half.answer();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->text(), "          20");
  EXPECT_TRUE(half.ended());
  // aio-ownet's check: connect, then close without a word.
  { Client silent(port); }
  // A forwarding server's anti-loop token after the payload.
  Client forwarded(port);
  forwarded.request(kMsgRead, name(0x28, 1) + "/family", 0, 65536, 0, "", kVersionTokensFlag | 1,
                    std::string(kTokenSize, 'T'));
  auto f = forwarded.answer();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->text(), "28");
  EXPECT_EQ(read(name(0x28, 1) + "/family"), "28");
}

TEST_F(OwserverServer, MalformedRequestsEndTheirConnectionOnly) {
  b.add_sensor(0x28, 1, 20.0);
  serve();
  const auto header = [](Header h) {
    const auto bytes = encode_header(h);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  // A payload longer than any request: refused without reading it.
  Client big(port);
  big.raw(header({0, kMaxRequestPayload + 1, kMsgRead, 0, 65536, 0}));
  auto refused = big.answer();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->h.type, -kErrMsgSize);
  EXPECT_TRUE(big.ended());
  for (const Header& h : {Header{0, -1, kMsgRead, 0, 65536, 0}, Header{0x00050000, 4, kMsgRead, 0, 65536, 0},
                          Header{3, 4, kMsgRead, 0, 65536, 0}}) {
    Client bad(port);
    bad.raw(header(h) + "/abc");
    auto m = bad.answer(nullptr, 5s);
    ASSERT_TRUE(m);
    EXPECT_LT(m->h.type, 0);
    EXPECT_TRUE(bad.ended());
  }
  EXPECT_EQ(read(name(0x28, 1) + "/family"), "28");
}

TEST_F(OwserverServer, SlowAndSilentClientsHoldUpNobody) {
  b.add_sensor(0x28, 1, 20.0);
  ServerOptions so;
  so.request_timeout = 300ms;
  so.write_timeout = 300ms;
  serve(so);
  const std::string path = name(0x28, 1) + "/family";
  // Half a header, then nothing: the others are answered meanwhile, and
  // it goes when its time is up.
  Client slow(port);
  slow.raw(std::string(10, '\0'));
  EXPECT_EQ(read(path), "28");
  EXPECT_TRUE(slow.ended(5s));
  // Connected, never a byte.
  Client silent(port);
  EXPECT_TRUE(silent.ended(5s));
  // A client that asks without end and never reads its answers: the
  // server's writes wait on it alone, and it is dropped.
  Client greedy(port);
  const int small = 4096;
  ::setsockopt(greedy.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  std::string requests;
  for (int i = 0; i < 4000; ++i) {
    Header h{0, static_cast<std::int32_t>(std::strlen("/settings/return_codes/text.ALL") + 1), kMsgRead,
             kFlagPersistence, 65536, 0};
    const auto bytes = encode_header(h);
    requests += std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()) +
                "/settings/return_codes/text.ALL" + std::string(1, '\0');
  }
  std::thread flood([&] { greedy.raw(requests); });
  EXPECT_EQ(read(path), "28");
  EXPECT_EQ(read(path), "28");
  // Its connection ends (the client still reading nothing): what the
  // server holds for it is let go.
  const auto deadline = Clock::now() + 10s;
  while (connections() > 1 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_LE(connections(), 1u);
  ::shutdown(greedy.fd(), SHUT_RDWR);
  flood.join();
}

TEST_F(OwserverServer, AFullServerDropsTheConnectionIdleLongest) {
  b.add_sensor(0x28, 1, 20.0);
  ServerOptions so;
  so.max_connections = 3;
  serve(so);
  const std::string path = name(0x28, 1) + "/family";
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 3; ++i) {
    idle.push_back(std::make_unique<Client>(port));
    // Accepted in order: each is known to the server before the next.
    const auto deadline = Clock::now() + 5s;
    while (connections() < static_cast<std::size_t>(i + 1) && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  }
  ASSERT_EQ(connections(), 3u);
  // A fourth: the first goes, and the newcomer is answered.
  EXPECT_EQ(read(path), "28");
  EXPECT_TRUE(idle[0]->ended(5s));
  // The others are still there to ask.
  idle[2]->request(kMsgRead, path);
  auto m = idle[2]->answer();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->text(), "28");
}

// The /metrics endpoint and the owserver listener on one event loop: a
// scrape is answered while a read waits for the bus, and the other way.
TEST_F(OwserverServer, TheMetricsEndpointSharesTheLoop) {
  b.add_sensor(0x28, 1, 20.0);
  HubOptions ho;
  ho.gather = 300ms;  // a read that waits while the scrape is made
  serve({}, ho);
  // A free port for the endpoint (it names it only on standard error).
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t size = sizeof a;
  ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &size);
  const unsigned short http = ntohs(a.sin_port);
  ::close(probe);
  qvtool::Source source;
  source.port = source.name = "sim";
  auto endpoint = qvtool::make_metrics_server("127.0.0.1:" + std::to_string(http),
                                              std::make_shared<qvtool::Metrics>(std::vector{source}), loop);
  Client reader(port);
  reader.request(kMsgRead, "/uncached" + name(0x28, 1) + "/temperature", kFlagTrim);
  Client scrape(http);
  scrape.raw("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  const auto head = scrape.read_bytes(15, 5s);
  ASSERT_TRUE(head);
  EXPECT_EQ(*head, "HTTP/1.1 200 OK");
  auto m = reader.answer();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->text(), "20");
  Client old(http);
  old.raw("GET /metrics HTTP/9.9\r\n\r\n");
  const auto refused = old.read_bytes(12, 5s);
  ASSERT_TRUE(refused);
  EXPECT_EQ(*refused, "HTTP/1.1 505");
  endpoint.reset();
}

// Pings come every interval while the bus works, on a clock that takes
// its real time; never for a NOP.
TEST(OwserverPings, AnAnswerThatTakesTimeIsPreceededByPings) {
  rtl::RealClock real;
  rtl::ClockGuard guard(real);
  testing_support::SimBusBuilder b;
  b.add_sensor(0x28, 1, 20.0);
  auto opened = qvds::Bus::adopt(std::make_unique<onewire::sim::SimLink>(b.build()), "sim");
  ASSERT_TRUE(opened.ok());
  qvds::Bus bus = std::move(*opened);
  qvtool::net::EventLoop loop;
  BusHub hub({&bus}, [&loop](std::function<void()> f) { loop.post(std::move(f)); },
             [&loop](std::chrono::milliseconds d, std::function<void()> f) { loop.post_after(d, std::move(f)); });
  Handler handler(hub, ServerInfo{});
  ServerOptions so;
  so.ping_interval = 50ms;
  auto server = std::make_unique<Server>(loop.context(), handler, "127.0.0.1", "0", so);
  loop.start();
  Client c(server->port());
  // A 12-bit conversion: 750 ms at most, polled.
  c.request(kMsgRead, name(0x28, 1) + "/temperature", kFlagOwnet);
  int pings = 0;
  auto m = c.answer(&pings);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->text(), "          20");
  EXPECT_GE(pings, 2);
  Client nop(server->port());
  nop.request(kMsgNop, "");
  auto n = nop.message();
  ASSERT_TRUE(n);
  EXPECT_EQ(n->h.payload, 0);
  loop.stop();
  server.reset();
  bus.close();
}

}  // namespace
