// LowEnergyService: the service offered over Bluetooth Low Energy, as GATT,
// and the registration the bridge holds for it (offerLowEnergyService).
//
// Offering. It exports the GATT application (gatt_application.h) and the
// advertisement (le_advertisement.h), and registers both with bluetoothd on
// every adapter it is told of (adaptersAre), asynchronously: first
// GattManager1.RegisterApplication, then, once that is answered,
// LEAdvertisingManager1.RegisterAdvertisement. A registration that fails is
// logged and told once (`unavailable`: "cannot offer the service over BLE on
// hci0: ..." or "cannot advertise over BLE on hci0: ...", each ending
// "; RFCOMM clients are not affected"), and the adapter is left alone until
// it goes or the service is offered anew. bluetoothd keeps both
// registrations across the adapter's power going off and on.
//
// Clients. A client subscribing to "from helper" reaches this program as
// AcquireNotify with its device: the device's Bonded (or Paired) and Trusted
// properties are read (asynchronously, device_trust.h), and a device that is
// not both gets org.bluez.Error.Failed (bluetoothd then sends it nothing)
// and a log line with its address. An accepted one gets a socket pair of
// packets: its end goes to bluetoothd with the link's MTU, and the other
// becomes the client's channel (a SocketChannel named as BLE's,
// lowEnergyChannelNames, sending notifications of at most MTU-3 bytes, and
// at most 512), handed to the observer after the answer. Its writes come as
// AcquireWrite (another socket pair, whose packets become the channel's
// input) or as WriteValue calls (handed in); from a device without a
// channel, they are refused with org.bluez.Error.NotAuthorized and logged.
// The channel ends when bluetoothd closes the notification socket (the
// client unsubscribed, or left), when the device's Connected property turns
// false or its object goes, and when the helper closes it; a client the
// helper replaces is also disconnected (Device1.Disconnect), unless the same
// device is a client again meanwhile.
//
// bluetoothd before 5.69 gives each characteristic one socket for every
// device: a second device that subscribes, or writes, while another holds
// them is not told to this program (its bytes reach the socket of the one
// that does). The helper serves one client at a time, and disconnects the
// one it replaces, so the sockets are free again for the next.
//
// Renewal. bluetoothd keeps a bonded device's subscription over its
// disconnection and takes the same subscription again as already made, so a
// phone coming back would never reach this program; before 5.76 it also
// hands over no write to a characteristic once one was refused. Both end
// when the application is registered anew, which is therefore done on a
// device's adapter after its client ends, after a refused write, and once a
// device whose subscription was refused has disconnected (not before: told
// that the service changed, it would subscribe again at once), as soon as no
// client is served there (UnregisterApplication, then RegisterApplication;
// the advertisement stays).
//
// unregister() withdraws both registrations on every adapter
// (UnregisterAdvertisement, UnregisterApplication: sent, not waited for, as
// the registrations also end with the bus connection; a call awaited on the
// same connection afterwards, such as the profile's UnregisterProfile at the
// stop, finds them delivered), removes the objects and stops handing over
// clients.
//
// Threads: loop thread only, but unregister(), which is safe from any
// thread. The connection, the loop, the log and the observer must outlive
// the service; its last reference must go on the loop thread.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/result.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/bluez/bus_connection.h"
#include "platform/linux/bluez/gatt_application.h"
#include "platform/linux/bluez/le_advertisement.h"
#include "platform/linux/bluez/socket_channel.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

class LowEnergyService final : public ChannelOpenRegistration,
                               public GattApplication::Receiver,
                               public std::enable_shared_from_this<LowEnergyService> {
 public:
  using Unavailable = std::function<void(std::string why)>;

  // Exports the objects and starts following the devices. Registers on no
  // adapter until adaptersAre() names some. Fails with the reason.
  static Result<std::shared_ptr<LowEnergyService>, std::string> offer(
      std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
      const ServiceDescription& description, ChannelOpenObserver& observer,
      Unavailable unavailable);

  ~LowEnergyService() override;
  LowEnergyService(const LowEnergyService&) = delete;
  LowEnergyService& operator=(const LowEnergyService&) = delete;

  // The adapters bluetoothd has now (their object paths): registers on each
  // one not yet known, and forgets those gone (their registrations went
  // with them).
  void adaptersAre(const std::vector<std::string>& adapterPaths);

  void unregister() override;

  int acquireNotify(sd_bus_message* call, const GattAccess& access) override;
  int acquireWrite(sd_bus_message* call, const GattAccess& access) override;
  int writeValue(sd_bus_message* call, std::span<const std::uint8_t> value,
                 const GattAccess& access) override;

 private:
  struct Adapter;
  struct Subscription;
  struct Client {
    std::string device;  // its object path
    std::weak_ptr<SocketChannel> channel;
  };

  LowEnergyService(std::shared_ptr<BusConnection> connection, RunLoop& loop, Log& log,
                   std::string serviceName, ChannelOpenObserver& observer, Unavailable unavailable);
  Status watchDevices();
  void registerApplication(Adapter& adapter);
  void registerAdvertisement(Adapter& adapter);
  // bluetoothd 5.66 keeps a bonded device's subscription over its
  // disconnection, and takes the same subscription again as already made,
  // without a word to this program; it also hands over no write to a
  // characteristic once one was refused. Both are forgotten when the
  // application is registered anew, so that is done on the device's adapter
  // after a client ends, after a refused write, and once a device refused a
  // subscription has disconnected, as soon as no client is served there
  // (renewIfIdle: then, or once the client being served ends).
  void renewWhenIdle(const std::string& device);
  void renewIfIdle(Adapter& adapter);
  bool servesOn(const Adapter& adapter) const;
  // Logs why an adapter cannot offer the service and tells the observer.
  void failOn(const std::string& why);
  Adapter* findAdapter(const std::string& path);

  void authorized(Subscription& subscription, Result<BusMessagePtr, BusConnection::CallFailure>);
  void accept(sd_bus_message* call, const GattAccess& access);
  std::shared_ptr<SocketChannel> channelOf(const std::string& device);
  int refuseWrite(sd_bus_message* call, const std::string& device);
  // The helper dropped `channel`, a client of `device`, as replaced.
  void replaced(const std::string& device, const SocketChannel* channel);
  void deviceGone(const std::string& device, const char* cause);
  void withdraw();

  static int onPropertiesChanged(sd_bus_message* signal, void* userdata, sd_bus_error* error);
  static int onInterfacesRemoved(sd_bus_message* signal, void* userdata, sd_bus_error* error);

  const std::shared_ptr<BusConnection> connection_;
  RunLoop& loop_;
  Log& log_;
  const std::string serviceName_;
  ChannelOpenObserver* observer_;  // null once unregistered
  const Unavailable unavailable_;
  std::unique_ptr<GattApplication> application_;
  std::unique_ptr<LowEnergyAdvertisement> advertisement_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
  std::vector<std::unique_ptr<Subscription>> subscriptions_;  // waiting for the trust check
  std::vector<Client> clients_;
  // Devices refused a subscription, still connected: renewed once they go.
  std::vector<std::string> refusedSubscribers_;
  // Disconnect calls of replaced clients, by a serial of their own.
  std::map<std::uint64_t, std::unique_ptr<BusConnection::PendingCall>> disconnects_;
  std::uint64_t disconnectSerial_ = 0;
  std::vector<sd_bus_slot*> matches_;
};

}  // namespace harlo::platform
