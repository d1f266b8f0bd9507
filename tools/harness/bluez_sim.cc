#include "bluez_sim.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace harlo::harness {

BluezSim::BluezSim(std::unique_ptr<TempDir> folder, std::unique_ptr<Subprocess> process)
    : folder_(std::move(folder)),
      socketPath_(folder_->file("client.sock")),
      recordFile_(folder_->file("registrations.txt")),
      process_(std::move(process)) {}

Result<std::unique_ptr<BluezSim>, std::string> BluezSim::start(const PrivateBus& bus,
                                                               Options options) {
  auto folder = TempDir::create("harlo-sim");
  if (!folder) return fail(folder.error());
  std::vector<std::string> argv = {HARLO_BLUEZ_SIM_PATH, "--socket",
                                   folder.value()->file("client.sock"), "--record-file",
                                   folder.value()->file("registrations.txt")};
  if (options.failRegister) argv.push_back("--fail-register");
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
  return std::unique_ptr<BluezSim>(
      new BluezSim(std::move(folder.value()), std::move(process.value())));
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

Result<std::vector<RecordedProfile>, std::string> BluezSim::registrations() const {
  std::ifstream in(recordFile_, std::ios::binary);
  if (!in) return fail("cannot open " + recordFile_);
  std::stringstream text;
  text << in.rdbuf();
  return bluez_sim::parseRecordFile(text.str());
}

std::optional<std::string> BluezSim::waitForLog(std::string_view fragment,
                                                std::chrono::milliseconds bound) {
  return process_->waitForLineContaining(Subprocess::Stream::err, fragment, bound);
}

std::optional<ExitStatus> BluezSim::stop(std::chrono::milliseconds bound) {
  process_->sendSignal(SIGTERM);
  return process_->waitForExit(bound);
}

}  // namespace harlo::harness
