// The Win32 form's controls and their layout: the bus choices and buttons
// above, the list view below them, the status bar at the bottom.
#include <algorithm>

#include "win32_form/form.hpp"
#include "win32_form/text.hpp"

namespace win32form {

HWND Form::control(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD ex_style) {
  HWND c = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, wnd_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
  return c;
}

void Form::create_controls() {
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

void Form::layout() {
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

}  // namespace win32form
