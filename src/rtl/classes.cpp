#include "rtl/classes.hpp"

#include <algorithm>

#include "rtl/sysutils.hpp"

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr) AOwner->Insert(this);
}

TComponent::~TComponent() {
  // Free the owned components from the last to the first. Each removes
  // itself from this list in its own destructor.
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) owner_->Remove(this);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) throw EListError("List index out of bounds (" + IntToStr(index) + ")");
  return components_[static_cast<std::size_t>(index)];
}

void TComponent::SetDesigning(bool on) {
  if (on) state_.Include(csDesigning); else state_.Exclude(csDesigning);
}

void TComponent::SetLoading(bool on) {
  if (on) state_.Include(csLoading); else state_.Exclude(csLoading);
}

void TComponent::Loaded() { state_.Exclude(csLoading); }

void TComponent::Insert(TComponent* c) {
  components_.push_back(c);
  c->owner_ = this;
}

void TComponent::Remove(TComponent* c) {
  auto it = std::find(components_.begin(), components_.end(), c);
  if (it != components_.end()) components_.erase(it);
  c->owner_ = nullptr;
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  // Copy first: `source` may not be a TStringList.
  std::vector<std::pair<std::string, TObject*>> copy;
  copy.reserve(static_cast<std::size_t>(source.Count()));
  for (int i = 0; i < source.Count(); ++i) copy.emplace_back(source.Strings(i), source.Objects(i));
  Clear();
  for (auto& [text, obj] : copy) AddObject(text, obj);
}

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds (" + IntToStr(index) + ")");
}

const std::string& TStringList::Strings(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)].text;
}

void TStringList::PutString(int index, const std::string& s) {
  Check(index);
  items_[static_cast<std::size_t>(index)].text = s;
}

TObject* TStringList::Objects(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::PutObject(int index, TObject* obj) {
  Check(index);
  items_[static_cast<std::size_t>(index)].object = obj;
}

int TStringList::AddObject(const std::string& s, TObject* obj) {
  items_.push_back(Item{s, obj});
  return Count() - 1;
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [](const Item& a, const Item& b) { return CompareText(a.text, b.text) < 0; });
}
