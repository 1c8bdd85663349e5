// Design-time unit: palette registration, the two property editors and the
// unit's own port lister.
#include "QvDs18x20Reg/QvDs18x20Reg.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"
#include "support/serial_comm.hpp"

namespace {

using testing_support::kSerialComm;
using testing_support::RefusingList;
using testing_support::texts;

std::vector<std::string> delivered(TPropertyEditor& editor) {
  std::vector<std::string> out;
  editor.GetValues([&](const std::string& s) { out.push_back(s); });
  return out;
}

class DesignTimeTest : public testing_support::SerialCommTest {
 protected:
  void TearDown() override {
    SerialCommTest::TearDown();
    rtl::designer::clear_registrations();
  }
};

TEST_F(DesignTimeTest, RegisterPutsTheComponentAloneOnItsPage) {
  rtl::designer::clear_registrations();
  qvds18x20reg::Register();
  const auto regs = rtl::designer::registrations();
  ASSERT_EQ(regs.size(), 1u);
  EXPECT_EQ(regs[0].page, "ZORDA");
  ASSERT_EQ(regs[0].classes.size(), 1u);
  EXPECT_EQ(regs[0].classes[0].ClassName(), "TQvDs18x20");

  // The class reference makes a real component, owned by the given owner.
  TComponent owner(nullptr);
  TComponent* made = regs[0].classes[0].Create(&owner);
  ASSERT_NE(dynamic_cast<TQvDs18x20*>(made), nullptr);
  EXPECT_EQ(made->Owner(), &owner);
  EXPECT_EQ(owner.ComponentCount(), 1);
  EXPECT_EQ(made->ClassName(), regs[0].classes[0].ClassName());
}

TEST_F(DesignTimeTest, BothEditorsOfferASortedEditableList) {
  TQvComPortProperty com_port;
  TQvDs18x20SpeedProperty speed;
  for (TPropertyEditor* editor : std::vector<TPropertyEditor*>{&com_port, &speed}) {
    const TPropertyAttributes a = editor->GetAttributes();
    EXPECT_EQ(a.Bits(), 169);
    EXPECT_TRUE(a.Contains(paValueList));
    EXPECT_TRUE(a.Contains(paMultiSelect));
    EXPECT_TRUE(a.Contains(paSortList));
    EXPECT_TRUE(a.Contains(paRevertable));
    EXPECT_FALSE(a.Contains(paReadOnly));
    EXPECT_FALSE(a.Contains(paDialog));
  }
  // Plain editors differ, so the 169 above is the unit's own choice.
  TStringProperty plain;
  EXPECT_EQ(plain.GetAttributes(), (TPropertyAttributes{paMultiSelect, paRevertable}));
  EXPECT_NE(plain.GetAttributes().Bits(), 169);
}

TEST_F(DesignTimeTest, ComPortEditorDeliversTheSortedPortsAndSpeedEditorNothing) {
  port(u"\\Device\\Serial2", u"COM3");
  port(u"\\Device\\Serial0", u"COM1");
  port(u"\\Device\\Serial9", u"COM10");
  TQvComPortProperty com_port;
  EXPECT_EQ(delivered(com_port), (std::vector<std::string>{"COM1", "COM10", "COM3"}));
  TQvDs18x20SpeedProperty speed;
  EXPECT_TRUE(delivered(speed).empty());
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST_F(DesignTimeTest, StringEditorReadsAndWritesThePropertyAsText) {
  std::string value = "COM1";
  TStringProperty editor(TPropInfo{"ComPort", [&] { return value; }, [&](const std::string& v) { value = v; }, {}, {}, true});
  EXPECT_EQ(editor.GetName(), "ComPort");
  EXPECT_EQ(editor.GetValue(), "COM1");
  editor.SetValue("COM4");
  EXPECT_EQ(value, "COM4");
  EXPECT_EQ(editor.GetValue(), "COM4");

  TStringProperty read_only(TPropInfo{"Version", [] { return std::string("1.1"); }, {}, {}, {}, true});
  read_only.SetValue("9.9");
  EXPECT_EQ(read_only.GetValue(), "1.1");
}

TEST_F(DesignTimeTest, ListerSortsAndReplacesEarlierContent) { expect_sorted_and_replacing(qvds18x20reg::EnumComPorts); }

TEST_F(DesignTimeTest, ListerKeepsBlanksAndDuplicatesAsStored) {
  port(u"a", u" COM4 ");
  port(u"b", u"COM2");
  port(u"c", u"COM2");
  port(u"d", u"");
  EXPECT_EQ(listed(qvds18x20reg::EnumComPorts), (std::vector<std::string>{"", " COM4 ", "COM2", "COM2"}));
}

TEST_F(DesignTimeTest, ListerGivesAnEmptyListWithoutTheKey) {
  TStringList list;
  list.Add("stale");
  EXPECT_NO_THROW(qvds18x20reg::EnumComPorts(&list));
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
}

TEST_F(DesignTimeTest, ListerStopsAtTheFirstValueTooLargeForItsBuffers) {
  port(u"a", u"COM2");
  port(u"b", std::u16string(127, u'x'));  // 256 bytes with the terminator: fits
  port(std::u16string(255, u'n'), u"COM1");  // 255 characters: fits
  port(u"d", std::u16string(128, u'y'));  // 258 bytes: ends the walk
  port(u"e", u"COM5");
  TStringList list;
  qvds18x20reg::EnumComPorts(&list);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"COM1", "COM2", std::string(127, 'x')}));
  expect_overlong_name_ends_the_walk(qvds18x20reg::EnumComPorts, list);
}

