// SPDX-License-Identifier: MIT
// Finding text in the receive pane: a plain scan of the byte lines, at most
// once round the pane, so a search over 100 000 lines takes milliseconds.
#include <QScrollBar>
#include <algorithm>
#include <array>

#include "linepane.h"

namespace {

// Latin-1 letters folded to lower case, for searches that ignore case.
const std::array<uint8_t, 256>& FoldTable() {
  static const std::array<uint8_t, 256> table = [] {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) t[size_t(b)] = uint8_t(QChar(char16_t(b)).toLower().unicode() & 0xFF);
    return t;
  }();
  return table;
}

}  // namespace

bool LinePane::Find(const QString& text, bool backwards, bool caseSensitive) {
  const std::string needle = text.toLatin1().toStdString();
  const int count = LineCount();
  if (needle.empty() || count == 0) return false;
  const std::array<uint8_t, 256>& fold = FoldTable();
  auto same = [&](char a, char b) {
    return caseSensitive ? a == b : fold[uint8_t(a)] == fold[uint8_t(b)];
  };
  Position from = anchor_, to = cursor_;
  if (to.line < from.line || (to.line == from.line && to.column < from.column)) std::swap(from, to);
  // Forward from the selection's end, backward from its start.
  Position start = backwards ? from : to;
  start.line = std::clamp(start.line, 0, count - 1);
  for (int step = 0; step <= count; ++step) {
    const int index = backwards ? (start.line - step + count) % count : (start.line + step) % count;
    const std::string& line = Line(index);
    std::string::const_iterator found = line.end();
    if (!backwards) {
      const size_t begin = step == 0 ? std::min(start.column, line.size()) : 0;
      found = std::search(line.begin() + std::ptrdiff_t(begin), line.end(), needle.begin(), needle.end(), same);
    } else {
      const size_t end = step == 0 ? std::min(start.column, line.size()) : line.size();
      const auto stop = line.begin() + std::ptrdiff_t(end);
      found = std::find_end(line.begin(), stop, needle.begin(), needle.end(), same);
      if (found == stop) found = line.end();
    }
    if (found == line.end()) continue;
    const size_t column = size_t(found - line.begin());
    Select(Position{index, column}, Position{index, column + needle.size()});
    EnsureVisible(cursor_);
    // Sideways, the match's start comes into view when it is outside.
    const qreal x = ColumnX(line, column);
    if (x < 0 || x + CharWidth() * qreal(needle.size()) > viewport()->width()) {
      QScrollBar* h = horizontalScrollBar();
      h->setValue(h->value() + int(x) - viewport()->width() / 3);
    }
    return true;
  }
  return false;
}
