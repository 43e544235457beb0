#include "inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <vector>

#include "types.h"

namespace {

struct Line {
  std::string text;  // without its line ending
  std::string eol;   // "\n", "\r\n" or "" for a last line with no ending
};

enum class Kind { Other, Section, Key };

struct Parsed {
  Kind kind = Kind::Other;
  std::string name;   // section or key name, trimmed
  std::string value;  // key value, trimmed
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

Parsed Parse(const Line& line) {
  Parsed p;
  const std::string t = Trim(line.text);
  if (t.empty() || t[0] == ';' || t[0] == '#') return p;
  if (t[0] == '[') {
    const size_t close = t.find(']');
    if (close != std::string::npos) {
      p.kind = Kind::Section;
      p.name = Trim(t.substr(1, close - 1));
    }
    return p;
  }
  const size_t eq = t.find('=');
  if (eq == std::string::npos) return p;
  p.kind = Kind::Key;
  p.name = Trim(t.substr(0, eq));
  p.value = Trim(t.substr(eq + 1));
  return p;
}

std::vector<Line> Split(const std::string& data) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t nl = data.find('\n', pos);
    if (nl == std::string::npos) {
      lines.push_back({data.substr(pos), ""});
      break;
    }
    if (nl > pos && data[nl - 1] == '\r')
      lines.push_back({data.substr(pos, nl - 1 - pos), "\r\n"});
    else
      lines.push_back({data.substr(pos, nl - pos), "\n"});
    pos = nl + 1;
  }
  return lines;
}

QString LocalPath(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

// The file's bytes; a missing file is empty. Anything else that is not a
// readable regular file reads as empty, or throws when `strict` (a write must
// not replace what it could not read).
std::string Load(const std::string& path, bool strict) {
  const QFileInfo info(LocalPath(path));
  if (!info.exists()) return {};
  QFile file(LocalPath(path));
  if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
    if (strict) throw EIniFileError(path);
    return {};
  }
  const QByteArray bytes = file.readAll();
  if (strict && file.error() != QFileDevice::NoError) throw EIniFileError(path);
  return bytes.toStdString();
}

// Index of the first header naming `section`, or -1; `end` is the index of
// the next header (or the line count).
long FindSection(const std::vector<Line>& lines, const std::string& section, size_t& end) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const Parsed p = Parse(lines[i]);
    if (p.kind != Kind::Section || !SameName(p.name, section)) continue;
    end = i + 1;
    while (end < lines.size() && Parse(lines[end]).kind != Kind::Section) ++end;
    return static_cast<long>(i);
  }
  end = lines.size();
  return -1;
}

std::string Unquote(const std::string& v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    return v.substr(1, v.size() - 2);
  return v;
}

std::string Quote(const std::string& v) {
  if (v.empty()) return v;
  const bool blanks = IsBlank(v.front()) || IsBlank(v.back());
  const bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
  return blanks || quoted ? '"' + v + '"' : v;
}

bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  const std::vector<Line> lines = Split(Load(path_, false));
  size_t end = 0;
  const long start = FindSection(lines, Trim(section), end);
  std::string result = def;
  if (start >= 0) {
    const std::string name = Trim(key);
    for (size_t i = static_cast<size_t>(start) + 1; i < end; ++i) {
      const Parsed p = Parse(lines[i]);
      if (p.kind == Kind::Key && SameName(p.name, name)) {
        result = Unquote(p.value);
        break;
      }
    }
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
  const std::string sec = Trim(section);
  const std::string name = Trim(key);
  // Names that could not be read back as the same section and key.
  if (HasLineBreak(sec) || sec.find(']') != std::string::npos || HasLineBreak(name) ||
      name.find('=') != std::string::npos ||
      (!name.empty() && (name[0] == '[' || name[0] == ';' || name[0] == '#')))
    throw EIniFileError(path_);
  const std::string line = name + "=" + Quote(value.substr(0, value.find_first_of("\r\n")));

  std::vector<Line> lines = Split(Load(path_, true));
  const std::string eol = !lines.empty() && !lines.front().eol.empty() ? lines.front().eol : "\n";
  size_t end = 0;
  const long start = FindSection(lines, sec, end);
  if (start < 0) {
    if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
    lines.push_back({"[" + sec + "]", eol});
    lines.push_back({line, eol});
  } else {
    size_t last = static_cast<size_t>(start);  // the header, or the last key line
    bool replaced = false;
    for (size_t i = last + 1; i < end && !replaced; ++i) {
      const Parsed p = Parse(lines[i]);
      if (p.kind != Kind::Key) continue;
      if (SameName(p.name, name)) {
        lines[i].text = line;
        replaced = true;
      }
      last = i;
    }
    if (!replaced) {
      if (lines[last].eol.empty()) lines[last].eol = eol;
      lines.insert(lines.begin() + static_cast<long>(last) + 1, Line{line, eol});
    }
  }

  std::string data;
  for (const Line& l : lines) data += l.text + l.eol;
  // Unbuffered, so that a short write (a full disk, a size limit) is seen
  // here and the old file stays instead of being replaced by a cut one.
  QSaveFile file(LocalPath(path_));
  const auto size = static_cast<qint64>(data.size());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || file.write(data.data(), size) != size ||
      !file.commit())
    throw EIniFileError(path_);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}
