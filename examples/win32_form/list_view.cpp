// The Win32 form's list view of the sensors: a virtual one, whose texts
// the form holds and hands out as the view paints them.
#include <algorithm>

#include "win32_form/form.hpp"
#include "win32_form/text.hpp"

namespace win32form {

void Form::fill_list(const std::vector<qvform::SensorRow>& rows) {
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
void Form::list_text_wanted(NMLVDISPINFOW& info) {
  if ((info.item.mask & LVIF_TEXT) == 0 || info.item.pszText == nullptr || info.item.cchTextMax <= 0) return;
  const auto row = static_cast<std::size_t>(info.item.iItem);
  const auto col = static_cast<std::size_t>(info.item.iSubItem);
  const std::wstring text = row < cells_.size() && col < 4 ? cells_[row][col] : std::wstring();
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(info.item.cchTextMax - 1));
  text.copy(info.item.pszText, n);
  info.item.pszText[n] = L'\0';
}

std::string Form::list_text(int row, int col) {
  wchar_t buffer[128] = {};
  LVITEMW item{};
  item.iSubItem = col;
  item.pszText = buffer;
  item.cchTextMax = 127;
  SendMessageW(list_, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
  return narrow(buffer);
}

}  // namespace win32form
