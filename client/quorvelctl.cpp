// quorvelctl: sends one command to the Quorvel helper and prints its reply.
//
//   quorvelctl ping | status | state | disconnect
//   quorvelctl explain ADDRESS [IMAGE]   which way traffic to ADDRESS goes
//   quorvelctl bypassnets "10.0.0.0/8;192.168.1.0/24"
//   quorvelctl splitapps "firefox.exe;steam.exe"
//   quorvelctl connect FILE      sends FILE's bytes as Base64
//   quorvelctl --raw LINE        sends LINE exactly, then a line feed
//   quorvelctl --wait-ms N ...   waits at most N ms (default 120000) for a
//                                helper that is busy with another client
//   quorvelctl --console-helper ...  talks to a helper started with
//                                --console instead of the service
//
// Before it sends anything, the client makes sure the pipe is served by the
// QuorvelHelper service's own process: any local program could have created
// the name first, and a connect request carries the tunnel's private key.
//
// Exit codes: 0 for OK, RUNNING, STOPPED or a JSON answer ("state",
// "explain"); 1 for a reply beginning "ERR ";
// 2 when the helper's pipe does not exist (the helper is not running); 3 when
// the helper stayed busy, the request failed midway or the reply is none of
// these; 4 when another process serves the pipe (nothing was sent).
#include <windows.h>

#include <cstdio>
#include <string>

#include "client_io.h"
#include "support/handles.h"
#include "support/text.h"

namespace {

constexpr DWORD kDefaultBusyWaitMs = 120000;  // a connect may keep the helper busy for minutes

void PrintLine(FILE* stream, const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

bool ReadWholeFile(const wchar_t* path, std::string& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != FALSE) && got > 0) {
    bytes.append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

int Usage() {
  PrintLine(stderr,
            "usage: quorvelctl [OPTIONS] ping | status | state | disconnect\n"
            "       quorvelctl [OPTIONS] explain ADDRESS [IMAGE]\n"
            "       quorvelctl [OPTIONS] bypassnets LIST | splitapps LIST\n"
            "       quorvelctl [OPTIONS] connect CONFIG-FILE\n"
            "       quorvelctl [OPTIONS] --raw LINE\n"
            "options: --wait-ms N, --console-helper");
  return 3;
}

// Only the process of the QuorvelHelper service may serve the pipe. Asked
// with the least rights, so an ordinary user can ask. A stopped service, or
// one the manager does not know, has no process: nothing matches it.
bool IsHelperServiceProcess(ULONG processId) {
  UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service) return false;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof(status), &needed)) {
    return false;
  }
  return status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId != 0 &&
         status.dwProcessId == processId;
}

bool ParseMilliseconds(const wchar_t* text, DWORD& value) {
  if (!*text) return false;
  unsigned long long parsed = 0;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c < L'0' || *c > L'9') return false;
    parsed = parsed * 10 + static_cast<unsigned>(*c - L'0');
    if (parsed > MAXDWORD - 1) return false;  // INFINITE is not a wait anyone means
  }
  value = static_cast<DWORD>(parsed);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD busyWaitMs = kDefaultBusyWaitMs;
  ServerCheck check = IsHelperServiceProcess;
  for (;;) {
    if (argc >= 3 && std::wstring(argv[1]) == L"--wait-ms") {
      if (!ParseMilliseconds(argv[2], busyWaitMs)) return Usage();
      argc -= 2;
      argv += 2;
    } else if (argc >= 2 && std::wstring(argv[1]) == L"--console-helper") {
      // A console helper is an ordinary process, not the service: the
      // caller vouches for whoever serves the pipe.
      check = nullptr;
      --argc;
      ++argv;
    } else {
      break;
    }
  }
  if (argc < 2) return Usage();
  const std::wstring first = argv[1];
  std::string request;
  if (first == L"--raw") {
    if (argc != 3) return Usage();
    request = WideToUtf8(argv[2]);
  } else if (first == L"connect") {
    if (argc != 3) return Usage();
    std::string configuration;
    if (!ReadWholeFile(argv[2], configuration)) {
      PrintLine(stderr, "quorvelctl: cannot read " + WideToUtf8(argv[2]));
      return 3;
    }
    request = "connect " + ToBase64(configuration);
  } else {
    request = WideToUtf8(first);
    for (int i = 2; i < argc; ++i) request += " " + WideToUtf8(argv[i]);
  }
  request += '\n';

  const RequestResult result = SendRequestBytes(request, busyWaitMs, check);
  if (result.outcome == RequestOutcome::WrongServer) {
    PrintLine(stderr, "quorvelctl: \\\\.\\pipe\\QuorvelHelper is served by process " +
                          std::to_string(result.serverProcessId) +
                          ", not by the QuorvelHelper service");
    return 4;
  }
  if (result.outcome == RequestOutcome::Busy) {
    PrintLine(stderr, "quorvelctl: the helper is busy with another client (still after " +
                          std::to_string(busyWaitMs) + " ms); try again later");
    return 3;
  }
  if (result.outcome == RequestOutcome::Unreachable) {
    PrintLine(stderr,
              "quorvelctl: the helper is not running (no pipe \\\\.\\pipe\\QuorvelHelper, "
              "error " +
                  std::to_string(result.error) + ")");
    return 2;
  }
  if (result.outcome == RequestOutcome::Failed) {
    PrintLine(stderr, "quorvelctl: the request failed, error " + std::to_string(result.error));
    return 3;
  }
  std::string reply = result.reply;
  if (!reply.empty() && reply.back() == '\n') reply.pop_back();
  PrintLine(stdout, reply);
  // "state" and "explain" answer in JSON.
  if (reply == "OK" || reply == "RUNNING" || reply == "STOPPED" || reply.rfind("{", 0) == 0) {
    return 0;
  }
  if (reply.rfind("ERR ", 0) == 0) return 1;
  return 3;
}
