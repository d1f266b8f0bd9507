#include "stream_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "att_channel.h"
#include "att_pdu.h"
#include "base/write_all.h"
#include "bounded_io.h"
#include "gatt_line_service.h"
#include "le_session.h"
#include "unique_fd.h"

namespace harlo {
namespace {

using harness::readExactlyWithin;
using harness::UniqueFd;
using namespace std::chrono_literals;

constexpr auto bound = 5s;

// A session between an input pipe, one end of a socket pair (the other end
// plays the peer) and an output pipe, run on a thread of its own. Over LE
// the pair is a packet one, a packet per ATT PDU as on the kernel's ATT
// channel, and the peer plays the helper's GATT server.
class StreamSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    near_.reset(pair[0]);
    far_.reset(pair[1]);
    ASSERT_TRUE(makePipe(inputRead_, inputWrite_));
    ASSERT_TRUE(makePipe(outputRead_, outputWrite_));
  }

  static bool makePipe(UniqueFd& read, UniqueFd& write) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read.reset(fds[0]);
    write.reset(fds[1]);
    return true;
  }

  // Replaces the stream pair with a packet pair.
  void usePackets() {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    near_.reset(pair[0]);
    far_.reset(pair[1]);
  }

  // Runs the LE client as the program does, from the MTU exchange on, with
  // an ATT MTU of 23 offered (20 value bytes a write); status lines go to
  // `reports_`.
  void startLE(LeWrite write) {
    outcome_ = std::async(std::launch::async, [this, write] {
      AttChannel att(near_.get(), att::defaultMtu, bound);
      auto line = openLineService(att, write, outputWrite_.get(),
                                  [this](std::string line) { reports_.push_back(line); });
      if (!line) return line.error();
      return runLeSession(inputRead_.get(), att, line.value(), write, 1000ms);
    });
  }

  // The next PDU the client sent; empty if none came within the bound.
  att::Pdu nextPdu() {
    pollfd entry{far_.get(), POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) return {};
    att::Pdu pdu(600);
    const ssize_t got = ::recv(far_.get(), pdu.data(), pdu.size(), 0);
    pdu.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return pdu;
  }

  void sendPdu(const att::Pdu& pdu) {
    ASSERT_EQ(::send(far_.get(), pdu.data(), pdu.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(pdu.size()));
  }

  // The helper's service: declared at 0x10 to 0x15, "to helper" written at
  // 0x12, "from helper" notifying at 0x14, its configuration at 0x15. Plays
  // the discovery and the subscription as bluetoothd answers them, one
  // declaration a response, with bluetoothd's own requests to its client
  // (the MTU, then the client's services) arriving before its first answer.
  void playDiscovery() {
    EXPECT_EQ(nextPdu(), (att::Pdu{0x02, 0x17, 0x00}));
    sendPdu({0x02, 0x05, 0x02});
    EXPECT_EQ(nextPdu(), (att::Pdu{0x03, 0x17, 0x00}));
    sendPdu({0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28});
    EXPECT_EQ(nextPdu(), (att::Pdu{0x01, 0x10, 0x01, 0x00, 0x0A}));
    sendPdu(att::exchangeMtuResponse(517));

    EXPECT_EQ(nextPdu(), att::findPrimaryServiceRequest({0x0001, 0xFFFF}, companionServiceUuid));
    sendPdu({0x07, 0x10, 0x00, 0x15, 0x00});
    EXPECT_EQ(nextPdu(), att::readByTypeRequest({0x10, 0x15}, att::characteristicType));
    sendPdu(declaration(0x11, att::property::write | att::property::writeWithoutResponse, 0x12,
                        toHelperCharacteristicUuid));
    EXPECT_EQ(nextPdu(), att::readByTypeRequest({0x12, 0x15}, att::characteristicType));
    sendPdu(declaration(0x13, att::property::notify, 0x14, fromHelperCharacteristicUuid));
    EXPECT_EQ(nextPdu(), att::readByTypeRequest({0x14, 0x15}, att::characteristicType));
    sendPdu(
        att::errorResponse({att::opcode::readByTypeRequest, 0x14, att::error::attributeNotFound}));
    EXPECT_EQ(nextPdu(), att::findInformationRequest({0x15, 0x15}));
    sendPdu({0x05, 0x01, 0x15, 0x00, 0x02, 0x29});
    EXPECT_EQ(nextPdu(), (att::Pdu{0x12, 0x15, 0x00, 0x01, 0x00}));
    sendPdu({0x13});
  }

  static att::Pdu declaration(std::uint16_t handle, std::uint8_t properties, std::uint16_t value,
                              const ServiceUuid& uuid) {
    att::Pdu pdu{0x09, 21,         static_cast<std::uint8_t>(handle),
                 0x00, properties, static_cast<std::uint8_t>(value),
                 0x00};
    pdu.insert(pdu.end(), uuid.rbegin(), uuid.rend());
    return pdu;
  }

  static att::Pdu withValue(att::Pdu head, std::string_view value) {
    head.insert(head.end(), value.begin(), value.end());
    return head;
  }

  void start(std::chrono::milliseconds idle) {
    outcome_ = std::async(std::launch::async, [this, idle] {
      return runSession(inputRead_.get(), near_.get(), outputWrite_.get(), idle);
    });
  }

  // The session's outcome; a session still running after the bound is
  // unblocked by shutting its socket down, and the test fails.
  SessionOutcome finish() {
    if (outcome_.wait_for(bound) != std::future_status::ready) {
      ::shutdown(near_.get(), SHUT_RDWR);
      ADD_FAILURE() << "session did not end within the bound";
    }
    return outcome_.get();
  }

  // Everything left in the output pipe once the session has closed nothing:
  // close our write end first, then read to end of file.
  std::string drainOutput() {
    outputWrite_.reset();
    std::string bytes;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(outputRead_.get(), buffer, sizeof buffer)) > 0) {
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  UniqueFd near_, far_, inputRead_, inputWrite_, outputRead_, outputWrite_;
  std::future<SessionOutcome> outcome_;
  std::vector<std::string> reports_;  // written by the session's thread until it ends
};

