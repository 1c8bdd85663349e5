// The owserver protocol's pure parts: headers and the checks a request
// must pass, device names in OWFS's six forms, paths, the properties each
// family offers, and values in OWFS's formats and scales.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "onewire/crc.hpp"
#include "qvds18x20/owserver/names.hpp"
#include "qvds18x20/owserver/wire.hpp"

namespace {

using namespace qvtool::owserver;

qvds::Rom rom_of(std::uint8_t family, std::array<std::uint8_t, 6> id) {
  qvds::Rom r{family, id[0], id[1], id[2], id[3], id[4], id[5], 0};
  r[7] = onewire::crc8(r.data(), 7);
  return r;
}

TEST(OwserverWire, HeadersAreSixBigEndianWords) {
  Header h{0x00010002, 25, kMsgRead, static_cast<std::int32_t>(0x0100010A), 65536, -7};
  const auto bytes = encode_header(h);
  // The example exchange of OWFS's documentation, word by word.
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0x01);
  EXPECT_EQ(bytes[3], 0x02);
  EXPECT_EQ(bytes[7], 25);
  EXPECT_EQ(bytes[11], 2);
  EXPECT_EQ(bytes[12], 0x01);
  EXPECT_EQ(bytes[15], 0x0A);
  EXPECT_EQ(bytes[17], 0x01);
  EXPECT_EQ(bytes[20], 0xFF);  // -7
  EXPECT_EQ(bytes[23], 0xF9);
  const Header back = decode_header(bytes.data());
  EXPECT_EQ(back.version, h.version);
  EXPECT_EQ(back.payload, h.payload);
  EXPECT_EQ(back.type, h.type);
  EXPECT_EQ(back.flags, h.flags);
  EXPECT_EQ(back.size, h.size);
  EXPECT_EQ(back.offset, h.offset);

  const std::string p = ping();
  ASSERT_EQ(p.size(), kHeaderSize);
  EXPECT_EQ(decode_header(reinterpret_cast<const std::uint8_t*>(p.data())).payload, -1);
  const std::string e = error_reply(kErrNoEntry, kFlagOwnet);
  const Header eh = decode_header(reinterpret_cast<const std::uint8_t*>(e.data()));
  EXPECT_EQ(eh.type, -2);
  EXPECT_EQ(eh.payload, 0);
  EXPECT_EQ(eh.flags, kFlagOwnet);
  EXPECT_EQ(e.size(), kHeaderSize);
}

TEST(OwserverWire, RequestHeadersAreCheckedBeforeTheirBodyIsRead) {
  Header h;
  h.payload = 30;
  auto shape = check_request_header(h);
  EXPECT_FALSE(shape.malformed);
  EXPECT_EQ(shape.body_bytes, 30u);
  // A forwarding server's tokens are read (and dropped) after the payload.
  h.version = kVersionTokensFlag | 2;
  shape = check_request_header(h);
  EXPECT_FALSE(shape.malformed);
  EXPECT_EQ(shape.tokens, 2u);
  EXPECT_EQ(shape.body_bytes, 30u + 2 * kTokenSize);
  // What cannot be a request of this protocol.
  for (const std::int32_t version : {0x00020000, 0x00000003, -1}) {
    h.version = version;
    EXPECT_TRUE(check_request_header(h).malformed) << version;
  }
  h.version = 0;
  h.payload = -5;
  EXPECT_TRUE(check_request_header(h).malformed);
  h.payload = kMaxRequestPayload + 1;
  EXPECT_TRUE(check_request_header(h).malformed);
  h.payload = kMaxRequestPayload;
  EXPECT_FALSE(check_request_header(h).malformed);
  // Tokens count against the limit too.
  h.version = kVersionTokensFlag | 1;
  EXPECT_TRUE(check_request_header(h).malformed);
}

