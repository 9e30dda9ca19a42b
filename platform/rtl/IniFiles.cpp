#include "platform/rtl/IniFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/rtl/Handles.h"

namespace rtl {

// ---- TIniContent ------------------------------------------------------------------

TIniContent::TIniContent(std::string bytes) : bytes_(std::move(bytes)) {
  Parse();
}

void TIniContent::Parse() {
  lines_.clear();
  size_t pos = 0;
  // A byte order mark is kept, but it must not hide the first section.
  size_t textStart = bytes_.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  bool inSection = false;
  while (pos < bytes_.size()) {
    Line l;
    l.begin = pos;
    size_t nl = bytes_.find('\n', pos);
    l.next = nl == std::string::npos ? bytes_.size() : nl + 1;
    l.end = nl == std::string::npos ? bytes_.size() : nl;
    if (l.end > l.begin && bytes_[l.end - 1] == '\r') --l.end;
    size_t from = std::max(l.begin, textStart);
    std::string t = Trim(bytes_.substr(from, l.end > from ? l.end - from : 0));
    if (!t.empty() && t[0] == '[') {
      size_t close = t.find(']');
      l.kind = kSection;
      l.name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      inSection = true;
    } else if (inSection && !t.empty() && t[0] != ';') {
      size_t eq = t.find('=');
      if (eq != std::string::npos) {
        l.name = Trim(t.substr(0, eq));
        if (!l.name.empty()) {
          l.kind = kKey;
          l.value = Trim(t.substr(eq + 1));
          if (l.value.size() >= 2 && (l.value[0] == '"' || l.value[0] == '\'') &&
              l.value.back() == l.value[0])
            l.value = l.value.substr(1, l.value.size() - 2);
        }
      }
    }
    lines_.push_back(std::move(l));
    pos = lines_.back().next;
  }
}

std::vector<std::pair<size_t, size_t>> TIniContent::Ranges(const std::string& section) const {
  std::vector<std::pair<size_t, size_t>> r;
  std::string want = Trim(section);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind != kSection || !AnsiSameText(lines_[i].name, want)) continue;
    size_t j = i + 1;
    while (j < lines_.size() && lines_[j].kind != kSection) ++j;
    r.emplace_back(i + 1, j);
    i = j - 1;
  }
  return r;
}

std::string TIniContent::LineBreak() const {
  size_t nl = bytes_.find('\n');
  return nl != std::string::npos && nl > 0 && bytes_[nl - 1] == '\r' ? "\r\n" : "\n";
}

bool TIniContent::Find(const std::string& section, const std::string& key, std::string& value) const {
  auto ranges = Ranges(section);
  if (ranges.empty()) return false;
  std::string want = Trim(key);
  for (size_t i = ranges[0].first; i < ranges[0].second; ++i)
    if (lines_[i].kind == kKey && AnsiSameText(lines_[i].name, want)) {
      value = lines_[i].value;
      return true;
    }
  return false;
}

std::vector<std::string> TIniContent::Keys(const std::string& section) const {
  std::vector<std::string> keys;
  auto ranges = Ranges(section);
  if (ranges.empty()) return keys;
  for (size_t i = ranges[0].first; i < ranges[0].second; ++i)
    if (lines_[i].kind == kKey) keys.push_back(lines_[i].name);
  return keys;
}

std::vector<std::pair<std::string, std::string>> TIniContent::Values(const std::string& section) const {
  std::vector<std::pair<std::string, std::string>> values;
  auto ranges = Ranges(section);
  if (ranges.empty()) return values;
  for (size_t i = ranges[0].first; i < ranges[0].second; ++i)
    if (lines_[i].kind == kKey) values.emplace_back(lines_[i].name, lines_[i].value);
  return values;
}

std::vector<std::string> TIniContent::Sections() const {
  std::vector<std::string> names;
  for (const auto& l : lines_) {
    if (l.kind != kSection) continue;
    bool seen = false;
    for (const auto& n : names) seen = seen || AnsiSameText(n, l.name);
    if (!seen) names.push_back(l.name);
  }
  return names;
}

