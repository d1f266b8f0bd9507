// One characteristic of a registered GATT application at run time, as
// bluetoothd 5.66 keeps it (gatt-database.c's external_chrc): the count of
// subscriptions and the one notify socket that every device's subscription
// shares, the one write socket every device's writes share, and the calls
// that bluetoothd makes on the application's object for them. Every call is
// asynchronous and every socket non-blocking.
//
// Notifications (ccc_write_cb). Enabling, when a notify socket is held, only
// counts; otherwise, if the object has NotifyAcquired, AcquireNotify(a{sv}
// {"device": o, "link": "LE", "mtu": q}) goes out and its answer is awaited
// (the count is not raised meanwhile): a socket answered is kept and counted;
// org.bluez.Error.Failed or NoReply do nothing more; any other error, or a
// reply that is not (h, q), sends StartNotify() and counts. Without
// NotifyAcquired, StartNotify() goes out and counts. An answer to an
// AcquireNotify whose device's link dropped since is ignored (its socket
// closed). A second socket answered while one is held replaces it; the first
// stays open and is never read again, as bluetoothd loses it. Disabling at a
// count of 0 does nothing; otherwise the count drops and at 0 the socket is
// closed if held (the application sees its end hang up), else StopNotify()
// goes out. StartNotify, StopNotify and Confirm (for each indication a
// device confirms) expect no reply.
//
// The notify socket is read as bluetoothd reads it: one read of at most 512
// bytes each time it is readable, each read one packet for the sink. A read
// of 0 bytes without a hang-up stops the reading for good (the socket stays
// held); a hang-up closes it (the count stays). While stalled nothing is read
// (a hang-up is still seen). A PropertiesChanged of Value from the owner
// (valueChanged) is a packet too, cut to 512 bytes.
//
// Writes (chrc_write_cb). With a write socket held the value is sent on it as
// one packet (MSG_DONTWAIT): a send that fails fails the write. Otherwise, if
// the object has WriteAcquired, AcquireWrite(a{sv} {"device", "link", "mtu"})
// goes out, and writes arriving meanwhile wait behind it. Its answer: a
// socket is kept and each waiting value sent on it in order (a send failing
// passes that one and the rest to WriteValue); an error that bluetoothd maps
// to "unlikely" (att_errors.h), or a reply that is not (h, q), passes every
// waiting write to WriteValue with a reply awaited; any other error fails the
// first write with the application's error and leaves it waiting for good,
// and an answer whose first write's device dropped its link is ignored: as
// with bluetoothd, no later write to the characteristic is ever handed over
// (each fails at once with org.harlo.BluezSim.Error.NoResponse here). Without
// WriteAcquired, WriteValue(ay value, a{sv} {"device", "link", "mtu"}) goes
// out, with a reply awaited only when the characteristic lacks
// write-without-response (bluetoothd answers the remote at once otherwise);
// an error reply fails the write with the application's error. The write
// socket is never read; its hang-up closes it, and the next write acquires
// again. Calls awaiting a reply wait at most 300 s, as bluetoothd's do.
//
// Lines on standard error, each starting with the characteristic's path:
//   "<chrc>: AcquireNotify sent to <owner> for <device>"
//   "<chrc>: AcquireNotify answered: notify socket held, MTU <mtu>"
//   "<chrc>: AcquireNotify failed: <error name>: <message>; nothing more"
//   "<chrc>: AcquireNotify failed: <error name>: <message>; StartNotify sent"
//   "<chrc>: AcquireNotify answered after <device> dropped its link; ignored"
//   "<chrc>: StartNotify sent to <owner>"
//   "<chrc>: StopNotify sent to <owner>"
//   "<chrc>: Confirm sent to <owner>"
//   "<chrc>: notify socket held; <count> subscribed"
//   "<chrc>: <count> subscribed"
//   "<chrc>: notify socket closed: nobody subscribed"
//   "<chrc>: notify socket hung up; closed"
//   "<chrc>: notify socket read 0 bytes; no longer read"
//   "warning: <chrc>: a second notify socket replaces the first, which stays open and unread"
//   "<chrc>: AcquireWrite sent to <owner> for <device>"
//   "<chrc>: AcquireWrite answered: write socket held, MTU <mtu>"
//   "<chrc>: AcquireWrite failed: <error name>: <message>; WriteValue instead"
//   "<chrc>: AcquireWrite failed: <error name>: <message>; the write fails with ATT error 0x<nn>
//    and later writes are never handed over"
//   "<chrc>: AcquireWrite answered after <device> dropped its link; ignored, and later writes
//    are never handed over"
//   "warning: <chrc>: <n> bytes not sent on the write socket: <why>"
//   "warning: <chrc>: a write of <n> bytes is never handed over (an earlier one never completed)"
//   "<chrc>: WriteValue failed: <error name>: <message>"
//   "<chrc>: write socket hung up; closed"
//
// Single-threaded: runs on the thread of the sd-event loop. The loop and the
// bus must outlive it.
#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "gatt_application.h"
#include "sim_error.h"

