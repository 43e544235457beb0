// SPDX-License-Identifier: MIT
#include "inifile.h"

#include <QFile>
#include <QFileInfo>
#include <cstring>
#include <deque>
#include <string_view>
#include <vector>

#include "savefile.h"
#include "types.h"

namespace {

enum class Kind : uint8_t { Other, Section, Key };

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

std::string Quote(const std::string& v) {
  if (v.empty()) return v;
  const bool blanks = IsBlank(v.front()) || IsBlank(v.back());
  const bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  return blanks || quoted ? '"' + v + '"' : v;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

QString LocalPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

// The file as read, split into lines that are parsed once. Lines point into
// the bytes read or into texts written since; nothing is copied, so lines not
// touched are stored again byte for byte.
struct TIniFile::Document {
  enum Eol : uint8_t { kNone, kLf, kCrLf };
  struct Line {
    std::string_view text;  // without its line ending
    std::string_view name;  // section or key name, trimmed
    Eol eol = kNone;
    Kind kind = Kind::Other;
  };

  std::string original;           // the file's bytes
  bool readable = true;           // false: the file exists but could not be read
  bool changed = false;
  std::vector<Line> lines;
  std::deque<std::string> added;  // texts of lines written since (stable addresses)

  explicit Document(const std::string& path) {
    Read(path);
    Split();
  }

  // A missing file is empty. Anything else that is not a readable regular
  // file reads as empty and may not be replaced.
  void Read(const std::string& path) {
    const QFileInfo info(LocalPath(path));
    if (!info.exists()) return;
    QFile file(LocalPath(path));
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
      readable = false;
      return;
    }
    original.resize(static_cast<size_t>(file.size()));
    const qint64 n = file.read(original.data(), static_cast<qint64>(original.size()));
    if (n < 0 || file.error() != QFileDevice::NoError) {
      original.clear();
      readable = false;
      return;
    }
    original.resize(static_cast<size_t>(n));
    // A file that grew while being read (not a normal case): take the rest too.
    const QByteArray rest = file.readAll();
    original.append(rest.constData(), static_cast<size_t>(rest.size()));
  }

  static Line Parse(std::string_view text, Eol eol) {
    Line line{text, {}, eol, Kind::Other};
    const std::string_view t = Trim(text);
    if (t.empty() || t[0] == ';' || t[0] == '#') return line;
    if (t[0] == '[') {
      const size_t close = t.find(']');
      if (close != std::string_view::npos) {
        line.kind = Kind::Section;
        line.name = Trim(t.substr(1, close - 1));
      }
      return line;
    }
    const size_t eq = t.find('=');
    if (eq == std::string_view::npos) return line;
    line.kind = Kind::Key;
    line.name = Trim(t.substr(0, eq));
    return line;
  }

  void Split() {
    const char* data = original.data();
    const size_t size = original.size();
    size_t count = 1;
    for (const char* p = data; (p = static_cast<const char*>(memchr(p, '\n', size - size_t(p - data)))); ++p) ++count;
    lines.reserve(count);
    size_t pos = 0;
    while (pos < size) {
      const char* nl = static_cast<const char*>(memchr(data + pos, '\n', size - pos));
      if (nl == nullptr) {
        lines.push_back(Parse(std::string_view(data + pos, size - pos), kNone));
        break;
      }
      const size_t end = size_t(nl - data);
      if (end > pos && data[end - 1] == '\r')
        lines.push_back(Parse(std::string_view(data + pos, end - 1 - pos), kCrLf));
      else
        lines.push_back(Parse(std::string_view(data + pos, end - pos), kLf));
      pos = end + 1;
    }
  }

  // Index of the first header naming `section`, or -1; `end` is the index of
  // the next header (or the line count).
  long FindSection(std::string_view section, size_t& end) const {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].kind != Kind::Section || !SameName(lines[i].name, section)) continue;
      end = i + 1;
      while (end < lines.size() && lines[end].kind != Kind::Section) ++end;
      return static_cast<long>(i);
    }
    end = lines.size();
    return -1;
  }

  // The first key of that name in the first section of that name, or null.
  const Line* Find(std::string_view section, std::string_view key) const {
    size_t end = 0;
    const long start = FindSection(section, end);
    if (start < 0) return nullptr;
    for (size_t i = static_cast<size_t>(start) + 1; i < end; ++i)
      if (lines[i].kind == Kind::Key && SameName(lines[i].name, key)) return &lines[i];
    return nullptr;
  }

  Line NewLine(std::string text, Eol eol) { return Parse(added.emplace_back(std::move(text)), eol); }

  void Write(std::string_view section, std::string_view key, std::string text) {
    const Eol eol = !lines.empty() && lines.front().eol != kNone ? lines.front().eol : kLf;
    size_t end = 0;
    const long start = FindSection(section, end);
    if (start < 0) {
      changed = true;
      if (!lines.empty() && lines.back().eol == kNone) lines.back().eol = eol;
      lines.push_back(NewLine("[" + std::string(section) + "]", eol));
      lines.push_back(NewLine(std::move(text), eol));
      return;
    }
    size_t last = static_cast<size_t>(start);  // the header, or the last key line
    for (size_t i = last + 1; i < end; ++i) {
      if (lines[i].kind != Kind::Key) continue;
      if (SameName(lines[i].name, key)) {
        // The same line again changes nothing: a file whose keys all stay
        // as they are is not stored again.
        if (lines[i].text == text) return;
        lines[i] = NewLine(std::move(text), lines[i].eol);
        changed = true;
        return;
      }
      last = i;
    }
    changed = true;
    if (lines[last].eol == kNone) lines[last].eol = eol;
    lines.insert(lines.begin() + static_cast<long>(last) + 1, NewLine(std::move(text), eol));
  }

  std::string Content() const {
    static constexpr std::string_view kEol[] = {"", "\n", "\r\n"};
    size_t size = 0;
    for (const Line& l : lines) size += l.text.size() + kEol[l.eol].size();
    std::string data;
    data.reserve(size);
    for (const Line& l : lines) {
      data.append(l.text);
      data.append(kEol[l.eol]);
    }
    return data;
  }

  void Store(const std::string& path) const {
    if (!SaveFileContent(path, Content(), original)) throw EIniFileError(path);
  }
};

