#include "bridge_process_fixture.h"

#include <utility>

namespace harlo::test_support {
namespace {

// True if `log` holds a report of AddressSanitizer, LeakSanitizer,
// ThreadSanitizer or UndefinedBehaviorSanitizer.
bool holdsSanitizerReport(const std::string& log) {
  return log.find("Sanitizer") != std::string::npos ||
         log.find("runtime error:") != std::string::npos;
}

}  // namespace

nlohmann::json eventMessage(std::string_view event, std::string_view detail) {
  return {{"kind", "event"}, {"event", event}, {"detail", detail}, {"version", 1}};
}

nlohmann::json errorMessage(std::string_view detail) {
  return {{"kind", "error"}, {"detail", detail}, {"version", 1}};
}

nlohmann::json protocolMessage(std::string_view payload) {
  return {{"kind", "protocol"}, {"payload", payload}, {"version", 1}};
}

std::string commandLine(std::string_view command) {
  return nlohmann::json{{"kind", "command"}, {"command", command}, {"version", 1}}.dump();
}

std::string protocolCommand(std::string_view payload) {
  return nlohmann::json{{"kind", "protocol"}, {"payload", payload}, {"version", 1}}.dump();
}

void BridgeProcessTest::TearDown() {
  if (helper_ && !helper_->waitForExit(std::chrono::milliseconds(0))) {
    helper_->closeStdin();
    EXPECT_EQ(helper_->waitForExit(), ExitStatus::exitedWith(0)) << diagnostics();
  }
  if (helper_) {
    const std::string log = helper_->transcript(Subprocess::Stream::err);
    EXPECT_FALSE(holdsSanitizerReport(log)) << log;
  }
  if (sim_) {
    EXPECT_FALSE(holdsSanitizerReport(sim_->log())) << sim_->log();
  }
}

void BridgeProcessTest::captureSystemLog() {
  auto capture = SyslogCapture::create();
  if (!capture && capture.error().unavailable) GTEST_SKIP() << capture.error().reason;
  ASSERT_TRUE(capture.ok()) << capture.error().reason;
  syslog_ = std::move(capture.value());
}

void BridgeProcessTest::startHelper(bool withSim, BluezSim::Options options, BusPolicy policy) {
  helper_.reset();
  sim_.reset();
  bus_.reset();
  auto bus = PrivateBus::start(policy);
  ASSERT_TRUE(bus.ok()) << bus.error();
  bus_ = std::move(bus.value());
  if (withSim) {
    auto sim = BluezSim::start(*bus_, options);
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim_ = std::move(sim.value());
  }
  auto helper = launchHelper(bus_->environment());
  ASSERT_TRUE(helper.ok()) << helper.error();
  helper_ = std::move(helper.value());
}

Result<std::unique_ptr<Subprocess>, std::string> BridgeProcessTest::launchHelper(
    const Subprocess::Environment& environment) {
  Subprocess::Environment variables = environment;
  variables.insert(variables.end(), helperEnvironment_.begin(), helperEnvironment_.end());
  if (syslog_) return syslog_->start({HARLO_HELPER_PATH, "--stdio"}, variables);
  return Subprocess::start({HARLO_HELPER_PATH, "--stdio"}, variables);
}

void BridgeProcessTest::startReady() {
  ASSERT_NO_FATAL_FAILURE(startHelper());
  ASSERT_EQ(nextMessage(), eventMessage("listening", "RFCOMM service published on channel 1"))
      << diagnostics();
  ASSERT_EQ(nextMessage(), eventMessage("ready", "stdio bridge ready on RFCOMM channel 1"))
      << diagnostics();
}

nlohmann::json BridgeProcessTest::nextMessage(std::chrono::milliseconds bound) {
  const auto line = helper_->readLine(Subprocess::Stream::out, bound);
  if (!line) {
    ADD_FAILURE() << "no message from the helper\n" << diagnostics();
    return nullptr;
  }
  auto message = nlohmann::json::parse(*line, nullptr, false);
  if (message.is_discarded()) {
    ADD_FAILURE() << "not JSON: " << *line;
    return *line;
  }
  return message;
}

bool BridgeProcessTest::awaitMessage(const nlohmann::json& expected,
                                     std::chrono::milliseconds bound,
                                     std::vector<nlohmann::json>* skipped) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds(0)) return false;
    const auto line = helper_->readLine(Subprocess::Stream::out, left);
    if (!line) return false;
    auto message = nlohmann::json::parse(*line, nullptr, false);
    if (message == expected) return true;
    if (skipped != nullptr) skipped->push_back(std::move(message));
  }
}