// Input reaches the peer, the peer's bytes reach the output, and the peer's
// orderly close ends the session even while input is still open.
TEST_F(StreamSessionTest, CopiesBothWaysUntilPeerCloses) {
  start(1000ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "hello\n"), 0);
  EXPECT_EQ(readExactlyWithin(far_.get(), 6, bound), "hello\n");
  ASSERT_EQ(writeAll(far_.get(), "ack\nsecond line\n"), 0);
  EXPECT_EQ(readExactlyWithin(outputRead_.get(), 16, bound), "ack\nsecond line\n");
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::peerClosed);
  EXPECT_EQ(outcome.error, 0);
}

// Once input has ended, a silent peer ends the session through the idle
// timeout, after every input byte was sent.
TEST_F(StreamSessionTest, EndsIdleAfterInputEnds) {
  start(20ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "last words\n"), 0);
  inputWrite_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::idle);
  EXPECT_EQ(readExactlyWithin(far_.get(), 11, bound), "last words\n");
}

// Bytes the peer sends after input has ended are still delivered before the
// peer's close ends the session.
TEST_F(StreamSessionTest, DeliversPeerBytesAfterInputEnds) {
  inputWrite_.reset();
  start(1000ms);
  ASSERT_EQ(writeAll(far_.get(), "late reply\n"), 0);
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::peerClosed);
  EXPECT_EQ(drainOutput(), "late reply\n");
}

// A peer that drops the connection with our bytes unread resets it: the
// session reports the lost connection with its errno.
TEST_F(StreamSessionTest, ReportsResetAsConnectionLost) {
  start(1000ms);
  ASSERT_EQ(writeAll(inputWrite_.get(), "unread\n"), 0);
  pollfd entry{far_.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 5000), 1);
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::connectionLost);
  EXPECT_EQ(outcome.error, ECONNRESET);
}

// An output nobody reads any more is a local failure, not a peer problem.
TEST_F(StreamSessionTest, ReportsBrokenOutputAsLocalFailure) {
  outputRead_.reset();
  start(1000ms);
  ASSERT_EQ(writeAll(far_.get(), "nobody listens\n"), 0);
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::localFailure);
  EXPECT_EQ(outcome.error, EPIPE);
}

