#include "testing/private_bus_fixture.h"

#include <cstdlib>
#include <utility>

namespace harlo::platform {

void PrivateBusFixture::SetUp() {
  auto bus = harness::PrivateBus::start();
  ASSERT_TRUE(bus.ok()) << bus.error();
  bus_ = std::move(bus).value();
  ASSERT_EQ(::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str(), 1), 0);
  auto loop = RunLoop::create();
  ASSERT_TRUE(loop.ok());
  loop_ = std::move(loop).value();
}

void PrivateBusFixture::TearDown() {
  if (loop_) loop_->postAndWait([this] { releaseOnLoop(); });
  thread_.reset();
}

void PrivateBusFixture::startSim(harness::BluezSim::Options options) {
  auto sim = harness::BluezSim::start(*bus_, options);
  ASSERT_TRUE(sim.ok()) << sim.error();
  sim_ = std::move(sim).value();
}

void PrivateBusFixture::runLoopThread() { thread_ = std::make_unique<TestLoopThread>(*loop_); }

}  // namespace harlo::platform
