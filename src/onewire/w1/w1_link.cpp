#include "onewire/w1/w1_link.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "onewire/errors.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::w1 {

namespace {

constexpr std::uint8_t kMatchRom = 0x55;
// Bytes of a block per request: far below what one request and its
// gathered reply may hold (kMaxPayload each), so a long block is cut into
// a few requests rather than refused.
constexpr std::size_t kMaxTouchPerRequest = 4096;
// Sequence numbers start high: kernels before 3.16 number the datagrams of
// a search list 1, 2, ... in their ack, and a status carries our seq.
constexpr std::uint32_t kFirstSeq = 0x10000;

// The pass a search makes over a bus of exactly `roms`, slot by slot as
// the devices would answer it: where the devices still in the pass
// disagree, the pass's branch; where they agree, theirs. Devices that
// read the other direction drop out. 0 when the list is empty.
int answer_pass(const std::vector<Rom>& roms, SearchPass& pass) {
  if (roms.empty()) return 0;
  std::vector<const Rom*> in;
  for (const Rom& r : roms) in.push_back(&r);
  SearchWalk walk;
  for (int n = 1; n <= 64; ++n) {
    const bool zero = std::any_of(in.begin(), in.end(), [n](const Rom* r) { return rom_bit(*r, n) == 0; });
    const bool one = std::any_of(in.begin(), in.end(), [n](const Rom* r) { return rom_bit(*r, n) == 1; });
    const int direction = zero && one ? search_branch(pass, n) : (one ? 1 : 0);
    walk.take(n, direction, zero && one);
    in.erase(std::remove_if(in.begin(), in.end(), [&](const Rom* r) { return rom_bit(*r, n) != direction; }),
             in.end());
  }
  walk.finish(pass);
  return 1;
}

// The reset's outcome from its status.
int presence_of(std::uint8_t status) {
  if (status == 0) return kResetPresence;
  if (status == kStatusNoPresence) return kResetNoPresence;
  return -1;
}

}  // namespace

struct W1Link::Outcome {
  std::vector<int> status;  // per command; -1 until it came
  std::vector<std::vector<std::uint8_t>> data;
};

W1Link::W1Link(int master, std::unique_ptr<NetlinkChannel> channel, W1Options options)
    : master_(master), channel_(std::move(channel)), options_(std::move(options)), seq_(kFirstSeq) {}

W1Link::~W1Link() { close(); }

int W1Link::open() {
  if (open_) return 1;
  if (!w1_loaded(options_.sysfs_root)) return kErrW1NotLoaded;
  std::error_code ec;
  if (master_ < 1 || !std::filesystem::is_directory(master_directory(options_.sysfs_root, master_), ec))
    return kErrPortUnavailable;
  if (!channel_) return kErrAdapterType;
  if (const int r = channel_->open(); r != 1) {
    channel_->close();
    return r < 0 ? r : kErrPortIo;
  }
  std::vector<std::uint32_t> ids;
  int r = list_masters(ids);
  if (r == 1 && std::find(ids.begin(), ids.end(), static_cast<std::uint32_t>(master_)) == ids.end())
    r = kErrPortUnavailable;
  if (r != 1) {
    channel_->close();
    return r;
  }
  open_ = true;
  walk_valid_ = false;
  return 1;
}

void W1Link::close() {
  if (channel_) channel_->close();
  open_ = false;
  walk_valid_ = false;
}

bool W1Link::is_open() const { return open_; }

std::uint32_t W1Link::next_seq() {
  if (++seq_ < kFirstSeq) seq_ = kFirstSeq;
  return seq_;
}

// A master that went away, or a socket that failed, ends the session's
// hold on it: the next call opens afresh and says what it finds. A reply
// that did not come, or made no sense, leaves the socket as it is: what
// arrives late carries an old sequence number and is passed over.
int W1Link::fail(int code) {
  if (code != kErrAdapterNoResponse) close();
  return code;
}

template <typename Take>
int W1Link::await(std::uint32_t seq, rtl::Duration timeout, Take&& take) {
  return serial::wait_with_deadline(timeout, [&](rtl::Duration slice) -> int {
    const int got = channel_->receive(datagram_, slice);
    if (got <= 0) return got;
    records_.clear();
    if (!parse_reply(datagram_.data(), datagram_.size(), records_)) return kErrAdapterNoResponse;
    for (const ReplyRecord& rec : records_) {
      // Late replies to a request that timed out, and the kernel's events.
      if (rec.seq != seq || rec.type <= kMasterRemove) continue;
      if (const int r = take(rec); r != 0) return r;
    }
    return 0;
  });
}

int W1Link::list_masters(std::vector<std::uint32_t>& ids) {
  const std::uint32_t seq = next_seq();
  const auto request = list_masters_request(seq);
  if (const int r = channel_->send(request.data(), request.size()); r != 1) return r < 0 ? r : kErrPortIo;
  const int r = await(seq, options_.open_timeout, [&](const ReplyRecord& rec) -> int {
    if (rec.type != kListMasters || !master_ids_of(rec.data, ids)) return kErrAdapterNoResponse;
    return 1;
  });
  // The kernel answers this at once in the receiving context; silence
  // means no w1 callback is registered with the connector.
  return r == 0 ? kErrW1NoConnector : r;
}

