// The Bluetooth operations the RFCOMM bridge needs, and the callbacks it
// receives. The bridge sees only this interface: the production
// implementation talks to BlueZ over D-Bus, and tests use a fake that records
// every call and fails on demand.
//
// Handles are reference-counted (std::shared_ptr) and compared by identity:
// two handles are the same channel exactly when they point to the same object.
//
// Threads: every callback (channel open, data, open completion, close, the
// service's losses) is delivered on the platform's main loop, mainLoop(). Methods say where they
// may be called; a method "safe from any thread" may block until the run loop has done the work, so
// the caller must not hold a lock that the run loop needs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "base/result.h"
#include "platform/channel_names.h"
#include "platform/main_loop.h"
#include "platform/service_description.h"
#include "platform/status.h"

namespace harlo::platform {

class Channel;

// A published service record. Destroying the last handle does not withdraw it.
class ServiceRecord {
 public:
  virtual ~ServiceRecord() = default;

  // The RFCOMM channel the published record is served on, which may differ
  // from the one its description asked for, or a non-zero status from a
  // platform that cannot tell (the bridge's start then fails; BlueZ always
  // can). Main run loop thread.
  virtual Result<std::uint8_t, Status> rfcommChannelID() = 0;

  // Withdraws the record; later calls do nothing. Safe from any thread.
  virtual void remove() = 0;
};

// A registration for channel-open notifications. Destroying the last handle
// does not unregister it.
class ChannelOpenRegistration {
 public:
  virtual ~ChannelOpenRegistration() = default;

  // No notification is delivered after this returns; later calls do nothing.
  // Safe from any thread.
  virtual void unregister() = 0;
};

// Receives the callbacks of the channels it is the delegate of. Called on the
// main run loop only. The channel stays alive for the duration of each call.
class ChannelDelegate {
 public:
  virtual ~ChannelDelegate() = default;

  // Bytes arrived; `data` is valid only during the call. Never empty.
  virtual void rfcommChannelData(Channel& channel, std::span<const std::uint8_t> data) = 0;

  // The channel finished opening with `status` (0: open). For a platform
  // that hands over channels still opening; BlueZ hands over open ones and
  // never calls it.
  virtual void rfcommChannelOpenComplete(Channel& channel, Status status) = 0;

  // The channel is closed: by the peer, by an error, or by close(). Delivered
  // exactly once per channel, after the fact, never from inside close(). No
  // other callback of that channel follows it.
  virtual void rfcommChannelClosed(Channel& channel) = 0;
};

// Why the helper closes a client's channel, for the diagnostics it leaves.
enum class CloseReason {
  replaced,     // a newer client took its place
  serviceLost,  // the Bluetooth service went away
  stopped,      // bridge mode is ending
};

// One connection with a client.
class Channel {
 public:
  virtual ~Channel() = default;

  // Makes `delegate` the receiver of this channel's callbacks. The delegate
  // must outlive the channel's callbacks (they run only on the main run loop,
  // so a delegate that outlives the loop's last run() is enough). Returns 0,
  // or a non-zero status when the platform cannot deliver callbacks for this
  // channel. Main run loop thread.
  virtual Status setDelegate(ChannelDelegate* delegate) = 0;

  // How the parent's reports name this channel. Safe from any thread.
  virtual const ChannelNames& names() const = 0;

  // The outcome of a write that did not finish at once.
  using WriteDone = std::function<void(Status)>;

  // Sends all of `data`, after every byte of the writes before it; the bytes
  // of two writes never interleave. Never blocks. When the channel takes all
  // of `data` at once (or fails at once), returns the outcome: 0, or a
  // non-zero status; `done` is then dropped uncalled. Otherwise returns
  // nothing, keeps a copy of what is left, sends it as the peer takes it, and
  // calls `done` exactly once with the outcome, on whichever thread finishes
  // the write (the main loop's, or one that closes the channel), never inside
  // write() and never while holding a lock of the channel. Safe from any
  // thread.
  virtual std::optional<Status> write(std::span<const std::uint8_t> data, WriteDone done) = 0;

