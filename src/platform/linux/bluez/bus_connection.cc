#include "platform/linux/bluez/bus_connection.h"

#include <systemd/sd-event.h>

#include <cstring>
#include <optional>
#include <utility>

#include "platform/linux/bluez/bluez_names.h"
#include "platform/linux/bluez/bus_timeouts.h"
#include "platform/linux/bluez/owner_change.h"

namespace harlo::platform {
namespace {

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* busInterface = "org.freedesktop.DBus";

}  // namespace

std::string BusError::describe(int status) const {
  if (error_.name == nullptr) return std::strerror(-status);
  std::string text = error_.name;
  if (error_.message != nullptr) {
    text += ": ";
    text += error_.message;
  }
  return text;
}

Result<std::shared_ptr<BusConnection>, Status> BusConnection::open(RunLoop& loop) {
  sd_bus* bus = nullptr;
  const int opened = systemd().sd_bus_open_system(&bus);
  if (opened < 0) return fail(Status{opened});
  std::shared_ptr<BusConnection> connection(new BusConnection(bus));

  const int attached = systemd().sd_bus_attach_event(bus, loop.native(), SD_EVENT_PRIORITY_NORMAL);
  if (attached < 0) return fail(Status{attached});
  const Status watched = connection->watchDisconnection();
  if (watched < 0) return fail(watched);
  const Status tracked = connection->trackBluezOwner();
  if (tracked < 0) return fail(tracked);
  return connection;
}

BusConnection::~BusConnection() {
  systemd().sd_bus_slot_unref(ownerMatch_);
  systemd().sd_bus_slot_unref(disconnectMatch_);
  systemd().sd_bus_flush_close_unref(bus_);
}

Result<BusMessagePtr, BusConnection::CallFailure> BusConnection::methodCall(
    const char* service, const char* path, const char* interface, const char* member,
    const Arguments& append) {
  sd_bus_message* question = nullptr;
  int r =
      systemd().sd_bus_message_new_method_call(bus_, &question, service, path, interface, member);
  if (r < 0) return fail(CallFailure{r, std::string(member) + " could not be put together"});
  BusMessagePtr owner(question);
  if (append && (r = append(question)) < 0) {
    return fail(CallFailure{r, std::string(member) + " could not be put together"});
  }
  return owner;
}

Result<BusMessagePtr, BusConnection::CallFailure> BusConnection::call(
    const char* service, const char* path, const char* interface, const char* member,
    std::uint64_t timeoutUsec, const Arguments& append) {
  auto question = methodCall(service, path, interface, member, append);
  if (!question) return fail(question.error());
  BusError error;
  sd_bus_message* reply = nullptr;
  const int r =
      systemd().sd_bus_call(bus_, question.value().get(), timeoutUsec, error.get(), &reply);
  BusMessagePtr replyOwner(reply);
  if (r < 0) return fail(CallFailure{r, error.describe(r)});
  return replyOwner;
}

BusConnection::PendingCall::~PendingCall() { systemd().sd_bus_slot_unref(slot_); }

Result<std::unique_ptr<BusConnection::PendingCall>, BusConnection::CallFailure>
BusConnection::callAsync(const char* service, const char* path, const char* interface,
                         const char* member, std::uint64_t timeoutUsec, Answer answer,
                         const Arguments& append) {
  auto question = methodCall(service, path, interface, member, append);
  if (!question) return fail(question.error());
  std::unique_ptr<PendingCall> pending(new PendingCall());
  pending->answer_ = std::move(answer);
  const int r = systemd().sd_bus_call_async(bus_, &pending->slot_, question.value().get(),
                                            &PendingCall::onAnswer, pending.get(), timeoutUsec);
  if (r < 0)
    return fail(CallFailure{r, std::string(member) + " could not be sent: " + std::strerror(-r)});
  return pending;
}

// sd-bus holds the slot while this runs, so the callback may destroy the
// handle; the answer is moved out first, as the handle owns it.
int BusConnection::PendingCall::onAnswer(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto answer = std::move(static_cast<PendingCall*>(userdata)->answer_);
  if (!answer) return 0;
  const sd_bus_error* error = systemd().sd_bus_message_get_error(reply);
  if (error == nullptr) {
    answer(BusMessagePtr(systemd().sd_bus_message_ref(reply)));
    return 0;
  }
  const int status = -systemd().sd_bus_message_get_errno(reply);
  std::string text = error->name != nullptr ? error->name : std::strerror(-status);
  if (error->message != nullptr) text += std::string(": ") + error->message;
  answer(fail(CallFailure{status < 0 ? status : -EIO, std::move(text)}));
  return 0;
}

bool BusConnection::isBluezOwner(const char* sender) const {
  return sender != nullptr && !bluezOwner_.empty() && bluezOwner_ == sender;
}

// sd-bus tells of a lost connection with a signal it makes itself; a match on
// it is kept locally, never sent to the bus.
Status BusConnection::watchDisconnection() {
  return systemd().sd_bus_add_match(
      bus_, &disconnectMatch_,
      "type='signal',sender='org.freedesktop.DBus.Local',path='/org/freedesktop/DBus/Local',"
      "interface='org.freedesktop.DBus.Local',member='Disconnected'",
      &BusConnection::onDisconnectedSignal, this);
}

int BusConnection::onDisconnectedSignal(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<BusConnection*>(userdata);
  if (self.disconnected_) self.disconnected_();
  return 0;
}

// The match goes in before the question, so that no change of owner can fall
// between the answer and the first signal.
Status BusConnection::trackBluezOwner() {
  const std::string rule = std::string("type='signal',sender='") + busService + "',path='" +
                           busPath + "',interface='" + busInterface +
                           "',member='NameOwnerChanged',arg0='" + bluezService + "'";
  const int matched = systemd().sd_bus_add_match(bus_, &ownerMatch_, rule.c_str(),
                                                 &BusConnection::onNameOwnerChanged, this);
  if (matched < 0) return matched;

  const auto answer = call(busService, busPath, busInterface, "GetNameOwner", answerTimeoutUsec,
                           [](sd_bus_message* question) {
                             return systemd().sd_bus_message_append(question, "s", bluezService);
                           });
  // Any failed answer (normally NameHasNoOwner) leaves BlueZ absent until a
  // NameOwnerChanged signal names an owner.
  if (!answer) return statusOK;
  const char* owner = nullptr;
  if (systemd().sd_bus_message_read(answer.value().get(), "s", &owner) >= 0) bluezOwner_ = owner;
  return statusOK;
}

int BusConnection::onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto& self = *static_cast<BusConnection*>(userdata);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (systemd().sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
  std::optional<std::string> owner = bluezOwnerAfter(self.bluezOwner_, name, oldOwner, newOwner);
  if (!owner) return 0;
  const std::string previous = std::exchange(self.bluezOwner_, std::move(*owner));
  if (self.ownerChanged_) self.ownerChanged_(previous, self.bluezOwner_);
  return 0;
}

}  // namespace harlo::platform
