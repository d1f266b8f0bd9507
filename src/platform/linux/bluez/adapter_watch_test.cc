#include "platform/linux/bluez/adapter_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "bluez_sim.h"
#include "private_bus.h"
#include "testing/test_watchdog.h"

namespace harlo::platform {

// How a failed expectation shows an adapter.
void PrintTo(const AdapterTable::Adapter& adapter, std::ostream* out) {
  *out << adapter.path << ' ' << adapter.address << (adapter.powered ? " powered" : " unpowered");
}

namespace {

using Adapter = AdapterTable::Adapter;

// The table's adapters by path: the object manager lists them in no
// particular order.
std::vector<Adapter> byPath(const AdapterTable& table) {
  std::vector<Adapter> adapters = table.adapters();
  std::sort(adapters.begin(), adapters.end(),
            [](const Adapter& a, const Adapter& b) { return a.path < b.path; });
  return adapters;
}

// Every adapter of bluez-sim reaches the table with its address and power,
// from the answer to GetManagedObjects and from InterfacesAdded alike: the
// addresses are what the channel check binds to, and nothing else reads them.
TEST(AdapterWatch, ReadsEveryAdapterWithItsAddress) {
  auto bus = harness::PrivateBus::start();
  ASSERT_TRUE(bus.ok()) << bus.error();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.value()->address().c_str(), 1);
  auto sim = harness::BluezSim::start(*bus.value());
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_TRUE(sim.value()->addAdapter().ok());
  ASSERT_TRUE(sim.value()->setAdapterPowered("/org/bluez/hci0", false).ok());

  auto loop = RunLoop::create();
  ASSERT_TRUE(loop.ok());
  auto connection = BusConnection::open(*loop.value());
  ASSERT_TRUE(connection.ok());
  auto watch = AdapterWatch::start(connection.value());
  ASSERT_TRUE(watch.ok());
  watch.value()->read();
  std::vector<Adapter> expected = {{"/org/bluez/hci0", "00:AA:BB:CC:DD:00", false},
                                   {"/org/bluez/hci1", "00:AA:BB:CC:DD:01", true}};
  EXPECT_EQ(byPath(watch.value()->table()), expected) << sim.value()->log();

  watch.value()->onChanged([&] {
    if (watch.value()->table().adapters().size() == 3) loop.value()->stop();
  });
  ASSERT_TRUE(sim.value()->addAdapter().ok());
  {
    const TestWatchdog watchdog("InterfacesAdded reaches the watch", std::chrono::seconds(10));
    ASSERT_EQ(loop.value()->run(), statusOK);
  }
  expected.push_back({"/org/bluez/hci2", "00:AA:BB:CC:DD:02", true});
  EXPECT_EQ(byPath(watch.value()->table()), expected) << sim.value()->log();
}

}  // namespace
}  // namespace harlo::platform
