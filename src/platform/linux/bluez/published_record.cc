#include "platform/linux/bluez/published_record.h"

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_timeouts.h"
#include "platform/linux/bluez/sdp_xml.h"

namespace harlo::platform {

Result<std::shared_ptr<PublishedRecord>, std::string> PublishedRecord::registerProfile(
    std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log, const char* profilePath,
    const ServiceDictionary& description) {
  const std::optional<std::string> xml = sdpRecordXml(description);
  const std::optional<std::string> uuid = serviceUUIDOf(description);
  const std::optional<std::string> name = serviceNameOf(description);
  const std::optional<std::uint8_t> channel = rfcommChannelOf(description);
  if (!xml || !uuid || !name || !channel) {
    return fail(std::string("the record description lacks the service UUID, name or channel"));
  }

  sd_bus_message* call = nullptr;
  if (systemd().sd_bus_message_new_method_call(connection->bus(), &call, bluezService,
                                               bluezManagerPath, profileManagerInterface,
                                               "RegisterProfile") < 0) {
    return fail(std::string("RegisterProfile could not be put together"));
  }
  const BusMessagePtr callOwner(call);
  // BlueZ takes each option only with exactly this type: a Channel of any
  // other type is ignored without an error, and then nothing listens.
  const int appended =
      systemd().sd_bus_message_append(call, "osa{sv}", profilePath, uuid->c_str(), 7,   //
                                      "Name", "s", name->c_str(),                       //
                                      "Role", "s", "server",                            //
                                      "Channel", "q", static_cast<unsigned>(*channel),  //
                                      "ServiceRecord", "s", xml->c_str(),               //
                                      "RequireAuthentication", "b", 1,                  //
                                      "RequireAuthorization", "b", 1,                   //
                                      "AutoConnect", "b", 0);
  if (appended < 0) return fail(std::string("RegisterProfile could not be put together"));

  BusError error;
  sd_bus_message* reply = nullptr;
  const int called =
      systemd().sd_bus_call(connection->bus(), call, answerTimeoutUsec, error.get(), &reply);
  const BusMessagePtr replyOwner(reply);
  if (called < 0) return fail("RegisterProfile failed: " + error.describe(called));
  const char* sender = systemd().sd_bus_message_get_sender(reply);
  std::string registeredWith = sender != nullptr ? sender : connection->bluezOwner();
  return std::shared_ptr<PublishedRecord>(new PublishedRecord(
      std::move(connection), loop, log, profilePath, *channel, std::move(registeredWith)));
}

PublishedRecord::PublishedRecord(std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
                                 const char* profilePath, std::uint8_t channel,
                                 std::string registeredWith)
    : connection_(std::move(connection)),
      loop_(loop),
      log_(log),
      profilePath_(profilePath),
      channel_(channel),
      registeredWith_(std::move(registeredWith)) {}

void PublishedRecord::remove() {
  loop_.postAndWait([this] {
    if (removed_) return;
    removed_ = true;
    if (!connection_->isBluezOwner(registeredWith_.c_str())) return;
    sd_bus_message* call = nullptr;
    if (systemd().sd_bus_message_new_method_call(connection_->bus(), &call, bluezService,
                                                 bluezManagerPath, profileManagerInterface,
                                                 "UnregisterProfile") < 0) {
      return;
    }
    const BusMessagePtr callOwner(call);
    if (systemd().sd_bus_message_append(call, "o", profilePath_) < 0) return;
    // The answer is awaited, briefly: the process may be about to exit, and
    // the call must have reached bluetoothd first. Its content does not
    // matter, and a bluetoothd that does not answer in time cannot hold the
    // stop (the registration ends with the connection anyway).
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called =
        systemd().sd_bus_call(connection_->bus(), call, withdrawalTimeoutUsec, error.get(), &reply);
    systemd().sd_bus_message_unref(reply);
    if (called == -ETIMEDOUT) {
      log_.write(Log::Level::warning,
                 "bluetoothd did not answer UnregisterProfile within " +
                     std::to_string(withdrawalTimeoutUsec / 1'000'000) +
                     " s; the registration ends with the helper's bus connection");
    } else if (called < 0) {
      log_.write(Log::Level::warning, "UnregisterProfile failed: " + error.describe(called));
    }
  });
}

}  // namespace harlo::platform
