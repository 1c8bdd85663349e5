// The in-memory registry, as far as the component reads it: the
// made-on-open SERIALCOMM key, value sizes, a failed open, and readers on
// several threads.
#include "rtl/registry.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "onewire/port_names.hpp"

namespace {

namespace fs = std::filesystem;
using rtl::registry::DeleteKey;
using rtl::registry::SetValue;

constexpr char16_t kSerialComm[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct ReadValue {
  std::u16string name;
  DWORD type;
  std::vector<std::uint8_t> bytes;
  bool operator==(const ReadValue&) const = default;
};

std::vector<std::uint8_t> sz(std::u16string_view text) {
  std::vector<std::uint8_t> out((text.size() + 1) * 2, 0);
  std::memcpy(out.data(), text.data(), text.size() * 2);
  return out;
}

// Every value of the key, read with generous buffers; `last` receives the
// result that ended the walk.
std::vector<ReadValue> read_all(HKEY key, LONG* last = nullptr) {
  std::vector<ReadValue> out;
  for (DWORD i = 0;; ++i) {
    std::array<char16_t, 1024> name{};
    std::array<std::uint8_t, 4096> data{};
    DWORD name_len = name.size();
    DWORD data_len = data.size();
    DWORD type = 0xFFFF;
    const LONG rc = RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, data.data(), &data_len);
    if (rc != ERROR_SUCCESS) {
      if (last != nullptr) *last = rc;
      return out;
    }
    out.push_back(ReadValue{std::u16string(name.data(), name_len), type,
                            std::vector<std::uint8_t>(data.begin(), data.begin() + data_len)});
  }
}

std::vector<ReadValue> read_key(const char16_t* path, LONG* open_rc = nullptr) {
  HKEY key = nullptr;
  const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (open_rc != nullptr) *open_rc = rc;
  if (rc != ERROR_SUCCESS) return {};
  auto values = read_all(key);
  RegCloseKey(key);
  return values;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rtl::registry::Reset();
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && dev_.empty(); ++attempt) {
      const fs::path p = fs::temp_directory_path() / ("qvds_reg_" + std::to_string(rd()));
      if (fs::create_directory(p)) dev_ = p.string();
    }
    ASSERT_FALSE(dev_.empty());
    rtl::registry::SetSerialDeviceRoot(dev_);
    open_before_ = rtl::registry::OpenKeyCount();
  }
  void TearDown() override {
    rtl::registry::Reset();
    for (int n = 1; n <= onewire::kMaxPortNumber; ++n) onewire::unpin_port(n);
    std::error_code ec;
    fs::remove_all(dev_, ec);
  }
  void node(const std::string& name) { std::ofstream(fs::path(dev_) / name).put('x'); }

  HKEY open(const char16_t* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key), ERROR_SUCCESS);
    return key;
  }

  std::string dev_;
  std::size_t open_before_ = 0;
};

TEST_F(RegistryTest, ValuesAreListedInStoredOrderWithTheirSizes) {
  DeleteKey(HKEY_LOCAL_MACHINE, kSerialComm);
  SetValue(HKEY_LOCAL_MACHINE, kSerialComm, u"\\Device\\Serial2", u"COM3");
  SetValue(HKEY_LOCAL_MACHINE, kSerialComm, u"\\Device\\Serial0", u"COM1");
  SetValue(HKEY_LOCAL_MACHINE, kSerialComm, u"Empty", u"");

  HKEY key = open(kSerialComm);
  LONG last = 0;
  const auto values = read_all(key, &last);
  EXPECT_EQ(last, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(values, (std::vector<ReadValue>{{u"\\Device\\Serial2", REG_SZ, sz(u"COM3")},
                                            {u"\\Device\\Serial0", REG_SZ, sz(u"COM1")},
                                            {u"Empty", REG_SZ, sz(u"")}}));
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].bytes.size(), 10u) << "four characters and the terminator";
  EXPECT_EQ(values[2].bytes.size(), 2u);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, AKeyThatFailedToOpenReadsAsNothing) {
  // The component walks whatever handle the open left, failed or not.
  HKEY out = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\NOWHERE", 0, KEY_READ, &out), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(out, nullptr);
  std::array<char16_t, 64> name{};
  DWORD name_len = name.size();
  EXPECT_EQ(RegEnumValueW(out, 0, name.data(), &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);

  HKEY key = open(kSerialComm);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(RegEnumValueW(key, 0, name.data(), &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST_F(RegistryTest, SerialCommListsDeviceNodesAfreshOnEachOpen) {
  LONG rc = -1;
  EXPECT_TRUE(read_key(kSerialComm, &rc).empty());
  EXPECT_EQ(rc, ERROR_SUCCESS) << "the key exists even with no ports";

  node("ttyS0");
  node("ttyS1");
  node("ttyUSB0");
  HKEY key = open(kSerialComm);
  node("ttyACM0");  // appears after the open: seen on the next open
  EXPECT_EQ(read_all(key), (std::vector<ReadValue>{{u"\\Device\\Serial0", REG_SZ, sz(u"COM1")},
                                                   {u"\\Device\\Serial1", REG_SZ, sz(u"COM2")},
                                                   {u"\\Device\\Serial2", REG_SZ, sz(u"COM3")}}));
  RegCloseKey(key);

  onewire::pin_port(7, "/dev/pinned");
  EXPECT_EQ(read_key(kSerialComm), (std::vector<ReadValue>{{u"\\Device\\Serial0", REG_SZ, sz(u"COM1")},
                                                           {u"\\Device\\Serial1", REG_SZ, sz(u"COM2")},
                                                           {u"\\Device\\Serial2", REG_SZ, sz(u"COM3")},
                                                           {u"\\Device\\Serial3", REG_SZ, sz(u"COM4")},
                                                           {u"\\Device\\Serial6", REG_SZ, sz(u"COM7")}}));
}

TEST_F(RegistryTest, StoringIntoSerialCommFreezesItsPorts) {
  node("ttyS0");
  SetValue(HKEY_LOCAL_MACHINE, kSerialComm, u"mine", u"COM9");
  node("ttyS1");  // no longer looked at
  EXPECT_EQ(read_key(kSerialComm), (std::vector<ReadValue>{{u"\\Device\\Serial0", REG_SZ, sz(u"COM1")},
                                                           {u"mine", REG_SZ, sz(u"COM9")}}));
}

TEST_F(RegistryTest, ComponentsOnManyThreadsListPortsAtOnce) {
  // Every open of SERIALCOMM lists the device nodes anew, so readers on
  // several threads also rebuild the key under each other.
  node("ttyS0");
  node("ttyUSB0");
  const std::vector<ReadValue> expected{{u"\\Device\\Serial0", REG_SZ, sz(u"COM1")},
                                        {u"\\Device\\Serial1", REG_SZ, sz(u"COM2")}};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 50; ++round)
        if (read_key(kSerialComm) != expected) ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST(RegistryText, Utf16BecomesUtf8) {
  const std::u16string wide = u"COM1 Gr\u00FC\u00DFe \u20AC \U0001D11E";
  const std::string narrow = "COM1 Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9D\x84\x9E";
  EXPECT_EQ(rtl::utf16_to_utf8(wide), narrow);

  // Broken input is replaced, never dropped silently or read past.
  EXPECT_EQ(rtl::utf16_to_utf8(std::u16string(u"A") + char16_t(0xD800) + u"B"), "A\xEF\xBF\xBD" "B");
  EXPECT_EQ(rtl::utf16_to_utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

}  // namespace
