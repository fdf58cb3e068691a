// A shell on a pseudo-terminal, and the screen model its output is fed to.
#include "tests/support/Pty.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/Os.h"
#include "platform/Term.h"

Screen::Row& Screen::At(size_t row) {
  if (rows_.size() <= row) rows_.resize(row + 1);
  return rows_[row];
}

void Screen::Feed(const std::string& bytes) {
  std::string data = partial_ + bytes;
  partial_.clear();
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '\x1b') {
      Put(data[i]);
      continue;
    }
    size_t end = data.find_first_not_of("0123456789;?", i + 2);
    if (i + 1 == data.size() || (data[i + 1] == '[' && end == std::string::npos)) {
      partial_ = data.substr(i);  // the rest comes with the next read
      return;
    }
    if (data[i + 1] != '[') end = i + 1;  // ESC and one byte: nothing a line editor needs
    if (end > i + 1) Control(data.substr(i + 2, end - i - 2), data[end]);
    i = end;
  }
}

void Screen::Put(char c) {
  if (c == '\r' || c == '\n' || c == '\b') {
    if (c == '\r') col_ = 0;
    if (c == '\n') ++row_;
    if (c == '\b') col_ = std::max(0, col_ - 1);
    pendingWrap_ = false;
    return;
  }
  if (static_cast<unsigned char>(c) < 0x20) return;  // the bell, and the like
  if (pendingWrap_) {
    At(row_++).wrapped = true;
    col_ = 0;
    pendingWrap_ = false;
  }
  std::string& cells = At(row_).cells;
  if (cells.size() <= static_cast<size_t>(col_)) cells.resize(col_ + 1, ' ');
  cells[col_] = c;
  pendingWrap_ = col_ == cols_ - 1;
  if (!pendingWrap_) ++col_;
}

// Up, right, erase to the end of the row or of the screen; colours and
// modes change nothing here.
void Screen::Control(const std::string& params, char final) {
  if (!params.empty() && params[0] == '?') return;
  const int n = std::max(1, std::atoi(params.c_str()));
  std::string& cells = At(row_).cells;
  if (final == 'A') {
    row_ -= std::min(row_, static_cast<size_t>(n));
  } else if (final == 'C') {
    col_ = std::min(cols_ - 1, col_ + n);
  } else if ((final == 'K' || final == 'J') && std::atoi(params.c_str()) == 0) {
    if (cells.size() > static_cast<size_t>(col_)) cells.resize(col_);
    if (final == 'J') {
      At(row_).wrapped = false;
      rows_.resize(row_ + 1);
    }
  } else {
    return;
  }
  pendingWrap_ = false;
}

void Screen::Resize(int cols) {
  // The wrapped rows joined into lines, the cursor as a place in one of them.
  std::vector<std::string> lines(1);
  size_t cursorLine = 0, cursorAt = 0;
  At(row_);
  for (size_t r = 0; r < rows_.size(); ++r) {
    if (r == row_) {
      cursorLine = lines.size() - 1;
      cursorAt = lines.back().size() + col_ + (pendingWrap_ ? 1 : 0);
    }
    lines.back() += rows_[r].cells;
    if (rows_[r].wrapped)
      lines.back().resize((lines.back().size() + cols_ - 1) / cols_ * cols_, ' ');
    if (!rows_[r].wrapped && r + 1 < rows_.size()) lines.emplace_back();
  }
  cols_ = cols;
  rows_.clear();
  for (size_t l = 0; l < lines.size(); ++l) {
    if (l == cursorLine) {
      row_ = rows_.size() + cursorAt / cols;
      col_ = static_cast<int>(cursorAt % cols);
    }
    for (size_t at = 0; at == 0 || at < lines[l].size(); at += cols)
      rows_.push_back(Row{lines[l].substr(at, cols), at + cols < lines[l].size()});
  }
  pendingWrap_ = false;
}

std::string Screen::Text() const {
  std::string text;
  for (const Row& row : rows_)
    text += row.cells.substr(0, row.cells.find_last_not_of(' ') + 1) + "\n";
  return text;
}

int Screen::RowsWith(const std::string& text) const {
  return static_cast<int>(std::count_if(rows_.begin(), rows_.end(), [&](const Row& row) {
    return row.cells.find(text) != std::string::npos;
  }));
}

bool PtyShell::Spawn(int cols, int rows, const std::string& dir) {
  if (pid > 0) return false;
  master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.Valid() || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) return false;
  const char* slave = ptsname(master.Get());
  if (slave == nullptr || !Resize(cols, rows)) return false;
  const std::string slavePath = slave;  // ptsname's buffer is static
  const pid_t parent = getpid();
  pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    signal(SIGPIPE, SIG_DFL);
    // The session leader opens the terminal, which makes it the controlling one.
    int fd = -1;
    if (getppid() != parent || setsid() < 0 || (fd = open(slavePath.c_str(), O_RDWR)) < 0 ||
        ioctl(fd, TIOCSCTTY, 0) != 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0 ||
        chdir(dir.c_str()) != 0) {
      _exit(127);
    }
    setenv("TERM", "vt100", 1);
    setenv("PS1", "$ ", 1);
    unsetenv("NO_COLOR");
    execl("/bin/bash", "bash", "--norc", "--noprofile", "--noediting", "-i",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  screen = Screen(cols);
  return pid > 0;
}

bool PtyShell::Send(const std::string& keys) {
  return WriteFd(master.Get(), keys.data(), keys.size());
}

size_t PtyShell::WaitFor(const std::string& text, size_t from, int timeoutMs) {
  const Deadline deadline = Deadline::In(timeoutMs);
  for (;;) {
    size_t at = out.find(text, from);
    if (at != std::string::npos) return at + text.size();
    if (deadline.Passed() || PollFd(master.Get(), false, deadline) != PollResult::kReady) {
      return std::string::npos;
    }
    char buf[4096];
    long got = ReadFd(master.Get(), buf, sizeof buf);
    if (got <= 0) return std::string::npos;  // EIO: every end of the terminal has closed
    out.append(buf, static_cast<size_t>(got));
    screen.Feed(std::string(buf, static_cast<size_t>(got)));
  }
}

bool PtyShell::Resize(int cols, int rows) {
  winsize size = {};
  size.ws_col = static_cast<unsigned short>(cols);
  size.ws_row = static_cast<unsigned short>(rows);
  if (ioctl(master.Get(), TIOCSWINSZ, &size) != 0) return false;
  screen.Resize(cols);
  return true;
}

bool PtyShell::Raw() const {
  termios modes = {};
  return tcgetattr(master.Get(), &modes) == 0 && (modes.c_lflag & (ICANON | ECHO)) == 0;
}

void PtyShell::Stop() {
  if (pid <= 0) return;
  const pid_t job = tcgetpgrp(master.Get());  // a job of the shell's in the foreground
  if (job > 0 && job != pid) kill(-job, SIGKILL);
  kill(pid, SIGKILL);
  master.Reset();  // hangs up: SIGHUP for the jobs still on the terminal
  int status;
  waitpid(pid, &status, 0);
  pid = -1;
}
