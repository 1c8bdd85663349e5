// --shot's end in the Win32 form: the picture of the window as the screen
// shows it, and the report of what the window shows.
#include "win32_form/form.hpp"

namespace win32form {

// The window as the screen shows it, into a DIB.
bool Form::capture(int& width, int& height) {
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

void Form::take_shot() {
  int width = 0;
  int height = 0;
  const bool saved = capture(width, height);
  const int count = static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0));
  const auto shown = qvform::rows_shown(count, [this](int r, int c) { return list_text(r, c); });
  quit(core_->finish_shot(shown, status_text_, width, height, saved));
}

}  // namespace win32form
