// The kernel's w1 netlink protocol byte by byte, and the w1 link over a
// scripted channel: every request it sends against the layout of the
// kernel's structures (written out here as bytes, from the kernel's
// definitions), every kind of reply it must parse, and replies no sound
// kernel sends (cut short, too long, stale, refused), none of which may
// crash it or leave it waiting past its deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "onewire/crc.hpp"
#include "onewire/errors.hpp"
#include "onewire/sim/bus.hpp"
#include "onewire/sim/sim_link.hpp"
#include "onewire/w1/protocol.hpp"
#include "onewire/w1/w1_link.hpp"
#include "onewire/w1/w1_master.hpp"
#include "support/w1_sysfs.hpp"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
namespace w1 = onewire::w1;

// "3A 00 SS ..." -> bytes; "SS" stands for a byte of the request's
// sequence number (four in a row, least significant first), which the
// pattern cannot know.
struct Pattern {
  Bytes bytes;
  std::vector<bool> seq;
};
// Two characters a byte; spaces (and the seams of concatenated literals)
// do not count.
Pattern pattern(const std::string& text) {
  Pattern p;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    const std::string word = digits.substr(i, 2);
    p.seq.push_back(word == "SS");
    p.bytes.push_back(word == "SS" ? 0 : static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return p;
}
Bytes hex(const std::string& text) { return pattern(text).bytes; }

std::uint32_t u32_at(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
std::uint16_t u16_at(const Bytes& b, std::size_t at) {
  std::uint16_t v = 0;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

// A request against its pattern, with every SS run holding the request's
// own sequence number (bytes 8..11 of the netlink header).
::testing::AssertionResult matches(const Bytes& got, const Pattern& want) {
  if (got.size() != want.bytes.size())
    return ::testing::AssertionFailure() << "size " << got.size() << ", want " << want.bytes.size();
  const std::uint32_t seq = u32_at(got, 8);
  std::size_t run = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const std::uint8_t expected =
        want.seq[i] ? static_cast<std::uint8_t>(seq >> (8 * (run++ % 4))) : want.bytes[i];
    if (!want.seq[i]) run = 0;
    if (got[i] != expected)
      return ::testing::AssertionFailure() << "byte " << i << " is " << int{got[i]} << ", want " << int{expected};
  }
  return ::testing::AssertionSuccess();
}

void put32(Bytes& b, std::uint32_t v) {
  const auto at = b.size();
  b.resize(at + 4);
  std::memcpy(b.data() + at, &v, 4);
}
void put16(Bytes& b, std::uint16_t v) {
  const auto at = b.size();
  b.resize(at + 2);
  std::memcpy(b.data() + at, &v, 2);
}

// --- replies as the kernel builds them (fact sheet, sections 2 and 4) ---

// One w1_netlink_msg, with one w1_netlink_cmd unless `has_cmd` is false.
struct Piece {
  std::uint32_t ack = 0;
  std::uint8_t type = w1::kMasterCmd;
  std::uint8_t status = 0;
  std::uint32_t master = 1;
  bool has_cmd = true;
  std::uint8_t cmd = 0;
  Bytes data;
};

// A status reply to command `cmd` of request `seq` (our requests carry
// ack = seq, and the kernel copies it into statuses).
Piece status(std::uint32_t seq, std::uint8_t cmd, std::uint8_t st = 0) {
  Piece p;
  p.ack = seq;
  p.cmd = cmd;
  p.status = st;
  return p;
}
// A data reply: ack = seq + 1.
Piece data(std::uint32_t seq, std::uint8_t cmd, Bytes bytes) {
  Piece p;
  p.ack = seq + 1;
  p.cmd = cmd;
  p.data = std::move(bytes);
  return p;
}
// An error about the whole message: no command.
Piece refusal(std::uint32_t seq, std::uint8_t st) {
  Piece p;
  p.ack = seq;
  p.has_cmd = false;
  p.status = st;
  return p;
}

// One datagram holding `pieces`; consecutive pieces with the same ack
// share one cn_msg, as the kernel's bundling writes them.
Bytes datagram(std::uint32_t seq, const std::vector<Piece>& pieces, std::uint16_t cn_flags = 0) {
  Bytes payload;
  std::size_t cn_at = 0;
  bool have_cn = false;
  std::uint32_t ack = 0;
  for (const Piece& p : pieces) {
    if (!have_cn || p.ack != ack) {
      cn_at = payload.size();
      put32(payload, 3);  // idx
      put32(payload, 1);  // val
      put32(payload, seq);
      put32(payload, p.ack);
      put16(payload, 0);  // len, below
      put16(payload, cn_flags);
      have_cn = true;
      ack = p.ack;
    }
    const std::size_t before = payload.size();
    payload.push_back(p.type);
    payload.push_back(p.status);
    put16(payload, static_cast<std::uint16_t>(p.has_cmd ? 4 + p.data.size() : p.data.size()));
    put32(payload, p.master);
    put32(payload, 0);
    if (p.has_cmd) {
      payload.push_back(p.cmd);
      payload.push_back(0);
      put16(payload, static_cast<std::uint16_t>(p.data.size()));
    }
    payload.insert(payload.end(), p.data.begin(), p.data.end());
    std::uint16_t len = 0;
    std::memcpy(&len, payload.data() + cn_at + 16, 2);
    len = static_cast<std::uint16_t>(len + (payload.size() - before));
    std::memcpy(payload.data() + cn_at + 16, &len, 2);
  }
  Bytes d;
  put32(d, static_cast<std::uint32_t>(16 + payload.size()));
  put16(d, 3);  // NLMSG_DONE
  put16(d, 0);
  put32(d, seq);
  put32(d, 0);
  d.insert(d.end(), payload.begin(), payload.end());
  d.resize((d.size() + 3) & ~std::size_t{3}, 0);
  return d;
}

// W1_LIST_MASTERS' reply: ack = seq + 1, no command, the ids; the kernel
// leaves cn.flags and the message's id union as they were in memory.
Bytes master_list(std::uint32_t seq, const std::vector<std::uint32_t>& ids) {
  Bytes payload;
  put32(payload, 3);
  put32(payload, 1);
  put32(payload, seq);
  put32(payload, seq + 1);
  put16(payload, static_cast<std::uint16_t>(12 + 4 * ids.size()));
  put16(payload, 0xA5C3);  // not initialised by the kernel
  payload.push_back(w1::kListMasters);
  payload.push_back(0);
  put16(payload, static_cast<std::uint16_t>(4 * ids.size()));
  put32(payload, 0xDEADBEEF);  // not initialised either
  put32(payload, 0x5A5A5A5A);
  for (auto id : ids) put32(payload, id);
  Bytes d;
  put32(d, static_cast<std::uint32_t>(16 + payload.size()));
  put16(d, 3);
  put16(d, 0);
  put32(d, seq);
  put32(d, 0);
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

Bytes rom_bytes(const std::vector<onewire::Rom>& roms) {
  Bytes b;
  for (const auto& r : roms) b.insert(b.end(), r.begin(), r.end());
  return b;
}

// What a request asks, read by the fact sheet's offsets.
struct Asked {
  std::uint32_t seq = 0;
  std::uint8_t type = 0;
  std::uint32_t master = 0;
  struct Cmd {
    std::uint8_t cmd;
    Bytes data;
  };
  std::vector<Cmd> cmds;
};
Asked asked(const Bytes& r) {
  Asked a;
  a.seq = u32_at(r, 8);
  a.type = r[36];
  a.master = u32_at(r, 40);
  std::size_t at = 48;
  const std::size_t end = 48 + u16_at(r, 38);
  while (at + 4 <= end) {
    const std::uint16_t len = u16_at(r, at + 2);
    a.cmds.push_back({r[at], Bytes(r.begin() + static_cast<long>(at + 4), r.begin() + static_cast<long>(at + 4 + len))});
    at += 4 + len;
  }
  return a;
}

// ------------------------------------------------------------ layouts

class W1Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little)
      GTEST_SKIP() << "the byte patterns are those of a little-endian host";
  }
};

