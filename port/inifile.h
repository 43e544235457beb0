// SPDX-License-Identifier: MIT
// TIniFile: private-profile (INI) files, one key per call or in one batch.
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
// Outside a batch each call reads the whole file, and each write stores it
// again; reading never creates it. Between BeginUpdate and EndUpdate the file
// is read once into a parsed copy that keeps every line in order, calls work
// on that copy, and EndUpdate stores it once: a huge file costs one read and
// one write, not one per key.
//
// Storing replaces the file atomically (SaveFileContent: temporary file, then
// rename) or, in a folder the user cannot write, rewrites a writable file in
// place. It keeps the line ending: LF for a new file, CRLF when the file's
// first line ends in CRLF.
#pragma once

#include <cstdint>
#include <memory>
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

  explicit TIniFile(std::string path);
  ~TIniFile();
  TIniFile(const TIniFile&) = delete;
  TIniFile& operator=(const TIniFile&) = delete;

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

  // Reads the file once; until EndUpdate, reads and writes use that copy and
  // nothing is stored. A file that exists but cannot be read makes every
  // write of the batch throw, as it would outside one.
  void BeginUpdate();
  // Stores the copy when a write changed it (writing a key's line as it
  // stands changes nothing), and ends the batch either way.
  // Throws EIniFileError when it cannot be stored. A batch left without
  // EndUpdate (an error on the way) stores nothing.
  void EndUpdate();

 private:
  struct Document;
  std::string path_;
  std::unique_ptr<Document> batch_;  // while a batch is open
};
