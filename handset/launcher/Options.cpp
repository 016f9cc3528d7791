#include "handset/launcher/Options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "frontends/terminal/Frontend.h"
#include "radio/Switches.h"
#include "text/WideText.h"

namespace launcher {
namespace {

bool ParseNumber(const std::string& text, unsigned long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0' && text[0] != '-';
}

// "1=pty", "5=/dev/ttyUSB0", "2=none", "1=virtual".
bool ParsePort(const std::string& spec, handset::HandsetOptions& options, std::string* error) {
  size_t equals = spec.find('=');
  unsigned long port = 0;
  if (equals == std::string::npos || !ParseNumber(spec.substr(0, equals), port) || port > 9) {
    *error = "--com takes N=virtual|pty|none|PATH with N from 0 to 9, not '" + spec + "'";
    return false;
  }
  std::string what = spec.substr(equals + 1);
  handset::PortChoice choice;
  if (what == "virtual") {
    choice.kind = handset::PortChoice::Kind::Virtual;
  } else if (what == "pty") {
    choice.kind = handset::PortChoice::Kind::Pty;
  } else if (what == "none") {
    choice.kind = handset::PortChoice::Kind::Absent;
  } else if (!what.empty() && what[0] == '/') {
    choice.kind = handset::PortChoice::Kind::Host;
    choice.path = what;
  } else {
    *error = "--com " + spec + ": expected virtual, pty, none or an absolute path to a tty";
    return false;
  }
  options.ports[static_cast<unsigned>(port)] = choice;
  return true;
}

bool ParseRil(const std::string& spec, handset::RilChoice& ril, std::string* error) {
  using Kind = handset::RilChoice::Kind;
  if (spec == "emulated") {
    ril.kind = Kind::Emulated;
  } else if (spec == "none") {
    ril.kind = Kind::None;
  } else if (spec == "dtr" || spec == "rts") {
    ril.kind = Kind::ModemLine;
    ril.modemLine = spec;
  } else if (spec.rfind("control:", 0) == 0 && spec.size() > 8) {
    ril.kind = Kind::Control;
    ril.fifo = spec.substr(8);
  } else if (spec == "absent") {
    ril.absent = true;
  } else {
    *error = "--ril takes emulated, none, dtr, rts, control:FIFO or absent, not '" + spec + "'";
    return false;
  }
  return true;
}

// "reset=2", "all=0x1F", "suspend=5".
bool ParseRilRefusal(const std::string& spec, handset::RilChoice& ril, std::string* error) {
  size_t equals = spec.find('=');
  unsigned long code = 0;
  std::string which = spec.substr(0, equals);
  if (equals == std::string::npos || !ParseNumber(spec.substr(equals + 1), code) || code == 0 || code > 0xFFFFFFFFul) {
    *error = "--ril-refuse takes REQUEST=ERROR with a non-zero error code, not '" + spec + "'";
    return false;
  }
  DWORD value = static_cast<DWORD>(code);
  if (which == "suspend" || which == "all") ril.refuseSuspend = value;
  if (which == "resume" || which == "all") ril.refuseResume = value;
  if (which == "reset" || which == "all") ril.refuseReset = value;
  if (which != "suspend" && which != "resume" && which != "reset" && which != "all") {
    *error = "--ril-refuse: the request is suspend, resume, reset or all, not '" + which + "'";
    return false;
  }
  return true;
}

}  // namespace

std::optional<BenchPort> ParseBenchPort(const std::string& spec, std::string* error) {
  std::istringstream words(spec);
  BenchPort port;
  words >> port.port;
  for (std::string word; words >> word;) port.options.push_back(word);
  if (port.port.empty()) {
    *error = "--port needs a tty's path or \"emulated\"";
    return std::nullopt;
  }
  if (port.port != kEmulatedPort && port.port[0] != '/') {
    *error = "--port takes the absolute path of a tty (or \"emulated\"), not '" + port.port + "'";
    return std::nullopt;
  }
  return port;
}

namespace {

bool KnownFault(const std::string& name) {
  for (const std::string& known : handset::Handset::FaultNames()) {
    if (known == name) return true;
  }
  return false;
}

}  // namespace

// The argv positions of the --do options, for the script's messages.
std::vector<int> StepPositions(int argc, char** argv) {
  std::vector<int> positions;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--do" || arg.rfind("--do=", 0) == 0) positions.push_back(i);
    if (arg == "--do") ++i;  // its value may itself read "--do"
  }
  return positions;
}

