#include "testing/fake_channel.h"

#include <utility>

#include "testing/fake_platform.h"

namespace harlo::platform {
namespace {

// A write to a channel that was closed fails like a write to a shut-down
// socket.
constexpr Status brokenPipe = -32;

}  // namespace

FakeChannel::FakeChannel(FakePlatform& platform, std::uint8_t id, std::uint8_t serviceChannel)
    : platform_(platform), id_(id), names_(rfcommChannelNames(id, serviceChannel)) {}

Status FakeChannel::setDelegate(ChannelDelegate* delegate) {
  platform_.record("setDelegate " + std::to_string(id_));
  Status status;
  {
    std::lock_guard lock(platform_.mutex_);
    status = platform_.delegateStatus_;
  }
  if (status == statusOK) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }
  return status;
}

std::optional<Status> FakeChannel::write(std::span<const std::uint8_t> data, WriteDone done) {
  platform_.record("write " + std::to_string(id_) + " " + std::to_string(data.size()));
  std::lock_guard lock(mutex_);
  writeSizes_.push_back(data.size());
  if (closed_) return brokenPipe;
  Status status;
  {
    std::lock_guard platformLock(platform_.mutex_);
    status = platform_.writeStatus_;
  }
  if (status != statusOK) return status;
  if (holdWrites_ || !heldWrites_.empty()) {
    heldWrites_.push_back(HeldWrite{std::string(data.begin(), data.end()), std::move(done)});
    return std::nullopt;
  }
  written_.append(data.begin(), data.end());
  return statusOK;
}

void FakeChannel::setInputPaused(bool paused) {
  platform_.record((paused ? "pause " : "resume ") + std::to_string(id_));
  std::deque<std::string> held;
  {
    std::lock_guard lock(mutex_);
    inputPaused_ = paused;
    if (!paused) held.swap(heldInput_);
  }
  for (std::string& bytes : held) {
    platform_.deliver([self = shared_from_this(), bytes = std::move(bytes)]() mutable {
      self->receive(std::move(bytes));
    });
  }
}

void FakeChannel::close(CloseReason) {
  platform_.record("close " + std::to_string(id_));
  // Closing stops the channel's watch on the loop, as the real platform does;
  // the close callback itself is posted, never delivered from inside close().
  // Held writes end at once, on this thread.
  std::deque<HeldWrite> cut;
  {
    std::lock_guard lock(mutex_);
    cut.swap(heldWrites_);
  }
  for (HeldWrite& held : cut) held.done(brokenPipe);
  platform_.onLoop([this] {
    if (markClosed()) platform_.deliverClose(shared_from_this());
  });
}

void FakeChannel::holdWrites(bool hold) {
  std::lock_guard lock(mutex_);
  holdWrites_ = hold;
}

std::size_t FakeChannel::completeHeldWrites(Status status) {
  std::deque<HeldWrite> finished;
  {
    std::lock_guard lock(mutex_);
    finished.swap(heldWrites_);
    if (status == statusOK) {
      for (const HeldWrite& held : finished) written_ += held.bytes;
    }
  }
  for (HeldWrite& held : finished) held.done(status);
  return finished.size();
}

bool FakeChannel::inputPaused() const {
  std::lock_guard lock(mutex_);
  return inputPaused_;
}

void FakeChannel::receive(std::string bytes) {
  ChannelDelegate* delegate = deliverableDelegate();
  if (delegate == nullptr) return;
  {
    std::lock_guard lock(mutex_);
    if (inputPaused_ || !heldInput_.empty()) {
      heldInput_.push_back(std::move(bytes));
      return;
    }
  }
  const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
  delegate->rfcommChannelData(*this, std::span(first, bytes.size()));
}

std::string FakeChannel::written() const {
  std::lock_guard lock(mutex_);
  return written_;
}

std::vector<std::size_t> FakeChannel::writeSizes() const {
  std::lock_guard lock(mutex_);
  return writeSizes_;
}

bool FakeChannel::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool FakeChannel::markClosed() {
  std::lock_guard lock(mutex_);
  const bool first = !closed_;
  closed_ = true;
  return first;
}

ChannelDelegate* FakeChannel::deliverableDelegate() const {
  std::lock_guard lock(mutex_);
  return closeDelivered_ ? nullptr : delegate_;
}

void FakeChannel::markCloseDelivered() {
  std::lock_guard lock(mutex_);
  closeDelivered_ = true;
}

}  // namespace harlo::platform
