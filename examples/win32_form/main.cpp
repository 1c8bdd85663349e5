// The component on a plain Win32 form (form.hpp): the command line, the
// window and the application's message loop.
#include "rtl/win32/windows.hpp"
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <cstdio>

#include "form_common/station.hpp"
#include "win32_form/form.hpp"

int main(int argc, char** argv) {
  qvform::Options options;
  if (const auto status = qvform::read_command_line(argc, argv, "win32_form", options)) return *status;
  INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  win32form::Form form(GetModuleHandleW(nullptr), options);
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
