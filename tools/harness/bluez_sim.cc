#include "bluez_sim.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

namespace harlo::harness {
namespace {

// A call to the simulator's control object, or nothing if it cannot be made.
sd_bus_message* controlCall(BusClient& bus, const char* member) {
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus.native(), &call, "org.harlo.BluezSim",
                                         "/org/harlo/BluezSim", "org.harlo.BluezSim1", member);
  return r < 0 ? nullptr : call;
}

// Calls `member` with the arguments `append` adds, hands the reply to
// `read` (when given), and releases both messages.
CallOutcome controlCall(BusClient& bus, const char* member,
                        const std::function<int(sd_bus_message*)>& append,
                        const std::function<int(sd_bus_message*)>& read = {}) {
  sd_bus_message* call = controlCall(bus, member);
  sd_bus_message* reply = nullptr;
  CallOutcome outcome{"harness.CallFailed", std::string(member) + " could not be made"};
  if (call != nullptr && append(call) >= 0) outcome = bus.call(call, read ? &reply : nullptr);
  if (outcome.ok() && read && read(reply) < 0) {
    outcome = {"harness.BadReply", std::string(member) + " answered something else"};
  }
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return outcome;
}

CallOutcome deviceCall(BusClient& bus, const char* member, const std::string& device) {
  return controlCall(bus, member, [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "o", device.c_str());
  });
}

}  // namespace

BluezSim::BluezSim(std::unique_ptr<TempDir> folder, std::unique_ptr<Subprocess> process,
                   std::unique_ptr<BusClient> control)
    : folder_(std::move(folder)),
      socketPath_(folder_->file("client.sock")),
      recordFile_(folder_->file("registrations.txt")),
      process_(std::move(process)),
      control_(std::move(control)) {}

Result<std::unique_ptr<BluezSim>, std::string> BluezSim::start(const PrivateBus& bus,
                                                               Options options) {
  auto folder = TempDir::create("harlo-sim");
  if (!folder) return fail(folder.error());
  std::vector<std::string> argv = {HARLO_BLUEZ_SIM_PATH, "--socket",
                                   folder.value()->file("client.sock"), "--record-file",
                                   folder.value()->file("registrations.txt")};
  if (options.failRegister) argv.push_back("--fail-register");
  if (options.neverAnswerUnregister) argv.push_back("--never-answer-unregister");
  if (options.adapter == StartAdapter::unpowered) argv.push_back("--adapter-off");
  if (options.adapter == StartAdapter::none) argv.push_back("--no-adapter");
  if (options.noLowEnergy) argv.push_back("--no-le");
  if (options.noAdvertising) argv.push_back("--no-advertising");
  auto process = Subprocess::start(argv, bus.environment());
  if (!process) return fail(process.error());
  auto ready = process.value()->readLine(Subprocess::Stream::out);
  if (ready != "bluez-sim ready") {
    auto status = process.value()->kill();
    std::ostringstream why;
    why << "bluez-sim did not become ready (" << status << "); its standard error:\n"
        << process.value()->transcript(Subprocess::Stream::err);
    return fail(why.str());
  }
  auto control = BusClient::connect(bus.address());
  if (!control) return fail(control.error());
  return std::unique_ptr<BluezSim>(new BluezSim(
      std::move(folder.value()), std::move(process.value()), std::move(control.value())));
}

