#pragma once
// Plumbing of the IP Helper stand-in (test-bed only): where its files are, how
// they are read, replaced and appended to, the lock that serialises every
// process using it, and the words and addresses its files are made of.
#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"

namespace standin {

// Holds the cross-process mutex of the stand-in for one call.
class StandinLock {
 public:
  StandinLock();
  ~StandinLock();
  StandinLock(const StandinLock&) = delete;
  StandinLock& operator=(const StandinLock&) = delete;
  // NO_ERROR while held, else why it could not be taken.
  DWORD error() const { return error_; }
  void Release();

 private:
  UniqueHandle mutex_;
  bool held_ = false;
  DWORD error_ = NO_ERROR;
};

// The directory of the stand-in DLL (not of the executable), with a trailing
// separator; empty when it cannot be found.
std::wstring StandinDirectory();

// NO_ERROR with the contents, NO_ERROR with *missing set, or the error.
DWORD ReadWholeFile(const std::wstring& path, std::string* text, bool* missing);

// Writes text to tempPath and moves it over path.
DWORD ReplaceWholeFile(const std::wstring& path, const std::wstring& tempPath,
                       const std::string& text);

// Appends text in one write; a failure has nowhere to be reported.
void AppendToFile(const std::wstring& path, const std::string& text);

struct Line {
  int number;  // 1-based, counting blank and comment lines
  std::vector<std::string> words;
};

// The words of every line that holds any once '#' comments are cut off.
std::vector<Line> SplitLines(const std::string& text);

// Decimal, or also 0x-hex when hexAllowed; 32 bits at most.
bool ParseUnsigned(const std::string& word, DWORD* value, bool hexAllowed);

// Dotted IPv4 to the network-byte-order value a socket address holds.
bool ParseIPv4(const std::string& word, DWORD* address);

// "a.b.c.d/len" with len 0 to 32.
bool ParsePrefix(const std::string& word, DWORD* address, UINT8* length);

std::string FormatIPv4(DWORD address);

}  // namespace standin
