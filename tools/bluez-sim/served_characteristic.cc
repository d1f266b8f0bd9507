#include "served_characteristic.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "att_errors.h"
#include "bus_calls.h"
#include "log.h"

namespace harlo::bluez_sim {

// An AcquireNotify awaiting its answer.
struct ServedCharacteristic::PendingNotify {
  PendingNotify(ServedCharacteristic* s, std::string d) : self(s), device(std::move(d)) {}
  ~PendingNotify() { sd_bus_slot_unref(call); }
  PendingNotify(const PendingNotify&) = delete;
  PendingNotify& operator=(const PendingNotify&) = delete;

  ServedCharacteristic* self;
  std::string device;
  bool forgotten = false;  // its device dropped its link
  sd_bus_slot* call = nullptr;
};

// A write not yet handed over.
struct ServedCharacteristic::Write {
  Write(ServedCharacteristic* s, Access a, std::string v, WriteDone d)
      : self(s), access(std::move(a)), value(std::move(v)), done(std::move(d)) {}
  ~Write() { sd_bus_slot_unref(call); }
  Write(const Write&) = delete;
  Write& operator=(const Write&) = delete;

  ServedCharacteristic* self;
  Access access;
  std::string value;
  WriteDone done;  // empty once it has been told its outcome
  bool linkDropped = false;
  sd_bus_slot* call = nullptr;  // its WriteValue, when awaiting a reply
};

namespace {

constexpr const char* characteristicInterface = "org.bluez.GattCharacteristic1";
constexpr std::size_t notifyReadSize = 512;  // bluetoothd's sock_io_read buffer

Failure<SimError> failed(std::string message) {
  return fail(SimError{"org.harlo.BluezSim.Error.Failed", std::move(message)});
}

constexpr std::uint32_t readable = EPOLLIN;

// A descriptor of our own for the one the reply carries, non-blocking; -1
// on failure.
int takeDescriptor(int fd) {
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own >= 0 && ::fcntl(own, F_SETFL, ::fcntl(own, F_GETFL) | O_NONBLOCK) != 0) {
    ::close(own);
    return -1;
  }
  return own;
}

// Reads the (h, q) of an Acquire reply and takes the descriptor.
bool readAcquired(sd_bus_message* reply, int& fd, std::uint16_t& mtu) {
  int passed = -1;
  if (sd_bus_message_read(reply, "hq", &passed, &mtu) < 0) return false;
  fd = takeDescriptor(passed);
  return fd >= 0;
}

std::string hex(std::uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", code);
  return text;
}

}  // namespace

ServedCharacteristic::ServedCharacteristic(sd_event* event, sd_bus* bus, std::string owner,
                                           GattCharacteristic definition, PacketSink sink)
    : event_(event),
      bus_(bus),
      owner_(std::move(owner)),
      definition_(std::move(definition)),
      sink_(std::move(sink)) {}

ServedCharacteristic::~ServedCharacteristic() {
  pendingNotifies_.clear();
  acquireWriteCall_ = sd_bus_slot_unref(acquireWriteCall_);
  for (auto& write : acquiring_) finish(*write, failed("the GATT application went away"));
  for (auto& write : valueWrites_) finish(*write, failed("the GATT application went away"));
  closeNotifySocket();
  closeWriteSocket();
  for (int fd : lostNotifyFds_) ::close(fd);
}

void ServedCharacteristic::log(const std::string& text) const {
  logLine(definition_.path + ": " + text);
}

void ServedCharacteristic::sendNotifyCall(const char* member) {
  int r = sendWithoutReply(bus_, owner_, definition_.path, characteristicInterface, member);
  if (r < 0) {
    logWarning(definition_.path + ": could not send " + member + ": " + std::strerror(-r));
  } else {
    log(std::string(member) + " sent to " + owner_);
  }
}

void ServedCharacteristic::countSubscription() {
  ++notifyCount_;
  log(std::to_string(notifyCount_) + " subscribed");
}

