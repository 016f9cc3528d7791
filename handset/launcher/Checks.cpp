#include "handset/launcher/Checks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "radio/Module.h"
#include "radio/Switches.h"

namespace launcher {
namespace {

using handset::PortChoice;
using handset::RilChoice;

std::string Folder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes `path` and the folders above it.
bool MakeFolder(const std::string& path, std::string* reason) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return true;
    *reason = "is a file, not a folder";
    return false;
  }
  std::string parent = Folder(path);
  if (parent != path && !MakeFolder(parent, reason)) return false;
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  *reason = std::strerror(errno);
  return false;
}

PortChoice Com1(const Options& options) {
  auto found = options.handset.ports.find(handset::kModulePort);
  return found == options.handset.ports.end() ? PortChoice{} : found->second;
}

const char kResetChoices[] =
    "--ril dtr or --ril rts (the module's reset input wired to that modem line), --ril control:FIFO (a module "
    "simulator's control channel) or --ril none (no reset: power the module up just before the update)";

bool CheckModule(const Options& options, std::string* error) {
  PortChoice com1 = Com1(options);
  bool emulated = com1.kind == PortChoice::Kind::Virtual;
  if (!emulated && options.handset.ril.kind == RilChoice::Kind::Emulated && com1.kind != PortChoice::Kind::Absent) {
    std::string what = com1.kind == PortChoice::Kind::Host ? "the host tty " + com1.path : "a pseudo-terminal";
    *error = "COM1: is " + what + ": say how the radio driver resets the module there: " + kResetChoices;
    return false;
  }
  if (options.handset.ril.kind == RilChoice::Kind::ModemLine && com1.kind != PortChoice::Kind::Host) {
    *error = "--ril " + options.handset.ril.modemLine + " pulses a modem line of a host tty: it needs COM1: on one " +
             "(--port PATH)";
    return false;
  }
  if (!options.handset.moduleSwitches.empty() && !emulated) {
    *error = "--module switches need the emulated module on COM1: (COM1: is " +
             (com1.kind == PortChoice::Kind::Host ? com1.path : std::string("not the module's virtual line")) + ")";
    return false;
  }
  if (!options.flashOut.empty() && !emulated) {
    *error = "--flash-out needs the emulated module on COM1: (a real module's flash cannot be read)";
    return false;
  }
  radio::Module scratch;
  for (const std::string& spec : options.handset.moduleSwitches) {
    if (!radio::ApplySwitch(scratch, spec, error)) return false;  // the reason names the switch
  }
  return true;
}

}  // namespace

bool CanWriteFile(const std::string& path, std::string* reason) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *reason = "it is a folder";
      return false;
    }
    if (access(path.c_str(), W_OK) != 0) {
      *reason = std::strerror(errno);
      return false;
    }
    return true;
  }
  std::string folder = Folder(path);
  if (stat(folder.c_str(), &st) != 0) {
    *reason = "the folder " + folder + " does not exist";
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *reason = folder + " is not a folder";
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    *reason = "the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool CheckOptions(const Options& options, std::vector<std::string>* warnings, std::string* error) {
  const std::pair<const char*, std::string> outputs[] = {
      {"--report", options.report},
      {"--log-out", options.logOut},
      {"--flash-out", options.flashOut},
      {"--trace", options.trace && *options.trace != "-" && *options.trace != "none" ? *options.trace : ""},
  };
  for (const auto& [name, path] : outputs) {
    std::string reason;
    if (!path.empty() && !CanWriteFile(path, &reason)) {
      *error = std::string(name) + " " + path + ": cannot write there: " + reason;
      return false;
    }
  }
  if (!options.desktop.empty()) {
    std::string reason;
    if (!MakeFolder(options.desktop, &reason)) {
      *error = "--desktop " + options.desktop + ": " + reason;
      return false;
    }
  }
  if (!CheckModule(options, error)) return false;

  PortChoice com1 = Com1(options);
  if (com1.kind == PortChoice::Kind::Host && options.handset.clockSpeed != 1.0) {
    char factor[32];
    std::snprintf(factor, sizeof factor, "%g", options.handset.clockSpeed);
    warnings->push_back("warning: --speed " + std::string(factor) + " runs the handset's clock " + factor +
                        " times as fast, but the module on " + com1.path +
                        " keeps real time: its answers may miss the update's time limits");
  }
  return true;
}

bool CheckBench(const Plan& plan, std::vector<std::string>* warnings, std::string* error) {
  for (const BenchMember& member : plan.bench) {
    std::vector<std::string> args = {"fwutil"};
    args.insert(args.end(), member.args.begin(), member.args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    std::string reason;
    std::vector<std::string> said;
    std::optional<Options> options = ParseOptions(static_cast<int>(argv.size()), argv.data(), &reason);
    if (!options || !CheckOptions(*options, &said, &reason)) {
      *error = member.name + ": " + reason;
      return false;
    }
    for (const std::string& line : said) warnings->push_back(member.name + ": " + line);
  }
  return true;
}

}  // namespace launcher
