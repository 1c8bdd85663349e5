// Direct calls into the Windows API for the Windows suites. The run-time
// layer's public names (PostMessage, IsWindow, DefWindowProc, the
// registry's DWORD and HKEY) clash with <windows.h>, so the suites reach
// the system through these plain declarations.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct HWND__;
struct HKEY__;

namespace native {

std::uint32_t CurrentThreadId();
std::uint32_t WindowThreadId(HWND__* wnd);
// True for a window whose parent is the message-only root (HWND_MESSAGE).
bool IsMessageOnly(HWND__* wnd);
bool HasDefaultProcedure(HWND__* wnd);
std::intptr_t Procedure(HWND__* wnd);
bool Exists(HWND__* wnd);

// The system's PostMessageW and SendMessageW, bypassing the run-time layer.
bool Post(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam);
std::intptr_t Send(HWND__* wnd, std::uint32_t msg, std::uintptr_t wparam, std::intptr_t lparam);

// True when posted messages wait in the calling thread's queue.
bool PostedMessagesWaiting();

// A plain message-only window with the system's default procedure, made
// by code that knows nothing of the run-time layer.
HWND__* MakeForeignWindow();
void DestroyForeignWindow(HWND__* wnd);

// A message loop of the kind a modal dialog runs: GetMessageW and
// DispatchMessageW only, until `done` or the timeout. False on timeout.
bool RunForeignLoop(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// --- registry ---
// A fresh key under HKEY_CURRENT_USER\Software (removed with
// DeleteScratchKey), holding the given REG_SZ values in order.
HKEY__* MakeScratchKey(const std::wstring& name, const std::vector<std::pair<std::wstring, std::wstring>>& values);
void SetBinaryValue(HKEY__* key, const std::wstring& name, const std::vector<std::uint8_t>& bytes);
void DeleteScratchKey(HKEY__* key, const std::wstring& name);

// Adds a REG_SZ value to HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM;
// false when the system does not allow it (not an administrator).
bool AddSerialCommValue(const std::wstring& name, const std::wstring& text);
void RemoveSerialCommValue(const std::wstring& name);
// The key's REG_SZ texts, read with the system's own functions.
std::vector<std::wstring> SerialCommTexts();

// --- libraries ---
// Calls a `void WINAPI name()` export of a library, loading it for the
// call; false when the library or the export is missing.
bool CallExport(const wchar_t* library, const char* name);
// True when the library is loaded in this process now.
bool IsLoaded(const wchar_t* library);

std::string Narrow(const std::wstring& text);

}  // namespace native
