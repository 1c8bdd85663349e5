// The Win32 form's window: its messages, what the controls do and the
// state they show.
#include "win32_form/form.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "win32_form/text.hpp"

namespace win32form {

Form::Form(HINSTANCE instance, qvform::Options options) : instance_(instance), options_(std::move(options)) {}

bool Form::create() {
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

void Form::begin_shot() {
  SetTimer(wnd_, kShotDeadline, static_cast<UINT>(qvform::kShotDeadlineMs), nullptr);
  PostMessageW(wnd_, kStartShot, 0, 0);
}

LRESULT CALLBACK Form::procedure(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
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

LRESULT Form::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
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
      if (wp == kAutoTimer && !core_->station().working()) core_->start_measurement();
      if (wp == kShotDeadline) {
        core_->shot_timed_out();
        quit(1);
      }
      return 0;
    case kStartShot:
      if (!core_->start_shot(chosen_bus())) quit(1);
      return 0;
    case kTakeShot:
      take_shot();
      return 0;
    case WM_DESTROY:
      KillTimer(wnd_, kAutoTimer);
      KillTimer(wnd_, kShotDeadline);
      if (core_) core_->station().close();
      PostQuitMessage(exit_code_);
      return 0;
    default:
      return DefWindowProcW(wnd_, msg, wp, lp);
  }
}

void Form::quit(int status) {
  exit_code_ = status;
  DestroyWindow(wnd_);
}

void Form::start_station() {
  core_ = std::make_unique<qvform::Controller>(
      "win32_form", options_, probe_,
      qvform::Controller::View{[this] { refresh_state(); },
                               [this](const std::vector<qvform::SensorRow>& rows) { fill_list(rows); }, nullptr,
                               // After the list view and the status bar have repainted.
                               [this] { PostMessageW(wnd_, kTakeShot, 0, 0); }});
  SendMessageW(port_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"simulated bus"));
  for (const std::string& p : core_->station().ports())
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

void Form::command(int id, int code) {
  switch (id) {
    case kOpen:
      if (code != BN_CLICKED) return;
      if (core_->station().session_active()) {
        core_->station().close();
      } else if (!core_->open_session(chosen_bus())) {
        MessageBoxW(wnd_, widen(core_->last_error()).c_str(), L"qvds18x20", MB_OK | MB_ICONWARNING);
      }
      return;
    case kEnumerate:
      if (code == BN_CLICKED) core_->station().enumerate();
      return;
    case kMeasure:
      if (code == BN_CLICKED) core_->start_measurement();
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

qvform::BusChoice Form::chosen_bus() const {
  qvform::BusChoice bus;
  bus.port = window_text(port_);
  bus.simulated = bus.port == "simulated bus";
  if (!bus.simulated) {
    const LRESULT a = SendMessageW(adapter_, CB_GETCURSEL, 0, 0);
    bus.adapter = qvform::adapter_choices()[static_cast<std::size_t>(std::max<LRESULT>(a, 0))].type;
    bus.relaxed = SendMessageW(speed_, CB_GETCURSEL, 0, 0) == 1;
  }
  return bus;
}

void Form::update_auto() {
  const int seconds = std::atoi(window_text(interval_).c_str());
  if (SendMessageW(auto_, BM_GETCHECK, 0, 0) == BST_CHECKED && core_ && core_->station().session_active() &&
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

void Form::refresh_state() {
  if (!core_) return;
  const qvform::Station& station = core_->station();
  const bool active = station.session_active();
  const bool working = station.working();
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
  const qvform::StatusTexts texts = core_->status();
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (texts[i] == status_text_[i]) continue;
    status_text_[i] = texts[i];
    SendMessageW(status_, SB_SETTEXTW, i, reinterpret_cast<LPARAM>(widen(texts[i]).c_str()));
  }
  update_auto();
}

}  // namespace win32form
