#include "qvds18x20/owserver/bus_hub.hpp"

#include <algorithm>

#include "onewire/ds18x20/family.hpp"
#include "qvds18x20/owserver/wire.hpp"

namespace qvtool::owserver {
namespace {

namespace rules = onewire::ds18x20;
using TimePoint = SteadyClock::time_point;

// A reading asked for: of one sensor, at a resolution (0: as it is), from
// a conversion posted no earlier than `not_before`.
struct Waiter {
  qvds::Rom rom{};
  int bits = 0;
  TimePoint not_before{};
  int changes = 0;  // times its resolution was set for it
  Reply<qvds::Reading> reply;
};

struct ConvertWaiter {
  TimePoint not_before{};
  std::function<void(int error, const std::string& why)> done;
};

struct SearchWaiter {
  TimePoint not_before{};
  std::function<void(int error, const std::string& why)> done;
};

// The resolution a scratchpad's configuration byte holds, when the part
// has one and the bytes came back.
std::optional<int> resolution_in(const qvds::Reading& r) {
  if (!rules::has_resolution(r.rom[0])) return std::nullopt;
  if (r.ok()) return r.resolution;
  if (r.has_scratchpad && r.status != qvds::ReadStatus::kCrcError && r.status != qvds::ReadStatus::kLineLow)
    return rules::resolution_of(r.scratchpad[4]);
  return std::nullopt;
}

}  // namespace

int error_of(const qvds::Failure& failure) {
  using qvds::Errc;
  const std::error_code c = failure.code;
  if (c == Errc::kNotOnBus || c == Errc::kNoDevices) return kErrNoEntry;
  if (c == Errc::kBadArgument) return kErrInvalid;
  if (c == Errc::kNotOffered || c == Errc::kNotSupported || c == Errc::kNotThermometer) return kErrNotSupported;
  if (c == Errc::kTimedOut) return kErrTimedOut;
  return kErrIo;
}

int error_of(qvds::ReadStatus status) {
  switch (status) {
    case qvds::ReadStatus::kNotSelected: return kErrNoEntry;
    case qvds::ReadStatus::kCrcError: return kErrInvalid;  // as OWFS says of a spoiled scratchpad
    case qvds::ReadStatus::kNoThermometer: return kErrNotSupported;
    default: return kErrIo;
  }
}

struct BusHub::State : std::enable_shared_from_this<BusHub::State> {
  struct Lane {
    qvds::Bus* bus = nullptr;
    int index = 0;
    // The last search, and the one under way.
    std::vector<qvds::Device> devices;
    bool searched = false;
    TimePoint search_posted{};
    bool search_running = false;
    TimePoint search_running_posted{};
    std::vector<SearchWaiter> search_waiters;
    // The last measurement, and the one under way.
    std::optional<qvds::Measurement> last;
    TimePoint last_posted{};
    bool measure_running = false;
    TimePoint measure_running_posted{};
    int alarm_searches = 0;  // alarm searches under way (each converts)
    std::vector<Waiter> waiters;
    std::vector<ConvertWaiter> convert_waiters;
    // What each sensor's RAM and EEPROM hold, as far as known.
    std::map<qvds::Rom, int> ram_resolution;
    std::map<qvds::Rom, qvds::StoredSettings> stored;
    std::map<qvds::Rom, std::vector<Reply<qvds::StoredSettings>>> stored_pending;
  };

  std::vector<Lane> lanes;
  Post post;
  PostAfter post_after;
  HubOptions options;
  std::size_t conversions = 0;
  std::size_t searches = 0;

  qvds::CallOptions call() const {
    qvds::CallOptions c;
    c.timeout = options.call_timeout;
    return c;
  }

  // A completion of the engine, brought to the event loop.
  template <typename T, typename F>
  qvds::Completion<T> on_loop(F f) {
    std::weak_ptr<State> weak = weak_from_this();
    Post p = post;
    return [weak, p, f = std::move(f)](qvds::Result<T> r) mutable {
      // The result travels on the heap and is handed on by reference:
      // GCC 12 takes a variant moved into a capture or a parameter for
      // uninitialised (-Wmaybe-uninitialized) when it optimises.
      auto result = std::make_shared<qvds::Result<T>>(std::move(r));
      p([weak, f = std::move(f), result]() mutable {
        if (auto self = weak.lock()) f(*self, *result);
      });
    };
  }

