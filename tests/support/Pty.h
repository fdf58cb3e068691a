// A shell with job control on a pseudo-terminal, and a model of the screen
// that the programs in it draw on. For the chat command's terminal tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Net.h"

namespace saferoom {

// What a terminal shows, from the bytes written to it: UTF-8 text, a cell
// for each character and two for a wide one (widths from utf8proc), a
// character of no width, and any after a zero width joiner, joined to the
// cell before (as tmux draws a family emoji); CR, LF, BS, and the cursor and
// erase sequences a line editor sends; other escapes are skipped. Writing
// past the last column wraps (with the vt100's pending wrap), as does a wide
// character that does not fit. A resize rewraps the wrapped lines, as tmux
// and most terminals do; without `reflow`, it cuts each row at the new width
// instead (xterm, the Linux console). No scrolling: rows only grow.
class Screen {
 public:
  explicit Screen(int cols, bool reflow = true) : cols_(cols), reflow_(reflow) {}
  void Feed(const std::string& bytes);
  void Resize(int cols);
  // The rows without their trailing blanks, each ended by '\n'.
  std::string Text() const;
  // The rows that hold `text`.
  int RowsWith(const std::string& text) const;
  // The cursor's column, counting cells from 0.
  int CursorColumn() const { return col_ + (pendingWrap_ ? 1 : 0); }

 private:
  struct Row {
    std::vector<std::string> cells;  // a character each, "" for a wide one's second cell
    bool wrapped = false;            // continued on the next row by writing past its end
  };
  void Put(uint32_t cp, const std::string& utf8);
  void Control(const std::string& params, char final);
  Row& At(size_t row);
  static std::string Joined(const Row& row);

  int cols_;
  bool reflow_;
  std::vector<Row> rows_;
  size_t row_ = 0;
  int col_ = 0;
  bool pendingWrap_ = false;  // the last column was written: the next character wraps
  bool afterJoiner_ = false;  // the last character was U+200D: the next joins its cell
  std::string partial_;       // an escape sequence or a character cut off at the end of a Feed
};

// bash (interactive, no line editing, prompt "$ ", TERM=vt100, UTF-8) as the
// session leader of a pseudo-terminal, so that Ctrl-Z and fg work as at a
// real one. It dies with the test binary; Stop ends it by its PID and hangs
// up the terminal, which ends what runs in it.
struct PtyShell {
  pid_t pid = -1;
  UniqueFd master;
  std::string out;     // everything written to the terminal so far
  bool reflow = true;  // for the screen that Spawn makes
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

}  // namespace saferoom
