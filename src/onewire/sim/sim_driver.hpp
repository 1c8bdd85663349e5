// The simulated driver: our driver over simulated buses, one per port
// number, with fault injection for tests. Every adapter type answers
// (unless told otherwise), so components with any AdapterType work on it.
//
//   auto bus = std::make_shared<onewire::sim::SimBus>();
//   bus->add(std::make_shared<onewire::sim::Ds18x20>(onewire::sim::make_rom(0x28, 1), 21.5));
//   auto driver = std::make_shared<onewire::sim::SimDriver>();
//   driver->attach(1, bus);                 // COM1
//   onewire::InstallDriver(driver);
#pragma once

#include "qvds18x20/export.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/driver.hpp"
#include "onewire/sim/bus.hpp"

namespace onewire::sim {

class QVDS_API SimDriver : public BusDriver {
 public:
  SimDriver();
  ~SimDriver() override;

  // Serves `bus` on port number `port`; a port without a bus cannot be
  // opened (kErrPortUnavailable).
  void attach(int port, std::shared_ptr<SimBus> bus);
  std::shared_ptr<SimBus> bus(int port) const;

  // --- fault injection (thread-safe; counts start when the fault is set) ---
  // The n-th call of `op` from now (1 = the next) does nothing and answers
  // `code`.
  void fail(Op op, int nth, std::int32_t code);
  // Every call of `op` answers `code` until cleared.
  void fail_always(Op op, std::int32_t code);
  // Runs `action` just before the n-th call of `op` from now (a device
  // leaving or joining the bus at a chosen moment).
  void at(Op op, int nth, std::function<void()> action);
  // The n-th byte that TMTouchByte reads back from now is XORed with
  // `mask`: a bit error on the line.
  void corrupt_byte(int nth, std::uint8_t mask);
  // TMOneWireCom answers a speed other than the one asked for.
  void refuse_speed(bool refuse);
  // TMGetTypeVersion fails.
  void fail_version(bool fail);
  // Drops every fault, action and corruption.
  void clear_faults();
  // Whether the block exchange is offered (it is unless turned off here),
  // so that callers can be tried on both of their paths.
  void offer_block_exchange(bool offer);
  bool offers_block_exchange() const override;
  std::int16_t QvBlockExchange(std::int32_t session, void* state, std::int16_t mode, std::uint8_t* buffer,
                               std::int16_t length) override;

  // --- observation ---
  std::uint64_t calls(Op op) const;
  // Operations in the order they were called, with their session handles;
  // kept while logging is on.
  struct Call {
    Op op;
    std::int32_t session;
  };
  void set_logging(bool on);
  std::vector<Call> log() const;
  void clear_log();

 protected:
  bool intercept(Op op, std::int32_t session, std::int32_t& result) override;
  std::int16_t filter_touch_byte(std::int16_t result) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace onewire::sim
