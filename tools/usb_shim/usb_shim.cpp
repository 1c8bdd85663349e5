// A stand-in for libusb-1.0, loaded with LD_PRELOAD, that shows a program
// one or more emulated DS2490 adapters (04FA:2490) over simulated buses
// and no real hardware. Every libusb call such a host makes lands here;
// the transfers go to the chip emulator, which answers at the pace of a
// real adapter.
//
// Configured from the environment (qvds18x20 sim-usb sets it):
//   QVDS_SIM_USB_DEVICES  device files, ':'-separated, one adapter each;
//                         '-' or empty for the demonstration bus
//   QVDS_SIM_USB_ID_CHIP  1: each adapter's bus also holds the adapter's
//                         own ID chip (family 0x81), as DS9490 adapters do
//   QVDS_SIM_USB_TRACE    a file that receives every call and transfer
//   QVDS_SIM_USB_SPEEDUP  the emulator's time runs this many times faster
//   QVDS_SIM_USB_REFUSE   "access": libusb_open is refused as a device node
//                         the user may not open is (LIBUSB_ERROR_ACCESS);
//                         "busy": libusb_claim_interface finds the
//                         interface claimed by another program
//                         (LIBUSB_ERROR_BUSY), as owserver's would be
#include <libusb.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/ds2490/protocol.hpp"
#include "onewire/sim/ds2490_emulator.hpp"
#include "qvds18x20/device_file.hpp"
#include "rtl/clock.hpp"
#include "shim_common/shim_support.hpp"

#define SHIM_API extern "C" __attribute__((visibility("default")))

struct libusb_context {
  int unused;
};

struct libusb_device {
  int index;
  std::uint8_t bus;
  std::uint8_t address;
};

struct libusb_device_handle {
  libusb_device* device;
  bool claimed;
};

namespace {

using onewire::sim::Ds2490Emulator;
namespace p = onewire::ds2490;

struct Shim {
  std::vector<std::shared_ptr<Ds2490Emulator>> chips;
  std::vector<libusb_device> devices;
  std::unique_ptr<rtl::Clock> clock;
  qvshim::TraceLog trace;
};

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const auto colon = s.find(':', start);
    out.push_back(s.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) return out;
    start = colon + 1;
  }
}

Shim& shim() {
  static Shim* s = [] {
    auto* shim = new Shim;
    shim->trace.open_from_env("QVDS_SIM_USB_TRACE");
    double speedup = 1.0;
    if (const char* f = std::getenv("QVDS_SIM_USB_SPEEDUP"); f != nullptr && *f != 0) {
      char* end = nullptr;
      speedup = std::strtod(f, &end);
      // The range sim-usb takes: far slower, a transfer would take
      // minutes; far faster, the scaled time would overflow.
      if (*end != 0 || !(speedup >= 0.1 && speedup <= 1000.0)) {
        std::fprintf(stderr, "qvds18x20 USB shim: QVDS_SIM_USB_SPEEDUP=%s is not a factor 0.1..1000; running in real time\n", f);
        speedup = 1.0;
      }
    }
    shim->clock = qvshim::emulator_clock(speedup);
    const char* list = std::getenv("QVDS_SIM_USB_DEVICES");
    const bool id_chip = std::getenv("QVDS_SIM_USB_ID_CHIP") != nullptr && std::string(std::getenv("QVDS_SIM_USB_ID_CHIP")) == "1";
    int index = 0;
    for (const std::string& file : split(list != nullptr ? list : "")) {
      std::shared_ptr<onewire::sim::SimBus> bus;
      try {
        bus = file.empty() || file == "-" ? qvtool::demo_bus() : qvtool::load_device_file(file);
      } catch (const std::exception& e) {
        // sim-usb read the file before the program started; it changed
        // since. The adapter stays, with nothing on its bus, so that the
        // numbering of the others holds.
        std::fprintf(stderr, "qvds18x20 USB shim: %s; adapter %d has an empty bus\n", e.what(), index + 1);
        bus = std::make_shared<onewire::sim::SimBus>();
      }
      if (id_chip)
        bus->add(onewire::sim::make_rom_device(onewire::sim::make_rom(0x81, 0x00000C2490A0ULL + static_cast<std::uint64_t>(index))));
      auto chip = std::make_shared<Ds2490Emulator>(bus, shim->clock.get());
      if (shim->trace.on()) {
        chip->set_trace([shim, index](const std::string& line) { shim->trace.log("[%d] %s", index + 1, line.c_str()); });
      }
      shim->chips.push_back(chip);
      ++index;
    }
    for (std::size_t i = 0; i < shim->chips.size(); ++i)
      shim->devices.push_back({static_cast<int>(i), 1, static_cast<std::uint8_t>(4 + i)});
    shim->trace.log("shim: %zu emulated DS2490", shim->chips.size());
    return shim;
  }();
  return *s;
}

