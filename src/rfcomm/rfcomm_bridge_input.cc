// RFCOMMBridge: inbound channel data, framed into lines, and the hello reply.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "base/overloaded.h"
#include "rfcomm/companion_service.h"
#include "rfcomm/rfcomm_bridge.h"
#include "text/line_limit.h"

namespace harlo {

void RFCOMMBridge::rfcommChannelData(platform::Channel&, std::span<const std::uint8_t> data) {
  // Bytes from any channel the bridge is the delegate of join the one buffer.
  handleIncomingData(data);
}

void RFCOMMBridge::handleIncomingData(std::span<const std::uint8_t> data) {
  pendingInput_.append(data);
  handleLines();
}

void RFCOMMBridge::handleLines() {
  // Each line leaves the buffer before it is acted on, so the callbacks see
  // the buffer without it. The line is viewed in the buffer: nothing that
  // handling it does on this thread appends to or clears pendingInput_. While
  // a hello reply waits, the lines after it wait too, so that the parent sees
  // them after the reply's report and the hello line.
  while (!waitingHello_) {
    const std::optional<ClientLines::Action> action = pendingInput_.next();
    if (!action) return;
    std::visit(
        Overloaded{
            [this](const ClientLines::Forward& line) { emitProtocol_(line.text); },
            [this](const ClientLines::AnswerHello& hello) { answerHello(hello.text); },
            [this](const ClientLines::Oversized&) {
              emitError_("RFCOMM client line exceeds " + std::to_string(maxLineBytes) + " bytes");
            },
        },
        *action);
  }
}

class RFCOMMBridge::HelloOutcome {
 public:
  void set(platform::Status status) {
    std::lock_guard lock(mutex_);
    status_ = status;
  }
  std::optional<platform::Status> get() const {
    std::lock_guard lock(mutex_);
    return status_;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<platform::Status> status_;  // guarded by mutex_
};

void RFCOMMBridge::answerHello(std::string_view line) {
  emitEvent_("handshake", "Received hello, responding with hello_ack directly");
  const std::shared_ptr<platform::Channel> channel = activeChannel();
  if (!channel) {
    emitError_(noClientMessage);
    emitProtocol_(line);
    return;
  }
  const auto reply = std::span(reinterpret_cast<const std::uint8_t*>(helloAckPayload.data()),
                               helloAckPayload.size());
  // A reply that must wait is finished by a task of the loop's own, whichever
  // thread ends the write (the loop sending it, or a thread closing the
  // channel), so that it never runs inside another of the bridge's calls.
  const std::uint64_t serial = ++helloReplies_;
  auto outcome = std::make_shared<HelloOutcome>();
  const std::optional<platform::Status> status =
      channel->write(reply, [this, outcome, serial](platform::Status ended) {
        outcome->set(ended);
        platform_.mainLoop().post([this, serial] { finishHelloReply(serial); });
      });
  if (status) {
    reportWrite(*status, reply.size(), *channel);
    emitProtocol_(line);
    return;
  }
  // The client reads nothing more until its reply is out: a client that sends
  // hellos and never reads fills its own socket, not the helper's memory.
  waitingHello_ = WaitingHello{serial, std::string(line), channel, std::move(outcome)};
  updateInputPause(*channel);
}

void RFCOMMBridge::finishHelloReply(std::uint64_t serial) {
  // A reply finished already, at its client's replacement or stop, is done.
  if (!waitingHello_ || waitingHello_->serial != serial) return;
  const std::shared_ptr<platform::Channel> channel = waitingHello_->channel;
  const bool delivered = waitingHello_->outcome->get() == platform::statusOK;
  finishWaitingHello();
  // A failed reply means a channel on its way out, whose close empties the
  // buffer anyway: its other lines are not answered into it.
  if (delivered && activeChannel() == channel) {
    handleLines();
  } else {
    pendingInput_.clear();
  }
}

void RFCOMMBridge::finishWaitingHello() {
  if (!waitingHello_) return;
  const WaitingHello waiting = std::move(*waitingHello_);
  waitingHello_.reset();
  reportWrite(waiting.outcome->get().value_or(platform::statusClosed), helloAckPayload.size(),
              *waiting.channel);
  emitProtocol_(waiting.line);
  updateInputPause(*waiting.channel);
}

void RFCOMMBridge::updateInputPause(platform::Channel& channel) {
  channel.setInputPaused(inputHeld_ || (waitingHello_ && waitingHello_->channel.get() == &channel));
}

void RFCOMMBridge::holdClientInput(bool held) {
  if (held == inputHeld_) return;
  inputHeld_ = held;
  if (const auto channel = activeChannel()) updateInputPause(*channel);
}

}  // namespace harlo
