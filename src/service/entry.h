#pragma once
// Chooses the run mode from the first argument and returns the exit code:
//   --install    register (or update) and start the service
//   --uninstall  stop and remove it
//   --console    serve the pipe in the foreground until Ctrl+C or close
//   anything else, or nothing: service mode under the service dispatcher
// Comparisons are exact: no case folding, trimming or prefixes.
int RunHelper(int argc, wchar_t** argv);

int RunConsoleMode();
