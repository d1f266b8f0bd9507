#include "client_listener.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace harlo::bluez_sim {

// One socket handed to a profile, with the simulator's own copy of it.
struct ClientListener::Kept {
  ClientListener* listener;
  std::string label;  // "client <n>"
  std::string adapter;
  std::string device;
  std::string owner;
  std::string path;
  int fd;
  sd_event_source* hangUp = nullptr;
  sd_bus_slot* pendingCall = nullptr;
};

namespace {

std::string errnoText(const char* call) { return std::string(call) + ": " + std::strerror(errno); }

std::string devicePath(const std::string& adapter, std::uint64_t number) {
  char device[32];
  std::snprintf(
      device, sizeof device, "/dev_%02X_%02X_%02X_%02X_%02X_%02X",
      static_cast<unsigned>((number >> 40) & 0xFF), static_cast<unsigned>((number >> 32) & 0xFF),
      static_cast<unsigned>((number >> 24) & 0xFF), static_cast<unsigned>((number >> 16) & 0xFF),
      static_cast<unsigned>((number >> 8) & 0xFF), static_cast<unsigned>(number & 0xFF));
  return adapter + device;
}

}  // namespace

ClientListener::ClientListener(sd_event* event, sd_bus* bus, const ProfileManager& manager,
                               const Adapters& adapters, std::string socketPath)
    : event_(event),
      bus_(bus),
      manager_(manager),
      adapters_(adapters),
      socketPath_(std::move(socketPath)) {}

Result<std::unique_ptr<ClientListener>, std::string> ClientListener::create(
    sd_event* event, sd_bus* bus, const ProfileManager& manager, const Adapters& adapters,
    std::string socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path)
    return fail("socket path too long: " + socketPath);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);

  std::unique_ptr<ClientListener> listener(
      new ClientListener(event, bus, manager, adapters, std::move(socketPath)));
  struct stat existing {};
  if (::lstat(listener->socketPath_.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
    ::unlink(listener->socketPath_.c_str());
  }
  listener->listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener->listenFd_ < 0) return fail(errnoText("socket"));
  if (::bind(listener->listenFd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return fail(errnoText("bind"));
  }
  if (::listen(listener->listenFd_, 16) != 0) return fail(errnoText("listen"));
  int r = sd_event_add_io(event, &listener->listenSource_, listener->listenFd_, EPOLLIN,
                          &ClientListener::onAcceptable, listener.get());
  if (r < 0) return fail("sd_event_add_io: " + std::string(std::strerror(-r)));
  return listener;
}

ClientListener::~ClientListener() {
  while (!kept_.empty()) close(kept_.back().get());
  sd_event_source_disable_unref(listenSource_);
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(socketPath_.c_str());
  }
}

int ClientListener::onAcceptable(sd_event_source*, int, std::uint32_t, void* self) {
  static_cast<ClientListener*>(self)->accept();
  return 0;
}

void ClientListener::accept() {
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
      logWarning(errnoText("accept4"));
    return;
  }
  std::string label = "client " + std::to_string(++clientsAccepted_);
  auto adapter = adapters_.poweredAdapter();
  const Registration* profile = manager_.listeningProfile();
  if (!adapter || profile == nullptr) {
    ::close(fd);
    logLine(label + (adapter ? ": no profile listens; closed" : ": no powered adapter; closed"));
    return;
  }
  hand(fd, std::move(label), *adapter, *profile);
}

void ClientListener::hand(int fd, std::string label, const std::string& adapter,
                          const Registration& profile) {
  auto kept = std::make_unique<Kept>(Kept{this, std::move(label), adapter,
                                          devicePath(adapter, ++devicesHandedOver_), profile.owner,
                                          profile.path, fd});
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, profile.owner.c_str(), profile.path.c_str(),
                                         "org.bluez.Profile1", "NewConnection");
  // Appending the fd puts a duplicate into the message; `fd` stays ours.
  if (r >= 0) r = sd_bus_message_append(call, "oha{sv}", kept->device.c_str(), fd, 0);
  if (r >= 0)
    r = sd_bus_call_async(bus_, &kept->pendingCall, call, &ClientListener::onReply, kept.get(), 0);
  sd_bus_message_unref(call);
  // No events requested: epoll still reports hang-up and error, and the
  // simulator must never read the bytes meant for the receiver.
  if (r >= 0)
    r = sd_event_add_io(event_, &kept->hangUp, fd, 0, &ClientListener::onHangUp, kept.get());
  if (r < 0) {
    logWarning(kept->label + ": could not send NewConnection: " + std::strerror(-r) + "; closed");
    sd_bus_slot_unref(kept->pendingCall);
    ::close(fd);
    return;
  }
  logLine(kept->label + ": NewConnection(" + kept->device + ") sent to " + profile.owner + " " +
          profile.path);
  kept_.push_back(std::move(kept));
}

int ClientListener::onReply(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* kept = static_cast<Kept*>(data);
  kept->pendingCall = sd_bus_slot_unref(kept->pendingCall);
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (error == nullptr) {
    logLine(kept->label + ": NewConnection(" + kept->device + ") answered");
    return 0;
  }
  std::string line = kept->label + ": NewConnection(" + kept->device + ") failed: " + error->name +
                     ": " + (error->message ? error->message : "") + "; closed";
  kept->listener->close(kept);
  logLine(line);
  return 0;
}

int ClientListener::onHangUp(sd_event_source*, int, std::uint32_t, void* data) {
  auto* kept = static_cast<Kept*>(data);
  std::string line = kept->label + ": " + kept->device + " hung up; closed";
  kept->listener->close(kept);
  logLine(line);
  return 0;
}

void ClientListener::closeConnectionsOf(const std::string& owner, const std::string& path) {
  std::vector<const Kept*> matching;
  for (const auto& kept : kept_) {
    if (kept->owner == owner && kept->path == path) matching.push_back(kept.get());
  }
  for (const Kept* kept : matching) {
    std::string line = kept->label + ": " + kept->device + " closed with its profile";
    close(kept);
    logLine(line);
  }
}

void ClientListener::dropLinksThrough(const std::string& adapterPath) {
  std::vector<const Kept*> through;
  for (const auto& kept : kept_) {
    if (kept->adapter == adapterPath) through.push_back(kept.get());
  }
  for (const Kept* kept : through) {
    std::string line = kept->label + ": " + kept->device + " lost its link; shut down and closed";
    ::shutdown(kept->fd, SHUT_RDWR);
    close(kept);
    logLine(line);
  }
}

void ClientListener::close(const Kept* kept) {
  auto it =
      std::find_if(kept_.begin(), kept_.end(), [&](const auto& k) { return k.get() == kept; });
  if (it == kept_.end()) return;
  sd_event_source_disable_unref((*it)->hangUp);
  sd_bus_slot_unref((*it)->pendingCall);
  ::close((*it)->fd);
  kept_.erase(it);
}

}  // namespace harlo::bluez_sim
