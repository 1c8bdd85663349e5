#include "rtl/designer.hpp"

#include <mutex>

namespace {

std::mutex g_palette_mu;

std::vector<rtl::designer::Registration>& palette() {
  static std::vector<rtl::designer::Registration> list;
  return list;
}

}  // namespace

void RegisterComponents(const std::string& page, std::initializer_list<TComponentClass> classes) {
  RegisterComponents(page, std::vector<TComponentClass>(classes));
}

void RegisterComponents(const std::string& page, const std::vector<TComponentClass>& classes) {
  std::lock_guard<std::mutex> lock(g_palette_mu);
  palette().push_back(rtl::designer::Registration{page, classes});
}

namespace rtl::designer {

std::vector<Registration> registrations() {
  std::lock_guard<std::mutex> lock(g_palette_mu);
  return palette();
}

void clear_registrations() {
  std::lock_guard<std::mutex> lock(g_palette_mu);
  palette().clear();
}

}  // namespace rtl::designer

void TPropertyEditor::GetValues(const std::function<void(const std::string&)>& /*Proc*/) {}

void TPropertyEditor::SetValue(const std::string& /*Value*/) {}

std::string TPropertyEditor::GetStrValue() const { return prop_.get ? prop_.get() : std::string(); }

void TPropertyEditor::SetStrValue(const std::string& Value) {
  if (prop_.set) prop_.set(Value);
}
