// The registry, as a file-backed store.
//
// Each root key is one settings file, <folder>/<ROOT NAME>.ini, whose
// sections are key paths ("SOFTWARE\Maker\Product\16.0") and whose entries
// are the key's values, typed: name=sz:"text" or name=dword:123; the default
// value of a key is named "@". Key paths and value names are compared
// ignoring case, as in the design's platform. The folder is, in this order:
// what SetRegistryFolder set, $TK_REGISTRY_DIR, or the application-data
// folder + "/tarnwick/registry". Every change rewrites its file atomically
// (TIniFile), so a program sees the other's writes at its next read. A
// store that is there but cannot be read raises ERegistryException from
// every call that reads it: it is not taken for one without keys.
#pragma once

#include <cstdint>
#include <string>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace os {

using rtl::Exception;
RTL_DECLARE_EXCEPTION(ERegistryException, Exception);

using HKEY = uint32_t;
inline constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
inline constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
inline constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
inline constexpr HKEY HKEY_USERS = 0x80000003u;

std::string RegistryFolder();
// "" goes back to the environment and the default.
void SetRegistryFolder(const std::string& folder);

class TRegistry : public rtl::TObject {
 public:
  TRegistry() = default;

  // Changing the root closes the open key.
  HKEY RootKey() const { return root_; }
  void SetRootKey(HKEY root);

  // A key starting with "\" is taken from the root, else from the open key.
  bool OpenKey(const std::string& key, bool canCreate);
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey() {
    current_.clear();
    open_ = false;
  }
  // The open key's path, without a leading "\".
  const std::string& CurrentPath() const { return current_; }

  bool KeyExists(const std::string& key) const;
  bool CreateKey(const std::string& key);
  // Removes the key with all its subkeys and values.
  bool DeleteKey(const std::string& key);
  // Names of the open key's direct subkeys / values.
  void GetKeyNames(rtl::TStringList& strings) const;
  void GetValueNames(rtl::TStringList& strings) const;

  bool ValueExists(const std::string& name) const;
  // "" when the value is missing; ERegistryException when it is no string.
  std::string ReadString(const std::string& name) const;
  // ERegistryException "Invalid data type for 'name'" when missing or no number.
  int ReadInteger(const std::string& name) const;
  bool ReadBool(const std::string& name) const { return ReadInteger(name) != 0; }
  // ERegistryException when no key is open, the key was opened read-only, or
  // the text would not survive the file (a line break).
  void WriteString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int value);
  void WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }
  bool DeleteValue(const std::string& name);

 private:
  std::string FileName() const;
  std::string Resolve(const std::string& key) const;
  void CheckWritable(const std::string& name) const;
  bool ReadRaw(const std::string& name, std::string& raw) const;

  HKEY root_ = HKEY_CURRENT_USER;
  std::string current_;
  bool open_ = false;
  bool readOnly_ = false;
};

}  // namespace os
