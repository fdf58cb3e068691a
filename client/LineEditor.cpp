// The chat command's input line on libedit's own interface. Its readline
// emulation leaves out or stubs what a line printed above the input needs
// (clearing the visible line, key maps, replacing the line), so keys are fed
// one command at a time in unbuffered mode and the rest is done here.
#include "client/LineEditor.h"

#include <histedit.h>

#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "platform/Net.h"
#include "platform/Os.h"
#include "platform/Term.h"

namespace {

// Bound to the hide function, which acts only when Print pushes this key.
constexpr char kHideKey[] = "\x1d";
constexpr size_t kMaxHistory = 500;
// A lone Esc byte is the Esc key when nothing follows it within this; else
// it begins a key sequence that came in two reads.
constexpr int kEscapeWaitMs = 100;

LineEditor* Owner(editline* el) {
  void* owner = nullptr;
  el_get(el, EL_CLIENTDATA, &owner);
  return static_cast<LineEditor*>(owner);
}

void Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// `text` as the locale decodes it; byte by byte when it cannot.
std::wstring Wide(const std::string& text) {
  std::mbstate_t state = {};
  const char* from = text.c_str();
  std::wstring wide(text.size(), L'\0');
  size_t n = std::mbsrtowcs(wide.data(), &from, wide.size(), &state);
  if (n == static_cast<size_t>(-1)) return std::wstring(text.begin(), text.end());
  wide.resize(n);
  return wide;
}

}  // namespace

void LineEditor::ElEnd::operator()(editline* el) const {
  el_end(el);
}

bool LineEditor::Start(const LineEditorHooks& hooks, const std::string& prompt) {
  std::setlocale(LC_CTYPE, "");  // keys are decoded as the locale says
  el_.reset(el_init("chat", stdin, stdout, stderr));
  if (!el_) return false;
  hooks_ = hooks;
  prompt_ = prompt;
  editline* el = el_.get();
  el_set(el, EL_CLIENTDATA, this);
  el_set(el, EL_EDITOR, "emacs");
  el_set(el, EL_PROMPT, &PromptFn);
  el_set(el, EL_GETCFN, &GetKey);
  el_source(el, nullptr);  // the user's ~/.editrc, before our keys so that ours stay
  Bind("chat-accept", &Accept, {"^M", "^J"});
  Bind("chat-hide", &Hide, {"^]"});
  Bind("chat-complete", &Complete, {"^I"});
  Bind("chat-end", &EndOrDelete, {"^D"});
  Bind("chat-interrupt", &Interrupt, {"^C"});
  Bind("chat-back", &HistoryBack, {"^P", "\\e[A", "\\eOA"});
  Bind("chat-forward", &HistoryForward, {"^N", "\\e[B", "\\eOB"});
  // Ctrl-C comes as a key, for Interrupt; a stop signal (kill -INT) still works.
  el_set(el, EL_SETTY, "-d", "-intr", nullptr);
  TerminalSize(1, rows_, cols_);
  el_set(el, EL_UNBUFFERED, 1);  // raw mode from here on, and the prompt drawn
  Write("\x1b[?2004h");          // the terminal marks pastes (see TermInput)
  std::fflush(stdout);
  return true;
}

void LineEditor::Stop() {
  if (!el_) return;
  Suspend();
  suspended_ = false;
  stash_.clear();
  el_.reset();
}

void LineEditor::Suspend() {
  if (!el_ || suspended_) return;
  HideLine();  // into stash_
  Write("\x1b[?2004l");
  el_set(el_.get(), EL_UNBUFFERED, 0);  // back to the terminal's own mode
  std::fflush(stdout);
  suspended_ = true;
}

void LineEditor::Resume() {
  if (!el_) return;
  // Also after a stop that was not ours (SIGSTOP), which a shell may have
  // followed with its own terminal modes.
  Suspend();
  suspended_ = false;
  el_set(el_.get(), EL_UNBUFFERED, 1);  // raw mode again; it draws an empty prompt
  Write("\x1b[?2004h\r\x1b[J");
  PutStash();
  Redraw();
}

