// The launcher's options: what each form means, the combinations refused
// before anything starts, and the plan they make (one handset or a bench).
#include "handset/launcher/Options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handset/launcher/Checks.h"
#include "handset/launcher/Plan.h"

namespace {

using handset::PortChoice;
using handset::RilChoice;

struct Argv {
  explicit Argv(std::vector<std::string> args) : args_(std::move(args)) {
    args_.insert(args_.begin(), "fwutil");
    for (std::string& a : args_) pointers_.push_back(a.data());
  }
  int argc() const { return static_cast<int>(pointers_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

std::optional<launcher::Options> Parse(std::vector<std::string> args, std::string* error) {
  Argv argv(std::move(args));
  return launcher::ParseOptions(argv.argc(), argv.argv(), error);
}

// Refused, with words that name what to change: by the parser, or by the
// checks made before the handset starts.
TEST(LauncherOptions, BadOptionsAreRefusedWithWordsThatSayWhatToChange) {
  struct Case {
    std::vector<std::string> args;
    std::string words;
  } cases[] = {
      {{"--bogus"}, "--bogus"},
      {{"--report"}, "--report"},
      {{"--update=yes"}, "update"},
      {{"--update", "--do", "command 118"}, "it does not go with --do or --script"},
      {{"--terminal", "--headless"}, "do not go together"},
      {{"--speed", "0"}, "--speed"},
      {{"--com", "1=ttyUSB0"}, "absolute path"},
      {{"--port", "ttyUSB0"}, "absolute path of a tty"},
      {{"--port", "/dev/ttyUSB0", "--com", "1=/dev/ttyUSB1"}, "give one of them"},
      {{"--ril", "dsr"}, "control:FIFO"},
      {{"--fail", "nope"}, "unknown switch 'nope'"},
      // The checks.
      {{"--report", "/nonexistent/r.json"}, "--report /nonexistent/r.json: cannot write there"},
      {{"--log-out", "/tmp"}, "--log-out /tmp: cannot write there: it is a folder"},
      {{"--trace", "/nonexistent/t.txt"}, "--trace /nonexistent/t.txt: cannot write there"},
      {{"--module", "bogus"}, "bogus"},
      {{"--port", "/dev/ttyUSB0", "--module", "refuse-image", "--ril", "dtr"}, "need the emulated module"},
      {{"--port", "/dev/ttyUSB0", "--flash-out", "/tmp/f.bin", "--ril", "dtr"}, "a real module's flash"},
      {{"--port", "/dev/ttyUSB0"}, "--ril dtr or --ril rts"},
      {{"--com", "1=pty"}, "--ril dtr or --ril rts"},
      {{"--ril", "rts"}, "pulses a modem line of a host tty"},
      {{"--desktop", "/dev/null"}, "is a file, not a folder"},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<launcher::Options> options = Parse(c.args, &error);
    std::vector<std::string> warnings;
    if (options) {
      EXPECT_FALSE(launcher::CheckOptions(*options, &warnings, &error)) << c.args[0];
    }
    EXPECT_NE(error.find(c.words), std::string::npos) << ::testing::PrintToString(c.args) << ": " << error;
  }
}

// What the forms mean: --port is COM1: on that tty; --com 1=none leaves the
// radio driver nothing to reset unless --ril says; repeated options keep
// every value in order; a sped-up clock against a real module is warned of.
TEST(LauncherOptions, TheFormsMeanWhatTheHelpSays) {
  std::string error;
  auto options = Parse({"--update", "--quiet", "--report=out.json", "--port", "/dev/ttyUSB0", "--ril", "dtr",
                        "--module", "a", "--module=b", "--speed", "20"},
                       &error);
  ASSERT_TRUE(options) << error;
  EXPECT_TRUE(options->update && options->quiet);
  EXPECT_EQ(options->report, "out.json");
  EXPECT_EQ(options->handset.ports[1].kind, PortChoice::Kind::Host);
  EXPECT_EQ(options->handset.ports[1].path, "/dev/ttyUSB0");
  EXPECT_EQ(options->handset.ril.kind, RilChoice::Kind::ModemLine);
  EXPECT_EQ(options->handset.moduleSwitches, (std::vector<std::string>{"a", "b"}));
  options->handset.moduleSwitches.clear();
  std::vector<std::string> warnings;
  ASSERT_TRUE(launcher::CheckOptions(*options, &warnings, &error)) << error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("keeps real time"), std::string::npos) << warnings[0];

  options = Parse({"--com", "1=none"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->handset.ril.kind, RilChoice::Kind::None);
  options = Parse({"--com", "1=none", "--ril", "emulated"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->handset.ril.kind, RilChoice::Kind::Emulated);

  options = Parse({"--do", "command 118", "--do=--do", "--do", "key ctrl+q"}, &error);
  ASSERT_TRUE(options) << error;
  EXPECT_EQ(options->scriptSteps, (std::vector<std::string>{"command 118", "--do", "key ctrl+q"}));
  EXPECT_EQ(options->scriptStepArgs, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(options->frontEnd, launcher::FrontEnd::Headless);
}

// Several ports make a bench: each module's copy gets the shared options,
// then its own; the bench's own options stay with the bench.
TEST(LauncherOptions, SeveralPortsMakeABenchOfCopies) {
  Argv argv({"--update", "--speed", "20", "--report", "bench.json", "--timestamps", "--port", "emulated",
             "--port=emulated --module refuse-image", "--port", "/dev/ttyUSB3 --ril rts", "--ril", "dtr"});
  std::string error;
  auto options = launcher::ParseOptions(argv.argc(), argv.argv(), &error);
  ASSERT_TRUE(options) << error;
  auto plan = launcher::MakePlan(*options, argv.argc(), argv.argv(), &error);
  ASSERT_TRUE(plan) << error;
  ASSERT_EQ(plan->kind, launcher::Plan::Kind::kBench);
  ASSERT_EQ(plan->bench.size(), 3u);
  using Args = std::vector<std::string>;
  const Args shared = {"--headless", "--update", "--port"};
  EXPECT_EQ(plan->bench[0].name, "emulated-1");
  EXPECT_EQ(plan->bench[0].args, (Args{"--headless", "--update", "--port", "emulated", "--speed", "20", "--ril", "dtr"}));
  EXPECT_EQ(plan->bench[1].name, "emulated-2");
  EXPECT_EQ(plan->bench[1].args, (Args{"--headless", "--update", "--port", "emulated", "--speed", "20", "--ril", "dtr",
                                       "--module", "refuse-image"}));
  EXPECT_EQ(plan->bench[2].name, "ttyUSB3");
  EXPECT_EQ(plan->bench[2].args, (Args{"--headless", "--update", "--port", "/dev/ttyUSB3", "--speed", "20", "--ril",
                                       "dtr", "--ril", "rts"}));

  for (std::vector<std::string> bad : {std::vector<std::string>{"--port", "emulated", "--port", "emulated"},
                                       {"--update", "--port", "/dev/null", "--port", "/dev/../dev/null"},
                                       {"--update", "--port", "emulated", "--port", "emulated", "--log-out", "l.txt"}}) {
    Argv again(bad);
    options = launcher::ParseOptions(again.argc(), again.argv(), &error);
    ASSERT_TRUE(options) << error;
    EXPECT_FALSE(launcher::MakePlan(*options, again.argc(), again.argv(), &error)) << ::testing::PrintToString(bad);
  }
}

TEST(LauncherOptions, HelpTellsTheExitStatusesAndEveryOption) {
  std::string usage = launcher::UsageText();
  for (const char* line : {"--update", "--quiet", "--report FILE", "--port PATH", "--ports FILE", "--version",
                           "--timestamps", "\n  10 ", "\n  11 ", "\n  12 ", "\n  13 ", "\n  14 ", "\n  125 ",
                           "128 + N", "--port /dev/ttyUSB0 --ril dtr"}) {
    EXPECT_NE(usage.find(line), std::string::npos) << line;
  }
}

}  // namespace
