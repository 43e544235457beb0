// SPDX-License-Identifier: MIT
// TRegistry: a small file-backed registry for the port's settings.
//
// Keys are folders under a root folder (default: the folder "registry" where
// settings live, see settingslocation.h); each root key is one subfolder
// ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"). A key path uses "\" between its
// components; a leading "\" starts at the root key, otherwise the path is
// relative to the open key. Components match existing folders without regard
// to ASCII letter case; an empty component, one that begins with "." or one
// holding "/" is refused, so no key lies outside the root folder.
//
// A key's values are kept in the file ".values" of its folder, one value per
// line: the type ("sz" or "dword"), ":", the percent-encoded name, "=", and the
// percent-encoded text or the decimal 32-bit pattern. Lines that do not parse
// are ignored. Every write replaces that file atomically.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

inline constexpr uint32_t HKEY_CURRENT_USER = 0x80000001;
inline constexpr uint32_t HKEY_LOCAL_MACHINE = 0x80000002;
// Access rights are accepted and kept; they have no other meaning here.
inline constexpr uint32_t KEY_ALL_ACCESS = 0xF003F;

// Failures of value access: "Failed to set data for '%s'", "Failed to get data
// for '%s'", "Invalid data type for '%s'".
class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TRegistry {
 public:
  explicit TRegistry(uint32_t access = KEY_ALL_ACCESS) : access_(access) {}

  // The folder that holds the root keys; an empty text restores the default.
  static void SetRootFolder(const std::string& folder);
  static std::string RootFolder();

  uint32_t Access() const { return access_; }
  uint32_t RootKey() const { return rootKey_; }
  // Closes the open key.
  void SetRootKey(uint32_t root);

  // Opens the key, creating it and missing parents when `canCreate`. Returns
  // false (and leaves the previous key open) when the path is refused, the key
  // is missing, or it cannot be created.
  bool OpenKey(const std::string& key, bool canCreate);
  void CloseKey();
  bool HasOpenKey() const { return !currentKey_.empty(); }
  // The open key's path below its root ("" for the root key itself or none).
  std::string CurrentPath() const;

  bool ValueExists(const std::string& name) const;
  // Text (REG_SZ, cut at a zero byte) and 32-bit integer (REG_DWORD) values.
  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int32_t value);
  // A missing value or no open key: "". A value of another type: an error.
  std::string ReadString(const std::string& name) const;
  // A missing value or no open key: an error, as is a value of another type.
  int32_t ReadInteger(const std::string& name) const;

 private:
  void Write(const std::string& name, const std::string& type, const std::string& data);

  uint32_t access_;
  uint32_t rootKey_ = HKEY_CURRENT_USER;
  std::string currentKey_;  // folder of the open key; empty when none is open
  std::string currentPath_;
};
