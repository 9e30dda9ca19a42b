#include "platform/os/ShellApi.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/os/Processes.h"
#include "platform/rtl/Handles.h"

extern char** environ;

namespace os {

namespace fs = std::filesystem;

namespace {

// Enough to step past any number of same-named files a user trashes, small
// enough that a Trash we cannot write to fails quickly.
constexpr int kMaxTrashNameTries = 10000;

std::string ErrText(int err) {
  return std::strerror(err);
}

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool HasWildcard(const std::string& s) {
  return s.find_first_of("*?") != std::string::npos;
}

// Percent-encodes everything but the unreserved characters and "/", as the
// Path key of a .trashinfo record wants it.
std::string EscapePath(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string DeletionDate() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  return buf;
}

bool WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = ::write(fd, s.data() + done, s.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int MakeFolder(const fs::path& p) {
  std::error_code ec;
  fs::create_directories(p, ec);
  if (ec) return ec.value() ? ec.value() : EIO;
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return 0;
}

// Removes for good: a file or link by unlink, a folder with its contents
// (links inside are removed, never followed).
int RemoveForGood(const fs::path& p, bool isDir) {
  if (!isDir) return ::unlink(p.c_str()) == 0 ? 0 : errno;
  std::error_code ec;
  fs::remove_all(p, ec);
  return ec ? (ec.value() ? ec.value() : EIO) : 0;
}

}  // namespace

std::vector<std::string> SplitNulList(const std::string& list) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find('\0', pos);
    if (end == std::string::npos) end = list.size();
    if (end == pos) break;  // the empty entry that ends the list
    names.push_back(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return names;
}

bool MatchesMask(const std::string& name, const std::string& mask) {
  // Iterative matcher with one back-tracking point: linear in practice and
  // never recursive, whatever the mask holds.
  size_t n = 0, m = 0, starM = std::string::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
      ++m;
      ++n;
    } else if (starM != std::string::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

bool IsWebOrMailAddress(const std::string& s) {
  auto starts = [&](const char* p) {
    size_t n = std::strlen(p);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
      if (LowerAscii(s[i]) != p[i]) return false;
    return true;
  };
  return starts("http://") || starts("https://") || starts("mailto:");
}

namespace {

// Starts exe with argv in the folder cwd (empty: ours) on its own, in a
// session of its own, and reaps the middle child, so that nobody waits for
// the program. Returns 0, or the errno of the failed start.
int StartDetached(const std::string& exe, std::vector<std::string> argv, const std::string& cwd) {
  // Everything the child needs is made before fork: between fork and exec
  // only calls that are safe in a copy of a threaded process are allowed.
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) return errno;
  // The child's start error comes back through the pipe; exec closes the
  // writing end.
  rtl::TFileDescriptor readEnd(pipefd[0]), writeEnd(pipefd[1]);
  pid_t middle = ::fork();
  if (middle < 0) return errno;
  if (middle == 0) {
    // The middle child exits at once, so the program is nobody's child to
    // wait for and leaves no zombie behind.
    readEnd.Reset();
    pid_t grand = ::fork();
    if (grand < 0) {
      int err = errno;
      (void)!::write(writeEnd.Get(), &err, sizeof err);
      ::_exit(1);
    }
    if (grand > 0) ::_exit(0);
    ::setsid();
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
      int err = errno;
      (void)!::write(writeEnd.Get(), &err, sizeof err);
      ::_exit(127);
    }
    ::execve(exe.c_str(), cargv.data(), environ);
    int err = errno;
    (void)!::write(writeEnd.Get(), &err, sizeof err);
    ::_exit(127);
  }
  writeEnd.Reset();
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int childErr = 0;
  ssize_t n;
  while ((n = ::read(readEnd.Get(), &childErr, sizeof childErr)) < 0 && errno == EINTR) {
  }
  if (n == static_cast<ssize_t>(sizeof childErr)) return childErr ? childErr : EIO;
  return 0;
}

}  // namespace

int ShellExecute(const std::string& file, const std::vector<std::string>& args, const std::string& dir) {
  std::string exe;
  std::vector<std::string> argv;
  std::string cwd = dir;
  if (IsWebOrMailAddress(file)) {
    exe = FindOnPath("xdg-open");
    if (exe.empty()) return ENOENT;
    argv = {exe, file};
  } else {
    if (file.empty()) return ENOENT;
    exe = file;
    argv.push_back(file);
    for (const auto& a : args) argv.push_back(a);
    if (cwd.empty()) cwd = fs::path(file).parent_path().string();
    if (::access(exe.c_str(), X_OK) != 0) return errno;
  }
  return StartDetached(exe, std::move(argv), cwd);
}

int ShellOpenDocument(const std::string& file) {
  if (file.empty() || ::access(file.c_str(), F_OK) != 0) return ENOENT;
  const std::string exe = FindOnPath("xdg-open");
  if (exe.empty()) return ENOENT;
  // An absolute name cannot be mistaken for an option of the opener.
  return StartDetached(exe, {exe, fs::absolute(file).string()}, "");
}

fs::path HomeTrashFolder() {
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') return fs::path(x) / "Trash";
  const char* home = std::getenv("HOME");
  std::string h = home && *home ? home : "";
  if (h.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) h = pw->pw_dir;
  }
  if (h.empty()) return {};
  return fs::path(h) / ".local" / "share" / "Trash";
}