int W1Link::exchange(const std::vector<Command>& commands, Outcome& out) {
  if (!open_) return kErrPortIo;
  const std::uint32_t seq = next_seq();
  const auto request = master_request(seq, static_cast<std::uint32_t>(master_), commands, true);
  if (const int r = channel_->send(request.data(), request.size()); r != 1) return fail(r < 0 ? r : kErrPortIo);
  out.status.assign(commands.size(), -1);
  out.data.assign(commands.size(), {});
  std::size_t next = 0;  // the command whose status comes next
  const int r = await(seq, options_.reply_timeout, [&](const ReplyRecord& rec) -> int {
    if (rec.type != kMasterCmd || rec.master() != static_cast<std::uint32_t>(master_)) return kErrAdapterNoResponse;
    // Refused as a whole: the master is gone (ENODEV), or the kernel did
    // not take the message (EPROTO, EINVAL).
    if (!rec.has_command) return rec.status == kStatusEnodev ? kErrPortIo : kErrAdapterNoResponse;
    if (next >= commands.size() || rec.cmd != commands[next].cmd) return kErrAdapterNoResponse;
    if (rec.ack != seq) {
      // Data of the command whose status is still to come (a search list
      // may come in several pieces); the kernel's data carries no error.
      if (rec.status != 0) return kErrAdapterNoResponse;
      auto& d = out.data[next];
      d.insert(d.end(), rec.data.begin(), rec.data.end());
      return d.size() > kMaxPayload ? kErrAdapterNoResponse : 0;
    }
    if (!rec.data.empty()) return kErrAdapterNoResponse;
    out.status[next] = rec.status;
    ++next;
    // The kernel runs no command after one that did not fit its message.
    if (rec.status == kStatusE2big) return kErrAdapterNoResponse;
    return next == commands.size() ? 1 : 0;
  });
  if (r == 0) return kErrAdapterNoResponse;
  if (r < 0) return fail(r);
  return 1;
}

int W1Link::reset() {
  walk_valid_ = false;
  Outcome o;
  if (const int r = exchange({{kCmdReset, {}}}, o); r != 1) return r;
  const int presence = presence_of(static_cast<std::uint8_t>(o.status[0]));
  return presence < 0 ? kErrAdapterNoResponse : presence;
}

int W1Link::touch_bit(int) { return kErrNotOffered; }

int W1Link::touch_byte(int byte) {
  walk_valid_ = false;
  Outcome o;
  if (const int r = exchange({{kCmdTouch, {static_cast<std::uint8_t>(byte & 0xFF)}}}, o); r != 1) return r;
  if (o.status[0] != 0 || o.data[0].size() != 1) return kErrAdapterNoResponse;
  return o.data[0][0];
}

int W1Link::block(const Rom* rom, bool reset_first, std::uint8_t* data, std::size_t n) {
  walk_valid_ = false;
  const bool reset_needed = rom != nullptr || reset_first;
  std::vector<std::uint8_t> bytes;
  if (rom != nullptr) {
    bytes.push_back(kMatchRom);
    bytes.insert(bytes.end(), rom->begin(), rom->end());
  }
  const std::size_t prefix = bytes.size();
  if (n > 0) bytes.insert(bytes.end(), data, data + n);
  std::size_t at = 0;
  bool first = true;
  while (first || at < bytes.size()) {
    std::vector<Command> commands;
    const bool with_reset = first && reset_needed;
    if (with_reset) commands.push_back({kCmdReset, {}});
    const std::size_t k = std::min(kMaxTouchPerRequest, bytes.size() - at);
    if (k > 0) commands.push_back({kCmdTouch, std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + k)});
    first = false;
    if (commands.empty()) break;
    Outcome o;
    if (const int r = exchange(commands, o); r != 1) return r;
    std::size_t i = 0;
    if (with_reset) {
      const int presence = presence_of(static_cast<std::uint8_t>(o.status[0]));
      if (presence < 0) return kErrAdapterNoResponse;
      // The kernel runs the touch after a reset nobody answered as well;
      // with no device on the line its bytes went to nobody.
      if (presence == kResetNoPresence) return 0;
      i = 1;
    }
    if (k > 0) {
      if (o.status[i] != 0 || o.data[i].size() != k) return kErrAdapterNoResponse;
      std::copy(o.data[i].begin(), o.data[i].end(), bytes.begin() + at);
    }
    at += k;
  }
  if (n > 0) std::copy(bytes.begin() + prefix, bytes.end(), data);
  return 1;
}

int W1Link::search(SearchPass& pass) {
  // A pass with no discrepancy to resume starts a walk of the bus: the
  // kernel searches anew, and that list answers the walk's passes.
  if (pass.last_discrepancy == 0 || !walk_valid_ || walk_alarm_ != pass.alarm_only) {
    walk_valid_ = false;
    Outcome o;
    const std::uint8_t cmd = pass.alarm_only ? kCmdAlarmSearch : kCmdSearch;
    if (const int r = exchange({{cmd, {}}}, o); r != 1) return r;
    if (o.status[0] != 0) return kErrAdapterNoResponse;
    std::vector<Rom> roms;
    if (!roms_of(o.data[0], roms)) return kErrAdapterNoResponse;
    std::sort(roms.begin(), roms.end(), search_order_less);
    roms.erase(std::unique(roms.begin(), roms.end()), roms.end());
    walk_ = std::move(roms);
    walk_valid_ = true;
    walk_alarm_ = pass.alarm_only;
  }
  return answer_pass(walk_, pass);
}

int W1Link::set_speed(Speed speed) {
  if (!open_) return kErrPortIo;
  return speed == Speed::kNormal ? static_cast<int>(Speed::kNormal) : kErrSpeed;
}

const char* W1Link::name() const { return "Linux kernel w1 bus master (netlink connector)"; }

}  // namespace onewire::w1
