// A virtual serial 1-Wire adapter: a pseudo-terminal whose far end is an
// adapter emulator over a simulated bus, served by a thread. Any program
// that talks to a DS2480B or a passive adapter on a serial port can open
// path() (or the symbolic link asked for) and meet the simulated devices.
//
// A pseudo-terminal carries no baud rate and no break, so the emulator
// learns them from the protocol (see adapter_emulator.hpp), and the last
// program that has the port open closing it counts as the adapter losing
// its power (its supply comes from the modem lines), so every run of a
// host program meets a freshly powered adapter, and a program that opens
// the port beside a running host (`stty -F`) leaves the adapter alone.
//
// With pacing, each answer leaves when a real adapter's would: after the
// host's characters at the adapter's current rate, the 1-Wire time of
// what they did, and the answer's own character time, with reception,
// bus activity and sending overlapping as they do in the chip.
//
// With a bridge latency, the adapter sits behind a USB serial bridge as
// most real ones do: answers reach the host only on the ticks of the
// bridge's latency timer (16 ms by default on FTDI bridges, 1 ms in their
// low-latency mode), or at once when a full USB packet of 62 bytes has
// gathered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "onewire/sim/adapter_emulator.hpp"
#include "onewire/sim/bus.hpp"

namespace onewire::sim {

struct VirtualAdapterOptions {
  AdapterKind kind = AdapterKind::kDs2480b;
  // A symbolic link made to the pseudo-terminal (and removed at stop), or
  // empty for none. An existing symbolic link there is replaced; any
  // other file there makes start() fail.
  std::string link_path;
  // Answers wait on this clock for their real-adapter time; null answers
  // at once.
  rtl::Clock* pacing = nullptr;
  // The bridge's latency timer; 0 for an adapter wired to the host.
  // Ticks run on the pacing clock, or on the real clock without one.
  rtl::Duration bridge_latency{0};
};

struct VirtualAdapterStats {
  std::uint64_t bytes_in = 0;
  std::uint64_t bytes_out = 0;
  // Host writes that were answered: one request and its answers each.
  std::uint64_t round_trips = 0;
  // Last closes of the port (each one powered the adapter off and on).
  std::uint64_t power_cycles = 0;
  // Times a real adapter would have spent receiving, working on the bus
  // and answering, overlapping requests counted once.
  rtl::Duration modelled{0};
  // How long finished answers waited in the bridge for its timer.
  rtl::Duration bridge_wait{0};
};

class VirtualAdapter {
 public:
  explicit VirtualAdapter(std::shared_ptr<SimBus> bus, VirtualAdapterOptions options = {});
  ~VirtualAdapter();
  VirtualAdapter(const VirtualAdapter&) = delete;
  VirtualAdapter& operator=(const VirtualAdapter&) = delete;

  // Opens the pseudo-terminal and starts serving: 1, or
  // kErrPortUnavailable when no pseudo-terminal (or link) could be made.
  int start();
  // Stops serving and closes the pseudo-terminal; hosts that still have it
  // open see it hang up.
  void stop();
  bool running() const;

  // The pseudo-terminal's device path (valid after start()).
  const std::string& path() const;
  VirtualAdapterStats stats() const;
  void reset_stats();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace onewire::sim