TTrash::TTrash(fs::path folder) : folder_(std::move(folder)) {}

int TTrash::Put(const fs::path& path, std::string& message) {
  if (folder_.empty()) {
    message = "no home folder for the Trash";
    return ENOENT;
  }
  const fs::path files = folder_ / "files";
  const fs::path info = folder_ / "info";
  if (int err = MakeFolder(files); err) {
    message = "cannot create " + files.string() + ": " + ErrText(err);
    return err;
  }
  if (int err = MakeFolder(info); err) {
    message = "cannot create " + info.string() + ": " + ErrText(err);
    return err;
  }
  struct stat src {
  }, dst{};
  if (::lstat(path.c_str(), &src) != 0) {
    int err = errno;
    message = ErrText(err);
    return err;
  }
  if (::stat(files.c_str(), &dst) != 0) {
    int err = errno;
    message = ErrText(err);
    return err;
  }
  // The home trash takes files of its own file system only; a move across
  // devices would be a copy that can fail half-way.
  if (src.st_dev != dst.st_dev) {
    message = "the file lies on another file system than the Trash " + folder_.string();
    return EXDEV;
  }
  const std::string base = path.filename().string();
  const std::string record =
      "[Trash Info]\nPath=" + EscapePath(path.string()) + "\nDeletionDate=" + DeletionDate() + "\n";
  for (int i = 1; i <= kMaxTrashNameTries; ++i) {
    std::string name = base;
    if (i > 1) name += "." + std::to_string(i);
    const fs::path infoFile = info / (name + ".trashinfo");
    const fs::path target = files / name;
    // The info record is created exclusively first: it reserves the name
    // against other programs trashing at the same time.
    rtl::TFileDescriptor fd(::open(infoFile.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd.Valid()) {
      if (errno == EEXIST) continue;
      int err = errno;
      message = "cannot write " + infoFile.string() + ": " + ErrText(err);
      return err;
    }
    bool ok = WriteAll(fd.Get(), record);
    int werr = errno;
    if (!fd.Close() && ok) {
      ok = false;
      werr = errno;
    }
    if (!ok) {
      ::unlink(infoFile.c_str());
      message = "cannot write " + infoFile.string() + ": " + ErrText(werr);
      return werr;
    }
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) {  // a stray file without record
      ::unlink(infoFile.c_str());
      continue;
    }
    if (::rename(path.c_str(), target.c_str()) != 0) {
      int err = errno;
      ::unlink(infoFile.c_str());
      message = "cannot move into the Trash: " + ErrText(err);
      return err;
    }
    return 0;
  }
  message = "no free name in the Trash for " + base;
  return EEXIST;
}

