#pragma once
// Plumbing of the IP Helper stand-in (test-bed only): where its files are, how
// they are read, replaced and appended to, the lock that serialises every
// process using it, and the words and addresses its files are made of.
#include <winsock2.h>

#include <windows.h>

#include <string>
#include <vector>

#include "support/handles.h"

namespace standin {

// Holds the stand-in's cross-process lock for one call (taken again by the
// same thread, it nests; a holder that died is taken over).
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
  bool held_ = false;
  DWORD error_ = NO_ERROR;
};

// The routes file's generation, which every process of the stand-in shares
// and bumps when it writes the file; null when it cannot be had.
volatile LONG64* SharedRoutesGeneration();

// The directory of the stand-in DLL (not of the executable), with a trailing
// separator; empty when it cannot be found.
std::wstring StandinDirectory();

// NO_ERROR with the contents, NO_ERROR with *missing set, or the error.
DWORD ReadWholeFile(const std::wstring& path, std::string* text, bool* missing);

// What a file looked like: its size and last-write time, or that it is missing.
struct FileStamp {
  bool exists = false;
  UINT64 size = 0;
  UINT64 lastWrite = 0;
};

// A metadata query, much cheaper under Wine than opening the file; a missing
// file gives NO_ERROR with exists false.
DWORD StampOfFile(const std::wstring& path, FileStamp* stamp);
bool SameFileStamp(const FileStamp& a, const FileStamp& b);

// A file's text, read again only when the file may have changed since the
// last look. A stamp alone cannot tell: a test may rewrite a file twice within
// one tick of the file system's clock with the same size. So a stamp is only
// trusted once the file's last write lies well before the moment it was last
// read (as git treats "racily clean" index entries); a file written lately is
// read again and its text compared.
class FileSnapshot {
 public:
  // NO_ERROR with *changed telling whether the text (or its absence) differs
  // from the previous Refresh; on an error the snapshot is left as it was.
  DWORD Refresh(const std::wstring& path, bool* changed);
  const std::string& text() const { return text_; }

 private:
  bool valid_ = false;
  bool missing_ = false;
  FileStamp stamp_;
  UINT64 readAt_ = 0;
  std::string text_;
};

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

std::string FormatIPv4(DWORD address);

// An IPv4 or IPv6 address as the stand-in's files and records hold it.
struct IpAddress {
  ADDRESS_FAMILY family = AF_INET;
  unsigned char bytes[16] = {};  // network byte order; IPv4 in the first four

  size_t Size() const { return family == AF_INET6 ? 16 : 4; }
  UINT8 MaxPrefixLength() const { return family == AF_INET6 ? 128 : 32; }
};

bool SameAddress(const IpAddress& a, const IpAddress& b);

// Dotted IPv4, else IPv6 text (inet_pton; "::ffff:1.2.3.4" stays IPv6).
bool ParseAddress(const std::string& word, IpAddress* address);

// "<address>/<len>", len at most 32 for IPv4 and 128 for IPv6.
bool ParseAddressPrefix(const std::string& word, IpAddress* address, UINT8* length);

// Dotted IPv4, or IPv6 text as inet_ntop writes it.
std::string FormatAddress(const IpAddress& address);

// Whether the first `length` bits of `address` are those of `prefix` (both
// of one family).
bool PrefixCovers(const IpAddress& prefix, UINT8 length, const IpAddress& address);

}  // namespace standin