void ServedCharacteristic::enableNotifications(const Access& access) {
  if (notifyFd_ >= 0) {
    ++notifyCount_;
    log("notify socket held; " + std::to_string(notifyCount_) + " subscribed");
    return;
  }
  if (definition_.hasNotifyAcquired) {
    auto pending = std::make_unique<PendingNotify>(this, access.device);
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &call, owner_.c_str(), definition_.path.c_str(),
                                           characteristicInterface, "AcquireNotify");
    if (r >= 0) r = appendLinkOptions(call, access.device, access.mtu);
    if (r >= 0) {
      r = sd_bus_call_async(bus_, &pending->call, call, &ServedCharacteristic::onAcquireNotifyReply,
                            pending.get(), gattCallTimeoutMicroseconds);
    }
    sd_bus_message_unref(call);
    if (r >= 0) {
      log("AcquireNotify sent to " + owner_ + " for " + access.device);
      pendingNotifies_.push_back(std::move(pending));
      return;
    }
  }
  sendNotifyCall("StartNotify");
  countSubscription();
}

int ServedCharacteristic::onAcquireNotifyReply(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* pending = static_cast<PendingNotify*>(data);
  ServedCharacteristic& self = *pending->self;
  auto it = std::find_if(self.pendingNotifies_.begin(), self.pendingNotifies_.end(),
                         [&](const auto& p) { return p.get() == pending; });
  std::unique_ptr<PendingNotify> answered = std::move(*it);
  self.pendingNotifies_.erase(it);
  if (answered->forgotten) {
    self.log("AcquireNotify answered after " + answered->device + " dropped its link; ignored");
    return 0;
  }
  std::string name = errorNameOf(reply);
  if (!name.empty()) {
    std::string failure = "AcquireNotify failed: " + name + ": " + errorMessageOf(reply);
    if (name == "org.freedesktop.DBus.Error.NoReply" || name == "org.bluez.Error.Failed") {
      self.log(failure + "; nothing more");
      return 0;
    }
    self.log(failure + "; StartNotify sent");
    self.sendNotifyCall("StartNotify");
    self.countSubscription();
    return 0;
  }
  int fd = -1;
  std::uint16_t mtu = 0;
  if (!readAcquired(reply, fd, mtu)) {
    self.log("AcquireNotify answered without a socket and MTU; StartNotify sent");
    self.sendNotifyCall("StartNotify");
    self.countSubscription();
    return 0;
  }
  self.log("AcquireNotify answered: notify socket held, MTU " + std::to_string(mtu));
  self.holdNotifySocket(fd);
  self.countSubscription();
  return 0;
}

void ServedCharacteristic::holdNotifySocket(int fd) {
  if (notifyFd_ >= 0) {
    logWarning(definition_.path +
               ": a second notify socket replaces the first, which stays open and unread");
    notifySource_ = sd_event_source_disable_unref(notifySource_);
    lostNotifyFds_.push_back(notifyFd_);
  }
  notifyFd_ = fd;
  reading_ = true;
  int r = sd_event_add_io(event_, &notifySource_, fd, stalled_ ? 0 : readable,
                          &ServedCharacteristic::onNotifySocket, this);
  if (r < 0)
    logWarning(definition_.path + ": cannot watch the notify socket: " + std::strerror(-r));
}

