// ProfileObject: the org.bluez.Profile1 object this program exports, through
// which bluetoothd hands over each client of the registered profile. It is
// also the channel-open registration the bridge holds.
//
// - NewConnection(o device, h fd, a{sv} properties): accepted only from the
//   current owner of "org.bluez" (anyone else gets org.bluez.Error.Rejected,
//   and the fd, which belongs to the message, is not kept; the refusal is
//   logged with the sender's name). An accepted client is logged with its
//   device's address. The fd is
//   duplicated and made non-blocking, the call is answered, and the new
//   channel then goes to the observer in a posted task, after the reply.
// - RequestDisconnection(o device): closes the channels that came from that
//   device, then answers; from anyone but the owner of "org.bluez" it is
//   refused with org.bluez.Error.Rejected, and the refusal logged.
// - Release(): bluetoothd has dropped the registration (it is shutting down).
//   From the current owner of "org.bluez" it calls the onRelease() callback;
//   from anyone else it is ignored, and that logged.
//
// Threads: everything on the loop thread except unregister(), which is safe
// from any thread. The connection and the loop must outlive the object, and
// the observer its registration: unregister() lets go of it. Its last
// reference must go on the loop thread.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/bluez/socket_channel.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

class ProfileObject final : public ChannelOpenRegistration,
                            public std::enable_shared_from_this<ProfileObject> {
 public:
  // Exports the object at `path`. Channels report `publishedChannel` as their
  // number unless their socket tells its own. Fails with a negative errno
  // (-EEXIST when an object is already exported there).
  static Result<std::shared_ptr<ProfileObject>, Status> exportAt(
      std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log, const char* path,
      std::uint8_t publishedChannel, ChannelOpenObserver& observer);

  ~ProfileObject() override;
  ProfileObject(const ProfileObject&) = delete;
  ProfileObject& operator=(const ProfileObject&) = delete;

  // Removes the object from the bus and lets go of the observer. A channel
  // accepted before and not yet handed to the observer is closed instead.
  void unregister() override;

  // Called when BlueZ releases the profile, from inside the bus's dispatch of
  // the call: it must not drop the last reference to this object. Loop thread.
  void onRelease(std::function<void()> released) { released_ = std::move(released); }

 private:
  struct DeviceChannel {
    std::string device;  // the device's object path
    std::weak_ptr<SocketChannel> channel;
  };

  ProfileObject(std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
                std::uint8_t publishedChannel, ChannelOpenObserver& observer);
  void withdraw();
  int accept(sd_bus_message* call);
  void deliver(std::shared_ptr<SocketChannel> channel);

  static const sd_bus_vtable* vtable();
  static int onNewConnection(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int onRequestDisconnection(sd_bus_message* call, void* userdata, sd_bus_error* error);
  static int onRelease(sd_bus_message* call, void* userdata, sd_bus_error* error);

  const std::shared_ptr<BusConnection> connection_;
  RunLoop& loop_;
  Log& log_;
  const std::uint8_t publishedChannel_;

  // Loop thread only.
  ChannelOpenObserver* observer_;  // null once unregistered
  sd_bus_slot* slot_ = nullptr;    // the export; null once unregistered
  std::function<void()> released_;
  std::vector<DeviceChannel> channels_;
};

}  // namespace harlo::platform
