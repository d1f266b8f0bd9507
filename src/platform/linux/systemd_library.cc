#include "platform/linux/systemd_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace harlo::platform {
namespace {

const SystemdLibrary* openLibrary() {
  void* handle = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  static SystemdLibrary library;
  bool complete = true;
#define HARLO_SYSTEMD_RESOLVE(name)                                              \
  library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, #name)); \
  complete = complete && library.name != nullptr;
  HARLO_SYSTEMD_FUNCTIONS(HARLO_SYSTEMD_RESOLVE)
  HARLO_SYSTEMD_RESOLVE(sd_bus_object_vtable_format)
#undef HARLO_SYSTEMD_RESOLVE
  return complete ? &library : nullptr;
}

}  // namespace

const SystemdLibrary* loadSystemdLibrary() {
  static const SystemdLibrary* const loaded = openLibrary();
  return loaded;
}

const SystemdLibrary& systemd() {
  const SystemdLibrary* library = loadSystemdLibrary();
  if (library == nullptr) {
    std::fputs("libsystemd.so.0 cannot be loaded\n", stderr);
    std::abort();
  }
  return *library;
}

sd_bus_vtable exportedVtableStart(std::uint64_t flags) {
  sd_bus_vtable start{};
  start.type = _SD_BUS_VTABLE_START;
  start.flags = flags;
  start.x.start.element_size = sizeof(sd_bus_vtable);
  start.x.start.features = _SD_BUS_VTABLE_PARAM_NAMES;
  start.x.start.vtable_format_reference = systemd().sd_bus_object_vtable_format;
  return start;
}

}  // namespace harlo::platform
