// fwutil as an operator and a production line meet it before and around the
// update: bad options refused before anything reaches COM1:, the module's
// port locked against a second program, an interruption or an Exit that is
// told, the version, and a bench of modules in one command.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Run.h"
#include "SchemaCheck.h"

namespace {

using namespace std::chrono_literals;
using e2e::Child;
using e2e::ReadFile;
using e2e::TempDir;
using Json = nlohmann::json;

std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of('\n');
  if (end == std::string::npos) return "";
  size_t begin = text.rfind('\n', end);
  return text.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1) + 1);
}

Json ReadJson(const std::string& path) { return Json::parse(ReadFile(path), nullptr, false); }

// The report at `path` is one the schema takes, its times bracket the run.
void ExpectSoundReport(const std::string& path, std::chrono::system_clock::time_point before,
                       std::chrono::system_clock::time_point after) {
  std::string text = ReadFile(path);
  ASSERT_FALSE(text.empty()) << path;
  EXPECT_EQ(schemacheck::Problems(text), "") << text;
  auto iso = [](std::chrono::system_clock::time_point t) {
    std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm utc{};
    gmtime_r(&s, &utc);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(out);
  };
  Json report = Json::parse(text);
  // Whole seconds: the report's are to the millisecond.
  EXPECT_GE(report["started_at"].get<std::string>().substr(0, 19), iso(before)) << text;
  EXPECT_LE(report["ended_at"].get<std::string>().substr(0, 19), iso(after + 1s)) << text;
  EXPECT_LE(report["started_at"].get<std::string>(), report["ended_at"].get<std::string>()) << text;
}

class Door : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    // The port locks of these runs stay in the test's own folder.
    setenv("FWUTIL_LOCK_DIR", dir_.Path().c_str(), 1);
  }
  std::vector<std::string> Fwutil(std::vector<std::string> options) {
    options.insert(options.begin(), FWUTIL_PATH);
    return options;
  }
  // A module simulator behind a pty pair: fwutil's end is dir_/"host".
  bool StartSimulator(const std::vector<std::string>& options) {
    std::string why;
    bool up = e2e::StartModuleOnPty(MODULESIM_PATH, dir_ / "", options, socat_, sim_, &why);
    EXPECT_TRUE(up) << why;
    return up;
  }
  std::vector<std::string> OnTheSimulator(const std::string& name, std::vector<std::string> more) {
    std::vector<std::string> argv = Fwutil({"--headless", "--update", "--speed", "20", "--port", dir_ / "host", "--ril",
                                            "control:" + (dir_ / "control"), "--report", dir_ / (name + ".json")});
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
  }

  TempDir dir_;
  std::unique_ptr<Child> socat_;
  std::unique_ptr<Child> sim_;
};

// Each mistake is one line and status 2 before the handset starts: nothing
// reaches COM1: (the trace has no "Open :"), and the report an earlier run
// left at the path is gone rather than read as this run's.
TEST_F(Door, BadOptionsEndWithTwoBeforeAnythingReachesCom1) {
  { std::ofstream(dir_ / "a-file") << "x"; }
  struct Case {
    std::vector<std::string> options;
    const char* words;
  } cases[] = {
      {{"--module", "bogus"}, "bogus"},
      {{"--log-out", dir_.Path()}, "it is a folder"},
      {{"--flash-out", dir_ / "missing/flash.bin"}, "does not exist"},
      {{"--desktop", dir_ / "a-file"}, "not a folder"},
      {{"--port", dir_ / "tty"}, "--ril dtr or --ril rts"},
      {{"--port", dir_ / "tty", "--ril", "dtr", "--module", "refuse-image"}, "need the emulated module"},
      {{"--speed", "fast"}, "--speed"},
      {{"--bogus"}, "--bogus"},
      {{"--update=now"}, "update"},
  };
  for (const Case& c : cases) {
    std::string report = dir_ / "report.json";
    { std::ofstream(report) << "{\"outcome\":\"succeeded\"}\n"; }
    std::vector<std::string> argv = Fwutil({"--headless", "--update", "--speed", "20", "--report", report, "--trace",
                                            dir_ / "trace.txt"});
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    Child run(argv, dir_ / "stderr.txt");
    auto status = run.Wait(30s);
    std::string what = ::testing::PrintToString(c.options);
    ASSERT_TRUE(status) << what;
    const std::string errors = run.Errors();
    EXPECT_EQ(*status, 2) << what << "\n" << errors;
    EXPECT_NE(LastLine(errors).find(c.words), std::string::npos) << what << "\n" << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << what << "\n" << errors;
    EXPECT_EQ(ReadFile(dir_ / "trace.txt").find("Open :"), std::string::npos) << what;
    EXPECT_FALSE(std::ifstream(report).good()) << what << ": an earlier run's report is left";
  }
  // A report that cannot be written is a bad option, not a lost record.
  Child run(Fwutil({"--headless", "--update", "--report", dir_ / "missing/r.json"}), dir_ / "stderr.txt");
  EXPECT_EQ(run.Wait(30s), 2) << run.Errors();
}

