// Keys and bracketed pastes from the terminal.
#include "client/TermInput.h"

#include <cstring>

namespace saferoom {

namespace {

constexpr char kPasteStart[] = "\x1b[200~";
constexpr char kPasteEnd[] = "\x1b[201~";

// How many bytes at the end of `data` begin `mark`, so that a mark split
// across reads is not taken for keys.
size_t MarkTail(const std::string& data, const char* mark) {
  size_t markLen = std::strlen(mark);
  for (size_t n = std::min(markLen - 1, data.size()); n > 0; --n) {
    if (data.compare(data.size() - n, n, mark, n) == 0) return n;
  }
  return 0;
}

}  // namespace

void TermInput::Append(const char* data, size_t len) {
  pending_.append(data, len);
}

void TermInput::Clear() {
  pending_.clear();
  keys_.clear();
  pasting_ = false;
  afterCr_ = false;
  line_.clear();
}

// Decodes the keys before a paste's start mark, and before bytes that may
// begin one or finish a character.
void TermInput::DecodeKeys() {
  if (pasting_) return;
  size_t stop = pending_.find(kPasteStart);
  if (stop == std::string::npos) stop = pending_.size() - MarkTail(pending_, kPasteStart);
  size_t at = 0;
  while (at < stop) {
    std::mbstate_t state = {};
    wchar_t key = 0;
    size_t n = std::mbrtowc(&key, pending_.data() + at, stop - at, &state);
    if (n == static_cast<size_t>(-2) && stop == pending_.size()) break;  // the rest comes later
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      ++at;  // not a character in this locale: dropped
      continue;
    }
    keys_.push_back(key);
    at += n == 0 ? 1 : n;
  }
  pending_.erase(0, at);
}

bool TermInput::HasKey() {
  if (keys_.empty()) DecodeKeys();
  return !keys_.empty();
}

bool TermInput::TakeKey(wchar_t& key) {
  if (!HasKey()) return false;
  key = keys_.front();
  keys_.pop_front();
  return true;
}

bool TermInput::EnterPaste() {
  if (!keys_.empty() || pasting_ || pending_.rfind(kPasteStart, 0) != 0) return false;
  pending_.erase(0, std::strlen(kPasteStart));
  pasting_ = true;
  return true;
}

bool TermInput::TakePaste(std::vector<std::string>& lines, std::string& rest) {
  if (!pasting_) return false;
  size_t end = pending_.find(kPasteEnd);
  size_t take = end != std::string::npos ? end : pending_.size() - MarkTail(pending_, kPasteEnd);
  for (size_t i = 0; i < take; ++i) {
    char c = pending_[i];
    const bool crlf = c == '\n' && afterCr_;  // one line end, even split across reads
    afterCr_ = c == '\r';
    if (crlf) continue;
    if (c == '\r' || c == '\n') {
      lines.push_back(line_);
      line_.clear();
    } else if (c == '\t') {
      line_ += ' ';
    } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
      line_ += c;
    }
  }
  pending_.erase(0, end != std::string::npos ? end + std::strlen(kPasteEnd) : take);
  if (end == std::string::npos) return false;
  pasting_ = false;
  afterCr_ = false;
  rest.swap(line_);
  line_.clear();
  return true;
}

}  // namespace saferoom
