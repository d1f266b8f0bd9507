#include "session.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace harlo::bench {
namespace {

constexpr std::chrono::seconds setupBound{10};

// Reads the helper's lines until one contains `fragment`.
void awaitLine(Subprocess& child, const std::string& fragment) {
  for (;;) {
    if (nextLine(child, setupBound).find(fragment) != std::string::npos) return;
  }
}

harness::UniqueFd listenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  harness::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd.get(), 1) != 0) {
    throw std::runtime_error("cannot listen at " + path);
  }
  return fd;
}

harness::UniqueFd acceptOne(int listener) {
  pollfd ready{listener, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(std::chrono::milliseconds(setupBound).count())) != 1) {
    throw std::runtime_error("the floor program did not connect");
  }
  harness::UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!client) throw std::runtime_error("accept failed");
  return client;
}

}  // namespace

std::unique_ptr<Session> Session::startHelper(const std::string& helperPath, bool withClient) {
  std::unique_ptr<Session> session(new Session());
  auto bus = harness::PrivateBus::start();
  if (!bus.ok()) throw std::runtime_error("private bus: " + bus.error());
  session->bus_ = std::move(bus).value();
  auto sim = harness::BluezSim::start(*session->bus_);
  if (!sim.ok()) throw std::runtime_error("bluez-sim: " + sim.error());
  session->sim_ = std::move(sim).value();
  session->child_ = startChild({helperPath, "--stdio"}, session->bus_->environment());
  awaitLine(*session->child_, "\"ready\"");
  if (withClient) {
    auto client = session->sim_->connectClient();
    if (!client.ok()) throw std::runtime_error("client: " + client.error());
    session->client_ = std::move(client).value();
    awaitLine(*session->child_, "\"client-connected\"");
  }
  return session;
}

std::unique_ptr<Session> Session::startFloor(const std::string& floorPath, bool withClient) {
  std::unique_ptr<Session> session(new Session());
  if (!withClient) {
    session->child_ = startChild({floorPath});
    return session;
  }
  auto folder = harness::TempDir::create("harlo-bench");
  if (!folder.ok()) throw std::runtime_error("temporary folder: " + folder.error());
  session->folder_ = std::move(folder).value();
  const std::string path = session->folder_->file("client.sock");
  const harness::UniqueFd listener = listenAt(path);
  session->child_ = startChild({floorPath, path});
  session->client_ = acceptOne(listener.get());
  return session;
}

ChildExit Session::finish() {
  child_->closeStdin();
  if (client_) ::shutdown(client_.get(), SHUT_RDWR);
  return waitForExit(*child_, setupBound);
}

}  // namespace harlo::bench