namespace {
bool HasLineBreak(const std::string& s) {
  return s.find_first_of("\r\n") != std::string::npos;
}

bool ValidSection(const std::string& section) {
  std::string sec = Trim(section);
  return !sec.empty() && !HasLineBreak(section) && sec.find(']') == std::string::npos;
}

bool ValidEntry(const std::string& key, const std::string& value) {
  std::string k = Trim(key);
  return !k.empty() && !HasLineBreak(key) && !HasLineBreak(value) && k.find('=') == std::string::npos &&
         k[0] != '[' && k[0] != ';';
}

}  // namespace

bool TIniContent::Write(const std::string& section, const std::string& key, const std::string& value) {
  std::string sec = Trim(section), k = Trim(key);
  if (!ValidSection(section) || !ValidEntry(key, value)) return false;
  std::string eol = LineBreak();
  auto ranges = Ranges(sec);
  if (ranges.empty()) {
    std::string add;
    if (!bytes_.empty() && bytes_.back() != '\n') add += eol;
    add += "[" + sec + "]" + eol + k + "=" + value + eol;
    bytes_ += add;
    Parse();
    return true;
  }
  auto [first, last] = ranges[0];
  for (size_t i = first; i < last; ++i) {
    const Line& l = lines_[i];
    if (l.kind == kKey && AnsiSameText(l.name, k)) {
      // The file's own spelling of the key stays.
      bytes_.replace(l.begin, l.end - l.begin, l.name + "=" + value);
      Parse();
      return true;
    }
  }
  // After the last line of the section that is not blank (the header at least).
  size_t after = first - 1;
  for (size_t i = first; i < last; ++i)
    if (!Trim(bytes_.substr(lines_[i].begin, lines_[i].end - lines_[i].begin)).empty()) after = i;
  const Line& l = lines_[after];
  std::string add = k + "=" + value + eol;
  if (l.next == l.begin || bytes_[l.next - 1] != '\n') add.insert(0, eol);  // the last line had no line break
  bytes_.insert(l.next, add);
  Parse();
  return true;
}

bool TIniContent::AddSection(const std::string& section) {
  std::string sec = Trim(section);
  if (sec.empty() || HasLineBreak(section) || sec.find(']') != std::string::npos) return false;
  if (!Ranges(sec).empty()) return true;
  std::string eol = LineBreak();
  if (!bytes_.empty() && bytes_.back() != '\n') bytes_ += eol;
  bytes_ += "[" + sec + "]" + eol;
  Parse();
  return true;
}

void TIniContent::DeleteKey(const std::string& section, const std::string& key) {
  std::string want = Trim(key);
  auto ranges = Ranges(section);
  for (auto r = ranges.rbegin(); r != ranges.rend(); ++r)
    for (size_t i = r->second; i-- > r->first;)
      if (lines_[i].kind == kKey && AnsiSameText(lines_[i].name, want))
        bytes_.erase(lines_[i].begin, lines_[i].next - lines_[i].begin);
  Parse();
}

void TIniContent::EraseSection(const std::string& section) {
  auto ranges = Ranges(section);
  for (auto r = ranges.rbegin(); r != ranges.rend(); ++r) {
    size_t from = lines_[r->first - 1].begin;
    size_t to = r->second < lines_.size() ? lines_[r->second].begin : bytes_.size();
    bytes_.erase(from, to - from);
  }
  Parse();
}

bool TIniContent::ReplaceSection(const std::string& section,
                                 const std::vector<std::pair<std::string, std::string>>& entries) {
  if (!ValidSection(section)) return false;
  for (const auto& [k, v] : entries)
    if (!ValidEntry(k, v)) return false;
  EraseSection(section);
  std::string eol = LineBreak();
  std::string add;
  if (!bytes_.empty() && bytes_.back() != '\n') add += eol;
  add += "[" + Trim(section) + "]" + eol;
  for (const auto& [k, v] : entries) add += Trim(k) + "=" + v + eol;
  bytes_ += add;
  Parse();
  return true;
}

