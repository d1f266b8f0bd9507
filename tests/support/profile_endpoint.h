// ProfileEndpoint: an org.bluez.Profile1 object exported by the test on a
// BusClient, to receive what bluez-sim sends a registered profile.
//
// It records every NewConnection (keeping a duplicate of the fd, which the
// test then owns) and Release call (RequestDisconnection is only ever sent
// to client roles, which bluez-sim does not serve). NewConnection is
// answered with success unless refuseNewConnections() named an error.
// Calls are handled while the test runs BusClient::processUntil:
//
//   auto profile = ProfileEndpoint::exportOn(*client, "/test/profile");
//   auto clientFd = sim->connectClient();
//   ASSERT_TRUE(client->processUntil([&] { return profile.value()->connections().size() == 1; }));
//
// The BusClient must outlive the endpoint. Not thread-safe.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "bluez-sim/profile_settings.h"
#include "harness_names.h"

namespace harlo::test_support {

class ProfileEndpoint final {
 public:
  struct Connection {
    std::string sender;                                // unique name of the caller
    std::string device;                                // object path of the remote device
    UniqueFd fd;                                       // the test's own duplicate of the fd passed
    std::vector<bluez_sim::ProfileOption> properties;  // the fd_properties dict
  };

  // Exports the object at `path`. Fails with the reason.
  static Result<std::unique_ptr<ProfileEndpoint>, std::string> exportOn(BusClient& bus,
                                                                        std::string path);

  // Removes the object from the bus.
  ~ProfileEndpoint();
  ProfileEndpoint(const ProfileEndpoint&) = delete;
  ProfileEndpoint& operator=(const ProfileEndpoint&) = delete;

  const std::string& path() const { return path_; }

  // From now on NewConnection is answered with the D-Bus error `name`
  // (its fd is still recorded).
  void refuseNewConnections(std::string name, std::string message);

  std::vector<Connection>& connections() { return connections_; }
  int releaseCalls() const { return releaseCalls_; }

 private:
  explicit ProfileEndpoint(std::string path) : path_(std::move(path)) {}

  static const sd_bus_vtable* vtable();
  static int onNewConnection(sd_bus_message* message, void* self, sd_bus_error* error);
  static int onRelease(sd_bus_message* message, void* self, sd_bus_error* error);

  std::string path_;
  sd_bus_slot* slot_ = nullptr;
  std::string refusalName_;
  std::string refusalMessage_;
  std::vector<Connection> connections_;
  int releaseCalls_ = 0;
};

}  // namespace harlo::test_support