TEST_F(W1Layout, RequestsAreTheKernelsStructuresByteForByte) {
  // The fact sheet's worked example (master 1, RESET, WRITE CC 44, seq 1),
  // with our ack (= seq) and the padding to four bytes the kernel uses.
  EXPECT_EQ(w1::master_request(1, 1, {{w1::kCmdReset, {}}, {w1::kCmdWrite, {0xCC, 0x44}}}, false),
            hex("3A 00 00 00 03 00 01 00 01 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00"
                "16 00 00 00 04 00 0A 00 01 00 00 00 00 00 00 00"
                "05 00 00 00 01 00 02 00 CC 44 00 00"));
  // A reset to master 7, replies gathered: cn.flags 1.
  EXPECT_EQ(w1::master_request(0x10002, 7, {{w1::kCmdReset, {}}}, true),
            hex("34 00 00 00 03 00 01 00 02 00 01 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 02 00 01 00 02 00 01 00"
                "10 00 01 00 04 00 04 00 07 00 00 00 00 00 00 00"
                "05 00 00 00"));
  // A search: a command with no data.
  EXPECT_EQ(w1::master_request(5, 2, {{w1::kCmdAlarmSearch, {}}}, true),
            hex("34 00 00 00 03 00 01 00 05 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 05 00 00 00 05 00 00 00"
                "10 00 01 00 04 00 04 00 02 00 00 00 00 00 00 00"
                "03 00 00 00"));
  // W1_LIST_MASTERS: a message with no data, no master.
  EXPECT_EQ(w1::list_masters_request(9),
            hex("30 00 00 00 03 00 01 00 09 00 00 00 00 00 00 00"
                "03 00 00 00 01 00 00 00 09 00 00 00 09 00 00 00"
                "0C 00 00 00 06 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(w1::master_request_overhead(2), 16u + 20 + 12 + 8);
}

TEST_F(W1Layout, TheFactSheetsRepliesParse) {
  // The two status replies of the worked example, and the builder above
  // against the same bytes.
  const Bytes reset_status = hex(
      "34 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "10 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "05 00 00 00");
  Piece p = status(0, w1::kCmdReset);
  EXPECT_EQ(datagram(1, {p}), reset_status);
  std::vector<w1::ReplyRecord> out;
  ASSERT_TRUE(w1::parse_reply(reset_status.data(), reset_status.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].seq, 1u);
  EXPECT_EQ(out[0].ack, 0u);
  EXPECT_EQ(out[0].type, w1::kMasterCmd);
  EXPECT_EQ(out[0].status, 0);
  EXPECT_EQ(out[0].master(), 1u);
  EXPECT_TRUE(out[0].has_command);
  EXPECT_EQ(out[0].cmd, w1::kCmdReset);
  EXPECT_TRUE(out[0].data.empty());

  // Master absent: 48 bytes, status 0x13 (ENODEV), no command.
  const Bytes absent = hex(
      "30 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "0C 00 00 00 04 13 00 00 01 00 00 00 00 00 00 00");
  EXPECT_EQ(datagram(1, {refusal(0, w1::kStatusEnodev)}), absent);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(absent.data(), absent.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].has_command);
  EXPECT_EQ(out[0].status, 19);

  // Gathered (cn.flags 1): one 68-byte datagram, one cn_msg of 32 bytes
  // holding the RESET and WRITE statuses.
  const Bytes bundled = hex(
      "44 00 00 00 03 00 00 00 01 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 01 00 00 00 00 00 00 00"
      "20 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "05 00 00 00 04 00 04 00 01 00 00 00 00 00 00 00"
      "01 00 00 00");
  EXPECT_EQ(datagram(1, {status(0, w1::kCmdReset), status(0, w1::kCmdWrite)}, 1), bundled);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(bundled.data(), bundled.size(), out));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].cmd, w1::kCmdReset);
  EXPECT_EQ(out[1].cmd, w1::kCmdWrite);

  // A real kernel's reply to a 3-byte TOUCH: nlmsg_len 55, cn.len 19,
  // msg.len 7, cmd.len 3, ack = seq + 1, the datagram padded to 56.
  const Bytes touch = hex(
      "37 00 00 00 03 00 00 00 2A 00 00 00 00 00 00 00"
      "03 00 00 00 01 00 00 00 2A 00 00 00 2B 00 00 00"
      "13 00 00 00 04 00 07 00 01 00 00 00 00 00 00 00"
      "04 00 03 00 F0 0F 5A 00");
  EXPECT_EQ(datagram(42, {data(42, w1::kCmdTouch, {0xF0, 0x0F, 0x5A})}), touch);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(touch.data(), touch.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].ack, 43u);
  EXPECT_EQ(out[0].data, (Bytes{0xF0, 0x0F, 0x5A}));

  // A search that found two devices: 68 bytes, cn.len 32, two ids.
  const onewire::Rom a = onewire::sim::make_rom(0x28, 0x0416913C6BFF);
  const onewire::Rom b = onewire::sim::make_rom(0x10, 0x000802B4A1C3);
  const Bytes found = datagram(7, {data(7, w1::kCmdSearch, rom_bytes({a, b}))});
  EXPECT_EQ(found.size(), 68u);
  EXPECT_EQ(u16_at(found, 16 + 16), 32u);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(found.data(), found.size(), out));
  ASSERT_EQ(out.size(), 1u);
  std::vector<onewire::Rom> roms;
  ASSERT_TRUE(w1::roms_of(out[0].data, roms));
  EXPECT_EQ(roms, (std::vector<onewire::Rom>{a, b}));

  // Masters 1 and 2: nlmsg_len 56, cn.len 20, msg.len 8.
  const Bytes masters = master_list(5, {1, 2});
  EXPECT_EQ(masters.size(), 56u);
  out.clear();
  ASSERT_TRUE(w1::parse_reply(masters.data(), masters.size(), out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, w1::kListMasters);
  std::vector<std::uint32_t> ids;
  ASSERT_TRUE(w1::master_ids_of(out[0].data, ids));
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(W1Layout, EveryDamagedReplyIsRefusedWhole) {
  const std::uint32_t seq = 0x10005;
  const Bytes good = datagram(seq, {status(seq, w1::kCmdReset), data(seq, w1::kCmdTouch, Bytes(18, 0x3C)),
                                    status(seq, w1::kCmdTouch)},
                              1);
  std::vector<w1::ReplyRecord> out;
  ASSERT_TRUE(w1::parse_reply(good.data(), good.size(), out));
  ASSERT_EQ(out.size(), 3u);
  const std::size_t nl_len = u32_at(good, 0);

  // Cut anywhere before the netlink header's own length.
  for (std::size_t n = 0; n < nl_len; ++n) {
    out.clear();
    EXPECT_FALSE(w1::parse_reply(good.data(), n, out)) << n;
    EXPECT_TRUE(out.empty());
  }
  // A netlink length that ends inside a structure, or claims less than
  // its own header; one that ends between two cn_msgs is a shorter reply,
  // sound in itself (the datagram's three cn_msgs start at 16, 52, 106).
  for (std::uint32_t claimed = 0; claimed < nl_len; ++claimed) {
    Bytes d = good;
    std::memcpy(d.data(), &claimed, 4);
    out.clear();
    const bool between = claimed == 16 || claimed == 52 || claimed == 106;
    EXPECT_EQ(w1::parse_reply(d.data(), d.size(), out), between) << claimed;
    EXPECT_EQ(out.size(), claimed == 52 ? 1u : claimed == 106 ? 2u : 0u) << claimed;
  }
  // Lengths that reach past what holds them: cn.len, msg.len, cmd.len,
  // each up to 0xFFFF.
  for (std::size_t at : {16u + 16u, 36u + 2u, 48u + 2u}) {
    for (std::uint16_t v : {std::uint16_t(u16_at(good, at) + 1), std::uint16_t(0x7FFF), std::uint16_t(0xFFFF)}) {
      Bytes d = good;
      std::memcpy(d.data() + at, &v, 2);
      out.clear();
      EXPECT_FALSE(w1::parse_reply(d.data(), d.size(), out)) << at << " = " << v;
      EXPECT_TRUE(out.empty());
    }
  }
  // Another connector's message.
  Bytes other = good;
  other[16] = 1;
  EXPECT_FALSE(w1::parse_reply(other.data(), other.size(), out));
  // A netlink message that is not the kernel's reply type holds nothing.
  Bytes noop = good;
  noop[4] = 1;  // NLMSG_NOOP
  out.clear();
  EXPECT_TRUE(w1::parse_reply(noop.data(), noop.size(), out));
  EXPECT_TRUE(out.empty());
  // Search data that is not whole ids, master data not whole u32s.
  std::vector<onewire::Rom> roms;
  EXPECT_FALSE(w1::roms_of(Bytes(12, 0), roms));
  std::vector<std::uint32_t> ids;
  EXPECT_FALSE(w1::master_ids_of(Bytes(6, 0), ids));
  EXPECT_FALSE(w1::parse_reply(nullptr, 0, out));
}

TEST_F(W1Layout, RandomDamageNeverReadsOutsideTheDatagram) {
  // Under AddressSanitizer a read past the end is a failure; every
  // record kept must lie inside what was given.
  std::mt19937 rng(2490);
  const std::uint32_t seq = 77;
  const Bytes base = datagram(seq, {status(seq, w1::kCmdReset), data(seq, w1::kCmdSearch, Bytes(24, 0x28)),
                                    status(seq, w1::kCmdSearch)},
                              1);
  int accepted = 0;
  for (int round = 0; round < 4000; ++round) {
    Bytes d = base;
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) d[rng() % d.size()] = static_cast<std::uint8_t>(rng());
    d.resize(rng() % 3 == 0 ? rng() % (d.size() + 1) : d.size());
    // A heap copy of exactly that size, so a read past it is caught.
    auto exact = std::make_unique<std::uint8_t[]>(d.size() + 1);
    std::copy(d.begin(), d.end(), exact.get());
    std::vector<w1::ReplyRecord> out;
    if (!w1::parse_reply(exact.get(), d.size(), out)) {
      EXPECT_TRUE(out.empty());
      continue;
    }
    ++accepted;
    std::size_t bytes = 0;
    for (const auto& r : out) bytes += r.data.size() + 12;
    EXPECT_LE(bytes, d.size());
  }
  EXPECT_GT(accepted, 0);
}

