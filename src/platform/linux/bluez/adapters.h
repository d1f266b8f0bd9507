// Adapters: bluetoothd's Bluetooth adapters as the platform follows them on
// one bus connection (an AdapterWatch), with what the log and the service's
// observer are told of them.
//
// The log gets the adapters each time they are read, and every change after
// that (adapter_table.h's adapterChanges). The observer is told whether a
// powered adapter is present when that is known and differs from what it
// was told last.
//
// Threads: loop thread only, as the connection. Its last reference must go
// on the loop thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/bluez/adapter_watch.h"
#include "platform/linux/bluez/bluetooth_address.h"
#include "platform/linux/bluez/bus_connection.h"

namespace harlo::platform {

class Adapters final {
 public:
  // Starts following the adapters on `connection`; they are unknown until
  // read(). Fails with a negative errno. `log` must outlive the object.
  static Result<std::unique_ptr<Adapters>, Status> follow(std::shared_ptr<BusConnection> connection,
                                                          Log& log);

  // Reads every adapter anew (a bounded wait) and logs them; nothing is
  // known when they cannot be read.
  void read();

  // The service is lost: nothing is known, and nothing has been told.
  void forget();

  // The observer changes: the next tell() tells it the state again.
  void untell() { told_.reset(); }

  // Tells `observer` (if any) whether a powered adapter is present, when
  // that is known and differs from what it was told last.
  void tell(BluetoothServiceObserver* observer);

  // Logs what changed since the adapters were last logged.
  void logChanges();

  // The addresses of the adapters known, for the channel check.
  std::vector<BluetoothAddress> addresses() const;

  // The object paths of the adapters known, for the service over LE.
  std::vector<std::string> paths() const;

  // Called after each change the watch takes, from inside the bus's
  // dispatch: it must not destroy the object.
  void onChanged(std::function<void()> changed) { watch_->onChanged(std::move(changed)); }

 private:
  Adapters(std::unique_ptr<AdapterWatch> watch, Log& log) : watch_(std::move(watch)), log_(log) {}

  std::unique_ptr<AdapterWatch> watch_;
  Log& log_;
  std::vector<AdapterTable::Adapter> logged_;  // as the log last told them
  std::optional<bool> told_;                   // what the observer was told last
};

}  // namespace harlo::platform
