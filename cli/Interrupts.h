#pragma once

// How a user (or the system) asks korvane-cli to stop: Ctrl+C, and the other ways a run is
// ended from outside: SIGTERM (timeout, systemctl stop) and SIGHUP (a closed SSH session) on
// POSIX systems; Ctrl+Break and closing the console (log-off and shut-down too) on Windows.
// Each is counted, never fatal: a run stops after the packet in flight, the board is recorded
// as not successful, and the command ends as it always does.
namespace korvane::cli {

// Counts stop requests while it lives (the count starts at 0) and puts the previous handling
// back when it ends.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// Stop requests counted so far: Ctrl+C, SIGTERM, SIGHUP and Ctrl+Break count one each;
// closing the console counts two (the board in progress stops too, for Windows gives the
// process only a few seconds).
int Interruptions();
inline bool Interrupted() {
  return Interruptions() != 0;
}

}  // namespace korvane::cli
