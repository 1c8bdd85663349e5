#include "onewire/sim/sim_driver.hpp"

#include <array>
#include <atomic>

#include "onewire/errors.hpp"
#include "onewire/sim/sim_link.hpp"

namespace onewire::sim {

struct SimDriver::State {
  mutable std::mutex mu;
  std::map<int, std::shared_ptr<SimBus>> buses;

  struct Fault {
    Op op;
    std::uint64_t at_call;  // absolute call number of `op`
    std::int32_t code;
  };
  struct Action {
    Op op;
    std::uint64_t at_call;
    std::function<void()> fn;
  };
  std::vector<Fault> faults;
  std::vector<Action> actions;
  std::map<Op, std::int32_t> always;
  std::vector<std::pair<std::uint64_t, std::uint8_t>> corruptions;  // byte number, mask
  std::uint64_t bytes_read = 0;
  bool refuse_speed = false;
  bool fail_version = false;
  bool offer_block = true;
  std::array<std::uint64_t, kOpCount> counts{};
  bool logging = false;
  std::vector<Call> log;
};

SimDriver::SimDriver()
    : BusDriver(
          [this](int port, int, std::int16_t& error) -> std::unique_ptr<Link> {
            auto b = bus(port);
            if (!b) {
              error = kErrPortUnavailable;
              return nullptr;
            }
            return std::make_unique<SimLink>(std::move(b));
          },
          "Simulated 1-Wire driver (qvds18x20)", [](int) { return true; }),
      state_(std::make_shared<State>()) {}

SimDriver::~SimDriver() = default;

void SimDriver::attach(int port, std::shared_ptr<SimBus> bus) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->buses[port] = std::move(bus);
}

std::shared_ptr<SimBus> SimDriver::bus(int port) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  auto it = state_->buses.find(port);
  return it == state_->buses.end() ? nullptr : it->second;
}

void SimDriver::fail(Op op, int nth, std::int32_t code) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->faults.push_back({op, state_->counts[static_cast<std::size_t>(op)] + static_cast<std::uint64_t>(nth), code});
}

void SimDriver::fail_always(Op op, std::int32_t code) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->always[op] = code;
}

void SimDriver::at(Op op, int nth, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->actions.push_back(
      {op, state_->counts[static_cast<std::size_t>(op)] + static_cast<std::uint64_t>(nth), std::move(action)});
}

void SimDriver::corrupt_byte(int nth, std::uint8_t mask) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->corruptions.emplace_back(state_->bytes_read + static_cast<std::uint64_t>(nth), mask);
}

void SimDriver::refuse_speed(bool refuse) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->refuse_speed = refuse;
}

void SimDriver::fail_version(bool fail) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->fail_version = fail;
}

void SimDriver::clear_faults() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->faults.clear();
  state_->actions.clear();
  state_->always.clear();
  state_->corruptions.clear();
  state_->refuse_speed = false;
  state_->fail_version = false;
}

std::uint64_t SimDriver::calls(Op op) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->counts[static_cast<std::size_t>(op)];
}

void SimDriver::set_logging(bool on) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->logging = on;
}

std::vector<SimDriver::Call> SimDriver::log() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->log;
}

void SimDriver::clear_log() {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->log.clear();
}

void SimDriver::offer_block_exchange(bool offer) {
  std::lock_guard<std::mutex> lock(state_->mu);
  state_->offer_block = offer;
}

bool SimDriver::offers_block_exchange() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->offer_block;
}

std::int16_t SimDriver::QvBlockExchange(std::int32_t session, void* state, std::int16_t mode, std::uint8_t* buffer,
                                        std::int16_t length) {
  if (!offers_block_exchange()) return kErrNotOffered;
  return BusDriver::QvBlockExchange(session, state, mode, buffer, length);
}

bool SimDriver::intercept(Op op, std::int32_t session, std::int32_t& result) {
  std::vector<std::function<void()>> due;
  bool replaced = false;
  {
    std::lock_guard<std::mutex> lock(state_->mu);
    const std::uint64_t n = ++state_->counts[static_cast<std::size_t>(op)];
    if (state_->logging) state_->log.push_back({op, session});
    for (auto it = state_->actions.begin(); it != state_->actions.end();) {
      if (it->op == op && it->at_call == n) {
        due.push_back(std::move(it->fn));
        it = state_->actions.erase(it);
      } else {
        ++it;
      }
    }
    if (auto a = state_->always.find(op); a != state_->always.end()) {
      result = a->second;
      replaced = true;
    }
    for (auto it = state_->faults.begin(); it != state_->faults.end(); ++it) {
      if (it->op == op && it->at_call == n) {
        result = it->code;
        replaced = true;
        state_->faults.erase(it);
        break;
      }
    }
    if (!replaced && op == Op::kGetTypeVersion && state_->fail_version) {
      result = kErrAdapterType;
      replaced = true;
    }
  }
  // Outside the lock: an action may change the bus or inject more faults.
  for (auto& fn : due) fn();
  if (!replaced && op == Op::kOneWireCom) {
    bool refuse = false;
    {
      std::lock_guard<std::mutex> lock(state_->mu);
      refuse = state_->refuse_speed;
    }
    if (refuse) {
      // Answer a speed that no caller asks for at once.
      result = static_cast<std::int32_t>(Speed::kOverdrive);
      replaced = true;
    }
  }
  return replaced;
}

std::int16_t SimDriver::filter_touch_byte(std::int16_t result) {
  std::lock_guard<std::mutex> lock(state_->mu);
  const std::uint64_t n = ++state_->bytes_read;
  for (auto it = state_->corruptions.begin(); it != state_->corruptions.end(); ++it) {
    if (it->first == n) {
      result = static_cast<std::int16_t>((result ^ it->second) & 0xFF);
      state_->corruptions.erase(it);
      break;
    }
  }
  return result;
}

}  // namespace onewire::sim