// ------------------------------------------- the link over a scripted channel

// A channel whose far end is a function: it gets every request and
// returns the datagrams to answer with.
struct Script {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Bytes> sent;
  std::deque<Bytes> inbox;
  std::function<std::vector<Bytes>(const Bytes&)> kernel;
  int open_result = 1;
  int send_result = 1;
  int opens = 0;
  bool open = false;
};

class ScriptedChannel final : public w1::NetlinkChannel {
 public:
  explicit ScriptedChannel(std::shared_ptr<Script> s) : s_(std::move(s)) {}
  int open() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    ++s_->opens;
    s_->open = s_->open_result == 1;
    return s_->open_result;
  }
  void close() override {
    std::lock_guard<std::mutex> lock(s_->mu);
    s_->open = false;
    s_->inbox.clear();
  }
  bool is_open() const override {
    std::lock_guard<std::mutex> lock(s_->mu);
    return s_->open;
  }
  int send(const std::uint8_t* d, std::size_t n) override {
    std::function<std::vector<Bytes>(const Bytes&)> kernel;
    Bytes request(d, d + n);
    {
      std::lock_guard<std::mutex> lock(s_->mu);
      s_->sent.push_back(request);
      if (s_->send_result != 1) return s_->send_result;
      kernel = s_->kernel;
    }
    if (!kernel) return 1;
    auto replies = kernel(request);
    std::lock_guard<std::mutex> lock(s_->mu);
    for (auto& r : replies) s_->inbox.push_back(std::move(r));
    s_->cv.notify_all();
    return 1;
  }
  int receive(std::vector<std::uint8_t>& datagram, rtl::Duration timeout) override {
    std::unique_lock<std::mutex> lock(s_->mu);
    if (!s_->cv.wait_for(lock, timeout, [&] { return !s_->inbox.empty(); })) return 0;
    datagram = std::move(s_->inbox.front());
    s_->inbox.pop_front();
    return static_cast<int>(std::max<std::size_t>(datagram.size(), 1));
  }

 private:
  std::shared_ptr<Script> s_;
};