  std::vector<int> scope(std::optional<int> bus) const {
    std::vector<int> out;
    for (const Lane& l : lanes)
      if (!bus || *bus == l.index) out.push_back(l.index);
    return out;
  }

  // --- searches ---
  void search(int i, TimePoint not_before, std::function<void(int, const std::string&)> done) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    if (lane.searched && lane.search_posted >= not_before) {
      done(0, {});
      return;
    }
    lane.search_waiters.push_back({not_before, std::move(done)});
    if (!lane.search_running) start_search(i);
  }

  void start_search(int i) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    lane.search_running = true;
    lane.search_running_posted = SteadyClock::now();
    ++searches;
    lane.bus->search_async(on_loop<std::vector<qvds::Device>>([i](State& s, qvds::Result<std::vector<qvds::Device>>& r) {
                             s.searched(i, r);
                           }),
                           call());
  }

  void searched(int i, qvds::Result<std::vector<qvds::Device>>& r) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    const TimePoint posted = lane.search_running_posted;
    lane.search_running = false;
    int error = 0;
    std::string why;
    if (r.ok()) {
      lane.devices = std::move(*r);
    } else if (r.error() == qvds::Errc::kNoDevices) {
      lane.devices.clear();  // an empty bus lists nothing
    } else {
      error = error_of(r.failure());
      why = r.message();
    }
    if (error == 0) {
      lane.searched = true;
      lane.search_posted = posted;
    }
    std::vector<SearchWaiter> now;
    std::vector<SearchWaiter> later;
    for (auto& w : lane.search_waiters) (w.not_before <= posted ? now : later).push_back(std::move(w));
    lane.search_waiters = std::move(later);
    if (!lane.search_waiters.empty()) start_search(i);
    for (auto& w : now) w.done(error, why);
  }

  // --- measurements ---
  void wait_reading(int i, Waiter w) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    if (lane.last && lane.last_posted >= w.not_before && settle(i, w, *lane.last)) return;
    lane.waiters.push_back(std::move(w));
    if (!lane.measure_running) start_measure(i);
  }

  void start_measure(int i) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    lane.measure_running = true;
    if (options.gather.count() > 0 && post_after) {
      // The reads that come meanwhile arrive before the conversion is
      // asked for: it serves them too.
      std::weak_ptr<State> weak = weak_from_this();
      post_after(options.gather, [weak, i] {
        if (auto self = weak.lock()) self->measure_now(i);
      });
      return;
    }
    measure_now(i);
  }

  void measure_now(int i) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    lane.measure_running_posted = SteadyClock::now();
    ++conversions;
    lane.bus->measure_async(on_loop<qvds::Measurement>([i](State& s, qvds::Result<qvds::Measurement>& r) {
                              Lane& l = s.lanes[static_cast<std::size_t>(i)];
                              l.measure_running = false;
                              s.absorb(i, r, l.measure_running_posted);
                            }),
                            {}, call());
  }

  // Answers waiter `w` from measurement `m` when it can: true when it is
  // answered (or on its way to a resolution change and the next one).
  bool settle(int i, Waiter& w, const qvds::Measurement& m) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    const auto it = std::find_if(m.readings.begin(), m.readings.end(),
                                 [&](const qvds::Reading& r) { return r.rom == w.rom; });
    if (it == m.readings.end()) {
      w.reply(Answer<qvds::Reading>::fail(kErrNoEntry, "not on bus." + std::to_string(i)));
      return true;
    }
    if (w.bits != 0) {
      const std::optional<int> held = resolution_in(*it);
      if (held && *held != w.bits) {
        // Another request set it otherwise meanwhile, or it lost power
        // and came back with its EEPROM's: set again, a bounded number
        // of times.
        lane.ram_resolution.erase(w.rom);
        if (w.changes >= 2) {
          w.reply(Answer<qvds::Reading>::fail(kErrIo, "its resolution keeps changing"));
          return true;
        }
        set_resolution_then_wait(i, std::move(w));
        return true;
      }
    }
    if (!it->ok()) {
      w.reply(Answer<qvds::Reading>::fail(error_of(it->status), it->reason));
      return true;
    }
    w.reply(Answer<qvds::Reading>::of(*it));
    return true;
  }

  // A measurement (or an alarm search's) has come back.
  void absorb(int i, const qvds::Result<qvds::Measurement>& r, TimePoint posted) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    if (r.ok()) {
      for (const qvds::Reading& reading : r->readings)
        if (const auto bits = resolution_in(reading)) lane.ram_resolution[reading.rom] = *bits;
      const std::vector<qvds::Device> known = lane.bus->devices();
      if (!known.empty()) lane.devices = known;
      if (!lane.last || posted >= lane.last_posted) {
        lane.last = *r;
        lane.last_posted = posted;
      }
    }
    std::vector<Waiter> due;
    std::vector<Waiter> later;
    for (auto& w : lane.waiters) (w.not_before <= posted ? due : later).push_back(std::move(w));
    lane.waiters = std::move(later);
    std::vector<ConvertWaiter> converts_due;
    std::vector<ConvertWaiter> converts_later;
    for (auto& w : lane.convert_waiters) (w.not_before <= posted ? converts_due : converts_later).push_back(std::move(w));
    lane.convert_waiters = std::move(converts_later);
    if ((!lane.waiters.empty() || !lane.convert_waiters.empty()) && !lane.measure_running) start_measure(i);
    if (!r.ok()) {
      const int error = error_of(r.failure());
      for (auto& w : due) w.reply(Answer<qvds::Reading>::fail(error, r.message()));
      for (auto& w : converts_due) w.done(error, r.message());
      return;
    }
    for (auto& w : due) settle(i, w, *r);
    for (auto& w : converts_due) w.done(0, {});
  }

  void set_resolution_then_wait(int i, Waiter w) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    ++w.changes;
    qvds::SettingsChange change;
    change.resolution = w.bits;
    const qvds::Rom rom = w.rom;
    auto shared = std::make_shared<Waiter>(std::move(w));
    lane.bus->change_settings_async(
        rom, change,
        on_loop<qvds::SensorSettings>([i, shared](State& s, qvds::Result<qvds::SensorSettings> r) {
          if (!r.ok()) {
            shared->reply(Answer<qvds::Reading>::fail(error_of(r.failure()), r.message()));
            return;
          }
          Lane& l = s.lanes[static_cast<std::size_t>(i)];
          if (r->resolution) l.ram_resolution[shared->rom] = *r->resolution;
          // Only a conversion after the change holds the value at it.
          shared->not_before = SteadyClock::now();
          s.wait_reading(i, std::move(*shared));
        }),
        call());
  }

  void temperature_at(int i, Waiter w) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    if (w.bits == 0) {
      wait_reading(i, std::move(w));
      return;
    }
    const auto held = lane.ram_resolution.find(w.rom);
    if (held != lane.ram_resolution.end() && held->second == w.bits) {
      wait_reading(i, std::move(w));
      return;
    }
    set_resolution_then_wait(i, std::move(w));
  }

  // --- EEPROM settings ---
  void stored(int i, const qvds::Rom& rom, bool fresh, Reply<qvds::StoredSettings> reply) {
    Lane& lane = lanes[static_cast<std::size_t>(i)];
    if (!fresh) {
      const auto known = lane.stored.find(rom);
      if (known != lane.stored.end()) {
        reply(Answer<qvds::StoredSettings>::of(known->second));
        return;
      }
    }
    auto& pending = lane.stored_pending[rom];
    pending.push_back(std::move(reply));
    if (pending.size() > 1) return;
    lane.bus->settings_async(rom, true,
                             on_loop<qvds::SensorSettings>([i, rom](State& s, qvds::Result<qvds::SensorSettings> r) {
                               Lane& l = s.lanes[static_cast<std::size_t>(i)];
                               auto replies = std::move(l.stored_pending[rom]);
                               l.stored_pending.erase(rom);
                               Answer<qvds::StoredSettings> a;
                               if (r.ok() && r->eeprom) {
                                 l.stored[rom] = *r->eeprom;
                                 if (r->resolution) l.ram_resolution[rom] = *r->resolution;
                                 a.value = *r->eeprom;
                               } else {
                                 a = Answer<qvds::StoredSettings>::fail(r.ok() ? kErrIo : error_of(r.failure()),
                                                                       r.message());
                               }
                               for (auto& reply : replies) reply(a);
                             }),
                             call());
  }
};

