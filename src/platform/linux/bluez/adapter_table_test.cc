#include "platform/linux/bluez/adapter_table.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace harlo::platform {
namespace {

using Adapter = AdapterTable::Adapter;

const std::string hci0 = "/org/bluez/hci0";
const std::string hci1 = "/org/bluez/hci1";
const AdapterProperties poweredOn{std::nullopt, true};
const AdapterProperties poweredOff{std::nullopt, false};

// A table read from an answer with serial 100 holding hci0, powered.
AdapterTable readWithHci0() {
  AdapterTable table;
  table.replace({{hci0, {"00:AA:BB:CC:DD:00", true}}}, 100);
  return table;
}

// What the signals after the answer make of the table.
TEST(AdapterTable, FollowsSignalsAfterTheAnswer) {
  struct Case {
    const char* scenario;
    std::function<void(AdapterTable&)> signals;
    std::vector<Adapter> adapters;
    std::optional<bool> poweredPresent;
  };
  const Case cases[] = {
      {"the answer alone", [](AdapterTable&) {}, {{hci0, "00:AA:BB:CC:DD:00", true}}, true},
      {"powered off",
       [](AdapterTable& t) { t.changed(hci0, poweredOff, 101); },
       {{hci0, "00:AA:BB:CC:DD:00", false}},
       false},
      {"off, then on",
       [](AdapterTable& t) {
         t.changed(hci0, poweredOff, 101);
         t.changed(hci0, poweredOn, 102);
       },
       {{hci0, "00:AA:BB:CC:DD:00", true}},
       true},
      {"removed", [](AdapterTable& t) { t.removed(hci0, 101); }, {}, false},
      {"removed, then another added",
       [](AdapterTable& t) {
         t.removed(hci0, 101);
         t.added(hci1, {"00:AA:BB:CC:DD:01", true}, 102);
       },
       {{hci1, "00:AA:BB:CC:DD:01", true}},
       true},
      {"added unpowered beside it",
       [](AdapterTable& t) {
         t.added(hci1, {"00:AA:BB:CC:DD:01", std::nullopt}, 101);
       },
       {{hci0, "00:AA:BB:CC:DD:00", true}, {hci1, "00:AA:BB:CC:DD:01", false}},
       true},
      {"a change of an adapter it does not have",
       [](AdapterTable& t) { t.changed(hci1, poweredOn, 101); },
       {{hci0, "00:AA:BB:CC:DD:00", true}},
       true},
      {"stale: sent before the answer, which already holds it",
       [](AdapterTable& t) {
         t.changed(hci0, poweredOff, 98);
         t.changed(hci0, poweredOn, 99);
       },
       {{hci0, "00:AA:BB:CC:DD:00", true}},
       true},
      {"stale ones skipped, the newer taken",
       [](AdapterTable& t) {
         t.removed(hci0, 99);
         t.changed(hci0, poweredOff, 101);
       },
       {{hci0, "00:AA:BB:CC:DD:00", false}},
       false},
      {"forgotten: unknown, and signals change nothing",
       [](AdapterTable& t) {
         t.forget();
         t.added(hci1, poweredOn, 101);
       },
       {},
       std::nullopt},
  };
  for (const Case& c : cases) {
    AdapterTable table = readWithHci0();
    c.signals(table);
    EXPECT_EQ(table.adapters(), c.adapters) << c.scenario;
    EXPECT_EQ(table.poweredAdapterPresent(), c.poweredPresent) << c.scenario;
  }
}

// Serials wrap at 2^32: one just past the wrap is newer than an answer just
// before it, and once a newer signal came every later one is taken.
TEST(AdapterTable, SerialsWrap) {
  AdapterTable table;
  table.replace({{hci0, poweredOn}}, 0xFFFFFFFEu);
  table.changed(hci0, poweredOff, 0xFFFFFFFDu);
  EXPECT_EQ(table.poweredAdapterPresent(), true);
  table.changed(hci0, poweredOff, 1);
  EXPECT_EQ(table.poweredAdapterPresent(), false);
  table.changed(hci0, poweredOn, 0x90000000u);
  EXPECT_EQ(table.poweredAdapterPresent(), true);
}

}  // namespace
}  // namespace harlo::platform