void LineEditor::Bind(const char* name, unsigned char (*fn)(editline*, int),
                      std::initializer_list<const char*> keys) {
  el_set(el_.get(), EL_ADDFN, name, name, fn);
  for (const char* key : keys) {
    el_set(el_.get(), EL_BIND, key, name, nullptr);
    el_set(el_.get(), EL_BIND, "-a", key, name, nullptr);  // vi command mode
  }
}

char* LineEditor::PromptFn(editline* el) {
  return Owner(el)->prompt_.data();
}

std::wstring LineEditor::WideText() const {
  const LineInfoW* li = el_wline(el_.get());
  return std::wstring(li->buffer, li->lastchar);
}

std::string LineEditor::Text(bool beforeCursorOnly) const {
  const LineInfoW* li = el_wline(el_.get());
  std::string out;
  char bytes[MB_LEN_MAX];
  for (const wchar_t* p = li->buffer; p < (beforeCursorOnly ? li->cursor : li->lastchar); ++p) {
    std::mbstate_t state = {};
    size_t n = std::wcrtomb(bytes, *p, &state);
    if (n != static_cast<size_t>(-1)) out.append(bytes, n);
  }
  return out;
}

void LineEditor::Clear() {
  const LineInfoW* li = el_wline(el_.get());
  int len = static_cast<int>(li->lastchar - li->buffer);
  el_cursor(el_.get(), static_cast<int>(li->lastchar - li->cursor));
  el_deletestr(el_.get(), len);
}

void LineEditor::Replace(const std::string& text) {
  Clear();
  pastedHead_.clear();
  if (!text.empty()) el_insertstr(el_.get(), text.c_str());
}

std::string LineEditor::TakeLine() {
  std::string line = Text();
  Clear();
  return line;
}

bool LineEditor::BeginsWithPaste(const std::string& line) const {
  return !pastedHead_.empty() && line.compare(0, pastedHead_.size(), pastedHead_) == 0;
}

// `text` on the input line at the cursor. Pasted into an empty line, it
// stays text: Enter sends it as a message even when it begins with /.
void LineEditor::PutBack(const std::string& text, bool pasted) {
  if (text.empty()) return;
  if (pasted && Text().empty()) pastedHead_ = text;
  el_insertstr(el_.get(), text.c_str());
}

void LineEditor::AddHistory(const std::string& line) {
  if (!line.empty() && (history_.empty() || history_.back() != line)) history_.push_back(line);
  if (history_.size() > kMaxHistory) history_.erase(history_.begin());
  historyPos_ = history_.size();
  draft_.clear();
}

// The typed line leaves the screen: what the server relays shows it in its
// place in the conversation.
unsigned char LineEditor::Accept(editline* el, int) {
  LineEditor* self = Owner(el);
  std::string line = self->TakeLine();
  const bool typed = !self->BeginsWithPaste(line);
  self->pastedHead_.clear();
  self->AddHistory(line);
  self->accepted_.emplace_back(std::move(line), typed);
  return CC_REFRESH;
}

// Ctrl-C clears a line, as shells do, and leaves only on an empty one.
unsigned char LineEditor::Interrupt(editline* el, int) {
  LineEditor* self = Owner(el);
  std::string line = self->TakeLine();
  self->pastedHead_.clear();
  self->interrupted_ = line.empty() ? 2 : 1;
  self->AddHistory(line);
  return CC_REFRESH;
}

unsigned char LineEditor::Hide(editline* el, int) {
  LineEditor* self = Owner(el);
  if (!self->hideArmed_) return CC_NORM;
  const LineInfoW* li = el_wline(el);
  self->stash_ = self->WideText();
  self->stashCursor_ = static_cast<int>(li->cursor - li->buffer);
  self->Clear();
  return CC_REFRESH;  // libedit erases what it drew, every row of it
}

