#include "bench_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "routing/route_journal.h"
#include "service_harness.h"
#include "support/data_directory.h"
#include "support/paths.h"

const char kBenchConfiguration[] =
    "[Interface]\n"
    "PrivateKey = YE9xwmDD0R4BO+dGuV+bM3Kq9hP+GRfXxvsfHM7VzW4=\n"
    "Address = 10.66.0.2/32\n"
    "DNS = 192.0.2.53\n"
    "\n"
    "[Peer]\n"
    "PublicKey = m7pKsbD0B6q7H2t1q2WvXjVvD4a1SdOUnhEp3vLwaG0=\n"
    "Endpoint = 192.0.2.10:51820\n"
    "AllowedIPs = 0.0.0.0/0\n";

// ---------------------------------------------------------------- clock

namespace {

// Fixed at boot, so read once.
double TicksPerSecond() {
  static const double perSecond = [] {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
  }();
  return perSecond;
}

}  // namespace

long long TickNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double TicksToMicroseconds(long long ticks) {
  return static_cast<double>(ticks) * 1e6 / TicksPerSecond();
}

double TicksToNanoseconds(long long ticks) {
  return static_cast<double>(ticks) * 1e9 / TicksPerSecond();
}

std::vector<double> TicksToMicroseconds(const std::vector<long long>& ticks) {
  std::vector<double> result;
  result.reserve(ticks.size());
  for (long long t : ticks) result.push_back(TicksToMicroseconds(t));
  return result;
}

// ---------------------------------------------------------------- statistics

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t rank = static_cast<size_t>(fraction * static_cast<double>(values.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, values.size());
  return values[rank - 1];
}

double Median(const std::vector<double>& values) { return Percentile(values, 0.5); }

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) sum += v;
  return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::vector<double> Slice(const std::vector<double>& values, size_t part, size_t parts) {
  const size_t begin = values.size() * part / parts;
  const size_t end = values.size() * (part + 1) / parts;
  return std::vector<double>(values.begin() + begin, values.begin() + end);
}

// ---------------------------------------------------------------- processes

Child::~Child() {
  if (!info_.hProcess) return;
  if (Running()) {
    TerminateProcess(info_.hProcess, 1);
    WaitForSingleObject(info_.hProcess, kChildExitWaitMs);
  }
  CloseHandle(info_.hProcess);
  CloseHandle(info_.hThread);
}

bool Child::Start(const std::wstring& exe, const std::wstring& arguments, DWORD flags) {
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  return CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                        nullptr, &startup, &info_) != FALSE;
}

bool Child::Running() const { return WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

bool Child::WaitForExit(DWORD ms) const {
  return WaitForSingleObject(info_.hProcess, ms) == WAIT_OBJECT_0;
}

DWORD Child::ExitCode() const {
  DWORD code = 0;
  GetExitCodeProcess(info_.hProcess, &code);
  return code;
}

std::string StopChild(Child& child) {
  const bool sent = GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, child.Id()) != FALSE;
  const DWORD sendError = sent ? 0 : GetLastError();
  if (sent && child.WaitForExit(kChildExitWaitMs)) {
    return "Ctrl+Break ended it, exit code " + std::to_string(child.ExitCode());
  }
  std::string how =
      sent ? "Ctrl+Break sent but it was still running after " + std::to_string(kChildExitWaitMs) +
                 " ms; "
           : "Ctrl+Break could not be sent (error " + std::to_string(sendError) + "); ";
  TerminateProcess(child.Process(), 1);
  child.WaitForExit(kChildExitWaitMs);
  return how + "used TerminateProcess";
}

bool PipeIsServed(const wchar_t* name) {
  return WaitNamedPipeW(name, 1) || GetLastError() != ERROR_FILE_NOT_FOUND;
}