// ---- values of any bytes ------------------------------------------------------------

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string EncodeIniValue(const std::string& value) {
  bool plain = (value.empty() || value[0] != '%') && Trim(value) == value &&
               !(value.size() >= 2 && (value[0] == '"' || value[0] == '\'') && value.back() == value[0]);
  for (unsigned char c : value) plain = plain && c >= 0x20 && c != 0x7F;
  if (plain) return value;
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    if (i == 0 || c <= 0x20 || c == 0x7F || c == '%' || c == '"' || c == '\'') {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool DecodeIniValue(const std::string& stored, std::string& value) {
  value.clear();
  if (stored.empty() || stored[0] != '%') {
    value = stored;
    return true;
  }
  for (size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] != '%') {
      value += stored[i];
      continue;
    }
    const int hi = i + 2 < stored.size() ? HexValue(stored[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(stored[i + 2]) : -1;
    if (lo < 0 || (hi == 0 && lo == 0)) {
      value.clear();
      return false;
    }
    value += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

// ---- TIniFile -------------------------------------------------------------------

namespace {

// Reads the whole file; false with errno when it exists but cannot be read.
// Only a regular file of a settings file's size is read: a pipe or device
// under the name must not hang the program, nor a huge file fill memory.
bool ReadAll(const std::string& fileName, std::string& bytes, bool& missing) {
  const int error = ReadSmallFile(fileName, kMaxIniFileBytes, bytes);
  missing = error == ENOENT;
  if (error == 0 || missing) return true;
  errno = error;
  return false;
}

std::atomic<unsigned> g_tempCounter{0};

// The file a save replaces: through a link, the file it points to, not the
// link.
std::string SavedPath(const std::string& target) {
  char resolved[PATH_MAX];
  struct stat lst;
  if (::lstat(target.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && ::realpath(target.c_str(), resolved))
    return resolved;
  return target;
}

// Temporary files of a save are named ".<name>.tmp<pid>-<n>" beside the file.
std::string TempPrefix(const std::string& path) {
  return "." + ExtractFileName(path) + ".tmp";
}

// Holds the termination signals off for its lifetime; one that came
// meanwhile is delivered when the scope ends.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~TerminationSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Writes bytes to a new file beside target and renames it over target.
bool ReplaceAtomically(const std::string& target, const std::string& bytes) {
  const std::string path = SavedPath(target);
  TerminationSignalsHeld held;
  struct stat st;
  bool exists = ::stat(path.c_str(), &st) == 0;
  std::string dir = ExtractFilePath(path);
  std::string temp;
  TFileDescriptor fd;
  for (int attempt = 0; attempt < 100 && !fd.Valid(); ++attempt) {
    temp = dir + TempPrefix(path) + IntToStr(::getpid()) + "-" + IntToStr(g_tempCounter++);
    fd.Reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!fd.Valid() && errno != EEXIST) return false;
  }
  if (!fd.Valid()) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = ::write(fd.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  if (ok && exists) ::fchmod(fd.Get(), st.st_mode & 07777);
  ok = ok && ::fsync(fd.Get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

TIniContent TIniFile::Read() const {
  std::string bytes;
  bool missing;
  if (!ReadAll(FileName, bytes, missing))
    throw EIniFileException(Format(SIniFileReadError, {FileName, std::strerror(errno)}));
  return TIniContent(std::move(bytes));
}

void TIniFile::Update(const std::function<void(TIniContent&)>& edit) {
  std::string bytes;
  bool missing;
  if (!ReadAll(FileName, bytes, missing)) throw EIniFileException(Format(SIniFileWriteError, {FileName}));
  TIniContent content(bytes);
  edit(content);
  Save(content, bytes);
}

void TIniFile::RemoveStaleTemporaries() const {
  const std::string path = SavedPath(FileName);
  const std::string dir = ExtractFilePath(path), prefix = TempPrefix(path);
  DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
  if (!d) return;
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    // "<pid>-<n>" and nothing else: another file of a similar name is not ours.
    size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size()) continue;
    std::string pidText = name.substr(prefix.size(), dash - prefix.size()), counter = name.substr(dash + 1);
    if (pidText.find_first_not_of("0123456789") != std::string::npos ||
        counter.find_first_not_of("0123456789") != std::string::npos || pidText.size() > 9)
      continue;
    const pid_t pid = static_cast<pid_t>(std::stol(pidText));
    // Our own pid: a run before us that had it; saves of ours run to their
    // end before anything else. Any other living process may be saving now.
    if (pid != ::getpid() && !(::kill(pid, 0) != 0 && errno == ESRCH)) continue;
    stale.push_back(dir + name);
  }
  ::closedir(d);
  for (const auto& f : stale) {
    struct stat st;
    if (::lstat(f.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(f.c_str());
  }
}

TIniContent TIniFile::Load() const {
  std::string bytes;
  bool missing;
  ReadAll(FileName, bytes, missing);
  return TIniContent(std::move(bytes));
}

void TIniFile::Save(const TIniContent& content, const std::string& original) {
  if (content.Bytes() == original) return;
  if (!ReplaceAtomically(FileName, content.Bytes()))
    throw EIniFileException(Format(SIniFileWriteError, {FileName}));
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  std::string v;
  return Load().Find(section, key, v) ? v : defaultValue;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int defaultValue) const {
  std::string v;
  if (!Load().Find(section, key, v)) return defaultValue;
  return StrToIntDef(v, defaultValue);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value) {
  std::string bytes;
  bool missing;
  // A file that exists but cannot be read must not be replaced by one key.
  if (!ReadAll(FileName, bytes, missing)) throw EIniFileException(Format(SIniFileWriteError, {FileName}));
  TIniContent content(bytes);
  if (!content.Write(section, key, value))
    throw EIniFileException(Format(SIniFileBadName, {FileName, "[" + section + "] " + key}));
  Save(content, bytes);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
  WriteString(section, key, IntToStr(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TIniFile::ReadSection(const std::string& section, TStringList& strings) const {
  strings.BeginUpdate();
  strings.Clear();
  for (const auto& k : Load().Keys(section)) strings.Add(k);
  strings.EndUpdate();
}

void TIniFile::ReadSections(TStringList& strings) const {
  strings.BeginUpdate();
  strings.Clear();
  for (const auto& s : Load().Sections()) strings.Add(s);
  strings.EndUpdate();
}

void TIniFile::ReadSectionValues(const std::string& section, TStringList& strings) const {
  TIniContent c = Load();
  strings.BeginUpdate();
  strings.Clear();
  for (const auto& k : c.Keys(section)) {
    std::string v;
    c.Find(section, k, v);
    strings.Add(k + "=" + v);
  }
  strings.EndUpdate();
}

bool TIniFile::SectionExists(const std::string& section) const {
  return !Load().Keys(section).empty();
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  std::string v;
  return Load().Find(section, key, v);
}

void TIniFile::EraseSection(const std::string& section) {
  std::string bytes;
  bool missing;
  if (!ReadAll(FileName, bytes, missing)) throw EIniFileException(Format(SIniFileWriteError, {FileName}));
  if (missing) return;
  TIniContent content(bytes);
  content.EraseSection(section);
  Save(content, bytes);
}

void TIniFile::AddSection(const std::string& section) {
  std::string bytes;
  bool missing;
  if (!ReadAll(FileName, bytes, missing)) throw EIniFileException(Format(SIniFileWriteError, {FileName}));
  TIniContent content(bytes);
  if (!content.AddSection(section))
    throw EIniFileException(Format(SIniFileBadName, {FileName, "[" + section + "]"}));
  Save(content, bytes);
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
  std::string bytes;
  bool missing;
  if (!ReadAll(FileName, bytes, missing)) throw EIniFileException(Format(SIniFileWriteError, {FileName}));
  if (missing) return;
  TIniContent content(bytes);
  content.DeleteKey(section, key);
  Save(content, bytes);
}

}  // namespace rtl
