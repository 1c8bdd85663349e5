// The component's own port lister (TQvDs18x20::EnumComPorts).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"

namespace {

constexpr char16_t kSerialComm[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Opens the protected lister to the tests.
class PortLister : public TQvDs18x20 {
 public:
  PortLister() : TQvDs18x20(nullptr) {}
  using TQvDs18x20::EnumComPorts;
};

class RefusingList : public TStringList {
 public:
  void Assign(const TStrings&) override { throw std::runtime_error("refused"); }
};

std::vector<std::string> texts(const TStrings& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
  return out;
}

class ComponentPortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rtl::registry::Reset();
    rtl::registry::DeleteKey(HKEY_LOCAL_MACHINE, kSerialComm);
    open_before_ = rtl::registry::OpenKeyCount();
  }
  void TearDown() override { rtl::registry::Reset(); }
  static void port(const std::u16string& name, const std::u16string& text) {
    rtl::registry::SetValue(HKEY_LOCAL_MACHINE, kSerialComm, name, text);
  }
  static void raw(const std::u16string& name, std::vector<std::uint8_t> bytes) {
    rtl::registry::SetRawValue(HKEY_LOCAL_MACHINE, kSerialComm, name, REG_SZ, std::move(bytes));
  }

  PortLister lister_;
  std::size_t open_before_ = 0;
};

TEST_F(ComponentPortListTest, SortsAndReplacesEarlierContent) {
  port(u"a", u"COM3");
  port(u"b", u"COM1");
  port(u"c", u"COM10");
  TStringList list;
  list.Add("stale");
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM1", "COM10", "COM3"}));
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST_F(ComponentPortListTest, TrimsBlanksAndKeepsDuplicatesAndEmptyEntries) {
  port(u"a", u"  COM4\t");
  port(u"b", u"COM2");
  port(u"c", u"COM2 ");
  port(u"d", u"   ");
  TStringList list;
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"", "COM2", "COM2", "COM4"}));
}

TEST_F(ComponentPortListTest, MissingKeyGivesAnEmptyList) {
  TStringList list;
  list.Add("stale");
  lister_.EnumComPorts(&list);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST_F(ComponentPortListTest, TextIsTheReportedBytesCutAtTheFirstZero) {
  raw(u"a", {'C', 0, 'O', 0, 'M', 0, '8', 0, 0, 0, 'Z', 0, 0, 0});  // embedded zero
  raw(u"b", {'C', 0, 'O', 0, 'M', 0, '9', 0});                      // no terminator
  raw(u"c", {'C', 0, 'O', 0, 'M', 0, '6', 0, 'Q'});                 // half a character at the end
  TStringList list;
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM6", "COM8", "COM9"}));
}

TEST_F(ComponentPortListTest, StopsAtTheFirstValueTooLargeForItsBuffers) {
  port(u"a", u"COM2");
  port(u"b", u"COM1");
  port(u"c", std::u16string(128, u'y'));  // 258 bytes
  port(u"d", u"COM5");
  TStringList list;
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM1", "COM2"}));

  rtl::registry::DeleteKey(HKEY_LOCAL_MACHINE, kSerialComm);
  port(u"a", u"COM2");
  port(std::u16string(256, u'n'), u"COM1");
  port(u"c", u"COM3");
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM2"}));
}

TEST_F(ComponentPortListTest, FailuresAreSwallowedAndTheKeyIsClosed) {
  port(u"a", u"COM1");
  port(u"b", u"COM2");

  // Raised during the walk: the list keeps what it had.
  int hook_calls = 0;
  rtl::registry::SetEnumHook([&](HKEY, DWORD index) {
    ++hook_calls;
    if (index == 1) throw std::runtime_error("registry failed");
  });
  TStringList list;
  list.Add("earlier");
  EXPECT_NO_THROW(lister_.EnumComPorts(&list));
  EXPECT_EQ(hook_calls, 2);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"earlier"}));
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);

  // No list: nothing is read at all.
  hook_calls = 0;
  EXPECT_NO_THROW(lister_.EnumComPorts(nullptr));
  EXPECT_EQ(hook_calls, 0);
  rtl::registry::SetEnumHook(nullptr);

  // Raised by the receiving list.
  RefusingList refusing;
  EXPECT_NO_THROW(lister_.EnumComPorts(&refusing));
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

}  // namespace