  // Stops (true) or resumes (false) delivering the channel's data, leaving
  // unread bytes with the peer meanwhile. Main loop thread.
  virtual void setInputPaused(bool paused) = 0;

  // Closes the channel for `reason`; its close callback follows on the main
  // run loop. Later calls do nothing. Safe from any thread.
  virtual void close(CloseReason reason) = 0;
};

// Receives channel-open notifications. Called on the main run loop only.
class ChannelOpenObserver {
 public:
  virtual ~ChannelOpenObserver() = default;

  // A client opened `channel` on the registered channel number.
  virtual void handleChannelOpen(ChannelOpenRegistration& registration,
                                 std::shared_ptr<Channel> channel) = 0;
};

// Learns that the Bluetooth service (bluetoothd) went away and came back.
// Called on the main run loop only.
class BluetoothServiceObserver {
 public:
  virtual ~BluetoothServiceObserver() = default;

  // The service went away: every record published and every registration
  // made before is dead (withdrawing them is pointless, and the platform
  // makes it harmless), and no channel opens through them any more. One loss
  // may be reported more than once (the service releases the profile, then
  // leaves); every call until bluetoothServiceReturned() is the same loss.
  virtual void bluetoothServiceStopped() = 0;

  // The service is back (a new instance of it): publishing and registering
  // work again. Follows a bluetoothServiceStopped().
  virtual void bluetoothServiceReturned() = 0;

  // Whether at least one Bluetooth adapter is present and powered, so that a
  // client can reach the service. Told once soon after the observer is set,
  // with the state then, and again at every change; while the service is
  // lost nothing is known and nothing is told, and when it returns the state
  // is told again just before bluetoothServiceReturned(), so that the
  // observer knows it as it publishes again. A platform that cannot know
  // never tells.
  virtual void poweredAdapterPresent(bool present) = 0;

  // Offering the service over Bluetooth Low Energy failed where `why` says
  // (an adapter that cannot take the service or advertise it); RFCOMM, and
  // LE on other adapters, work on. Told once per failure, never while the
  // service is lost.
  virtual void lowEnergyUnavailable(std::string_view why) = 0;
};

class BluetoothPlatform {
 public:
  virtual ~BluetoothPlatform() = default;

  // The loop on which every callback of this platform is delivered. Any
  // thread.
  virtual MainLoop& mainLoop() = 0;

  // Makes `observer` (nullptr: none) the receiver of the service's losses
  // and returns, delivered on the main run loop. It must outlive the loop's
  // last run(). A platform whose service cannot go away ignores it. Main run
  // loop thread.
  virtual void observeBluetoothService(BluetoothServiceObserver* /*observer*/) {}

  // Publishes the service `description` describes, as this platform's
  // record of it; nullptr on failure. Main run loop thread.
  virtual std::shared_ptr<ServiceRecord> publishServiceRecord(
      const ServiceDescription& description) = 0;

  // Calls `observer` for each incoming channel opened on `channelID` until the
  // registration is unregistered; nullptr on failure. `observer` must outlive
  // the registration. Main run loop thread.
  virtual std::shared_ptr<ChannelOpenRegistration> registerForChannelOpenNotifications(
      std::uint8_t channelID, ChannelOpenObserver& observer) = 0;

  // Offers the service `description` describes over Bluetooth Low Energy as
  // well, on every adapter that can take it (and each one added later), until
  // the registration is unregistered or the service is lost: clients find it
  // by the description's UUID. Each client that subscribes reaches
  // `observer` as a channel, as an RFCOMM client does; what fails later, on
  // one adapter, is told to the service's observer (lowEnergyUnavailable).
  // nullptr when nothing can be offered at all. `observer` must outlive the
  // registration. Main run loop thread.
  virtual std::shared_ptr<ChannelOpenRegistration> offerLowEnergyService(
      const ServiceDescription& description, ChannelOpenObserver& observer) = 0;
};

}  // namespace harlo::platform
