// The registry functions on the system registry, and the serial port
// lists that the component and its design-time unit read from it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "QvDs18x20Reg/QvDs18x20Reg.hpp"
#include "rtl/registry.hpp"
#include "rtl/sysutils.hpp"
#include "support/serial_comm.hpp"
#include "win32/native.hpp"

namespace {

using testing_support::PortLister;
using testing_support::texts;

// A key of the test's own under HKEY_CURRENT_USER, opened with the
// system's functions and handed to ours as a root.
class ScratchKey : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = L"qvds18x20-test-" + std::to_wstring(::testing::UnitTest::GetInstance()->random_seed()) + L"-" +
            std::to_wstring(native::CurrentThreadId());
    root_ = native::MakeScratchKey(name_, {{L"First", L"COM7"}, {L"A much longer value name", L""}});
    ASSERT_NE(root_, nullptr);
    native::SetBinaryValue(root_, L"Raw", {1, 2, 3});
  }
  void TearDown() override { native::DeleteScratchKey(root_, name_); }

  HKEY Root() const { return root_; }

 private:
  std::wstring name_;
  HKEY root_ = nullptr;
};

}  // namespace

namespace {

struct Found {
  DWORD name_len = 0;
  DWORD type = 0;
  std::vector<std::uint8_t> data;
};

// Every value of `key` by name; the system decides the order.
std::map<std::u16string, Found> ReadAll(HKEY key, LONG* end) {
  std::map<std::u16string, Found> out;
  for (DWORD i = 0; i < 100; ++i) {
    std::array<char16_t, 64> name{};
    std::array<std::uint8_t, 64> data{};
    DWORD name_len = name.size();
    DWORD data_len = data.size();
    DWORD type = 99;
    *end = RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, data.data(), &data_len);
    if (*end != ERROR_SUCCESS) break;
    EXPECT_EQ(name[name_len], u'\0');
    out[std::u16string(name.data(), name_len)] =
        Found{name_len, type, std::vector<std::uint8_t>(data.begin(), data.begin() + data_len)};
  }
  return out;
}

}  // namespace