// A kernel that knows master 1 and answers every command the way the w1
// subsystem does over `bus`, gathered into one datagram per request.
std::vector<Bytes> answer_as_kernel(const Bytes& request, onewire::sim::SimBus& bus,
                                    const std::vector<onewire::Rom>* search_list = nullptr) {
  const Asked a = asked(request);
  if (a.type == w1::kListMasters) return {master_list(a.seq, {1})};
  std::vector<Piece> pieces;
  for (const auto& c : a.cmds) {
    std::uint8_t st = 0;
    if (c.cmd == w1::kCmdReset) {
      st = bus.reset() == onewire::kResetNoPresence ? w1::kStatusNoPresence : 0;
    } else if (c.cmd == w1::kCmdTouch) {
      Bytes back;
      for (auto b : c.data) back.push_back(static_cast<std::uint8_t>(bus.touch_byte(b)));
      pieces.push_back(data(a.seq, c.cmd, back));
    } else if (c.cmd == w1::kCmdSearch || c.cmd == w1::kCmdAlarmSearch) {
      std::vector<onewire::Rom> roms;
      if (search_list != nullptr) roms = *search_list;
      pieces.push_back(data(a.seq, c.cmd, rom_bytes(roms)));
    } else {
      st = w1::kStatusEinval;
    }
    pieces.push_back(status(a.seq, c.cmd, st));
  }
  return {datagram(a.seq, pieces, 1)};
}

