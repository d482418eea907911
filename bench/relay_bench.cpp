// Relay throughput and run overhead: the agent's Runner against a bare
// posix_spawn + pipes program driving the same tool. Every measurement runs
// in a fresh child of this program, so its peak memory is its own.
//   relay_bench [PAIRS]                the whole table (PAIRS >= 10)
//   relay_bench one SIDE WHAT BYTES    one measurement (SIDE: runner|bare;
//                                      WHAT: push|pull|overhead)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/app.h"
#include "platform/fake/fake.h"
#include "platform/process.h"
#include "relay/runner.h"
#include "tests/harness/runner_access.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kTool = BENCH_TOOL;
constexpr int kOverheadRuns = 200;

pid_t spawnTool(std::vector<std::string> args, posix_spawn_file_actions_t* actions) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, kTool.c_str(), actions, nullptr, argv.data(), environ) != 0) std::exit(3);
  return pid;
}

// The baseline: one pipe, blocking I/O, then waitpid.
void bareRun(const std::string& what, std::size_t bytes, const std::string& payload) {
  int p[2];
  if (pipe(p) != 0) std::exit(3);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const bool push = what == "push";
  posix_spawn_file_actions_adddup2(&fa, push ? p[0] : p[1], push ? 0 : 1);
  posix_spawn_file_actions_addclose(&fa, p[0]);
  posix_spawn_file_actions_addclose(&fa, p[1]);
  const pid_t pid = spawnTool({kTool,
                               what == "push"   ? "sink"
                               : what == "pull" ? "source"
                                                : "exit",
                               std::to_string(bytes)},
                              &fa);
  posix_spawn_file_actions_destroy(&fa);
  if (push) {
    close(p[0]);
    for (std::size_t off = 0; off < payload.size();) {
      const ssize_t n = write(p[1], payload.data() + off, payload.size() - off);
      if (n <= 0) std::exit(4);
      off += static_cast<std::size_t>(n);
    }
    close(p[1]);
  } else {
    close(p[1]);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    close(p[0]);
    if (out.size() != bytes) std::exit(5);
  }
  int status;
  waitpid(pid, &status, 0);
}

// Through the Runner, as a press would: a background job and the completion.
void runnerRun(tavrik::Runner& runner, const std::string& what, std::size_t bytes,
               std::optional<std::string> in) {
  std::size_t got = 0;
  tavrik::RunnerTestAccess::chay(
      runner, {std::to_string(bytes)}, std::move(in),
      [&](std::int32_t, std::string out, std::string) { got = out.size(); });
  tavrik::fake::waitBackgroundIdle();
  tavrik::fake::drainMain();
  if (what == "pull" && got != bytes) std::exit(5);
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);  // every thread of this process, joined ones too
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One measurement in this fresh process: a warm-up run, then the timed one
// (for the overhead, the mean of many). Prints wall and CPU seconds.
int one(const std::string& side, const std::string& what, std::size_t bytes) {
  tavrik::fake::reset();
  // The bare side writes from one buffer; the runner is handed its own
  // text each run, as a push hands over the clipboard text it read.
  const std::string payload =
      what == "push" && side == "bare" ? std::string(bytes, 'x') : std::string();
  const std::string mode = what == "push" ? "sink" : what == "pull" ? "source" : "exit";
  // The runner puts its script path first: here it is the tool's mode.
  auto runner = std::make_shared<tavrik::Runner>(kTool, mode);
  const auto run = [&] {
    std::optional<std::string> in;
    if (side == "runner" && what == "push") in = std::string(bytes, 'x');
    const auto start = Clock::now();
    const double cpu = cpuSeconds();
    if (side == "bare") {
      bareRun(what, bytes, payload);
    } else {
      runnerRun(*runner, what, bytes, std::move(in));
    }
    return std::pair(std::chrono::duration<double>(Clock::now() - start).count(),
                     cpuSeconds() - cpu);
  };
  (void)run();
  const int runs = what == "overhead" ? kOverheadRuns : 1;
  double wall = 0, cpu = 0;
  for (int i = 0; i < runs; ++i) {
    const auto [w, c] = run();
    wall += w;
    cpu += c;
  }
  std::printf("%.9f %.9f\n", wall / runs, cpu / runs);
  return 0;
}

