// Binds the 13 operations of a driver library by their undecorated names.
// All of them or none: a library that lacks one is not the driver the
// component expects, and half a driver would fail in stranger ways. The
// block exchange is bound when the library has it (ours does, the
// vendor's does not).
#include "onewire/vendor_driver.hpp"

#include "rtl/win32/windows.hpp"

#include <cstdint>

#include "onewire/errors.hpp"

namespace onewire {
namespace {

// The library's calling convention: stdcall on 32-bit Windows, the one
// convention of 64-bit Windows otherwise.
using GetTypeVersionFn = std::int16_t(WINAPI*)(std::int16_t, char*);
using StartSessionFn = std::int32_t(WINAPI*)(std::int16_t, std::int16_t, void*);
using SessionFn = std::int16_t(WINAPI*)(std::int32_t);
using OneWireComFn = std::int16_t(WINAPI*)(std::int32_t, std::int16_t, std::int16_t);
using StateFn = std::int16_t(WINAPI*)(std::int32_t, void*);
using RomFn = std::int16_t(WINAPI*)(std::int32_t, void*, std::uint16_t*);
using TouchByteFn = std::int16_t(WINAPI*)(std::int32_t, std::int16_t);
using BlockExchangeFn = std::int16_t(WINAPI*)(std::int32_t, void*, std::int16_t, std::uint8_t*, std::int16_t);

struct Entries {
  GetTypeVersionFn get_type_version = nullptr;
  StartSessionFn extended_start_session = nullptr;
  SessionFn setup = nullptr;
  SessionFn valid_session = nullptr;
  OneWireComFn one_wire_com = nullptr;
  StateFn first = nullptr;
  StateFn next = nullptr;
  RomFn rom = nullptr;
  StateFn access = nullptr;
  SessionFn touch_reset = nullptr;
  TouchByteFn touch_byte = nullptr;
  SessionFn end_session = nullptr;
  SessionFn close = nullptr;
  // Optional: only our own driver library has them.
  BlockExchangeFn block_exchange = nullptr;
  StateFn device_power = nullptr;
};

template <typename Fn>
bool bind(HMODULE module, const char* name, Fn& out) {
  // GetProcAddress returns a generic function pointer; the cast through
  // void* keeps the compiler from judging the two signatures.
  out = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return out != nullptr;
}

bool bind_all(HMODULE module, Entries& e) {
  return bind(module, "TMGetTypeVersion", e.get_type_version) &&
         bind(module, "TMExtendedStartSession", e.extended_start_session) && bind(module, "TMSetup", e.setup) &&
         bind(module, "TMValidSession", e.valid_session) && bind(module, "TMOneWireCom", e.one_wire_com) &&
         bind(module, "TMFirst", e.first) && bind(module, "TMNext", e.next) && bind(module, "TMRom", e.rom) &&
         bind(module, "TMAccess", e.access) && bind(module, "TMTouchReset", e.touch_reset) &&
         bind(module, "TMTouchByte", e.touch_byte) && bind(module, "TMEndSession", e.end_session) &&
         bind(module, "TMClose", e.close);
}

class VendorDriver final : public TmexDriver {
 public:
  explicit VendorDriver(const wchar_t* dll_name) {
    if (dll_name == nullptr) return;
    module_ = LoadLibraryW(dll_name);
    if (module_ == nullptr) return;
    if (!bind_all(module_, e_)) {
      FreeLibrary(module_);
      module_ = nullptr;
      e_ = Entries{};
      return;
    }
    bind(module_, "QvBlockExchange", e_.block_exchange);
    bind(module_, "QvDevicePower", e_.device_power);
  }
  ~VendorDriver() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  VendorDriver(const VendorDriver&) = delete;
  VendorDriver& operator=(const VendorDriver&) = delete;

  std::int16_t TMGetTypeVersion(std::int16_t adapter_type, char* buffer) override {
    return module_ ? e_.get_type_version(adapter_type, buffer) : kErrNoDriver;
  }
  std::int32_t TMExtendedStartSession(std::int16_t port, std::int16_t adapter_type, void* reserved) override {
    return module_ ? e_.extended_start_session(port, adapter_type, reserved) : kErrNoDriver;
  }
  std::int16_t TMSetup(std::int32_t session) override { return module_ ? e_.setup(session) : kErrNoDriver; }
  std::int16_t TMValidSession(std::int32_t session) override {
    return module_ ? e_.valid_session(session) : kErrNoDriver;
  }
  std::int16_t TMOneWireCom(std::int32_t session, std::int16_t operation, std::int16_t time_mode) override {
    return module_ ? e_.one_wire_com(session, operation, time_mode) : kErrNoDriver;
  }
  std::int16_t TMFirst(std::int32_t session, void* state) override {
    return module_ ? e_.first(session, state) : kErrNoDriver;
  }
  std::int16_t TMNext(std::int32_t session, void* state) override {
    return module_ ? e_.next(session, state) : kErrNoDriver;
  }
  std::int16_t TMRom(std::int32_t session, void* state, std::uint16_t* rom) override {
    return module_ ? e_.rom(session, state, rom) : kErrNoDriver;
  }
  std::int16_t TMAccess(std::int32_t session, void* state) override {
    return module_ ? e_.access(session, state) : kErrNoDriver;
  }
  std::int16_t TMTouchReset(std::int32_t session) override { return module_ ? e_.touch_reset(session) : kErrNoDriver; }
  std::int16_t TMTouchByte(std::int32_t session, std::int16_t byte) override {
    return module_ ? e_.touch_byte(session, byte) : kErrNoDriver;
  }
  std::int16_t TMEndSession(std::int32_t session) override { return module_ ? e_.end_session(session) : kErrNoDriver; }
  std::int16_t TMClose(std::int32_t session) override { return module_ ? e_.close(session) : kErrNoDriver; }
  bool offers_block_exchange() const override { return module_ != nullptr && e_.block_exchange != nullptr; }
  std::int16_t QvBlockExchange(std::int32_t session, void* state, std::int16_t mode, std::uint8_t* buffer,
                               std::int16_t length) override {
    if (!offers_block_exchange()) return kErrNotOffered;
    return e_.block_exchange(session, state, mode, buffer, length);
  }
  std::int16_t QvDevicePower(std::int32_t session, void* state) override {
    if (module_ == nullptr || e_.device_power == nullptr) return kErrNotOffered;
    return e_.device_power(session, state);
  }

 private:
  HMODULE module_ = nullptr;
  Entries e_;
};

}  // namespace

std::shared_ptr<TmexDriver> load_vendor_driver(const wchar_t* dll_name) {
  return std::make_shared<VendorDriver>(dll_name);
}

}  // namespace onewire