TEST_F(ScratchKey, ValuesComeBackWithTheirNamesTypesAndSizes) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(Root(), u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_NE(key, nullptr);
  rtl::KeyCloser closer(key);
  LONG end = ERROR_SUCCESS;
  const auto values = ReadAll(key, &end);
  EXPECT_EQ(end, ERROR_NO_MORE_ITEMS);
  ASSERT_EQ(values.size(), 3u);

  const Found& first = values.at(u"First");
  EXPECT_EQ(first.name_len, 5u);
  EXPECT_EQ(first.type, REG_SZ);
  ASSERT_EQ(first.data.size(), 10u);  // four characters and the terminator
  EXPECT_EQ(std::memcmp(first.data.data(), u"COM7", 10), 0);

  const Found& empty = values.at(u"A much longer value name");
  EXPECT_EQ(empty.name_len, 24u);
  EXPECT_EQ(empty.data.size(), 2u);  // the empty text still has its terminator

  const Found& raw = values.at(u"Raw");
  EXPECT_EQ(raw.type, REG_BINARY);
  EXPECT_EQ(raw.data, (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(ScratchKey, SmallBuffersAndSizeQueries) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(Root(), u"", 0, KEY_READ, &key), ERROR_SUCCESS);
  rtl::KeyCloser closer(key);

  // The index of "First", wherever the system lists it.
  DWORD first = 0;
  for (;; ++first) {
    std::array<char16_t, 64> name{};
    DWORD name_len = name.size();
    ASSERT_EQ(RegEnumValueW(key, first, name.data(), &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    if (std::u16string(name.data(), name_len) == u"First") break;
  }

  // A name that does not fit with its terminator leaves buffer and length.
  std::array<char16_t, 5> small{u'x', u'x', u'x', u'x', u'x'};
  DWORD name_len = small.size();
  EXPECT_EQ(RegEnumValueW(key, first, small.data(), &name_len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(name_len, 5u);
  EXPECT_EQ(small[0], u'x');

  // A null data buffer asks for the size only.
  std::array<char16_t, 64> name{};
  name_len = name.size();
  DWORD data_len = 0;
  EXPECT_EQ(RegEnumValueW(key, first, name.data(), &name_len, nullptr, nullptr, nullptr, &data_len), ERROR_SUCCESS);
  EXPECT_EQ(data_len, 10u);

  // Data too large for its buffer: the size it needs.
  std::array<std::uint8_t, 4> tiny{};
  name_len = name.size();
  data_len = tiny.size();
  EXPECT_EQ(RegEnumValueW(key, first, name.data(), &name_len, nullptr, nullptr, tiny.data(), &data_len),
            ERROR_MORE_DATA);
  EXPECT_EQ(data_len, 10u);

  // Reserved must be null.
  DWORD reserved = 0;
  name_len = name.size();
  EXPECT_EQ(RegEnumValueW(key, first, name.data(), &name_len, &reserved, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
}

TEST(SystemRegistry, MissingKeysAndBadHandles) {
  HKEY key = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234));
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\NO SUCH KEY\\qvds18x20", 0, KEY_READ, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_NE(RegCloseKey(nullptr), ERROR_SUCCESS);
}

TEST(SystemRegistry, SerialCommListsWhatTheSystemListsAndCaseDoesNotMatter) {
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"hardware\\DeviceMap\\serialcomm", 0, KEY_READ, &key), ERROR_SUCCESS);
  rtl::KeyCloser closer(key);
  std::vector<std::wstring> ours;
  for (DWORD i = 0;; ++i) {
    std::array<char16_t, 256> name{};
    std::array<char16_t, 128> data{};
    DWORD name_len = name.size();
    DWORD data_len = (data.size() - 1) * sizeof(char16_t);
    DWORD type = 0;
    if (RegEnumValueW(key, i, name.data(), &name_len, nullptr, &type, reinterpret_cast<std::uint8_t*>(data.data()),
                      &data_len) != ERROR_SUCCESS)
      break;
    if (type == REG_SZ) ours.emplace_back(data.begin(), std::find(data.begin(), data.end(), u'\0'));
  }
  EXPECT_EQ(ours, native::SerialCommTexts());
}

// Wine lists a COM port for every serial device node of the host, and
// for every COMn that HKLM\Software\Wine\Ports pins; a prefix has at
// least one when the host has /dev/ttyS0 or the test run pinned one.
TEST(SystemRegistry, ComponentAndDesignerListTheSystemsPorts) {
  const std::vector<std::wstring> system = native::SerialCommTexts();
  std::vector<std::string> expected;
  for (const auto& t : system) expected.push_back(native::Narrow(t));
  std::sort(expected.begin(), expected.end());

  PortLister lister;
  TStringList list;
  list.Add("stale");
  lister.EnumComPorts(&list);
  std::vector<std::string> got = texts(list);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);

  TStringList design;
  qvds18x20reg::EnumComPorts(&design);
  got = texts(design);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
}

TEST(SystemRegistry, ComponentTrimsAndSortsWhatItFindsAndTheDesignerKeepsItAsStored) {
  const std::wstring a = L"\\Device\\QvdsTest" + std::to_wstring(native::CurrentThreadId()) + L"a";
  const std::wstring b = L"\\Device\\QvdsTest" + std::to_wstring(native::CurrentThreadId()) + L"b";
  if (!native::AddSerialCommValue(a, L" COM201\t") || !native::AddSerialCommValue(b, L"COM200")) {
    native::RemoveSerialCommValue(a);
    GTEST_SKIP() << "the system does not let this account add serial ports";
  }
  PortLister lister;
  TStringList list;
  lister.EnumComPorts(&list);
  TStringList design;
  qvds18x20reg::EnumComPorts(&design);
  native::RemoveSerialCommValue(a);
  native::RemoveSerialCommValue(b);

  const std::vector<std::string> got = texts(list);
  const auto at200 = std::find(got.begin(), got.end(), "COM200");
  const auto at201 = std::find(got.begin(), got.end(), "COM201");
  ASSERT_NE(at200, got.end());
  ASSERT_NE(at201, got.end());
  EXPECT_LT(at200, at201);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end(),
                             [](const std::string& x, const std::string& y) { return CompareText(x, y) < 0; }));
  const std::vector<std::string> stored = texts(design);
  EXPECT_NE(std::find(stored.begin(), stored.end(), " COM201\t"), stored.end());
}
