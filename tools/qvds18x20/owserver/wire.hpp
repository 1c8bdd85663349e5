// The owserver protocol on the wire: the 24-byte headers of requests and
// replies (six big-endian 32-bit integers), the message types, the flag
// word, the error codes OWFS clients know, and the limits a request must
// keep. Pure functions: no I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qvtool::owserver {

inline constexpr std::size_t kHeaderSize = 24;

// The six words of every header.
struct Header {
  std::int32_t version = 0;
  std::int32_t payload = 0;  // bytes after the header; -1 in a reply: a keep-alive ping
  std::int32_t type = 0;     // a request's MessageType; a reply's result (ret)
  std::int32_t flags = 0;
  std::int32_t size = 0;
  std::int32_t offset = 0;
};

Header decode_header(const std::uint8_t* bytes);
std::array<std::uint8_t, kHeaderSize> encode_header(const Header& h);

enum MessageType : std::int32_t {
  kMsgError = 0,
  kMsgNop = 1,
  kMsgRead = 2,
  kMsgWrite = 3,
  kMsgDir = 4,
  kMsgSize = 5,  // no longer part of the protocol: refused as unknown
  kMsgPresence = 6,
  kMsgDirAll = 7,
  kMsgGet = 8,
  kMsgDirAllSlash = 9,
  kMsgGetSlash = 10,
};

// --- the flag word ---
inline constexpr std::int32_t kFlagBusRet = 0x00000002;  // listings show bus.N, settings, ...
inline constexpr std::int32_t kFlagPersistence = 0x00000004;
inline constexpr std::int32_t kFlagAlias = 0x00000008;
inline constexpr std::int32_t kFlagSafeMode = 0x00000010;
inline constexpr std::int32_t kFlagUncached = 0x00000020;
inline constexpr std::int32_t kFlagTrim = 0x00000040;
inline constexpr std::int32_t kFlagOwnet = 0x00000100;
inline constexpr std::int32_t kScaleMask = 0x00030000;
inline constexpr int kScaleShift = 16;
inline constexpr std::uint32_t kNameFormatMask = 0xFF000000u;
inline constexpr int kNameFormatShift = 24;

enum class Scale { kCelsius = 0, kFahrenheit = 1, kKelvin = 2, kRankine = 3 };
Scale scale_of(std::int32_t flags);

// How device names are written: family, id, CRC, with or without dots.
enum class NameFormat { kFdI = 0, kFI = 1, kFdIdC = 2, kFdIC = 3, kFIdC = 4, kFIC = 5 };
// The request's format; unknown values give the default, f.i.
NameFormat name_format_of(std::int32_t flags);

// --- results: negated errno values, as OWFS clients read them ---
inline constexpr int kErrParse = 1;          // a path that names nothing (owserver's answer to any bad path)
inline constexpr int kErrNoEntry = 2;        // ENOENT: no such device or property
inline constexpr int kErrIo = 5;             // EIO: the bus failed, or the value is not a measurement
inline constexpr int kErrNotDir = 20;        // ENOTDIR: a listing of a file
inline constexpr int kErrIsDir = 21;         // EISDIR: a read of a directory
inline constexpr int kErrInvalid = 22;       // EINVAL: a value that cannot be written, a spoiled scratchpad
inline constexpr int kErrBusy = 16;          // EBUSY: the server cannot take the request now
inline constexpr int kErrRange = 34;         // ERANGE: a value out of the part's range
inline constexpr int kErrNoMsg = 42;         // ENOMSG: an unknown message type
inline constexpr int kErrBadMsg = 74;        // EBADMSG: a request without a path
inline constexpr int kErrMsgSize = 90;       // EMSGSIZE: a size or path length out of bounds
inline constexpr int kErrNotSupported = 95;  // EOPNOTSUPP: a write to a read-only property
inline constexpr int kErrAccess = 13;        // EACCES: a write in safe mode
inline constexpr int kErrTimedOut = 110;     // ETIMEDOUT: the bus did not answer in time

// The words of `/settings/return_codes/text.ALL`: element n says what
// result -n means. kReturnCodes of them; none holds a comma.
inline constexpr int kReturnCodes = 211;
std::string return_code_text(int code);
std::string return_code_table();

// --- limits ---
// What a request may carry after its header: path, value and the
// anti-loop tokens of servers that forwarded it.
inline constexpr std::int32_t kMaxRequestPayload = 100050;
// A path is shorter than this.
inline constexpr std::size_t kMaxPath = 2048;
// READ's size is 1..this.
inline constexpr std::int32_t kMaxReadSize = 100050;
// No reply carries more (the clients' buffers).
inline constexpr std::size_t kMaxReplyPayload = 65536;
// A forwarding server's token: 16 bytes each, counted in the version word.
inline constexpr std::size_t kTokenSize = 16;
inline constexpr std::int32_t kVersionTokensFlag = 0x00010000;

// What a request header asks of the connection before its body is read.
struct RequestShape {
  // The header cannot be a request: the connection is closed (there is
  // no telling where the next request would begin).
  bool malformed = false;
  std::string why;             // for malformed
  std::size_t body_bytes = 0;  // payload plus tokens: what to read next
  std::size_t tokens = 0;      // anti-loop tokens after the payload, read and dropped
};
RequestShape check_request_header(const Header& h);

// A request with its body read.
struct Request {
  Header header;
  std::string path;   // as sent, without its NUL and anything after one
  std::string value;  // WRITE: the bytes to write
};
// Splits the body (payload bytes, tokens already dropped) into path and
// value: a WRITE's value is its last `size` bytes. A WRITE whose size does
// not fit its payload gets nothing in `value` and `error` kErrMsgSize.
Request parse_request(const Header& h, std::string_view payload, int& error);

// --- replies ---
// A reply header with the request's flags echoed (persistence set as
// granted) and `data` after it: payload = data's length.
std::string reply(std::int32_t ret, std::int32_t flags, std::string_view data, std::int32_t size,
                  std::int32_t offset);
// An error: ret -code and nothing else.
std::string error_reply(int code, std::int32_t flags);
// The keep-alive ping sent while an answer is being made.
std::string ping();

}  // namespace qvtool::owserver
