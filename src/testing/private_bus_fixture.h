// PrivateBusFixture: the fixture of the BlueZ platform's unit tests. Each test
// gets a dbus-daemon of its own standing in for the system bus (the process's
// DBUS_SYSTEM_BUS_ADDRESS points at it, so sd_bus_open_system reaches it) and
// a run loop; startSim() adds bluez-sim, the simulated bluetoothd, and
// runLoopThread() runs the loop on a thread of its own, as the program does.
//
//   class MyTest : public PrivateBusFixture {
//    protected:
//     void releaseOnLoop() override { object_.reset(); }  // loop-thread objects
//   };
//
// A subclass with a SetUp of its own calls PrivateBusFixture::SetUp() first,
// inside ASSERT_NO_FATAL_FAILURE. Used by tests only; one thread uses it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "bluez_sim.h"
#include "platform/linux/run_loop.h"
#include "private_bus.h"
#include "testing/test_loop_thread.h"

namespace harlo::platform {

class PrivateBusFixture : public testing::Test {
 protected:
  // Starts the bus, points the system bus at it and makes the loop; a fatal
  // failure if any of it fails.
  void SetUp() override;

  // Runs releaseOnLoop() on the loop thread, then ends the loop's thread if
  // one runs. The simulator and the bus go after that, with the fixture.
  void TearDown() override;

  // Drops what belongs to the loop thread (sd-bus and sd-event objects, and
  // whatever holds them); runs on that thread during TearDown.
  virtual void releaseOnLoop() {}

  // Starts bluez-sim on the bus; a fatal failure if it does not start.
  void startSim(harness::BluezSim::Options options = {});

  // Runs the loop on a thread of its own until TearDown.
  void runLoopThread();

  std::unique_ptr<harness::PrivateBus> bus_;
  std::unique_ptr<harness::BluezSim> sim_;
  std::unique_ptr<RunLoop> loop_;
  std::unique_ptr<TestLoopThread> thread_;
};

}  // namespace harlo::platform
