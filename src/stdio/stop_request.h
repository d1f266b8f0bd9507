// StopRequest: how another thread asks the stdin reader to end.
//
// The reader waits for the parent's input and for this request together, so
// that a request reaches it at once whether it is waiting for input or
// between two lines. The first request wins; later ones change nothing.
//
// Thread safety: request() and requested() from any thread; readyFd() is for
// the reader's poll.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "base/result.h"

namespace harlo {

class StopRequest final {
 public:
  // What the reader does when asked to stop.
  struct Reason {
    // Ends as after "shutdown": the bridge is stopped and "stopping" is
    // reported with `detail`.
    static Reason finish(std::string detail) { return Reason{std::move(detail), false}; }
    // Ends at once, writing nothing more: the mode is ending without it.
    static Reason quietly() { return Reason{{}, true}; }

    std::string detail;
    bool quiet = false;
  };

  // Fails with the errno of eventfd(2).
  static Result<std::unique_ptr<StopRequest>, int> create();

  ~StopRequest();
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  void request(Reason reason);

  // The first request made, if any.
  std::optional<Reason> requested() const;

  // Readable once a request was made, and from then on.
  int readyFd() const { return fd_; }

 private:
  explicit StopRequest(int fd) : fd_(fd) {}

  const int fd_;
  std::atomic<bool> made_{false};       // set once, by the request that wins
  std::atomic<bool> published_{false};  // reason_ is written and may be read
  Reason reason_;                       // written once by the winning request, before published_
};

}  // namespace harlo
