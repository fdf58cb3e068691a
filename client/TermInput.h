// What a terminal sends, split into typed keys and bracketed pastes (which
// the terminal marks once asked to). No I/O. Used by LineEditor.
#pragma once

#include <cwchar>
#include <deque>
#include <string>
#include <vector>

namespace saferoom {

class TermInput {
 public:
  void Append(const char* data, size_t len);

  // Whether a whole key has come before the next paste (or the end of what
  // has come); keys are decoded as the locale says.
  bool HasKey();
  bool TakeKey(wchar_t& key);

  // At a paste's start mark: steps over it into the paste.
  bool EnterPaste();
  bool Pasting() const { return pasting_; }
  // While pasting: appends the whole lines pasted so far to `lines`. True
  // once the paste has ended, with its unfinished last line in `rest`. A
  // tab becomes a space and other control characters are dropped.
  bool TakePaste(std::vector<std::string>& lines, std::string& rest);

  // What has come is one Esc and nothing else: the Esc key, unless the rest
  // of a key sequence is still on its way. Held back, never taken as a key,
  // until more comes (it may begin a paste mark).
  bool LoneEscape() const { return pending_ == "\x1b" && keys_.empty() && !pasting_; }

  // Nothing held: no key, paste or partial character or mark.
  bool Empty() const { return pending_.empty() && keys_.empty() && !pasting_; }
  void Clear();

 private:
  void DecodeKeys();

  std::string pending_;       // come, not yet decoded
  std::deque<wchar_t> keys_;  // decoded
  bool pasting_ = false;      // between the paste's start and end marks
  std::string line_;          // the pasted line so far
  bool afterCr_ = false;      // the last pasted byte was CR
};

}  // namespace saferoom