class W1ScriptedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    if constexpr (std::endian::native != std::endian::little)
      GTEST_SKIP() << "the byte patterns are those of a little-endian host";
    ASSERT_FALSE(sysfs.root().empty());
    sysfs.load_w1();
    sysfs.add_master(1, 2);
    script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
    bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x28, 0x0416913C6BFF)));
    bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x28, 0x0416913C6BEF)));
  }
  std::unique_ptr<w1::W1Link> make_link(int master = 1) {
    w1::W1Options o;
    o.sysfs_root = sysfs.root();
    o.open_timeout = 100ms;
    o.reply_timeout = 100ms;
    return std::make_unique<w1::W1Link>(master, std::make_unique<ScriptedChannel>(script), o);
  }
  std::vector<Bytes> sent() {
    std::lock_guard<std::mutex> lock(script->mu);
    return script->sent;
  }
  Bytes last_sent() { return sent().back(); }
  // Replaces the kernel for the next requests with one that answers
  // through `reply(asked request)`.
  void kernel(std::function<std::vector<Bytes>(const Asked&)> reply) {
    script->kernel = [reply](const Bytes& r) { return reply(asked(r)); };
  }

  testing_support::ScratchSysfs sysfs;
  std::shared_ptr<Script> script = std::make_shared<Script>();
  std::shared_ptr<onewire::sim::SimBus> bus = std::make_shared<onewire::sim::SimBus>();
};

