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
    const ServiceDescription& description, std::uint8_t channel) {
  const std::string xml = sdpRecordXml(description, channel);
  // BlueZ compares the UUID as a raw string: lower case, as the record has it.
  const std::string uuid = uuidText(description.uuid);
  const auto answer = connection->call(
      bluezService, bluezManagerPath, profileManagerInterface, "RegisterProfile", answerTimeoutUsec,
      [&](sd_bus_message* call) {
        // BlueZ takes each option only with exactly this type: a Channel of
        // any other type is ignored without an error, and then nothing
        // listens.
        return systemd().sd_bus_message_append(
            call, "osa{sv}", profilePath, uuid.c_str(), 7,                         //
            "Name", "s", description.name.c_str(),                                 //
            "Role", "s", "server",                                                 //
            "Channel", "q", static_cast<unsigned>(channel),                        //
            "ServiceRecord", "s", xml.c_str(),                                     //
            "RequireAuthentication", "b", int{description.requireAuthentication},  //
            "RequireAuthorization", "b", int{description.requireAuthorization},    //
            "AutoConnect", "b", 0);
      });
  if (!answer) return fail("RegisterProfile failed: " + answer.error().description);
  const char* sender = systemd().sd_bus_message_get_sender(answer.value().get());
  std::string registeredWith = sender != nullptr ? sender : connection->bluezOwner();
  return std::shared_ptr<PublishedRecord>(new PublishedRecord(
      std::move(connection), loop, log, profilePath, channel, std::move(registeredWith)));
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
    // The answer is awaited, briefly: the process may be about to exit, and
    // the call must have reached bluetoothd first. Its content does not
    // matter, and a bluetoothd that does not answer in time cannot hold the
    // stop (the registration ends with the connection anyway).
    const auto answer =
        connection_->call(bluezService, bluezManagerPath, profileManagerInterface,
                          "UnregisterProfile", withdrawalTimeoutUsec, [this](sd_bus_message* call) {
                            return systemd().sd_bus_message_append(call, "o", profilePath_);
                          });
    if (answer) return;
    if (answer.error().status == -ETIMEDOUT) {
      log_.write(Log::Level::warning,
                 "bluetoothd did not answer UnregisterProfile within " +
                     std::to_string(withdrawalTimeoutUsec / 1'000'000) +
                     " s; the registration ends with the helper's bus connection");
    } else {
      log_.write(Log::Level::warning, "UnregisterProfile failed: " + answer.error().description);
    }
  });
}

}  // namespace harlo::platform
