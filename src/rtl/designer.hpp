// What a design environment offers a design-time unit: palette
// registration of component classes and property editors. There is no
// design environment here, so registration is recorded where a host (or a
// test) can read it.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "rtl/classes.hpp"

// A class reference: what the palette needs to show a class and make an
// instance of it.
class QVDS_API TComponentClass {
 public:
  TComponentClass(std::string class_name, std::function<TComponent*(TComponent* AOwner)> factory)
      : class_name_(std::move(class_name)), factory_(std::move(factory)) {}

  const std::string& ClassName() const { return class_name_; }
  // A new instance owned by `AOwner` (or by the caller when null).
  TComponent* Create(TComponent* AOwner) const { return factory_(AOwner); }

 private:
  std::string class_name_;
  std::function<TComponent*(TComponent*)> factory_;
};

// The class reference of T, which has a constructor T(TComponent* AOwner).
template <class T>
TComponentClass ClassOf(std::string class_name) {
  return TComponentClass(std::move(class_name), [](TComponent* AOwner) -> TComponent* { return new T(AOwner); });
}

// Puts `classes` on the palette page `page`.
QVDS_API void RegisterComponents(const std::string& page, std::initializer_list<TComponentClass> classes);
QVDS_API void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes);

namespace rtl::designer {

// One RegisterComponents call.
struct QVDS_API Registration {
  std::string page;
  std::vector<TComponentClass> classes;
};

// Every registration since start-up or the last clear, in call order.
// Safe from any thread.
QVDS_API std::vector<Registration> registrations();
QVDS_API void clear_registrations();

}  // namespace rtl::designer

enum TPropertyAttribute : std::uint8_t {
  paValueList = 0,
  paSubProperties = 1,
  paDialog = 2,
  paMultiSelect = 3,
  paAutoUpdate = 4,
  paSortList = 5,
  paReadOnly = 6,
  paRevertable = 7,
  paFullWidthName = 8,
  paVolatileSubProperties = 9,
  paVCL = 10,
  paNotNestable = 11,
  paDisplayReadOnly = 12,
  paCustomDropDown = 13,
  paValueEditable = 14,
};

// A set of TPropertyAttribute, one bit per member (bit n for value n), as
// the design environment stores it.
class QVDS_API TPropertyAttributes {
 public:
  constexpr TPropertyAttributes() = default;
  constexpr TPropertyAttributes(std::initializer_list<TPropertyAttribute> members) {
    for (TPropertyAttribute a : members) Include(a);
  }
  constexpr bool Contains(TPropertyAttribute a) const { return (bits_ & mask(a)) != 0; }
  constexpr void Include(TPropertyAttribute a) { bits_ = static_cast<std::uint16_t>(bits_ | mask(a)); }
  constexpr void Exclude(TPropertyAttribute a) { bits_ = static_cast<std::uint16_t>(bits_ & ~mask(a)); }
  constexpr std::uint16_t Bits() const { return bits_; }
  constexpr bool operator==(const TPropertyAttributes&) const = default;

 private:
  static constexpr std::uint16_t mask(TPropertyAttribute a) { return static_cast<std::uint16_t>(1u << a); }
  std::uint16_t bits_ = 0;
};

// Edits one property of a component in the object inspector. The property
// is reached through its TPropInfo (read and write as text).
class QVDS_API TPropertyEditor : public TObject {
 public:
  explicit TPropertyEditor(TPropInfo prop = {}) : prop_(std::move(prop)) {}

  virtual TPropertyAttributes GetAttributes() { return {paRevertable}; }
  // Hands each value of the inspector's drop-down list to `Proc`. Editors
  // without a list deliver nothing.
  virtual void GetValues(const std::function<void(const std::string&)>& Proc);
  // The text shown in the inspector.
  virtual std::string GetValue() { return "(unknown)"; }
  virtual void SetValue(const std::string& Value);

  const std::string& GetName() const { return prop_.name; }

 protected:
  std::string GetStrValue() const;
  // Read-only properties ignore writes, as the inspector would not offer
  // one.
  void SetStrValue(const std::string& Value);

 private:
  TPropInfo prop_;
};

// Editor for properties whose value is their text.
class QVDS_API TStringProperty : public TPropertyEditor {
 public:
  using TPropertyEditor::TPropertyEditor;

  TPropertyAttributes GetAttributes() override { return {paMultiSelect, paRevertable}; }
  std::string GetValue() override { return GetStrValue(); }
  void SetValue(const std::string& Value) override { SetStrValue(Value); }
};
