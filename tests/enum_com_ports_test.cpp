// The component's own port lister (TQvDs18x20::EnumComPorts).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"
#include "support/serial_comm.hpp"

namespace {

using testing_support::RefusingList;
using testing_support::texts;

class ComponentPortListTest : public testing_support::SerialCommTest {
 protected:
  Lister list_ports() {
    return [this](TStrings* list) { lister_.EnumComPorts(list); };
  }
  testing_support::PortLister lister_;
};

TEST_F(ComponentPortListTest, SortsAndReplacesEarlierContent) { expect_sorted_and_replacing(list_ports()); }

TEST_F(ComponentPortListTest, TrimsBlanksAndKeepsDuplicatesAndEmptyEntries) {
  port(u"a", u"  COM4\t");
  port(u"b", u"COM2");
  port(u"c", u"COM2 ");
  port(u"d", u"   ");
  EXPECT_EQ(listed(list_ports()), (std::vector<std::string>{"", "COM2", "COM2", "COM4"}));
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
  EXPECT_EQ(listed(list_ports()), (std::vector<std::string>{"COM6", "COM8", "COM9"}));
}

TEST_F(ComponentPortListTest, StopsAtTheFirstValueTooLargeForItsBuffers) {
  port(u"a", u"COM2");
  port(u"b", u"COM1");
  port(u"c", std::u16string(128, u'y'));  // 258 bytes
  port(u"d", u"COM5");
  TStringList list;
  lister_.EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM1", "COM2"}));
  expect_overlong_name_ends_the_walk(list_ports(), list);
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
