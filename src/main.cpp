#include "service/entry.h"

int wmain(int argc, wchar_t** argv) { return RunHelper(argc, argv); }