BusHub::BusHub(std::vector<qvds::Bus*> buses, Post post, PostAfter post_after, HubOptions options)
    : state_(std::make_shared<State>()) {
  state_->post = std::move(post);
  state_->post_after = std::move(post_after);
  state_->options = options;
  int index = 0;
  for (qvds::Bus* b : buses) {
    State::Lane lane;
    lane.bus = b;
    lane.index = index++;
    state_->lanes.push_back(std::move(lane));
  }
}

BusHub::~BusHub() = default;

int BusHub::bus_count() const { return static_cast<int>(state_->lanes.size()); }
const HubOptions& BusHub::options() const { return state_->options; }
std::size_t BusHub::conversions() const { return state_->conversions; }
std::size_t BusHub::searches() const { return state_->searches; }

void BusHub::devices(std::optional<int> bus, SteadyClock::time_point not_before, Reply<std::vector<Located>> reply) {
  const std::vector<int> lanes = state_->scope(bus);
  if (lanes.empty()) {
    reply(Answer<std::vector<Located>>::fail(kErrNoEntry, "no such bus"));
    return;
  }
  struct Gather {
    std::size_t left = 0;
    std::vector<int> errors;
    std::string why;
    Reply<std::vector<Located>> reply;
  };
  auto gather = std::make_shared<Gather>();
  gather->left = lanes.size();
  gather->errors.assign(lanes.size(), 0);
  gather->reply = std::move(reply);
  std::weak_ptr<State> weak = state_;
  for (std::size_t k = 0; k < lanes.size(); ++k) {
    state_->search(lanes[k], not_before, [weak, gather, k, lanes](int error, const std::string& why) {
      gather->errors[k] = error;
      if (error != 0 && gather->why.empty()) gather->why = why;
      if (--gather->left != 0) return;
      auto self = weak.lock();
      if (!self) return;
      // A bus that failed leaves its devices out of a listing of all of
      // them; a listing of that bus alone fails.
      std::vector<Located> out;
      bool any = false;
      for (std::size_t j = 0; j < lanes.size(); ++j) {
        if (gather->errors[j] != 0) continue;
        any = true;
        for (const qvds::Device& d : self->lanes[static_cast<std::size_t>(lanes[j])].devices)
          out.push_back({lanes[j], d});
      }
      if (!any) {
        gather->reply(Answer<std::vector<Located>>::fail(gather->errors[0], gather->why));
        return;
      }
      gather->reply(Answer<std::vector<Located>>::of(std::move(out)));
    });
  }
}

