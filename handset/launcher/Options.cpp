#include "handset/launcher/Options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

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

bool KnownFault(const std::string& name) {
  for (const std::string& known : handset::Handset::FaultNames()) {
    if (known == name) return true;
  }
  return false;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options options;
  bool rilGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.rfind("--", 0) == 0) {
      size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        hasInlineValue = true;
      }
    }
    auto takeValue = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto noValue = [&] {
      if (hasInlineValue) *error = arg + " takes no value";
      return !hasInlineValue;
    };

    std::string v;
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--terminal") {
      if (!noValue()) return std::nullopt;
      options.frontEnd = FrontEnd::Terminal;
    } else if (arg == "--headless") {
      if (!noValue()) return std::nullopt;
      options.frontEnd = FrontEnd::Headless;
    } else if (arg == "--update") {
      if (!noValue()) return std::nullopt;
      options.update = true;
    } else if (arg == "--quiet") {
      if (!noValue()) return std::nullopt;
      options.quiet = true;
    } else if (arg == "--report") {
      if (!takeValue(options.report)) return std::nullopt;
      if (options.report.empty()) {
        *error = "--report needs a file name";
        return std::nullopt;
      }
    } else if (arg == "--do") {
      if (!takeValue(v)) return std::nullopt;
      options.scriptSteps.push_back(v);
      options.scriptStepArgs.push_back(i);
    } else if (arg == "--script") {
      if (!takeValue(options.scriptFile)) return std::nullopt;
    } else if (arg == "--log-out") {
      if (!takeValue(options.logOut)) return std::nullopt;
    } else if (arg == "--flash-out") {
      if (!takeValue(options.flashOut)) return std::nullopt;
    } else if (arg == "--trace") {
      if (!takeValue(v)) return std::nullopt;
      options.trace = v;
    } else if (arg == "--speed") {
      if (!takeValue(v)) return std::nullopt;
      char* end = nullptr;
      double speed = std::strtod(v.c_str(), &end);
      if (!end || *end != '\0' || !(speed >= 0.01 && speed <= 100000)) {
        *error = "--speed takes a factor from 0.01 to 100000, not '" + v + "'";
        return std::nullopt;
      }
      options.handset.clockSpeed = speed;
    } else if (arg == "--unpaced") {
      if (!noValue()) return std::nullopt;
      options.handset.pacedLines = false;
    } else if (arg == "--com") {
      if (!takeValue(v) || !ParsePort(v, options.handset, error)) return std::nullopt;
    } else if (arg == "--ril") {
      if (!takeValue(v) || !ParseRil(v, options.handset.ril, error)) return std::nullopt;
      rilGiven = true;
    } else if (arg == "--ril-refuse") {
      if (!takeValue(v) || !ParseRilRefusal(v, options.handset.ril, error)) return std::nullopt;
    } else if (arg == "--module") {
      if (!takeValue(v)) return std::nullopt;
      options.handset.moduleSwitches.push_back(v);
    } else if (arg == "--reg") {
      if (!takeValue(v)) return std::nullopt;
      options.handset.registrySpecs.push_back(v);
    } else if (arg == "--fail") {
      if (!takeValue(v)) return std::nullopt;
      if (!KnownFault(v)) {
        *error = "--fail: unknown switch '" + v + "' (see --help)";
        return std::nullopt;
      }
      options.handset.platformFaults.push_back(v);
    } else if (arg == "--program-path") {
      if (!takeValue(v)) return std::nullopt;
      options.handset.programPath = text::FromUtf8(v);
    } else if (arg == "--desktop") {
      if (!takeValue(options.desktop)) return std::nullopt;
    } else {
      *error = "unknown option '" + std::string(argv[i]) + "' (see --help)";
      return std::nullopt;
    }
  }
  // Without a module on COM1: the radio driver has nothing to act on.
  auto com1 = options.handset.ports.find(handset::kModulePort);
  if (!rilGiven && com1 != options.handset.ports.end() && com1->second.kind == handset::PortChoice::Kind::Absent) {
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

Flashing from a script (one command per module):
  --update               run one whole update, from "Update firmware - Go" to
                         its end, then end with a status that tells how it went
                         (below). On success the box is answered as a person
                         would and the handset reboots. Headless, a line on
                         standard error tells each phase (wake-up attempts,
                         boot stages, memory check, image) and each tenth of
                         the image, e.g.
                           fwutil: image 40%, 1:32 left (11.5 kB/s)
                         and the trace goes nowhere unless --trace says where.
                         Not with --do or --script.
  --quiet                on standard error only how the run ended: no port
                         lines, progress lines, script steps or trace
  --report FILE          when the program ends, write one JSON object to FILE:
                         outcome, exit_status, failure, phase, attempts,
                         updates, image_bytes, image_bytes_acknowledged,
                         update_seconds, run_seconds, com1, verify,
                         flash_holds_image, rebooted (see the README)
  A failed update makes a waiting answer, dialog, wait or wait-window step
  end the script at once with the failure's words (status 125).

Exit status:
  0      the program ended with 0; with --update: the module took the image
         (and, where its flash can be read, the flash holds it)
  1, 16  the program could not set up its window
  2      bad options, or no terminal for --terminal
  10     --update: the update failed; the log view's words on standard error
  11     --update: the update could not start: another copy runs on this
         desktop, "COM1:" (or the handset's ports) cannot be opened, an update
         runs already
  12     --update: the module answered that it took the image, but its flash
         does not hold it
  125    a script step failed
  255    another copy runs on this desktop (the program's -1)

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
  --ril none             requests succeed and do nothing
  --ril absent           there is no driver: opening "RIL1:" fails
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
  at the end (or at the reboot) tells whether the flash holds the program's
  firmware image, e.g.
    fwutil: verify: flash holds the firmware image (2493720 bytes)
    fwutil: verify: flash differs from the firmware image: first difference
      at offset 0x01F3A0, 2 bytes differ
    fwutil: verify: no image was written to the flash

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
                         rule (default: a per-user directory)
  -h, --help             this text

Terminal keys:
)";
  text << terminal::Frontend::HelpText();
  return text.str();
}

}  // namespace launcher
