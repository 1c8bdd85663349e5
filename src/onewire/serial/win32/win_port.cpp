// The serial port on Windows: a COM device opened for synchronous I/O,
// 8N1 with no flow control, and read deadlines set through
// COMMTIMEOUTS (changed only when a read needs another one).
//
// Under Wine a COM port may lead to a pseudo-terminal. Windows cannot
// tell such a port from a UART, so a break there is reported as sent
// although nobody sees it; rates are accepted and ignored, as on POSIX.
#include "rtl/win32/windows.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string>

#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "onewire/serial/transport.hpp"

namespace onewire::serial {
namespace {

bool known_rate(int baud) {
  return baud == kBaud9600 || baud == kBaud19200 || baud == kBaud57600 || baud == kBaud115200;
}

// "COM12" names a port only below COM10 when opened as a file; the device
// namespace form works for every number.
std::wstring device_name(const std::string& path) {
  std::string name = path;
  const bool bare_com = name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
                        (name[2] == 'M' || name[2] == 'm') && std::all_of(name.begin() + 3, name.end(), [](char c) {
                          return std::isdigit(static_cast<unsigned char>(c)) != 0;
                        });
  if (bare_com) name = "\\\\.\\" + name;
  if (name.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), wide.data(), n);
  return wide;
}

// Errors after which the device is gone for good (unplugged adapter,
// closed handle).
bool device_gone(DWORD err) {
  return err == ERROR_INVALID_HANDLE || err == ERROR_BAD_COMMAND || err == ERROR_DEVICE_REMOVED ||
         err == ERROR_DEVICE_NOT_CONNECTED || err == ERROR_GEN_FAILURE || err == ERROR_FILE_NOT_FOUND ||
         err == ERROR_ACCESS_DENIED || err == ERROR_OPERATION_ABORTED;
}

DWORD millis(rtl::Duration d) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(ms, 0, MAXDWORD - 1));
}

// What a port was set to before we opened it, per open handle, so that
// it can be put back on close and, from another thread, when the program
// must leave while a call on the port is still blocked.
struct SavedSettings {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  bool has_timeouts = false;
};

std::mutex& saved_mutex() {
  static std::mutex mu;
  return mu;
}

std::map<HANDLE, SavedSettings>& saved_ports() {
  static std::map<HANDLE, SavedSettings> ports;
  return ports;
}

void put_back(HANDLE h, SavedSettings saved) {
  (void)SetCommState(h, &saved.dcb);
  if (saved.has_timeouts) (void)SetCommTimeouts(h, &saved.timeouts);
}

// The system's words for an error code, without the closing full stop.
std::string system_text(DWORD err) {
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text, sizeof text,
                 nullptr);
  std::string words = text;
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
  return words.empty() ? "error " + std::to_string(err) : words;
}

class WinPort final : public Transport {
 public:
  explicit WinPort(std::string path) : path_(std::move(path)) {}
  ~WinPort() override { close(); }
  WinPort(const WinPort&) = delete;
  WinPort& operator=(const WinPort&) = delete;

  void note_failure(const char* call, DWORD err, OpenProblem problem) const {
    OpenFailure f;
    f.problem = problem;
    f.call = call;
    f.code = static_cast<int>(err);
    f.text = system_text(err);
    note_open_failure(path_, std::move(f));
  }

