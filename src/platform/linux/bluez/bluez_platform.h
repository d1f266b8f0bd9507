// The Bluetooth platform on Linux: BlueZ 5 over the D-Bus system bus.
//
// Publishing registers the service with bluetoothd as a server profile
// (published_record.h: its record, channel and security options); incoming
// clients reach us through a Profile1 object (profile_object.h) that
// bluetoothd calls with each connection's socket (socket_channel.h). Nothing
// of D-Bus or BlueZ is visible outside this factory.
//
// Threads: as BluetoothPlatform says. The system bus is opened by the first
// publication and served by `loop` (bus_link.h); it stays open for the whole
// run, so that when bluetoothd restarts the bridge can register with the new
// one, and is opened again when the bus itself is lost.
//
// The service is lost when bluetoothd calls Release() on our profile or the
// owner of "org.bluez" leaves the bus (after a Release() both happen: the
// observer hears of it twice), and returns when "org.bluez" has an owner
// again. A record withdrawn after its bluetoothd has gone sends nothing.
//
// Adapters: the platform follows bluetoothd's adapters (adapters.h), read
// when the bus is opened and again whenever the service returns, before the
// observer hears of the return. The observer is told whether one is
// present and powered: in a posted task soon after it is set and at every
// change, and just before each return (even if nothing changed); never while
// the service is lost or the adapters could not be read.
//
// Channel: the record is registered on the channel its description asks
// for when that is free on every adapter, or else on the lowest one free on
// all of them (channel_choice.h), checked again at every publication; where
// Bluetooth sockets cannot be made, on the channel asked for. The record's
// rfcommChannelID() is the channel granted.
//
// Diagnostics go to `log`: the registration and every failure with its cause
// (the D-Bus error's name and message, or the errno text), the adapters,
// each client with its device's address and, when it leaves, why and the
// bytes each way, a connection refused to anyone but bluetoothd, and
// bluetoothd and the bus going away and coming back.
//
// Lifetime: `loop` and `log` must outlive the platform, and the platform must outlive
// every handle it returns and be destroyed on the loop thread (after the
// loop's last run() is fine).
#pragma once

#include <memory>

#include "base/log.h"
#include "platform/bluetooth_platform.h"
#include "platform/linux/run_loop.h"

namespace harlo::platform {

std::unique_ptr<BluetoothPlatform> makeBluezPlatform(RunLoop& loop, Log& log);

}  // namespace harlo::platform
