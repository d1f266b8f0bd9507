// StopSignals: the process asked from outside to stop (on Linux: SIGTERM,
// SIGINT and SIGHUP), as a desktop session ending, a parent's kill or Ctrl-C
// in a terminal do.
//
// The first request is passed on, on a thread of its own, at once, whatever
// the other threads are doing (a main loop held by a bus call, a reader
// waiting for the parent). From the first request on, a second one ends the
// process at once, as it would have without this.
#pragma once

#include <functional>
#include <string_view>

namespace harlo::platform {

class StopSignals {
 public:
  virtual ~StopSignals() = default;

  // Makes `requested` the receiver of the first request, which it gets with
  // the request's name ("SIGTERM"), on the stop thread; a request made before
  // a receiver was set is passed on as soon as one is. `requested` may take
  // its time. An empty function removes the receiver, returning once a call
  // of the one it replaces has returned: whatever it points at may then go.
  // Any thread but the stop thread.
  virtual void onRequest(std::function<void(std::string_view name)> requested) = 0;
};

}  // namespace harlo::platform