// Signals in the middle of the image, and before it: the status is 128 + N,
// the report says "interrupted" with how far the update came, and the last
// line says what the module is left holding. The cases run side by side.
TEST_F(Door, AnInterruptedUpdateIsTold) {
  struct Case {
    const char* name;
    int signal;
    const char* after;  // the progress line to send it at
    const char* holds;  // what the last line says of the module
  } cases[] = {
      // In the order their moments come: each is awaited in turn.
      {"hup", SIGHUP, " memory check", "the module still holds its earlier firmware"},
      {"int", SIGINT, "image 20%", "the module's flash holds no firmware (erased when the image transfer began"},
      {"term", SIGTERM, "image 40%", "the module's flash holds no firmware (erased when the image transfer began"},
  };
  auto before = std::chrono::system_clock::now();
  std::vector<std::unique_ptr<Child>> runs;
  for (const Case& c : cases) {
    runs.push_back(std::make_unique<Child>(
        Fwutil({"--headless", "--update", "--speed", "20", "--desktop", dir_ / c.name, "--report",
                dir_ / (std::string(c.name) + ".json"), "--module", "delay@memory-check=40000"}),
        dir_ / (std::string(c.name) + ".txt")));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    ASSERT_TRUE(runs[i]->WaitForError(cases[i].after, 120s)) << runs[i]->Errors();
    kill(runs[i]->Pid(), cases[i].signal);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const Case& c = cases[i];
    auto status = runs[i]->Wait(60s);
    ASSERT_TRUE(status) << c.name << "\n" << runs[i]->Errors();
    EXPECT_EQ(*status, 128 + c.signal) << c.name << "\n" << runs[i]->Errors();
    std::string last = LastLine(runs[i]->Errors());
    EXPECT_EQ(last.rfind("fwutil: interrupted by SIG", 0), 0u) << last;
    EXPECT_NE(last.find(c.holds), std::string::npos) << last;
    std::string path = dir_ / (std::string(c.name) + ".json");
    ExpectSoundReport(path, before, std::chrono::system_clock::now());
    Json report = ReadJson(path);
    EXPECT_EQ(report["outcome"], "interrupted") << c.name;
    EXPECT_EQ(report["exit_status"], 128 + c.signal) << c.name;
    EXPECT_EQ(report["module_state"].get<std::string>().rfind(c.holds, 0), 0u) << report.dump();
    if (c.signal != SIGHUP) {
      EXPECT_EQ(report["phase"], "image");
      EXPECT_GT(report["image_bytes_acknowledged"].get<uint64_t>(), 0u);
      EXPECT_EQ(report["flash_holds"], "no-firmware");
    } else {
      EXPECT_EQ(report["flash_holds"], "earlier-firmware");
    }
  }
}

// Exit while the update runs: the program ends as it always did, the run
// says what the module is left holding and ends with 13.
TEST_F(Door, AnExitDuringTheUpdateIsNoSuccess) {
  Child run(Fwutil({"--headless", "--speed", "20", "--desktop", dir_ / "desktop", "--report", dir_ / "exit.json",
                    "--trace", "none", "--do", "command 118", "--do", "wait \"Wait a moment please...\" 2m", "--do",
                    "key ctrl+q"}),
            dir_ / "stderr.txt");
  auto status = run.Wait(120s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 13) << run.Errors();
  EXPECT_EQ(LastLine(run.Errors()).rfind("fwutil: the program was ended during the ", 0), 0u) << run.Errors();
  Json report = ReadJson(dir_ / "exit.json");
  EXPECT_EQ(report["outcome"], "unfinished") << report.dump();
  EXPECT_EQ(report["exit_status"], 13);
}

