// Session: one measured program running with (optionally) a connected
// client socket, set up the same way for the helper and for its floor:
// - the helper runs in bridge mode on a private bus with bluez-sim; the
//   session waits for "ready" and, with a client, connects one through the
//   simulator and waits for "client-connected";
// - a floor program is given the path of a Unix socket the session listens
//   on and connects to it; the session accepts that connection.
// Either way the client end is a blocking Unix stream socket, and standard
// output holds no line yet when start returns. Failures throw
// std::runtime_error. One thread sets a session up and ends it.
#pragma once

#include <memory>
#include <string>

#include "bluez_sim.h"
#include "child.h"
#include "private_bus.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace harlo::bench {

class Session final {
 public:
  static std::unique_ptr<Session> startHelper(const std::string& helperPath, bool withClient);
  // `floorPath` is run with the client socket path as its one argument when
  // `withClient`, with no argument otherwise.
  static std::unique_ptr<Session> startFloor(const std::string& floorPath, bool withClient);

  ~Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Subprocess& child() { return *child_; }
  int client() const { return client_.get(); }

  // Ends the program as a parent and a client that are done would (its
  // standard input closed, the client shut down) and returns its exit.
  ChildExit finish();

 private:
  Session() = default;

  std::unique_ptr<harness::PrivateBus> bus_;
  std::unique_ptr<harness::BluezSim> sim_;
  std::unique_ptr<harness::TempDir> folder_;
  harness::UniqueFd client_;
  std::unique_ptr<Subprocess> child_;  // declared last: ended first
};

}  // namespace harlo::bench
