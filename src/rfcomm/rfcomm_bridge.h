// RFCOMMBridge: the one object of the Bluetooth side of bridge mode.
//
// It publishes the companion service, keeps at most one client channel (a
// newer client replaces an older one), frames the client's bytes into lines,
// answers the client's hello itself, writes the parent's payloads to the
// client, and reports everything through three callbacks. It never writes to
// standard output itself.
//
// Threads. Everything the bridge holds belongs to the platform's main loop,
// where every platform callback runs and where stop(), called from another
// thread, hands its work and waits for it. The one exception is the client
// channel with its number (`activeChannel_`, `activeChannelID_`), which
// writeToChannel(), interrupt() and stop() reach from any thread under
// `mutex_`; that mutex guards nothing else and is never held while calling
// out, so no callback ever runs with a lock held. The callbacks run on the
// loop thread, and for writeToChannel()'s reports on its caller's thread.
//
// Losing the service: when bluetoothd goes away the bridge reports "bluetooth
// service stopped: waiting for it to return", drops the dead record and
// registration, and closes the client channel; commands keep working. When
// the service returns it publishes and registers again as start() does and
// reports "listening" (or the error of the step that failed, then waits for
// the next return). After stop() neither happens.
//
// Bluetooth Low Energy: a bridge that offers it asks the platform to offer
// the same service over LE wherever it publishes it (at start and at each
// return of the service), and withdraws it at stop. An LE client reaches the
// bridge as a channel like any other: one client at a time across both
// transports, the newest winning. What fails of LE is reported as an error
// and leaves RFCOMM working.
//
// Bluetooth off: when the platform tells that no adapter is present and
// powered, the bridge reports "no powered Bluetooth adapter: waiting for one"
// once for that outage (never during a service loss, which has its own
// error), and "listening" again when one is back; the registration stands
// meanwhile.
//
// Lifetime: the platform and the bridge must outlive the run loop's last
// run(). Destroying the bridge stops its observing of the service and
// releases its handles without closing, unregistering or withdrawing
// anything (that is stop()'s job).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/bluetooth_platform.h"
#include "rfcomm/bridge_error.h"
#include "rfcomm/client_lines.h"