// CLI11 does the parsing and the checks of each value; what an option means
// is filled in here.
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options options;
  CLI::App app{"fwutil"};
  app.set_help_flag();  // UsageText() is the help
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  auto flag = [&](const char* name, bool& value) { app.add_flag(name, value)->disable_flag_override(); };
  // A value each time the option is given, kept in order.
  auto repeatable = [&](const char* name, auto apply) {
    app.add_option(name)
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->each([name, apply](const std::string& value) {
          std::string reason;
          if (apply(value, reason)) return;
          // CLI11 names the option in front of the reason already.
          std::string prefix = std::string(name) + ": ";
          if (reason.rfind(prefix, 0) == 0) reason.erase(0, prefix.size());
          if (reason.rfind(std::string(name) + " ", 0) == 0) reason.erase(0, std::string(name).size() + 1);
          throw CLI::ValidationError(reason);
        });
  };
  auto text = [&](const char* name, std::string& value) {
    app.add_option(name, value)->check([name](const std::string& v) {
      return v.empty() ? std::string(name) + " needs a value" : std::string();
    });
  };

  bool terminal = false, headless = false, unpaced = false;
  flag("-h,--help", options.help);
  flag("--version", options.version);
  flag("--terminal", terminal);
  flag("--headless", headless);
  flag("--update", options.update);
  flag("--quiet", options.quiet);
  flag("--timestamps", options.timestamps);
  flag("--unpaced", unpaced);
  text("--report", options.report);
  text("--script", options.scriptFile);
  text("--log-out", options.logOut);
  text("--flash-out", options.flashOut);
  text("--desktop", options.desktop);
  text("--ports", options.portsFile);
  std::string trace, programPath;
  text("--trace", trace);
  text("--program-path", programPath);
  app.add_option("--speed", options.handset.clockSpeed)->check(CLI::Range(0.01, 100000.0));
  repeatable("--do", [&](const std::string& v, std::string&) {
    options.scriptSteps.push_back(v);
    return true;
  });
  repeatable("--com", [&](const std::string& v, std::string& reason) { return ParsePort(v, options.handset, &reason); });
  repeatable("--port", [&](const std::string& v, std::string& reason) {
    std::optional<BenchPort> port = ParseBenchPort(v, &reason);
    if (port) options.ports.push_back(*port);
    return port.has_value();
  });
  repeatable("--ril", [&](const std::string& v, std::string& reason) {
    options.rilGiven = true;
    return ParseRil(v, options.handset.ril, &reason);
  });
  repeatable("--ril-refuse",
             [&](const std::string& v, std::string& reason) { return ParseRilRefusal(v, options.handset.ril, &reason); });
  repeatable("--module", [&](const std::string& v, std::string&) {
    options.handset.moduleSwitches.push_back(v);
    return true;
  });
  repeatable("--reg", [&](const std::string& v, std::string&) {
    options.handset.registrySpecs.push_back(v);
    return true;
  });
  repeatable("--fail", [&](const std::string& v, std::string& reason) {
    if (!KnownFault(v)) reason = "unknown switch '" + v + "'";
    if (KnownFault(v)) options.handset.platformFaults.push_back(v);
    return KnownFault(v);
  });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    *error = std::string(e.what()) + " (see --help)";
    return std::nullopt;
  }
  if (terminal && headless) {
    *error = "--terminal and --headless do not go together";
    return std::nullopt;
  }
  if (terminal) options.frontEnd = FrontEnd::Terminal;
  if (headless) options.frontEnd = FrontEnd::Headless;
  options.handset.pacedLines = !unpaced;
  if (!trace.empty()) options.trace = trace;
  if (!programPath.empty()) options.handset.programPath = text::FromUtf8(programPath);
  options.scriptStepArgs = StepPositions(argc, argv);
  options.scriptStepArgs.resize(options.scriptSteps.size(), 0);

  // One --port is the short form of --com 1=PATH.
  if (options.ports.size() == 1 && options.portsFile.empty()) {
    const BenchPort& only = options.ports.front();
    if (!only.options.empty()) {
      *error = "--port '" + only.port + " ...': options of a port of their own are for a bench (several ports)";
      return std::nullopt;
    }
    if (options.handset.ports.count(handset::kModulePort)) {
      *error = "--port and --com 1=... both say what backs COM1:; give one of them";
      return std::nullopt;
    }
    if (only.port != kEmulatedPort) {
      options.handset.ports[handset::kModulePort] = {handset::PortChoice::Kind::Host, only.port};
    }
  }
  // Without a module on COM1: the radio driver has nothing to act on.
  auto com1 = options.handset.ports.find(handset::kModulePort);
  if (!options.rilGiven && com1 != options.handset.ports.end() &&
      com1->second.kind == handset::PortChoice::Kind::Absent) {
    options.handset.ril.kind = handset::RilChoice::Kind::None;
  }
  if (!options.scriptSteps.empty() || !options.scriptFile.empty()) {
    if (options.update) {
      *error = "--update runs the update by itself; it does not go with --do or --script";
      return std::nullopt;
    }
    if (options.frontEnd == FrontEnd::Terminal) {
      *error = "--do and --script drive the headless front end; they do not go with --terminal";
      return std::nullopt;
    }
    options.frontEnd = FrontEnd::Headless;
  }
  return options;
}