TEST_F(W1ScriptedLink, OpenSaysWhatIsMissing) {
  // No w1 subsystem, then no such master: sysfs tells, no socket is made.
  sysfs.unload_w1();
  EXPECT_EQ(make_link()->open(), onewire::kErrW1NotLoaded);
  sysfs.load_w1();
  EXPECT_EQ(make_link()->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(make_link(0)->open(), onewire::kErrPortUnavailable);
  EXPECT_EQ(script->opens, 0);
  sysfs.add_master(1);
  // The socket refused: no connector in the kernel, or not permitted.
  script->open_result = onewire::kErrW1NoConnector;
  EXPECT_EQ(make_link()->open(), onewire::kErrW1NoConnector);
  script->open_result = onewire::kErrPermission;
  EXPECT_EQ(make_link()->open(), onewire::kErrPermission);
  script->open_result = 1;
  script->send_result = onewire::kErrPermission;
  EXPECT_EQ(make_link()->open(), onewire::kErrPermission);
  script->send_result = 1;
  // Nobody answers W1_LIST_MASTERS: w1 without its connector interface.
  script->kernel = nullptr;
  const auto start = std::chrono::steady_clock::now();
  auto silent = make_link();
  EXPECT_EQ(silent->open(), onewire::kErrW1NoConnector);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(silent->is_open());
  EXPECT_FALSE(script->open) << "the socket is closed again";
  // The kernel has other masters, not this one (it went away since).
  kernel([](const Asked& a) { return std::vector<Bytes>{master_list(a.seq, {2, 3})}; });
  EXPECT_EQ(make_link()->open(), onewire::kErrPortUnavailable);
  // The kernel's list names it: open.
  kernel([](const Asked& a) { return std::vector<Bytes>{master_list(a.seq, {3, 1})}; });
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  EXPECT_TRUE(link->is_open());
  EXPECT_TRUE(matches(last_sent(), pattern("30 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "0C 00 00 00 06 00 00 00 00 00 00 00 00 00 00 00")));
}

TEST_F(W1ScriptedLink, EachOperationIsOneRequestOfTheKernelsLayout) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  const std::size_t before = sent().size();

  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  EXPECT_TRUE(matches(last_sent(), pattern("34 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "10 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
                                           "05 00 00 00")));
  EXPECT_EQ(link->touch_byte(0xCC), 0xCC);
  EXPECT_TRUE(matches(last_sent(), pattern("35 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "11 00 01 00 04 00 05 00 01 00 00 00 00 00 00 00"
                                           "04 00 01 00 CC 00 00 00")));
  // The scratchpad read as the worker makes it: reset, MATCH ROM, the
  // ROM and the bytes in one message of two commands.
  const onewire::Rom rom = onewire::sim::make_rom(0x28, 0x0416913C6BFF);
  std::array<std::uint8_t, 10> pad{0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(link->block(&rom, false, pad.data(), pad.size()), 1);
  std::string touch = "55";
  for (auto b : rom) {
    static const char* kDigits = "0123456789ABCDEF";
    touch += {' ', kDigits[b >> 4], kDigits[b & 15]};
  }
  touch += " BE FF FF FF FF FF FF FF FF FF 00";
  EXPECT_TRUE(matches(last_sent(), pattern("4B 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "27 00 01 00 04 00 1B 00 01 00 00 00 00 00 00 00"
                                           "05 00 00 00 04 00 13 00 " +
                                           touch)));
  // A block of bytes alone is one TOUCH; a reset alone with no bytes is
  // one RESET.
  std::array<std::uint8_t, 2> two{0xFF, 0xFF};
  EXPECT_EQ(link->block(nullptr, false, two.data(), two.size()), 1);
  EXPECT_TRUE(matches(last_sent(), pattern("36 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "12 00 01 00 04 00 06 00 01 00 00 00 00 00 00 00"
                                           "04 00 02 00 FF FF 00 00")));
  EXPECT_EQ(link->block(nullptr, true, nullptr, 0), 1);
  EXPECT_EQ(asked(last_sent()).cmds.size(), 1u);
  EXPECT_EQ(asked(last_sent()).cmds[0].cmd, w1::kCmdReset);
  // A search and an alarm search.
  onewire::SearchPass pass;
  link->search(pass);
  EXPECT_TRUE(matches(last_sent(), pattern("34 00 00 00 03 00 01 00 SS SS SS SS 00 00 00 00"
                                           "03 00 00 00 01 00 00 00 SS SS SS SS SS SS SS SS"
                                           "10 00 01 00 04 00 04 00 01 00 00 00 00 00 00 00"
                                           "02 00 00 00")));
  onewire::SearchPass alarm;
  alarm.alarm_only = true;
  link->search(alarm);
  EXPECT_EQ(asked(last_sent()).cmds.at(0).cmd, w1::kCmdAlarmSearch);
  EXPECT_EQ(sent().size(), before + 7) << "one request per operation";
  // Sequence numbers differ from request to request.
  const auto all = sent();
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_NE(u32_at(all[i], 8), u32_at(all[i - 1], 8));
  // No time slot and no other speed over the connector.
  EXPECT_EQ(link->touch_bit(1), onewire::kErrNotOffered);
  EXPECT_EQ(link->set_speed(onewire::Speed::kNormal), 0);
  EXPECT_EQ(link->set_speed(onewire::Speed::kOverdrive), onewire::kErrSpeed);
  EXPECT_FALSE(link->can_strong_pullup());
  EXPECT_EQ(link->touch_byte_pullup(0x44), onewire::kErrNotOffered);
  EXPECT_EQ(sent().size(), before + 7) << "none of these reached the kernel";
}

TEST_F(W1ScriptedLink, PresenceAndTheBlocksAnswers) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The bus answers through the script: what the block reads back.
  std::array<std::uint8_t, 3> bytes{0x33, 0xFF, 0xFF};  // READ ROM
  ASSERT_EQ(link->block(nullptr, true, bytes.data(), bytes.size()), 1);
  EXPECT_EQ(bytes[0], 0x33);
  // Two devices answer READ ROM at once: the wired AND of both families.
  EXPECT_EQ(bytes[1], 0x28);
  // Nobody on the bus: the reset says so and the block reports it.
  for (const auto& d : bus->devices()) bus->remove(d->rom());
  EXPECT_EQ(link->reset(), onewire::kResetNoPresence);
  const onewire::Rom rom = onewire::sim::make_rom(0x28, 1);
  EXPECT_EQ(link->block(&rom, false, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(link->match(rom), 0);
  // A status no reset has: the kernel answered something else.
  kernel([](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdReset, 5)})}; });
  EXPECT_EQ(link->reset(), onewire::kErrAdapterNoResponse);
  // A long block goes out in several requests, the reset only in the
  // first, and comes back whole.
  bus->add(onewire::sim::make_rom_device(rom));
  script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
  std::vector<std::uint8_t> big(10000, 0xFF);
  const std::size_t before = sent().size();
  ASSERT_EQ(link->block(nullptr, true, big.data(), big.size()), 1);
  const auto all = sent();
  ASSERT_EQ(all.size(), before + 3);
  EXPECT_EQ(asked(all[before]).cmds.size(), 2u);
  EXPECT_EQ(asked(all[before + 1]).cmds.size(), 1u);
  std::size_t touched = 0;
  for (std::size_t i = before; i < all.size(); ++i) {
    EXPECT_LE(all[i].size(), 16u + w1::kMaxPayload);
    for (const auto& c : asked(all[i]).cmds)
      if (c.cmd == w1::kCmdTouch) touched += c.data.size();
  }
  EXPECT_EQ(touched, big.size());
  EXPECT_TRUE(std::all_of(big.begin(), big.end(), [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(W1ScriptedLink, StaleForeignAndRepliesSplitAcrossDatagramsAreSortedOut) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // A late reply to an earlier request and an event come first; then the
  // real reply in three datagrams, as a kernel without bundling sends it.
  kernel([](const Asked& a) {
    Piece event;
    event.type = w1::kSlaveAdd;
    event.has_cmd = false;
    return std::vector<Bytes>{datagram(a.seq - 1, {status(a.seq - 1, w1::kCmdTouch)}),
                              datagram(a.seq, {event}),
                              datagram(a.seq, {data(a.seq, w1::kCmdTouch, {0x12})}),
                              datagram(a.seq, {status(a.seq, w1::kCmdTouch)})};
  });
  EXPECT_EQ(link->touch_byte(0xFF), 0x12);
  // A search list in pieces: each piece adds to the list.
  const onewire::Rom a = onewire::sim::make_rom(0x28, 0x10);
  const onewire::Rom b = onewire::sim::make_rom(0x28, 0x20);
  kernel([&](const Asked& q) {
    return std::vector<Bytes>{datagram(q.seq, {data(q.seq, w1::kCmdSearch, rom_bytes({b}))}),
                              datagram(q.seq, {data(q.seq, w1::kCmdSearch, rom_bytes({a}))}),
                              datagram(q.seq, {status(q.seq, w1::kCmdSearch)})};
  });
  onewire::SearchPass pass;
  ASSERT_EQ(link->search(pass), 1);
  std::vector<onewire::Rom> found{pass.rom};
  while (pass.last_zero != 0 && found.size() < 4) {
    pass.last_discrepancy = pass.last_zero;
    ASSERT_EQ(link->search(pass), 1);
    found.push_back(pass.rom);
  }
  EXPECT_EQ(found.size(), 2u);
  EXPECT_NE(std::find(found.begin(), found.end(), a), found.end());
  EXPECT_NE(std::find(found.begin(), found.end(), b), found.end());
}

TEST_F(W1ScriptedLink, HostileRepliesEndTheOperationWithinItsDeadline) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  struct Case {
    const char* what;
    std::function<std::vector<Bytes>(const Asked&)> reply;
    int want;
  };
  const std::vector<Case> cases = {
      {"only a stale seq", [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq + 7, {status(a.seq + 7, 4)})}; },
       onewire::kErrAdapterNoResponse},
      {"nothing", [](const Asked&) { return std::vector<Bytes>{}; }, onewire::kErrAdapterNoResponse},
      {"cut short",
       [](const Asked& a) {
         Bytes d = datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1}), status(a.seq, w1::kCmdTouch)}, 1);
         d.resize(d.size() - 9);
         return std::vector<Bytes>{d};
       },
       onewire::kErrAdapterNoResponse},
      {"cn.len 0xFFFF",
       [](const Asked& a) {
         Bytes d = datagram(a.seq, {status(a.seq, w1::kCmdTouch)});
         d[32] = 0xFF;
         d[33] = 0xFF;
         return std::vector<Bytes>{d};
       },
       onewire::kErrAdapterNoResponse},
      {"an empty datagram", [](const Asked&) { return std::vector<Bytes>{Bytes{}}; }, onewire::kErrAdapterNoResponse},
      {"the data of another command",
       [](const Asked& a) {
         return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdRead, {1}), status(a.seq, w1::kCmdTouch)})};
       },
       onewire::kErrAdapterNoResponse},
      {"two bytes for one",
       [](const Asked& a) {
         return std::vector<Bytes>{
             datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1, 2}), status(a.seq, w1::kCmdTouch)})};
       },
       onewire::kErrAdapterNoResponse},
      {"a status with data",
       [](const Asked& a) {
         Piece st = status(a.seq, w1::kCmdTouch);
         st.data = {9};
         return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdTouch, {1}), st})};
       },
       onewire::kErrAdapterNoResponse},
      {"another master's reply",
       [](const Asked& a) {
         Piece d = data(a.seq, w1::kCmdTouch, {1});
         Piece s = status(a.seq, w1::kCmdTouch);
         d.master = s.master = 2;
         return std::vector<Bytes>{datagram(a.seq, {d, s})};
       },
       onewire::kErrAdapterNoResponse},
      {"an error status (ENOMEM)",
       [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdTouch, w1::kStatusEnomem)})}; },
       onewire::kErrAdapterNoResponse},
      {"E2BIG", [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {status(a.seq, w1::kCmdTouch, 7)})}; },
       onewire::kErrAdapterNoResponse},
      {"the message refused (EPROTO)",
       [](const Asked& a) { return std::vector<Bytes>{datagram(a.seq, {refusal(a.seq, w1::kStatusEproto)})}; },
       onewire::kErrAdapterNoResponse},
      {"endless data",
       [](const Asked& a) {
         std::vector<Bytes> flood;
         for (int i = 0; i < 40; ++i) flood.push_back(datagram(a.seq, {data(a.seq, w1::kCmdTouch, Bytes(1000, 0))}));
         return flood;
       },
       onewire::kErrAdapterNoResponse},
  };
  for (const auto& c : cases) {
    kernel(c.reply);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(link->touch_byte(0xFF), c.want) << c.what;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.what;
    // The socket stays: the next operation works again.
    script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
    EXPECT_TRUE(link->is_open()) << c.what;
    EXPECT_EQ(link->touch_byte(0xA5), 0xA5) << c.what;
  }
  // Search data that is not whole ids.
  kernel([](const Asked& a) {
    return std::vector<Bytes>{datagram(a.seq, {data(a.seq, w1::kCmdSearch, Bytes(11, 0x28)), status(a.seq, w1::kCmdSearch)})};
  });
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), onewire::kErrAdapterNoResponse);
}

