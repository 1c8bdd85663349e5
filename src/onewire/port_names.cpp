#include "onewire/port_names.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "onewire/ds2482/chip_address.hpp"
#include "onewire/i2c/i2c_buses.hpp"
#include "onewire/usb/ds2490_devices.hpp"
#include "onewire/w1/w1_master.hpp"
#include "rtl/com_ports.hpp"
#include "rtl/sysutils.hpp"

namespace onewire {
namespace {

// "COM3", "usb12": the number after a three-letter prefix, read as the
// component reads its port names (StrToIntDef), 1..kMaxPortNumber.
std::optional<int> prefixed_number(const std::string& text, std::string_view prefix) {
  if (text.size() < 4 || CompareText(std::string_view(text).substr(0, 3), prefix) != 0) return std::nullopt;
  const std::int32_t n = StrToIntDef(std::string_view(text).substr(3), -1);
  if (n < 1 || n > kMaxPortNumber) return std::nullopt;
  return n;
}

bool is_path(const std::string& text) {
  return text.find('/') != std::string::npos || text.find('\\') != std::string::npos;
}

// A kernel master by its name or its sysfs folder.
std::optional<int> master_of(const std::string& text) {
  const auto slash = text.find_last_of('/');
  const auto n = w1::master_number(slash == std::string::npos ? text : text.substr(slash + 1));
  if (!n || *n > kMaxPortNumber) return std::nullopt;
  return n;
}

// The number `path` is pinned to, or else the highest one neither pinned
// nor given to a device by the system; 0 when every number is taken.
int number_for_path(const std::string& path) {
  bool taken[kMaxPortNumber + 1] = {};
  for (const rtl::com::PortEntry& e : rtl::com::enumerate_ports()) {
    if (e.path == path) return e.number;
    if (e.number >= 1 && e.number <= kMaxPortNumber) taken[e.number] = true;
  }
  for (int n = kMaxPortNumber; n >= 1; --n)
    // On Windows every unpinned number is the system's own \\.\COMn: only
    // the pins take numbers away there, and the highest are rarely used.
    if (!taken[n]) return n;
  return 0;
}

PortResolution refuse(PortForm form, std::string reason = "") {
  PortResolution r;
  r.expected = port_forms_text(form);
  r.reason = std::move(reason);
  return r;
}

PortResolution pinned(const std::string& text, PortForm form) {
  const int number = number_for_path(text);
  if (number == 0) return refuse(form, "every port number from 1 to 255 is taken");
  rtl::com::pin_port(number, text);
  PortResolution r;
  r.port = PortName{form, number, text, text};
  return r;
}

std::mutex g_failures_mu;
std::map<std::string, OpenFailure>& failures() {
  static std::map<std::string, OpenFailure> table;
  return table;
}

}  // namespace

std::optional<PortForm> form_of_name(const std::string& text) {
  if (prefixed_number(text, "USB")) return PortForm::kUsb;
  if (master_of(text)) return PortForm::kKernelW1;
  return std::nullopt;
}

PortFormWords port_form_words(PortForm form) {
  switch (form) {
    case PortForm::kSerial:
      return {"a COM name or a device path", "COM3, /dev/ttyUSB0, a pseudo-terminal", "serial ports"};
    case PortForm::kUsb:
      return {"a USB adapter", "USB1", "USB adapters"};
    case PortForm::kI2c:
      return {"an I2C bus with the chip's address and channel", "/dev/i2c-1, /dev/i2c-1:0x1A:3", "I2C buses"};
    case PortForm::kKernelW1:
      return {"a kernel w1 master", "w1_bus_master1, or its number", "kernel w1 masters"};
  }
  return {"", "", ""};
}

std::string port_forms_text(PortForm form) {
  const PortFormWords w = port_form_words(form);
  return std::string(w.what) + " (" + w.examples + ")";
}

PortResolution resolve_port(const std::string& text, PortForm form) {
  PortResolution r;
  switch (form) {
    case PortForm::kSerial: {
      if (const auto n = prefixed_number(text, "COM")) {
        r.port = PortName{form, *n, text, port_device(form, *n).value_or("")};
        return r;
      }
      if (form_of_name(text) || !is_path(text)) return refuse(form);
      return pinned(text, form);
    }
    case PortForm::kUsb: {
      const auto n = prefixed_number(text, "USB");
      if (!n) return refuse(form);
      r.port = PortName{form, *n, text, "USB" + std::to_string(*n)};
      return r;
    }
    case PortForm::kI2c: {
      if (!is_path(text) || form_of_name(text)) return refuse(form);
      std::string why;
      if (!ds2482::parse_chip_address(text, &why)) return refuse(form, why);
      return pinned(text, form);
    }
    case PortForm::kKernelW1: {
      auto n = master_of(text);
      if (!n) {
        // The number alone, as the kernel writes it.
        const std::int32_t k = StrToIntDef(text, -1);
        if (k >= 1 && k <= kMaxPortNumber && std::to_string(k) == text) n = k;
      }
      if (!n) return refuse(form);
      const std::string name = "w1_bus_master" + std::to_string(*n);
      r.port = PortName{form, *n, name, name};
      return r;
    }
  }
  return refuse(form);
}

std::optional<std::string> port_device(PortForm form, int number) {
  if (number < 1 || number > kMaxPortNumber) return std::nullopt;
  switch (form) {
    case PortForm::kSerial:
    case PortForm::kI2c:
      return rtl::com::path_for_port(number);
    case PortForm::kUsb:
      return "USB" + std::to_string(number);
    case PortForm::kKernelW1:
      return "w1_bus_master" + std::to_string(number);
  }
  return std::nullopt;
}

void pin_port(int number, std::string path) { rtl::com::pin_port(number, std::move(path)); }

void unpin_port(int number) { rtl::com::unpin_port(number); }

std::vector<PortListing> list_ports(PortForm form) {
  std::vector<PortListing> out;
  switch (form) {
    case PortForm::kSerial:
      for (const rtl::com::PortEntry& e : rtl::com::enumerate_ports())
        out.push_back({"COM" + std::to_string(e.number), e.path});
      break;
    case PortForm::kUsb:
      for (const usb::Ds2490Location& d : usb::enumerate_ds2490())
        out.push_back({"USB" + std::to_string(d.number),
                       "DS2490 on bus " + std::to_string(d.bus) + ", device " + std::to_string(d.address)});
      break;
    case PortForm::kI2c:
      for (const i2c::I2cBusEntry& b : i2c::enumerate_buses())
        out.push_back({b.path, b.name.empty() ? "I2C bus" : "I2C bus " + b.name});
      break;
    case PortForm::kKernelW1:
      for (const w1::MasterInfo& m : w1::list_masters()) {
        if (m.number > kMaxPortNumber) continue;
        const std::string devices =
            m.devices < 0 ? "" : ", " + std::to_string(m.devices) + (m.devices == 1 ? " device" : " devices");
        out.push_back({"w1_bus_master" + std::to_string(m.number), m.directory + " (kernel w1 master" + devices + ")"});
      }
      break;
  }
  return out;
}

OpenFailure os_open_failure(const char* call, int error_number) {
  OpenFailure f;
  f.call = call;
  f.code = error_number;
  f.text = std::strerror(error_number);
  switch (error_number) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      f.problem = OpenProblem::kAbsent;
      break;
    case EACCES:
    case EPERM:
      f.problem = OpenProblem::kDenied;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      f.problem = OpenProblem::kBusy;
      break;
    case ENOTTY:
      f.problem = OpenProblem::kNotAdapter;
      break;
    default:
      f.problem = OpenProblem::kOther;
  }
  return f;
}

void note_open_failure(const std::string& device, OpenFailure failure) {
  std::lock_guard<std::mutex> lock(g_failures_mu);
  failures()[device] = std::move(failure);
}

void note_open_success(const std::string& device) {
  std::lock_guard<std::mutex> lock(g_failures_mu);
  failures().erase(device);
}

std::optional<OpenFailure> last_open_failure(const std::string& device) {
  std::lock_guard<std::mutex> lock(g_failures_mu);
  const auto it = failures().find(device);
  if (it == failures().end()) return std::nullopt;
  return it->second;
}

std::optional<OpenFailure> last_open_failure(const PortName& port) {
  if (port.device.empty()) return std::nullopt;
  if (port.form == PortForm::kI2c) {
    // The bus is what opens; the address and channel are the chip's.
    const auto chip = ds2482::parse_chip_address(port.device);
    return chip ? last_open_failure(chip->device) : std::nullopt;
  }
  return last_open_failure(port.device);
}

}  // namespace onewire