void BusHub::locate(const qvds::Rom& rom, std::optional<int> bus, bool fresh, Reply<Located> reply) {
  const auto find = [rom, bus](const State& s) -> std::optional<Located> {
    for (const State::Lane& l : s.lanes) {
      if (bus && *bus != l.index) continue;
      for (const qvds::Device& d : l.devices)
        if (d.rom == rom) return Located{l.index, d};
    }
    return std::nullopt;
  };
  if (!fresh) {
    if (auto found = find(*state_)) {
      reply(Answer<Located>::of(*found));
      return;
    }
  }
  const auto not_before = fresh ? SteadyClock::now() : SteadyClock::now() - state_->options.lookup_fresh;
  std::weak_ptr<State> weak = state_;
  devices(bus, not_before, [weak, find, reply = std::move(reply)](Answer<std::vector<Located>> all) {
    auto self = weak.lock();
    if (!self) return;
    if (!all.ok()) {
      reply(Answer<Located>::fail(all.error, all.why));
      return;
    }
    if (auto found = find(*self)) {
      reply(Answer<Located>::of(*found));
      return;
    }
    reply(Answer<Located>::fail(kErrNoEntry, "no such device"));
  });
}

void BusHub::temperature(const Located& where, int bits, SteadyClock::time_point not_before,
                         Reply<qvds::Reading> reply) {
  Waiter w;
  w.rom = where.device.rom;
  w.not_before = not_before;
  w.reply = std::move(reply);
  if (!where.device.thermometer()) {
    w.reply(Answer<qvds::Reading>::fail(kErrNotSupported, "no thermometer"));
    return;
  }
  const int i = where.bus;
  if (!rules::has_resolution(where.device.family())) {
    state_->wait_reading(i, std::move(w));
    return;
  }
  if (bits != 0) {
    w.bits = bits;
    state_->temperature_at(i, std::move(w));
    return;
  }
  // At the resolution the sensor powers up with: what its owner set.
  auto shared = std::make_shared<Waiter>(std::move(w));
  std::weak_ptr<State> weak = state_;
  state_->stored(i, shared->rom, false, [weak, i, shared](Answer<qvds::StoredSettings> st) {
    auto self = weak.lock();
    if (!self) return;
    if (!st.ok()) {
      shared->reply(Answer<qvds::Reading>::fail(st.error, st.why));
      return;
    }
    shared->bits = st.value->resolution.value_or(12);
    self->temperature_at(i, std::move(*shared));
  });
}

