#include "cli/Interrupts.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#endif

namespace korvane::cli {

namespace {

// The handlers only count; the commands (and their worker threads) look at the count.
std::atomic<int> gInterrupted{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs a lock-free count");

void Count(int presses) {
  if (gInterrupted.load() < 100) {
    gInterrupted.fetch_add(presses);
  }
}

#ifdef _WIN32

// Runs on a thread of its own that Windows starts for the event. The C runtime's signal()
// is not used: it forgets its handler after the first Ctrl+C, and the second would kill.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Count(1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Windows ends the process as soon as this returns (or its few seconds are up): the run
      // stops after the packet in flight, and this thread waits while the command ends.
      Count(2);
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

#else

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction gPrevious[3];

extern "C" void OnSignal(int) {
  Count(1);
}

#endif

}  // namespace

InterruptGuard::InterruptGuard() {
  gInterrupted.store(0);
#ifdef _WIN32
  // A process started in a new process group ignores Ctrl+C until it asks for it.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int i = 0; i < 3; ++i) {
    sigaction(kSignals[i], &action, &gPrevious[i]);
  }
#endif
}

InterruptGuard::~InterruptGuard() {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
#else
  for (int i = 0; i < 3; ++i) {
    sigaction(kSignals[i], &gPrevious[i], nullptr);
  }
#endif
}

int Interruptions() {
  return gInterrupted.load();
}

}  // namespace korvane::cli
