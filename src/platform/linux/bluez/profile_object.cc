#include "platform/linux/bluez/profile_object.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/device_path.h"
#include "platform/linux/errno_status.h"

namespace harlo::platform {
namespace {

constexpr int firstFreeFd = 3;  // above standard input, output and error

// Keeps our own copy of a descriptor that belongs to a D-Bus message, made
// non-blocking. The copy, or nothing with errno set.
int ownNonBlockingCopy(int fd) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, firstFreeFd);
  if (copy < 0) return -1;
  const int flags = fcntl(copy, F_GETFL);
  if (flags < 0 || fcntl(copy, F_SETFL, flags | O_NONBLOCK) < 0) {
    const int reason = errno;
    ::close(copy);
    errno = reason;
    return -1;
  }
  return copy;
}

// The line logged when a call only bluetoothd may make comes from someone
// else: what was done about it ("refused a connection offered by"), then the
// caller's bus name.
std::string foreignCallLine(std::string_view outcome, const char* sender) {
  return std::string(outcome) + " " + (sender != nullptr ? sender : "an unnamed sender") +
         ", which is not bluetoothd (the owner of org.bluez)";
}

}  // namespace

Result<std::shared_ptr<ProfileObject>, Status> ProfileObject::exportAt(
    std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log, const char* path,
    std::uint8_t publishedChannel, ChannelOpenObserver& observer) {
  sd_bus* bus = connection->bus();
  std::shared_ptr<ProfileObject> object(
      new ProfileObject(std::move(connection), loop, log, publishedChannel, observer));
  const int exported = systemd().sd_bus_add_object_vtable(bus, &object->slot_, path,
                                                          profileInterface, vtable(), object.get());
  if (exported < 0) return fail(Status{exported});
  return object;
}

ProfileObject::ProfileObject(std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
                             std::uint8_t publishedChannel, ChannelOpenObserver& observer)
    : connection_(std::move(connection)),
      loop_(loop),
      log_(log),
      publishedChannel_(publishedChannel),
      observer_(&observer) {}

ProfileObject::~ProfileObject() { withdraw(); }

void ProfileObject::unregister() {
  loop_.postAndWait([this] { withdraw(); });
}

void ProfileObject::withdraw() {
  slot_ = systemd().sd_bus_slot_unref(slot_);
  observer_ = nullptr;
}

const sd_bus_vtable* ProfileObject::vtable() {
  // Unprivileged: on the system bus the bus policy decides who may call us,
  // and the handlers check that the caller is BlueZ.
  static const sd_bus_vtable methods[] = {
      exportedVtableStart(0),
      SD_BUS_METHOD("NewConnection", "oha{sv}", "", &ProfileObject::onNewConnection,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("RequestDisconnection", "o", "", &ProfileObject::onRequestDisconnection,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("Release", "", "", &ProfileObject::onRelease,
                    SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
      SD_BUS_VTABLE_END,
  };
  return methods;
}

int ProfileObject::onNewConnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  return static_cast<ProfileObject*>(userdata)->accept(call);
}

// A negative return makes sd-bus answer with the matching error.
int ProfileObject::accept(sd_bus_message* call) {
  const char* sender = systemd().sd_bus_message_get_sender(call);
  if (!connection_->isBluezOwner(sender)) {
    log_.write(Log::Level::warning, foreignCallLine("refused a connection offered by", sender));
    return systemd().sd_bus_reply_method_errorf(call, rejectedError, "only %s may open channels",
                                                bluezService);
  }
  const char* device = nullptr;
  int fd = -1;
  const int parsed = systemd().sd_bus_message_read(call, "oh", &device, &fd);
  if (parsed < 0) return parsed;
  const int copy = ownNonBlockingCopy(fd);
  if (copy < 0) return statusFromErrno(errno);

  const std::string address = deviceAddressOf(device);
  auto channel = SocketChannel::create(loop_, copy, publishedChannel_, log_, address);
  log_.write(Log::Level::info, "client " + address + " connected on RFCOMM channel " +
                                   std::to_string(unsigned{channel->channelID()}));
  std::erase_if(channels_, [](const DeviceChannel& known) { return known.channel.expired(); });
  channels_.push_back(DeviceChannel{device, channel});

  const int replied = systemd().sd_bus_reply_method_return(call, "");
  if (replied < 0) {
    channel->closeBecause("the answer to bluetoothd could not be sent");
    return replied;
  }
  // Posted, so that the reply is on its way before the observer acts.
  loop_.post([weak = weak_from_this(), channel = std::move(channel)] {
    const auto self = weak.lock();
    if (self && self->observer_ != nullptr) {
      self->observer_->handleChannelOpen(*self, channel);
    } else {
      channel->closeBecause("the helper stopped taking clients");  // unregistered meanwhile
    }
  });
  return 1;
}

int ProfileObject::onRequestDisconnection(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<ProfileObject*>(userdata);
  const char* sender = systemd().sd_bus_message_get_sender(call);
  if (!self.connection_->isBluezOwner(sender)) {
    self.log_.write(Log::Level::warning,
                    foreignCallLine("refused a disconnection asked by", sender));
    return systemd().sd_bus_reply_method_errorf(call, rejectedError, "only %s may close channels",
                                                bluezService);
  }
  const char* device = nullptr;
  const int parsed = systemd().sd_bus_message_read(call, "o", &device);
  if (parsed < 0) return parsed;
  std::erase_if(self.channels_, [device](const DeviceChannel& known) {
    if (known.device != device) return false;
    if (const auto channel = known.channel.lock()) {
      channel->closeBecause("bluetoothd asked to disconnect the device");
    }
    return true;
  });
  return systemd().sd_bus_reply_method_return(call, "");
}

// bluetoothd calls this once it has dropped the registration (it is shutting
// down) and expects no answer; sd-bus sends none to a call that asks for none.
// No new channel will come through this registration. Only the current owner
// of "org.bluez" can release it: a stale or foreign call changes nothing but
// the log.
int ProfileObject::onRelease(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<ProfileObject*>(userdata);
  const char* sender = systemd().sd_bus_message_get_sender(call);
  if (!self.connection_->isBluezOwner(sender)) {
    self.log_.write(Log::Level::warning, foreignCallLine("ignored a release asked by", sender));
  } else if (self.released_) {
    self.released_();
  }
  return systemd().sd_bus_reply_method_return(call, "");
}

}  // namespace harlo::platform
