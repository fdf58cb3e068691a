// A shell with job control on a pseudo-terminal, and a model of the screen
// that the programs in it draw on. For the chat command's terminal tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/Net.h"

// What a terminal shows, from the bytes written to it: text (a byte a cell;
// the tests write ASCII), CR, LF, BS, and the cursor and erase sequences
// that libedit sends to a vt100; other escapes are skipped. Writing past the
// last column wraps (with the vt100's pending wrap), and a resize rewraps the
// wrapped lines, as tmux and most terminals do. No scrolling: rows only grow.
class Screen {
 public:
  explicit Screen(int cols) : cols_(cols) {}
  void Feed(const std::string& bytes);
  void Resize(int cols);
  // The rows without their trailing blanks, each ended by '\n'.
  std::string Text() const;
  // The rows that hold `text`.
  int RowsWith(const std::string& text) const;

 private:
  struct Row {
    std::string cells;
    bool wrapped = false;  // continued on the next row by writing past its end
  };
  void Put(char c);
  void Control(const std::string& params, char final);
  Row& At(size_t row);

  int cols_;
  std::vector<Row> rows_;
  size_t row_ = 0;
  int col_ = 0;
  bool pendingWrap_ = false;  // the last column was written: the next byte wraps
  std::string partial_;       // an escape sequence cut off at the end of a Feed
};

// bash (interactive, no line editing, prompt "$ ", TERM=vt100) as the
// session leader of a pseudo-terminal, so that Ctrl-Z and fg work as at a
// real one. It dies with the test binary; Stop ends it by its PID and hangs
// up the terminal, which ends what runs in it.
struct PtyShell {
  pid_t pid = -1;
  UniqueFd master;
  std::string out;  // everything written to the terminal so far
  Screen screen{80};

  ~PtyShell() { Stop(); }
  bool Spawn(int cols, int rows, const std::string& dir);
  // Types `keys` (the terminal's line discipline sees them as typed).
  bool Send(const std::string& keys);
  // Waits until `out` holds `text` at or after `from`; the position after
  // it, or npos on timeout.
  size_t WaitFor(const std::string& text, size_t from = 0, int timeoutMs = 5000);
  // Gives the terminal a new size; the foreground job gets SIGWINCH.
  bool Resize(int cols, int rows);
  // Whether the line discipline is in raw mode (no ICANON, no ECHO), as a
  // line editor sets it.
  bool Raw() const;
  void Stop();
};