namespace harlo::bluez_sim {

class ServedCharacteristic final {
 public:
  // Called with each packet to notify.
  using PacketSink = std::function<void(ServedCharacteristic&, std::string_view packet)>;
  // Called once a write has been handed over, or has failed.
  using WriteDone = std::function<void(Result<void, SimError>)>;

  // The device an access comes from, and its link's ATT MTU.
  struct Access {
    std::string device;
    std::uint16_t mtu;
  };

  ServedCharacteristic(sd_event* event, sd_bus* bus, std::string owner,
                       GattCharacteristic definition, PacketSink sink);

  // Closes the sockets (leaked ones too) and cancels the calls; a write not
  // yet handed over fails with org.harlo.BluezSim.Error.Failed.
  ~ServedCharacteristic();
  ServedCharacteristic(const ServedCharacteristic&) = delete;
  ServedCharacteristic& operator=(const ServedCharacteristic&) = delete;

  const GattCharacteristic& definition() const { return definition_; }
  const std::string& path() const { return definition_.path; }

  // A CCC write enabling notifications or indications, from `access`.
  void enableNotifications(const Access& access);

  // A CCC write disabling them, or a device's subscription cleared.
  void disableNotifications();

  // `device` dropped its link: answers to the calls it caused go to nobody,
  // and its writes not yet handed over fail with
  // org.harlo.BluezSim.Error.NotConnected.
  void forgetDevice(const std::string& device);

  // A value written by `access`'s device.
  void write(const Access& access, std::string value, WriteDone done);

  // While stalled the notify socket is not read.
  void setStalled(bool stalled);

  // The owner announced a new Value (PropertiesChanged).
  void valueChanged(std::string_view value);

  // A device confirmed an indication: Confirm() goes to the owner (no reply
  // expected).
  void confirmIndication();

 private:
  struct PendingNotify;
  struct Write;

  static int onAcquireNotifyReply(sd_bus_message* reply, void* pending, sd_bus_error* error);
  static int onAcquireWriteReply(sd_bus_message* reply, void* self, sd_bus_error* error);
  static int onWriteValueReply(sd_bus_message* reply, void* write, sd_bus_error* error);
  static int onNotifySocket(sd_event_source* source, int fd, std::uint32_t revents, void* self);
  static int onWriteSocket(sd_event_source* source, int fd, std::uint32_t revents, void* self);

  void log(const std::string& text) const;
  void sendNotifyCall(const char* member);
  void countSubscription();
  void holdNotifySocket(int fd);
  void closeNotifySocket();
  void closeWriteSocket();
  bool sendOnWriteSocket(const std::string& value);
  void acquireWrite();
  void flushToWriteValue();
  void writeValue(std::unique_ptr<Write> write, bool awaitReply);
  static void finish(Write& write, Result<void, SimError> outcome);

  sd_event* event_;
  sd_bus* bus_;
  std::string owner_;
  GattCharacteristic definition_;
  PacketSink sink_;

  unsigned notifyCount_ = 0;
  int notifyFd_ = -1;
  sd_event_source* notifySource_ = nullptr;
  bool reading_ = true;  // false once a read of 0 bytes stopped it
  bool stalled_ = false;
  std::vector<int> lostNotifyFds_;
  std::vector<std::unique_ptr<PendingNotify>> pendingNotifies_;

  int writeFd_ = -1;
  sd_event_source* writeSource_ = nullptr;
  std::deque<std::unique_ptr<Write>> acquiring_;  // waiting for AcquireWrite's answer
  sd_bus_slot* acquireWriteCall_ = nullptr;
  std::vector<std::unique_ptr<Write>> valueWrites_;  // WriteValue awaiting its reply
};

}  // namespace harlo::bluez_sim