int ServedCharacteristic::onNotifySocket(sd_event_source*, int fd, std::uint32_t revents,
                                         void* data) {
  auto& self = *static_cast<ServedCharacteristic*>(data);
  bool hungUp = (revents & (EPOLLHUP | EPOLLERR)) != 0;
  if ((revents & EPOLLIN) != 0 && self.reading_ && !self.stalled_) {
    char packet[notifyReadSize];
    ssize_t n = ::read(fd, packet, sizeof packet);
    if (n > 0) {
      self.sink_(self, std::string_view(packet, static_cast<std::size_t>(n)));
      return 0;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    if (!hungUp) {
      self.reading_ = false;
      sd_event_source_set_io_events(self.notifySource_, 0);
      self.log(n == 0 ? "notify socket read 0 bytes; no longer read"
                      : "notify socket read failed: " + std::string(std::strerror(errno)) +
                            "; no longer read");
      return 0;
    }
  }
  if (hungUp) {
    self.closeNotifySocket();
    self.log("notify socket hung up; closed");
  }
  return 0;
}

void ServedCharacteristic::closeNotifySocket() {
  notifySource_ = sd_event_source_disable_unref(notifySource_);
  if (notifyFd_ >= 0) ::close(notifyFd_);
  notifyFd_ = -1;
}

void ServedCharacteristic::disableNotifications() {
  if (notifyCount_ == 0) return;
  --notifyCount_;
  log(std::to_string(notifyCount_) + " subscribed");
  if (notifyCount_ > 0) return;
  if (notifyFd_ >= 0) {
    closeNotifySocket();
    log("notify socket closed: nobody subscribed");
    return;
  }
  sendNotifyCall("StopNotify");
}

void ServedCharacteristic::setStalled(bool stalled) {
  stalled_ = stalled;
  if (notifySource_ != nullptr)
    sd_event_source_set_io_events(notifySource_, reading_ && !stalled ? readable : 0);
}

void ServedCharacteristic::valueChanged(std::string_view value) {
  sink_(*this, value.substr(0, notifyReadSize));
}

void ServedCharacteristic::confirmIndication() { sendNotifyCall("Confirm"); }

void ServedCharacteristic::forgetDevice(const std::string& device) {
  for (auto& pending : pendingNotifies_) {
    if (pending->device == device) pending->forgotten = true;
  }
  auto drop = [&](Write& write) {
    if (write.access.device != device) return;
    write.linkDropped = true;
    finish(write, fail(SimError{"org.harlo.BluezSim.Error.NotConnected", "the link dropped"}));
  };
  for (auto& write : acquiring_) drop(*write);
  for (auto& write : valueWrites_) drop(*write);
}

void ServedCharacteristic::write(const Access& access, std::string value, WriteDone done) {
  auto write = std::make_unique<Write>(this, access, std::move(value), std::move(done));
  if (writeFd_ >= 0) {
    if (sendOnWriteSocket(write->value)) {
      finish(*write, {});
    } else {
      finish(*write, failed("ATT error 0x0e: not sent on the write socket"));
    }
    return;
  }
  if (definition_.hasWriteAcquired) {
    if (!acquiring_.empty() && acquireWriteCall_ == nullptr) {
      logWarning(definition_.path + ": a write of " + std::to_string(write->value.size()) +
                 " bytes is never handed over (an earlier one never completed)");
      finish(*write, fail(SimError{"org.harlo.BluezSim.Error.NoResponse",
                                   "bluetoothd 5.66 never hands this write over: an earlier write "
                                   "to the characteristic never completed"}));
      return;
    }
    acquiring_.push_back(std::move(write));
    if (acquiring_.size() == 1) acquireWrite();
    return;
  }
  writeValue(std::move(write), !definition_.writeWithoutResponse);
}

void ServedCharacteristic::acquireWrite() {
  const Write& first = *acquiring_.front();
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, owner_.c_str(), definition_.path.c_str(),
                                         characteristicInterface, "AcquireWrite");
  if (r >= 0) r = appendLinkOptions(call, first.access.device, first.access.mtu);
  if (r >= 0) {
    r = sd_bus_call_async(bus_, &acquireWriteCall_, call,
                          &ServedCharacteristic::onAcquireWriteReply, this,
                          gattCallTimeoutMicroseconds);
  }
  sd_bus_message_unref(call);
  if (r >= 0) {
    log("AcquireWrite sent to " + owner_ + " for " + first.access.device);
    return;
  }
  auto write = std::move(acquiring_.front());
  acquiring_.pop_front();
  writeValue(std::move(write), !definition_.writeWithoutResponse);
}

int ServedCharacteristic::onAcquireWriteReply(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto& self = *static_cast<ServedCharacteristic*>(data);
  self.acquireWriteCall_ = sd_bus_slot_unref(self.acquireWriteCall_);
  Write& first = *self.acquiring_.front();
  if (first.linkDropped) {
    self.log("AcquireWrite answered after " + first.access.device +
             " dropped its link; ignored, and later writes are never handed over");
    return 0;
  }
  std::string name = errorNameOf(reply);
  if (!name.empty()) {
    std::string message = errorMessageOf(reply);
    std::uint8_t code = attErrorOf(name, message, attWriteNotPermitted);
    std::string failure = "AcquireWrite failed: " + name + ": " + message;
    if (code != attUnlikely) {
      self.log(failure + "; the write fails with ATT error " + hex(code) +
               " and later writes are never handed over");
      finish(first, fail(SimError{name, message}));
      return 0;
    }
    self.log(failure + "; WriteValue instead");
    self.flushToWriteValue();
    return 0;
  }
  int fd = -1;
  std::uint16_t mtu = 0;
  if (!readAcquired(reply, fd, mtu)) {
    self.log("AcquireWrite answered without a socket and MTU; WriteValue instead");
    self.flushToWriteValue();
    return 0;
  }
  self.log("AcquireWrite answered: write socket held, MTU " + std::to_string(mtu));
  self.writeFd_ = fd;
  int r = sd_event_add_io(self.event_, &self.writeSource_, fd, 0,
                          &ServedCharacteristic::onWriteSocket, &self);
  if (r < 0) logWarning(self.path() + ": cannot watch the write socket: " + std::strerror(-r));
  while (!self.acquiring_.empty()) {
    auto write = std::move(self.acquiring_.front());
    self.acquiring_.pop_front();
    if (!self.sendOnWriteSocket(write->value)) {
      self.acquiring_.push_front(std::move(write));
      self.flushToWriteValue();
      return 0;
    }
    finish(*write, {});
  }
  return 0;
}