Ds2490Emulator* chip_of(libusb_device_handle* h) {
  if (h == nullptr || h->device == nullptr) return nullptr;
  auto& s = shim();
  const auto i = static_cast<std::size_t>(h->device->index);
  return i < s.chips.size() ? s.chips[i].get() : nullptr;
}

rtl::Duration deadline(unsigned int timeout_ms) {
  // 0 means no deadline to libusb; an hour stands for it.
  return std::chrono::milliseconds(timeout_ms == 0 ? 3'600'000u : timeout_ms);
}

}  // namespace

SHIM_API int libusb_init(libusb_context** ctx) {
  shim().trace.log("libusb_init");
  if (ctx != nullptr) *ctx = new libusb_context{0};
  return LIBUSB_SUCCESS;
}

SHIM_API void libusb_exit(libusb_context* ctx) {
  shim().trace.log("libusb_exit");
  delete ctx;
}

SHIM_API void libusb_set_debug(libusb_context*, int) {}

SHIM_API int libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }

SHIM_API const struct libusb_version* libusb_get_version(void) {
  static const libusb_version v = {1, 0, 26, 0, "", "qvds18x20 emulated DS2490"};
  return &v;
}

SHIM_API int libusb_has_capability(uint32_t capability) { return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0; }

SHIM_API ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  auto& s = shim();
  if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  auto* out = new libusb_device*[s.devices.size() + 1];
  for (std::size_t i = 0; i < s.devices.size(); ++i) out[i] = &s.devices[i];
  out[s.devices.size()] = nullptr;
  *list = out;
  s.trace.log("libusb_get_device_list -> %zu", s.devices.size());
  return static_cast<ssize_t>(s.devices.size());
}

SHIM_API void libusb_free_device_list(libusb_device** list, int) { delete[] list; }

SHIM_API libusb_device* libusb_ref_device(libusb_device* dev) { return dev; }

SHIM_API void libusb_unref_device(libusb_device*) {}

SHIM_API int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  std::size_t n = 0;
  const std::uint8_t* d = Ds2490Emulator::device_descriptor(n);
  desc->bLength = d[0];
  desc->bDescriptorType = d[1];
  desc->bcdUSB = static_cast<uint16_t>(d[2] | (d[3] << 8));
  desc->bDeviceClass = d[4];
  desc->bDeviceSubClass = d[5];
  desc->bDeviceProtocol = d[6];
  desc->bMaxPacketSize0 = d[7];
  desc->idVendor = static_cast<uint16_t>(d[8] | (d[9] << 8));
  desc->idProduct = static_cast<uint16_t>(d[10] | (d[11] << 8));
  desc->bcdDevice = static_cast<uint16_t>(d[12] | (d[13] << 8));
  desc->iManufacturer = d[14];
  desc->iProduct = d[15];
  desc->iSerialNumber = d[16];
  desc->bNumConfigurations = d[17];
  return LIBUSB_SUCCESS;
}

