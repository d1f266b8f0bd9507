// The measures the driver takes of one running session (session.h). Each
// takes a fresh session, drives it to the end and reads what it cost. The
// same code drives the helper and its floor: only what the program is told
// on standard input differs (protocol commands or ping commands, which the
// floor programs treat as plain lines). Failures (a lost line, a program
// that stops) throw std::runtime_error; nothing here checks speed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "session.h"

namespace harlo::bench {

struct ThroughputFigures {
  double messagesPerSecond = 0;
  double cpuNanosPerMessage = 0;  // the program's utime+stime over its life / messages
  double idleResidentKiB = 0;     // VmRSS once set up, before the load
  double peakResidentKiB = 0;     // VmHWM after the load
};

// `count` protocol messages of `payloadBytes`-byte payloads from the parent;
// the client must receive each payload and a line feed, and the parent one
// line per message. Ends the session.
ThroughputFigures parentToClient(Session& session, std::size_t count, std::size_t payloadBytes);

// `count` lines of `payloadBytes` bytes from the client; the parent must
// receive one line per client line. Ends the session.
ThroughputFigures clientToParent(Session& session, std::size_t count, std::size_t payloadBytes);

// Round-trip times in microseconds of `count` ping commands, one at a time,
// each waiting for its one-line answer. Ends the session.
std::vector<double> pingRoundTrips(Session& session, std::size_t count);

// Microseconds from starting `argv` to having read its whole output and
// reaped it. Throws if it exits with a status other than 0.
double startupMicros(const std::vector<std::string>& argv);

}  // namespace harlo::bench
