#include "measures.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "process_memory.h"

namespace harlo::bench {
namespace {

using Clock = std::chrono::steady_clock;
// The most any one run may take before it counts as stuck.
constexpr std::chrono::seconds runBound{120};

// Escape-free payload `sequence`, `bytes` long, numbered so that a reader
// looking at a dump can tell lines apart.
std::string payloadFor(std::size_t sequence, std::size_t bytes) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%08zu ", sequence);
  std::string payload = digits;
  payload.append(bytes - payload.size(), static_cast<char>('a' + sequence % 26));
  return payload;
}

double kibOf(std::size_t bytes) { return static_cast<double>(bytes) / 1024.0; }

harness::ResidentMemory memoryOf(pid_t pid) {
  const auto memory = harness::residentMemory(pid);
  if (!memory) throw std::runtime_error("no memory figures for pid " + std::to_string(pid));
  return *memory;
}

double cpuNanos(const rusage& usage) {
  const auto nanos = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) * 1e9 + static_cast<double>(time.tv_usec) * 1e3;
  };
  return nanos(usage.ru_utime) + nanos(usage.ru_stime);
}

void requireCleanExit(const ChildExit& exit) {
  if (exit.status != ExitStatus::exitedWith(0)) {
    std::ostringstream status;
    status << exit.status;
    throw std::runtime_error("the program ended with " + status.str());
  }
}

// Reads the client socket until `expected` bytes have come; false if it
// ended or failed first.
bool readClientBytes(int fd, std::size_t expected) {
  std::vector<char> block(64 * 1024);
  std::size_t total = 0;
  while (total < expected) {
    const ssize_t got = ::recv(fd, block.data(), block.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    total += static_cast<std::size_t>(got);
  }
  return total == expected;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

// Ends the session and fills in what only the ended program can tell.
void finishFigures(Session& session, std::size_t count, Clock::duration elapsed,
                   ThroughputFigures& figures) {
  figures.peakResidentKiB = kibOf(memoryOf(session.child().pid()).peakBytes);
  const ChildExit exit = session.finish();
  requireCleanExit(exit);
  const double seconds = std::chrono::duration<double>(elapsed).count();
  figures.messagesPerSecond = static_cast<double>(count) / seconds;
  figures.cpuNanosPerMessage = cpuNanos(exit.usage) / static_cast<double>(count);
}

}  // namespace

ThroughputFigures parentToClient(Session& session, std::size_t count, std::size_t payloadBytes) {
  std::string input;
  input.reserve(count * (payloadBytes + 50));
  for (std::size_t i = 0; i < count; ++i) {
    input += R"({"kind":"protocol","payload":")" + payloadFor(i, payloadBytes) +
             R"(","version":1})"
             "\n";
  }
  ThroughputFigures figures;
  figures.idleResidentKiB = kibOf(memoryOf(session.child().pid()).currentBytes);

  const auto started = Clock::now();
  bool clientComplete = false;
  std::thread client(
      [&] { clientComplete = readClientBytes(session.client(), count * (payloadBytes + 1)); });
  std::string writeProblem;
  std::thread parent([&] {
    try {
      writeInput(session.child(), input, runBound);
    } catch (const std::exception& error) {
      writeProblem = error.what();
    }
  });
  std::string readProblem;
  try {
    skipLines(session.child(), count, runBound);
  } catch (const std::exception& error) {
    readProblem = error.what();
    // Unblocks both threads: the program's input breaks, the client ends.
    ::kill(session.child().pid(), SIGKILL);
    ::shutdown(session.client(), SHUT_RDWR);
  }
  parent.join();
  client.join();
  const auto elapsed = Clock::now() - started;
  if (!readProblem.empty()) throw std::runtime_error("parent to client: " + readProblem);
  if (!writeProblem.empty()) throw std::runtime_error("parent to client: " + writeProblem);
  if (!clientComplete)
    throw std::runtime_error("parent to client: the client did not get every payload");
  finishFigures(session, count, elapsed, figures);
  return figures;
}

ThroughputFigures clientToParent(Session& session, std::size_t count, std::size_t payloadBytes) {
  std::string lines;
  lines.reserve(count * (payloadBytes + 1));
  for (std::size_t i = 0; i < count; ++i) lines += payloadFor(i, payloadBytes) + "\n";
  ThroughputFigures figures;
  figures.idleResidentKiB = kibOf(memoryOf(session.child().pid()).currentBytes);

  const auto started = Clock::now();
  bool sent = false;
  std::thread client([&] { sent = sendAll(session.client(), lines); });
  std::string readProblem;
  try {
    skipLines(session.child(), count, runBound);
  } catch (const std::exception& error) {
    readProblem = error.what();
    ::shutdown(session.client(), SHUT_RDWR);
  }
  client.join();
  const auto elapsed = Clock::now() - started;
  if (!readProblem.empty()) throw std::runtime_error("client to parent: " + readProblem);
  if (!sent)
    throw std::runtime_error("client to parent: the program stopped taking the client's lines");
  finishFigures(session, count, elapsed, figures);
  return figures;
}

std::vector<double> pingRoundTrips(Session& session, std::size_t count) {
  const std::string ping = R"({"command":"ping","kind":"command","version":1})"
                           "\n";
  std::vector<double> micros;
  micros.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto sentAt = Clock::now();
    writeInput(session.child(), ping, runBound);
    // The helper's pong carries "ping" as its detail; the echo returns the ping.
    if (nextLine(session.child(), runBound).find("\"ping\"") == std::string::npos) {
      throw std::runtime_error("ping " + std::to_string(i) + " got another answer");
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sentAt).count());
  }
  requireCleanExit(session.finish());
  return micros;
}

double startupMicros(const std::vector<std::string>& argv) {
  const auto started = Clock::now();
  auto child = startChild(argv);
  child->closeStdin();
  if (drainToEnd(*child, runBound) == 0) throw std::runtime_error(argv[0] + " wrote nothing");
  requireCleanExit(waitForExit(*child, runBound));
  return std::chrono::duration<double, std::micro>(Clock::now() - started).count();
}

}  // namespace harlo::bench
