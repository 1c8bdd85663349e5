// The buses a server answers from, and how requests share their work:
// reads of temperatures that arrive within one poll window share one
// bus-wide conversion (twenty sensors polled at once cost one conversion
// and twenty scratchpad reads), listings and device look-ups share one
// search, and the settings each EEPROM holds are read once and then known.
//
// Every call is made on the server's event loop, and every callback runs
// there (the engine's completions are posted to it): the hub's state has
// one thread. The buses themselves work on their own threads, each with
// its own queue.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qvds/bus.hpp"

namespace qvtool::owserver {

using SteadyClock = std::chrono::steady_clock;

// What a request may do with a result: a value, or a result code (a
// positive errno value, negated on the wire).
template <typename T>
struct Answer {
  std::optional<T> value;
  int error = 0;
  std::string why;  // for the log: what failed
  static Answer fail(int code, std::string why = {}) {
    Answer a;
    a.error = code;
    a.why = std::move(why);
    return a;
  }
  static Answer of(T v) {
    Answer a;
    a.value = std::move(v);
    return a;
  }
  bool ok() const { return value.has_value(); }
};

template <typename T>
using Reply = std::function<void(Answer<T>)>;

// A device and the bus it is on.
struct Located {
  int bus = 0;
  qvds::Device device;
};

struct HubOptions {
  // Reads of the cached paths take a conversion that started at most this
  // long before they came; /uncached/ reads take one that started after.
  std::chrono::milliseconds poll_window{2000};
  // Listings take a search at most this old; /uncached/ ones a new one.
  std::chrono::milliseconds listing_fresh{10000};
  // A device not in the last search is looked for again, in a search at
  // most this old.
  std::chrono::milliseconds lookup_fresh{2000};
  // How long any one call of the engine may take, queue included.
  std::chrono::milliseconds call_timeout{30000};
  // A conversion is started this long after the first read that needs it,
  // so that the reads that come with it (a poll of every sensor at once,
  // /uncached/ ones too) take part in it.
  std::chrono::milliseconds gather{50};
};

// The result code a failed engine call stands for, and one for a reading
// that carries no temperature.
int error_of(const qvds::Failure& failure);
int error_of(qvds::ReadStatus status);

class BusHub {
 public:
  using Post = std::function<void(std::function<void()>)>;
  using PostAfter = std::function<void(std::chrono::milliseconds, std::function<void()>)>;

  // `buses` stay open while the hub lives; `post` runs a function on the
  // event loop (from any thread), `post_after` there after a while.
  BusHub(std::vector<qvds::Bus*> buses, Post post, PostAfter post_after, HubOptions options = {});
  ~BusHub();
  BusHub(const BusHub&) = delete;
  BusHub& operator=(const BusHub&) = delete;

  int bus_count() const;
  const HubOptions& options() const;

  // The devices of one bus (or of all, in bus order), from a search that
  // began no earlier than `not_before`.
  void devices(std::optional<int> bus, SteadyClock::time_point not_before, Reply<std::vector<Located>> reply);
  // Where a device is: known from the last search, or looked for anew.
  // kErrNoEntry when it is on no bus (of `bus`, when given).
  void locate(const qvds::Rom& rom, std::optional<int> bus, bool fresh, Reply<Located> reply);

  // A temperature from a conversion that began no earlier than
  // `not_before`: at `bits` of resolution (the sensor is set to it in
  // RAM first when it holds another), or with `bits` 0 at the resolution
  // its EEPROM gives it. A reading that is not a measurement is an error.
  void temperature(const Located& where, int bits, SteadyClock::time_point not_before, Reply<qvds::Reading> reply);
  // The scratchpad as it stands, judged.
  void latest(const Located& where, Reply<qvds::Reading> reply);
  // The sensor's settings (its power supply among them).
  void settings(const Located& where, Reply<qvds::SensorSettings> reply);
  // What its EEPROM holds: read once, then known (this server is the
  // only one who writes it), unless `fresh`.
  void stored(const Located& where, bool fresh, Reply<qvds::StoredSettings> reply);
  // Writes one setting to the scratchpad and the EEPROM (only when it
  // differs there): the others keep their EEPROM values.
  void write_stored(const Located& where, const qvds::SettingsChange& change, Reply<qvds::StoredSettings> reply);

  // One conversion on a bus (or on every bus), begun after this call.
  void convert(std::optional<int> bus, Reply<bool> reply);
  // Whether a conversion began on the bus within the poll window.
  bool converted_recently(std::optional<int> bus) const;
  // The devices whose last conversion put them at or beyond a threshold:
  // one conversion, then ALARM SEARCH.
  void alarms(std::optional<int> bus, Reply<std::vector<Located>> reply);

  // Conversions and searches made so far, for tests and statistics.
  std::size_t conversions() const;
  std::size_t searches() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qvtool::owserver