struct Measured {
  double seconds;
  double cpu;
  long peakKiB;
};

Measured measure(const char* self, const std::string& side, const std::string& what,
                 std::size_t bytes) {
  int p[2];
  if (pipe(p) != 0) std::exit(3);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  posix_spawn_file_actions_addclose(&fa, p[0]);
  const std::string size = std::to_string(bytes);
  std::vector<std::string> args{self, "one", side, what, size};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, self, &fa, nullptr, argv.data(), environ) != 0) std::exit(3);
  posix_spawn_file_actions_destroy(&fa);
  close(p[1]);
  char buf[128] = {};
  const ssize_t n = read(p[0], buf, sizeof buf - 1);
  close(p[0]);
  int status;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measurement %s %s %s failed\n", side.c_str(), what.c_str(), size.c_str());
    std::exit(1);
  }
  char* rest = nullptr;
  const double seconds = std::strtod(buf, &rest);
  return {seconds, std::strtod(rest, nullptr), usage.ru_maxrss};
}

struct Row {
  std::vector<double> wall[2], cpu[2];
  long peak[2] = {0, 0};
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Runner and bare alternate (ABAB...), each measurement in a fresh process,
// so that a change in the machine's load falls on both sides alike.
Row alternate(const char* self, const std::string& what, std::size_t bytes, int pairs) {
  Row row;
  for (int i = 0; i < pairs; ++i) {
    int k = 0;
    for (const char* side : {"runner", "bare"}) {
      const auto m = measure(self, side, what, bytes);
      row.wall[k].push_back(m.seconds);
      row.cpu[k].push_back(m.cpu);
      row.peak[k] = std::max(row.peak[k], m.peakKiB);
      ++k;
    }
  }
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  tavrik::platform::prepareProcess();
  if (argc == 5 && std::strcmp(argv[1], "one") == 0) {
    return one(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
  }
  const int pairs = argc >= 2 ? std::max(1, std::atoi(argv[1])) : 10;
  std::printf(
      "Relay throughput: runner and bare alternate, %d runs each per row; wall time\n"
      "min / median in ms, MB/s and ratio from the medians (ratio = runner MB/s over\n"
      "bare MB/s); CPU = user + system time of the driving process, median in ms;\n"
      "peak = highest resident memory of a driving process\n",
      pairs);
  std::printf("%-5s %7s %19s %19s %9s %6s %15s %21s\n", "what", "size", "runner ms min/med",
              "bare ms min/med", "runner", "ratio", "CPU ms run/bare", "peak KiB run/bare");
  for (const char* what : {"push", "pull"}) {
    for (const std::size_t mib : {1u, 16u, 64u}) {
      const std::size_t bytes = std::size_t{mib} << 20;
      const Row r = alternate(argv[0], what, bytes, pairs);
      const double run = median(r.wall[0]), bare = median(r.wall[1]);
      std::printf(
          "%-5s %3zu MiB %8.1f / %8.1f %8.1f / %8.1f %5.0fMB/s %6.2f %7.1f / %5.1f %10ld / %8ld\n",
          what, mib, minimum(r.wall[0]) * 1e3, run * 1e3, minimum(r.wall[1]) * 1e3, bare * 1e3,
          static_cast<double>(bytes) / 1e6 / run, bare / run, median(r.cpu[0]) * 1e3,
          median(r.cpu[1]) * 1e3, r.peak[0], r.peak[1]);
    }
  }
  const Row o = alternate(argv[0], "overhead", 0, pairs);
  std::printf(
      "\nRun overhead (mean of %d sequential runs of a tool that exits at once, per "
      "measurement; median of %d)\n",
      kOverheadRuns, pairs);
  std::printf("%-22s %12s %12s %7s\n", "", "runner", "bare", "ratio");
  std::printf("%-22s %9.0f us %9.0f us %7.2f\n", "time per run", median(o.wall[0]) * 1e6,
              median(o.wall[1]) * 1e6, median(o.wall[0]) / median(o.wall[1]));
  std::printf("%-22s %9.0f us %9.0f us %7.2f\n", "CPU per run", median(o.cpu[0]) * 1e6,
              median(o.cpu[1]) * 1e6, median(o.cpu[0]) / median(o.cpu[1]));
  return 0;
}
