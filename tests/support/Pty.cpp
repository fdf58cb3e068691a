// A shell on a pseudo-terminal, and the screen model its output is fed to.
#include "tests/support/Pty.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>

#include "platform/Os.h"
#include "platform/Term.h"

namespace saferoom {

namespace {

constexpr uint32_t kZeroWidthJoiner = 0x200d;

// The bytes a UTF-8 sequence takes, from its first; 1 for a byte that
// starts none.
size_t SequenceLength(unsigned char lead) {
  return lead >= 0xf0 && lead <= 0xf4 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 && lead < 0xe0 ? 2 : 1;
}

}  // namespace

Screen::Row& Screen::At(size_t row) {
  if (rows_.size() <= row) rows_.resize(row + 1);
  return rows_[row];
}

void Screen::Feed(const std::string& bytes) {
  std::string data = partial_ + bytes;
  partial_.clear();
  for (size_t i = 0; i < data.size();) {
    if (data[i] != '\x1b') {
      const size_t len = SequenceLength(static_cast<unsigned char>(data[i]));
      if (i + len > data.size()) {
        partial_ = data.substr(i);  // the rest of the character comes with the next read
        return;
      }
      utf8proc_int32_t cp = 0xfffd;
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(data.data() + i),
                       static_cast<utf8proc_ssize_t>(len), &cp);
      Put(static_cast<uint32_t>(cp), data.substr(i, len));
      i += len;
      continue;
    }
    size_t end = data.find_first_not_of("0123456789;?", i + 2);
    if (i + 1 == data.size() || (data[i + 1] == '[' && end == std::string::npos)) {
      partial_ = data.substr(i);  // the rest comes with the next read
      return;
    }
    if (data[i + 1] != '[') end = i + 1;  // ESC and one byte: nothing a line editor needs
    if (end > i + 1) Control(data.substr(i + 2, end - i - 2), data[end]);
    i = end + 1;
  }
}

void Screen::Put(uint32_t cp, const std::string& utf8) {
  if (cp == '\r' || cp == '\n' || cp == '\b') {
    if (cp == '\r') col_ = 0;
    if (cp == '\n') ++row_;
    if (cp == '\b') col_ = std::max(0, col_ - 1);
    pendingWrap_ = false;
    afterJoiner_ = false;
    return;
  }
  if (cp < 0x20) return;  // the bell, and the like
  const int width = std::max(0, utf8proc_charwidth(static_cast<utf8proc_int32_t>(cp)));
  const bool joins = width == 0 || afterJoiner_;
  afterJoiner_ = cp == kZeroWidthJoiner;
  if (joins) {
    // Into the cell written last: before the cursor, or under a pending wrap.
    std::vector<std::string>& cells = At(row_).cells;
    int at = pendingWrap_ ? col_ : col_ - 1;
    while (at > 0 && at < static_cast<int>(cells.size()) && cells[at].empty())
      --at;
    if (at >= 0 && at < static_cast<int>(cells.size())) cells[at] += utf8;
    return;
  }
  if (pendingWrap_ || (width == 2 && col_ == cols_ - 1)) {
    At(row_++).wrapped = true;
    col_ = 0;
    pendingWrap_ = false;
  }
  std::vector<std::string>& cells = At(row_).cells;
  if (cells.size() < static_cast<size_t>(col_ + width)) cells.resize(col_ + width, " ");
  cells[col_] = utf8;
  if (width == 2) cells[col_ + 1].clear();
  pendingWrap_ = col_ + width >= cols_;
  col_ = pendingWrap_ ? cols_ - 1 : col_ + width;
}

// Up, right, erase to the end of the row or of the screen; colours and
// modes change nothing here.
void Screen::Control(const std::string& params, char final) {
  if (!params.empty() && params[0] == '?') return;
  const int n = std::max(1, std::atoi(params.c_str()));
  std::vector<std::string>& cells = At(row_).cells;
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
  afterJoiner_ = false;
}

void Screen::Resize(int cols) {
  At(row_);
  if (!reflow_) {
    for (Row& row : rows_) {
      if (row.cells.size() > static_cast<size_t>(cols)) row.cells.resize(cols);
    }
    cols_ = cols;
    col_ = std::min(col_ + (pendingWrap_ ? 1 : 0), cols - 1);
    pendingWrap_ = false;
    return;
  }
  // The wrapped rows joined into lines, the cursor as a place in one of them.
  std::vector<std::vector<std::string>> lines(1);
  size_t cursorLine = 0, cursorAt = 0;
  for (size_t r = 0; r < rows_.size(); ++r) {
    std::vector<std::string>& line = lines.back();
    if (r == row_) {
      cursorLine = lines.size() - 1;
      cursorAt = line.size() + col_ + (pendingWrap_ ? 1 : 0);
    }
    line.insert(line.end(), rows_[r].cells.begin(), rows_[r].cells.end());
    if (rows_[r].wrapped) line.resize((line.size() + cols_ - 1) / cols_ * cols_, " ");
    if (!rows_[r].wrapped && r + 1 < rows_.size()) lines.emplace_back();
  }
  cols_ = cols;
  rows_.clear();
  for (size_t l = 0; l < lines.size(); ++l) {
    const std::vector<std::string>& line = lines[l];
    rows_.emplace_back();
    for (size_t at = 0; at <= line.size(); ++at) {
      const bool wide = at + 1 < line.size() && line[at + 1].empty();
      const bool full = static_cast<int>(rows_.back().cells.size()) + (wide ? 2 : 1) > cols;
      if (at < line.size() && !line[at].empty() && full) {
        rows_.back().cells.resize(cols, " ");
        rows_.back().wrapped = true;
        rows_.emplace_back();
      }
      if (l == cursorLine && at == cursorAt) {
        row_ = rows_.size() - 1;
        col_ = static_cast<int>(rows_.back().cells.size());
      }
      if (at < line.size()) rows_.back().cells.push_back(line[at]);
    }
    if (l == cursorLine && cursorAt > line.size()) {
      // Past the line's last cell.
      const size_t col = rows_.back().cells.size() + cursorAt - line.size();
      row_ = rows_.size() - 1 + col / cols;
      col_ = static_cast<int>(col % cols);
    }
  }
  pendingWrap_ = col_ >= cols;
  if (pendingWrap_) col_ = cols - 1;
}

std::string Screen::Joined(const Row& row) {
  std::string text;
  for (const std::string& cell : row.cells)
    text += cell;
  return text;
}

std::string Screen::Text() const {
  std::string text;
  for (const Row& row : rows_) {
    const std::string joined = Joined(row);
    text += joined.substr(0, joined.find_last_not_of(' ') + 1) + "\n";
  }
  return text;
}

int Screen::RowsWith(const std::string& text) const {
  return static_cast<int>(std::count_if(rows_.begin(), rows_.end(), [&](const Row& row) {
    return Joined(row).find(text) != std::string::npos;
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
    setenv("LC_ALL", "C.UTF-8", 1);
    setenv("PS1", "$ ", 1);
    unsetenv("NO_COLOR");
    execl("/bin/bash", "bash", "--norc", "--noprofile", "--noediting", "-i",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  screen = Screen(cols, reflow);
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

}  // namespace saferoom
