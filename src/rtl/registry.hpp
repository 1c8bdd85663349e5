// The system registry as the component reads it: open a key, walk its
// values, close it. The functions keep the platform's names, argument
// order, result codes and length conventions, so the component's code is
// the same on every platform.
//
// On Windows they reach the system registry. Elsewhere they read an
// in-memory registry of this process (rtl::registry below), which tests
// fill; by default it holds HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM
// listing the serial device nodes that exist, numbered as
// rtl/com_ports.hpp numbers them ("\Device\Serial0" = "COM1",
// ...). That key is made afresh each time it is opened, so a USB adapter
// plugged in later shows up on the next open.
//
// The library's own: this header is not installed and nothing in it is
// exported, so a shared library on POSIX puts none of the Windows API's
// names into the programs that load it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The same type as the platform's strict key handle where there is one.
struct HKEY__;
using HKEY = HKEY__*;
using LONG = std::int32_t;
using DWORD = std::uint32_t;
using REGSAM = DWORD;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

inline constexpr REGSAM KEY_READ = 0x20019;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;

// Opens `sub_key` (components separated by backslashes, compared without
// regard to ASCII case) below `root`, which is HKEY_LOCAL_MACHINE or a key
// opened before. On success *out receives a handle for RegCloseKey; on
// failure *out is null.
LONG RegOpenKeyExW(HKEY root, const char16_t* sub_key, DWORD options, REGSAM access, HKEY* out);

// Reads value number `index` of `key` (0 first; ERROR_NO_MORE_ITEMS past
// the last one).
// `name` / `name_len`: buffer and its capacity in characters; on success
// *name_len is the name's length without the terminating zero that
// follows it. A name that does not fit with its terminator gives
// ERROR_MORE_DATA and leaves both untouched.
// `reserved` must be null. `type` may be null.
// `data` / `data_len`: buffer and its capacity in bytes; *data_len
// receives the value's size in bytes (for REG_SZ including the two
// terminator bytes). When the value is larger the result is
// ERROR_MORE_DATA and the buffer holds nothing useful. A null `data` with
// a `data_len` asks for the size only.
LONG RegEnumValueW(HKEY key, DWORD index, char16_t* name, DWORD* name_len, DWORD* reserved, DWORD* type,
                   std::uint8_t* data, DWORD* data_len);

LONG RegCloseKey(HKEY key);

namespace rtl {

// UTF-16 <-> UTF-8. Unpaired surrogates and malformed UTF-8 become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
std::u16string utf8_to_utf16(std::string_view text);

// Closes a key when the scope ends, also on an exception. Holding a null
// or failed handle is fine: closing it is then a harmless error result.
class KeyCloser {
 public:
  explicit KeyCloser(HKEY key) : key_(key) {}
  ~KeyCloser() { RegCloseKey(key_); }
  KeyCloser(const KeyCloser&) = delete;
  KeyCloser& operator=(const KeyCloser&) = delete;

 private:
  HKEY key_;
};

}  // namespace rtl

// The in-memory registry behind the functions above where the system has
// none. Every function may be called from any thread, also while other
// threads walk keys.
namespace rtl::registry {

// Stores a REG_SZ value: `text` followed by a terminating zero character.
// Missing keys on the way are made. Replacing a value keeps its place in
// the enumeration order (values are listed in the order first stored).
void SetValue(HKEY root, std::u16string_view path, std::u16string_view name, std::u16string_view text);

// Stores a value of any type with exactly the given bytes (no terminator
// is added), for values a well-behaved writer would not make.
void SetRawValue(HKEY root, std::u16string_view path, std::u16string_view name, DWORD type,
                 std::vector<std::uint8_t> bytes);

// Removes a key with everything below it. Handles still open on it then
// report ERROR_KEY_DELETED. A missing key is no error.
void DeleteKey(HKEY root, std::u16string_view path);

// Back to the state at start-up: only the made-on-open SERIALCOMM key,
// reading /dev, and no enumeration hook. Handles open before keep
// reporting ERROR_KEY_DELETED.
void Reset();

// The folder whose device nodes the SERIALCOMM key lists (default /dev).
// Storing into the SERIALCOMM key or deleting it ends the making-on-open
// until Reset: a store keeps the ports listed at that moment and adds the
// value, so a test that wants only its own values deletes the key first.
void SetSerialDeviceRoot(std::string dev_root);

// Called at the start of every RegEnumValueW with the key and index, on
// the calling thread and outside the registry's lock: lets a test change
// the registry between two reads, or raise an exception from inside a
// walk. An empty function removes the hook.
using EnumHook = std::function<void(HKEY key, DWORD index)>;
void SetEnumHook(EnumHook hook);

// Handles opened by RegOpenKeyExW and not closed yet, so a test can tell
// that a reader closed what it opened.
std::size_t OpenKeyCount();

}  // namespace rtl::registry