// The report's place taken (by a folder) while the module is flashed: the
// update went well, but a line that relies on the report has lost it, and
// the status says so (14) instead of 0.
TEST_F(Door, AReportThatCannotBeWrittenIsNoSuccess) {
  std::string report = dir_ / "late.json";
  Child run(Fwutil({"--headless", "--update", "--speed", "20", "--desktop", dir_ / "desktop", "--report", report}),
            dir_ / "stderr.txt");
  ASSERT_TRUE(run.WaitForError(" image, 2493720 bytes", 60s)) << run.Errors();
  ASSERT_EQ(mkdir(report.c_str(), 0700), 0);
  auto status = run.Wait(120s);
  ASSERT_TRUE(status) << run.Errors();
  EXPECT_EQ(*status, 14) << run.Errors();
  EXPECT_NE(run.Errors().find("fwutil: cannot write the report to " + report), std::string::npos) << run.Errors();
  EXPECT_NE(run.Errors().find("fwutil: verify: flash holds the firmware image"), std::string::npos) << run.Errors();
}

// The module's port is locked: a second copy, or a program that holds the
// lock (here the test itself), is refused with the holder's process id and
// 11; a lock whose process is gone is taken over; the first copy's update
// goes on to succeed.
TEST_F(Door, TheModulesPortIsLocked) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  ASSERT_TRUE(StartSimulator({"--switch", "delay@memory-check=1500"}));
  char device[PATH_MAX];
  ASSERT_NE(realpath((dir_ / "host").c_str(), device), nullptr);
  std::string lock = dir_ / ("LCK.." + std::string(device).substr(std::string(device).rfind('/') + 1));

  { std::ofstream(lock) << "  " << getpid() << "\n"; }  // held by a live program
  Child refused(OnTheSimulator("held", {}), dir_ / "held.txt");
  EXPECT_EQ(refused.Wait(30s), 11) << refused.Errors();
  EXPECT_NE(LastLine(refused.Errors()).find("is in use by process " + std::to_string(getpid())), std::string::npos)
      << refused.Errors();
  EXPECT_EQ(ReadJson(dir_ / "held.json")["outcome"], "not-started");
  EXPECT_EQ(schemacheck::Problems(ReadFile(dir_ / "held.json")), "");

  Child gone({"true"}, dir_ / "true.txt");
  ASSERT_EQ(gone.Wait(10s), 0);
  { std::ofstream(lock) << "  " << gone.Pid() << "\n"; }  // its process is gone: stale
  Child first(OnTheSimulator("first", {}), dir_ / "first.txt");
  ASSERT_TRUE(first.WaitForError("memory check", 60s)) << first.Errors();
  EXPECT_EQ(std::stoi(ReadFile(lock)), first.Pid());
  Child second(OnTheSimulator("second", {"--desktop", dir_ / "other-desktop"}), dir_ / "second.txt");
  EXPECT_EQ(second.Wait(30s), 11) << second.Errors();
  EXPECT_NE(LastLine(second.Errors()).find("is in use by process " + std::to_string(first.Pid())), std::string::npos)
      << second.Errors();
  EXPECT_EQ(first.Wait(180s), 0) << first.Errors() << sim_->Errors();
  EXPECT_FALSE(std::ifstream(lock).good()) << "the lock outlived its copy";
}

