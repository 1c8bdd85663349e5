// The kernel's w1 netlink protocol, as bytes: what a request to a w1 bus
// master looks like and how the replies come back. One datagram is one
// netlink header, then one or more connector messages (struct cn_msg),
// each holding w1 messages (struct w1_netlink_msg) that hold commands
// (struct w1_netlink_cmd) with their data. The structures follow each
// other with no padding between them, every field in host byte order; the
// kernel exports only the connector's structure, so the w1 ones are laid
// out here by offset (linux/netlink_socket.cpp checks the rest against the
// kernel's headers at compile time).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "onewire/link.hpp"

namespace onewire::w1 {

// struct nlmsghdr
inline constexpr std::size_t kNlmsgHeaderSize = 16;
inline constexpr std::size_t kNlmsgLenAt = 0;    // u32, header included
inline constexpr std::size_t kNlmsgTypeAt = 4;   // u16
inline constexpr std::size_t kNlmsgFlagsAt = 6;  // u16
inline constexpr std::size_t kNlmsgSeqAt = 8;    // u32
inline constexpr std::size_t kNlmsgPidAt = 12;   // u32

// struct cn_msg
inline constexpr std::size_t kCnMsgSize = 20;
inline constexpr std::size_t kCnIdxAt = 0;    // u32
inline constexpr std::size_t kCnValAt = 4;    // u32
inline constexpr std::size_t kCnSeqAt = 8;    // u32
inline constexpr std::size_t kCnAckAt = 12;   // u32
inline constexpr std::size_t kCnLenAt = 16;   // u16, bytes after the header
inline constexpr std::size_t kCnFlagsAt = 18;  // u16

// struct w1_netlink_msg
inline constexpr std::size_t kW1MsgSize = 12;
inline constexpr std::size_t kW1MsgTypeAt = 0;    // u8
inline constexpr std::size_t kW1MsgStatusAt = 1;  // u8
inline constexpr std::size_t kW1MsgLenAt = 2;     // u16, bytes after the header
inline constexpr std::size_t kW1MsgIdAt = 4;      // 8 bytes: a slave id, or the master's u32 id and a reserved u32

// struct w1_netlink_cmd
inline constexpr std::size_t kW1CmdSize = 4;
inline constexpr std::size_t kW1CmdCmdAt = 0;  // u8
inline constexpr std::size_t kW1CmdResAt = 1;  // u8
inline constexpr std::size_t kW1CmdLenAt = 2;  // u16, bytes after the header

inline constexpr int kNetlinkConnector = 11;  // the netlink protocol number
inline constexpr std::uint32_t kCnW1Idx = 3;  // the w1 connector's id
inline constexpr std::uint32_t kCnW1Val = 1;
inline constexpr std::uint16_t kNlmsgDone = 3;    // the type the kernel gives its replies
inline constexpr std::uint16_t kNlmFRequest = 1;  // NLM_F_REQUEST
// cn_msg.flags: the replies to a request come gathered in as few
// datagrams as fit (kernels since 3.16; earlier ones ignore the flag).
inline constexpr std::uint16_t kCnBundle = 1;
// The connector drops (without a word) a request whose cn_msg and data
// together exceed this.
inline constexpr std::size_t kMaxPayload = 16384;

// w1_netlink_msg.type
enum MsgType : std::uint8_t {
  kSlaveAdd = 0,  // events, sent to the connector's group
  kSlaveRemove = 1,
  kMasterAdd = 2,
  kMasterRemove = 3,
  kMasterCmd = 4,  // commands for the master whose id the message names
  kSlaveCmd = 5,   // reset, select the slave, then commands
  kListMasters = 6,
};

// w1_netlink_cmd.cmd
enum Cmd : std::uint8_t {
  kCmdRead = 0,
  kCmdWrite = 1,
  kCmdSearch = 2,
  kCmdAlarmSearch = 3,
  kCmdTouch = 4,  // every bit written and sampled; the sampled bytes come back
  kCmdReset = 5,
  kCmdSlaveAdd = 6,
  kCmdSlaveRemove = 7,
  kCmdListSlaves = 8,
};

// w1_netlink_msg.status of a reply: the kernel's error, negated into a
// byte (the errno numbers of x86 and ARM).
inline constexpr std::uint8_t kStatusE2big = 7;
inline constexpr std::uint8_t kStatusEnomem = 12;
inline constexpr std::uint8_t kStatusEnodev = 19;
inline constexpr std::uint8_t kStatusEinval = 22;
inline constexpr std::uint8_t kStatusEproto = 71;
// The status of W1_CMD_RESET when no device answered: the bus reset's 1,
// negated like an error.
inline constexpr std::uint8_t kStatusNoPresence = 0xFF;

struct Command {
  std::uint8_t cmd = 0;
  std::vector<std::uint8_t> data;  // written (TOUCH, WRITE), or as long as the bytes to read (READ)
};

// Bytes a request to one master takes besides its commands' data.
std::size_t master_request_overhead(std::size_t commands);

// One datagram to the kernel: the netlink header, a cn_msg whose seq and
// ack are both `seq`, and one W1_MASTER_CMD message to master `master`
// with `commands` in order. `bundle` asks for the replies gathered.
std::vector<std::uint8_t> master_request(std::uint32_t seq, std::uint32_t master, const std::vector<Command>& commands,
                                         bool bundle);
// W1_LIST_MASTERS: which masters the kernel has.
std::vector<std::uint8_t> list_masters_request(std::uint32_t seq);

// One piece of a reply: a w1_netlink_msg with one of its commands, and
// the cn_msg it came in.
struct ReplyRecord {
  std::uint32_t seq = 0;
  std::uint32_t ack = 0;
  std::uint8_t type = 0;
  std::uint8_t status = 0;
  std::array<std::uint8_t, 8> id{};
  // False for a message that carries no command: an error about the whole
  // message, an event, or the master list (its ids are in `data`).
  bool has_command = false;
  std::uint8_t cmd = 0;
  std::vector<std::uint8_t> data;

  // The master a W1_MASTER_CMD message names.
  std::uint32_t master() const;
};

// The records of one datagram, in order, appended to `out`. False when the
// datagram does not hold together (a header cut short, a length reaching
// past what holds it, bytes left over between the structures, a connector
// other than w1's): then nothing of it is appended. A datagram of another
// netlink type than the kernel's replies holds no record.
bool parse_reply(const std::uint8_t* datagram, std::size_t n, std::vector<ReplyRecord>& out);

// The ROMs of a search reply's data (each a host-order u64 with the
// family code in its least significant byte), appended to `out`; false
// when the data is not a whole number of them.
bool roms_of(const std::vector<std::uint8_t>& data, std::vector<Rom>& out);
// The master ids of a W1_LIST_MASTERS reply (host-order u32s).
bool master_ids_of(const std::vector<std::uint8_t>& data, std::vector<std::uint32_t>& out);

}  // namespace onewire::w1