// Over LE: discovery and subscription as the helper's bluetoothd answers
// them; then each input line leaves in writes of at most 20 bytes, a line
// feed ending a write; while a write waits for its response, notifications
// and an indication of "from helper" reach the output in order (the
// indication confirmed) and a notification of another handle does not.
TEST_F(StreamSessionTest, LeSubscribesThenWritesLinesAndDeliversNotifications) {
  usePackets();
  startLE(LeWrite::request);
  playDiscovery();
  ASSERT_EQ(writeAll(inputWrite_.get(), "{\"type\":\"hello\"}\nthis line takes two writes\n"), 0);

  EXPECT_EQ(nextPdu(), withValue({0x12, 0x12, 0x00}, "{\"type\":\"hello\"}\n"));
  const std::string ack = R"({"type":"hello_ack","version":1,"platform":"Darwin"})"
                          "\n";
  sendPdu(withValue({0x1B, 0x14, 0x00}, ack.substr(0, 20)));
  sendPdu(withValue({0x1B, 0x99, 0x00}, "not the helper's"));
  sendPdu(withValue({0x1D, 0x14, 0x00}, ack.substr(20, 20)));
  EXPECT_EQ(nextPdu(), (att::Pdu{0x1E}));
  sendPdu({0x13});
  EXPECT_EQ(nextPdu(), withValue({0x12, 0x12, 0x00}, "this line takes two "));
  sendPdu({0x13});
  EXPECT_EQ(nextPdu(), withValue({0x12, 0x12, 0x00}, "writes\n"));
  sendPdu({0x13});
  sendPdu(withValue({0x1B, 0x14, 0x00}, ack.substr(40)));

  EXPECT_EQ(readExactlyWithin(outputRead_.get(), ack.size(), bound), ack);
  far_.reset();
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::peerClosed);
  EXPECT_EQ(reports_,
            (std::vector<std::string>{"ATT MTU 23",
                                      "service d53f4e4c-6c17-4d8b-a1c7-4a7a3f6d9a10 at handles "
                                      "0x0010-0x0015: to helper 0x0012, from helper 0x0014",
                                      "subscribed to notifications from handle 0x0014"}));
}

// A write the helper refuses (a device its computer does not trust) ends the
// session with the refusal; with --without-response nothing waits for an
// answer, and the write is a Write Command.
TEST_F(StreamSessionTest, LeEndsOnARefusedWrite) {
  usePackets();
  startLE(LeWrite::request);
  playDiscovery();
  ASSERT_EQ(writeAll(inputWrite_.get(), "hi\n"), 0);
  EXPECT_EQ(nextPdu(), withValue({0x12, 0x12, 0x00}, "hi\n"));
  sendPdu(att::errorResponse({att::opcode::writeRequest, 0x12, 0x08}));
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::attFailure);
  EXPECT_EQ(outcome.detail,
            "Error Response to Write Request (0x12) on handle 0x0012: Insufficient "
            "Authorization (0x08)");

  usePackets();
  reports_.clear();
  startLE(LeWrite::command);
  playDiscovery();
  ASSERT_EQ(writeAll(inputWrite_.get(), "hi\n"), 0);
  EXPECT_EQ(nextPdu(), withValue({0x52, 0x12, 0x00}, "hi\n"));
  inputWrite_.reset();
  EXPECT_EQ(finish().end, SessionEnd::idle);
}

// A server whose discovery responses do not move forward through the range
// asked for is refused instead of being asked forever.
TEST_F(StreamSessionTest, LeRefusesDiscoveryThatGoesBack) {
  usePackets();
  startLE(LeWrite::request);
  EXPECT_EQ(nextPdu(), (att::Pdu{0x02, 0x17, 0x00}));
  sendPdu(att::exchangeMtuResponse(23));
  EXPECT_EQ(nextPdu(), att::findPrimaryServiceRequest({0x0001, 0xFFFF}, companionServiceUuid));
  sendPdu({0x07, 0x10, 0x00, 0x15, 0x00});
  EXPECT_EQ(nextPdu(), att::readByTypeRequest({0x10, 0x15}, att::characteristicType));
  sendPdu(declaration(0x11, att::property::write, 0x12, toHelperCharacteristicUuid));
  EXPECT_EQ(nextPdu(), att::readByTypeRequest({0x12, 0x15}, att::characteristicType));
  sendPdu(declaration(0x11, att::property::write, 0x12, toHelperCharacteristicUuid));
  const SessionOutcome outcome = finish();
  EXPECT_EQ(outcome.end, SessionEnd::attFailure);
  EXPECT_EQ(outcome.detail,
            "characteristic declaration at handle 0x0011 outside the range asked for, "
            "0x0012-0x0015");
}

}  // namespace
}  // namespace harlo
