// libsystemd (sd-event and sd-bus), loaded when bridge mode first needs it
// instead of when the program starts.
//
// The library brings libgcrypt, liblz4, liblzma, libzstd and libcap with it;
// mapping them at exec time would cost every run of the fixed reports more
// than the reports themselves take. Only bridge mode uses the library, so it
// is opened with dlopen() on first use and every function is reached through
// one table. Nothing in the program links libsystemd directly: a call that
// bypassed the table would fail to link.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>

namespace harlo::platform {

// Every libsystemd function the program calls.
#define HARLO_SYSTEMD_FUNCTIONS(X)  \
  X(sd_bus_add_match)               \
  X(sd_bus_add_object_manager)      \
  X(sd_bus_add_object_vtable)       \
  X(sd_bus_attach_event)            \
  X(sd_bus_call)                    \
  X(sd_bus_call_async)              \
  X(sd_bus_error_free)              \
  X(sd_bus_flush_close_unref)       \
  X(sd_bus_message_append)          \
  X(sd_bus_message_close_container) \
  X(sd_bus_message_enter_container) \
  X(sd_bus_message_exit_container)  \
  X(sd_bus_message_get_cookie)      \
  X(sd_bus_message_get_errno)       \
  X(sd_bus_message_get_error)       \
  X(sd_bus_message_get_path)        \
  X(sd_bus_message_get_sender)      \
  X(sd_bus_message_new_method_call) \
  X(sd_bus_message_open_container)  \
  X(sd_bus_message_peek_type)       \
  X(sd_bus_message_read)            \
  X(sd_bus_message_read_array)      \
  X(sd_bus_message_ref)             \
  X(sd_bus_message_skip)            \
  X(sd_bus_message_unref)           \
  X(sd_bus_open_system)             \
  X(sd_bus_reply_method_errorf)     \
  X(sd_bus_reply_method_return)     \
  X(sd_bus_slot_unref)              \
  X(sd_event_add_io)                \
  X(sd_event_add_signal)            \
  X(sd_event_add_time)              \
  X(sd_event_new)                   \
  X(sd_event_run)                   \
  X(sd_event_source_disable_unref)  \
  X(sd_event_source_set_enabled)    \
  X(sd_event_source_set_io_events)  \
  X(sd_event_source_set_time)       \
  X(sd_event_unref)

// The functions, each member named and typed as the function it points to.
struct SystemdLibrary {
#define HARLO_SYSTEMD_MEMBER(name) decltype(&::name) name = nullptr;
  HARLO_SYSTEMD_FUNCTIONS(HARLO_SYSTEMD_MEMBER)
#undef HARLO_SYSTEMD_MEMBER
  // The variable whose address marks an object vtable's layout; what
  // SD_BUS_VTABLE_START refers to (see exportedVtableStart).
  const unsigned* sd_bus_object_vtable_format = nullptr;
};

// Opens libsystemd.so.0 and resolves every function, the first time only;
// later calls return the same answer. Null when the library or any function
// is missing. Thread-safe. The library stays loaded for the process's life.
const SystemdLibrary* loadSystemdLibrary();

// The loaded library, loading it if needed. RunLoop::create fails when the
// library cannot be loaded, and every other use of libsystemd needs a run
// loop first, so callers always find it here; should the library be missing
// all the same, this ends the process.
const SystemdLibrary& systemd();

// The first entry of an object vtable, as SD_BUS_VTABLE_START(flags) writes
// it but referring to the loaded library's layout marker: the macro names
// the marker as a symbol, which a program that does not link libsystemd
// cannot resolve.
sd_bus_vtable exportedVtableStart(std::uint64_t flags);

}  // namespace harlo::platform