TEST_F(W1ScriptedLink, AMasterThatWentAwayClosesTheLinkAndIsLookedForAgain) {
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  // The kernel no longer has master 1 (its driver was unloaded).
  kernel([](const Asked& a) -> std::vector<Bytes> {
    if (a.type == w1::kListMasters) return {master_list(a.seq, {})};
    return {datagram(a.seq, {refusal(a.seq, w1::kStatusEnodev)})};
  });
  sysfs.remove_master(1);
  EXPECT_EQ(link->reset(), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->open(), onewire::kErrPortUnavailable);
  // Back: the next open finds it.
  sysfs.add_master(1);
  script->kernel = [this](const Bytes& r) { return answer_as_kernel(r, *bus); };
  ASSERT_EQ(link->open(), 1);
  EXPECT_EQ(link->reset(), onewire::kResetPresence);
  // A socket that fails ends the session's hold on it too.
  script->send_result = onewire::kErrPortIo;
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(link->touch_byte(0xFF), onewire::kErrPortIo);
}

// Every pass of a search over the kernel's list is the pass a search over
// a bus of those devices makes, slot by slot: compared with our bit-level
// search on the simulated bus, on buses whose ROMs share long prefixes.
TEST_F(W1ScriptedLink, PassesFromTheKernelsListAreThoseOfABitLevelSearch) {
  std::mt19937_64 rng(18);
  for (int trial = 0; trial < 60; ++trial) {
    auto sim = std::make_shared<onewire::sim::SimBus>();
    std::vector<onewire::Rom> roms;
    const int count = 1 + static_cast<int>(rng() % 24);
    const std::uint64_t base = rng() & 0xFFFFFFFF0000ULL;
    for (int i = 0; i < count; ++i) {
      // Families that differ in their top bit too (0x81 is the DS9490's
      // ID chip, 0xA2 any other), so the family byte has discrepancies
      // down to bit 8.
      static constexpr std::uint8_t kFamilies[] = {0x10, 0x28, 0x22, 0x81, 0xA2};
      const std::uint8_t family = kFamilies[rng() % 5];
      const onewire::Rom rom = onewire::sim::make_rom(family, base | (rng() % 4096));
      if (std::find(roms.begin(), roms.end(), rom) != roms.end()) continue;
      roms.push_back(rom);
      sim->add(onewire::sim::make_rom_device(rom));
    }
    // The kernel lists them in its own order; the link sorts.
    std::vector<onewire::Rom> listed = roms;
    std::shuffle(listed.begin(), listed.end(), rng);
    script->kernel = [&](const Bytes& r) { return answer_as_kernel(r, *sim, &listed); };
    auto link = make_link();
    ASSERT_EQ(link->open(), 1);
    onewire::sim::SimLink reference(sim);
    ASSERT_EQ(reference.open(), 1);
    onewire::SearchPass mine, theirs;
    for (int k = 0; k <= count; ++k) {
      const int a = link->search(mine);
      const int b = reference.search(theirs);
      ASSERT_EQ(a, b) << "trial " << trial << " pass " << k;
      if (a != 1) break;
      ASSERT_EQ(mine.rom, theirs.rom) << "trial " << trial << " pass " << k;
      ASSERT_EQ(mine.last_zero, theirs.last_zero) << "trial " << trial << " pass " << k;
      ASSERT_EQ(mine.last_family_zero, theirs.last_family_zero) << "trial " << trial << " pass " << k;
      if (mine.last_zero == 0) break;
      mine.last_discrepancy = mine.last_zero;
      theirs.last_discrepancy = theirs.last_zero;
    }
    // A pass resumed at a discrepancy no device of the list takes finds
    // nobody, as on the bus.
    onewire::SearchPass odd;
    odd.rom = roms[0];
    odd.rom[7] ^= 0x80;
    odd.last_discrepancy = 64;
    onewire::SearchPass odd_ref = odd;
    EXPECT_EQ(link->search(odd), reference.search(odd_ref)) << "trial " << trial;
  }
  // An empty list: no device took part.
  std::vector<onewire::Rom> none;
  script->kernel = [&](const Bytes& r) { return answer_as_kernel(r, *bus, &none); };
  auto link = make_link();
  ASSERT_EQ(link->open(), 1);
  onewire::SearchPass pass;
  EXPECT_EQ(link->search(pass), 0);
}