TEST(OwserverWire, AWritesValueIsTheEndOfItsPayload) {
  Header h;
  h.type = kMsgWrite;
  h.size = 2;
  int error = 0;
  const std::string with_nul("/28.FF6B3C911604/tempres\0" "12", 27);
  Request r = parse_request(h, with_nul, error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(r.path, "/28.FF6B3C911604/tempres");
  EXPECT_EQ(r.value, "12");
  // Servers since 2.9p4 take a path without its NUL.
  r = parse_request(h, "/x/tempres12", error);
  EXPECT_EQ(r.path, "/x/tempres");
  EXPECT_EQ(r.value, "12");
  h.size = 40;
  r = parse_request(h, "/x/tempres12", error);
  EXPECT_EQ(error, kErrMsgSize);
  // Other types: the whole payload is the path, cut at its NUL.
  h.type = kMsgRead;
  r = parse_request(h, std::string("/a/b\0junk", 9), error);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(r.path, "/a/b");
}

TEST(OwserverWire, TheReturnCodeTableHasAnEntryPerCodeAndNoCommaInOne) {
  const std::string table = return_code_table();
  EXPECT_EQ(std::count(table.begin(), table.end(), ','), kReturnCodes - 1);
  EXPECT_EQ(table.substr(0, table.find(',')), return_code_text(0));
  for (int code : {kErrNoEntry, kErrIo, kErrNotDir, kErrIsDir, kErrNoMsg, kErrMsgSize}) {
    EXPECT_NE(return_code_text(code), return_code_text(0));
    EXPECT_EQ(return_code_text(code).find(','), std::string::npos);
  }
}

TEST(OwserverNames, DevicesAreWrittenAndReadInSixForms) {
  const qvds::Rom rom = rom_of(0x28, {0xFF, 0x6B, 0x3C, 0x91, 0x16, 0x04});
  char crc[3];
  std::snprintf(crc, sizeof crc, "%02X", rom[7]);
  const std::string c(crc);
  EXPECT_EQ(device_name(rom, NameFormat::kFdI), "28.FF6B3C911604");
  EXPECT_EQ(device_name(rom, NameFormat::kFI), "28FF6B3C911604");
  EXPECT_EQ(device_name(rom, NameFormat::kFdIdC), "28.FF6B3C911604." + c);
  EXPECT_EQ(device_name(rom, NameFormat::kFdIC), "28.FF6B3C911604" + c);
  EXPECT_EQ(device_name(rom, NameFormat::kFIdC), "28FF6B3C911604." + c);
  EXPECT_EQ(device_name(rom, NameFormat::kFIC), "28FF6B3C911604" + c);
  for (int f = 0; f <= 5; ++f) {
    const std::string name = device_name(rom, static_cast<NameFormat>(f));
    EXPECT_EQ(parse_device_name(name), rom) << name;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
    EXPECT_EQ(parse_device_name(lower), rom) << lower;
  }
  // The flag word's top byte picks the form; unknown ones give f.i.
  EXPECT_EQ(name_format_of(static_cast<std::int32_t>(0x01000000)), NameFormat::kFI);
  EXPECT_EQ(name_format_of(static_cast<std::int32_t>(0x09000000)), NameFormat::kFdI);
  // A CRC given must be the ROM's.
  std::string wrong = "28.FF6B3C911604.";
  wrong += rom[7] == 0 ? "01" : "00";
  EXPECT_FALSE(parse_device_name(wrong));
  for (const char* bad : {"", "28", "28.FF6B3C9116", "28.FF6B3C911604.", "28.FF6B3C9116ZZ", "28.FF6B3C911604XYZ",
                          "28-0416913c6bff", "28.FF6B3C911604.D7.00"})
    EXPECT_FALSE(parse_device_name(bad)) << bad;
}

TEST(OwserverNames, PathsTakeOwfsPrefixesInAnyCaseAndOrder) {
  auto p = parse_path("28.FF6B3C911604/temperature");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kDevice);
  EXPECT_EQ(p->property, "temperature");
  EXPECT_FALSE(p->uncached);
  EXPECT_EQ(p->prefix, "");
  p = parse_path("/BUS.1/Uncached/28FF6B3C911604/");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kDevice);
  EXPECT_TRUE(p->property.empty());
  EXPECT_TRUE(p->uncached);
  EXPECT_EQ(p->bus, 1);
  EXPECT_EQ(p->prefix, "/uncached/bus.1");  // listings write them the one way
  p = parse_path("//");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kRoot);
  p = parse_path("/uncached");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kRoot);
  EXPECT_TRUE(p->uncached);
  p = parse_path("/bus.0/simultaneous/temperature");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kSimultaneous);
  EXPECT_EQ(p->property, "temperature");
  p = parse_path("/alarm");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kAlarm);
  p = parse_path("/alarm/28.FF6B3C911604/temperature");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kDevice);
  p = parse_path("/settings/return_codes/text.ALL");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->area, Area::kFixed);
  EXPECT_EQ(p->fixed, "settings/return_codes/text.ALL");
  p = parse_path("/SYSTEM/process/PID");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->fixed, "system/process/pid");
  for (const char* bad : {"/nothing", "/28.FF6B3C911604/temperature/more", "/bus.x", "/bus.0/bus.1/28.FF6B3C911604",
                          "/settings/nothing", "/bus.0/settings", "/simultaneous/voltage", "/uncached/uncached",
                          "/statistics", "/structure"})
    EXPECT_FALSE(parse_path(bad)) << bad;
}

