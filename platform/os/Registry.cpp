#include "platform/os/Registry.h"

#include <cstdlib>
#include <mutex>

#include "platform/os/KnownFolders.h"
#include "platform/rtl/IniFiles.h"

namespace os {

namespace {
std::mutex g_mutex;
std::string g_folder;

const char* RootName(HKEY root) {
  switch (root) {
    case HKEY_CLASSES_ROOT:
      return "HKEY_CLASSES_ROOT";
    case HKEY_CURRENT_USER:
      return "HKEY_CURRENT_USER";
    case HKEY_LOCAL_MACHINE:
      return "HKEY_LOCAL_MACHINE";
    case HKEY_USERS:
      return "HKEY_USERS";
    default:
      return nullptr;
  }
}

// "\A\\B\" -> "A\B".
std::string Normalise(const std::string& path) {
  std::string r;
  for (char c : path) {
    if (c == '\\' && (r.empty() || r.back() == '\\')) continue;
    r += c;
  }
  while (!r.empty() && r.back() == '\\') r.pop_back();
  return r;
}

std::string ValueKey(const std::string& name) {
  return name.empty() ? "@" : name;
}

// The whole store as it is now. A missing store is an empty one; one that
// is there but cannot be read is an error, not a store without keys.
rtl::TIniContent ReadStore(const std::string& file) {
  try {
    return rtl::TIniFile(file).Read();
  } catch (const rtl::EIniFileException& e) {
    throw ERegistryException(e.Message);
  }
}

bool IsBelow(const std::string& section, const std::string& key) {
  return section.size() > key.size() && section[key.size()] == '\\' &&
         rtl::AnsiSameText(section.substr(0, key.size()), key);
}
}  // namespace

std::string RegistryFolder() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_folder.empty()) return g_folder;
  }
  const char* env = std::getenv("TK_REGISTRY_DIR");
  if (env && env[0] == '/') return env;
  return rtl::IncludeTrailingPathDelimiter(AppDataFolder()) + "tarnwick/registry";
}

void SetRegistryFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_folder = folder;
}

void TRegistry::SetRootKey(HKEY root) {
  if (!RootName(root)) throw ERegistryException("Invalid root key");
  root_ = root;
  CloseKey();
}

std::string TRegistry::FileName() const {
  return rtl::IncludeTrailingPathDelimiter(RegistryFolder()) + RootName(root_) + ".ini";
}

std::string TRegistry::Resolve(const std::string& key) const {
  if (!key.empty() && key[0] == '\\') return Normalise(key);
  if (current_.empty()) return Normalise(key);
  return Normalise(current_ + "\\" + key);
}

bool TRegistry::KeyExists(const std::string& key) const {
  std::string k = Resolve(key);
  if (k.empty()) return true;  // the root
  for (const auto& section : ReadStore(FileName()).Sections()) {
    std::string s = Normalise(section);
    if (rtl::AnsiSameText(s, k) || IsBelow(s, k)) return true;
  }
  return false;
}

bool TRegistry::CreateKey(const std::string& key) {
  std::string k = Resolve(key);
  if (k.empty() || k.find_first_of("\r\n]") != std::string::npos) return false;
  if (KeyExists(k.insert(0, "\\"))) return true;
  rtl::ForceDirectories(RegistryFolder());
  try {
    rtl::TIniFile(FileName()).AddSection(k.substr(1));
  } catch (const rtl::EIniFileException&) {
    return false;
  }
  return true;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  std::string k = Resolve(key);
  if (!KeyExists("\\" + k) && (!canCreate || !CreateKey("\\" + k))) return false;
  current_ = k;
  open_ = true;
  readOnly_ = false;
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  if (!OpenKey(key, false)) return false;
  readOnly_ = true;
  return true;
}

bool TRegistry::DeleteKey(const std::string& key) {
  std::string k = Resolve(key);
  if (k.empty() || !KeyExists("\\" + k)) return false;
  rtl::TIniFile ini(FileName());
  rtl::TStringList sections;
  ini.ReadSections(sections);
  try {
    for (int i = 0; i < sections.Count(); ++i) {
      std::string s = Normalise(sections[i]);
      if (rtl::AnsiSameText(s, k) || IsBelow(s, k)) ini.EraseSection(sections[i]);
    }
  } catch (const rtl::EIniFileException&) {
    return false;
  }
  if (open_ && (rtl::AnsiSameText(current_, k) || IsBelow(current_, k))) CloseKey();
  return true;
}

void TRegistry::GetKeyNames(rtl::TStringList& strings) const {
  strings.Clear();
  for (const auto& section : ReadStore(FileName()).Sections()) {
    std::string s = Normalise(section);
    std::string rest;
    if (current_.empty())
      rest = s;
    else if (IsBelow(s, current_))
      rest = s.substr(current_.size() + 1);
    else
      continue;
    std::string child = rest.substr(0, rest.find('\\'));
    if (!child.empty() && strings.IndexOf(child) < 0) strings.Add(child);
  }
}

void TRegistry::GetValueNames(rtl::TStringList& strings) const {
  strings.Clear();
  if (!open_) return;
  for (const auto& key : ReadStore(FileName()).Keys(current_)) strings.Add(key == "@" ? std::string() : key);
}

bool TRegistry::ReadRaw(const std::string& name, std::string& raw) const {
  if (!open_) return false;
  return ReadStore(FileName()).Find(current_, ValueKey(name), raw);
}

bool TRegistry::ValueExists(const std::string& name) const {
  std::string raw;
  return ReadRaw(name, raw);
}

std::string TRegistry::ReadString(const std::string& name) const {
  std::string raw;
  if (!ReadRaw(name, raw)) return {};
  // sz:"text": the quotes keep blanks at the ends of the text.
  if (raw.compare(0, 3, "sz:") != 0) throw ERegistryException("Invalid data type for '" + name + "'");
  std::string t = raw.substr(3);
  if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
  return t;
}

int TRegistry::ReadInteger(const std::string& name) const {
  std::string raw;
  int v;
  if (!ReadRaw(name, raw) || raw.compare(0, 6, "dword:") != 0 || !rtl::TryStrToInt(raw.substr(6), v))
    throw ERegistryException("Invalid data type for '" + name + "'");
  return v;
}

void TRegistry::CheckWritable(const std::string& name) const {
  if (!open_ || readOnly_) throw ERegistryException("Failed to set data for '" + name + "'");
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  CheckWritable(name);
  rtl::ForceDirectories(RegistryFolder());
  try {
    rtl::TIniFile(FileName()).WriteString(current_, ValueKey(name), "sz:\"" + value + "\"");
  } catch (const rtl::EIniFileException&) {
    throw ERegistryException("Failed to set data for '" + name + "'");
  }
}

void TRegistry::WriteInteger(const std::string& name, int value) {
  CheckWritable(name);
  rtl::ForceDirectories(RegistryFolder());
  try {
    rtl::TIniFile(FileName()).WriteString(current_, ValueKey(name), "dword:" + rtl::IntToStr(value));
  } catch (const rtl::EIniFileException&) {
    throw ERegistryException("Failed to set data for '" + name + "'");
  }
}

bool TRegistry::DeleteValue(const std::string& name) {
  if (!open_ || readOnly_ || !ValueExists(name)) return false;
  try {
    rtl::TIniFile(FileName()).DeleteKey(current_, ValueKey(name));
  } catch (const rtl::EIniFileException&) {
    return false;
  }
  return true;
}

}  // namespace os
