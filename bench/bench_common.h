#pragma once
// What every benchmark shares: the clock, the statistics, child processes,
// the common options, the interleaved run and the report line. The method
// behind them is explained in pipe_bench.cpp: absolute times mean little on
// a shared two-CPU machine, so each benchmark measures a baseline in the same
// run, switches between it and the subject in short blocks so that slow
// phases of the machine hit both alike, and reports ratios.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Exit codes of every benchmark. Without --strict a missed target still
// exits with 0: the report says MISSED.
constexpr int kExitFailed = 1;        // bad usage, or the run could not be made
constexpr int kExitTargetMissed = 3;  // --strict and a target was missed

// ---------------------------------------------------------------- clock

// Performance-counter ticks.
// The tunnel configuration the benchmarks connect with. Documentation
// addresses and made-up keys: the stand-in tool only copies the text.
extern const char kBenchConfiguration[];

long long TickNow();
double TicksToMicroseconds(long long ticks);
double TicksToNanoseconds(long long ticks);
std::vector<double> TicksToMicroseconds(const std::vector<long long>& ticks);

// ---------------------------------------------------------------- statistics

// Nearest rank: the smallest value at or above `fraction` of the samples.
double Percentile(std::vector<double> values, double fraction);
double Median(const std::vector<double>& values);
double Mean(const std::vector<double>& values);
double Max(const std::vector<double>& values);
// Part `part` of `parts` equal stretches of the samples, in order.
std::vector<double> Slice(const std::vector<double>& values, size_t part, size_t parts);

// ---------------------------------------------------------------- processes

// A child that is ended on every way out of the benchmark, so that no
// server survives it and holds a pipe name in the prefix.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // CREATE_NEW_PROCESS_GROUP in `flags` lets StopChild reach it alone.
  bool Start(const std::wstring& exe, const std::wstring& arguments, DWORD flags);
  HANDLE Process() const { return info_.hProcess; }
  DWORD Id() const { return info_.dwProcessId; }
  bool Running() const;
  // True when it has exited within `ms`.
  bool WaitForExit(DWORD ms) const;
  DWORD ExitCode() const;

 private:
  PROCESS_INFORMATION info_{};
};

// How long a child gets to exit once asked.
constexpr DWORD kChildExitWaitMs = 5000;

// Ends a child started in its own process group the way a user would, with
// Ctrl+Break, so that its clean-up runs; TerminateProcess only as the
// fallback. Returns how it went, as one line of text. (Under Wine 8 the
// event never arrives: the call fails with error 12 without a console and
// error 6 with one.)
std::string StopChild(Child& child);

// Whether some process serves the pipe `name`. A benchmark that starts the
// helper on its fixed name refuses to run then: it would measure that other
// server, and its own helper could not serve.
bool PipeIsServed(const wchar_t* name);

// Whether the DLL `fileName` this process loaded is the file of that name
// beside the executable. The path alone does not tell: Wine names its own
// built-in DLL after the file it found beside the program even when it loads
// the built-in instead. So the loaded image's headers must also match the
// file's. Benchmarks that run the helper's code in-process call it before they
// let that code reach a stand-in (the IP Helper's routes, WinDivert), so that
// they never act on a real system.
bool LoadedFromBeside(const wchar_t* fileName);
// The same, saying on standard error what is wrong when it is not so.
bool RequireStandinBeside(const wchar_t* fileName);

// For a benchmark that runs the helper's routing in-process: the IP Helper
// stand-in's routes and journal beside the program emptied, and the
// helper's own files (its log and route journal) in a fresh data directory
// `name` beside it, the journal taken over. False (said on standard error)
// when that directory cannot be used.
bool StartWithEmptyRouteFiles(const wchar_t* name);

// ---------------------------------------------------------------- options

struct CommonOptions {
  // The baseline in the subject's place as well: any ratio far from 1 is
  // noise of the method.
  bool selfCheck = false;
  bool verbose = false;
  bool strict = false;  // kExitTargetMissed when a target is missed
};

struct NumberOption {
  const wchar_t* name;
  unsigned* value;
  unsigned least;
  unsigned most;
};

struct TextOption {
  const wchar_t* name;
  std::wstring* value;
};

// --self-check, --verbose and --strict, and the benchmark's own options.
// False on anything not understood or out of range.
bool ParseOptions(int argc, wchar_t** argv, CommonOptions& common,
                  const std::vector<NumberOption>& numbers, const std::vector<TextOption>& texts);

// "1,100,5000" into its numbers, each from 1 to `most`; false on anything
// else (an empty item, a sign, trailing text).
bool ParseSizeList(const std::wstring& text, unsigned most, std::vector<unsigned>& sizes);

// ---------------------------------------------------------------- run

// Runs `total` units of work on each side in blocks of `block`, one block of
// every side per turn, the side going first moving on by one each turn, so
// that no side gains from its position. Stops at the first side that returns
// false.
using BlockRunner = std::function<bool(unsigned)>;
bool RunInterleaved(unsigned total, unsigned block, const std::vector<BlockRunner>& sides);
// The same for two sides: they alternate which goes first.
bool RunInterleaved(unsigned total, unsigned block, const BlockRunner& subject,
                    const BlockRunner& baseline);

// ---------------------------------------------------------------- report

struct Comparison {
  const char* what;  // what was measured, e.g. "ping round trip"
  const char* unit;  // of the samples, e.g. "us"
  const char* subject;
  const std::vector<double>* subjectSamples;
  const char* baseline;
  const std::vector<double>* baselineSamples;
  double target;    // the ratio of medians may not exceed it; 0: reported, not judged
  bool judgeP95;    // nor, when set, the ratio of the 95th percentiles
  double goal = 0;  // a further ratio to aim for, reported only; 0 for none
  // The ratios are the median and 95th percentile of the ratios of samples
  // taken in the same turn (subject[i] / baseline[i]) rather than ratios of
  // the sides' medians and percentiles. Where the machine switches between
  // phases of very different speed, the median of all of a side's samples
  // falls in one phase or the other depending on a few samples, and ratios of
  // such medians jump; samples of one turn share their phase.
  bool paired = false;
};

// Prints the report line every benchmark ends with, one per comparison:
//   <what>: <subject> median M <unit> p95 P <unit>; <baseline> median M <unit>
//   p95 P <unit>; ratio median R p95 R (target <= T: met|MISSED[; goal <= G:
//   met|not met])
// ("paired ratio" instead of "ratio" for paired comparisons).
// With judgeP95 unset the target reads "target median <= T"; without a target
// the parenthesis reads "(not judged)". Returns whether the target was met
// (true without one).
bool PrintComparison(const Comparison& comparison);

// Prints how the ratio of medians varies over `segments` equal stretches of
// the run (each stretch also printed with `verbose`):
//   ratio over N stretches of the run: median R, range A .. B
void PrintStretches(const Comparison& comparison, size_t segments, bool verbose);
