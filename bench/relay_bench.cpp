// Relay throughput and run overhead: the agent's Runner against a bare
// posix_spawn + pipes program driving the same tool. Every measurement runs
// in a fresh child of this program, so its peak memory is its own.
//   relay_bench                        the whole table
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

extern char** environ;

namespace tavrik {
struct RunnerTestAccess {
  static void chay(Runner& r, std::vector<std::string> args, std::optional<std::string> in,
                   Runner::Xong xong) {
    r.chay(std::move(args), std::move(in), std::move(xong));
  }
};
}  // namespace tavrik

namespace {

using Clock = std::chrono::steady_clock;
const std::string kTool = BENCH_TOOL;
constexpr int kOverheadRuns = 1000;

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

// Through the Runner, as a press would: a background job, the completion,
// then the clearing job on the main queue.
void runnerRun(tavrik::Runner& runner, const std::string& what, std::size_t bytes,
               std::optional<std::string> in) {
  std::size_t got = 0;
  tavrik::RunnerTestAccess::chay(
      runner, {std::to_string(bytes)}, std::move(in),
      [&](std::int32_t, std::string out, std::string) { got = out.size(); });
  tavrik::fake::waitForMainJobs(1, std::chrono::hours(1));
  tavrik::fake::waitBackgroundIdle();
  tavrik::fake::drainMain();
  if (what == "pull" && got != bytes) std::exit(5);
}

int one(const std::string& side, const std::string& what, std::size_t bytes) {
  tavrik::fake::reset();
  // The bare side writes from one buffer; the runner is handed its own
  // text each run, as a push hands over the clipboard text it read.
  const std::string payload =
      what == "push" && side == "bare" ? std::string(bytes, 'x') : std::string();
  const std::string mode = what == "push" ? "sink" : what == "pull" ? "source" : "exit";
  // The runner puts its script path first: here it is the tool's mode.
  auto runner = std::make_shared<tavrik::Runner>(kTool, mode);
  const int runs = what == "overhead" ? kOverheadRuns : (bytes >= (64u << 20) ? 7 : 15);
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    std::optional<std::string> in;
    if (side == "runner" && what == "push") in = std::string(bytes, 'x');
    const auto start = Clock::now();
    if (side == "bare") {
      bareRun(what, bytes, payload);
    } else {
      runnerRun(*runner, what, bytes, std::move(in));
    }
    seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  double total = 0;
  for (double s : seconds) total += s;
  // Throughput from the median run; overhead as the mean per run.
  std::printf("%.9f\n", what == "overhead" ? total / runs : seconds[seconds.size() / 2]);
  return 0;
}

struct Measured {
  double seconds;
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
  char buf[64] = {};
  const ssize_t n = read(p[0], buf, sizeof buf - 1);
  close(p[0]);
  int status;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measurement %s %s %s failed\n", side.c_str(), what.c_str(), size.c_str());
    std::exit(1);
  }
  return {std::strtod(buf, nullptr), usage.ru_maxrss};
}

}  // namespace

int main(int argc, char** argv) {
  tavrik::platform::prepareProcess();
  if (argc == 5 && std::strcmp(argv[1], "one") == 0) {
    return one(argv[2], argv[3], std::strtoull(argv[4], nullptr, 10));
  }
  std::printf("Relay throughput (median run; peak = resident high-water mark of the process)\n");
  std::printf("%-6s %8s %12s %12s %7s %12s %12s %16s\n", "what", "size", "runner MB/s", "bare MB/s",
              "ratio", "runner peak", "bare peak", "limit 2.5x+8MiB");
  for (const char* what : {"push", "pull"}) {
    for (const std::size_t mib : {1u, 16u, 64u}) {
      const std::size_t bytes = std::size_t{mib} << 20;
      const auto r = measure(argv[0], "runner", what, bytes);
      const auto b = measure(argv[0], "bare", what, bytes);
      const double rMBs = static_cast<double>(bytes) / 1e6 / r.seconds;
      const double bMBs = static_cast<double>(bytes) / 1e6 / b.seconds;
      const long limitKiB = static_cast<long>(2.5 * static_cast<double>(mib) * 1024) + 8 * 1024;
      std::printf("%-6s %5zu MiB %12.0f %12.0f %7.2f %8ld KiB %8ld KiB %12ld KiB\n", what, mib,
                  rMBs, bMBs, rMBs / bMBs, r.peakKiB, b.peakKiB, limitKiB);
    }
  }
  const auto r = measure(argv[0], "runner", "overhead", 0);
  const auto b = measure(argv[0], "bare", "overhead", 0);
  std::printf("\nRun overhead (%d sequential runs of a tool that exits at once)\n", kOverheadRuns);
  std::printf("%-22s %12s %12s %7s\n", "", "runner", "bare", "ratio");
  std::printf("%-22s %9.0f us %9.0f us %7.2f\n", "mean time per run", r.seconds * 1e6,
              b.seconds * 1e6, r.seconds / b.seconds);
  return 0;
}