TEST_F(DesignTimeTest, ListerTakesTextUpToItsTerminator) {
  // Embedded zero: the text ends there. No terminator at all: the text
  // ends with the data. An odd last byte is half a character, no
  // character of the name.
  rtl::registry::SetRawValue(HKEY_LOCAL_MACHINE, kSerialComm, u"a", REG_SZ,
                             {'C', 0, 'O', 0, 'M', 0, '8', 0, 0, 0, 'Z', 0, 0, 0});
  rtl::registry::SetRawValue(HKEY_LOCAL_MACHINE, kSerialComm, u"b", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '9', 0});
  rtl::registry::SetValue(HKEY_LOCAL_MACHINE, kSerialComm, u"c", u"COM\u00C4");
  rtl::registry::SetRawValue(HKEY_LOCAL_MACHINE, kSerialComm, u"d", REG_SZ, {'C', 0, 'O', 0, 'M', 0, '6', 0, 'Q'});
  EXPECT_EQ(listed(qvds18x20reg::EnumComPorts), (std::vector<std::string>{"COM6", "COM8", "COM9", "COM\xC3\x84"}));
}

TEST_F(DesignTimeTest, ExceptionsPassToTheCallerAndTheKeyIsClosed) {
  port(u"a", u"COM1");
  port(u"b", u"COM2");
  rtl::registry::SetEnumHook([](HKEY, DWORD index) {
    if (index == 1) throw std::runtime_error("registry failed");
  });
  TStringList list;
  list.Add("earlier");
  EXPECT_THROW(qvds18x20reg::EnumComPorts(&list), std::runtime_error);
  EXPECT_EQ(texts(list), (std::vector<std::string>{"earlier"}));
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);

  TQvComPortProperty com_port;
  EXPECT_THROW(delivered(com_port), std::runtime_error);
  rtl::registry::SetEnumHook(nullptr);

  RefusingList refusing;
  EXPECT_THROW(qvds18x20reg::EnumComPorts(&refusing), std::runtime_error);
  EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);

  EXPECT_THROW(qvds18x20reg::EnumComPorts(nullptr), std::invalid_argument);
}

}  // namespace