void BridgeProcessTest::send(std::string_view line) {
  EXPECT_TRUE(helper_->writeStdin(std::string(line) + "\n")) << "the helper took no input\n"
                                                             << diagnostics();
}

UniqueFd BridgeProcessTest::connectClient() {
  auto client = sim_->connectClient();
  if (!client.ok()) {
    ADD_FAILURE() << client.error();
    return UniqueFd();
  }
  const auto connected = nextMessage();
  if (connected !=
      eventMessage("client-connected", "Incoming RFCOMM client connected on channel 1")) {
    ADD_FAILURE() << "expected client-connected, got " << connected << "\n" << diagnostics();
    return UniqueFd();
  }
  return std::move(client.value());
}

std::string BridgeProcessTest::connectLowEnergyClient(std::uint16_t mtu) {
  auto link = LowEnergyLink::connect(*sim_, mtu);
  if (!link.ok()) {
    ADD_FAILURE() << link.error();
    return "";
  }
  const auto connected = nextMessage();
  if (connected != eventMessage("client-connected", "Incoming BLE client connected")) {
    ADD_FAILURE() << "expected client-connected, got " << connected << "\n" << diagnostics();
    return "";
  }
  const std::string device = link.value().device();
  lowEnergyLinks_.insert_or_assign(device, std::move(link.value()));
  return device;
}

LowEnergyLink& BridgeProcessTest::lowEnergyLink(const std::string& device, std::uint16_t mtu) {
  return lowEnergyLinks_.try_emplace(device, device, mtu).first->second;
}

void BridgeProcessTest::writeLowEnergy(const std::string& device, std::string_view bytes,
                                       std::uint16_t mtu) {
  const auto written = lowEnergyLink(device, mtu).write(*sim_, bytes);
  if (!written.ok()) ADD_FAILURE() << written.error();
}

std::optional<std::string> BridgeProcessTest::readLowEnergyLine(const std::string& device,
                                                                std::uint16_t mtu,
                                                                std::chrono::milliseconds bound) {
  LowEnergyLink& link = lowEnergyLink(device, mtu);
  auto read = link.nextLine(*sim_, bound);
  EXPECT_LE(link.largestNotification(), mtu - 3u) << "a notification larger than MTU - 3";
  if (!read.ok()) {
    ADD_FAILURE() << read.error();
    return std::nullopt;
  }
  auto line = std::move(read.value()).line();
  if (!line) ADD_FAILURE() << "no whole line within the bound\n" << diagnostics();
  return line;
}

std::optional<RecordedProfile> BridgeProcessTest::helperRegistration() {
  auto registered = sim_->registrations();
  if (!registered.ok()) {
    ADD_FAILURE() << registered.error();
    return std::nullopt;
  }
  if (registered.value().size() > 1) ADD_FAILURE() << "more than one registration";
  if (registered.value().empty()) return std::nullopt;
  return std::move(registered.value().front());
}

std::string BridgeProcessTest::diagnostics() {
  std::string text;
  if (helper_) text += "helper stderr:\n" + helper_->transcript(Subprocess::Stream::err);
  if (sim_) text += "bluez-sim log:\n" + sim_->log();
  return text;
}

}  // namespace harlo::test_support
