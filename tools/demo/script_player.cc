#include "script_player.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <string_view>

namespace harlo::demo {
namespace {

// Where a line travels: `label` names it in a failure report, `prefix` starts
// its transcript line.
struct Direction {
  std::string label;
  std::string prefix;
};

Direction toParent() { return {"helper -> parent", "helper -> parent:"}; }

std::string text(const ExitStatus& status) {
  std::ostringstream out;
  out << status;
  return out.str();
}

std::string describe(const Reading& reading) {
  switch (reading.kind) {
    case Reading::Kind::line:
      return reading.text;
    case Reading::Kind::end:
      return reading.text.empty() ? "end of file"
                                  : "end of file after the partial line \"" + reading.text + "\"";
    case Reading::Kind::silence:
      break;
  }
  return "nothing within " + reading.text;
}

std::string lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string joined(const std::vector<std::string>& profiles) {
  if (profiles.empty()) return "none";
  std::string out;
  for (const auto& profile : profiles) out += (out.empty() ? "" : "; ") + profile;
  return out;
}

// Each line of `block` indented by two spaces, or "  (nothing)".
std::string indented(std::string_view block) {
  if (block.empty()) return "  (nothing)\n";
  std::string out;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    if (end == std::string_view::npos) end = block.size();
    out += "  ";
    out += block.substr(start, end - start);
    out += '\n';
    start = end + 1;
  }
  return out;
}

// Plays one step; called through std::visit with each step in turn.
class Player final {
 public:
  using Outcome = Result<void, Mismatch>;

  Player(Stage& stage, std::ostream& transcript) : stage_(stage), out_(transcript) {}

  Outcome operator()(const Heading& step) {
    out_ << "\n== " << step.title << " ==" << std::endl;
    return {};
  }

  Outcome operator()(const ParentSends& step) {
    print("parent -> helper: " + step.line);
    if (stage_.writeToHelper(step.line)) return {};
    return fail(Mismatch{"parent -> helper", "the helper takes the line", "it was not taken"});
  }

  Outcome operator()(const ParentReceives& step) {
    return expectLine(toParent(), stage_.readFromHelper(), step.line);
  }

  Outcome operator()(const ParentOutputEnds&) {
    return expectEnd(toParent(), stage_.readFromHelper(), "(end of output)");
  }

  Outcome operator()(const ClientConnects& step) {
    const std::string label = clientLabel(step.client) + " connects";
    print(label);
    auto connected = stage_.connectClient(step.client);
    if (connected) return {};
    return fail(Mismatch{label, "the connection is made", connected.error()});
  }

  Outcome operator()(const LowEnergyClientConnects& step) {
    lowEnergyClients_.insert(step.client);
    const std::string label = clientLabel(step.client) + " connects";
    print(label + " with ATT MTU " + std::to_string(step.mtu) +
          ", bonded and trusted, and subscribes");
    auto connected = stage_.connectLowEnergyClient(step.client, step.mtu);
    if (connected) return {};
    return fail(Mismatch{label, "the connection is made", connected.error()});
  }

  Outcome operator()(const ClientSends& step) {
    const std::string label = "client -> helper: " + clientLabel(step.client);
    print(label + " " + step.line);
    if (stage_.writeFromClient(step.client, step.line)) return {};
    return fail(Mismatch{label, "the helper takes the line", "it was not taken"});
  }

  Outcome operator()(const ClientReceives& step) {
    return expectLine(toClient(step.client), stage_.readAtClient(step.client), step.line);
  }

  Outcome operator()(const ClientSeesEnd& step) {
    return expectEnd(toClient(step.client), stage_.readAtClient(step.client), "(end of file)");
  }

  Outcome operator()(const SimLogs& step) {
    auto line = stage_.waitForSimLog(step.fragment);
    if (line) {
      print(*line);
      return {};
    }
    return fail(Mismatch{"bluez-sim log", "a line containing \"" + step.fragment + "\"",
                         "no such line before the wait ran out"});
  }

  Outcome operator()(const SimRegistrations& step) {
    const std::string label = "bluez-sim registrations";
    auto profiles = stage_.registrations();
    if (!profiles) {
      return fail(Mismatch{label, joined(step.profiles), "unreadable: " + profiles.error()});
    }
    std::vector<std::string> seen;
    for (const auto& profile : profiles.value()) seen.push_back(describeRegistration(profile));
    print(label + ": " + joined(seen));
    if (seen == step.profiles) return {};
    return fail(Mismatch{label, joined(step.profiles), joined(seen)});
  }

