// The main of every benchmark program. Standard output carries Google Benchmark's own report and
// nothing else, in the format --benchmark_format names (console, json, csv), so a tool can read it;
// --benchmark_out, --benchmark_filter and --benchmark_min_time work as documented. After the run the
// speed-up of each BM_<what>/vesk over the baselines beside it (BM_<what>/baseline, or another name
// such as BM_<what>/libswscale) goes to standard error in a console run, where it reaches a person.
//
//   int main(int argc, char** argv) { return vesk::bench::run(argc, argv); }
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vesk::bench {

namespace detail {

struct Pace {
  benchmark::internal::Benchmark* benchmark;
  benchmark::IterationCount iterations;  // 0: minSeconds instead
  double minSeconds;
};

inline std::vector<Pace>& paces() {
  static std::vector<Pace> p;
  return p;
}

// The flag is read from the command line and, as the library reads it, from the environment.
inline bool minTimeGiven(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_min_time", 20) == 0) return true;
  return std::getenv("BENCHMARK_MIN_TIME") != nullptr;
}

// The report's format: --benchmark_format, else BENCHMARK_FORMAT, else "console".
inline const char* reportFormat(int argc, char** argv) {
  const char* format = std::getenv("BENCHMARK_FORMAT");
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_format=", 19) == 0) format = argv[i] + 19;
  return format == nullptr ? "console" : format;
}

// Forwards everything to the reporter the flags chose and keeps each run's times for the ratios.
class PairReporter : public benchmark::BenchmarkReporter {
 public:
  explicit PairReporter(benchmark::BenchmarkReporter* shown) : shown_(shown) {}

  bool ReportContext(const Context& context) override { return shown_->ReportContext(context); }

  void ReportRuns(const std::vector<Run>& runs) override {
    // With --benchmark_repetitions the median, which comes after the single runs, wins.
    for (const Run& r : runs) {
      if (r.error_occurred || !(r.run_type == Run::RT_Iteration || r.aggregate_name == "median")) continue;
      const std::string& fn = r.run_name.function_name;
      const auto slash = fn.rfind('/');
      if (slash == std::string::npos) continue;
      // Arguments and thread counts tell cases apart; the pacing and the clock do not.
      benchmark::BenchmarkName rest = r.run_name;
      rest.function_name.clear();
      rest.min_time.clear();
      rest.min_warmup_time.clear();
      rest.iterations.clear();
      rest.repetitions.clear();
      rest.time_type.clear();
      times_[{fn.substr(0, slash), rest.str()}][fn.substr(slash + 1)] = {r.GetAdjustedRealTime(),
                                                                         r.GetAdjustedCPUTime()};
    }
    shown_->ReportRuns(runs);
  }

  void Finalize() override { shown_->Finalize(); }

  // Wall time is the figure for work spread over threads, whose CPU time the benchmark thread
  // does not see; CPU time is steadier for single-threaded kernels on a busy machine.
  void printRatios(std::FILE* out) const {
    bool header = false;
    for (const auto& [what, cases] : times_) {
      const auto ours = cases.find("vesk");
      if (ours == cases.end()) continue;
      for (const auto& [name, t] : cases) {
        if (name == "vesk") continue;
        if (!header) {
          std::fprintf(out, "\nspeed-up of vesk over each baseline (baseline time / vesk time):\n");
          header = true;
        }
        const std::string label = what.first + (what.second.empty() ? "" : "/" + what.second);
        std::fprintf(out, "  %-36s vs %-10s %7.2fx wall %7.2fx cpu\n", label.c_str(), name.c_str(),
                     t.real / ours->second.real, t.cpu / ours->second.cpu);
      }
    }
  }

 private:
  struct Times {
    double real, cpu;
  };
  benchmark::BenchmarkReporter* shown_;
  // (function name before "/vesk", the rest of the name) -> case -> times
  std::map<std::pair<std::string, std::string>, std::map<std::string, Times>> times_;
};

}  // namespace detail

// Default pacing for a benchmark whose one iteration is long or noisy, applied only when neither
// the command line nor the environment sets --benchmark_min_time (an explicit count or time on the
// benchmark itself would override the flag):
//   BENCHMARK(BM_x)->Apply(vesk::bench::iterationsByDefault<3>);
template <int N>
void iterationsByDefault(benchmark::internal::Benchmark* b) {
  detail::paces().push_back({b, N, 0.0});
}
template <int Seconds>
void minTimeByDefault(benchmark::internal::Benchmark* b) {
  detail::paces().push_back({b, 0, static_cast<double>(Seconds)});
}

// Runs the registered benchmarks under Google Benchmark's flags; returns the exit status.
inline int run(int argc, char** argv) {
  const bool minTime = detail::minTimeGiven(argc, argv);
  const char* format = detail::reportFormat(argc, argv);
  const bool forPeople = std::strcmp(format, "console") == 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!minTime) {
    for (const detail::Pace& p : detail::paces()) {
      if (p.iterations > 0)
        p.benchmark->Iterations(p.iterations);
      else
        p.benchmark->MinTime(p.minSeconds);
    }
  }
  detail::PairReporter reporter(benchmark::CreateDefaultDisplayReporter());
  const size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
  // Google Benchmark writes no report at all when the filter matches nothing; a tool reading JSON
  // still gets one, empty.
  if (ran == 0 && std::strcmp(format, "json") == 0) std::printf("{\n  \"context\": {},\n  \"benchmarks\": []\n}\n");
  std::fflush(stdout);
  // A machine-readable run keeps both streams free of prose, so a tool that merges them still parses.
  if (forPeople) reporter.printRatios(stderr);
  benchmark::Shutdown();
  return 0;
}

}  // namespace vesk::bench
