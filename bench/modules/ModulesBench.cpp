// A bench of emulated modules flashed in one command, each by a copy of
// fwutil of its own, against one module alone, measured in the same run at
// the same clock speed (the argument's second value; the line paced at
// 115200 bits per second of that clock).
//
// Counters (ratios; no absolute pass or fail):
//   wall_over_one      the bench's wall time over that of one module alone:
//                      1.0 when the modules take no time from each other
//   cpu_per_module     CPU time (user and system, the bench and all its
//                      copies) per module, over that of one module alone
//   cores_busy         CPU time over wall time: how many cores the bench kept
//                      busy on average
//
// Run: modules_bench [--benchmark_filter=...]; the arguments are the number
// of modules and the clock speed.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Measure {
  double wall = 0;  // seconds
  double cpu = 0;   // seconds, user and system, of the bench and its copies
  int status = -1;
};

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// fwutil --update with `modules` emulated modules at clock `speed`.
Measure Bench(int modules, int speed) {
  char pattern[] = "/tmp/fwutil-modules-bench-XXXXXX";
  std::string dir = mkdtemp(pattern) ? pattern : "/tmp";
  std::vector<std::string> args = {FWUTIL_PATH, "--update", "--quiet", "--speed", std::to_string(speed),
                                   "--desktop", dir};
  // One module is the plain command; several make a bench.
  for (int i = 0; i < modules; ++i) args.insert(args.end(), {"--port", "emulated"});
  if (modules == 1) args.insert(args.end(), {"--headless"});
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  setenv("FWUTIL_PROGRAM", FWUTIL_PATH, 1);
  Measure m;
  auto started = std::chrono::steady_clock::now();
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage children{};
    getrusage(RUSAGE_CHILDREN, &children);
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // RUSAGE_CHILDREN adds up every child this process has awaited, and a
    // bench's copies are its children's: what this one added is the
    // difference.
    static double accountedChildren = 0;
    double all = Seconds(children.ru_utime) + Seconds(children.ru_stime);
    m.cpu = all - accountedChildren;
    accountedChildren = all;
  }
  posix_spawn_file_actions_destroy(&actions);
  [[maybe_unused]] int removed = std::system(("rm -rf '" + dir + "'").c_str());
  return m;
}

// One module alone at each speed, measured once per run.
const Measure& Alone(int speed) {
  static std::map<int, Measure> measured;
  auto found = measured.find(speed);
  if (found == measured.end()) found = measured.emplace(speed, Bench(1, speed)).first;
  return found->second;
}

void BM_BenchOfModules(benchmark::State& state) {
  const int modules = static_cast<int>(state.range(0));
  const int speed = static_cast<int>(state.range(1));
  const Measure& one = Alone(speed);
  if (one.status != 0) {
    state.SkipWithError("one module alone did not take the image");
    return;
  }
  Measure bench;
  for (auto _ : state) {
    bench = Bench(modules, speed);
    state.SetIterationTime(bench.wall);
  }
  if (bench.status != 0) {
    state.SkipWithError("a module of the bench did not take the image");
    return;
  }
  state.counters["wall_over_one"] = bench.wall / one.wall;
  state.counters["cpu_per_module"] = (bench.cpu / modules) / one.cpu;
  state.counters["cores_busy"] = bench.cpu / bench.wall;
}

BENCHMARK(BM_BenchOfModules)
    ->ArgNames({"modules", "speed"})
    ->Args({1, 20})
    ->Args({4, 20})
    ->Args({8, 20})
    ->Args({16, 20})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
