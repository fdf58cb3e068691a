// How the input line looks on a terminal: grapheme clusters and the cells
// each takes (both from utf8proc), rows of a given width, the cursor's
// place, and where a resize leaves the cursor. No I/O. Used by LineEditor.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace saferoom {

// Where the grapheme cluster that holds code point `at` of `text` begins,
// and where it ends: `at` itself when a cluster begins there. A cursor is
// kept on these boundaries, so that it never stands inside a family emoji or
// between a letter and its accent.
size_t ClusterStart(const std::wstring& text, size_t at);
size_t ClusterEnd(const std::wstring& text, size_t at);

// The prompt and the input line, laid out in rows of at most `cols` cells,
// a cluster never split between two rows. Each row is written on a line of
// its own (CR LF between rows, never the terminal's own wrap): a terminal
// made wider keeps the rows as they were, and one made narrower that
// rewraps lines splits each row by itself, which CursorRowAt can follow.
struct LineLayout {
  int cols = 0;
  std::vector<std::string> rows;         // the UTF-8 each row writes
  std::vector<std::vector<int>> widths;  // the cells of each of a row's clusters
  int cursorRow = 0;
  size_t cursorCluster = 0;  // clusters of the cursor's row before the cursor
  std::string beforeCursor;  // what the cursor's row writes before the cursor
};

// `prompt` (UTF-8), then `text` with the cursor before its code point
// `cursor` (at the start of the cluster that holds it). A cluster takes the
// most cells any terminal gives it (a family emoji 6: the three people, on
// terminals that do not join them), so that no row ever runs past `cols`;
// one that would act on the terminal (a control, a mark that turns the
// text's direction) is shown escaped, as SafeText shows it.
LineLayout LayOutLine(const std::string& prompt, const std::wstring& text, size_t cursor, int cols);

// The row of `drawn` (from its first, 0) that the cursor is on once the
// terminal is `cols` wide. Wider, every row stays. Narrower, a terminal that
// rewraps lines (as most do) splits each row by itself, a cluster that does
// not fit going to the next row; one that cuts rows instead leaves the
// cursor on its row, which this cannot tell, and is taken to rewrap.
int CursorRowAt(const LineLayout& drawn, int cols);

}  // namespace saferoom
