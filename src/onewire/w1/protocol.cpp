#include "onewire/w1/protocol.hpp"

#include <cstring>

namespace onewire::w1 {

namespace {

template <typename T>
void put(std::vector<std::uint8_t>& out, std::size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof value);
}

template <typename T>
T get(const std::uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The netlink header and the cn_msg before `payload` bytes of w1 data;
// the datagram is padded to a multiple of four, as the kernel pads its own.
std::vector<std::uint8_t> frame(std::uint32_t seq, std::uint16_t flags, std::size_t payload) {
  const std::size_t len = kNlmsgHeaderSize + kCnMsgSize + payload;
  std::vector<std::uint8_t> out((len + 3) & ~std::size_t{3}, 0);
  put<std::uint32_t>(out, kNlmsgLenAt, static_cast<std::uint32_t>(len));
  put<std::uint16_t>(out, kNlmsgTypeAt, kNlmsgDone);
  put<std::uint16_t>(out, kNlmsgFlagsAt, kNlmFRequest);
  put<std::uint32_t>(out, kNlmsgSeqAt, seq);
  put<std::uint32_t>(out, kNlmsgPidAt, 0);
  const std::size_t cn = kNlmsgHeaderSize;
  put<std::uint32_t>(out, cn + kCnIdxAt, kCnW1Idx);
  put<std::uint32_t>(out, cn + kCnValAt, kCnW1Val);
  put<std::uint32_t>(out, cn + kCnSeqAt, seq);
  // The status replies carry the request's ack and the data replies
  // seq + 1: with ack = seq the two never look alike.
  put<std::uint32_t>(out, cn + kCnAckAt, seq);
  put<std::uint16_t>(out, cn + kCnLenAt, static_cast<std::uint16_t>(payload));
  put<std::uint16_t>(out, cn + kCnFlagsAt, flags);
  return out;
}

constexpr std::size_t kW1At = kNlmsgHeaderSize + kCnMsgSize;

}  // namespace

std::size_t master_request_overhead(std::size_t commands) {
  return kNlmsgHeaderSize + kCnMsgSize + kW1MsgSize + commands * kW1CmdSize;
}

std::vector<std::uint8_t> master_request(std::uint32_t seq, std::uint32_t master, const std::vector<Command>& commands,
                                         bool bundle) {
  std::size_t body = 0;
  for (const Command& c : commands) body += kW1CmdSize + c.data.size();
  std::vector<std::uint8_t> out = frame(seq, bundle ? kCnBundle : 0, kW1MsgSize + body);
  out[kW1At + kW1MsgTypeAt] = kMasterCmd;
  out[kW1At + kW1MsgStatusAt] = 0;
  put<std::uint16_t>(out, kW1At + kW1MsgLenAt, static_cast<std::uint16_t>(body));
  put<std::uint32_t>(out, kW1At + kW1MsgIdAt, master);
  put<std::uint32_t>(out, kW1At + kW1MsgIdAt + 4, 0);
  std::size_t at = kW1At + kW1MsgSize;
  for (const Command& c : commands) {
    out[at + kW1CmdCmdAt] = c.cmd;
    out[at + kW1CmdResAt] = 0;
    put<std::uint16_t>(out, at + kW1CmdLenAt, static_cast<std::uint16_t>(c.data.size()));
    if (!c.data.empty()) std::memcpy(out.data() + at + kW1CmdSize, c.data.data(), c.data.size());
    at += kW1CmdSize + c.data.size();
  }
  return out;
}

std::vector<std::uint8_t> list_masters_request(std::uint32_t seq) {
  std::vector<std::uint8_t> out = frame(seq, 0, kW1MsgSize);
  out[kW1At + kW1MsgTypeAt] = kListMasters;
  return out;
}

std::uint32_t ReplyRecord::master() const { return get<std::uint32_t>(id.data()); }

bool parse_reply(const std::uint8_t* datagram, std::size_t n, std::vector<ReplyRecord>& out) {
  if (datagram == nullptr || n < kNlmsgHeaderSize) return false;
  const auto nlmsg_len = get<std::uint32_t>(datagram + kNlmsgLenAt);
  if (nlmsg_len < kNlmsgHeaderSize || nlmsg_len > n) return false;
  if (get<std::uint16_t>(datagram + kNlmsgTypeAt) != kNlmsgDone) return true;
  std::vector<ReplyRecord> records;
  const std::uint8_t* p = datagram + kNlmsgHeaderSize;
  std::size_t left = nlmsg_len - kNlmsgHeaderSize;
  while (left > 0) {
    if (left < kCnMsgSize) return false;
    const std::size_t cn_len = get<std::uint16_t>(p + kCnLenAt);
    if (cn_len > left - kCnMsgSize) return false;
    if (get<std::uint32_t>(p + kCnIdxAt) != kCnW1Idx || get<std::uint32_t>(p + kCnValAt) != kCnW1Val) return false;
    ReplyRecord base;
    base.seq = get<std::uint32_t>(p + kCnSeqAt);
    base.ack = get<std::uint32_t>(p + kCnAckAt);
    const std::uint8_t* m = p + kCnMsgSize;
    std::size_t m_left = cn_len;
    while (m_left > 0) {
      if (m_left < kW1MsgSize) return false;
      const std::size_t msg_len = get<std::uint16_t>(m + kW1MsgLenAt);
      if (msg_len > m_left - kW1MsgSize) return false;
      ReplyRecord msg = base;
      msg.type = m[kW1MsgTypeAt];
      msg.status = m[kW1MsgStatusAt];
      std::memcpy(msg.id.data(), m + kW1MsgIdAt, msg.id.size());
      const std::uint8_t* c = m + kW1MsgSize;
      const bool commands = (msg.type == kMasterCmd || msg.type == kSlaveCmd) && msg_len > 0;
      if (!commands) {
        msg.data.assign(c, c + msg_len);
        records.push_back(std::move(msg));
      }
      std::size_t c_left = commands ? msg_len : 0;
      while (c_left > 0) {
        if (c_left < kW1CmdSize) return false;
        const std::size_t cmd_len = get<std::uint16_t>(c + kW1CmdLenAt);
        if (cmd_len > c_left - kW1CmdSize) return false;
        ReplyRecord rec = msg;
        rec.has_command = true;
        rec.cmd = c[kW1CmdCmdAt];
        rec.data.assign(c + kW1CmdSize, c + kW1CmdSize + cmd_len);
        records.push_back(std::move(rec));
        c += kW1CmdSize + cmd_len;
        c_left -= kW1CmdSize + cmd_len;
      }
      m += kW1MsgSize + msg_len;
      m_left -= kW1MsgSize + msg_len;
    }
    p += kCnMsgSize + cn_len;
    left -= kCnMsgSize + cn_len;
  }
  for (auto& r : records) out.push_back(std::move(r));
  return true;
}

bool roms_of(const std::vector<std::uint8_t>& data, std::vector<Rom>& out) {
  if (data.size() % 8 != 0) return false;
  for (std::size_t at = 0; at < data.size(); at += 8) {
    // The kernel keeps the id as a number whose lowest byte is the family
    // code, the first byte on the wire.
    const auto id = get<std::uint64_t>(data.data() + at);
    Rom rom{};
    for (std::size_t i = 0; i < rom.size(); ++i) rom[i] = static_cast<std::uint8_t>(id >> (8 * i));
    out.push_back(rom);
  }
  return true;
}

bool master_ids_of(const std::vector<std::uint8_t>& data, std::vector<std::uint32_t>& out) {
  if (data.size() % 4 != 0) return false;
  for (std::size_t at = 0; at < data.size(); at += 4) out.push_back(get<std::uint32_t>(data.data() + at));
  return true;
}

}  // namespace onewire::w1
