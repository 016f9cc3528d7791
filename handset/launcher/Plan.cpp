#include "handset/launcher/Plan.h"

#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <map>
#include <set>
#include <string_view>

namespace launcher {
namespace {

// The bench's own options: the bench takes them, its members do not (each
// gets its own report and desktop, and runs headless with --update).
const std::set<std::string_view> kBenchOptionsWithValue = {"--port", "--ports", "--report", "--desktop"};
const std::set<std::string_view> kBenchFlags = {"--timestamps", "--terminal", "--headless", "--update"};

std::vector<std::string> SharedOptions(int argc, char** argv) {
  std::vector<std::string> shared;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string_view name = arg.substr(0, arg.find('='));
    if (kBenchFlags.count(arg)) continue;
    if (kBenchOptionsWithValue.count(name)) {
      if (name == arg) ++i;  // its value follows
      continue;
    }
    shared.emplace_back(arg);
  }
  return shared;
}

bool ReadPortsFile(const std::string& path, std::vector<BenchPort>& ports, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "--ports: cannot read " + path;
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(file, line);) {
    ++number;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    std::string reason;
    std::optional<BenchPort> port = ParseBenchPort(line, &reason);
    if (!port) {
      *error = path + ":" + std::to_string(number) + ": " + reason;
      return false;
    }
    ports.push_back(*port);
  }
  if (ports.empty()) {
    *error = "--ports " + path + ": no ports in it";
    return false;
  }
  return true;
}

std::string Device(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

std::optional<Plan> MakePlan(const Options& options, int argc, char** argv, std::string* error) {
  Plan plan;
  if (options.help) {
    plan.kind = Plan::Kind::kHelp;
    return plan;
  }
  if (options.version) {
    plan.kind = Plan::Kind::kVersion;
    return plan;
  }
  std::vector<BenchPort> ports = options.ports;
  if (!options.portsFile.empty() && !ReadPortsFile(options.portsFile, ports, error)) return std::nullopt;
  if (options.portsFile.empty() && ports.size() <= 1) return plan;  // one handset

  plan.kind = Plan::Kind::kBench;
  if (!options.update) {
    *error = "a bench of modules (several --port, or --ports) flashes them: it needs --update";
    return std::nullopt;
  }
  if (options.frontEnd == FrontEnd::Terminal) {
    *error = "a bench runs without a screen: it does not go with --terminal";
    return std::nullopt;
  }
  if (!options.logOut.empty() || !options.flashOut.empty() || (options.trace && *options.trace != "none" &&
                                                              *options.trace != "-")) {
    *error = "--log-out, --flash-out and --trace name one file, and a bench has several modules";
    return std::nullopt;
  }
  if (options.handset.ports.count(1)) {
    *error = "--com 1=... does not go with a bench: each module's COM1: is its --port";
    return std::nullopt;
  }
  std::vector<std::string> shared = SharedOptions(argc, argv);
  std::map<std::string, std::string> devices;  // device -> port, for ports named twice
  int emulated = 0;
  for (const BenchPort& port : ports) {
    BenchMember member;
    member.port = port.port;
    if (port.port == kEmulatedPort) {
      member.name = "emulated-" + std::to_string(++emulated);
    } else {
      std::string device = Device(port.port);
      if (devices.count(device)) {
        *error = port.port + " is named twice (as " + devices[device] + "): one module, one copy";
        return std::nullopt;
      }
      devices[device] = port.port;
      member.name = port.port.substr(port.port.find_last_of('/') + 1);
    }
    member.args = {"--headless", "--update", "--port", port.port};
    member.args.insert(member.args.end(), shared.begin(), shared.end());
    member.args.insert(member.args.end(), port.options.begin(), port.options.end());
    plan.bench.push_back(member);
  }
  // Two ttys of one name in different folders: the lines must tell them apart.
  std::map<std::string, int> names;
  for (const BenchMember& member : plan.bench) ++names[member.name];
  for (BenchMember& member : plan.bench) {
    if (names[member.name] > 1) member.name = member.port;
  }
  return plan;
}

}  // namespace launcher
