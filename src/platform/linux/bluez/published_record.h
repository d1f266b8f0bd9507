// PublishedRecord: a service registered with BlueZ as a server profile
// (ProfileManager1.RegisterProfile), which makes bluetoothd publish its SDP
// record (sdp_xml.h) and listen on its RFCOMM channel.
//
// The registration lives as long as the bus connection that made it, or until
// remove() (UnregisterProfile).
//
// Threads: registerProfile() on the loop thread; rfcommChannelID() and
// remove() from any thread. The connection, the loop and the log must outlive
// the record; its last reference must go on the loop thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/log.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

class PublishedRecord final : public ServiceRecord {
 public:
  // Registers the profile whose Profile1 object lives at `profilePath` for
  // the service of `description`, on RFCOMM `channel`, with its security.
  // Nothing when BlueZ answers with an error or does not answer within
  // bus_timeouts.h's bound; the failure then says why, naming the D-Bus error
  // and its message.
  static Result<std::shared_ptr<PublishedRecord>, std::string> registerProfile(
      std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log, const char* profilePath,
      const ServiceDescription& description, std::uint8_t channel);

  // The channel registered on: BlueZ listens on exactly that one, so this
  // never fails.
  Result<std::uint8_t, Status> rfcommChannelID() override { return channel_; }

  // Calls UnregisterProfile and waits a bounded time (bus_timeouts.h) for
  // the answer, whatever it is (an error or no answer in time is logged);
  // later calls do nothing. Nothing is sent once the BlueZ that took
  // the registration has left the bus: its registration is gone, and the next BlueZ may hold a
  // newer registration of ours at the same path, which must stay.
  void remove() override;

 private:
  PublishedRecord(std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
                  const char* profilePath, std::uint8_t channel, std::string registeredWith);

  const std::shared_ptr<BusConnection> connection_;
  RunLoop& loop_;
  Log& log_;
  const char* const profilePath_;  // a string literal
  const std::uint8_t channel_;
  const std::string registeredWith_;  // the owner of "org.bluez" that answered the registration
  bool removed_ = false;              // loop thread only
};

}  // namespace harlo::platform