unsigned char LineEditor::Complete(editline* el, int) {
  LineEditor* self = Owner(el);
  const std::string before = self->Text(true);
  Completion done = self->hooks_.complete(before);
  if (!done.insert.empty()) {
    std::mbstate_t state = {};
    const char* word = before.c_str() + done.from;
    size_t chars = std::mbsrtowcs(nullptr, &word, 0, &state);
    if (chars != static_cast<size_t>(-1)) {
      el_deletestr(el, static_cast<int>(chars));
      el_insertstr(el, done.insert.c_str());
    }
  }
  self->choices_ = std::move(done.choices);
  return done.insert.empty() && self->choices_.empty() ? CC_REFRESH_BEEP : CC_REFRESH;
}

unsigned char LineEditor::EndOrDelete(editline* el, int) {
  const LineInfoW* li = el_wline(el);
  if (li->buffer == li->lastchar) {
    Owner(el)->endAsked_ = true;
    return CC_NORM;
  }
  if (li->cursor == li->lastchar) return CC_ERROR;
  el_cursor(el, 1);
  el_deletestr(el, 1);
  return CC_REFRESH;
}

unsigned char LineEditor::HistoryBack(editline* el, int) {
  LineEditor* self = Owner(el);
  if (self->historyPos_ == 0) return CC_ERROR;
  if (self->historyPos_ == self->history_.size()) self->draft_ = self->Text();
  self->Replace(self->history_[--self->historyPos_]);
  return CC_REFRESH;
}

unsigned char LineEditor::HistoryForward(editline* el, int) {
  LineEditor* self = Owner(el);
  if (self->historyPos_ >= self->history_.size()) return CC_ERROR;
  ++self->historyPos_;
  bool draft = self->historyPos_ == self->history_.size();
  self->Replace(draft ? self->draft_ : self->history_[self->historyPos_]);
  return CC_REFRESH;
}

// libedit's key source: keys already come, or, within a binding that wants
// more keys, those still to come.
int LineEditor::GetKey(editline* el, wchar_t* key) {
  LineEditor* self = Owner(el);
  if (self->hideArmed_) return 0;  // Print's own key only
  TermInput& input = self->input_;
  if (!input.HasKey() && input.Empty()) self->WaitForKeys();
  return input.TakeKey(*key) ? 1 : 0;  // 0 ends the key binding's wait
}

// A key binding wants more keys than have come (a lone Esc, Ctrl-V): waits
// for them, or for a stop signal. The room's lines wait meanwhile.
void LineEditor::WaitForKeys() {
  PollItem waits[3];
  waits[0].fd = 0;
  waits[1].fd = StopWakeFd();
  waits[2].fd = TermSignalFd();  // Ctrl-Z, a resize
  if (PollFds(waits, 3, Deadline::Never()) != PollResult::kReady || !waits[0].ready) return;
  char buf[256];
  long got = ReadFd(0, buf, sizeof buf);
  if (got <= 0) {
    ended_ = true;
    return;
  }
  input_.Append(buf, static_cast<size_t>(got));
}

bool LineEditor::ReadInput() {
  FollowWindowSize();  // before keys are drawn at the old width
  char buf[4096];
  long got = ReadFd(0, buf, sizeof buf);
  if (got <= 0) return false;
  input_.Append(buf, static_cast<size_t>(got));
  if (!TakeEscape()) Process();
  return !ended_;
}

bool LineEditor::TakeEscape() {
  if (!hooks_.escape || !input_.LoneEscape()) return false;
  if (PollFd(0, false, Deadline::In(kEscapeWaitMs)) != PollResult::kTimeout || !hooks_.escape()) return false;
  input_.Clear();
  return true;
}

void LineEditor::Process() {
  while (Active()) {
    if (input_.Pasting()) {
      std::vector<std::string> lines;
      std::string rest;
      bool ended = input_.TakePaste(lines, rest);
      HandPaste(lines, rest, ended);
      if (!ended) return;  // the rest of the paste is still to come
    }
    RunKeys();
    if (!input_.EnterPaste()) return;
  }
}

