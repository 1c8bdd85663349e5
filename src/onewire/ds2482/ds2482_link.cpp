#include "onewire/ds2482/ds2482_link.hpp"

#include <condition_variable>
#include <map>
#include <utility>

#include "onewire/ds2482/protocol.hpp"
#include "onewire/errors.hpp"
#include "onewire/i2c/i2c_buses.hpp"

namespace onewire::ds2482 {

namespace {

constexpr std::uint8_t kMatchRom = 0x55;
constexpr std::uint8_t kSearchRom = 0xF0;
constexpr std::uint8_t kAlarmSearch = 0xEC;
// What wait_idle is told for a reset, which is no number of slots.
constexpr int kResetSlots = -1;

int open_failure(int i2c_result) {
  return i2c_result == kI2cBusy ? kErrPortBusy : kErrPortUnavailable;
}

}  // namespace

struct SharedChip {
  // Recursive: a search or block takes the chip again for its reset.
  std::recursive_mutex mutex;
  // The link whose strong pull-up keeps the chip on its channel, if any;
  // the other links wait on `pullup_ended` for it to go.
  const Ds2482Link* pullup_owner = nullptr;
  std::condition_variable_any pullup_ended;
  // What the chip was left on by the last link that used it: -1 unknown.
  int channel = -1;
  int config = -1;
  // 1 for a -100, 8 for a -800, 0 before a link found out.
  int channels = 0;
};

namespace {

// The chips links are open on, by bus device and address, for as long as
// a link holds one.
std::shared_ptr<SharedChip> shared_chip(const ChipAddress& where) {
  static std::mutex registry_mutex;
  static std::map<std::pair<std::string, int>, std::weak_ptr<SharedChip>> registry;
  std::lock_guard lock(registry_mutex);
  for (auto it = registry.begin(); it != registry.end();) it = it->second.expired() ? registry.erase(it) : std::next(it);
  auto& slot = registry[{where.device, where.address}];
  std::shared_ptr<SharedChip> chip = slot.lock();
  if (!chip) {
    chip = std::make_shared<SharedChip>();
    slot = chip;
  }
  return chip;
}

}  // namespace

Ds2482Link::Ds2482Link(std::unique_ptr<I2cBus> bus, ChipAddress where, Ds2482Options options)
    : bus_(std::move(bus)), where_(std::move(where)), options_(options), chip_(shared_chip(where_)) {
  config_ = options_.active_pullup ? kCfgApu : 0;
}

Ds2482Link::~Ds2482Link() { close(); }

const char* Ds2482Link::name() const {
  if (channels_ == 8) return "DS2482-800 I2C 1-Wire bridge";
  if (channels_ == 1) return "DS2482-100 I2C 1-Wire bridge";
  return "DS2482 I2C 1-Wire bridge";
}

bool Ds2482Link::is_open() const { return open_ && bus_ && bus_->is_open(); }

int Ds2482Link::open() {
  if (is_open()) return 1;
  close();
  if (!bus_) return kErrPortUnavailable;
  std::unique_lock lock(chip_->mutex);
  // Selecting this channel would end the conversion another one feeds.
  if (!wait_for_other_pullup(lock)) return kErrPortBusy;
  if (const int r = bus_->open(); r != kI2cOk) return open_failure(r);
  open_ = true;
  recoveries_ = 0;
  // The speed stays what it was before a close; the strong pull-up never.
  // A chip another channel's link has open is not reset under it.
  const int channel = where_.channel < 0 ? 0 : where_.channel;
  int r = 1;
  if (chip_->channels == 0) {
    r = detect();
    if (r == 1) chip_->channels = channels_;
  } else {
    channels_ = chip_->channels;
    if (channels_ == 8)
      r = select_channel(channel);
    else if (channel != 0)
      r = kErrPortUnavailable;
  }
  if (r == 1) {
    chip_->channel = channel;
    r = write_config(config_);
  }
  if (r != 1) {
    chip_->channel = -1;
    close();
    return r;
  }
  return 1;
}

void Ds2482Link::close() {
  std::lock_guard lock(chip_->mutex);
  if (pullup_ && is_open()) write_config(config_);
  drop_pullup();
  if (bus_ && bus_->is_open()) bus_->close();
  open_ = false;
}

std::unique_lock<std::recursive_mutex> Ds2482Link::take_chip(int& result) {
  std::unique_lock lock(chip_->mutex);
  result = prepare();
  if (result != 1) return lock;
  if (!wait_for_other_pullup(lock)) {
    result = kErrPortBusy;
    return lock;
  }
  if (channels_ == 8) {
    const int channel = where_.channel < 0 ? 0 : where_.channel;
    if (chip_->channel != channel) {
      result = select_channel(channel);
      if (result != 1) {
        chip_->channel = -1;
        return lock;
      }
      chip_->channel = channel;
    }
  }
  if (chip_->config != config_) result = write_config(config_);
  return lock;
}

// The chip stays locked once when this waits: a nested take (a search's
// reset) comes after its operation's own take found no other pull-up, and
// none can begin while the chip is locked.
bool Ds2482Link::wait_for_other_pullup(std::unique_lock<std::recursive_mutex>& lock) {
  const auto none_other = [this] { return chip_->pullup_owner == nullptr || chip_->pullup_owner == this; };
  if (none_other()) return true;
  ++pullup_waits_;
  return chip_->pullup_ended.wait_for(lock, options_.pullup_wait, none_other);
}

void Ds2482Link::drop_pullup() {
  pullup_ = false;
  if (chip_->pullup_owner != this) return;
  chip_->pullup_owner = nullptr;
  chip_->pullup_ended.notify_all();
}

int Ds2482Link::fail(int i2c_result) {
  switch (i2c_result) {
    case kI2cOk:
      return 1;
    case kI2cNack:
      // The chip refused a byte or left the address: it did not answer.
      return kErrAdapterNoResponse;
    case kI2cBusy:
      // A kernel driver bound to the address owns the chip.
      return kErrPortBusy;
    case kI2cGone:
      open_ = false;
      drop_pullup();
      if (bus_) bus_->close();
      return kErrPortIo;
    default:
      return kErrPortIo;
  }
}

int Ds2482Link::send(std::initializer_list<std::uint8_t> bytes) {
  return fail(bus_->write(where_.address, bytes.begin(), bytes.size()));
}

int Ds2482Link::command(std::initializer_list<std::uint8_t> bytes) {
  const int r = send(bytes);
  if (r == kErrAdapterNoResponse && recover() == kErrPortIo) return kErrPortIo;
  return r;
}

int Ds2482Link::receive(std::uint8_t& value) { return fail(bus_->read(where_.address, &value, 1)); }

int Ds2482Link::read_register(std::uint8_t pointer, std::uint8_t& value) {
  if (const int r = send({kCmdSetReadPointer, pointer}); r != 1) return r;
  return receive(value);
}

int Ds2482Link::wait_idle(int slots, std::uint8_t& status) {
  rtl::Clock& c = clock();
  rtl::Duration wait = slots == kResetSlots ? options_.reset_wait : options_.slot_wait * slots;
  if ((config_ & kCfg1ws) != 0) wait /= 10;
  c.sleep_for(wait);
  const rtl::TimePoint deadline = c.now() + options_.busy_deadline;
  for (;;) {
    if (const int r = receive(status); r != 1) return r;
    if ((status & kSt1wb) == 0) return 1;
    if (c.now() >= deadline) break;
    c.sleep_for(options_.poll_interval);
  }
  // Stuck: a reset of the chip ends whatever it was doing.
  if (const int r = recover(); r == kErrPortIo) return r;
  return kErrAdapterNoResponse;
}

// The chip reads the configuration back through the pointer the write
// leaves on it: a byte it did not take shows there.
int Ds2482Link::write_config(std::uint8_t bits) {
  if (const int r = send({kCmdWriteConfig, config_byte(bits)}); r != 1) return r;
  std::uint8_t back = 0;
  if (const int r = receive(back); r != 1) return r;
  if (back != bits) return kErrAdapterNoResponse;
  if ((bits & kCfgSpu) == 0) config_ = bits;
  chip_->config = bits;
  return 1;
}

int Ds2482Link::select_channel(int channel) {
  const auto i = static_cast<std::size_t>(channel);
  if (const int r = send({kCmdChannelSelect, kChannelCode[i]}); r != 1) return r;
  std::uint8_t back = 0;
  if (const int r = receive(back); r != 1) return r;
  return back == kChannelReadBack[i] ? 1 : kErrAdapterNoResponse;
}

int Ds2482Link::detect() {
  if (const int r = send({kCmdDeviceReset}); r != 1) return r;
  std::uint8_t status = 0;
  if (const int r = receive(status); r != 1) return r;
  // RST and nothing else, but the line level: a shorted line reads low.
  if ((status & ~kStLl) != kStRst) return kErrAdapterNoResponse;
  // Only the -800 knows Channel Select: a -100 refuses its code.
  const int channel = where_.channel < 0 ? 0 : where_.channel;
  const auto i = static_cast<std::size_t>(channel);
  const std::uint8_t select[2] = {kCmdChannelSelect, kChannelCode[i]};
  const int r = bus_->write(where_.address, select, sizeof select);
  if (r == kI2cNack) {
    channels_ = 1;
    return channel == 0 ? 1 : kErrPortUnavailable;
  }
  if (r != kI2cOk) return fail(r);
  std::uint8_t back = 0;
  if (const int got = receive(back); got != 1) return got;
  if (back != kChannelReadBack[i]) return kErrAdapterNoResponse;
  channels_ = 8;
  return 1;
}

int Ds2482Link::recover() {
  ++recoveries_;
  drop_pullup();
  // A reset of the chip puts every channel's switch and its
  // configuration back to their power-up state.
  chip_->channel = 0;
  chip_->config = -1;
  if (const int r = send({kCmdDeviceReset}); r != 1) return r;
  if (channels_ == 8) {
    if (const int r = select_channel(where_.channel < 0 ? 0 : where_.channel); r != 1) return r;
    chip_->channel = where_.channel < 0 ? 0 : where_.channel;
  }
  return write_config(config_);
}

int Ds2482Link::prepare() {
  if (!is_open()) {
    close();
    return kErrPortIo;
  }
  if (pullup_) return end_strong_pullup();
  return 1;
}

int Ds2482Link::reset() {
  int r = 0;
  const auto lock = take_chip(r);
  return r != 1 ? r : do_reset();
}

int Ds2482Link::do_reset() {
  if (const int r = command({kCmdReset}); r != 1) return r;
  std::uint8_t status = 0;
  if (const int r = wait_idle(kResetSlots, status); r != 1) return r;
  if ((status & kStSd) != 0) return kResetShort;
  return (status & kStPpd) != 0 ? kResetPresence : kResetNoPresence;
}

int Ds2482Link::touch_bit(int bit) {
  int taken = 0;
  const auto lock = take_chip(taken);
  if (taken != 1) return taken;
  if (const int r = command({kCmdSingleBit, static_cast<std::uint8_t>(bit != 0 ? 0x80 : 0x00)}); r != 1) return r;
  std::uint8_t status = 0;
  if (const int r = wait_idle(1, status); r != 1) return r;
  const int line = (status & kStSbr) != 0 ? 1 : 0;
  // The line cannot read high in a slot the master held low.
  if (bit == 0 && line != 0) return kErrAdapterNoResponse;
  return line;
}

// A byte of reads is the chip's Read Byte; any other goes out by Write
// Byte, whose slots the chip samples into the data register as well (the
// read-back OWFS relies on for every byte).
int Ds2482Link::touch_byte(int byte) {
  int r = 0;
  const auto lock = take_chip(r);
  return r != 1 ? r : do_touch_byte(byte);
}

int Ds2482Link::do_touch_byte(int byte) {
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  const int sent = value == 0xFF ? command({kCmdReadByte}) : command({kCmdWriteByte, value});
  if (sent != 1) return sent;
  return read_back(value);
}

// A line cannot read high in a slot the master held low.
int Ds2482Link::read_back(std::uint8_t sent) {
  std::uint8_t status = 0;
  if (const int r = wait_idle(8, status); r != 1) return r;
  std::uint8_t in = 0;
  if (const int r = read_register(kPtrData, in); r != 1) return r;
  if ((in & ~sent) != 0) return kErrAdapterNoResponse;
  return in;
}

int Ds2482Link::write_only(std::uint8_t byte) {
  if (const int r = command({kCmdWriteByte, byte}); r != 1) return r;
  std::uint8_t status = 0;
  return wait_idle(8, status);
}

int Ds2482Link::touch_byte_pullup(int byte) {
  int taken = 0;
  const auto lock = take_chip(taken);
  if (taken != 1) return taken;
  const auto value = static_cast<std::uint8_t>(byte & 0xFF);
  // SPU right before the byte: the chip turns the pull-up on at the end
  // of its last slot and keeps it through the status and data reads.
  if (const int r = write_config(static_cast<std::uint8_t>(config_ | kCfgSpu)); r != 1) return r;
  if (const int r = command({kCmdWriteByte, value}); r != 1) return r;
  // The other channels keep off the chip until the pull-up ends.
  pullup_ = true;
  chip_->pullup_owner = this;
  return read_back(value);
}

int Ds2482Link::end_strong_pullup() {
  std::lock_guard lock(chip_->mutex);
  if (!pullup_) return 1;
  const int r = is_open() ? write_config(config_) : kErrPortIo;
  // Even when the write failed: the next link's configuration write ends
  // the SPU left on.
  drop_pullup();
  return r;
}

int Ds2482Link::search(SearchPass& pass) {
  int taken = 0;
  const auto lock = take_chip(taken);
  if (taken != 1) return taken;
  if (const int r = reset_before_transaction(); r != 1) return r;
  if (const int r = write_only(pass.alarm_only ? kAlarmSearch : kSearchRom); r != 1) return r;
  SearchWalk walk;
  for (int i = 1; i <= 64; ++i) {
    // The chip takes this branch only where the devices disagree.
    const bool one = search_branch(pass, i) != 0;
    if (const int r = command({kCmdTriplet, static_cast<std::uint8_t>(one ? 0x80 : 0x00)}); r != 1) return r;
    std::uint8_t status = 0;
    if (const int r = wait_idle(3, status); r != 1) return r;
    const bool id = (status & kStSbr) != 0;
    const bool cmp = (status & kStTsb) != 0;
    if (id && cmp) return 0;
    walk.take(i, (status & kStDir) != 0 ? 1 : 0, !id && !cmp);
  }
  walk.finish(pass);
  return 1;
}

int Ds2482Link::block(const Rom* rom, bool reset_first, std::uint8_t* data, std::size_t n) {
  int taken = 0;
  const auto lock = take_chip(taken);
  if (taken != 1) return taken;
  if (rom != nullptr || reset_first) {
    if (const int r = reset_before_transaction(); r != 1) return r;
  }
  if (rom != nullptr) {
    if (const int r = write_only(kMatchRom); r != 1) return r;
    for (std::uint8_t b : *rom)
      if (const int r = write_only(b); r != 1) return r;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const int r = do_touch_byte(data[i]);
    if (r < 0) return r;
    data[i] = static_cast<std::uint8_t>(r);
  }
  return 1;
}

int Ds2482Link::set_speed(Speed speed) {
  int taken = 0;
  const auto lock = take_chip(taken);
  if (taken != 1) return taken;
  if (speed == Speed::kRelaxed) return kErrSpeed;
  auto bits = static_cast<std::uint8_t>(config_ & ~kCfg1ws);
  if (speed == Speed::kOverdrive) bits = static_cast<std::uint8_t>(bits | kCfg1ws);
  if (const int r = write_config(bits); r != 1) return r;
  return static_cast<int>(speed);
}

std::unique_ptr<Link> make_ds2482_link(const std::string& port_text, std::unique_ptr<I2cBus> bus, std::int16_t& error,
                                       Ds2482Options options) {
  const auto chip = parse_chip_address(port_text);
  if (!chip) {
    error = kErrPortUnavailable;
    return nullptr;
  }
  if (!bus) bus = i2c::make_i2c_bus(chip->device);
  if (!bus) {
    error = kErrAdapterType;
    return nullptr;
  }
  return std::make_unique<Ds2482Link>(std::move(bus), *chip, options);
}

std::vector<std::uint8_t> answering_addresses(I2cBus& bus) {
  std::vector<std::uint8_t> found;
  for (int a = kFirstAddress; a <= kLastAddress; ++a) {
    std::uint8_t value = 0;
    if (bus.read(static_cast<std::uint8_t>(a), &value, 1) == kI2cOk) found.push_back(static_cast<std::uint8_t>(a));
  }
  return found;
}

}  // namespace onewire::ds2482
