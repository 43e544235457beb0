// TIniFile: private-profile (INI) files, one key per call.
//
// Format: "[Section]" headers and "Key=Value" lines. Section and key names
// match without regard to ASCII letter case; blanks around names and around
// "=" are ignored on reading. Lines beginning with ";" or "#" are comments.
// Lines that are not understood are kept byte for byte by every write. With a
// duplicated section or key, the first one is read and written.
//
// Values are byte strings, no encoding applied. A value with leading or
// trailing blanks, or one enclosed in a pair of equal quotes, is written in
// double quotes; reading removes one pair of enclosing equal quotes, so every
// single-line value comes back as written. A value is one line: it is cut at
// its first CR or LF.
//
// Each call reads the whole file (settings files are tiny); reading never
// creates it. Each write replaces the file atomically (temporary file in the
// same folder, then rename) and keeps its line ending: LF for a new file, CRLF
// when the file's first line ends in CRLF.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// A write that could not be completed: "Unable to write to <path>".
class EIniFileError : public std::runtime_error {
 public:
  explicit EIniFileError(const std::string& path) : std::runtime_error("Unable to write to " + path) {}
};

class TIniFile {
 public:
  // At most this many bytes of a value come back from ReadString.
  static constexpr size_t kMaxValueLength = 2047;

  explicit TIniFile(std::string path) : path_(std::move(path)) {}

  const std::string& FileName() const { return path_; }

  // The value, or `def` when the file, section or key is missing; cut to
  // kMaxValueLength bytes.
  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  // Decimal, or hexadecimal after "0x", "0X" or "$"; missing or not a number: `def`.
  int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
  // Read as an integer: any value other than 0 is true.
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  // Replaces the key in place, or appends it after the last key of its
  // section, creating the section (at the end) and the file as needed.
  // Throws EIniFileError when the file cannot be written or the names cannot
  // be stored (a line break, a "]" in the section, "=" in the key...).
  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, int32_t value);
  // "1" or "0".
  void WriteBool(const std::string& section, const std::string& key, bool value);

 private:
  std::string path_;
};
