// The component on a plain Win32 form: the serial port list (from the
// component's own lister), adapter and speed, open/close, enumerate,
// measure, a measurement every N seconds, the sensors in a list view and
// a status bar with the session state, Busy and TMEXerror.
//
// The component's hidden window is a window of this thread, so its
// messages (and its worker's Synchronize requests) come through the
// ordinary GetMessage/DispatchMessage loop below like every click; no
// timer polls it and the application starts no thread of its own.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "form_common/station.hpp"

namespace {

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
constexpr UINT kShotDeadlineMs = 60000;

std::wstring widen(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string window_text(HWND wnd) {
  const int n = GetWindowTextLengthW(wnd);
  std::wstring w(static_cast<std::size_t>(n) + 1, L'\0');
  GetWindowTextW(wnd, w.data(), n + 1);
  w.resize(static_cast<std::size_t>(n));
  return narrow(w);
}

class Form {
 public:
  Form(HINSTANCE instance, qvform::Options options) : instance_(instance), options_(std::move(options)) {}

  bool create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Form::procedure;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"Qvds18x20Form";
    if (RegisterClassExW(&wc) == 0) return false;
    wnd_ = CreateWindowExW(0, wc.lpszClassName, L"qvds18x20 - DS18x20 sensors (Win32)", WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, CW_USEDEFAULT, 760, 480, nullptr, nullptr, instance_, this);
    return wnd_ != nullptr;
  }

  HWND handle() const { return wnd_; }
  qvform::LoopProbe& probe() { return probe_; }
  int exit_code() const { return exit_code_; }

 private:
  static LRESULT CALLBACK procedure(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    Form* self = nullptr;
    if (msg == WM_NCCREATE) {
      self = static_cast<Form*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
      SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->wnd_ = wnd;
    } else {
      self = reinterpret_cast<Form*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
    }
    return self != nullptr ? self->handle_message(msg, wp, lp) : DefWindowProcW(wnd, msg, wp, lp);
  }

  HWND control(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style = 0) {
    HWND c = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, wnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
    return c;
  }

  void create_controls() {
    port_label_ = control(L"STATIC", L"Port", 0, 0);
    port_ = control(L"COMBOBOX", L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP, kPort);
    adapter_label_ = control(L"STATIC", L"Adapter", 0, 0);
    adapter_ = control(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kAdapter);
    speed_label_ = control(L"STATIC", L"Speed", 0, 0);
    speed_ = control(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_TABSTOP, kSpeed);
    open_ = control(L"BUTTON", L"Open", BS_PUSHBUTTON | WS_TABSTOP, kOpen);
    enumerate_ = control(L"BUTTON", L"Enumerate", BS_PUSHBUTTON | WS_TABSTOP, kEnumerate);
    measure_ = control(L"BUTTON", L"Measure", BS_PUSHBUTTON | WS_TABSTOP, kMeasure);
    auto_ = control(L"BUTTON", L"Measure every", BS_AUTOCHECKBOX | WS_TABSTOP, kAuto);
    interval_ = control(L"EDIT", L"10", ES_NUMBER | ES_RIGHT | WS_TABSTOP, kInterval, WS_EX_CLIENTEDGE);
    seconds_label_ = control(L"STATIC", L"s", 0, 0);
    // A virtual list view: it asks for the texts it paints (LVN_GETDISPINFO)
    // instead of holding copies that every measurement would rewrite.
    list_ = control(WC_LISTVIEWW, L"", LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS | WS_TABSTOP, kList,
                    WS_EX_CLIENTEDGE);
    // Double-buffered: painted off screen and put on the screen in one piece.
    ListView_SetExtendedListViewStyle(list_, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    const wchar_t* titles[] = {L"Index", L"ROM", L"Name", L"Temperature"};
    const int widths[] = {60, 170, 110, 110};
    for (int i = 0; i < 4; ++i) {
      LVCOLUMNW col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      col.pszText = const_cast<wchar_t*>(titles[i]);
      col.cx = widths[i];
      col.iSubItem = i;
      SendMessageW(list_, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&col));
    }
    status_ = control(STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP, kStatus);

    for (const auto& a : qvform::adapter_choices())
      SendMessageW(adapter_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(a.label).c_str()));
    SendMessageW(speed_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"normal"));
    SendMessageW(speed_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"relaxed"));
  }

  void layout() {
    RECT rc;
    GetClientRect(wnd_, &rc);
    SendMessageW(status_, WM_SIZE, 0, 0);
    RECT sr;
    GetWindowRect(status_, &sr);
    const int status_h = sr.bottom - sr.top;
    const int w = rc.right;
    int parts[] = {w * 45 / 100, w * 45 / 100 + 90, -1};
    SendMessageW(status_, SB_SETPARTS, 3, reinterpret_cast<LPARAM>(parts));
    const int m = 8;
    MoveWindow(port_label_, m, m + 4, 40, 20, TRUE);
    MoveWindow(port_, m + 44, m, 220, 200, TRUE);
    MoveWindow(adapter_label_, m + 276, m + 4, 50, 20, TRUE);
    MoveWindow(adapter_, m + 330, m, 160, 200, TRUE);
    MoveWindow(speed_label_, m + 502, m + 4, 44, 20, TRUE);
    MoveWindow(speed_, m + 548, m, 90, 200, TRUE);
    const int y2 = m + 34;
    MoveWindow(open_, m, y2, 90, 26, TRUE);
    MoveWindow(enumerate_, m + 96, y2, 90, 26, TRUE);
    MoveWindow(measure_, m + 192, y2, 90, 26, TRUE);
    MoveWindow(auto_, m + 300, y2 + 3, 110, 20, TRUE);
    MoveWindow(interval_, m + 412, y2 + 1, 56, 22, TRUE);
    MoveWindow(seconds_label_, m + 472, y2 + 4, 16, 20, TRUE);
    const int y3 = y2 + 36;
    MoveWindow(list_, m, y3, std::max(0, w - 2 * m), std::max(0, static_cast<int>(rc.bottom) - y3 - status_h - m),
               TRUE);
  }

  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
      case WM_CREATE:
        create_controls();
        layout();
        start_station();
        return 0;
      case WM_SIZE:
        layout();
        return 0;
      case WM_COMMAND:
        command(LOWORD(wp), HIWORD(wp));
        return 0;
      case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lp);
        if (header->hwndFrom == list_ && header->code == LVN_GETDISPINFOW)
          list_text_wanted(*reinterpret_cast<NMLVDISPINFOW*>(lp));
        return 0;
      }
      case WM_TIMER:
        if (wp == kAutoTimer && !station_->working()) start_measurement();
        if (wp == kShotDeadline) {
          std::fprintf(stderr, "win32_form: no result within %u s\n", kShotDeadlineMs / 1000);
          exit_code_ = 1;
          DestroyWindow(wnd_);
        }
        return 0;
      case kStartShot:
        if (!open_session()) {
          std::fprintf(stderr, "win32_form: %s\n", last_error_.c_str());
          exit_code_ = 1;
          DestroyWindow(wnd_);
          return 0;
        }
        probe_.start();
        start_measurement();
        return 0;
      case kTakeShot:
        take_shot();
        return 0;
      case WM_DESTROY:
        KillTimer(wnd_, kAutoTimer);
        KillTimer(wnd_, kShotDeadline);
        if (station_) station_->close();
        PostQuitMessage(exit_code_);
        return 0;
      default:
        return DefWindowProcW(wnd_, msg, wp, lp);
    }
  }

  void start_station() {
    station_ = std::make_unique<qvform::Station>(qvform::Station::Events{
        [this] { refresh_state(); }, [this](const std::vector<qvform::SensorRow>& rows) { fill_list(rows); },
        nullptr,
        [this](const std::string& what) {
          progress_ = what;
          refresh_state();
        },
        [this] { operation_ended(); }});
    SendMessageW(port_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"simulated bus"));
    for (const std::string& p : station_->ports())
      SendMessageW(port_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(p).c_str()));
    if (options_.sim) {
      SendMessageW(port_, CB_SETCURSEL, 0, 0);
    } else {
      const LRESULT i = SendMessageW(port_, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(widen(options_.port).c_str()));
      if (i != CB_ERR) {
        SendMessageW(port_, CB_SETCURSEL, static_cast<WPARAM>(i), 0);
      } else {
        SetWindowTextW(port_, widen(options_.port).c_str());
      }
    }
    int adapter_index = 0;
    for (std::size_t i = 0; i < qvform::adapter_choices().size(); ++i)
      if (qvform::adapter_choices()[i].type == options_.adapter) adapter_index = static_cast<int>(i);
    SendMessageW(adapter_, CB_SETCURSEL, static_cast<WPARAM>(adapter_index), 0);
    SendMessageW(speed_, CB_SETCURSEL, options_.relaxed ? 1 : 0, 0);
    if (options_.interval > 0) {
      SetWindowTextW(interval_, std::to_wstring(options_.interval).c_str());
      SendMessageW(auto_, BM_SETCHECK, BST_CHECKED, 0);
    }
    refresh_state();
  }

  void command(int id, int code) {
    switch (id) {
      case kOpen:
        if (code != BN_CLICKED) return;
        if (station_->session_active()) {
          station_->close();
        } else if (!open_session()) {
          MessageBoxW(wnd_, widen(last_error_).c_str(), L"qvds18x20", MB_OK | MB_ICONWARNING);
        }
        return;
      case kEnumerate:
        if (code == BN_CLICKED) station_->enumerate();
        return;
      case kMeasure:
        if (code == BN_CLICKED) start_measurement();
        return;
      case kAuto:
        if (code == BN_CLICKED) update_auto();
        return;
      case kInterval:
        if (code == EN_CHANGE) update_auto();
        return;
      default:
        return;
    }
  }

  bool open_session() {
    const std::string port = window_text(port_);
    std::string error;
    if (port == "simulated bus") {
      error = station_->use_simulated_bus(options_.sim_file);
    } else {
      const LRESULT a = SendMessageW(adapter_, CB_GETCURSEL, 0, 0);
      const int adapter = qvform::adapter_choices()[static_cast<std::size_t>(std::max<LRESULT>(a, 0))].type;
      error = station_->use_adapter(port, adapter, SendMessageW(speed_, CB_GETCURSEL, 0, 0) == 1, options_.baud);
    }
    if (error.empty()) error = station_->open();
    last_error_ = error;
    refresh_state();
    return error.empty();
  }

  void start_measurement() {
    if (station_->measure()) ++measurements_;
  }

  void update_auto() {
    const int seconds = std::atoi(window_text(interval_).c_str());
    if (SendMessageW(auto_, BM_GETCHECK, 0, 0) == BST_CHECKED && station_ && station_->session_active() &&
        seconds > 0) {
      if (seconds != auto_seconds_) {
        SetTimer(wnd_, kAutoTimer, static_cast<UINT>(seconds) * 1000U, nullptr);
        auto_seconds_ = seconds;
      }
    } else if (auto_seconds_ != 0) {
      KillTimer(wnd_, kAutoTimer);
      auto_seconds_ = 0;
    }
  }

  void operation_ended() {
    progress_.clear();
    refresh_state();
    if (options_.shot.empty()) return;
    if (measurements_ < options_.measurements) {
      start_measurement();
      return;
    }
    probe_.stop();
    // After the list view and the status bar have repainted.
    PostMessageW(wnd_, kTakeShot, 0, 0);
  }

  void refresh_state() {
    if (!station_) return;
    const bool active = station_->session_active();
    const bool working = station_->working();
    // Each change costs a repaint: only what changed is set.
    if (active != shown_active_) {
      SetWindowTextW(open_, active ? L"Close" : L"Open");
      shown_active_ = active;
    }
    auto enable = [](HWND wnd, bool on) {
      if ((IsWindowEnabled(wnd) != FALSE) != on) EnableWindow(wnd, on ? TRUE : FALSE);
    };
    enable(open_, !working);
    enable(port_, !active);
    enable(adapter_, !active);
    enable(speed_, !active);
    enable(enumerate_, active && !working);
    enable(measure_, active && !working);
    std::string session = station_->session_text();
    if (!progress_.empty()) session += ", " + progress_;
    const std::string error = station_->error_text();
    const std::string texts[3] = {session, station_->busy() ? "Busy: yes" : "Busy: no",
                                  "TMEXerror: " + (error.empty() ? std::string("none") : error)};
    for (std::size_t i = 0; i < 3; ++i) {
      if (texts[i] == status_text_[i]) continue;
      status_text_[i] = texts[i];
      SendMessageW(status_, SB_SETTEXTW, i, reinterpret_cast<LPARAM>(widen(texts[i]).c_str()));
    }
    update_auto();
  }

  void fill_list(const std::vector<qvform::SensorRow>& rows) {
    std::vector<std::array<std::wstring, 4>> cells;
    for (const auto& r : rows) cells.push_back({std::to_wstring(r.index), widen(r.rom), widen(r.name), widen(r.temp)});
    if (cells.size() != cells_.size()) {
      cells_ = std::move(cells);
      SendMessageW(list_, LVM_SETITEMCOUNT, cells_.size(), LVSICF_NOSCROLL);
      InvalidateRect(list_, nullptr, FALSE);
      return;
    }
    // Only the rows whose texts changed are painted again.
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (cells[i] == cells_[i]) continue;
      cells_[i] = std::move(cells[i]);
      SendMessageW(list_, LVM_REDRAWITEMS, i, static_cast<LPARAM>(i));
    }
  }

  // The list view asks for a cell's text as it paints it.
  void list_text_wanted(NMLVDISPINFOW& info) {
    if ((info.item.mask & LVIF_TEXT) == 0 || info.item.pszText == nullptr || info.item.cchTextMax <= 0) return;
    const auto row = static_cast<std::size_t>(info.item.iItem);
    const auto col = static_cast<std::size_t>(info.item.iSubItem);
    const std::wstring text = row < cells_.size() && col < 4 ? cells_[row][col] : std::wstring();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(info.item.cchTextMax - 1));
    text.copy(info.item.pszText, n);
    info.item.pszText[n] = L'\0';
  }

  std::string list_text(int row, int col) {
    wchar_t buffer[128] = {};
    LVITEMW item{};
    item.iSubItem = col;
    item.pszText = buffer;
    item.cchTextMax = 127;
    SendMessageW(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return narrow(buffer);
  }

  // The window as the screen shows it, into a DIB.
  bool capture(int& width, int& height) {
    SetForegroundWindow(wnd_);
    RedrawWindow(wnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    // The client area: the frame is the window manager's, and not every
    // display has one.
    RECT wr;
    GetClientRect(wnd_, &wr);
    MapWindowPoints(wnd_, nullptr, reinterpret_cast<POINT*>(&wr), 2);
    width = wr.right - wr.left;
    height = wr.bottom - wr.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib != nullptr && bits != nullptr) {
      HGDIOBJ old = SelectObject(mem, dib);
      // What the screen shows where the window is: the window is on top
      // and just painted. (PrintWindow would do without the screen, but
      // not every system has its children print themselves into it.)
      ok = BitBlt(mem, 0, 0, width, height, screen, wr.left, wr.top, SRCCOPY | CAPTUREBLT) != FALSE;
      if (!ok) ok = PrintWindow(wnd_, mem, PW_CLIENTONLY) != FALSE;
      GdiFlush();
      if (ok) ok = qvform::write_png(options_.shot, width, height, static_cast<const std::uint8_t*>(bits), width * 4);
      SelectObject(mem, old);
    }
    if (dib != nullptr) DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
  }

  void take_shot() {
    int width = 0;
    int height = 0;
    const bool saved = capture(width, height);
    std::vector<qvform::SensorRow> shown;
    bool any_read = false;
    const int count = static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
    for (int r = 0; r < count; ++r) {
      qvform::SensorRow row{std::atoi(list_text(r, 0).c_str()), list_text(r, 1), list_text(r, 2), list_text(r, 3)};
      any_read = any_read || !row.temp.empty();
      shown.push_back(row);
    }
    const std::string status = status_text_[0] + " | " + status_text_[1] + " | " + status_text_[2];
    std::fputs(qvform::shot_report(shown, status, probe_, measurements_, width, height).c_str(), stdout);
    std::fflush(stdout);
    if (!saved) std::fprintf(stderr, "win32_form: cannot write %s\n", options_.shot.c_str());
    exit_code_ = saved && any_read ? 0 : 1;
    DestroyWindow(wnd_);
  }

 public:
  void begin_shot() {
    SetTimer(wnd_, kShotDeadline, kShotDeadlineMs, nullptr);
    PostMessageW(wnd_, kStartShot, 0, 0);
  }

 private:
  HINSTANCE instance_;
  qvform::Options options_;
  HWND wnd_ = nullptr;
  HWND port_label_ = nullptr, port_ = nullptr, adapter_label_ = nullptr, adapter_ = nullptr;
  HWND speed_label_ = nullptr, speed_ = nullptr, open_ = nullptr, enumerate_ = nullptr, measure_ = nullptr;
  HWND auto_ = nullptr, interval_ = nullptr, seconds_label_ = nullptr, list_ = nullptr, status_ = nullptr;
  std::unique_ptr<qvform::Station> station_;
  qvform::LoopProbe probe_;
  std::string status_text_[3];
  bool shown_active_ = false;
  std::vector<std::array<std::wstring, 4>> cells_;  // what the list view shows
  std::string progress_;
  std::string last_error_;
  int auto_seconds_ = 0;
  int measurements_ = 0;
  int exit_code_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  qvform::Options options;
  if (const std::string error = qvform::parse_options(args, options); !error.empty()) {
    std::fprintf(stderr, "win32_form: %s\n%s", error.c_str(), qvform::usage("win32_form").c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(qvform::usage("win32_form").c_str(), stdout);
    return 0;
  }
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  Form form(GetModuleHandleW(nullptr), options);
  if (!form.create()) {
    std::fprintf(stderr, "win32_form: cannot create the window\n");
    return 1;
  }
  ShowWindow(form.handle(), SW_SHOWNORMAL);
  UpdateWindow(form.handle());
  if (!options.shot.empty()) form.begin_shot();

  // The application's message loop. The probe learns when the loop takes
  // a message and when it is about to wait (the queue is empty).
  qvform::LoopProbe& probe = form.probe();
  MSG msg;
  for (;;) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      probe.waiting();
      if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    } else if (msg.message == WM_QUIT) {
      break;
    }
    probe.handling();
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