SHIM_API int libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                          struct libusb_config_descriptor** config) {
  if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (config_index != 0) return LIBUSB_ERROR_NOT_FOUND;
  std::size_t n = 0;
  const std::uint8_t* d = Ds2490Emulator::config_descriptor(n);
  auto* c = new libusb_config_descriptor{};
  c->bLength = d[0];
  c->bDescriptorType = d[1];
  c->wTotalLength = static_cast<uint16_t>(d[2] | (d[3] << 8));
  c->bNumInterfaces = d[4];
  c->bConfigurationValue = d[5];
  c->iConfiguration = d[6];
  c->bmAttributes = d[7];
  c->MaxPower = d[8];
  auto* iface = new libusb_interface{};
  auto* alts = new libusb_interface_descriptor[4]{};
  std::size_t k = 9;
  for (int a = 0; a < 4; ++a) {
    libusb_interface_descriptor& alt = alts[a];
    alt.bLength = d[k];
    alt.bDescriptorType = d[k + 1];
    alt.bInterfaceNumber = d[k + 2];
    alt.bAlternateSetting = d[k + 3];
    alt.bNumEndpoints = d[k + 4];
    alt.bInterfaceClass = d[k + 5];
    alt.bInterfaceSubClass = d[k + 6];
    alt.bInterfaceProtocol = d[k + 7];
    alt.iInterface = d[k + 8];
    k += 9;
    auto* eps = new libusb_endpoint_descriptor[3]{};
    for (int e = 0; e < 3; ++e, k += 7) {
      eps[e].bLength = d[k];
      eps[e].bDescriptorType = d[k + 1];
      eps[e].bEndpointAddress = d[k + 2];
      eps[e].bmAttributes = d[k + 3];
      eps[e].wMaxPacketSize = static_cast<uint16_t>(d[k + 4] | (d[k + 5] << 8));
      eps[e].bInterval = d[k + 6];
    }
    alt.endpoint = eps;
  }
  iface->altsetting = alts;
  iface->num_altsetting = 4;
  c->interface = iface;
  *config = c;
  return LIBUSB_SUCCESS;
}

SHIM_API int libusb_get_active_config_descriptor(libusb_device* dev, struct libusb_config_descriptor** config) {
  return libusb_get_config_descriptor(dev, 0, config);
}

SHIM_API void libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
  if (config == nullptr) return;
  for (int a = 0; a < config->interface->num_altsetting; ++a) delete[] config->interface->altsetting[a].endpoint;
  delete[] config->interface->altsetting;
  delete config->interface;
  delete config;
}

SHIM_API uint8_t libusb_get_bus_number(libusb_device* dev) { return dev != nullptr ? dev->bus : 0; }

SHIM_API uint8_t libusb_get_device_address(libusb_device* dev) { return dev != nullptr ? dev->address : 0; }

SHIM_API uint8_t libusb_get_port_number(libusb_device* dev) { return dev != nullptr ? static_cast<uint8_t>(dev->index + 1) : 0; }

SHIM_API int libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_FULL; }

SHIM_API int libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
  if (endpoint == p::kEpStatus) return 32;
  if (endpoint == p::kEpToBus || endpoint == p::kEpFromBus) return 64;
  return LIBUSB_ERROR_NOT_FOUND;
}

namespace {
bool refused(const char* how) {
  const char* refuse = std::getenv("QVDS_SIM_USB_REFUSE");
  return refuse != nullptr && std::strcmp(refuse, how) == 0;
}
}  // namespace

SHIM_API int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  if (dev == nullptr || handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (refused("access")) {
    shim().trace.log("libusb_open %d -> %d", dev->index + 1, LIBUSB_ERROR_ACCESS);
    return LIBUSB_ERROR_ACCESS;
  }
  shim().chips.at(static_cast<std::size_t>(dev->index))->open();
  *handle = new libusb_device_handle{dev, false};
  shim().trace.log("libusb_open %d", dev->index + 1);
  return LIBUSB_SUCCESS;
}

SHIM_API libusb_device_handle* libusb_open_device_with_vid_pid(libusb_context*, uint16_t vendor_id,
                                                              uint16_t product_id) {
  auto& s = shim();
  if (vendor_id != p::kVendorId || product_id != p::kProductId || s.devices.empty()) return nullptr;
  libusb_device_handle* h = nullptr;
  return libusb_open(&s.devices[0], &h) == LIBUSB_SUCCESS ? h : nullptr;
}

SHIM_API void libusb_close(libusb_device_handle* h) {
  if (h == nullptr) return;
  shim().trace.log("libusb_close %d", h->device->index + 1);
  if (auto* c = chip_of(h)) c->close();
  delete h;
}

SHIM_API libusb_device* libusb_get_device(libusb_device_handle* h) { return h != nullptr ? h->device : nullptr; }

SHIM_API int libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }

