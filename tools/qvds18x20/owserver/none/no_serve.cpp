// A build without the owserver protocol's server (no standalone Asio, or
// QVDS_WITH_OWSERVER off): serve is not offered (features.hpp).
#include "qvds18x20/commands.hpp"
#include "qvds18x20/exit_codes.hpp"

namespace qvtool {

int run_serve(const Options&) {
  throw UsageError("serve is not available in this build (it was built without standalone Asio)");
}

}  // namespace qvtool
