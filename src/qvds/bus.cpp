#include "qvds/bus.hpp"

#include <condition_variable>
#include <mutex>

#include "onewire/adapters.hpp"
#include "onewire/errors.hpp"
#include "onewire/port_names.hpp"
#include "qvds/detail/bus_core.hpp"
#include "qvds/detail/operations.hpp"

namespace qvds {

namespace {

Failure closed_failure() { return Failure{Errc::kClosed, {}}; }

const std::vector<onewire::AdapterRow>& table_of(const OpenOptions& options) {
  return options.driver.adapters != nullptr ? *options.driver.adapters : onewire::builtin_adapters();
}

Result<Bus> open_row(const onewire::AdapterRow& row, std::string_view port, const OpenOptions& options) {
  const std::string text(port);
  if (!row.present(options.driver))
    return Failure{Errc::kNoSuchAdapter, std::string(row.name) + ": " + row.absent_reason};
  const onewire::PortResolution resolved = onewire::resolve_port(text, row.ports);
  if (!resolved.port) {
    std::string detail = text + ": " + row.name + " takes " + resolved.expected;
    if (!resolved.reason.empty()) detail += " (" + resolved.reason + ")";
    return Failure{Errc::kBadArgument, detail};
  }
  std::int16_t error = 0;
  std::unique_ptr<onewire::Link> link = row.open(options.driver, resolved.port->number, error);
  OpenOptions named = options;
  if (named.name.empty()) named.name = resolved.port->label;
  if (!link) return detail::driver_failure(error != 0 ? error : onewire::kErrPortUnavailable, named.name);
  return Bus::adopt(std::move(link), named);
}

// An asynchronous call on `core`, or its callback told at once that the
// handle is closed.
template <typename T>
void start_async(const std::shared_ptr<detail::BusCore>& core, const CallOptions& call, Completion<T> done,
                 detail::BusCore::Op<T> op) {
  if (!core) {
    if (done) done(closed_failure());
    return;
  }
  core->call_async<T>(call, std::move(op), std::move(done));
}

}  // namespace

std::size_t Measurement::read_count() const {
  std::size_t n = 0;
  for (const Reading& r : readings) n += r.ok() ? 1 : 0;
  return n;
}

Result<Bus> Bus::open(std::string_view adapter, std::string_view port, const OpenOptions& options) {
  const auto& table = table_of(options);
  if (adapter == "auto") {
    // The serial adapters, in their detection order: the DS2480B's
    // detection is harmless to a passive adapter.
    const onewire::PortResolution resolved = onewire::resolve_port(std::string(port), onewire::PortForm::kSerial);
    if (!resolved.port)
      return Failure{Errc::kBadArgument, std::string(port) + ": automatic detection takes " + resolved.expected};
    std::int16_t error = 0;
    const int type = onewire::detect_adapter(onewire::PortForm::kSerial, resolved.port->number, options.driver, error,
                                             0, table);
    if (type == 0) {
      const std::error_code code = error == onewire::kErrPortUnavailable || error == onewire::kErrPortBusy ||
                                           error == onewire::kErrPermission
                                       ? driver_error(error)
                                       : make_error_code(Errc::kNoAdapterFound);
      return Failure{code, options.name.empty() ? resolved.port->label : options.name, error};
    }
    return open(type, port, options);
  }
  const onewire::AdapterRow* row = onewire::find_adapter_named(adapter, table);
  if (row == nullptr) return Failure{Errc::kNoSuchAdapter, "no adapter is named \"" + std::string(adapter) + "\""};
  return open_row(*row, port, options);
}

Result<Bus> Bus::open(int adapter_type, std::string_view port, const OpenOptions& options) {
  const onewire::AdapterRow* row = onewire::find_adapter(adapter_type, table_of(options));
  if (row == nullptr) return Failure{Errc::kNoSuchAdapter, "adapter type " + std::to_string(adapter_type)};
  return open_row(*row, port, options);
}

Result<Bus> Bus::adopt(std::unique_ptr<onewire::Link> link, std::string name) {
  OpenOptions options;
  options.name = std::move(name);
  return adopt(std::move(link), options);
}

Result<Bus> Bus::adopt(std::unique_ptr<onewire::Link> link, const OpenOptions& options) {
  if (!link) return Failure{Errc::kBadArgument, "no link"};
  if (!link->is_open()) {
    const int r = link->open();
    if (r != 1) return detail::driver_failure(r, options.name);
  }
  if (options.speed != onewire::Speed::kNormal) {
    const int r = link->set_speed(options.speed);
    if (r != static_cast<int>(options.speed)) {
      link->close();
      return Failure{Errc::kNotOffered, options.name + ": the adapter cannot run that speed"};
    }
  }
  auto core = std::make_shared<detail::BusCore>(std::move(link), options.name, options.clock);
  core->start();
  return Bus(std::move(core));
}

Bus::Bus(std::shared_ptr<detail::BusCore> core) : core_(std::move(core)) {}
Bus::~Bus() = default;
Bus::Bus(Bus&&) noexcept = default;
Bus& Bus::operator=(Bus&& other) noexcept {
  if (this != &other) core_ = std::move(other.core_);
  return *this;
}

void Bus::close() {
  if (core_) core_->shutdown();
}

bool Bus::is_open() const { return core_ && !core_->closed(); }
std::string Bus::name() const { return core_ ? core_->name() : std::string(); }
std::string Bus::adapter() const { return core_ ? core_->adapter() : std::string(); }
bool Bus::has_strong_pullup() const { return core_ && core_->strong_pullup(); }
int Bus::serial_baud() const { return core_ ? core_->serial_baud() : 0; }
std::vector<Device> Bus::devices() const { return core_ ? core_->devices() : std::vector<Device>{}; }

Result<std::vector<Device>> Bus::search(const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<std::vector<Device>>(call, [](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::search(s, ctx);
  });
}

void Bus::search_async(Completion<std::vector<Device>> done, const CallOptions& call) {
  if (!core_) {
    if (done) done(closed_failure());
    return;
  }
  core_->call_async<std::vector<Device>>(
      call, [](detail::BusState& s, const detail::OpContext& ctx) { return detail::search(s, ctx); }, std::move(done));
}

Result<Measurement> Bus::measure(const MeasureOptions& what, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<Measurement>(
      call, [what](detail::BusState& s, const detail::OpContext& ctx) { return detail::measure(s, ctx, what); });
}

void Bus::measure_async(Completion<Measurement> done, const MeasureOptions& what, const CallOptions& call) {
  if (!core_) {
    if (done) done(closed_failure());
    return;
  }
  core_->call_async<Measurement>(
      call, [what](detail::BusState& s, const detail::OpContext& ctx) { return detail::measure(s, ctx, what); },
      std::move(done));
}

Result<Reading> Bus::read(const Rom& rom, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<Reading>(
      call, [rom](detail::BusState& s, const detail::OpContext& ctx) { return detail::read_one(s, ctx, rom); });
}

void Bus::read_async(const Rom& rom, Completion<Reading> done, const CallOptions& call) {
  if (!core_) {
    if (done) done(closed_failure());
    return;
  }
  core_->call_async<Reading>(
      call, [rom](detail::BusState& s, const detail::OpContext& ctx) { return detail::read_one(s, ctx, rom); },
      std::move(done));
}

Result<Reading> Bus::read_latest(const Rom& rom, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<Reading>(
      call, [rom](detail::BusState& s, const detail::OpContext& ctx) { return detail::read_latest(s, ctx, rom); });
}

void Bus::read_latest_async(const Rom& rom, Completion<Reading> done, const CallOptions& call) {
  start_async<Reading>(core_, call, std::move(done), [rom](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::read_latest(s, ctx, rom);
  });
}

Result<SensorSettings> Bus::settings(const Rom& rom, bool eeprom, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<SensorSettings>(call, [rom, eeprom](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::read_settings(s, ctx, rom, eeprom);
  });
}

void Bus::settings_async(const Rom& rom, bool eeprom, Completion<SensorSettings> done, const CallOptions& call) {
  start_async<SensorSettings>(core_, call, std::move(done),
                              [rom, eeprom](detail::BusState& s, const detail::OpContext& ctx) {
                                return detail::read_settings(s, ctx, rom, eeprom);
                              });
}

Result<SensorSettings> Bus::change_settings(const Rom& rom, const SettingsChange& change, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<SensorSettings>(call, [rom, change](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::change_settings(s, ctx, rom, change);
  });
}

void Bus::change_settings_async(const Rom& rom, const SettingsChange& change, Completion<SensorSettings> done,
                                const CallOptions& call) {
  start_async<SensorSettings>(core_, call, std::move(done),
                              [rom, change](detail::BusState& s, const detail::OpContext& ctx) {
                                return detail::change_settings(s, ctx, rom, change);
                              });
}

Result<SaveOutcome> Bus::save_settings(const Rom& rom, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<SaveOutcome>(
      call, [rom](detail::BusState& s, const detail::OpContext& ctx) { return detail::save_settings(s, ctx, rom); });
}

void Bus::save_settings_async(const Rom& rom, Completion<SaveOutcome> done, const CallOptions& call) {
  start_async<SaveOutcome>(core_, call, std::move(done), [rom](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::save_settings(s, ctx, rom);
  });
}

Result<AlarmResult> Bus::alarm_search(const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<AlarmResult>(
      call, [](detail::BusState& s, const detail::OpContext& ctx) { return detail::alarm_search(s, ctx); });
}

Result<BusReport> Bus::diagnose(const DoctorOptions& options, const CallOptions& call) {
  if (!core_) return closed_failure();
  return core_->call<BusReport>(call, [options](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::diagnose(s, ctx, options);
  });
}

void Bus::diagnose_async(Completion<BusReport> done, const DoctorOptions& options, const CallOptions& call) {
  if (!core_) {
    if (done) done(closed_failure());
    return;
  }
  core_->call_async<BusReport>(
      call,
      [options](detail::BusState& s, const detail::OpContext& ctx) { return detail::diagnose(s, ctx, options); },
      std::move(done));
}

void Bus::alarm_search_async(Completion<AlarmResult> done, const CallOptions& call) {
  start_async<AlarmResult>(core_, call, std::move(done), [](detail::BusState& s, const detail::OpContext& ctx) {
    return detail::alarm_search(s, ctx);
  });
}

std::vector<Result<Measurement>> measure_all(std::span<Bus* const> buses, const MeasureOptions& what,
                                             const CallOptions& call) {
  struct Gather {
    std::mutex mutex;
    std::condition_variable done;
    std::vector<std::optional<Result<Measurement>>> results;
    std::size_t left = 0;
  };
  auto gather = std::make_shared<Gather>();
  gather->results.resize(buses.size());
  gather->left = buses.size();
  for (std::size_t i = 0; i < buses.size(); ++i) {
    Bus* bus = buses[i];
    auto store = [gather, i](Result<Measurement> r) {
      std::lock_guard lock(gather->mutex);
      gather->results[i].emplace(std::move(r));
      if (--gather->left == 0) gather->done.notify_all();
    };
    if (bus == nullptr) {
      store(closed_failure());
      continue;
    }
    // Each bus reads what of `only` it knows; the rest is another bus's.
    MeasureOptions mine = what;
    mine.skip_unknown = true;
    bus->measure_async(store, mine, call);
  }
  std::unique_lock lock(gather->mutex);
  gather->done.wait(lock, [&] { return gather->left == 0; });
  std::vector<Result<Measurement>> out;
  out.reserve(buses.size());
  for (auto& r : gather->results) out.push_back(std::move(*r));
  return out;
}

}  // namespace qvds
