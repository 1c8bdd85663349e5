// The in-memory registry that answers the registry functions where the
// system has none (see rtl/registry.hpp).
#include "rtl/registry.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "rtl/registry_store.hpp"

namespace rtl::registry {
namespace {

struct Value {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<std::uint8_t> bytes;
};

struct Key {
  std::u16string name;
  std::vector<Value> values;
  std::vector<std::shared_ptr<Key>> subkeys;
  bool deleted = false;
  // Values are rebuilt from the serial device nodes on every open.
  bool serial_ports = false;
};

constexpr char16_t kSerialCommPath[] = u"HARDWARE\\DEVICEMAP\\SERIALCOMM";

struct Store {
  std::mutex mu;
  std::shared_ptr<Key> local_machine;
  // Handles are numbers that are never reused, so a handle closed (or
  // never opened) cannot reach another key by accident.
  std::unordered_map<std::uintptr_t, std::shared_ptr<Key>> open;
  std::uintptr_t next_handle = 0x1000;
  std::string serial_root = "/dev";
  EnumHook hook;
};

char16_t fold(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

bool same_name(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return fold(x) == fold(y);
         });
}

std::vector<std::u16string_view> split_path(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::shared_ptr<Key> find_child(const Key& key, std::u16string_view name) {
  for (const auto& k : key.subkeys)
    if (same_name(k->name, name)) return k;
  return nullptr;
}

std::shared_ptr<Key> find_path(std::shared_ptr<Key> key, std::u16string_view path) {
  for (std::u16string_view part : split_path(path)) {
    if (key == nullptr) return nullptr;
    key = find_child(*key, part);
  }
  return key;
}

std::shared_ptr<Key> make_path(std::shared_ptr<Key> key, std::u16string_view path) {
  for (std::u16string_view part : split_path(path)) {
    std::shared_ptr<Key> child = find_child(*key, part);
    if (child == nullptr) {
      child = std::make_shared<Key>();
      child->name = std::u16string(part);
      key->subkeys.push_back(child);
    }
    key = std::move(child);
  }
  return key;
}

void mark_deleted(Key& key) {
  key.deleted = true;
  for (auto& k : key.subkeys) mark_deleted(*k);
}

std::vector<std::uint8_t> sz_bytes(std::u16string_view text) {
  std::vector<std::uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
  return bytes;
}

std::vector<Value> serial_port_values(const std::string& dev_root) {
  std::vector<Value> values;
  for (auto& [name, text] : detail::serial_comm_values(dev_root))
    values.push_back(Value{std::move(name), REG_SZ, sz_bytes(text)});
  return values;
}

void fill_defaults(Store& s) {
  s.local_machine = std::make_shared<Key>();
  make_path(s.local_machine, kSerialCommPath)->serial_ports = true;
  s.serial_root = "/dev";
  s.hook = nullptr;
}

Store& store() {
  static Store* s = [] {
    auto* fresh = new Store;  // never destroyed: handles may be closed during static destruction
    fill_defaults(*fresh);
    return fresh;
  }();
  return *s;
}

std::shared_ptr<Key> resolve_locked(Store& s, HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) return s.local_machine;
  auto it = s.open.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == s.open.end() ? nullptr : it->second;
}

// Rebuilds a made-on-open key. The device folder is read without holding
// the lock, so a slow file system does not stall other keys.
void refresh_serial_ports(Store& s, std::unique_lock<std::mutex>& lock, const std::shared_ptr<Key>& key) {
  if (!key->serial_ports) return;
  const std::string root = s.serial_root;
  lock.unlock();
  std::vector<Value> values = serial_port_values(root);
  lock.lock();
  if (key->serial_ports && !key->deleted) key->values = std::move(values);
}

void store_value(HKEY root, std::u16string_view path, std::u16string_view name, DWORD type,
                 std::vector<std::uint8_t> bytes) {
  Store& s = store();
  std::unique_lock<std::mutex> lock(s.mu);
  const std::shared_ptr<Key> base = resolve_locked(s, root);
  if (base == nullptr || base->deleted) return;
  const std::shared_ptr<Key> key = make_path(base, path);
  refresh_serial_ports(s, lock, key);
  key->serial_ports = false;
  for (Value& v : key->values) {
    if (same_name(v.name, name)) {
      v.type = type;
      v.bytes = std::move(bytes);
      return;
    }
  }
  key->values.push_back(Value{std::u16string(name), type, std::move(bytes)});
}

}  // namespace

