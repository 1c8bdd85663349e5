#include "qvds18x20/owserver/wire.hpp"

namespace qvtool::owserver {
namespace {

std::int32_t word_at(const std::uint8_t* p) {
  const std::uint32_t v = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
                          std::uint32_t{p[3]};
  return static_cast<std::int32_t>(v);
}

void put_word(std::uint8_t* p, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

Header decode_header(const std::uint8_t* bytes) {
  return {word_at(bytes), word_at(bytes + 4), word_at(bytes + 8), word_at(bytes + 12), word_at(bytes + 16),
          word_at(bytes + 20)};
}

std::array<std::uint8_t, kHeaderSize> encode_header(const Header& h) {
  std::array<std::uint8_t, kHeaderSize> out{};
  put_word(out.data(), h.version);
  put_word(out.data() + 4, h.payload);
  put_word(out.data() + 8, h.type);
  put_word(out.data() + 12, h.flags);
  put_word(out.data() + 16, h.size);
  put_word(out.data() + 20, h.offset);
  return out;
}

Scale scale_of(std::int32_t flags) { return static_cast<Scale>((flags & kScaleMask) >> kScaleShift); }

NameFormat name_format_of(std::int32_t flags) {
  const auto f = (static_cast<std::uint32_t>(flags) & kNameFormatMask) >> kNameFormatShift;
  return f <= 5 ? static_cast<NameFormat>(f) : NameFormat::kFdI;
}

std::string return_code_text(int code) {
  switch (code) {
    case 0: return "good result";
    case kErrParse: return "no such path";
    case kErrNoEntry: return "no such device or property";
    case kErrIo: return "bus failure or no valid measurement";
    case kErrAccess: return "not allowed in safe mode";
    case kErrBusy: return "server busy";
    case kErrNotDir: return "not a directory";
    case kErrIsDir: return "is a directory";
    case kErrInvalid: return "invalid value or spoiled transaction";
    case kErrRange: return "value out of range";
    case kErrNoMsg: return "unknown message type";
    case kErrBadMsg: return "request without a path";
    case kErrMsgSize: return "size or path length out of bounds";
    case kErrNotSupported: return "read-only property";
    case kErrTimedOut: return "bus did not answer in time";
    default: return "result " + std::to_string(code);
  }
}

std::string return_code_table() {
  std::string table;
  for (int i = 0; i < kReturnCodes; ++i) {
    if (i > 0) table += ',';
    table += return_code_text(i);
  }
  return table;
}

RequestShape check_request_header(const Header& h) {
  RequestShape shape;
  const auto malformed = [&shape](const std::string& why) {
    shape.malformed = true;
    shape.why = why;
    return shape;
  };
  // Version 0, or a forwarding server's token count in the low 16 bits.
  // The protocol version (bits 17..24) is 0 in every release; anything
  // else is no request of this protocol.
  const auto version = static_cast<std::uint32_t>(h.version);
  if ((version & ~static_cast<std::uint32_t>(kVersionTokensFlag | 0xFFFF)) != 0)
    return malformed("unknown protocol version " + std::to_string(h.version));
  if ((version & kVersionTokensFlag) != 0) shape.tokens = version & 0xFFFF;
  else if ((version & 0xFFFF) != 0) return malformed("tokens counted without the token flag");
  if (h.payload < 0) return malformed("negative payload length " + std::to_string(h.payload));
  const std::size_t total = static_cast<std::size_t>(h.payload) + shape.tokens * kTokenSize;
  if (total > static_cast<std::size_t>(kMaxRequestPayload))
    return malformed("request of " + std::to_string(total) + " bytes, more than " +
                     std::to_string(kMaxRequestPayload));
  shape.body_bytes = total;
  return shape;
}

Request parse_request(const Header& h, std::string_view payload, int& error) {
  Request r;
  r.header = h;
  error = 0;
  std::string_view path = payload;
  if (h.type == kMsgWrite) {
    if (h.size < 0 || static_cast<std::size_t>(h.size) > payload.size()) {
      error = kErrMsgSize;
      return r;
    }
    const std::size_t path_length = payload.size() - static_cast<std::size_t>(h.size);
    path = payload.substr(0, path_length);
    r.value.assign(payload.substr(path_length));
  }
  // The path ends at its NUL, when it has one.
  const std::size_t nul = path.find('\0');
  r.path.assign(path.substr(0, nul));
  return r;
}

std::string reply(std::int32_t ret, std::int32_t flags, std::string_view data, std::int32_t size, std::int32_t offset) {
  Header h;
  h.payload = static_cast<std::int32_t>(data.size());
  h.type = ret;
  h.flags = flags;
  h.size = size;
  h.offset = offset;
  const auto head = encode_header(h);
  std::string out(reinterpret_cast<const char*>(head.data()), head.size());
  out.append(data);
  return out;
}

std::string error_reply(int code, std::int32_t flags) { return reply(-code, flags, {}, 0, 0); }

std::string ping() {
  Header h;
  h.payload = -1;
  const auto head = encode_header(h);
  return std::string(reinterpret_cast<const char*>(head.data()), head.size());
}

}  // namespace qvtool::owserver
