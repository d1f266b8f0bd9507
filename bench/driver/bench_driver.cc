// harlo-bench-driver: measures the helper and its floor programs side by
// side, alternating between them within each round so that both see the
// same machine load, and prints the medians and the ratio helper/floor.
//
// Usage: harlo-bench-driver [--rounds N] [--messages N] [--pings N]
//                           [--startups N] [--json PATH] [--commit TEXT]
// --startups is the number of start-ups of each program per round. The JSON
// file (default build/bench-results.json) holds the same table, for
// comparing commits; --commit is recorded there, with the load average
// before the run (the machine's other work shows in every figure). Ping
// figures are per round (p50 and p99 of its pings), then the median over
// rounds. Exit status 1 on any failure of a run.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "measures.h"
#include "session.h"
#include "stats.h"

namespace harlo::bench {
namespace {

struct Options {
  std::size_t rounds = 5;
  std::size_t messages = 200'000;
  std::size_t pings = 10'000;
  std::size_t startups = 40;
  std::string jsonPath = "build/bench-results.json";
  std::string commit = "unknown";
};

constexpr std::size_t payloadBytes = 100;

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (i + 1 >= argc) throw std::runtime_error("missing value after " + name);
    const std::string value = argv[++i];
    if (name == "--json" || name == "--commit") {
      (name == "--json" ? options.jsonPath : options.commit) = value;
      continue;
    }
    const std::size_t number = std::stoul(value);
    if (number == 0) throw std::runtime_error(name + " must be positive");
    if (name == "--rounds")
      options.rounds = number;
    else if (name == "--messages")
      options.messages = number;
    else if (name == "--pings")
      options.pings = number;
    else if (name == "--startups")
      options.startups = number;
    else
      throw std::runtime_error("unknown option " + name);
  }
  return options;
}

// Samples of one measure for both programs.
struct Samples {
  std::string unit;
  std::vector<double> helper;
  std::vector<double> floor;
};

class Table final {
 public:
  void add(const std::string& measure, const std::string& unit, bool isHelper, double value) {
    auto [entry, added] = samples_.try_emplace(measure);
    if (added) order_.push_back(measure);
    entry->second.unit = unit;
    (isHelper ? entry->second.helper : entry->second.floor).push_back(value);
  }

  void print(std::ostream& out) const {
    char row[160];
    std::snprintf(row, sizeof row, "%-36s %-9s %14s %14s %12s\n", "measure (median)", "unit",
                  "helper", "floor", "helper/floor");
    out << row;
    for (const auto& name : order_) {
      const Samples& entry = samples_.at(name);
      const double helper = median(entry.helper);
      const double floor = median(entry.floor);
      std::snprintf(row, sizeof row, "%-36s %-9s %14.1f %14.1f %12.2f\n", name.c_str(),
                    entry.unit.c_str(), helper, floor, helper / floor);
      out << row;
    }
  }

  nlohmann::json toJson(const Options& options, const std::string& loadBefore) const {
    nlohmann::json measures = nlohmann::json::array();
    for (const auto& name : order_) {
      const Samples& entry = samples_.at(name);
      measures.push_back({{"measure", name},
                          {"unit", entry.unit},
                          {"helper", median(entry.helper)},
                          {"floor", median(entry.floor)},
                          {"ratio", median(entry.helper) / median(entry.floor)},
                          {"helper_samples", entry.helper},
                          {"floor_samples", entry.floor}});
    }
    return {{"commit", options.commit},
            {"loadavg_before", loadBefore},
            {"rounds", options.rounds},
            {"messages", options.messages},
            {"payload_bytes", payloadBytes},
            {"pings", options.pings},
            {"startups_per_round", options.startups},
            {"measures", measures}};
  }

 private:
  std::vector<std::string> order_;
  std::map<std::string, Samples> samples_;
};

// The first three fields of /proc/loadavg.
std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void recordThroughput(Table& table, const std::string& direction, const std::string& rateUnit,
                      bool isHelper, const ThroughputFigures& figures) {
  table.add(direction + " rate", rateUnit, isHelper, figures.messagesPerSecond);
  table.add(direction + " CPU per message", "ns", isHelper, figures.cpuNanosPerMessage);
  table.add(direction + " VmRSS idle", "KiB", isHelper, figures.idleResidentKiB);
  table.add(direction + " VmHWM after load", "KiB", isHelper, figures.peakResidentKiB);
}

void runRound(Table& table, const Options& options, std::size_t round) {
  std::cerr << "round " << round + 1 << "/" << options.rounds << '\n';
  for (const bool isHelper : {true, false}) {
    auto session = isHelper ? Session::startHelper(HARLO_HELPER_PATH, true)
                            : Session::startFloor(HARLO_FLOOR_PARENT_TO_CLIENT, true);
    recordThroughput(table, "parent->client", "msg/s", isHelper,
                     parentToClient(*session, options.messages, payloadBytes));
  }
  for (const bool isHelper : {true, false}) {
    auto session = isHelper ? Session::startHelper(HARLO_HELPER_PATH, true)
                            : Session::startFloor(HARLO_FLOOR_CLIENT_TO_PARENT, true);
    recordThroughput(table, "client->parent", "lines/s", isHelper,
                     clientToParent(*session, options.messages, payloadBytes));
  }
  for (const bool isHelper : {true, false}) {
    auto session = isHelper ? Session::startHelper(HARLO_HELPER_PATH, false)
                            : Session::startFloor(HARLO_FLOOR_ECHO, false);
    const auto micros = pingRoundTrips(*session, options.pings);
    table.add("ping round trip p50", "us", isHelper, median(micros));
    table.add("ping round trip p99", "us", isHelper, quantile(micros, 0.99));
  }
  for (std::size_t i = 0; i < options.startups; ++i) {
    table.add("--capabilities start-up", "us", true,
              startupMicros({HARLO_HELPER_PATH, "--capabilities"}));
    table.add("--capabilities start-up", "us", false, startupMicros({HARLO_FLOOR_CAPABILITIES}));
  }
}

}  // namespace
}  // namespace harlo::bench

int main(int argc, char** argv) {
  using namespace harlo::bench;
  // A program that dies mid-run is a failed write, not the driver's end.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    const Options options = parseOptions(argc, argv);
    const std::string loadBefore = loadAverage();
    std::cout << "load average before the run: " << loadBefore << '\n';
    Table table;
    for (std::size_t round = 0; round < options.rounds; ++round) runRound(table, options, round);
    table.print(std::cout);
    std::ofstream json(options.jsonPath);
    json << table.toJson(options, loadBefore).dump(2) << '\n';
    if (!json) throw std::runtime_error("cannot write " + options.jsonPath);
    std::cout << "written to " << options.jsonPath << '\n';
  } catch (const std::exception& error) {
    std::cerr << "harlo-bench-driver: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