void ServedCharacteristic::flushToWriteValue() {
  while (!acquiring_.empty()) {
    auto write = std::move(acquiring_.front());
    acquiring_.pop_front();
    writeValue(std::move(write), true);
  }
}

bool ServedCharacteristic::sendOnWriteSocket(const std::string& value) {
  if (writeFd_ < 0) return false;
  ssize_t n = ::send(writeFd_, value.data(), value.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0) {
    logWarning(definition_.path + ": " + std::to_string(value.size()) +
               " bytes not sent on the write socket: " + std::strerror(errno));
    return false;
  }
  return true;
}

int ServedCharacteristic::onWriteSocket(sd_event_source*, int, std::uint32_t revents, void* data) {
  auto& self = *static_cast<ServedCharacteristic*>(data);
  if ((revents & (EPOLLHUP | EPOLLERR)) != 0) {
    self.closeWriteSocket();
    self.log("write socket hung up; closed");
  }
  return 0;
}

void ServedCharacteristic::closeWriteSocket() {
  writeSource_ = sd_event_source_disable_unref(writeSource_);
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
}

void ServedCharacteristic::writeValue(std::unique_ptr<Write> write, bool awaitReply) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, owner_.c_str(), definition_.path.c_str(),
                                         characteristicInterface, "WriteValue");
  if (r >= 0) r = sd_bus_message_append_array(call, 'y', write->value.data(), write->value.size());
  if (r >= 0) r = appendLinkOptions(call, write->access.device, write->access.mtu);
  if (r >= 0 && !awaitReply) {
    r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(bus_, call, nullptr);
  } else if (r >= 0) {
    r = sd_bus_call_async(bus_, &write->call, call, &ServedCharacteristic::onWriteValueReply,
                          write.get(), gattCallTimeoutMicroseconds);
  }
  sd_bus_message_unref(call);
  if (r < 0) {
    logWarning(definition_.path + ": could not send WriteValue: " + std::strerror(-r));
    finish(*write, failed("ATT error 0x0e: WriteValue could not be sent"));
    return;
  }
  if (!awaitReply) {
    finish(*write, {});
    return;
  }
  valueWrites_.push_back(std::move(write));
}

int ServedCharacteristic::onWriteValueReply(sd_bus_message* reply, void* data, sd_bus_error*) {
  auto* pending = static_cast<Write*>(data);
  ServedCharacteristic& self = *pending->self;
  auto it = std::find_if(self.valueWrites_.begin(), self.valueWrites_.end(),
                         [&](const auto& w) { return w.get() == pending; });
  std::unique_ptr<Write> write = std::move(*it);
  self.valueWrites_.erase(it);
  std::string name = errorNameOf(reply);
  if (!name.empty()) {
    std::string message = errorMessageOf(reply);
    self.log("WriteValue failed: " + name + ": " + message);
    finish(*write, fail(SimError{name, message}));
    return 0;
  }
  if (sd_bus_message_peek_type(reply, nullptr, nullptr) > 0) {
    self.log("WriteValue answered with a value");
    finish(*write, failed("ATT error 0x06: WriteValue answered with a value"));
    return 0;
  }
  finish(*write, {});
  return 0;
}

void ServedCharacteristic::finish(Write& write, Result<void, SimError> outcome) {
  if (!write.done) return;
  WriteDone done = std::move(write.done);
  write.done = nullptr;
  done(std::move(outcome));
}

}  // namespace harlo::bluez_sim