namespace {

// The NT headers inside the first `size` bytes of an image, or null.
const IMAGE_NT_HEADERS64* NtHeaders(const char* base, size_t size) {
  if (size < sizeof(IMAGE_DOS_HEADER)) return nullptr;
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, base, sizeof(dos));
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS64) > size) {
    return nullptr;
  }
  return reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos.e_lfanew);
}

}  // namespace

bool RequireStandinBeside(const wchar_t* fileName) {
  if (LoadedFromBeside(fileName)) return true;
  std::fprintf(stderr,
               "the %ls loaded is not the test bed's stand-in beside this program, so the helper's "
               "code would reach the real system; run it through scripts/bench.sh "
               "(WINEDLLOVERRIDES with iphlpapi=n,b)\n",
               fileName);
  return false;
}

bool LoadedFromBeside(const wchar_t* fileName) {
  const HMODULE module = GetModuleHandleW(fileName);
  if (!module) return false;
  const std::wstring path = ModulePath(module);
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring directory = ModuleDirectory();
  if (slash == std::wstring::npos ||
      CompareStringOrdinal(path.c_str(), static_cast<int>(slash), directory.c_str(),
                           static_cast<int>(directory.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }

  char header[4096];
  DWORD got = 0;
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool read = ReadFile(file, header, sizeof(header), &got, nullptr) != FALSE;
  CloseHandle(file);
  if (!read) return false;
  const IMAGE_NT_HEADERS64* onDisk = NtHeaders(header, got);
  const IMAGE_NT_HEADERS64* inMemory =
      NtHeaders(reinterpret_cast<const char*>(module), sizeof(header));
  return onDisk && inMemory && onDisk->Signature == IMAGE_NT_SIGNATURE &&
         onDisk->FileHeader.TimeDateStamp == inMemory->FileHeader.TimeDateStamp &&
         onDisk->OptionalHeader.SizeOfImage == inMemory->OptionalHeader.SizeOfImage &&
         onDisk->OptionalHeader.SizeOfCode == inMemory->OptionalHeader.SizeOfCode &&
         onDisk->OptionalHeader.AddressOfEntryPoint == inMemory->OptionalHeader.AddressOfEntryPoint;
}

// ---------------------------------------------------------------- options

bool ParseOptions(int argc, wchar_t** argv, CommonOptions& common,
                  const std::vector<NumberOption>& numbers, const std::vector<TextOption>& texts) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto number = std::find_if(numbers.begin(), numbers.end(),
                                     [&arg](const NumberOption& o) { return arg == o.name; });
    const auto text = std::find_if(texts.begin(), texts.end(),
                                   [&arg](const TextOption& o) { return arg == o.name; });
    if (number != numbers.end() && hasValue) {
      wchar_t* end = nullptr;
      const unsigned long long value = std::wcstoull(argv[++i], &end, 10);
      if (end == argv[i] || *end != L'\0' || argv[i][0] == L'-' || value < number->least ||
          value > number->most) {
        return false;
      }
      *number->value = static_cast<unsigned>(value);
    } else if (text != texts.end() && hasValue) {
      *text->value = argv[++i];
    } else if (arg == L"--self-check") {
      common.selfCheck = true;
    } else if (arg == L"--verbose") {
      common.verbose = true;
    } else if (arg == L"--strict") {
      common.strict = true;
    } else {
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- run

bool RunInterleaved(unsigned total, unsigned block, const std::vector<BlockRunner>& sides) {
  const size_t n = sides.size();
  for (unsigned done = 0, turn = 0; done < total; done += block, ++turn) {
    const unsigned count = std::min(block, total - done);
    for (size_t i = 0; i < n; ++i) {
      if (!sides[(turn + i) % n](count)) return false;
    }
  }
  return true;
}

bool RunInterleaved(unsigned total, unsigned block, const BlockRunner& subject,
                    const BlockRunner& baseline) {
  return RunInterleaved(total, block, std::vector<BlockRunner>{subject, baseline});
}

// ---------------------------------------------------------------- report

bool PrintComparison(const Comparison& c) {
  const double subjectMedian = Median(*c.subjectSamples);
  const double subjectP95 = Percentile(*c.subjectSamples, 0.95);
  const double baselineMedian = Median(*c.baselineSamples);
  const double baselineP95 = Percentile(*c.baselineSamples, 0.95);
  double ratioMedian = subjectMedian / baselineMedian;
  double ratioP95 = subjectP95 / baselineP95;
  if (c.paired) {
    std::vector<double> ratios;
    for (size_t i = 0; i < c.subjectSamples->size() && i < c.baselineSamples->size(); ++i) {
      ratios.push_back((*c.subjectSamples)[i] / (*c.baselineSamples)[i]);
    }
    ratioMedian = Median(ratios);
    ratioP95 = Percentile(ratios, 0.95);
  }
  const bool judged = c.target > 0;
  const bool met = !judged || (ratioMedian <= c.target && (!c.judgeP95 || ratioP95 <= c.target));
  std::printf(
      "%s: %s median %.1f %s p95 %.1f %s; %s median %.1f %s p95 %.1f %s; %sratio median %.2f "
      "p95 %.2f",
      c.what, c.subject, subjectMedian, c.unit, subjectP95, c.unit, c.baseline, baselineMedian,
      c.unit, baselineP95, c.unit, c.paired ? "paired " : "", ratioMedian, ratioP95);
  if (!judged) {
    std::printf(" (not judged)\n");
    return true;
  }
  std::printf(" (target %s<= %.1f: %s", c.judgeP95 ? "" : "median ", c.target,
              met ? "met" : "MISSED");
  if (c.goal > 0) {
    std::printf("; goal <= %.1f: %s", c.goal, ratioMedian <= c.goal ? "met" : "not met");
  }
  std::printf(")\n");
  return met;
}

void PrintStretches(const Comparison& c, size_t segments, bool verbose) {
  std::vector<double> ratios;
  for (size_t i = 0; i < segments; ++i) {
    const double subjectPart = Median(Slice(*c.subjectSamples, i, segments));
    const double baselinePart = Median(Slice(*c.baselineSamples, i, segments));
    ratios.push_back(subjectPart / baselinePart);
    if (verbose) {
      std::printf("segment %zu: %s median %.1f %s, %s median %.1f %s, ratio %.2f\n", i, c.subject,
                  subjectPart, c.unit, c.baseline, baselinePart, c.unit, ratios.back());
    }
  }
  std::printf("ratio over %zu stretches of the run: median %.2f, range %.2f .. %.2f\n", segments,
              Median(ratios), *std::min_element(ratios.begin(), ratios.end()), Max(ratios));
}

bool ParseSizeList(const std::wstring& text, unsigned most, std::vector<unsigned>& sizes) {
  sizes.clear();
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t comma = text.find(L',', begin);
    if (comma == std::wstring::npos) comma = text.size();
    const std::wstring item = text.substr(begin, comma - begin);
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(item.c_str(), &end, 10);
    if (item.empty() || item[0] < L'0' || item[0] > L'9' || *end != L'\0' || value < 1 ||
        value > most) {
      return false;
    }
    sizes.push_back(static_cast<unsigned>(value));
    begin = comma + 1;
  }
  return !sizes.empty();
}

bool StartWithEmptyRouteFiles(const wchar_t* name) {
  for (const wchar_t* file : {L"iphlpapi-routes.txt", L"iphlpapi-journal.txt"}) {
    DeleteFileW(BesideTests(file).c_str());
  }
  const std::wstring data = ModuleDirectory() + L"\\" + name;
  RemoveTree(data);
  CreateDirectoryW(data.c_str(), nullptr);
  SetEnvironmentVariableW(L"ProgramData", data.c_str());
  if (!EnsureTrustedDataDirectory() || !TakeOverRouteJournal()) {
    std::fprintf(stderr, "the benchmark's data directory %ls cannot be used\n", data.c_str());
    return false;
  }
  return true;
}