TEST(W1Sysfs, MastersAreListedByNumber) {
  testing_support::ScratchSysfs sysfs;
  ASSERT_FALSE(sysfs.root().empty());
  EXPECT_FALSE(w1::w1_loaded(sysfs.root()));
  EXPECT_TRUE(w1::list_masters(sysfs.root()).empty());
  sysfs.load_w1();
  EXPECT_TRUE(w1::w1_loaded(sysfs.root()));
  sysfs.add_master(10, 0);
  sysfs.add_master(2, 3);
  sysfs.add_master(1);
  // Slaves and other entries beside the masters are not masters.
  std::filesystem::create_directories(sysfs.devices() / "28-0416913c6bff");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master07");
  std::filesystem::create_directories(sysfs.devices() / "w1_bus_master3x");
  const auto masters = w1::list_masters(sysfs.root());
  ASSERT_EQ(masters.size(), 3u);
  EXPECT_EQ(masters[0].number, 1);
  EXPECT_EQ(masters[0].devices, -1);
  EXPECT_EQ(masters[1].number, 2);
  EXPECT_EQ(masters[1].devices, 3);
  EXPECT_EQ(masters[2].number, 10);
  EXPECT_EQ(masters[2].devices, 0);
  EXPECT_EQ(masters[1].directory, w1::master_directory(sysfs.root(), 2));
  EXPECT_EQ(w1::master_number("w1_bus_master12"), 12);
  EXPECT_FALSE(w1::master_number("w1_bus_master0"));
  EXPECT_FALSE(w1::master_number("w1_bus_master-1"));
  EXPECT_FALSE(w1::master_number("w1_bus_master99999999999"));
  EXPECT_FALSE(w1::master_number("W1_BUS_MASTER1"));
}

}  // namespace