std::optional<std::string> ReportPathIn(int argc, char** argv) {
  std::optional<std::string> path;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--") break;
    if (arg == "--report" && i + 1 < argc) {
      path = argv[++i];
    } else if (arg.rfind("--report=", 0) == 0) {
      path = std::string(arg.substr(9));
    }
  }
  if (path && path->empty()) path.reset();
  return path;
}

std::string UsageText() {
  std::ostringstream text;
  text << R"(Usage: fwutil [options]

Runs the Firmware Utility, the handset program that re-flashes the radio
module over "COM1:", on an emulated handset: its screen in this terminal (or
a scripted user without a screen), its radio module on a virtual serial line,
its partner serial ports on pseudo-terminals. The options set up the handset;
the program itself takes none.

Front end:
  --terminal             draw the handset screen in this terminal (the default
                         when standard input and output are a terminal)
  --headless             no screen; a scripted user gives the input (the default
                         otherwise). The exit status is the program's (0; 255 for
                         -1 when another copy runs; 1; 16); when the handset
                         reboots, a line says so and the status is 0.
  --do STEP              one step of the scripted user; repeatable, in order
  --script FILE          steps from FILE, one per line ('#' comments)
  --log-out FILE         write the log view's last text to FILE when the program
                         ends or the handset reboots (whatever the steps were)

