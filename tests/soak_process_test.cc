// The real helper in bridge mode under a long random run in both directions
// at once: random payloads (up to 4 KiB, multi-byte characters, control
// characters, JSON metacharacters) written in random chunks. Every message
// must arrive exactly once, in order, byte for byte.
//
// The default run sends 20,000 messages each way. HARLO_SOAK_MESSAGES sets
// the count (scripts/soak runs a million) and HARLO_SOAK_SEED replays a run;
// the seed is printed either way.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "base/utf8_units.h"
#include "bridge_process_fixture.h"
#include "harness_names.h"

namespace harlo::test_support {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t defaultMessageCount = 20'000;
constexpr std::size_t maxPayloadBytes = 4096;
constexpr std::size_t maxChunkBytes = 16384;

std::size_t messageCount() {
  const char* text = std::getenv("HARLO_SOAK_MESSAGES");
  return text ? std::strtoull(text, nullptr, 10) : defaultMessageCount;
}

std::uint64_t soakSeed() {
  if (const char* text = std::getenv("HARLO_SOAK_SEED")) return std::strtoull(text, nullptr, 10);
  std::random_device device;
  return (std::uint64_t{device()} << 32) | device();
}

// The sequence of payloads one direction carries, the same for a given seed:
// the sending side and the checking side each run their own copy. Payloads
// are valid UTF-8 of 1 to maxPayloadBytes bytes without a line feed.
class PayloadSource final {
 public:
  explicit PayloadSource(std::uint64_t seed) : random_(seed) {}

  std::string next() {
    const std::size_t size = pick(1, maxPayloadBytes);
    std::string payload;
    while (payload.size() < size) {
      const std::size_t left = size - payload.size();
      const std::size_t kind = pick(0, 9);
      char32_t c;
      if (kind == 0) {
        c = static_cast<char32_t>(pick(0, 0x1E));  // control characters, NUL and CR included
        if (c == '\n') c = 0x1F;
      } else if (kind == 1) {
        c = U"\"\\/{}"[pick(0, 4)];
      } else if (kind == 2 && left >= 2) {
        c = static_cast<char32_t>(pick(0x80, 0x7FF));
      } else if (kind == 3 && left >= 3) {
        c = static_cast<char32_t>(pick(0x800, 0xFFFD));
        if (c >= 0xD800 && c <= 0xDFFF) c -= 0x1000;  // never a surrogate
      } else if (kind == 4 && left >= 4) {
        c = static_cast<char32_t>(pick(0x10000, 0x10FFFF));
      } else {
        c = static_cast<char32_t>(pick(0x20, 0x7E));
      }
      appendUTF8(payload, c);
    }
    return payload;
  }

 private:
  std::size_t pick(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(random_);
  }

  std::mt19937_64 random_;
};

std::size_t randomChunk(std::mt19937_64& random) {
  return std::uniform_int_distribution<std::size_t>(1, maxChunkBytes)(random);
}

// What one side saw of the stream it checked.
struct StreamCheck {
  std::size_t complete = 0;  // messages that matched, from the first on
  std::string problem;       // empty while all is well
};

std::string shown(std::string_view text) {
  return nlohmann::json(std::string(text.substr(0, 120))).dump();
}

// The client's side of the parent's payloads: every line checked against the
// next payload, until `count` have come or one is wrong or missing.
StreamCheck readClientLines(int fd, std::uint64_t seed, std::size_t count) {
  PayloadSource expected(seed);
  StreamCheck check;
  std::string buffer;
  char block[65536];
  while (check.complete < count) {
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(defaultWait.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      check.problem = "the client waited in vain after line " + std::to_string(check.complete);
      return check;
    }
    const ssize_t got = ::read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      check.problem = "the link ended after line " + std::to_string(check.complete);
      return check;
    }
    buffer.append(block, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = buffer.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string_view line(buffer.data() + start, end - start);
      const std::string want = expected.next();
      if (check.complete == count || line != want) {
        check.problem = "client line " + std::to_string(check.complete) + " is " + shown(line) +
                        ", expected " + shown(want);
        return check;
      }
      ++check.complete;
    }
    buffer.erase(0, start);
  }
  return check;
}

// The client's own lines, written in random chunks.
StreamCheck writeClientLines(int fd, std::uint64_t seed, std::uint64_t chunkSeed,
                             std::size_t count) {
  PayloadSource payloads(seed);
  std::mt19937_64 chunks(chunkSeed);
  StreamCheck check;
  std::string pending;
  std::size_t queued = 0;
  while (check.complete < count) {
    while (queued < count && pending.size() < maxChunkBytes) {
      pending += payloads.next();
      pending += '\n';
      ++queued;
    }
    const std::size_t chunk = std::min(randomChunk(chunks), pending.size());
    if (!writeWithin(fd, std::string_view(pending).substr(0, chunk))) {
      check.problem = "the helper stopped taking the client's lines";
      return check;
    }
    pending.erase(0, chunk);
    // Lines fully written so far: those queued minus those still pending.
    check.complete =
        queued - static_cast<std::size_t>(std::count(pending.begin(), pending.end(), '\n'));
  }
  return check;
}

