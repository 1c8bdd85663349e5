#include "win32/native.hpp"

#include "rtl/win32/windows.hpp"

namespace native {

std::uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

std::uint32_t WindowThreadId(HWND__* wnd) { return GetWindowThreadProcessId(wnd, nullptr); }

bool IsMessageOnly(HWND__* wnd) {
  HWND parent = GetAncestor(wnd, GA_PARENT);
  if (parent == nullptr || parent == GetDesktopWindow()) return false;
  // The message-only root is the parent of every HWND_MESSAGE window;
  // make one of our own to learn which window that is.
  HWND probe = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  const bool same = probe != nullptr && GetAncestor(probe, GA_PARENT) == parent;
  if (probe != nullptr) DestroyWindow(probe);
  return same;
}

bool HasDefaultProcedure(HWND__* wnd) {
  return GetWindowLongPtrW(wnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&DefWindowProcW);
}

std::intptr_t Procedure(HWND__* wnd) { return GetWindowLongPtrW(wnd, GWLP_WNDPROC); }

bool Exists(HWND__* wnd) { return IsWindow(wnd) != FALSE; }

bool Post(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return PostMessageW(wnd, msg, wparam, lparam) != FALSE;
}

std::intptr_t Send(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam) {
  return SendMessageW(wnd, msg, wparam, lparam);
}

bool PostedMessagesWaiting() { return (HIWORD(GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE) != 0; }

HWND__* MakeForeignWindow() {
  return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

void DestroyForeignWindow(HWND__* wnd) { DestroyWindow(wnd); }

bool RunForeignLoop(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // Wait first, so that GetMessageW below cannot block past the deadline.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left.count()), QS_ALLINPUT, MWMO_INPUTAVAILABLE) !=
        WAIT_OBJECT_0)
      continue;
    MSG m;
    if (PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE) == FALSE) continue;
    if (GetMessageW(&m, nullptr, 0, 0) <= 0) return false;
    DispatchMessageW(&m);
  }
  return true;
}

HKEY__* MakeScratchKey(const std::wstring& name, const std::vector<std::pair<std::wstring, std::wstring>>& values) {
  HKEY key = nullptr;
  const std::wstring path = L"Software\\" + name;
  RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
  if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return nullptr;
  for (const auto& [value, text] : values)
    RegSetValueExW(key, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  return key;
}

void SetBinaryValue(HKEY__* key, const std::wstring& name, const std::vector<std::uint8_t>& bytes) {
  RegSetValueExW(key, name.c_str(), 0, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}

void DeleteScratchKey(HKEY__* key, const std::wstring& name) {
  if (key != nullptr) RegCloseKey(key);
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\" + name).c_str());
}

namespace {
constexpr wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
}

bool AddSerialCommValue(const std::wstring& name, const std::wstring& text) {
  HKEY key = nullptr;
  // The key is volatile: the system makes it afresh at every start.
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;
  const LONG r = RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return r == ERROR_SUCCESS;
}

void RemoveSerialCommValue(const std::wstring& name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  RegDeleteValueW(key, name.c_str());
  RegCloseKey(key);
}

std::vector<std::wstring> SerialCommTexts() {
  std::vector<std::wstring> out;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD name_len = 256;
    wchar_t data[128] = {};
    DWORD data_len = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    if (RegEnumValueW(key, i, name, &name_len, nullptr, &type, reinterpret_cast<BYTE*>(data), &data_len) !=
        ERROR_SUCCESS)
      break;
    if (type == REG_SZ) out.emplace_back(data);
  }
  RegCloseKey(key);
  return out;
}

bool CallExport(const wchar_t* library, const char* name) {
  HMODULE module = LoadLibraryW(library);
  if (module == nullptr) return false;
  auto fn = reinterpret_cast<void(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (fn != nullptr) fn();
  FreeLibrary(module);
  return fn != nullptr;
}

bool IsLoaded(const wchar_t* library) { return GetModuleHandleW(library) != nullptr; }

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace native
