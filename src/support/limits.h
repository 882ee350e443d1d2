#pragma once
// Every time limit of the helper, and the cap on its split host routes,
// named once. These are the product's
// values. Only code of the test build changes them: tests that run the
// helper's code in their own process set them directly, and the helper the
// test rigs run (testbed/limited_helper.cpp) reads them from its environment
// before it starts. The shipped executable's main does neither, so no user
// and no configuration can change them; a test that only needs a limit to
// pass then need not sit through it.
#include <windows.h>

struct HelperLimitValues {
  DWORD ToolWaitMs = 30000;             // one run of the tunnel tool
  int LeftoverRemovalMs = 12000;        // a tunnel left from before, going away
  int AfterFailedInstallMs = 4000;      // what a failed install left, going away
  DWORD BetweenInstallsMs = 500;        // pause after a failed install
  int ComeUpMs = 15000;                 // the installed tunnel service, coming up
  DWORD ComeUpStepMs = 500;             //   polled this often
  int AfterRollbackMs = 8000;           // a tunnel that did not come up, going away
  int DisconnectMs = 8000;              // the tunnel service, stopping
  DWORD DisconnectStepMs = 400;         //   polled this often
  DWORD RequestTimeoutMs = 10000;       // a client, delivering its request line
  DWORD ReplyTimeoutMs = 10000;         // a client, making room for its reply
  size_t PipeClientsAtMost = 48;        // control pipe clients connected at once
  size_t PipeClientsPerProcess = 8;     //   of them from one process id
  size_t PipeHeldBytes = 8u << 20;      //   bytes of their requests held at once
  DWORD ServiceDeletionWaitMs = 10000;  // --install, an old registration going away
  DWORD NetworkQuietMs = 200;           // the network watcher acts this long after the last change
  DWORD NetworkLongestMs = 2000;        //   and never later than this after the first
  DWORD SplitIdleMs = 300000;           // a split host route nobody holds open, kept
  size_t SplitRouteCap = 4096;          // split host routes at most
  DWORD DomainRouteMinMs = 300000;      // a domain route, kept at least this long after its answer
  DWORD DomainRouteMaxMs = 86400000;    //   and at most this long, whatever its TTL (a day)
  size_t DomainRouteCap = 4096;         // domain routes at most
  DWORD LogRotateBytes = 8u << 20;      // helper.log, before it becomes helper.log.1
};

extern HelperLimitValues HelperLimits;
