// BusConnection: this program's connection to the D-Bus system bus, attached
// to the main run loop, and the tracked owner of BlueZ's bus name.
//
// Only the current owner of "org.bluez" may hand us channels; the connection
// learns that owner with GetNameOwner when it opens and follows every change
// through NameOwnerChanged after that.
//
// Threads: loop thread only (sd-bus does no locking of its own). Anything
// holding a connection must drop its last reference on the loop thread, and
// before the loop is destroyed.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

#include "base/result.h"
#include "platform/linux/run_loop.h"
#include "platform/linux/systemd_library.h"
#include "platform/status.h"

namespace harlo::platform {

struct BusMessageUnref {
  void operator()(sd_bus_message* message) const { systemd().sd_bus_message_unref(message); }
};
using BusMessagePtr = std::unique_ptr<sd_bus_message, BusMessageUnref>;

// An sd_bus_error that frees itself.
class BusError final {
 public:
  BusError() = default;
  ~BusError() { systemd().sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;

  sd_bus_error* get() { return &error_; }

  // "<error name>: <message>" of a failed call, or the text of `status`
  // (its negative errno) when the bus named no error.
  std::string describe(int status) const;

 private:
  // Value-initialised: all members null, which is what SD_BUS_ERROR_NULL
  // spells as a C compound literal (refused by clang's -Wpedantic in C++).
  sd_bus_error error_{};
};

class BusConnection final {
 public:
  // Opens the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured), attaches it to
  // `loop`, starts watching for its loss and tracking the owner of
  // "org.bluez" (asking the bus for it, with a bounded wait). Fails with a
  // negative errno. `loop` must outlive the connection.
  static Result<std::shared_ptr<BusConnection>, Status> open(RunLoop& loop);

  // Flushes what is queued and closes the connection.
  ~BusConnection();
  BusConnection(const BusConnection&) = delete;
  BusConnection& operator=(const BusConnection&) = delete;

  sd_bus* bus() const { return bus_; }

  // True when some connection owns "org.bluez".
  bool bluezPresent() const { return !bluezOwner_.empty(); }

  // True when `sender` (a unique bus name, may be null) owns "org.bluez" now.
  bool isBluezOwner(const char* sender) const;

  // The unique name of the owner of "org.bluez"; empty while there is none.
  const std::string& bluezOwner() const { return bluezOwner_; }

  // Why a call failed: its negative errno (-ETIMEDOUT when no answer came
  // in time) and a text naming the D-Bus error and its message, or the
  // errno's.
  struct CallFailure {
    int status;
    std::string description;
  };
  // Appends a call's arguments; a negative errno fails the call.
  using Arguments = std::function<int(sd_bus_message* call)>;

  // Calls `member` of `interface` on `path` of `service` with the arguments
  // `append` adds, and waits at most `timeoutUsec` for the answer, which
  // comes back whole: the reply, or why there is none. Dispatches nothing
  // meanwhile.
  Result<BusMessagePtr, CallFailure> call(const char* service, const char* path,
                                          const char* interface, const char* member,
                                          std::uint64_t timeoutUsec, const Arguments& append = {});

  // A call on its way (callAsync). Destroying the handle drops its answer:
  // the callback is not called after that. Loop thread.
  class PendingCall final {
   public:
    ~PendingCall();
    PendingCall(const PendingCall&) = delete;
    PendingCall& operator=(const PendingCall&) = delete;

   private:
    friend class BusConnection;
    PendingCall() = default;
    static int onAnswer(sd_bus_message* reply, void* userdata, sd_bus_error* error);

    sd_bus_slot* slot_ = nullptr;
    std::function<void(Result<BusMessagePtr, CallFailure>)> answer_;
  };
  using Answer = std::function<void(Result<BusMessagePtr, CallFailure>)>;

  // Makes the call call() makes without waiting for it: `answer` gets the
  // reply, or why there is none (-ETIMEDOUT when none came within
  // `timeoutUsec`), once, from inside the bus's dispatch, unless the handle
  // is destroyed first. It may destroy the handle. Fails at once when the
  // call cannot be sent. For calls whose callee calls this program back
  // before it answers (bluetoothd reading a GATT application), which a
  // waiting call() would never see.
  Result<std::unique_ptr<PendingCall>, CallFailure> callAsync(
      const char* service, const char* path, const char* interface, const char* member,
      std::uint64_t timeoutUsec, Answer answer, const Arguments& append = {});

  // Called with the old and the new owner (either may be empty) after each
  // change of the owner of "org.bluez" that the connection follows, from
  // inside the bus's dispatch: it must not destroy the connection.
  using OwnerChanged =
      std::function<void(const std::string& oldOwner, const std::string& newOwner)>;
  void onBluezOwnerChanged(OwnerChanged changed) { ownerChanged_ = std::move(changed); }

  // Called once the connection is lost (the bus daemon went away), from
  // inside the bus's dispatch: it must not destroy the connection. Nothing
  // works on the connection after that.
  void onDisconnected(std::function<void()> disconnected) {
    disconnected_ = std::move(disconnected);
  }

 private:
  explicit BusConnection(sd_bus* bus) : bus_(bus) {}
  // The method call `member` with the arguments `append` adds, not sent.
  Result<BusMessagePtr, CallFailure> methodCall(const char* service, const char* path,
                                                const char* interface, const char* member,
                                                const Arguments& append);
  Status watchDisconnection();
  Status trackBluezOwner();
  static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onDisconnectedSignal(sd_bus_message* message, void* userdata, sd_bus_error* error);

  sd_bus* bus_;
  sd_bus_slot* disconnectMatch_ = nullptr;
  sd_bus_slot* ownerMatch_ = nullptr;
  std::string bluezOwner_;  // unique name of the owner; empty while there is none
  OwnerChanged ownerChanged_;
  std::function<void()> disconnected_;
};

}  // namespace harlo::platform