TEST(OwserverNames, EachFamilyOffersOwfsPropertiesInOwfsOrder) {
  for (std::uint8_t family : {0x10, 0x22, 0x28, 0x3B, 0x42, 0x01, 0x1F}) {
    const auto props = properties_of(family);
    std::vector<std::string> listed;
    for (const Property& p : props)
      if (p.listed) listed.emplace_back(p.name);
    EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end())) << int(family);
    for (const char* every : {"address", "crc8", "family", "id", "r_address", "type"})
      EXPECT_NE(std::find(listed.begin(), listed.end(), every), listed.end()) << every;
    const bool thermometer = family != 0x01 && family != 0x1F;
    EXPECT_EQ(find_property(family, "temperature") != nullptr, thermometer) << int(family);
    EXPECT_EQ(find_property(family, "latesttemp") != nullptr, thermometer) << int(family);
    // present is answered but hidden, as OWFS does.
    ASSERT_NE(find_property(family, "present"), nullptr);
    EXPECT_FALSE(find_property(family, "present")->listed);
  }
  // A DS18B20: the conversions at each resolution; fasttemp is 9 bits.
  EXPECT_EQ(find_property(0x28, "temperature10")->bits, 10);
  EXPECT_EQ(find_property(0x28, "fasttemp")->bits, 9);
  EXPECT_EQ(find_property(0x28, "temperature")->bits, 0);
  EXPECT_TRUE(find_property(0x28, "tempres")->writable);
  EXPECT_FALSE(find_property(0x28, "temperature")->writable);
  // A DS18S20 has one resolution: no tempres, and the other names are
  // hidden links to its temperature.
  EXPECT_EQ(find_property(0x10, "tempres"), nullptr);
  ASSERT_NE(find_property(0x10, "temperature9"), nullptr);
  EXPECT_FALSE(find_property(0x10, "temperature9")->listed);
  EXPECT_EQ(find_property(0x10, "temperature9")->bits, 0);
  // The DS28EA00 lists no scratchpad; the DS1825 its address pins.
  EXPECT_EQ(find_property(0x42, "scratchpad"), nullptr);
  EXPECT_NE(find_property(0x3B, "prog_addr"), nullptr);
  EXPECT_EQ(type_name(0x28), "DS18B20");
  EXPECT_EQ(type_name(0x10), "DS18S20");
  EXPECT_EQ(type_name(0x01), "DS2401");
  EXPECT_EQ(device_flags(0x28), 0x8002);
  EXPECT_EQ(device_flags(0x42), 0xA002);
  EXPECT_EQ(device_flags(0x01), 0);
}

TEST(OwserverNames, ValuesTakeOwfsFormatsAndScales) {
  EXPECT_EQ(format_float(21.5625, false), "     21.5625");
  EXPECT_EQ(format_float(85, false), "          85");
  EXPECT_EQ(format_float(-10.125, false), "     -10.125");
  EXPECT_EQ(format_float(100.0625, false), "     100.062");  // six significant digits
  EXPECT_EQ(format_float(-0.0, true), "0");
  EXPECT_EQ(format_float(21.5625, true), "21.5625");
  EXPECT_EQ(format_integer(12, false), "          12");
  EXPECT_EQ(format_integer(12, true), "12");
  EXPECT_EQ(scale_of(0), Scale::kCelsius);
  EXPECT_EQ(scale_of(0x10000), Scale::kFahrenheit);
  EXPECT_EQ(scale_of(0x20000), Scale::kKelvin);
  EXPECT_EQ(scale_of(0x30000 | kFlagOwnet), Scale::kRankine);
  EXPECT_DOUBLE_EQ(to_scale(100, Scale::kFahrenheit), 212);
  EXPECT_DOUBLE_EQ(to_scale(-40, Scale::kFahrenheit), -40);
  EXPECT_DOUBLE_EQ(to_scale(0, Scale::kKelvin), 273.15);
  EXPECT_NEAR(to_scale(0, Scale::kRankine), 491.67, 1e-9);
  for (Scale s : {Scale::kCelsius, Scale::kFahrenheit, Scale::kKelvin, Scale::kRankine})
    EXPECT_NEAR(from_scale(to_scale(21.5625, s), s), 21.5625, 1e-9);
  EXPECT_EQ(scale_letter(Scale::kKelvin), 'K');
  EXPECT_EQ(parse_number("  25.5\n"), 25.5);
  EXPECT_EQ(parse_number(std::string("12\0", 3)), 12);
  for (const char* bad : {"", "  ", "12a", "nan", "inf", "1e999"}) EXPECT_FALSE(parse_number(bad)) << bad;
}

}  // namespace