void BusHub::latest(const Located& where, Reply<qvds::Reading> reply) {
  State::Lane& lane = state_->lanes[static_cast<std::size_t>(where.bus)];
  // The last conversion's value was read right after it, and no
  // conversion has run since: that is what the scratchpad holds (a client
  // that writes /simultaneous/temperature and then reads every sensor's
  // latesttemp costs one conversion and one pass of reads).
  if (lane.last && !lane.measure_running && lane.alarm_searches == 0)
    for (const qvds::Reading& r : lane.last->readings)
      if (r.rom == where.device.rom && r.ok()) {
        reply(Answer<qvds::Reading>::of(r));
        return;
      }
  lane.bus->read_latest_async(where.device.rom,
                              state_->on_loop<qvds::Reading>([reply = std::move(reply)](State&, qvds::Result<qvds::Reading> r) {
                                if (!r.ok()) {
                                  reply(Answer<qvds::Reading>::fail(error_of(r.failure()), r.message()));
                                  return;
                                }
                                reply(Answer<qvds::Reading>::of(std::move(*r)));
                              }),
                              state_->call());
}

void BusHub::settings(const Located& where, Reply<qvds::SensorSettings> reply) {
  State::Lane& lane = state_->lanes[static_cast<std::size_t>(where.bus)];
  lane.bus->settings_async(
      where.device.rom, false,
      state_->on_loop<qvds::SensorSettings>([reply = std::move(reply)](State&, qvds::Result<qvds::SensorSettings> r) {
        if (!r.ok()) {
          reply(Answer<qvds::SensorSettings>::fail(error_of(r.failure()), r.message()));
          return;
        }
        reply(Answer<qvds::SensorSettings>::of(std::move(*r)));
      }),
      state_->call());
}

void BusHub::stored(const Located& where, bool fresh, Reply<qvds::StoredSettings> reply) {
  if (!where.device.thermometer()) {
    reply(Answer<qvds::StoredSettings>::fail(kErrNotSupported, "no thermometer"));
    return;
  }
  state_->stored(where.bus, where.device.rom, fresh, std::move(reply));
}

void BusHub::write_stored(const Located& where, const qvds::SettingsChange& change,
                          Reply<qvds::StoredSettings> reply) {
  const int i = where.bus;
  const qvds::Rom rom = where.device.rom;
  std::weak_ptr<State> weak = state_;
  // The EEPROM keeps what it holds but the one setting written: a
  // resolution set in RAM for a temperatureN read is not saved with it.
  stored(where, false, [weak, i, rom, change, reply = std::move(reply)](Answer<qvds::StoredSettings> st) mutable {
    auto self = weak.lock();
    if (!self) return;
    if (!st.ok()) {
      reply(Answer<qvds::StoredSettings>::fail(st.error, st.why));
      return;
    }
    qvds::SettingsChange merged;
    if (rules::has_resolution(rom[0])) merged.resolution = change.resolution ? change.resolution : st.value->resolution;
    merged.alarm_low = change.alarm_low ? change.alarm_low : st.value->alarm_low;
    merged.alarm_high = change.alarm_high ? change.alarm_high : st.value->alarm_high;
    State::Lane& lane = self->lanes[static_cast<std::size_t>(i)];
    auto done = std::make_shared<Reply<qvds::StoredSettings>>(std::move(reply));
    lane.bus->change_settings_async(
        rom, merged,
        self->on_loop<qvds::SensorSettings>([i, rom, merged, done](State& s, qvds::Result<qvds::SensorSettings> r) {
          State::Lane& l = s.lanes[static_cast<std::size_t>(i)];
          if (!r.ok()) {
            (*done)(Answer<qvds::StoredSettings>::fail(error_of(r.failure()), r.message()));
            return;
          }
          if (r->resolution) l.ram_resolution[rom] = *r->resolution;
          l.bus->save_settings_async(
              rom, s.on_loop<qvds::SaveOutcome>([i, rom, merged, done](State& s2, qvds::Result<qvds::SaveOutcome> saved) {
                State::Lane& l2 = s2.lanes[static_cast<std::size_t>(i)];
                if (!saved.ok()) {
                  // What the EEPROM holds now is not known.
                  l2.stored.erase(rom);
                  (*done)(Answer<qvds::StoredSettings>::fail(error_of(saved.failure()), saved.message()));
                  return;
                }
                qvds::StoredSettings now{merged.resolution, *merged.alarm_low, *merged.alarm_high};
                l2.stored[rom] = now;
                (*done)(Answer<qvds::StoredSettings>::of(now));
              }),
              s.call());
        }),
        self->call());
  });
}