Result<UniqueFd, std::string> BluezSim::connectClient() const {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fail(std::string("socket: ") + std::strerror(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::copy(socketPath_.begin(), socketPath_.end(), address.sun_path);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return fail("connect " + socketPath_ + ": " + std::strerror(errno));
  }
  return fd;
}

Result<bluez_sim::RecordFile, std::string> BluezSim::readRecord() const {
  std::ifstream in(recordFile_, std::ios::binary);
  if (!in) return fail("cannot open " + recordFile_);
  std::stringstream text;
  text << in.rdbuf();
  return bluez_sim::readRecordFile(text.str());
}

Result<std::vector<RecordedProfile>, std::string> BluezSim::registrations() const {
  auto contents = readRecord();
  if (!contents) return fail(contents.error());
  return std::move(contents.value().profiles);
}

Result<std::vector<UnregisterCall>, std::string> BluezSim::unregisterCalls() const {
  auto contents = readRecord();
  if (!contents) return fail(contents.error());
  return std::move(contents.value().unregisterCalls);
}

std::optional<std::string> BluezSim::waitForLog(std::string_view fragment,
                                                std::chrono::milliseconds bound) {
  return process_->waitForLineContaining(Subprocess::Stream::err, fragment, bound);
}

CallOutcome BluezSim::setAdapterPowered(const std::string& adapterPath, bool powered) {
  return control_->setProperty("org.bluez", adapterPath, "org.bluez.Adapter1",
                               {"Powered", "b", powered ? "true" : "false"});
}

Result<std::string, CallOutcome> BluezSim::addAdapter() {
  sd_bus_message* call = controlCall(*control_, "AddAdapter");
  sd_bus_message* reply = nullptr;
  CallOutcome outcome = call ? control_->call(call, &reply)
                             : CallOutcome{"harness.CallFailed", "AddAdapter could not be made"};
  const char* path = nullptr;
  if (outcome.ok() && sd_bus_message_read(reply, "o", &path) < 0)
    outcome = {"harness.BadReply", "AddAdapter did not answer an object path"};
  std::string added = path ? path : "";
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  if (!outcome.ok()) return fail(outcome);
  return added;
}

CallOutcome BluezSim::removeAdapter(const std::string& adapterPath) {
  sd_bus_message* call = controlCall(*control_, "RemoveAdapter");
  CallOutcome outcome = {"harness.CallFailed", "RemoveAdapter could not be made"};
  if (call && sd_bus_message_append(call, "o", adapterPath.c_str()) >= 0)
    outcome = control_->call(call);
  sd_bus_message_unref(call);
  return outcome;
}

Result<std::vector<RecordedGattApplication>, std::string> BluezSim::gattApplications() const {
  auto contents = readRecord();
  if (!contents) return fail(contents.error());
  return std::move(contents.value().gattApplications);
}

Result<std::vector<RecordedAdvertisement>, std::string> BluezSim::advertisements() const {
  auto contents = readRecord();
  if (!contents) return fail(contents.error());
  return std::move(contents.value().advertisements);
}

Result<std::string, CallOutcome> BluezSim::connectLowEnergy(std::uint16_t mtu, bool bonded,
                                                            bool trusted) {
  std::string device;
  const CallOutcome outcome = controlCall(
      *control_, "ConnectLowEnergy",
      [&](sd_bus_message* call) {
        return sd_bus_message_append(call, "qbb", mtu, int{bonded}, int{trusted});
      },
      [&](sd_bus_message* reply) {
        const char* path = nullptr;
        const int r = sd_bus_message_read(reply, "o", &path);
        if (r >= 0) device = path;
        return r;
      });
  if (!outcome.ok()) return fail(outcome);
  return device;
}

CallOutcome BluezSim::disconnectLowEnergy(const std::string& device) {
  return deviceCall(*control_, "DisconnectLowEnergy", device);
}

CallOutcome BluezSim::reconnectLowEnergy(const std::string& device) {
  return deviceCall(*control_, "ReconnectLowEnergy", device);
}

CallOutcome BluezSim::setTrusted(const std::string& device, bool trusted) {
  return control_->setProperty("org.bluez", device, "org.bluez.Device1",
                               {"Trusted", "b", trusted ? "true" : "false"});
}

CallOutcome BluezSim::subscribe(const std::string& device) {
  return deviceCall(*control_, "Subscribe", device);
}

CallOutcome BluezSim::unsubscribe(const std::string& device) {
  return deviceCall(*control_, "Unsubscribe", device);
}

CallOutcome BluezSim::writeLowEnergy(const std::string& device, std::string_view value,
                                     bool withResponse) {
  return controlCall(*control_, "WriteLowEnergy", [&](sd_bus_message* call) {
    int r = sd_bus_message_append(call, "o", device.c_str());
    if (r >= 0) r = sd_bus_message_append_array(call, 'y', value.data(), value.size());
    if (r >= 0) r = sd_bus_message_append(call, "b", int{withResponse});
    return r;
  });
}

Result<std::vector<std::string>, CallOutcome> BluezSim::takeNotifications(
    const std::string& device) {
  std::vector<std::string> packets;
  const CallOutcome outcome = controlCall(
      *control_, "TakeNotifications",
      [&](sd_bus_message* call) { return sd_bus_message_append(call, "o", device.c_str()); },
      [&](sd_bus_message* reply) {
        int r = sd_bus_message_enter_container(reply, 'a', "ay");
        while (r >= 0) {
          const void* bytes = nullptr;
          std::size_t size = 0;
          r = sd_bus_message_read_array(reply, 'y', &bytes, &size);
          if (r <= 0) break;
          packets.emplace_back(static_cast<const char*>(bytes), size);
        }
        return r < 0 ? r : sd_bus_message_exit_container(reply);
      });
  if (!outcome.ok()) return fail(outcome);
  return packets;
}

CallOutcome BluezSim::setNotificationsStalled(bool stalled) {
  return controlCall(*control_, "SetNotificationsStalled", [&](sd_bus_message* call) {
    return sd_bus_message_append(call, "b", int{stalled});
  });
}

std::optional<ExitStatus> BluezSim::stop(std::chrono::milliseconds bound) {
  process_->sendSignal(SIGTERM);
  return process_->waitForExit(bound);
}

}  // namespace harlo::harness
