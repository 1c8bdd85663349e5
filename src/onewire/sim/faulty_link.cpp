#include "onewire/sim/faulty_link.hpp"

namespace onewire::sim {

FaultyLink::FaultyLink(std::unique_ptr<Link> inner) : inner_(std::move(inner)) {}
FaultyLink::~FaultyLink() = default;

void FaultyLink::fail(LinkOp op, int nth, int code) {
  std::lock_guard lock(mutex_);
  faults_.push_back({op, nth, code});
}

std::optional<int> FaultyLink::injected(LinkOp op) {
  std::lock_guard lock(mutex_);
  std::optional<int> code;
  for (auto it = faults_.begin(); it != faults_.end();) {
    if (it->op == op && --it->left == 0) {
      code = it->code;
      it = faults_.erase(it);
    } else {
      ++it;
    }
  }
  return code;
}

int FaultyLink::open() {
  const auto code = injected(LinkOp::kOpen);
  return code ? *code : inner_->open();
}
void FaultyLink::close() { inner_->close(); }
bool FaultyLink::is_open() const { return inner_->is_open(); }
int FaultyLink::reset() {
  const auto code = injected(LinkOp::kReset);
  return code ? *code : inner_->reset();
}
int FaultyLink::touch_bit(int bit) {
  const auto code = injected(LinkOp::kTouchBit);
  return code ? *code : inner_->touch_bit(bit);
}
int FaultyLink::touch_byte(int byte) {
  const auto code = injected(LinkOp::kTouchByte);
  return code ? *code : inner_->touch_byte(byte);
}
int FaultyLink::search(SearchPass& pass) {
  const auto code = injected(LinkOp::kSearch);
  return code ? *code : inner_->search(pass);
}
int FaultyLink::match(const Rom& rom) {
  const auto code = injected(LinkOp::kMatch);
  return code ? *code : inner_->match(rom);
}
int FaultyLink::set_speed(Speed speed) { return inner_->set_speed(speed); }
int FaultyLink::block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n) {
  const auto code = injected(LinkOp::kBlock);
  return code ? *code : inner_->block(rom, reset, data, n);
}
bool FaultyLink::can_strong_pullup() const { return inner_->can_strong_pullup(); }
int FaultyLink::touch_byte_pullup(int byte) {
  const auto code = injected(LinkOp::kTouchByte);
  return code ? *code : inner_->touch_byte_pullup(byte);
}
int FaultyLink::end_strong_pullup() { return inner_->end_strong_pullup(); }
int FaultyLink::serial_baud() const { return inner_->serial_baud(); }
const char* FaultyLink::name() const { return inner_->name(); }

}  // namespace onewire::sim