using SoakProcess = BridgeProcessTest;

// Random messages both ways at once, each delivered exactly once, in order,
// byte for byte; each parent payload is reported written with its size.
TEST_F(SoakProcess, RandomMessagesBothWaysArriveExactlyOnceInOrder) {
  const std::size_t count = messageCount();
  const std::uint64_t seed = soakSeed();
  std::cout << "soak: " << count << " messages each way, HARLO_SOAK_SEED=" << seed
            << std::endl;  // flushed: a run that never ends still shows its seed
  RecordProperty("seed", std::to_string(seed));
  const std::uint64_t parentSeed = seed;
  const std::uint64_t clientSeed = seed ^ 0x9E3779B97F4A7C15u;

  ASSERT_NO_FATAL_FAILURE(startReady());
  UniqueFd client = connectClient();
  ASSERT_TRUE(client);

  const auto started = Clock::now();
  StreamCheck received;
  StreamCheck written;
  std::thread reader([&] { received = readClientLines(client.get(), parentSeed, count); });
  std::thread writer(
      [&] { written = writeClientLines(client.get(), clientSeed, clientSeed + 1, count); });

  // The parent: writes its commands in random chunks as far as the helper's
  // input takes them, and reads whatever the helper has written meanwhile,
  // so that neither pipe can stall the other.
  PayloadSource payloads(parentSeed);
  PayloadSource clientLines(clientSeed);
  std::mt19937_64 chunks(seed + 2);
  std::deque<std::size_t> unreported;  // byte counts of payloads not yet reported written
  std::string pending;
  std::size_t queued = 0;
  StreamCheck events;
  StreamCheck messages;
  std::string problem;
  auto lastProgress = Clock::now();
  while (problem.empty() && (events.complete < count || messages.complete < count)) {
    while (queued < count && pending.size() < maxChunkBytes) {
      const std::string payload = payloads.next();
      pending += protocolCommand(payload) + "\n";
      unreported.push_back(payload.size() + 1);
      ++queued;
    }
    bool progressed = false;
    if (!pending.empty()) {
      const auto taken = helper_->writeStdinNow(
          std::string_view(pending).substr(0, std::min(randomChunk(chunks), pending.size())));
      if (!taken) {
        problem = "the helper's input closed";
        break;
      }
      pending.erase(0, *taken);
      progressed = *taken > 0;
    }
    // Waits for output only when there is no input it could take instead.
    const auto wait = pending.empty() ? defaultWait : std::chrono::milliseconds(progressed ? 0 : 1);
    if (const auto line = helper_->readLine(Subprocess::Stream::out, wait)) {
      progressed = true;
      const auto message = nlohmann::json::parse(*line, nullptr, false);
      if (message.is_object() && message.value("kind", "") == "protocol") {
        const std::string want = clientLines.next();
        if (message != protocolMessage(want)) {
          problem = "parent message " + std::to_string(messages.complete) + " is " + shown(*line) +
                    ", expected the payload " + shown(want);
        }
        ++messages.complete;
      } else if (!unreported.empty() &&
                 message ==
                     eventMessage("rfcomm-write", "wrote " + std::to_string(unreported.front()) +
                                                      " bytes to RFCOMM channel 1")) {
        unreported.pop_front();
        ++events.complete;
      } else {
        problem = "unexpected message " + shown(*line) + " after " +
                  std::to_string(events.complete) + " writes";
      }
    }
    if (progressed) {
      lastProgress = Clock::now();
    } else if (Clock::now() - lastProgress > defaultWait) {
      problem = "no progress after " + std::to_string(events.complete) + " writes and " +
                std::to_string(messages.complete) + " client lines";
    }
  }
  // Unblocks both client threads at once if the parent side gave up.
  if (!problem.empty()) ::shutdown(client.get(), SHUT_RDWR);
  reader.join();
  writer.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

  EXPECT_EQ(problem, "") << "HARLO_SOAK_SEED=" << seed << "\n" << diagnostics();
  EXPECT_EQ(received.problem, "") << "HARLO_SOAK_SEED=" << seed;
  EXPECT_EQ(written.problem, "") << "HARLO_SOAK_SEED=" << seed;
  EXPECT_EQ(received.complete, count);
  EXPECT_EQ(written.complete, count);
  EXPECT_EQ(events.complete, count);
  EXPECT_EQ(messages.complete, count);
  // Nothing more came either way: the next message answers a ping, and the
  // client has nothing left to read.
  send(commandLine("ping"));
  EXPECT_EQ(nextMessage(), eventMessage("pong", "ping"));
  EXPECT_FALSE(hasPendingEvent(client.get())) << "the client got more than the payloads";
  std::cout << "soak: " << count << " messages each way in " << seconds << " s\n";
  RecordProperty("seconds", std::to_string(seconds));
}

}  // namespace
}  // namespace harlo::test_support
