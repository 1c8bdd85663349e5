// A 1-Wire bus master as the driver sees it: reset, time slots, bytes,
// search passes and selection. Implemented by the simulated bus (sim/),
// the passive serial adapter (passive/), the DS2480B (ds2480b/) and the
// DS2490 USB adapter (ds2490/). Every call is made by one thread at a
// time (the driver serialises a session's calls).
//
// Results: a value >= 0 is the answer; a negative value is one of the
// driver result codes of errors.hpp.
#pragma once

#include "qvds18x20/export.hpp"

#include <array>
#include <cstdint>

namespace onewire {

using Rom = std::array<std::uint8_t, 8>;

enum class Speed : std::uint8_t { kNormal = 0, kOverdrive = 1, kRelaxed = 2 };

// Outcome of a reset pulse.
enum ResetResult : int {
  kResetNoPresence = 0,
  kResetPresence = 1,
  kResetAlarmPresence = 2,
  kResetShort = 3,
};

// One pass of the ROM search. The caller fills `rom` (ROM_NO of the
// previous pass), `last_discrepancy` and `alarm_only`; the pass writes the
// ROM it walked into `rom`, the 1-based bit index of the last 0-branch
// taken at a discrepancy into `last_zero` (0 when none), and the same for
// the family byte (bits 1..8) into `last_family_zero`.
//
// `expected`, when set, is the ROM the pass should walk (a walk of the
// bus repeated to check the one before it). A link may send the pass's
// slots ahead on that guess, and on the known path up to the last
// discrepancy; what it reports is always what the bus answered, exactly
// as a pass that waited for every bit would have.
struct QVDS_API SearchPass {
  Rom rom{};
  int last_discrepancy = 0;
  bool alarm_only = false;
  int last_zero = 0;
  int last_family_zero = 0;
  bool has_expected = false;
  Rom expected{};
};

// Bit n (1..64, bus order: byte 0 least significant bit first) of a ROM.
QVDS_API int rom_bit(const Rom& rom, int n);

// The order in which a search finds devices: the first differing bit in
// bus order decides, and the ROM with the 0 there comes first.
QVDS_API bool search_order_less(const Rom& a, const Rom& b);

// The branch a pass takes at `bit` (1..64) where the devices disagree:
// the previous ROM's below the last discrepancy, the other one (1) at it,
// 0 beyond, so that each pass finds the next device in search order.
QVDS_API int search_branch(const SearchPass& pass, int bit);

// What a link has walked of one search pass (AN187): the ROM bits taken
// and the last 0-branches. It reaches the caller's pass only once all 64
// bits are walked, so a pass cut short leaves the caller's as it was.
struct QVDS_API SearchWalk {
  Rom rom{};
  int last_zero = 0;
  int last_family_zero = 0;

  // Bit `bit` walked in `direction`; a 0 taken at a discrepancy is the
  // last 0-branch so far (and, within the family byte, the family's).
  void take(int bit, int direction, bool discrepancy);
  // Takes the direction the two read slots of `bit` lead to and returns
  // it, or -1 (nothing taken) when no device answered either.
  int step(const SearchPass& pass, int bit, int id_bit, int cmp_bit);
  // The walked ROM and its 0-branches, into the caller's pass.
  void finish(SearchPass& pass) const;
};

class QVDS_API Link {
 public:
  virtual ~Link() = default;

  // Opens the adapter (port, detection, initialisation). 1 on success.
  virtual int open() = 0;
  // Releases the port; open() may be called again later.
  virtual void close() = 0;
  virtual bool is_open() const = 0;

  // A reset pulse: one of ResetResult, or a negative error code.
  virtual int reset() = 0;
  // One time slot writing `bit` (a 1 is also a read slot): the bus level
  // sampled (0 or 1), or a negative error code.
  virtual int touch_bit(int bit) = 0;
  // Eight slots, least significant bit first: the byte read back (0..255),
  // or a negative error code.
  virtual int touch_byte(int byte);
  // One search pass (reset, F0 or EC, 64 triplets). 1 when a device
  // answered all 64 bits, 0 when there was no presence or no device
  // took part, negative on an error. The ROM CRC is not checked here.
  virtual int search(SearchPass& pass);
  // Selects one device: reset, MATCH ROM and the ROM. 1 when selected, 0
  // when no device answered the reset, negative on an error (kErrBusShort
  // for a shorted line). By default one block(); adapters with a
  // selection command of their own (the DS2490's) use it instead.
  virtual int match(const Rom& rom);
  // Sets the bus speed; returns the speed now in effect (its ordinal) or a
  // negative error code.
  virtual int set_speed(Speed speed) = 0;

  // Touches `n` bytes in place: each is written (a 0xFF reads) and
  // replaced by what the bus gave back. Preceded by a reset when `reset`
  // is set, or by a reset and MATCH ROM of `*rom` when `rom` is given.
  // 1 when every byte went out, 0 when the reset found no presence
  // (nothing sent after it), kErrBusShort on a shorted line, or a
  // negative error code. Adapters put all of it into as few exchanges as
  // their protocol allows, because each exchange costs a serial round
  // trip.
  virtual int block(const Rom* rom, bool reset, std::uint8_t* data, std::size_t n);

  // --- strong pull-up, for parasite-powered devices ---
  // Whether touch_byte_pullup can hold the bus at the strong pull-up.
  virtual bool can_strong_pullup() const { return false; }
  // Touches one byte like touch_byte and then holds the bus at the strong
  // pull-up (the supply, through a low impedance) until end_strong_pullup()
  // or the link's next operation, which ends it first: a parasite-powered
  // device draws its conversion current from it. The byte read back, or a
  // negative error code; kErrNotOffered, with nothing sent, where the
  // adapter has no strong pull-up. No lock stays held meanwhile: the call
  // that ends it may come from another thread than this one.
  virtual int touch_byte_pullup(int byte);
  // Ends a strong pull-up (nothing when none is on): 1, or a negative
  // error code.
  virtual int end_strong_pullup() { return 1; }

  // The serial rate the adapter runs at, or 0 when it has none.
  virtual int serial_baud() const { return 0; }

  // What this kind of adapter is, in words ("DS2480B serial 1-Wire adapter
  // (DS9097U)"). The driver's version text (TMGetTypeVersion) is the
  // driver's own, not made of these.
  virtual const char* name() const = 0;

 protected:
  // The reset that opens a search or a block: 1 when devices answered it,
  // 0 when none did, kErrBusShort for a shorted line (it reads 0 in every
  // slot, which would walk a phantom ROM), or the reset's error code.
  int reset_before_transaction();
};

}  // namespace onewire
