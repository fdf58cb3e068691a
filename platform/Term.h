// Standard streams: is it a terminal, raw reads and writes, job control and
// resizing. Called by client/, the server's console writer and the tests that
// drive the programs. Failures as platform/Net.h says.
#pragma once

#include <cstddef>

// True when `fd` is a terminal.
bool IsTerminal(int fd);

// The size of the terminal on `fd` in character cells; false (errno set)
// when it has none.
bool TerminalSize(int fd, int& rows, int& cols);

// Reads up to `len` bytes: > 0 bytes read, 0 end of input, -1 error (errno
// set). EINTR is retried.
long ReadFd(int fd, void* buf, size_t len);

// Writes all `len` bytes, waiting as needed (also on a descriptor in
// non-blocking mode). False on error (errno set), for instance EPIPE when the
// reader has gone.
bool WriteFd(int fd, const void* buf, size_t len);

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
