// SPDX-License-Identifier: MIT
#include "registry.h"

#include "settingslocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <vector>

namespace {

std::string& RootFolderOverride() {
  static std::string folder;
  return folder;
}

const char* RootName(uint32_t root) {
  switch (root) {
    case HKEY_CURRENT_USER: return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    default: return nullptr;
  }
}

QString Local(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The key path's components; false when one of them is refused.
bool SplitKey(const std::string& path, std::vector<std::string>& parts) {
  size_t pos = 0;
  while (pos < path.size()) {
    size_t sep = path.find('\\', pos);
    if (sep == std::string::npos) sep = path.size();
    const std::string part = path.substr(pos, sep - pos);
    if (part.empty() || part[0] == '.' || part.find('/') != std::string::npos ||
        part.find('\0') != std::string::npos)
      return false;
    parts.push_back(part);
    pos = sep + 1;
  }
  return true;
}

// The existing subfolder of `dir` named `name` in any letter case, or "".
std::string FindFolder(const QDir& dir, const std::string& name) {
  const QFileInfo exact(dir, Local(name));
  if (exact.exists()) return exact.isDir() && !exact.isSymLink() ? name : std::string();
  const QFileInfoList entries = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
  for (const QFileInfo& e : entries)
    if (!e.isSymLink() && SameName(Native(e.fileName()), name)) return Native(e.fileName());
  return {};
}

struct Value {
  std::string type;  // "sz", "dword" or a type this accessor does not read
  std::string name;
  std::string data;  // the text, or the decimal pattern of a dword
};

bool ParseDword(const std::string& s, uint32_t& out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

std::vector<Value> LoadValues(const std::string& file, bool& readable) {
  std::vector<Value> values;
  readable = true;
  const QFileInfo info(Local(file));
  if (!info.exists()) return values;
  QFile f(Local(file));
  if (!info.isFile() || !f.open(QIODevice::ReadOnly)) {
    readable = false;
    return values;
  }
  const QList<QByteArray> lines = f.readAll().split('\n');
  for (const QByteArray& line : lines) {
    const qsizetype colon = line.indexOf(':');
    const qsizetype eq = line.indexOf('=', colon + 1);
    if (colon <= 0 || eq < 0) continue;
    Value v;
    v.type = line.left(colon).toStdString();
    v.name = QByteArray::fromPercentEncoding(line.mid(colon + 1, eq - colon - 1)).toStdString();
    const QByteArray data = line.mid(eq + 1).trimmed();
    if (v.type == "dword") {
      uint32_t dw = 0;
      if (!ParseDword(data.toStdString(), dw)) continue;
      v.data = data.toStdString();
    } else {
      v.data = QByteArray::fromPercentEncoding(data).toStdString();
    }
    values.push_back(std::move(v));
  }
  return values;
}

const Value* Find(const std::vector<Value>& values, const std::string& name) {
  for (const Value& v : values)
    if (SameName(v.name, name)) return &v;
  return nullptr;
}

}  // namespace

void TRegistry::SetRootFolder(const std::string& folder) { RootFolderOverride() = folder; }

std::string TRegistry::RootFolder() {
  if (!RootFolderOverride().empty()) return RootFolderOverride();
  const std::string exe = ExecutableFolder();
  return SettingsLocation(exe.empty() ? exe : exe + "/registry", "registry");
}

void TRegistry::SetRootKey(uint32_t root) {
  CloseKey();
  rootKey_ = root;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  const char* rootName = RootName(rootKey_);
  if (rootName == nullptr) return false;
  std::string path = key;
  std::vector<std::string> parts;
  if (!path.empty() && path.front() == '\\') {
    path.erase(0, 1);
  } else if (HasOpenKey() && !SplitKey(currentPath_, parts)) {
    return false;
  }
  if (!path.empty() && path.back() == '\\') path.pop_back();
  if (!SplitKey(path, parts)) return false;

  QDir dir(Local(RootFolder() + "/" + rootName));
  if (!dir.exists() && !(canCreate && QDir().mkpath(dir.path()))) return false;
  std::string resolved;
  for (const std::string& part : parts) {
    std::string name = FindFolder(dir, part);
    if (name.empty()) {
      if (!canCreate || QFileInfo(dir, Local(part)).exists() || !dir.mkdir(Local(part))) return false;
      name = part;
    }
    if (!dir.cd(Local(name))) return false;
    resolved += (resolved.empty() ? "" : "\\") + name;
  }
  currentKey_ = Native(dir.path());
  currentPath_ = resolved;
  return true;
}

void TRegistry::CloseKey() {
  currentKey_.clear();
  currentPath_.clear();
}

std::string TRegistry::CurrentPath() const { return currentPath_; }

bool TRegistry::ValueExists(const std::string& name) const {
  if (!HasOpenKey()) return false;
  bool readable = false;
  return Find(LoadValues(currentKey_ + "/.values", readable), name) != nullptr;
}

void TRegistry::Write(const std::string& name, const std::string& type, const std::string& data) {
  const std::string error = "Failed to set data for '" + name + "'";
  if (!HasOpenKey()) throw ERegistryException(error);
  const std::string file = currentKey_ + "/.values";
  bool readable = false;
  std::vector<Value> values = LoadValues(file, readable);
  if (!readable) throw ERegistryException(error);
  bool replaced = false;
  for (Value& v : values) {
    if (SameName(v.name, name)) {
      v = {type, v.name, data};
      replaced = true;
      break;
    }
  }
  if (!replaced) values.push_back({type, name, data});

  QByteArray out;
  for (const Value& v : values) {
    out += QByteArray::fromStdString(v.type) + ':' + QByteArray::fromStdString(v.name).toPercentEncoding() + '=';
    out += v.type == "dword" ? QByteArray::fromStdString(v.data) : QByteArray::fromStdString(v.data).toPercentEncoding();
    out += '\n';
  }
  QSaveFile f(Local(file));
  if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered) || f.write(out) != out.size() || !f.commit()) throw ERegistryException(error);
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  Write(name, "sz", value.substr(0, value.find('\0')));
}

void TRegistry::WriteInteger(const std::string& name, int32_t value) {
  Write(name, "dword", std::to_string(static_cast<uint32_t>(value)));
}

std::string TRegistry::ReadString(const std::string& name) const {
  if (!HasOpenKey()) return {};
  bool readable = false;
  const std::vector<Value> values = LoadValues(currentKey_ + "/.values", readable);
  const Value* v = Find(values, name);
  if (v == nullptr) return {};
  if (v->type != "sz" && v->type != "expand_sz") throw ERegistryException("Invalid data type for '" + name + "'");
  return v->data;
}

int32_t TRegistry::ReadInteger(const std::string& name) const {
  const std::string missing = "Failed to get data for '" + name + "'";
  if (!HasOpenKey()) throw ERegistryException(missing);
  bool readable = false;
  const std::vector<Value> values = LoadValues(currentKey_ + "/.values", readable);
  const Value* v = Find(values, name);
  if (v == nullptr) throw ERegistryException(missing);
  if (v->type != "dword") throw ERegistryException("Invalid data type for '" + name + "'");
  uint32_t dw = 0;
  ParseDword(v->data, dw);
  return static_cast<int32_t>(dw);
}