  int open() override {
    if (handle_ != INVALID_HANDLE_VALUE) return 1;
    const std::wstring name = device_name(path_);
    if (name.empty()) return kErrPortUnavailable;
    // Share mode 0: the port is ours alone while it is open.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD err = GetLastError();
      // A COM port is never shared: "access denied" is another program
      // holding it.
      const bool busy = err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION;
      const bool absent = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
      note_failure("CreateFile", err, busy ? OpenProblem::kBusy : absent ? OpenProblem::kAbsent : OpenProblem::kOther);
      return busy ? kErrPortBusy : kErrPortUnavailable;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // A file or a pipe has no comm state: not a serial device.
    if (GetCommState(h, &dcb) == FALSE) {
      note_failure("GetCommState", GetLastError(), OpenProblem::kNotAdapter);
      CloseHandle(h);
      return kErrPortUnavailable;
    }
    SavedSettings saved;
    saved.dcb = dcb;
    saved.has_timeouts = GetCommTimeouts(h, &saved.timeouts) != FALSE;
    dcb.BaudRate = kBaud9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    // Adapters may draw their power from DTR and RTS.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    // Otherwise one framing error (a break, a reset pulse read back)
    // stops every later read until ClearCommError.
    dcb.fAbortOnError = FALSE;
    if (SetCommState(h, &dcb) == FALSE) {
      put_back(h, saved);
      CloseHandle(h);
      return kErrPortUnavailable;
    }
    PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT);
    {
      std::lock_guard<std::mutex> lock(saved_mutex());
      saved_ports()[h] = saved;
    }
    handle_ = h;
    baud_ = kBaud9600;
    timeout_set_ = false;
    note_open_success(path_);
    return 1;
  }

  void close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    {
      // The next user of the port finds it as we found it.
      std::lock_guard<std::mutex> lock(saved_mutex());
      auto it = saved_ports().find(handle_);
      if (it != saved_ports().end()) {
        put_back(handle_, it->second);
        saved_ports().erase(it);
      }
    }
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  bool is_open() const override { return handle_ != INVALID_HANDLE_VALUE; }

  int set_baud(int baud) override {
    if (!known_rate(baud)) return kErrSpeed;
    if (handle_ == INVALID_HANDLE_VALUE) return kErrPortIo;
    if (baud == baud_) return 1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(handle_, &dcb) == FALSE) return fail();
    dcb.BaudRate = static_cast<DWORD>(baud);
    // SetCommState waits for nothing: a character still going out would
    // leave at the new rate, so wait for the line to drain first.
    FlushFileBuffers(handle_);
    if (SetCommState(handle_, &dcb) == FALSE) return fail();
    baud_ = baud;
    return 1;
  }

  int baud() const override { return baud_; }

  int send_break(rtl::Duration length) override {
    if (handle_ == INVALID_HANDLE_VALUE) return kErrPortIo;
    FlushFileBuffers(handle_);
    if (SetCommBreak(handle_) == FALSE) {
      const DWORD err = GetLastError();
      if (device_gone(err)) return fail(err);
      return 0;
    }
    rtl::GetClock().sleep_for(length);
    if (ClearCommBreak(handle_) == FALSE) return fail();
    return 1;
  }

  int write(const std::uint8_t* data, std::size_t n) override {
    if (handle_ == INVALID_HANDLE_VALUE) return kErrPortIo;
    if (n == 0) return 0;
    if (!timeout_set_)
      if (const int r = set_read_timeout(0); r < 0) return r;
    std::size_t done = 0;
    while (done < n) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 16));
      if (WriteFile(handle_, data + done, chunk, &wrote, nullptr) == FALSE) return fail();
      // A write that times out with nothing written: the line is stuck.
      if (wrote == 0) return kErrPortIo;
      done += wrote;
    }
    return static_cast<int>(n);
  }

  int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) override {
    if (handle_ == INVALID_HANDLE_VALUE) return kErrPortIo;
    if (n == 0) return 0;
    const int now = read_now(data, n);
    if (now != 0 || timeout <= rtl::Duration::zero()) return now;
    // Nothing there yet: wait for one byte, which ends the read as soon
    // as it comes, then take whatever followed it.
    if (const int r = set_read_timeout(millis(timeout)); r < 0) return r;
    DWORD got = 0;
    if (ReadFile(handle_, data, 1, &got, nullptr) == FALSE) return fail();
    if (got == 0 || n == 1) return static_cast<int>(got);
    const int rest = read_now(data + 1, n - 1);
    return rest < 0 ? rest : 1 + rest;
  }

  int flush_input() override {
    if (handle_ == INVALID_HANDLE_VALUE) return kErrPortIo;
    if (PurgeComm(handle_, PURGE_RXCLEAR) == FALSE) return fail();
    return 1;
  }

 private:
  // What has arrived, up to n bytes, without waiting.
  int read_now(std::uint8_t* data, std::size_t n) {
    if (const int r = set_read_timeout(0); r < 0) return r;
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 16));
    if (ReadFile(handle_, data, want, &got, nullptr) == FALSE) return fail();
    return static_cast<int>(got);
  }

  // 0: a read returns at once with what is buffered (the interval at
  // MAXDWORD and both totals at 0 asks for that). Otherwise a read waits
  // up to `ms` in all, so a read of one byte ends with that byte. The
  // documented "return with the first byte" setting (both read timeouts at
  // MAXDWORD) is not used: Wine waits out its whole constant. Writes may
  // take a second plus twice their character time at the slowest rate.
  int set_read_timeout(DWORD ms) {
    if (timeout_set_ && ms == timeout_ms_) return 1;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = ms == 0 ? MAXDWORD : 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = ms;
    t.WriteTotalTimeoutMultiplier = 2;
    t.WriteTotalTimeoutConstant = 1000;
    if (SetCommTimeouts(handle_, &t) == FALSE) return fail();
    timeout_set_ = true;
    timeout_ms_ = ms;
    return 1;
  }

  // Every failure of an open port is an I/O error for the caller; a port
  // whose device went away stays failed until it is opened again.
  int fail(DWORD err = GetLastError()) {
    if (device_gone(err)) close();
    return kErrPortIo;
  }

  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  int baud_ = kBaud9600;
  bool timeout_set_ = false;
  DWORD timeout_ms_ = 0;
};

}  // namespace

std::unique_ptr<Transport> make_serial_port(const std::string& path) { return std::make_unique<WinPort>(path); }

void restore_open_ports() {
  std::lock_guard<std::mutex> lock(saved_mutex());
  for (const auto& [h, saved] : saved_ports()) put_back(h, saved);
}

}  // namespace onewire::serial
