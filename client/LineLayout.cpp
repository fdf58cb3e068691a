// Grapheme clusters, their cells and the rows of the input line.
#include "client/LineLayout.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>

#include "protect/SafeText.h"

namespace saferoom {

namespace {

constexpr int32_t kEmojiPresentation = 0xfe0f;  // VS16: drawn as an emoji, two cells
constexpr int32_t kReplacement = 0xfffd;

// Where each cluster of `cps` begins, then cps.size().
std::vector<size_t> ClusterStarts(const std::vector<int32_t>& cps) {
  std::vector<size_t> starts;
  utf8proc_int32_t state = 0;
  for (size_t i = 0; i < cps.size(); ++i) {
    if (i == 0 || utf8proc_grapheme_break_stateful(cps[i - 1], cps[i], &state)) starts.push_back(i);
  }
  starts.push_back(cps.size());
  return starts;
}

std::vector<int32_t> CodePoints(const std::wstring& text) {
  std::vector<int32_t> cps;
  for (wchar_t c : text) {
    const auto cp = static_cast<int32_t>(c);
    cps.push_back(utf8proc_codepoint_valid(cp) ? cp : kReplacement);
  }
  return cps;
}

std::vector<int32_t> CodePoints(const std::string& utf8) {
  std::vector<int32_t> cps;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(utf8.data());
  for (size_t at = 0; at < utf8.size();) {
    utf8proc_int32_t cp = 0;
    utf8proc_ssize_t len =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(utf8.size() - at), &cp);
    if (len <= 0) {
      cp = kReplacement;
      len = 1;
    }
    cps.push_back(cp);
    at += static_cast<size_t>(len);
  }
  return cps;
}

// The UTF-8 a cluster writes, and its cells: the most any terminal gives it
// (the sum of its code points', an emoji-presentation selector making one
// narrow character two). A control or a direction mark is always a cluster
// of its own, shown escaped.
int Glyph(const std::vector<int32_t>& cps, size_t from, size_t to, std::string& out) {
  std::string utf8;
  int cells = 0;
  bool emoji = false;
  for (size_t i = from; i < to; ++i) {
    utf8proc_uint8_t bytes[4];
    utf8.append(reinterpret_cast<char*>(bytes),
                static_cast<size_t>(utf8proc_encode_char(cps[i], bytes)));
    cells += std::max(0, utf8proc_charwidth(cps[i]));
    emoji = emoji || cps[i] == kEmojiPresentation;
  }
  const std::string shown = SafeText(utf8);
  if (shown != utf8) {
    out += shown;
    return static_cast<int>(shown.size());  // \xNN: ASCII
  }
  out += utf8;
  return emoji && cells == 1 ? 2 : cells;
}

// Rows that `widths` take at `cols`, greedily, a cluster never split; with
// `cursorAfter`, the row of a cursor after the first `count` of them.
int Rows(const std::vector<int>& widths, size_t count, int cols, bool cursorAfter) {
  int rows = 1, used = 0;
  for (size_t i = 0; i < count; ++i) {
    if (used > 0 && used + widths[i] > cols) {
      ++rows;
      used = 0;
    }
    used += widths[i];
  }
  // A cursor at the end of a full row stands at the start of the next, when
  // the row goes on there.
  if (cursorAfter && used >= cols && count < widths.size()) ++rows;
  return rows;
}

}  // namespace

size_t ClusterStart(const std::wstring& text, size_t at) {
  const std::vector<size_t> starts = ClusterStarts(CodePoints(text));
  return *std::prev(std::upper_bound(starts.begin(), starts.end(), std::min(at, text.size())));
}

size_t ClusterEnd(const std::wstring& text, size_t at) {
  const std::vector<size_t> starts = ClusterStarts(CodePoints(text));
  return *std::lower_bound(starts.begin(), starts.end(), std::min(at, text.size()));
}

LineLayout LayOutLine(const std::string& prompt, const std::wstring& text, size_t cursor,
                      int cols) {
  LineLayout out;
  out.cols = std::max(1, cols);
  out.rows.emplace_back();
  out.widths.emplace_back();
  int used = 0;
  auto newRow = [&] {
    out.rows.emplace_back();
    out.widths.emplace_back();
    used = 0;
  };
  // The cursor, when it stands before this cluster, goes with it to the
  // next row.
  auto place = [&](const std::vector<int32_t>& cps, size_t from, size_t to, bool cursorHere) {
    std::string glyph;
    const int cells = Glyph(cps, from, to, glyph);
    if (used > 0 && used + cells > out.cols) newRow();
    if (cursorHere) {
      out.cursorRow = static_cast<int>(out.rows.size()) - 1;
      out.cursorCluster = out.widths.back().size();
      out.beforeCursor = out.rows.back();
    }
    out.rows.back() += glyph;
    out.widths.back().push_back(cells);
    used += cells;
  };
  const std::vector<int32_t> promptCps = CodePoints(prompt);
  const std::vector<size_t> promptStarts = ClusterStarts(promptCps);
  for (size_t c = 0; c + 1 < promptStarts.size(); ++c)
    place(promptCps, promptStarts[c], promptStarts[c + 1], false);

  const std::vector<int32_t> cps = CodePoints(text);
  const std::vector<size_t> starts = ClusterStarts(cps);
  bool placed = false;  // the cursor
  for (size_t c = 0; c + 1 < starts.size(); ++c) {
    const bool here = !placed && starts[c + 1] > cursor;
    place(cps, starts[c], starts[c + 1], here);
    placed = placed || here;
  }
  if (!placed) {
    // At the end, after a full row: at the start of a row of its own.
    if (used >= out.cols) newRow();
    out.cursorRow = static_cast<int>(out.rows.size()) - 1;
    out.cursorCluster = out.widths.back().size();
    out.beforeCursor = out.rows.back();
  }
  return out;
}

int CursorRowAt(const LineLayout& drawn, int cols) {
  cols = std::max(1, cols);
  if (cols >= drawn.cols) return drawn.cursorRow;
  int row = 0;
  for (int r = 0; r < drawn.cursorRow; ++r)
    row += Rows(drawn.widths[r], drawn.widths[r].size(), cols, false);
  const std::vector<int>& at = drawn.widths[drawn.cursorRow];
  return row + Rows(at, drawn.cursorCluster, cols, true) - 1;
}

}  // namespace saferoom
