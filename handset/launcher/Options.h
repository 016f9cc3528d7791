// The launcher's options: the platform's, never the program's (the program
// is started with an empty command line).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "handset/Handset.h"

namespace launcher {

enum class FrontEnd { Automatic, Terminal, Headless };

// The launcher's own exit statuses, apart from the program's (0, 255 for -1
// when another copy runs, 1, 16). A run ended by SIGINT, SIGTERM or SIGHUP
// ends by that signal (128 + its number to a shell).
inline constexpr int kBadUsage = 2;
inline constexpr int kUpdateFailed = 10;      // --update: the module did not take the image
inline constexpr int kUpdateNotStarted = 11;  // the update (or the handset) could not begin
inline constexpr int kFlashDiffers = 12;      // --update: the module said yes, its flash does not hold the image
inline constexpr int kEndedDuringUpdate = 13;  // the program was ended (Exit) while an update ran
inline constexpr int kReportLost = 14;         // the run went well, but its --report could not be written
inline constexpr int kScriptFailed = 125;      // a script step failed

// A port that names the emulated module rather than a host tty.
inline constexpr char kEmulatedPort[] = "emulated";

// One module of a bench (several --port, or --ports FILE): its port, a tty's
// path or "emulated", and the options that hold for it alone.
struct BenchPort {
  std::string port;
  std::vector<std::string> options;
};

struct Options {
  FrontEnd frontEnd = FrontEnd::Automatic;
  std::vector<std::string> scriptSteps;  // --do, in order
  std::vector<int> scriptStepArgs;       // argv position of each --do, for messages
  std::string scriptFile;
  std::string logOut;
  std::string flashOut;
  std::optional<std::string> trace;  // FILE, "-" (standard error) or "none"
  std::string desktop;
  bool update = false;  // run one update from "Update firmware - Go" to its end, then end
  bool quiet = false;   // on standard error, only how the run ended
  bool timestamps = false;  // an ISO time in front of every line on standard error
  std::string report;   // the JSON report's file
  std::vector<BenchPort> ports;  // --port, in order
  std::string portsFile;         // --ports: more ports, one a line
  bool rilGiven = false;         // --ril was said
  handset::HandsetOptions handset;
  bool help = false;
  bool version = false;
};

// Parses argv (options only: none of them touches a file or the handset).
// On bad input returns nullopt with a one-line reason.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);
// The --report path argv names, also when the rest of argv does not parse:
// a run that ends on bad options removes an earlier run's report there.
std::optional<std::string> ReportPathIn(int argc, char** argv);
// A --port value, or a line of a --ports file: "PATH" or "emulated", then
// options for that port alone ("/dev/ttyUSB1 --ril rts").
std::optional<BenchPort> ParseBenchPort(const std::string& spec, std::string* error);
std::string UsageText();

}  // namespace launcher
