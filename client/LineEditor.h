// The terminal's input line, on libedit: keys and bracketed pastes in, whole
// lines out, and lines printed above the input line without breaking what is
// being typed. libedit edits the line; the line is drawn here (LineLayout),
// by grapheme clusters. Used by the chat command's terminal front end.
#pragma once

#include <cstdio>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/ChatUi.h"
#include "client/LineLayout.h"
#include "client/TermInput.h"

struct editline;  // libedit's EditLine

namespace saferoom {

struct LineEditorHooks {
  // Enter, or each whole line of a paste: `typed` unless the line begins with
  // pasted text. Returns what goes back on the input line (a line refused for
  // now), or nothing.
  std::function<std::string(const std::string& line, bool typed)> line;
  std::function<void()> end;  // Ctrl-D on an empty line
  // Ctrl-C: `cleared` when it cleared the line (kept in the history) rather
  // than found it empty.
  std::function<void(bool cleared)> interrupt;
  // A lone Esc: true when taken; otherwise it begins a key sequence.
  std::function<bool()> escape;
  // Tab: what to do with the text before the cursor.
  std::function<Completion(const std::string&)> complete;
};

class LineEditor {
 public:
  LineEditor() = default;
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;
  ~LineEditor() { Stop(); }

  // Takes over standard input and output (a terminal): raw mode, Ctrl-C a
  // key, the prompt drawn, bracketed paste on. False when libedit cannot
  // start.
  bool Start(const LineEditorHooks& hooks, const std::string& prompt);
  // Clears the input line and gives the terminal back as it was.
  void Stop();
  bool Active() const { return el_ != nullptr; }
  // Before the process stops (Ctrl-Z): the input line hidden and kept, the
  // terminal as it was before Start.
  void Suspend();
  // Once it runs again: the terminal taken again (whatever the shell did to
  // it meanwhile) and the input line drawn as it was.
  void Resume();

  // Reads what standard input holds and acts on it. False at its end.
  bool ReadInput();
  // Prints `text` (whole lines) above the input line, then redraws it.
  void Print(const std::string& text);
  void SetPrompt(const std::string& prompt);
  // Redraws at the terminal's width when that has changed.
  void FollowWindowSize();

 private:
  struct ElEnd {
    void operator()(editline* el) const;
  };
  struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  // libedit callbacks; the editor is the EditLine's client data.
  static char* PromptFn(editline* el);
  static int GetKey(editline* el, wchar_t* key);
  static unsigned char Accept(editline* el, int key);
  static unsigned char Complete(editline* el, int key);
  static unsigned char DeleteBack(editline* el, int key);
  static unsigned char EndOrDelete(editline* el, int key);
  static unsigned char Interrupt(editline* el, int key);
  static unsigned char HistoryBack(editline* el, int key);
  static unsigned char HistoryForward(editline* el, int key);
  static unsigned char ClearScreen(editline* el, int key);

  void Bind(const char* name, unsigned char (*fn)(editline*, int),
            std::initializer_list<const char*> keys, bool viCommandToo = true);
  std::wstring WideText() const;
  size_t Cursor() const;
  std::string Text(bool beforeCursorOnly = false) const;
  void Clear();
  void Replace(const std::string& text);
  std::string TakeLine();
  bool BeginsWithPaste(const std::string& line) const;
  void PutBack(const std::string& text, bool pasted);
  void AddHistory(const std::string& line);
  void KeepCursorOnCluster(size_t before);
  void WaitForKeys();
  void Process();
  void RunKeys();
  void Dispatch();
  void HandPaste(const std::vector<std::string>& lines, const std::string& rest);
  void Erase();
  void Draw();
  void Redraw();
  bool TakeEscape();

  // libedit draws here, unseen: it counts a code point as a cell, so it
  // would draw a family emoji, or a wide character at a row's end, other
  // than the terminal does. Declared first so that it closes after el_end.
  std::unique_ptr<std::FILE, FileClose> unseen_;
  std::unique_ptr<editline, ElEnd> el_;
  LineEditorHooks hooks_;
  std::string prompt_;

  // What is on the screen: the layout drawn, while shown.
  LineLayout drawn_;
  bool shown_ = false;

  TermInput input_;
  bool ended_ = false;  // standard input is at its end

  // Set by the bound functions, acted on once libedit has returned.
  std::vector<std::pair<std::string, bool>> accepted_;  // each line, and whether typed
  std::vector<std::string> choices_;
  bool endAsked_ = false;
  int interrupted_ = 0;  // Ctrl-C: 1 cleared the line, 2 found it empty
  std::wstring stash_;   // the line while suspended: libedit empties it on resuming
  size_t stashCursor_ = 0;
  bool suspended_ = false;
  std::string pastedHead_;  // the paste the input line began with, while it does

  std::vector<std::string> history_;
  size_t historyPos_ = 0;  // == size(): the line being typed
  std::string draft_;      // the line being typed, while history is shown
};

}  // namespace saferoom
