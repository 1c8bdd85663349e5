// Windows has no pseudo-terminals, so the virtual adapter cannot be served
// there; a Windows program meets it through a POSIX host's pseudo-terminal
// mapped to a COM port (Wine's dosdevices links), or uses the simulated
// driver in process.
#include "onewire/errors.hpp"
#include "onewire/sim/virtual_adapter.hpp"

namespace onewire::sim {

struct VirtualAdapter::Impl {
  std::string path;
};

VirtualAdapter::VirtualAdapter(std::shared_ptr<SimBus>, VirtualAdapterOptions) : impl_(std::make_unique<Impl>()) {}
VirtualAdapter::~VirtualAdapter() = default;
int VirtualAdapter::start() { return kErrPortUnavailable; }
void VirtualAdapter::stop() {}
bool VirtualAdapter::running() const { return false; }
const std::string& VirtualAdapter::path() const { return impl_->path; }
VirtualAdapterStats VirtualAdapter::stats() const { return {}; }
void VirtualAdapter::reset_stats() {}

}  // namespace onewire::sim