namespace {

struct Target {
  std::string path;
  bool isDir = false;
};

void DeleteOne(SHFILEOPSTRUCT& op, TTrash& trash, const Target& t) {
  TFileOpResult r;
  r.Path = t.path;
  if (op.fFlags & FOF_ALLOWUNDO) {
    std::error_code ec;
    fs::path abs = fs::absolute(fs::path(t.path), ec).lexically_normal();
    std::string why;
    int err = ec ? ec.value() : trash.Put(abs, why);
    if (err == 0) {
      r.Outcome = fooTrashed;
    } else if (op.fFlags & FOF_NOCONFIRMATION) {
      int rerr = RemoveForGood(t.path, t.isDir);
      if (rerr == 0) {
        r.Outcome = fooDeletedNoTrash;
        r.Message = "not put into the Trash (" + why + "); removed for good";
      } else {
        r.Outcome = fooFailed;
        r.Error = rerr;
        r.Message = "not put into the Trash (" + why + "); cannot remove: " + ErrText(rerr);
      }
    } else {
      r.Outcome = fooKept;
      r.Error = err;
      r.Message = "not put into the Trash (" + why + "); kept";
    }
  } else {
    int err = RemoveForGood(t.path, t.isDir);
    if (err == 0) {
      r.Outcome = fooDeleted;
    } else {
      r.Outcome = fooFailed;
      r.Error = err;
      r.Message = ErrText(err);
    }
  }
  op.Results.push_back(std::move(r));
}

void Fail(SHFILEOPSTRUCT& op, const std::string& path, int err) {
  TFileOpResult r;
  r.Path = path;
  r.Outcome = fooFailed;
  r.Error = err;
  r.Message = ErrText(err);
  op.Results.push_back(std::move(r));
}

// Expands one name: a literal name as it stands, a mask in its last
// component against that folder's entries (sorted, for a stable order).
void Expand(SHFILEOPSTRUCT& op, const std::string& name, std::vector<Target>& out) {
  size_t slash = name.rfind('/');
  std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  if (!HasWildcard(last)) {
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) {
      Fail(op, name, errno);
      return;
    }
    out.push_back({name, S_ISDIR(st.st_mode)});
    return;
  }
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
  std::string prefix = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  DIR* d = ::opendir(dir.c_str());
  if (!d) {
    Fail(op, name, errno);
    return;
  }
  std::vector<std::string> entries;
  while (dirent* e = ::readdir(d)) {
    std::string en = e->d_name;
    if (en == "." || en == "..") continue;
    if (MatchesMask(en, last)) entries.push_back(en);
  }
  ::closedir(d);
  std::sort(entries.begin(), entries.end());
  for (const auto& en : entries) {
    std::string p = prefix + en;
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) continue;  // vanished meanwhile
    bool isDir = S_ISDIR(st.st_mode);
    if (isDir && (op.fFlags & FOF_FILESONLY)) continue;
    out.push_back({p, isDir});
  }
}

}  // namespace

int SHFileOperation(SHFILEOPSTRUCT& op) {
  op.Results.clear();
  op.fAnyOperationsAborted = false;
  const std::vector<std::string> names = SplitNulList(op.pFrom);
  if (op.wFunc != FO_DELETE) {
    for (const auto& n : names) Fail(op, n, ENOTSUP);
    op.fAnyOperationsAborted = true;
    return ENOTSUP;
  }
  TTrash trash(op.TrashFolder.empty() ? HomeTrashFolder() : op.TrashFolder);
  for (const auto& name : names) {
    std::vector<Target> targets;
    Expand(op, name, targets);
    for (const auto& t : targets) DeleteOne(op, trash, t);
  }
  int first = 0;
  for (const auto& r : op.Results) {
    if (r.Outcome == fooFailed || r.Outcome == fooKept) {
      op.fAnyOperationsAborted = true;
      if (!first) first = r.Error ? r.Error : EIO;
    }
  }
  return first;
}

}  // namespace os