void BusHub::convert(std::optional<int> bus, Reply<bool> reply) {
  const std::vector<int> lanes = state_->scope(bus);
  if (lanes.empty()) {
    reply(Answer<bool>::fail(kErrNoEntry, "no such bus"));
    return;
  }
  struct Gather {
    std::size_t left = 0;
    int error = 0;
    std::string why;
    Reply<bool> reply;
  };
  auto gather = std::make_shared<Gather>();
  gather->left = lanes.size();
  gather->reply = std::move(reply);
  const TimePoint now = SteadyClock::now();
  for (int i : lanes) {
    State::Lane& lane = state_->lanes[static_cast<std::size_t>(i)];
    lane.convert_waiters.push_back({now, [gather](int error, const std::string& why) {
                                      if (error != 0 && gather->error == 0) {
                                        gather->error = error;
                                        gather->why = why;
                                      }
                                      if (--gather->left != 0) return;
                                      if (gather->error != 0)
                                        gather->reply(Answer<bool>::fail(gather->error, gather->why));
                                      else
                                        gather->reply(Answer<bool>::of(true));
                                    }});
    if (!lane.measure_running) state_->start_measure(i);
  }
}

bool BusHub::converted_recently(std::optional<int> bus) const {
  const TimePoint since = SteadyClock::now() - state_->options.poll_window;
  for (const State::Lane& l : state_->lanes) {
    if (bus && *bus != l.index) continue;
    if ((l.last && l.last_posted >= since) || l.measure_running) return true;
  }
  return false;
}

void BusHub::alarms(std::optional<int> bus, Reply<std::vector<Located>> reply) {
  const std::vector<int> lanes = state_->scope(bus);
  if (lanes.empty()) {
    reply(Answer<std::vector<Located>>::fail(kErrNoEntry, "no such bus"));
    return;
  }
  struct Gather {
    std::size_t left = 0;
    int error = 0;
    std::string why;
    std::vector<std::vector<Located>> found;
    Reply<std::vector<Located>> reply;
  };
  auto gather = std::make_shared<Gather>();
  gather->left = lanes.size();
  gather->found.resize(lanes.size());
  gather->reply = std::move(reply);
  for (std::size_t k = 0; k < lanes.size(); ++k) {
    const int i = lanes[k];
    State::Lane& lane = state_->lanes[static_cast<std::size_t>(i)];
    const TimePoint posted = SteadyClock::now();
    ++state_->conversions;
    ++lane.alarm_searches;
    lane.bus->alarm_search_async(
        state_->on_loop<qvds::AlarmResult>([i, k, posted, gather](State& s, qvds::Result<qvds::AlarmResult> r) {
          --s.lanes[static_cast<std::size_t>(i)].alarm_searches;
          if (r.ok()) {
            // Its conversion serves the reads that wait, as any other does.
            s.absorb(i, qvds::Result<qvds::Measurement>(r->measurement), posted);
            const State::Lane& l = s.lanes[static_cast<std::size_t>(i)];
            for (const qvds::Rom& rom : r->in_alarm) {
              Located at{i, qvds::Device{}};
              at.device.rom = rom;
              for (const qvds::Device& d : l.devices)
                if (d.rom == rom) at.device = d;
              gather->found[k].push_back(at);
            }
          } else if (gather->error == 0) {
            gather->error = error_of(r.failure());
            gather->why = r.message();
          }
          if (--gather->left != 0) return;
          if (gather->error != 0) {
            gather->reply(Answer<std::vector<Located>>::fail(gather->error, gather->why));
            return;
          }
          std::vector<Located> all;
          for (auto& f : gather->found) all.insert(all.end(), f.begin(), f.end());
          gather->reply(Answer<std::vector<Located>>::of(std::move(all)));
        }),
        state_->call());
  }
}

}  // namespace qvtool::owserver