// Signals at random moments against a loader that is not ours (the module
// simulator over a pty): whatever the moment, the status, the report and
// what the loader received agree.
TEST_F(Door, ReportAndStatusAgreeWithTheLoaderWhateverTheMomentOfASignal) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::srand(seed);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int run = 0; run < 3; ++run) {
    std::remove((dir_ / "sim-flash.bin").c_str());
    ASSERT_TRUE(StartSimulator({}));
    int signal = signals[std::rand() % 3];
    auto delay = std::chrono::milliseconds(std::rand() % 14000);
    std::string name = "run" + std::to_string(run);
    // A signal before main would end the process as it ends any program, and
    // under an emulator main may come late: the moments are counted from the
    // copy's removal of an earlier report, which follows its blocking of
    // signals, up to past the image's end.
    std::string earlier = dir_ / (name + ".json");
    { std::ofstream(earlier) << "{\"outcome\":\"succeeded\"}\n"; }
    Child copy(OnTheSimulator(name, {"--quiet"}), dir_ / (name + ".txt"));
    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::ifstream(earlier).good() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(std::ifstream(earlier).good()) << "the copy never began\n" << copy.Errors();
    std::this_thread::sleep_for(delay);
    kill(copy.Pid(), signal);
    auto status = copy.Wait(120s);
    std::string what = "seed " + std::to_string(seed) + " run " + std::to_string(run) + ": signal " +
                       std::to_string(signal) + " after " + std::to_string(delay.count()) + " ms\n" + copy.Errors();
    ASSERT_TRUE(status) << what;
    sim_->Stop(SIGTERM);  // writes its flash at exit
    bool written = ReadFile(dir_ / "sim-flash.bin") == ReadFile(FIRMWARE_IMAGE);
    Json report = ReadJson(dir_ / (name + ".json"));
    ASSERT_FALSE(report.is_discarded()) << what;
    EXPECT_EQ(schemacheck::Problems(report.dump()), "") << what;
    EXPECT_EQ(report["exit_status"], *status) << what;
    if (*status == 0) {
      EXPECT_EQ(report["outcome"], "succeeded") << what;
      EXPECT_TRUE(written) << "a success the loader did not see\n" << what;
    } else {
      EXPECT_EQ(*status, 128 + signal) << what;
      EXPECT_EQ(report["outcome"], "interrupted") << what;
      // Acknowledged means the loader had it.
      if (!written) {
        EXPECT_LT(report["image_bytes_acknowledged"].get<uint64_t>(), 2493720u) << what;
      }
      EXPECT_NE(LastLine(copy.Errors()).find("interrupted by"), std::string::npos) << what;
    }
    sim_.reset();
    socat_.reset();
  }
}

