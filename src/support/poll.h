#pragma once
// Waiting on outside state by polling: the service control manager offers no
// wait for "a service runs" or "a service has gone".
#include <windows.h>

// Asks done() until it holds, sleeping stepMs between asks, for at most
// limitMs of sleeping in all; returns done()'s last answer. Only the sleeps
// count, not the time the asks take. A limit of 0 or less asks once.
template <typename Done>
bool PollUntil(Done done, int limitMs, DWORD stepMs) {
  for (int slept = 0;; slept += static_cast<int>(stepMs)) {
    if (done()) return true;
    if (slept >= limitMs) return false;
    Sleep(stepMs);
  }
}