TIniFile::TIniFile(std::string path) : path_(std::move(path)) {}

TIniFile::~TIniFile() = default;

void TIniFile::BeginUpdate() { batch_ = std::make_unique<Document>(path_); }

void TIniFile::EndUpdate() {
  const std::unique_ptr<Document> doc = std::move(batch_);
  if (doc && doc->changed) doc->Store(path_);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  std::unique_ptr<Document> own;
  if (!batch_) own = std::make_unique<Document>(path_);
  const Document& doc = batch_ ? *batch_ : *own;
  const Document::Line* line = doc.Find(Trim(section), Trim(key));
  std::string result = def;
  if (line != nullptr) {
    const std::string_view t = line->text;
    result = Unquote(Trim(t.substr(t.find('=') + 1)));
  }
  if (result.size() > kMaxValueLength) result.resize(kMaxValueLength);
  return result;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, int32_t def) const {
  int32_t value = 0;
  return TextToInt(ReadString(section, key, ""), value) ? value : def;
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  const std::string_view sec = Trim(section);
  const std::string_view name = Trim(key);
  // Names that could not be read back as the same section and key.
  if (HasLineBreak(sec) || sec.find(']') != std::string_view::npos || HasLineBreak(name) ||
      name.find('=') != std::string_view::npos ||
      (!name.empty() && (name[0] == '[' || name[0] == ';' || name[0] == '#')))
    throw EIniFileError(path_);
  std::string line = std::string(name) + "=" + Quote(value.substr(0, value.find_first_of("\r\n")));

  std::unique_ptr<Document> own;
  if (!batch_) own = std::make_unique<Document>(path_);
  Document& doc = batch_ ? *batch_ : *own;
  // A write must not replace what it could not read.
  if (!doc.readable) throw EIniFileError(path_);
  doc.Write(sec, name, std::move(line));
  if (own && doc.changed) doc.Store(path_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}