// A bench against two module simulators behind host ptys: each port is a
// handset of its own (no --desktop needed), each module takes the image.
TEST_F(Door, ABenchOfTwoSimulatorsBehindPtys) {
  if (!e2e::OnPath("socat")) GTEST_SKIP() << "socat is not installed: the pty pair cannot be made";
  std::vector<std::unique_ptr<Child>> processes;
  std::vector<std::string> argv = Fwutil({"--update", "--speed", "20", "--quiet", "--report", dir_ / "bench.json"});
  for (const char* name : {"a-", "b-"}) {
    std::string at = dir_ / name, why;
    processes.emplace_back();
    processes.emplace_back();
    ASSERT_TRUE(e2e::StartModuleOnPty(MODULESIM_PATH, at, {}, processes[processes.size() - 2], processes.back(), &why))
        << why;
    argv.push_back("--port=" + at + "host --ril control:" + at + "control");
  }
  setenv("FWUTIL_PROGRAM", FWUTIL_PATH, 1);
  Child bench(argv, dir_ / "bench.txt");
  ASSERT_EQ(bench.Wait(240s), 0) << bench.Errors();
  Json document = ReadJson(dir_ / "bench.json");
  ASSERT_EQ(document["modules"].size(), 2u) << document.dump();
  for (const Json& module : document["modules"]) {
    EXPECT_EQ(module["report"]["outcome"], "succeeded") << module.dump();
    EXPECT_EQ(module["report"]["reset_method"], "control") << module.dump();
  }
  for (size_t i = 1; i < processes.size(); i += 2) processes[i]->Stop(SIGTERM);  // writes the flash
  EXPECT_TRUE(ReadFile(dir_ / "a-sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
  EXPECT_TRUE(ReadFile(dir_ / "b-sim-flash.bin") == ReadFile(FIRMWARE_IMAGE));
}

TEST_F(Door, TheVersionNamesTheImageTheBuildMade) {
  Child version(Fwutil({"--version"}), dir_ / "version.txt");
  ASSERT_EQ(version.Wait(30s), 0);
  // --version writes to standard output; run it again into a file.
  std::string command = std::string(FWUTIL_PATH) + " --version > '" + (dir_ / "out.txt") + "' && sha256sum '" +
                        FIRMWARE_IMAGE + "' > '" + (dir_ / "sum.txt") + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string digest = ReadFile(dir_ / "sum.txt").substr(0, 64);
  std::string text = ReadFile(dir_ / "out.txt");
  EXPECT_EQ(text.rfind("fwutil 1.", 0), 0u) << text;
  EXPECT_NE(text.find("firmware.bin"), std::string::npos) << text;
  EXPECT_NE(text.find("2493720 bytes  sha256 " + digest), std::string::npos) << text;
}

// Eight emulated modules in one command, two of them with faults (a refused
// image, a damage the checks cannot see): the
// bench's status is the worst one's, the summary names exactly the two with
// their words, the six others hold the image, and the one document holds
// a report for each that the schema takes.
TEST_F(Door, ABenchOfEightFlashesEveryModuleAtOnce) {
  { std::ofstream(dir_ / "ports.txt") << "# the bench\nemulated\nemulated --module refuse-image\nemulated\n"; }
  std::vector<std::string> argv = Fwutil({"--update", "--speed", "20", "--ports", dir_ / "ports.txt", "--report",
                                          dir_ / "bench.json", "--timestamps", "--desktop", dir_ / "desktops"});
  for (int i = 0; i < 4; ++i) argv.insert(argv.end(), {"--port", "emulated"});
  argv.insert(argv.end(), {"--port", "emulated --module flip-image=301"});
  // The copies are this fwutil (named, for a build whose programs start
  // under an emulator).
  setenv("FWUTIL_PROGRAM", FWUTIL_PATH, 1);
  auto before = std::chrono::system_clock::now();
  Child bench(argv, dir_ / "bench.txt");
  auto status = bench.Wait(300s);
  ASSERT_TRUE(status) << bench.Errors();
  EXPECT_EQ(*status, 12) << "the worst: a flash that does not hold what the module took\n" << bench.Errors();
  std::string errors = bench.Errors();

  // Every line stamped, each module's led by its name.
  std::istringstream lines(errors);
  size_t summary = std::string::npos;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_GE(line.size(), 25u) << line;
    EXPECT_EQ(line[4], '-') << line;
    EXPECT_EQ(line.substr(23, 2), "Z ") << line;
  }
  summary = errors.find("fwutil: bench of 8 modules in ");
  ASSERT_NE(summary, std::string::npos) << errors;
  std::string table = errors.substr(summary);
  EXPECT_NE(table.find("6 took the image, 2 did not"), std::string::npos) << table;
  // The --port modules first, then the file's: the fifth's image is damaged
  // where the checks cannot see it, the seventh is refused.
  EXPECT_NE(table.find("emulated-5  flash-differs     12"), std::string::npos) << table;
  EXPECT_NE(table.find("could not see the damage"), std::string::npos) << table;
  EXPECT_NE(table.find("emulated-7  failed            10"), std::string::npos) << table;
  EXPECT_NE(table.find("The radio module refused the firmware image"), std::string::npos) << table;
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 10) << table;
  EXPECT_NE(errors.find("emulated-1: fwutil: 0:0"), std::string::npos) << errors;

  std::string text = ReadFile(dir_ / "bench.json");
  EXPECT_EQ(schemacheck::Problems(text), "") << text;
  Json document = Json::parse(text);
  EXPECT_EQ(document["exit_status"], 12);
  ASSERT_EQ(document["modules"].size(), 8u);
  int holding = 0;
  for (const Json& module : document["modules"]) {
    const Json& report = module["report"];
    ASSERT_TRUE(report.is_object()) << module.dump();
    if (module["exit_status"] == 0) {
      EXPECT_EQ(report["flash_holds"], "image") << module.dump();
      EXPECT_EQ(report["verify"], "flash holds the firmware image (2493720 bytes)") << module.dump();
      ++holding;
    } else {
      EXPECT_TRUE(module["name"] == "emulated-5" || module["name"] == "emulated-7") << module.dump();
    }
  }
  EXPECT_EQ(holding, 6);
  ExpectSoundReport(dir_ / "bench.json", before, std::chrono::system_clock::now());
}

}  // namespace
