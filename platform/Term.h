// Terminals: is a stream one, job control and resizing. Called by client/
// and the tests that drive the programs. Failures as platform/Net.h says.
#pragma once

#include <cstddef>

#include "platform/Io.h"

namespace saferoom {

// True when `fd` is a terminal.
bool IsTerminal(int fd);

// The size of the terminal on `fd` in character cells; false (errno set)
// when it has none.
bool TerminalSize(int fd, int& rows, int& cols);

// Job control and resizing for a program that draws on the terminal. The
// handlers only note the signal and make TermSignalFd readable; the program
// acts when it is ready: gives the terminal back as it was, then SuspendSelf.
enum TermSignal : int { kTermSuspend = 1, kTermContinued = 2, kTermResized = 4 };

// Catches SIGTSTP, SIGCONT and SIGWINCH. False (errno set) when the wake-up
// pipe cannot be made or a handler cannot be set; those that were set work.
bool InstallTermSignalHandlers();
// Gives the three signals their default actions again.
void RemoveTermSignalHandlers();
// Readable once one of them has come; -1 before InstallTermSignalHandlers.
int TermSignalFd();
// The TermSignal bits of the signals that came since the last call; empties
// TermSignalFd.
int TakeTermSignals();
// Stops the process as SIGTSTP would without a handler (the shell sees the
// job stopped), and returns once it has been continued. Where the process
// group may not stop (an orphaned one), it returns at once.
void SuspendSelf();

}  // namespace saferoom
