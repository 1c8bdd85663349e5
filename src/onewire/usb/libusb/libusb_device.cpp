// The DS2490's transport over libusb-1.0.
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <mutex>

#include "onewire/ds2490/protocol.hpp"
#include "onewire/usb/ds2490_devices.hpp"

namespace onewire::usb {

namespace {

// One context for the process, made on first use and kept: devices may be
// opened and closed from any thread at any time.
libusb_context* context() {
  static std::once_flag once;
  static libusb_context* ctx = nullptr;
  std::call_once(once, [] {
    if (libusb_init(&ctx) != 0) ctx = nullptr;
  });
  return ctx;
}

unsigned int timeout_ms(rtl::Duration d) {
  // libusb takes 0 as "no deadline": every transfer gets at least 1 ms.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
  return static_cast<unsigned int>(std::clamp<long long>(ms, 1, 3'600'000));
}

struct Found {
  libusb_device* device;
  Ds2490Location where;
};

// The DS2490s in port-number order; the devices carry a reference each.
std::vector<Found> list_ds2490() {
  std::vector<Found> found;
  libusb_context* ctx = context();
  if (ctx == nullptr) return found;
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0 || list == nullptr) return found;
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
    if (d.idVendor != ds2490::kVendorId || d.idProduct != ds2490::kProductId) continue;
    found.push_back({libusb_ref_device(list[i]),
                     {0, libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])}});
  }
  libusb_free_device_list(list, 1);
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return a.where.bus != b.where.bus ? a.where.bus < b.where.bus : a.where.address < b.where.address;
  });
  for (std::size_t i = 0; i < found.size(); ++i) found[i].where.number = static_cast<int>(i + 1);
  return found;
}

class LibusbDevice final : public ds2490::UsbDevice {
 public:
  explicit LibusbDevice(int number) : number_(number) {}
  ~LibusbDevice() override { close(); }

  int open() override {
    close();
    auto found = list_ds2490();
    libusb_device* device = nullptr;
    for (const auto& f : found) {
      if (f.where.number == number_) device = libusb_ref_device(f.device);
      libusb_unref_device(f.device);
    }
    if (device == nullptr) return ds2490::kUsbErrorNoDevice;
    const int r = libusb_open(device, &handle_);
    libusb_unref_device(device);
    if (r != 0) {
      handle_ = nullptr;
      return r;
    }
    // The kernel's own DS2490 driver holds interface 0 from plug-in on;
    // it is given back when we release the interface.
    if (libusb_set_auto_detach_kernel_driver(handle_, 1) != 0) {
      if (libusb_kernel_driver_active(handle_, ds2490::kInterface) == 1 &&
          libusb_detach_kernel_driver(handle_, ds2490::kInterface) == 0)
        detached_by_hand_ = true;
    }
    return ds2490::kUsbSuccess;
  }

  void close() override {
    if (handle_ == nullptr) return;
    if (claimed_) libusb_release_interface(handle_, ds2490::kInterface);
    if (detached_by_hand_) libusb_attach_kernel_driver(handle_, ds2490::kInterface);
    libusb_close(handle_);
    handle_ = nullptr;
    claimed_ = false;
    detached_by_hand_ = false;
  }

  bool is_open() const override { return handle_ != nullptr; }

  int set_configuration(int configuration) override {
    return handle_ == nullptr ? ds2490::kUsbErrorNoDevice : libusb_set_configuration(handle_, configuration);
  }
  int claim_interface(int interface_number) override {
    if (handle_ == nullptr) return ds2490::kUsbErrorNoDevice;
    const int r = libusb_claim_interface(handle_, interface_number);
    if (r == 0) claimed_ = true;
    return r;
  }
  int release_interface(int interface_number) override {
    if (handle_ == nullptr) return ds2490::kUsbErrorNoDevice;
    claimed_ = false;
    return libusb_release_interface(handle_, interface_number);
  }
  int set_alt_setting(int interface_number, int alt_setting) override {
    return handle_ == nullptr ? ds2490::kUsbErrorNoDevice
                              : libusb_set_interface_alt_setting(handle_, interface_number, alt_setting);
  }
  int clear_halt(std::uint8_t endpoint) override {
    return handle_ == nullptr ? ds2490::kUsbErrorNoDevice : libusb_clear_halt(handle_, endpoint);
  }
  int control(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
              std::uint8_t* data, std::uint16_t length, rtl::Duration timeout) override {
    if (handle_ == nullptr) return ds2490::kUsbErrorNoDevice;
    return libusb_control_transfer(handle_, request_type, request, value, index, data, length, timeout_ms(timeout));
  }
  int bulk(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred, rtl::Duration timeout) override {
    transferred = 0;
    if (handle_ == nullptr) return ds2490::kUsbErrorNoDevice;
    return libusb_bulk_transfer(handle_, endpoint, data, length, &transferred, timeout_ms(timeout));
  }
  int interrupt(std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                rtl::Duration timeout) override {
    transferred = 0;
    if (handle_ == nullptr) return ds2490::kUsbErrorNoDevice;
    return libusb_interrupt_transfer(handle_, endpoint, data, length, &transferred, timeout_ms(timeout));
  }

 private:
  int number_;
  libusb_device_handle* handle_ = nullptr;
  bool claimed_ = false;
  bool detached_by_hand_ = false;
};

}  // namespace

// Built with libusb: whether a device is there is for open() to find out.
bool usb_available() { return true; }

std::vector<Ds2490Location> enumerate_ds2490() {
  std::vector<Ds2490Location> out;
  for (const auto& f : list_ds2490()) {
    out.push_back(f.where);
    libusb_unref_device(f.device);
  }
  return out;
}

std::unique_ptr<ds2490::UsbDevice> make_ds2490_device(int number) { return std::make_unique<LibusbDevice>(number); }

}  // namespace onewire::usb
