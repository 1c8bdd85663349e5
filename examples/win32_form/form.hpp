// The component on a plain Win32 form: the serial port list (from the
// component's own lister), adapter and speed, open/close, enumerate,
// measure, a measurement every N seconds, the sensors in a list view and
// a status bar with the session state, Busy and TMEXerror.
//
// The component's hidden window is a window of this thread, so its
// messages (and its worker's Synchronize requests) come through the
// ordinary GetMessage/DispatchMessage loop of main() like every click; no
// timer polls it and the application starts no thread of its own.
#pragma once

#include "rtl/win32/windows.hpp"
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "form_common/controller.hpp"

namespace win32form {

enum ControlId : int {
  kPort = 100,
  kAdapter,
  kSpeed,
  kOpen,
  kEnumerate,
  kMeasure,
  kAuto,
  kInterval,
  kList,
  kStatus,
};
enum TimerId : UINT_PTR { kAutoTimer = 1, kShotDeadline = 2 };
constexpr UINT kTakeShot = WM_APP + 1;
constexpr UINT kStartShot = WM_APP + 2;

class Form {
 public:
  Form(HINSTANCE instance, qvform::Options options);

  bool create();
  // --shot: open, measure, take the picture, print, leave.
  void begin_shot();

  HWND handle() const { return wnd_; }
  qvform::LoopProbe& probe() { return probe_; }
  int exit_code() const { return exit_code_; }

 private:
  // form.cpp: the window's messages, what the controls do, the state shown.
  static LRESULT CALLBACK procedure(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp);
  void start_station();
  void command(int id, int code);
  qvform::BusChoice chosen_bus() const;
  void update_auto();
  void refresh_state();
  void quit(int status);  // ends the program with this exit status
  // controls.cpp: the controls and their layout.
  HWND control(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style = 0);
  void create_controls();
  void layout();
  // list_view.cpp: the sensors' rows in the virtual list view.
  void fill_list(const std::vector<qvform::SensorRow>& rows);
  void list_text_wanted(NMLVDISPINFOW& info);
  std::string list_text(int row, int col);
  // shot.cpp: the picture of the window and the report.
  bool capture(int& width, int& height);
  void take_shot();

  HINSTANCE instance_;
  qvform::Options options_;
  HWND wnd_ = nullptr;
  HWND port_label_ = nullptr, port_ = nullptr, adapter_label_ = nullptr, adapter_ = nullptr;
  HWND speed_label_ = nullptr, speed_ = nullptr, open_ = nullptr, enumerate_ = nullptr, measure_ = nullptr;
  HWND auto_ = nullptr, interval_ = nullptr, seconds_label_ = nullptr, list_ = nullptr, status_ = nullptr;
  qvform::LoopProbe probe_;
  std::unique_ptr<qvform::Controller> core_;  // from WM_CREATE on
  qvform::StatusTexts status_text_;           // what the status bar shows
  bool shown_active_ = false;
  std::vector<std::array<std::wstring, 4>> cells_;  // what the list view shows
  int auto_seconds_ = 0;
  int exit_code_ = 0;
};

}  // namespace win32form