namespace harlo {

// Whether the bridge offers its service over Bluetooth Low Energy too.
enum class LowEnergy { off, offered };

class RFCOMMBridge final : public platform::ChannelOpenObserver,
                           public platform::ChannelDelegate,
                           public platform::BluetoothServiceObserver {
 public:
  // An event name and its detail (the bridge always passes one).
  using EventCallback =
      std::function<void(std::string_view event, std::optional<std::string_view> detail)>;
  // An error message.
  using ErrorCallback = std::function<void(std::string_view message)>;
  // One line from the client, as valid UTF-8 text without its line feed.
  using ProtocolCallback = std::function<void(std::string_view payload)>;

  // Requires: callbacks safe from the loop thread and from every thread that
  // calls writeToChannel() at once; `platform` outlives the bridge.
  // Publishes nothing.
  RFCOMMBridge(platform::BluetoothPlatform& platform, EventCallback emitEvent,
               ErrorCallback emitError, ProtocolCallback emitProtocol,
               LowEnergy lowEnergy = LowEnergy::off);
  // Thread: the loop's, after its last run().
  ~RFCOMMBridge() override;
  RFCOMMBridge(const RFCOMMBridge&) = delete;
  RFCOMMBridge& operator=(const RFCOMMBridge&) = delete;

  // Publishes the service (preferred channel 1), reads back the channel the
  // platform granted, registers for incoming channels on it, offers the
  // service over LE if asked to, and reports "listening". Returns the channel
  // number, or the BridgeError of the step that failed; a failure after
  // publication keeps the record until stop(). LE failing is no failure of
  // the start: it is reported as an error.
  // Thread: the loop's, once, before the loop runs.
  Result<std::uint8_t, BridgeError> start();

  // Finishes what the client is owed (a waiting hello reply), closes its
  // channel, unregisters the notification and the LE offer, withdraws the
  // record and empties
  // pendingInput_, reporting nothing else; no client is accepted after it.
  // The channel is closed at once, so that a write in progress ends.
  // Thread: any, any number of times. From a thread other than the loop's,
  // the loop must be running (or have failed), and stop() returns once the
  // loop has done the rest and delivered the channel's close, so that its
  // "client-disconnected" precedes whatever the caller reports next. On the
  // loop's thread the rest is done at once and the close follows in a task
  // of the loop's.
  void stop();

  // Closes the client channel at once, so that a write in progress on
  // another thread ends: a stop is on its way. Thread: any.
  void interrupt();

  // While held (the parent is behind), no client's input is read: the active
  // client's is paused, and so is that of a client that connects meanwhile.
  // Thread: the loop's.
  void holdClientInput(bool held);

  // Where the outcome of one write is reported, when not through the
  // bridge's own callbacks: a caller's, that tie the report to the request it
  // answers.
  struct WriteReporter {
    EventCallback emitEvent;
    ErrorCallback emitError;
  };

  // Sends `data` whole to the active client channel and reports the outcome,
  // through `reporter` if given and the bridge's callbacks otherwise:
  // "rfcomm-write" with the byte count, or an error (no client, or the
  // platform's status), on the calling thread. Waits until the client has
  // taken the bytes or the write has failed (a stalled client fails it, and
  // stop() ends it at once). Any thread but the main loop's, which never
  // waits for a client.
  void writeToChannel(std::span<const std::uint8_t> data, const WriteReporter* reporter = nullptr);

  // The RFCOMM channel number granted at start (0 before); never reset.
  std::uint8_t activeChannelID() const;

  // Platform callbacks; main run loop only.
  void handleChannelOpen(platform::ChannelOpenRegistration& registration,
                         std::shared_ptr<platform::Channel> channel) override;
  void rfcommChannelData(platform::Channel& channel, std::span<const std::uint8_t> data) override;
  void rfcommChannelOpenComplete(platform::Channel& channel, platform::Status status) override;
  void rfcommChannelClosed(platform::Channel& channel) override;
  void bluetoothServiceStopped() override;
  void bluetoothServiceReturned() override;
  void poweredAdapterPresent(bool present) override;
  void lowEnergyUnavailable(std::string_view why) override;

 private:
  // Publishes the record, reads back its channel and registers for opens on
  // it, keeping each handle as it comes, then offers the service over LE if
  // asked to; the channel, or the failed step's error. Reports nothing but
  // an LE offer that fails at once. Loop thread.
  Result<std::uint8_t, BridgeError> publishAndRegister();
  void offerLowEnergy(const platform::ServiceDescription& description);
  void stopOnLoop();

  // The client channel, if any (under mutex_).
  std::shared_ptr<platform::Channel> activeChannel() const;
  // Takes the client channel out of activeChannel_ (under mutex_).
  std::shared_ptr<platform::Channel> takeActiveChannel();

  // Inbound data, on the loop: lines are handled in order; a hello reply that
  // the channel cannot take at once holds the rest until it is finished.
  void handleIncomingData(std::span<const std::uint8_t> data);
  void handleLines();
  void answerHello(std::string_view line);
  // The waiting hello reply `serial` has ended: finished as below, then the
  // client's next lines are handled if its channel is still the client's
  // and took the reply, or dropped.
  void finishHelloReply(std::uint64_t serial);
  // Reports the waiting hello reply's outcome (-32 if its channel closed
  // before it was known) and forwards its line. Called at once when its
  // client is replaced or stopped, so that nothing of that client follows.
  void finishWaitingHello();
  // Pauses `channel`'s input while the parent is behind or a hello reply
  // waits on it, and resumes it otherwise.
  void updateInputPause(platform::Channel& channel);

  static constexpr std::string_view noClientMessage =
      "no active RFCOMM client channel is connected";
  // Reports the outcome of a write of `bytes` bytes to `channel`, through
  // `reporter` if given.
  void reportWrite(platform::Status status, std::size_t bytes, const platform::Channel& channel,
                   const WriteReporter* reporter = nullptr);

  platform::BluetoothPlatform& platform_;
  const EventCallback emitEvent_;
  const ErrorCallback emitError_;
  const ProtocolCallback emitProtocol_;
  const LowEnergy lowEnergy_;

  // The loop's own state.
  std::shared_ptr<platform::ServiceRecord> serviceRecord_;
  // The registration for channel-open notifications.
  std::shared_ptr<platform::ChannelOpenRegistration> channelNotification_;
  // The service offered over LE, while it is.
  std::shared_ptr<platform::ChannelOpenRegistration> lowEnergyOffer_;
  ClientLines pendingInput_;  // the client's bytes not yet handled as lines
  // The outcome of a hello reply that waits, set by whichever thread ends
  // its write.
  class HelloOutcome;
  // A hello reply that waits for the channel: the hello line, forwarded once
  // the reply's outcome is reported, and the channel whose input is paused
  // meanwhile.
  struct WaitingHello {
    std::uint64_t serial;
    std::string line;
    std::shared_ptr<platform::Channel> channel;
    std::shared_ptr<HelloOutcome> outcome;
  };
  std::optional<WaitingHello> waitingHello_;
  std::uint64_t helloReplies_ = 0;  // serials of the replies that had to wait
  bool inputHeld_ = false;          // the parent is behind
  bool stopped_ = false;            // set by stop(), never cleared
  bool observing_ = false;          // the platform tells this bridge of the service
  bool serviceLost_ = false;        // from a loss until a return publishes again
  // False from a report that no adapter is present and powered until one is
  // again; the service's loss makes it unknown, taken as present.
  bool adapterPresent_ = true;

  // Also read by writeToChannel() on other threads.
  mutable std::mutex mutex_;
  std::shared_ptr<platform::Channel> activeChannel_;  // guarded by mutex_
  std::uint8_t activeChannelID_ = 0;                  // guarded by mutex_
};

}  // namespace harlo