void LineEditor::RunKeys() {
  while (Active() && input_.HasKey()) {
    int count = 0;
    el_wgets(el_.get(), &count);  // one key binding's worth
    Dispatch();
  }
}

void LineEditor::Dispatch() {
  std::vector<std::pair<std::string, bool>> lines;
  lines.swap(accepted_);
  for (const auto& [line, typed] : lines) {
    std::string back = hooks_.line(line, typed);
    if (back.empty()) continue;
    PutBack(back, !typed);
    Print("");  // the line changed outside libedit's commands
  }
  if (interrupted_ != 0) {
    const bool cleared = interrupted_ == 1;
    interrupted_ = 0;
    hooks_.interrupt(cleared);
  }
  if (!choices_.empty()) {
    std::string list;
    for (const std::string& name : choices_)
      list += (list.empty() ? "" : "  ") + name;
    choices_.clear();
    Print(list + "\n");
  }
  if (endAsked_) {
    endAsked_ = false;
    hooks_.end();
  }
}

// Each whole line of a paste goes as a message of its own, the first after
// what was typed before it (a command only when that began it); the last
// part stays on the input line to be edited, after any line refused.
void LineEditor::HandPaste(const std::vector<std::string>& lines, const std::string& rest,
                           bool ended) {
  std::string kept;
  bool keptPasted = true;
  for (const std::string& line : lines) {
    const std::string draft = TakeLine();
    const bool typed = !draft.empty() && !BeginsWithPaste(draft);
    pastedHead_.clear();
    std::string back = hooks_.line(draft + line, typed);
    if (back.empty()) continue;
    if (kept.empty()) keptPasted = !typed;
    kept += (kept.empty() ? "" : " ") + back;
  }
  PutBack(kept + (kept.empty() || rest.empty() ? "" : " ") + rest, kept.empty() || keptPasted);
  if (ended || !lines.empty()) Print("");  // the line changed outside libedit's commands
}

void LineEditor::HideLine() {
  hideArmed_ = true;
  el_push(el_.get(), kHideKey);
  int count = 0;
  el_wgets(el_.get(), &count);
  hideArmed_ = false;
  Write("\r\x1b[J");  // the prompt too, and anything below
}

void LineEditor::Print(const std::string& text) {
  if (!Active() || suspended_) {
    Write(text);
    std::fflush(stdout);
    return;
  }
  FollowWindowSize();
  HideLine();
  Write(text);
  PutStash();
  Redraw();
}

void LineEditor::PutStash() {
  if (!stash_.empty()) {
    el_winsertstr(el_.get(), stash_.c_str());
    el_cursor(el_.get(), stashCursor_ - static_cast<int>(stash_.size()));
  }
  stash_.clear();
}

// Draws the prompt and the input line from where the terminal's cursor is:
// the start of a clear line.
void LineEditor::Redraw() {
  TerminalSize(1, rows_, cols_);
  el_resize(el_.get());
  el_set(el_.get(), EL_REFRESH);
  std::fflush(stdout);
}

void LineEditor::SetPrompt(const std::string& prompt) {
  if (prompt == prompt_) return;
  prompt_ = prompt;
  Print("");
}

void LineEditor::FollowWindowSize() {
  int rows = 0, cols = 0;
  if (!Active() || suspended_ || !TerminalSize(1, rows, cols) || (rows == rows_ && cols == cols_))
    return;
  // The terminal has rewrapped the input line to the new width, as most do.
  // libedit would count its rows at the old width and erase too few (a ghost
  // copy stays above) or lines above it, so the line is erased here.
  const LineInfoW* li = el_wline(el_.get());
  const std::wstring prompt = Wide(prompt_);
  const int row = CursorRow(prompt + WideText(), prompt.size() + (li->cursor - li->buffer), cols);
  Write((row > 0 ? "\x1b[" + std::to_string(row) + "A" : std::string()) + "\r\x1b[J");
  Redraw();
}
