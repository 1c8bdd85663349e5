// The kernel's w1 netlink messages written out as bytes, from the
// kernel's definitions and the fact sheet's offsets (little-endian
// hosts): request patterns to hold the link's requests against, and
// replies built as the kernel builds them, sound or damaged at will.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "onewire/link.hpp"
#include "onewire/w1/protocol.hpp"

namespace testing_support::w1netlink {

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
inline Pattern pattern(const std::string& text) {
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
inline Bytes hex(const std::string& text) { return pattern(text).bytes; }

inline std::uint32_t u32_at(const Bytes& b, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}
inline std::uint16_t u16_at(const Bytes& b, std::size_t at) {
  std::uint16_t v = 0;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

// A request against its pattern, with every SS run holding the request's
// own sequence number (bytes 8..11 of the netlink header).
inline ::testing::AssertionResult matches(const Bytes& got, const Pattern& want) {
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

inline void put32(Bytes& b, std::uint32_t v) {
  const auto at = b.size();
  b.resize(at + 4);
  std::memcpy(b.data() + at, &v, 4);
}
inline void put16(Bytes& b, std::uint16_t v) {
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
inline Piece status(std::uint32_t seq, std::uint8_t cmd, std::uint8_t st = 0) {
  Piece p;
  p.ack = seq;
  p.cmd = cmd;
  p.status = st;
  return p;
}
// A data reply: ack = seq + 1.
inline Piece data(std::uint32_t seq, std::uint8_t cmd, Bytes bytes) {
  Piece p;
  p.ack = seq + 1;
  p.cmd = cmd;
  p.data = std::move(bytes);
  return p;
}
// An error about the whole message: no command.
inline Piece refusal(std::uint32_t seq, std::uint8_t st) {
  Piece p;
  p.ack = seq;
  p.has_cmd = false;
  p.status = st;
  return p;
}

// One datagram holding `pieces`; consecutive pieces with the same ack
// share one cn_msg, as the kernel's bundling writes them.
inline Bytes datagram(std::uint32_t seq, const std::vector<Piece>& pieces, std::uint16_t cn_flags = 0) {
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
inline Bytes master_list(std::uint32_t seq, const std::vector<std::uint32_t>& ids) {
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

inline Bytes rom_bytes(const std::vector<onewire::Rom>& roms) {
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
inline Asked asked(const Bytes& r) {
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

}  // namespace testing_support::w1netlink