void SetValue(HKEY root, std::u16string_view path, std::u16string_view name, std::u16string_view text) {
  store_value(root, path, name, REG_SZ, sz_bytes(text));
}

void SetRawValue(HKEY root, std::u16string_view path, std::u16string_view name, DWORD type,
                 std::vector<std::uint8_t> bytes) {
  store_value(root, path, name, type, std::move(bytes));
}

void DeleteKey(HKEY root, std::u16string_view path) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  const std::shared_ptr<Key> base = resolve_locked(s, root);
  if (base == nullptr) return;
  const std::vector<std::u16string_view> parts = split_path(path);
  if (parts.empty()) return;  // the root itself stays
  std::shared_ptr<Key> parent = base;
  for (std::size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) parent = find_child(*parent, parts[i]);
  if (parent == nullptr) return;
  auto& subs = parent->subkeys;
  auto it = std::find_if(subs.begin(), subs.end(),
                         [&](const std::shared_ptr<Key>& k) { return same_name(k->name, parts.back()); });
  if (it == subs.end()) return;
  mark_deleted(**it);
  subs.erase(it);
}

void Reset() {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  mark_deleted(*s.local_machine);
  fill_defaults(s);
}

void SetSerialDeviceRoot(std::string dev_root) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.serial_root = std::move(dev_root);
}

void SetEnumHook(EnumHook hook) {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  s.hook = std::move(hook);
}

std::size_t OpenKeyCount() {
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.open.size();
}

namespace detail {

LONG open_key(HKEY root, const char16_t* sub_key, HKEY* out) {
  if (out == nullptr) return ERROR_INVALID_PARAMETER;
  *out = nullptr;
  Store& s = store();
  std::unique_lock<std::mutex> lock(s.mu);
  const std::shared_ptr<Key> base = resolve_locked(s, root);
  if (base == nullptr) return ERROR_INVALID_HANDLE;
  if (base->deleted) return ERROR_KEY_DELETED;
  const std::shared_ptr<Key> key = find_path(base, sub_key != nullptr ? std::u16string_view(sub_key) : u"");
  if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  refresh_serial_ports(s, lock, key);
  const std::uintptr_t id = s.next_handle;
  s.next_handle += 4;
  s.open.emplace(id, key);
  *out = reinterpret_cast<HKEY>(id);
  return ERROR_SUCCESS;
}

LONG enum_value(HKEY handle, DWORD index, char16_t* name, DWORD* name_len, DWORD* reserved, DWORD* type,
                std::uint8_t* data, DWORD* data_len) {
  Store& s = store();
  EnumHook hook;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    hook = s.hook;
  }
  if (hook) hook(handle, index);

  std::lock_guard<std::mutex> lock(s.mu);
  const std::shared_ptr<Key> key = resolve_locked(s, handle);
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (name == nullptr || name_len == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && data_len == nullptr) return ERROR_INVALID_PARAMETER;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;

  const Value& v = key->values[index];
  if (v.name.size() + 1 > *name_len) return ERROR_MORE_DATA;
  std::copy(v.name.begin(), v.name.end(), name);
  name[v.name.size()] = u'\0';
  *name_len = static_cast<DWORD>(v.name.size());
  if (type != nullptr) *type = v.type;
  if (data_len == nullptr) return ERROR_SUCCESS;
  const DWORD size = static_cast<DWORD>(v.bytes.size());
  if (data != nullptr && size > *data_len) {
    *data_len = size;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && size > 0) std::memcpy(data, v.bytes.data(), size);
  *data_len = size;
  return ERROR_SUCCESS;
}

LONG close_key(HKEY handle) {
  if (handle == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  Store& s = store();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.open.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace detail
}  // namespace rtl::registry