  Outcome operator()(const ParentReceivesAll& step) {
    std::vector<std::string> seen;
    for (std::size_t i = 0; i < step.lines.size(); ++i) {
      const Reading reading = stage_.readFromHelper();
      if (reading.kind != Reading::Kind::line) {
        return fail(Mismatch{toParent().label, joined(step.lines), describe(reading)});
      }
      print(toParent().prefix + " " + reading.text);
      seen.push_back(reading.text);
    }
    std::vector<std::string> expected = step.lines;
    std::sort(expected.begin(), expected.end());
    std::sort(seen.begin(), seen.end());
    if (seen == expected) return {};
    return fail(Mismatch{toParent().label, joined(step.lines) + " (in any order)", joined(seen)});
  }

  Outcome operator()(const AdapterPowered& step) {
    const std::string label = std::string("Bluetooth turned ") + (step.on ? "on" : "off");
    print(label);
    auto powered = stage_.powerAdapter(step.on);
    if (powered) return {};
    return fail(Mismatch{label, "the adapter's power changes", powered.error()});
  }

  Outcome operator()(const HelperExits& step) {
    return expectExit("helper exited", stage_.helperExit(), ExitStatus::exitedWith(step.code));
  }

  Outcome operator()(const SimStops&) {
    return expectExit("bluez-sim stopped", stage_.stopSim(), ExitStatus::exitedWith(0));
  }

 private:
  void print(const std::string& line) { out_ << line << std::endl; }

  // "(client 1)", "(LE client 4)".
  std::string clientLabel(int client) const {
    return std::string(lowEnergyClients_.contains(client) ? "(LE client " : "(client ") +
           std::to_string(client) + ")";
  }

  Direction toClient(int client) const {
    std::string label = "helper -> client: " + clientLabel(client);
    return {label, label};
  }

  Outcome expectLine(const Direction& direction, const Reading& reading, const std::string& line) {
    if (reading.kind == Reading::Kind::line) print(direction.prefix + " " + reading.text);
    if (reading == Reading::lineOf(line)) return {};
    return fail(Mismatch{direction.label, line, describe(reading)});
  }

  Outcome expectEnd(const Direction& direction, const Reading& reading, const std::string& shown) {
    if (reading.kind == Reading::Kind::line) print(direction.prefix + " " + reading.text);
    if (reading == Reading::endAfter()) {
      print(direction.prefix + " " + shown);
      return {};
    }
    return fail(Mismatch{direction.label, "end of file", describe(reading)});
  }

  Outcome expectExit(const std::string& label, std::optional<ExitStatus> status,
                     ExitStatus expected) {
    if (status) print(label + ": " + text(*status));
    if (status == expected) return {};
    return fail(Mismatch{label, text(expected), status ? text(*status) : "still running"});
  }

  Stage& stage_;
  std::ostream& out_;
  std::set<int> lowEnergyClients_;  // the clients that connected over LE
};

}  // namespace

Result<void, Mismatch> playScript(const std::vector<Step>& script, Stage& stage,
                                  std::ostream& transcript) {
  Player player(stage, transcript);
  for (const Step& step : script) {
    auto outcome = std::visit(player, step);
    if (!outcome) return outcome;
  }
  return {};
}

std::string describeRegistration(const RecordedProfile& profile) {
  std::string name = "(no Name)";
  // Keys match case-insensitively and the last one counts, as in bluetoothd.
  for (const auto& option : profile.options) {
    if (lowered(option.key) == "name") name = '"' + option.value + '"';
  }
  return name + " " + profile.uuid + ", listening " + profile.listening;
}

std::string formatFailure(const Mismatch& mismatch, const std::string& helperErrors,
                          const std::string& simErrors) {
  return "demo failed at: " + mismatch.step + "\n  expected: " + mismatch.expected +
         "\n  saw:      " + mismatch.saw + "\nhelper standard error:\n" + indented(helperErrors) +
         "bluez-sim standard error:\n" + indented(simErrors);
}

}  // namespace harlo::demo
