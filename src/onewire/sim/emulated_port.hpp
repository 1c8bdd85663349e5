// A serial port whose far end is an adapter emulator in the same
// process: what the host writes reaches the emulator at once, with the
// times its characters would arrive at on the line, and each answer can
// be read once its serial character and the 1-Wire activity before it
// would be through (on rtl::Clock). With no other thread involved, an
// answer that is not due before a read's timeout will not come in it;
// the read waits out its timeout on rtl::Clock, so a test with a
// skipping clock runs timeouts and answer times in no time.
//
// Faults for tests: answers dropped, changed or made up, an adapter that
// falls silent, a device node that vanishes. Rates are modelled: a byte
// sent at a rate other than the adapter's is lost, and so is an answer the
// adapter sends at a rate the host is not listening at.
//
// A USB serial bridge can be modelled: the adapter's answers then take
// their serial character and 1-Wire times, wait in the bridge, and reach
// the host only on the ticks of its latency timer (or at once when a full
// USB packet has gathered). Bridge time runs on rtl::Clock, so a test with
// a skipping clock runs ticks in no time.
//
// Not thread-safe: one host thread uses the port (faults are set between
// its calls).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "onewire/serial/transport.hpp"
#include "onewire/sim/adapter_emulator.hpp"

namespace onewire::sim {

class EmulatedPort final : public serial::Transport {
 public:
  explicit EmulatedPort(std::shared_ptr<AdapterEmulator> adapter);
  ~EmulatedPort() override;

  int open() override;
  void close() override;
  bool is_open() const override { return open_; }
  int set_baud(int baud) override;
  int baud() const override { return baud_; }
  int send_break(rtl::Duration length) override;
  int write(const std::uint8_t* data, std::size_t n) override;
  int read(std::uint8_t* data, std::size_t n, rtl::Duration timeout) override;
  int flush_input() override;

  const std::shared_ptr<AdapterEmulator>& adapter() const { return adapter_; }

  // --- faults ---
  // The n-th answer byte from now (1 = the next) is lost.
  void drop_answer(int nth);
  // The n-th answer byte from now is XORed with `mask`.
  void corrupt_answer(int nth, std::uint8_t mask);
  // Bytes that arrive before the next answer, as line noise would.
  void inject(std::vector<std::uint8_t> bytes);
  // The adapter hears nothing and answers nothing.
  void set_silent(bool silent);
  // Like a pseudo-terminal: breaks are not sent (send_break answers 0).
  void set_break_supported(bool supported);
  // An answer sent at a rate the host is not listening at arrives as one
  // framing-error byte (0x00) instead of being lost.
  void set_wrong_rate_noise(bool noise);
  // A USB bridge with this latency timer between adapter and host (0: the
  // adapter is wired straight to the host, and each answer is there once
  // it has been sent).
  void set_bridge_latency(rtl::Duration period);
  // The device node is gone: the next call fails with kErrPortIo (and
  // leaves the port closed), and the port cannot be opened until it is
  // back.
  void set_vanished(bool vanished);

  // --- observation ---
  const std::vector<std::uint8_t>& written() const { return written_; }
  void clear_written() { written_.clear(); }
  std::uint64_t writes() const { return writes_; }
  std::uint64_t breaks() const { return breaks_; }
  std::uint64_t opens() const { return opens_; }

  // Bytes of a full USB packet of the bridge.
  static constexpr std::size_t kBridgePacket = 62;

 private:
  int gone();
  void answer(std::uint8_t a, rtl::TimePoint ready);
  // Moves what the bridge has handed over by `now` to the host's queue.
  void collect(rtl::TimePoint now);
  // When the bridge hands over the packet at the front, and how many
  // bytes it holds.
  std::pair<rtl::TimePoint, std::size_t> next_packet() const;

  std::shared_ptr<AdapterEmulator> adapter_;
  std::deque<std::uint8_t> pending_;
  std::deque<std::pair<rtl::TimePoint, std::uint8_t>> bridge_;
  rtl::Duration latency_{0};
  rtl::TimePoint origin_{};
  rtl::TimePoint rx_done_{};
  rtl::TimePoint op_done_{};
  rtl::TimePoint tx_done_{};
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint8_t> written_;
  std::vector<std::pair<std::uint64_t, std::uint8_t>> corruptions_;  // answer number, mask (0 = drop)
  std::uint64_t answers_ = 0;
  std::uint64_t writes_ = 0;
  std::uint64_t breaks_ = 0;
  std::uint64_t opens_ = 0;
  int baud_ = serial::kBaud9600;
  bool open_ = false;
  bool silent_ = false;
  bool break_supported_ = true;
  bool vanished_ = false;
  bool wrong_rate_noise_ = false;
};

}  // namespace onewire::sim