Flashing a module (a real one behind a USB-serial adapter whose DTR line
drives the module's reset input, a report for the records):
  fwutil --update --port /dev/ttyUSB0 --ril dtr --report usb0.json

  --update               run one whole update, from "Update firmware - Go" to
                         its end, then end with a status that tells how it went
                         (below). On success the box is answered as a person
                         would and the handset reboots. Headless, a line on
                         standard error tells each phase (wake-up attempts,
                         boot stages, memory check, image) and each tenth of
                         the image, led by the time since the start, e.g.
                           fwutil: 0:41 image 40%, 1:02 left (11.5 kB/s)
                         and the trace goes nowhere unless --trace says where.
                         The last line is how it ended: a failure's words,
                         after a line with the next step. Not with --do or
                         --script.
  --port PATH            the module behind the host tty PATH (COM1: on it);
                         say how its reset is wired with --ril (below). The
                         port is locked while fwutil runs (the UUCP lock in
                         /var/lock that picocom and minicom honour, and the
                         tty's exclusive flag): a second program on it is
                         refused (FWUTIL_LOCK_DIR names another lock folder).
                         Each port is a handset of its own, so copies on
                         different ports need no --desktop.
  --port PATH --port PATH ...   (or "emulated" for an emulated module)
  --ports FILE           a bench: every module flashed at once, each by a copy
                         of fwutil of its own, its lines led by its port's
                         name, then a summary table; the status is the worst
                         module's. FILE: one port a line, with options for it
                         alone ("/dev/ttyUSB1 --ril rts",
                         "emulated --module refuse-image"); '#' comments.
                         Needs --update.
  --quiet                on standard error only how the run ended: no port
                         lines, progress lines, script steps or trace
  --timestamps           an ISO time (UTC) in front of every line on standard
                         error
  --report FILE          when the run ends, however it ends, write one JSON
                         object to FILE (a bench: one document with a report
                         per module), whole or not at all; its fields are in
                         handset/launcher/report.schema.json and the README.
                         A run that ends on bad options removes an earlier
                         report at FILE.
  --version              the version, the commit it was built from, the
                         processor, and each built-in image's size and SHA-256
  A failed update makes a waiting answer, dialog, wait or wait-window step
  end the script at once with the failure's words (status 125).

Every option is checked before the handset starts: files to write must be
writable there, --desktop must be a folder (made if missing), --module
switches must exist, a module behind a host tty needs --ril. A bad one is
one line and status 2, before anything goes to the module.

SIGINT, SIGTERM, SIGHUP (and Ctrl+C in the terminal) end the run by that
signal (status 128 + N: 130, 143, 129), but first the report is written
(outcome "interrupted") and the last line says what the module is left
holding, e.g. "the module's flash holds no firmware: run the update again".

Exit status:
  0      the program ended with 0; with --update: the module took the image
         (and, where its flash can be read, the flash holds it)
  1, 16  the program could not set up its window
  2      bad options, or no terminal for --terminal
  10     --update: the update failed; the log view's words on standard error
  11     the update (or the handset) could not start: another copy runs on
         this desktop, the port is locked by another program, "COM1:" (or a
         tty the options name) cannot be opened, an update runs already
  12     --update: the module answered that it took the image, but its flash
         does not hold it (its check bytes could not see the damage)
  13     the program was ended (Exit, Ctrl+Q, the done button) while its
         update ran: the last line says what the module is left holding
  14     the run went well, but its --report could not be written
  125    a script step failed
  255    another copy runs on this desktop (the program's -1)
  128 + N  signal N ended the run (see above)
  A bench: 0 when every module took the image, else the worst module's
  status, in this order: 12, 10, 128 + N, 13, 14, 11, then any other.

Script steps (each one that acts, and wait, save-log and save-screen, first
waits within its time limit until the program's main window is up):
  command ID             WM_COMMAND ID to the main window (see the README's table)
  key KEYS               e.g. ctrl+q, enter, esc, f1
  menu BUTTON ID         open menu-bar button BUTTON (0 = "System"), choose item ID
  done                   the title bar's done button
  answer BUTTON [TIME]   answer the next message box: ok, cancel, yes, no, ...
  dialog BUTTON [TIME]   press a button of the dialog in front (it may first
                         open): ok, cancel, yes, no, ..., an identifier or the
                         button's "text"; then wait until the dialog has closed
  wait "TEXT" [TIME]     until the log view holds TEXT (\r \n escapes)
  wait-window "CAPTION" [TIME]  until the box, dialog or window in front has
                         that caption, e.g. wait-window "About"
  wait-exit [CODE] [TIME]  until the program returns (with CODE)
  timeout TIME           the limit of later waits (default 30s); TIME: 500ms, 10s, 2m
  save-log FILE          the log view's text now
  save-screen FILE       the screen as text now

Debug output (the program's trace lines):
  --trace FILE|-|none    write them to FILE, standard error (-) or nowhere.
                         Default: standard error when headless, nowhere in the
                         terminal.

Clock and lines:
  --speed N              run the handset's clock N times faster: pauses, timers,
                         serial time-outs and line pacing (default 1)
  --unpaced              virtual lines carry bytes at once instead of at the
                         line's rate

Serial ports (N from 0 to 9):
  --com N=virtual        a virtual line; on COM1: it carries the emulated module
  --com N=pty            a pseudo-terminal; its path is printed at start-up for
                         picocom or socat
  --com N=PATH           a host tty: a USB-serial adapter such as /dev/ttyUSB0,
                         or one end of a socat pty pair
  --com N=none           the port does not exist
  Defaults: COM1: virtual (module UART), COM2: pty (Bluetooth UART),
            COM3: pty (IrDA), COM5: pty (infrared).

Radio interface driver "RIL1:":
  --ril emulated         requests act on the emulated module (default)
  --ril dtr | --ril rts  a real module on the host tty behind COM1: whose reset
                         input is wired to DTR or RTS: a reset pulses that line
  --ril control:FIFO     the standalone module simulator listening on FIFO
  --ril none             requests succeed and do nothing (a module behind a
                         host tty without a reset line: power it up just
                         before the update)
  --ril absent           there is no driver: opening "RIL1:" fails
  A module behind a host tty needs one of dtr, rts, control:FIFO or none.
  --ril-refuse REQ=ERR   REQ (suspend, resume, reset or all) fails with the
                         error code ERR

Emulated radio module:
  --module SWITCH        a fault switch; repeatable:
)";
  std::istringstream switches(radio::SwitchHelp());
  for (std::string line; std::getline(switches, line);) text << "                           " << line << "\n";
  text << R"(  --flash-out FILE       write the module's flash to FILE when the program ends
                         or the handset reboots
  When an image transfer reached the module's flash during the run, a line
  at the end (or at the reboot) tells what the flash holds against the
  program's firmware image, e.g.
    fwutil: verify: flash holds the firmware image (2493720 bytes)
    fwutil: verify: flash differs from the firmware image: first difference
      at offset 0x01F3A0, 2 bytes differ
    fwutil: verify: the flash holds no firmware (erased when the image
      transfer began)

Registry:
  --reg SPEC             set or remove a value or key, applied after the
                         handset's profile, e.g.
                           'HKLM\Drivers\BuiltIn\Serial\Index=dword:1'
                           'HKLM\Drivers\BuiltIn\Serial2\Index=-'  (remove)
                         types: dword:N, sz:TEXT, hex:01,02

Handset switches:
  --fail WHAT            make a platform call fail: reserve (VirtualAlloc),
                         map (VirtualCopy), loadlibrary, getprocaddress,
                         freelibrary, registerclass, menubar (SHCreateMenuBar),
                         logview (creating the edit control), reboot
  --program-path PATH    the program's path as GetModuleFileNameW gives it
                         (default \Windows\fwutil.exe)
  --desktop DIR          where the windows of all copies meet, for the one-copy
                         rule (default: a per-user directory; with a host tty
                         on COM1:, a folder of that port's in it). Made if
                         missing.
  -h, --help             this text

Terminal keys:
)";
  text << terminal::Frontend::HelpText();
  return text.str();
}

}  // namespace launcher