SHIM_API int libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }

SHIM_API int libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_ERROR_NOT_FOUND; }

SHIM_API int libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

SHIM_API int libusb_get_configuration(libusb_device_handle*, int* config) {
  if (config != nullptr) *config = 1;
  return LIBUSB_SUCCESS;
}

SHIM_API int libusb_set_configuration(libusb_device_handle* h, int configuration) {
  auto* c = chip_of(h);
  const int r = c != nullptr ? c->set_configuration(configuration) : LIBUSB_ERROR_NO_DEVICE;
  shim().trace.log("libusb_set_configuration %d -> %d", configuration, r);
  return r;
}

SHIM_API int libusb_claim_interface(libusb_device_handle* h, int interface_number) {
  auto* c = chip_of(h);
  const int r = refused("busy") ? LIBUSB_ERROR_BUSY
                : c != nullptr  ? c->claim_interface(interface_number)
                                : LIBUSB_ERROR_NO_DEVICE;
  if (r == 0) h->claimed = true;
  shim().trace.log("libusb_claim_interface %d -> %d", interface_number, r);
  return r;
}

SHIM_API int libusb_release_interface(libusb_device_handle* h, int interface_number) {
  auto* c = chip_of(h);
  if (h != nullptr) h->claimed = false;
  const int r = c != nullptr ? c->release_interface(interface_number) : LIBUSB_ERROR_NO_DEVICE;
  shim().trace.log("libusb_release_interface %d -> %d", interface_number, r);
  return r;
}

SHIM_API int libusb_set_interface_alt_setting(libusb_device_handle* h, int interface_number, int alt) {
  auto* c = chip_of(h);
  const int r = c != nullptr ? c->set_alt_setting(interface_number, alt) : LIBUSB_ERROR_NO_DEVICE;
  shim().trace.log("libusb_set_interface_alt_setting %d %d -> %d", interface_number, alt, r);
  return r;
}

SHIM_API int libusb_clear_halt(libusb_device_handle* h, unsigned char endpoint) {
  auto* c = chip_of(h);
  const int r = c != nullptr ? c->clear_halt(endpoint) : LIBUSB_ERROR_NO_DEVICE;
  shim().trace.log("libusb_clear_halt %02X -> %d", endpoint, r);
  return r;
}

SHIM_API int libusb_reset_device(libusb_device_handle* h) {
  auto* c = chip_of(h);
  shim().trace.log("libusb_reset_device");
  return c != nullptr ? c->set_configuration(1) : LIBUSB_ERROR_NO_DEVICE;
}

SHIM_API int libusb_control_transfer(libusb_device_handle* h, uint8_t request_type, uint8_t request, uint16_t value,
                                     uint16_t index, unsigned char* data, uint16_t length, unsigned int timeout) {
  auto* c = chip_of(h);
  if (c == nullptr) return LIBUSB_ERROR_NO_DEVICE;
  return c->control(request_type, request, value, index, data, length, deadline(timeout));
}

SHIM_API int libusb_bulk_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data, int length,
                                  int* transferred, unsigned int timeout) {
  auto* c = chip_of(h);
  int moved = 0;
  const int r = c != nullptr ? c->bulk(endpoint, data, length, moved, deadline(timeout)) : LIBUSB_ERROR_NO_DEVICE;
  if (transferred != nullptr) *transferred = moved;
  return r;
}

SHIM_API int libusb_interrupt_transfer(libusb_device_handle* h, unsigned char endpoint, unsigned char* data,
                                       int length, int* transferred, unsigned int timeout) {
  auto* c = chip_of(h);
  int moved = 0;
  const int r = c != nullptr ? c->interrupt(endpoint, data, length, moved, deadline(timeout)) : LIBUSB_ERROR_NO_DEVICE;
  if (transferred != nullptr) *transferred = moved;
  return r;
}

SHIM_API int libusb_get_string_descriptor_ascii(libusb_device_handle*, uint8_t, unsigned char*, int) {
  // The chip serves no strings.
  return LIBUSB_ERROR_PIPE;
}

SHIM_API const char* libusb_error_name(int code) {
  switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
  }
}

SHIM_API const char* libusb_strerror(int code) { return libusb_error_name(code); }
