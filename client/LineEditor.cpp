// The chat command's input line on libedit's own interface. Its readline
// emulation leaves out or stubs what a line printed above the input needs
// (clearing the visible line, key maps, replacing the line), so keys are fed
// one command at a time in unbuffered mode and the rest is done here. libedit
// edits the line but draws it where nobody sees; the line is drawn here.
#include "client/LineEditor.h"

#include <histedit.h>

#include <climits>
#include <clocale>
#include <cstring>

#include "platform/Net.h"
#include "platform/Os.h"
#include "platform/Term.h"

namespace saferoom {

namespace {

constexpr size_t kMaxHistory = 500;
// A lone Esc byte is the Esc key when nothing follows it within this; else
// it begins a key sequence that came in two reads.
constexpr int kEscapeWaitMs = 100;
// Where the terminal's size cannot be read.
constexpr int kDefaultCols = 80;

LineEditor* Owner(editline* el) {
  void* owner = nullptr;
  el_get(el, EL_CLIENTDATA, &owner);
  return static_cast<LineEditor*>(owner);
}

void Write(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

int Columns() {
  int rows = 0, cols = 0;
  return TerminalSize(1, rows, cols) && cols > 0 ? cols : kDefaultCols;
}

// A key that can do nothing here rings the bell (libedit's own goes unseen).
unsigned char Refuse() {
  Write("\a");
  return CC_ERROR;
}

// "\x1b[NA": up N rows, or nothing.
std::string Up(int rows) {
  return rows > 0 ? "\x1b[" + std::to_string(rows) + "A" : std::string();
}

}  // namespace

void LineEditor::ElEnd::operator()(editline* el) const {
  el_end(el);
}

bool LineEditor::Start(const LineEditorHooks& hooks, const std::string& prompt) {
  std::setlocale(LC_CTYPE, "");  // keys are decoded as the locale says
  // libedit must find a terminal on its output when it starts, or it
  // edits nothing; it is given the unseen stream after that.
  unseen_.reset(std::fopen("/dev/null", "w"));
  if (!unseen_) return false;
  el_.reset(el_init("chat", stdin, stdout, stderr));
  if (!el_) return false;
  hooks_ = hooks;
  prompt_ = prompt;
  editline* el = el_.get();
  el_set(el, EL_SETFP, 1, unseen_.get());
  el_set(el, EL_CLIENTDATA, this);
  el_set(el, EL_EDITOR, "emacs");
  el_set(el, EL_PROMPT, &PromptFn);
  el_set(el, EL_GETCFN, &GetKey);
  el_source(el, nullptr);  // the user's ~/.editrc, before our keys so that ours stay
  Bind("chat-accept", &Accept, {"^M", "^J"});
  Bind("chat-complete", &Complete, {"^I"});
  Bind("chat-delete-back", &DeleteBack, {"^H", "^?"}, false);  // vi: ^H moves left
  Bind("chat-end", &EndOrDelete, {"^D", "\\e[3~"});
  Bind("chat-interrupt", &Interrupt, {"^C"});
  Bind("chat-back", &HistoryBack, {"^P", "\\e[A", "\\eOA"});
  Bind("chat-forward", &HistoryForward, {"^N", "\\e[B", "\\eOB"});
  Bind("chat-clear", &ClearScreen, {"^L"});
  // Ctrl-C comes as a key, for Interrupt; a stop signal (kill -INT) still works.
  el_set(el, EL_SETTY, "-d", "-intr", nullptr);
  el_set(el, EL_UNBUFFERED, 1);  // raw mode from here on
  Write("\x1b[?2004h");          // the terminal marks pastes (see TermInput)
  Draw();
  std::fflush(stdout);
  return true;
}

void LineEditor::Stop() {
  if (!el_) return;
  Suspend();
  suspended_ = false;
  stash_.clear();
  el_.reset();
  unseen_.reset();
}

void LineEditor::Suspend() {
  if (!el_ || suspended_) return;
  stash_ = WideText();
  stashCursor_ = Cursor();
  Erase();
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
  el_set(el_.get(), EL_UNBUFFERED, 1);  // raw mode again, the line emptied
  if (!stash_.empty()) {
    el_winsertstr(el_.get(), stash_.c_str());
    el_cursor(el_.get(), static_cast<int>(stashCursor_) - static_cast<int>(stash_.size()));
  }
  stash_.clear();
  Write("\x1b[?2004h\r\x1b[J");
  Draw();
  std::fflush(stdout);
}

void LineEditor::Bind(const char* name, unsigned char (*fn)(editline*, int),
                      std::initializer_list<const char*> keys, bool viCommandToo) {
  el_set(el_.get(), EL_ADDFN, name, name, fn);
  for (const char* key : keys) {
    el_set(el_.get(), EL_BIND, key, name, nullptr);
    if (viCommandToo) el_set(el_.get(), EL_BIND, "-a", key, name, nullptr);
  }
}

char* LineEditor::PromptFn(editline* el) {
  return Owner(el)->prompt_.data();
}

std::wstring LineEditor::WideText() const {
  const LineInfoW* li = el_wline(el_.get());
  return std::wstring(li->buffer, li->lastchar);
}

size_t LineEditor::Cursor() const {
  const LineInfoW* li = el_wline(el_.get());
  return static_cast<size_t>(li->cursor - li->buffer);
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

// libedit moves and deletes by code point; a cursor left inside a cluster
// (by a binding of libedit's or of ~/.editrc) goes to its edge, in the
// direction it was moving.
void LineEditor::KeepCursorOnCluster(size_t before) {
  const std::wstring text = WideText();
  const size_t at = Cursor();
  const size_t start = ClusterStart(text, at);
  if (start == at) return;
  const size_t to = at < before ? start : ClusterEnd(text, at);
  el_cursor(el_.get(), static_cast<int>(to) - static_cast<int>(at));
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
  if (done.insert.empty() && self->choices_.empty()) return Refuse();  // nothing fits
  return CC_REFRESH;
}

// Backspace and Delete take a whole cluster: the family emoji, not its last
// person.
unsigned char LineEditor::DeleteBack(editline* el, int) {
  LineEditor* self = Owner(el);
  const size_t at = self->Cursor();
  if (at == 0) return Refuse();
  el_deletestr(el, static_cast<int>(at - ClusterStart(self->WideText(), at - 1)));
  return CC_REFRESH;
}

unsigned char LineEditor::EndOrDelete(editline* el, int) {
  LineEditor* self = Owner(el);
  const std::wstring text = self->WideText();
  const size_t at = self->Cursor();
  if (text.empty()) {
    self->endAsked_ = true;
    return CC_NORM;
  }
  if (at == text.size()) return Refuse();
  const size_t end = ClusterEnd(text, at + 1);
  el_cursor(el, static_cast<int>(end - at));
  el_deletestr(el, static_cast<int>(end - at));
  return CC_REFRESH;
}

unsigned char LineEditor::HistoryBack(editline* el, int) {
  LineEditor* self = Owner(el);
  if (self->historyPos_ == 0) return Refuse();
  if (self->historyPos_ == self->history_.size()) self->draft_ = self->Text();
  self->Replace(self->history_[--self->historyPos_]);
  return CC_REFRESH;
}

unsigned char LineEditor::HistoryForward(editline* el, int) {
  LineEditor* self = Owner(el);
  if (self->historyPos_ >= self->history_.size()) return Refuse();
  ++self->historyPos_;
  bool draft = self->historyPos_ == self->history_.size();
  self->Replace(draft ? self->draft_ : self->history_[self->historyPos_]);
  return CC_REFRESH;
}

// Ctrl-L: the screen cleared, the input line at its top.
unsigned char LineEditor::ClearScreen(editline* el, int) {
  LineEditor* self = Owner(el);
  Write("\x1b[H\x1b[2J");
  self->shown_ = false;
  return CC_REFRESH;
}

// libedit's key source: keys already come, or, within a binding that wants
// more keys, those still to come.
int LineEditor::GetKey(editline* el, wchar_t* key) {
  LineEditor* self = Owner(el);
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
  char buf[4096];
  long got = ReadFd(0, buf, sizeof buf);
  if (got <= 0) return false;
  input_.Append(buf, static_cast<size_t>(got));
  if (!TakeEscape()) Process();
  if (Active()) Redraw();
  return !ended_;
}

bool LineEditor::TakeEscape() {
  if (!hooks_.escape || !input_.LoneEscape()) return false;
  if (PollFd(0, false, Deadline::In(kEscapeWaitMs)) != PollResult::kTimeout || !hooks_.escape())
    return false;
  input_.Clear();
  return true;
}

void LineEditor::Process() {
  while (Active()) {
    if (input_.Pasting()) {
      std::vector<std::string> lines;
      std::string rest;
      bool ended = input_.TakePaste(lines, rest);
      HandPaste(lines, rest);
      if (!ended) return;  // the rest of the paste is still to come
    }
    RunKeys();
    if (!input_.EnterPaste()) return;
  }
}

void LineEditor::RunKeys() {
  while (Active() && input_.HasKey()) {
    int count = 0;
    const size_t before = Cursor();
    el_wgets(el_.get(), &count);  // one key binding's worth
    KeepCursorOnCluster(before);
    Dispatch();
  }
}

void LineEditor::Dispatch() {
  std::vector<std::pair<std::string, bool>> lines;
  lines.swap(accepted_);
  for (const auto& [line, typed] : lines) {
    std::string back = hooks_.line(line, typed);
    if (!back.empty()) PutBack(back, !typed);
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
void LineEditor::HandPaste(const std::vector<std::string>& lines, const std::string& rest) {
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
}

// From the cursor's row up to the prompt's, and all below: the input line
// gone, the cursor where it began. The terminal may have been resized since
// the line was drawn: it has kept the rows, or (narrower, as most do)
// rewrapped each by itself, and the cursor's row is known either way, so
// nothing above the line is erased.
void LineEditor::Erase() {
  if (!shown_) return;
  Write(Up(CursorRowAt(drawn_, Columns())) + "\r\x1b[J");
  shown_ = false;
}

// The prompt and the line from where the cursor is, the start of a clear
// row; each row of the layout on a line of its own. The cursor is put in
// place by writing its row again up to it, so that it stands where this
// terminal draws the text before it, however wide it takes a cluster to be.
void LineEditor::Draw() {
  if (!Active() || suspended_ || shown_) return;
  drawn_ = LayOutLine(prompt_, WideText(), Cursor(), Columns());
  std::string out;
  for (size_t r = 0; r < drawn_.rows.size(); ++r)
    out += (r == 0 ? "" : "\r\n") + drawn_.rows[r];
  const int last = static_cast<int>(drawn_.rows.size()) - 1;
  if (drawn_.cursorRow != last || drawn_.beforeCursor != drawn_.rows.back())
    out += "\r" + Up(last - drawn_.cursorRow) + drawn_.beforeCursor;
  Write(out);
  shown_ = true;
}

void LineEditor::Redraw() {
  Erase();
  Draw();
  std::fflush(stdout);
}

void LineEditor::Print(const std::string& text) {
  if (!Active() || suspended_) {
    Write(text);
    std::fflush(stdout);
    return;
  }
  Erase();
  Write(text);
  Draw();
  std::fflush(stdout);
}

void LineEditor::SetPrompt(const std::string& prompt) {
  if (prompt == prompt_) return;
  prompt_ = prompt;
  Redraw();
}

void LineEditor::FollowWindowSize() {
  if (Active() && !suspended_ && shown_ && Columns() != drawn_.cols) Redraw();
}

}  // namespace saferoom
