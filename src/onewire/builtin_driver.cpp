#include "onewire/builtin_driver.hpp"

#include "onewire/errors.hpp"

namespace onewire {

std::shared_ptr<BusDriver> make_builtin_driver(BuiltinDriverOptions options) {
  const std::vector<AdapterRow>& table = options.adapters != nullptr ? *options.adapters : builtin_adapters();
  // Presence is the build's and the stand-ins', fixed for the driver's life.
  std::vector<const AdapterRow*> present;
  for (const AdapterRow& row : table)
    if (row.present(options)) present.push_back(&row);
  auto answered = [present](int type) {
    for (const AdapterRow* row : present)
      if (row->type == type) return true;
    return false;
  };
  std::string version = adapters_version_text(table, options);
  return std::make_shared<BusDriver>(
      [options, present](int port, int adapter_type, std::int16_t& error) -> std::unique_ptr<Link> {
        for (const AdapterRow* row : present)
          if (row->type == adapter_type) return row->open(options, port, error);
        error = kErrAdapterType;
        return nullptr;
      },
      std::move(version), answered);
}

}  // namespace onewire
