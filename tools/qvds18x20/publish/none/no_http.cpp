// A build without the /metrics endpoint (Windows, no standalone Asio, or
// QVDS_WITH_HTTP off):
// --metrics-listen is not offered (features.hpp).
#include "qvds18x20/exit_codes.hpp"
#include "qvds18x20/publish/engines.hpp"

namespace qvtool {

std::unique_ptr<Publisher> make_metrics_server(const std::string&, std::shared_ptr<const Metrics>,
                                               std::shared_ptr<net::EventLoop>) {
  throw UsageError("--metrics-listen is not available in this build (it was built without its HTTP endpoint)");
}

}  // namespace qvtool
