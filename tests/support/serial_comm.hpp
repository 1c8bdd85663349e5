// What the tests of the serial port lists share: the registry key the
// lists are read from, the component's protected lister opened to them,
// a list as texts, a list that refuses new content, and the key in the
// in-memory registry, emptied for each test, with the checks both
// listers pass alike.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "QvDs18x20/QvDs18x20.hpp"
#include "rtl/registry.hpp"

namespace testing_support {

constexpr char16_t kSerialComm[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The component's own port lister, which it keeps protected.
class PortLister : public TQvDs18x20 {
 public:
  PortLister() : TQvDs18x20(nullptr) {}
  using TQvDs18x20::EnumComPorts;
};

inline std::vector<std::string> texts(const TStrings& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list[i]);
  return out;
}

// A list that refuses to take a new content.
class RefusingList : public TStringList {
 public:
  void Assign(const TStrings&) override { throw std::runtime_error("refused"); }
};

// SERIALCOMM in the in-memory registry, empty at the start of each test;
// open_before_ is how many keys were open then, for tests that check the
// lister closes what it opens.
class SerialCommTest : public ::testing::Test {
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

  // What both listers (the component's and the design-time unit's) do
  // alike, each given as `list_ports`.
  using Lister = std::function<void(TStrings*)>;

  // What `list_ports` puts into a fresh list, as texts.
  static std::vector<std::string> listed(const Lister& list_ports) {
    TStringList list;
    list_ports(&list);
    return texts(list);
  }

  // Ports stored out of order, and a list with earlier content: the list
  // is replaced by the ports sorted as texts, and the key is closed.
  void expect_sorted_and_replacing(const Lister& list_ports) {
    port(u"a", u"COM3");
    port(u"b", u"COM1");
    port(u"c", u"COM10");
    TStringList list;
    list.Add("stale");
    list_ports(&list);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"COM1", "COM10", "COM3"}));
    EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
  }

  // A value name one character longer than the lister's buffer (256)
  // ends the walk: `list` gets what came before it.
  void expect_overlong_name_ends_the_walk(const Lister& list_ports, TStringList& list) {
    rtl::registry::DeleteKey(HKEY_LOCAL_MACHINE, kSerialComm);
    port(u"a", u"COM2");
    port(std::u16string(256, u'n'), u"COM1");
    port(u"c", u"COM3");
    list_ports(&list);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"COM2"}));
    EXPECT_EQ(rtl::registry::OpenKeyCount(), open_before_);
  }

  std::size_t open_before_ = 0;
};

}  // namespace testing_support
