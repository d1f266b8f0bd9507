#include "platform/linux/bluez/channel_choice.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace harlo::platform {
namespace {

const BluetoothAddress hci0 = {0x00, 0xDD, 0xCC, 0xBB, 0xAA, 0x00};
const BluetoothAddress hci1 = {0x01, 0xDD, 0xCC, 0xBB, 0xAA, 0x00};

// The kernel's view: which channels other sockets hold on which adapter, or
// no Bluetooth sockets at all.
struct FakeSockets {
  std::map<BluetoothAddress, std::set<std::uint8_t>> held;
  bool available = true;
  int checks = 0;

  ChannelCheck check() {
    return [this](const BluetoothAddress& adapter, std::uint8_t channel) {
      ++checks;
      if (!available) return ChannelState::unavailable;
      return held[adapter].contains(channel) ? ChannelState::taken : ChannelState::free;
    };
  }
};

std::set<std::uint8_t> channels(unsigned first, unsigned last) {
  std::set<std::uint8_t> all;
  for (unsigned channel = first; channel <= last; ++channel) {
    all.insert(static_cast<std::uint8_t>(channel));
  }
  return all;
}

TEST(ChooseRfcommChannel, FreeEverywhereOrTheLowestThatIs) {
  struct Case {
    const char* scenario;
    std::vector<BluetoothAddress> adapters;
    std::map<BluetoothAddress, std::set<std::uint8_t>> held;
    bool available;
    std::optional<std::uint8_t> expected;
  };
  const Case cases[] = {
      {"free on both adapters", {hci0, hci1}, {}, true, 1},
      {"taken on one of two: the lowest free on both",
       {hci0, hci1},
       {{hci1, {1, 2}}, {hci0, {3}}},
       true,
       4},
      {"taken elsewhere only: no adapter here holds it", {hci0}, {{hci1, {1}}}, true, 1},
      {"all of 1 to 30 taken",
       {hci0, hci1},
       {{hci0, channels(1, 15)}, {hci1, channels(16, 30)}},
       true,
       std::nullopt},
      {"only 30 left", {hci0}, {{hci0, channels(1, 29)}}, true, 30},
      {"sockets unavailable: 1, unchecked", {hci0, hci1}, {}, false, 1},
      {"no adapters", {}, {}, true, 1},
  };
  for (const Case& c : cases) {
    FakeSockets sockets{c.held, c.available};
    EXPECT_EQ(chooseRfcommChannel(1, c.adapters, sockets.check()), c.expected) << c.scenario;
  }
}

// Without Bluetooth sockets the first check is the last: nothing is tried
// channel after channel.
TEST(ChooseRfcommChannel, UnavailableStopsTheCheck) {
  FakeSockets sockets{{}, false};
  const std::vector<BluetoothAddress> adapters = {hci0, hci1};
  EXPECT_EQ(chooseRfcommChannel(1, adapters, sockets.check()), 1);
  EXPECT_EQ(sockets.checks, 1);
}

// Addresses as bluetoothd writes them become the kernel's byte order.
TEST(ParseBluetoothAddress, ReversesTheBytesAndRefusesAnythingElse) {
  const std::pair<const char*, std::optional<BluetoothAddress>> cases[] = {
      {"00:AA:BB:CC:DD:0F", BluetoothAddress{0x0F, 0xDD, 0xCC, 0xBB, 0xAA, 0x00}},
      {"12:34:56:78:9a:bc", BluetoothAddress{0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12}},
      {"", std::nullopt},
      {"00:AA:BB:CC:DD", std::nullopt},
      {"00:AA:BB:CC:DD:0F:", std::nullopt},
      {"00-AA-BB-CC-DD-0F", std::nullopt},
      {"00:AA:BB:CC:DD:0G", std::nullopt},
      {"0:AAA:BB:CC:DD:0F", std::nullopt},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parseBluetoothAddress(text), expected) << text;
  }
}

}  // namespace
}  // namespace harlo::platform
