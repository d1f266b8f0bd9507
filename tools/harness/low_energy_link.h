// LowEnergyLink: the line service of one simulated Bluetooth LE client,
// played through BluezSim's control calls: lines written as a client must
// write them (in writes of at most MTU - 3 bytes) and lines read back out of
// the notifications it receives.
//
//   auto link = LowEnergyLink::connect(*sim, 185);        // connected, subscribed
//   link.value().write(*sim, "{\"type\":\"hello\"}\n");   // ASSERT ok
//   auto ack = link.value().nextLine(*sim);               // a line, or silence
//
// The simulator is passed to each call, so a link outlives a simulator
// restarted under it (the device path stays the same). Not thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "bluez_sim.h"
#include "line_reader.h"
#include "wait_bounds.h"

namespace harlo::harness {

class LowEnergyLink final {
 public:
  // A device (bonded and trusted as given) with ATT MTU `mtu` connects and
  // subscribes to the helper's notifications. The error names the call that
  // failed and why.
  static Result<LowEnergyLink, std::string> connect(BluezSim& sim, std::uint16_t mtu,
                                                    bool bonded = true, bool trusted = true);

  // A link to `device`, already connected with ATT MTU `mtu`.
  LowEnergyLink(std::string device, std::uint16_t mtu) : device_(std::move(device)), mtu_(mtu) {}

  const std::string& device() const { return device_; }
  std::uint16_t mtu() const { return mtu_; }

  // Writes `bytes` in order, in writes with response of at most MTU - 3
  // bytes each, as a careful client does: a write that finds the helper's
  // socket full (the helper is slow, or has paused its input) fails with
  // ATT's Unlikely Error, and is tried again for up to `bound`. The
  // error gives the offset of the write refused and why.
  Result<void, std::string> write(BluezSim& sim, std::string_view bytes,
                                  std::chrono::milliseconds bound = defaultWait);

  // The next line (without its line feed) out of the notifications the
  // device receives, polling for them until `bound` passes; silence when no
  // whole line comes in time (what came is kept for the next call). Never
  // the end: a link that drops just stops notifying. The error says why the
  // notifications could not be taken.
  Result<LineRead, std::string> nextLine(BluezSim& sim,
                                         std::chrono::milliseconds bound = defaultWait);

  // The largest notification taken so far, in bytes: ATT caps each at
  // MTU - 3.
  std::size_t largestNotification() const { return largestNotification_; }

 private:
  std::string device_;
  std::uint16_t mtu_;
  std::string received_;  // notified bytes after the last line returned
  std::size_t largestNotification_ = 0;
};

}  // namespace harlo::harness
