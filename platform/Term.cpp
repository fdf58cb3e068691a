// Standard streams for the chat client and the server's console, and the
// client's job-control and resize signals.
#include "platform/Term.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

namespace saferoom {

namespace {

std::atomic<int> gTermSignals{0};  // TermSignal bits, set by the handler
int gTermPipe[2] = {-1, -1};       // its wake-up, as Os.cpp does for the stop signals

void OnTermSignal(int signalNumber) {
  const int savedErrno = errno;
  gTermSignals.fetch_or(signalNumber == SIGTSTP   ? kTermSuspend
                        : signalNumber == SIGCONT ? kTermContinued
                                                  : kTermResized);
  if (gTermPipe[1] >= 0) {
    ssize_t ignored = write(gTermPipe[1], "t", 1);
    (void)ignored;  // full pipe: a wake-up is pending already
  }
  errno = savedErrno;
}

bool SetAction(int signalNumber, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(signalNumber, &action, nullptr) == 0;
}

}  // namespace

bool IsTerminal(int fd) {
  return isatty(fd) == 1;
}

bool TerminalSize(int fd, int& rows, int& cols) {
  winsize size = {};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0) return false;
  rows = size.ws_row;
  cols = size.ws_col;
  return true;
}

bool InstallTermSignalHandlers() {
  static_assert(std::atomic<int>::is_always_lock_free, "signal handler stores into it");
  if (gTermPipe[0] < 0 && pipe2(gTermPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    gTermPipe[0] = gTermPipe[1] = -1;
    return false;
  }
  bool ok = SetAction(SIGTSTP, OnTermSignal);
  ok = SetAction(SIGCONT, OnTermSignal) && ok;
  return SetAction(SIGWINCH, OnTermSignal) && ok;
}

void RemoveTermSignalHandlers() {
  for (int signalNumber : {SIGTSTP, SIGCONT, SIGWINCH})
    SetAction(signalNumber, SIG_DFL);
}

int TermSignalFd() {
  return gTermPipe[0];
}

int TakeTermSignals() {
  // Emptied before the bits are taken: a signal in between leaves a byte
  // for a wake-up with nothing to do, never bits without a wake-up.
  char drained[64];
  while (gTermPipe[0] >= 0 && read(gTermPipe[0], drained, sizeof drained) > 0) {
  }
  return gTermSignals.exchange(0);
}

void SuspendSelf() {
  struct sigaction ours = {};
  struct sigaction stop = {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  if (sigaction(SIGTSTP, &stop, &ours) != 0) return;
  raise(SIGTSTP);  // the process stops here until SIGCONT
  sigaction(SIGTSTP, &ours, nullptr);
}

}  // namespace saferoom
