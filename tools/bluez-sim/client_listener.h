// Incoming Bluetooth clients, simulated by a Unix stream socket.
//
// Each connection accepted on the socket stands for one remote device that
// opened the RFCOMM channel of the listening profile (see
// ProfileRegistry::listeningProfile) through the lowest-numbered powered
// adapter (see Adapters::poweredAdapter). The simulator calls that profile's
// org.bluez.Profile1.NewConnection(o device, h fd, a{sv} {}) with the device
// path <adapter>/dev_00_00_00_00_00_01 for the first client handed over,
// ..._02 for the next, and so on, and the accepted socket, non-blocking, as
// bluetoothd passes it. With no powered adapter, or no listening profile, an
// accepted client is closed at once, without a NewConnection.
//
// Like bluetoothd it keeps its own copy of every socket it hands over, so the
// receiver's close() alone does not end the link; only shutdown() on the
// receiver's copy, or the client closing its end, does. It closes its copy
// when the socket hangs up, when NewConnection gets an error reply (or times
// out), and when the profile is removed. When the adapter a client came
// through loses power or goes, it shuts the socket down (SHUT_RDWR) and
// closes its copy: the receiver and the client both see the link end.
//
// Lines on standard error a test may wait for (a "closed" line is written
// after the simulator's copy is closed):
//   "client <n>: NewConnection(<device>) sent to <owner> <path>"
//   "client <n>: NewConnection(<device>) answered"
//   "client <n>: NewConnection(<device>) failed: <error name>: <message>; closed"
//   "client <n>: <device> hung up; closed"
//   "client <n>: <device> closed with its profile"
//   "client <n>: <device> lost its link; shut down and closed"
//   "client <n>: no powered adapter; closed"
//   "client <n>: no profile listens; closed"
//
// Single-threaded: runs on the thread of the sd-event loop. The event loop,
// the bus, the manager and the adapters must outlive the listener.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "adapters.h"
#include "base/result.h"
#include "profile_manager.h"

namespace harlo::bluez_sim {

class ClientListener final {
 public:
  // Listens on `socketPath`, replacing a socket file left there by an
  // earlier run. The error names the failing call.
  static Result<std::unique_ptr<ClientListener>, std::string> create(sd_event* event, sd_bus* bus,
                                                                     const ProfileManager& manager,
                                                                     const Adapters& adapters,
                                                                     std::string socketPath);

  // Closes every kept socket and the listening socket, and removes the
  // socket file.
  ~ClientListener();
  ClientListener(const ClientListener&) = delete;
  ClientListener& operator=(const ClientListener&) = delete;

  // Closes the kept sockets handed to the profile `owner` registered at
  // `path`.
  void closeConnectionsOf(const std::string& owner, const std::string& path);

  // Shuts down and closes the kept sockets of the clients that came through
  // the adapter at `adapterPath`.
  void dropLinksThrough(const std::string& adapterPath);

 private:
  struct Kept;

  ClientListener(sd_event* event, sd_bus* bus, const ProfileManager& manager,
                 const Adapters& adapters, std::string socketPath);

  static int onAcceptable(sd_event_source* source, int fd, std::uint32_t revents, void* self);
  static int onHangUp(sd_event_source* source, int fd, std::uint32_t revents, void* kept);
  static int onReply(sd_bus_message* reply, void* kept, sd_bus_error* error);

  void accept();
  void hand(int fd, std::string label, const std::string& adapter, const Registration& profile);
  void close(const Kept* kept);

  sd_event* event_;
  sd_bus* bus_;
  const ProfileManager& manager_;
  const Adapters& adapters_;
  std::string socketPath_;
  int listenFd_ = -1;
  sd_event_source* listenSource_ = nullptr;
  std::uint64_t clientsAccepted_ = 0;
  std::uint64_t devicesHandedOver_ = 0;
  std::vector<std::unique_ptr<Kept>> kept_;
};

}  // namespace harlo::bluez_sim
