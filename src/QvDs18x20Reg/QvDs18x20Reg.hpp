// Design-time unit of TQvDs18x20: puts the component on the palette and
// gives the inspector drop-down lists for its port and speed properties.
#pragma once

#include "qvds18x20/export.hpp"

#include <functional>
#include <string>

#include "rtl/classes.hpp"
#include "rtl/designer.hpp"

// Offers the serial ports the system knows, sorted.
class QVDS_API TQvComPortProperty : public TStringProperty {
 public:
  using TStringProperty::TStringProperty;
  TPropertyAttributes GetAttributes() override;
  void GetValues(const std::function<void(const std::string&)>& Proc) override;
};

// The speed property's editor: same attributes, no list of its own.
class QVDS_API TQvDs18x20SpeedProperty : public TStringProperty {
 public:
  using TStringProperty::TStringProperty;
  TPropertyAttributes GetAttributes() override;
  // Part of the editor's published shape: hands Proc to the base editor's
  // GetValues and adds no value of its own.
  void GetValues(const std::function<void(const std::string&)>& Proc) override;
};

// The unit's entry points live in a namespace named after the unit, the way
// the design environment calls each package unit's own Register.
namespace qvds18x20reg {

// Registers TQvDs18x20 on the palette page "ZORDA".
QVDS_API void Register();

// Replaces `List` with the names of the serial ports listed under
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, sorted, exactly as
// stored (not trimmed; a half character at the end of a value's data is
// no character and is dropped). The walk stops at the first value it
// cannot read, one too large included. Exceptions pass to the caller (a
// null `List` raises std::invalid_argument); the key is closed in any
// case.
QVDS_API void EnumComPorts(TStrings* List);

}  // namespace qvds18x20reg
