// Object model of the run-time layer: root object, component with
// ownership and state flags, notify events and string lists.
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QVDS_API TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A method bound to an object, called with the sender. Empty means
// "not assigned".
using TNotifyEvent = std::function<void(TObject* Sender)>;

// Raised by string lists for an index outside 0..Count-1.
class QVDS_API EListError : public std::out_of_range {
 public:
  explicit EListError(const std::string& what) : std::out_of_range(what) {}
};

// Component state flags.
enum class TComponentStateFlag : std::uint8_t { csLoading = 1, csDesigning = 2 };
inline constexpr TComponentStateFlag csLoading = TComponentStateFlag::csLoading;
inline constexpr TComponentStateFlag csDesigning = TComponentStateFlag::csDesigning;

class QVDS_API TComponentState {
 public:
  bool Contains(TComponentStateFlag f) const { return (bits_ & static_cast<std::uint8_t>(f)) != 0; }
  void Include(TComponentStateFlag f) { bits_ = static_cast<std::uint8_t>(bits_ | static_cast<std::uint8_t>(f)); }
  void Exclude(TComponentStateFlag f) { bits_ = static_cast<std::uint8_t>(bits_ & ~static_cast<std::uint8_t>(f)); }

 private:
  std::uint8_t bits_ = 0;
};

// One published property as the form streamer sees it: read and write as
// text, and whether the value is written to a form.
struct QVDS_API TPropInfo {
  std::string name;
  std::function<std::string()> get;
  std::function<void(const std::string&)> set;  // empty: read-only
  std::function<bool()> stored;                 // empty: always stored
  // For enumerations, the allowed identifiers; the text is one of them.
  std::vector<std::string> enum_names;
  bool quoted = false;  // string property: written between single quotes
};

class QVDS_API TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;  // frees the owned components, last first

  TComponent* Owner() const { return owner_; }
  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  const TComponentState& ComponentState() const { return state_; }
  // The framework sets these: the designer marks its components, the form
  // reader marks a component while it reads its properties.
  void SetDesigning(bool on);
  void SetLoading(bool on);

  // Called by the form reader once all properties are read.
  virtual void Loaded();

  // Class name as written to a form.
  virtual std::string ClassName() const { return "TComponent"; }

  // Published properties in declaration order.
  virtual std::vector<TPropInfo> PublishedProperties() { return {}; }

 private:
  void Insert(TComponent* c);
  void Remove(TComponent* c);

  TComponent* owner_ = nullptr;
  std::vector<TComponent*> components_;
  std::string name_;
  TComponentState state_;
};

class QVDS_API TStrings : public TObject {
 public:
  virtual int Count() const = 0;
  virtual const std::string& Strings(int index) const = 0;
  virtual void PutString(int index, const std::string& s) = 0;
  virtual TObject* Objects(int index) const = 0;
  virtual void PutObject(int index, TObject* obj) = 0;
  virtual int AddObject(const std::string& s, TObject* obj) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  int Add(const std::string& s) { return AddObject(s, nullptr); }
  const std::string& operator[](int index) const { return Strings(index); }
  // Replaces the whole content with that of `source` (texts and objects).
  virtual void Assign(const TStrings& source);
};

// Entries are a text and an attached object, kept in insertion order until
// Sort. The list never owns the attached objects.
class QVDS_API TStringList : public TStrings {
 public:
  int Count() const override { return static_cast<int>(items_.size()); }
  const std::string& Strings(int index) const override;
  void PutString(int index, const std::string& s) override;
  TObject* Objects(int index) const override;
  void PutObject(int index, TObject* obj) override;
  int AddObject(const std::string& s, TObject* obj) override;
  void Delete(int index) override;
  void Clear() override { items_.clear(); }
  // Case-insensitive text order (COM10 before COM2); stable.
  void Sort();

 private:
  struct Item {
    std::string text;
    TObject* object = nullptr;
  };
  void Check(int index) const;
  std::vector<Item> items_;
};
