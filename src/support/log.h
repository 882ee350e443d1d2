#pragma once
// The helper's only diagnostic output: helper.log in the data directory, one
// "YYYY-MM-DD hh:mm:ss  text" line per call, UTF-8 without BOM, CR LF.
// Safe from any thread; a line that cannot be written is dropped silently.
#include <string>

void LogLine(const std::wstring& text);
