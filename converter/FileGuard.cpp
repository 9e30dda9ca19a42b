#include "converter/FileGuard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/imagekit/TiffComplaints.h"
#include "platform/rtl/Handles.h"

namespace converter {

namespace {

TFileIdentity IdentityOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, static_cast<int64_t>(st.st_size),
          static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string Why(int error) {
  return std::strerror(error);
}

[[noreturn]] void RaiseNotRegular(const std::string& path) {
  throw EFileGuardError("Source Error: " + path + " is not a regular file");
}

bool WriteAll(int fd, const char* data, size_t n) {
  for (size_t done = 0; done < n;) {
    ssize_t w = ::write(fd, data + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(w);
  }
  return true;
}

// A strip of the largest page a scanner makes (one strip per bilevel page:
// A3 at 1200 dpi is 35 MB) fits well; a damaged size field must not make the
// check allocate without bound.
constexpr tmsize_t kMaxStripBytes = tmsize_t{256} << 20;

std::atomic<unsigned> g_tempCounter{0};

// Temporary TIFFs are named ".tarnwick-<pid>-<n>.tif" in the target's folder.
constexpr const char* kTempPrefix = ".tarnwick-";
constexpr const char* kTempSuffix = ".tif";

std::string TempName(const std::string& folder) {
  return folder + kTempPrefix + rtl::IntToStr(::getpid()) + "-" + rtl::IntToStr(g_tempCounter++) +
         kTempSuffix;
}

// The process id in a temporary's file name; 0 for any other name.
pid_t TempOwner(const std::string& name) {
  const size_t pre = std::strlen(kTempPrefix), suf = std::strlen(kTempSuffix);
  if (name.size() <= pre + suf || name.compare(0, pre, kTempPrefix) != 0 ||
      name.compare(name.size() - suf, suf, kTempSuffix) != 0)
    return 0;
  const std::string middle = name.substr(pre, name.size() - pre - suf);
  const size_t dash = middle.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == middle.size() || dash > 9 ||
      middle.find_first_not_of("0123456789-") != std::string::npos ||
      middle.find('-', dash + 1) != std::string::npos)
    return 0;
  return static_cast<pid_t>(std::stol(middle.substr(0, dash)));
}

// The note of a temporary: its identity ("<device> <inode>", or "-" before
// the file exists), a line break, then its name as it is (any bytes).
void WriteNote(const std::string& note, const std::string& name, const struct stat* st) {
  if (note.empty()) return;
  const std::string text =
      (st ? std::to_string(st->st_dev) + " " + std::to_string(st->st_ino) : std::string("-")) + "\n" + name;
  rtl::TFileDescriptor fd(::open(note.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  // Without its note a temporary could outlive a kill unseen: none is made.
  if (!fd.Valid() || !WriteAll(fd.Get(), text.data(), text.size()))
    throw EFileGuardError("TIFF Error: " + note + ": " + Why(errno));
}

// A new file in folder that has no name yet: a run killed before the
// rename leaves nothing behind. Where the file system cannot, a named file
// that is removed on every failure this process lives through, and that
// the note names for a later start when the process is killed.
int CreateUnnamed(const std::string& folder, std::string& named, const std::string& note) {
  named.clear();
  int fd = ::open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    named = TempName(folder);
    WriteNote(note, named, nullptr);
    fd = ::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      struct stat st {};
      try {
        if (::fstat(fd, &st) == 0) WriteNote(note, named, &st);
      } catch (...) {
        ::close(fd);  // the caller removes the file by its name
        throw;
      }
      return fd;
    }
    if (errno != EEXIST) break;
  }
  named.clear();
  return -1;
}

// A name in folder for the unnamed file, made through /proc; the note
// names it first.
bool GiveName(int fd, const std::string& folder, std::string& named, const std::string& note) {
  const std::string self = "/proc/self/fd/" + rtl::IntToStr(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    named = TempName(folder);
    WriteNote(note, named, &st);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) break;
  }
  named.clear();
  return false;
}

// Renames from to to unless to names anything at all (a dangling link
// too); errno EEXIST when it does.
bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a second name is refused on any name
  // that is taken.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return true;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return false;
  // Nor second names (FAT on a memory card): looked at just before.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

TFileIdentity IdentifyRegularFile(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw EFileGuardError("Source Error: " + path + ": " + Why(errno));
  if (!S_ISREG(st.st_mode)) RaiseNotRegular(path);
  return IdentityOf(st);
}

bool StillTheSame(const std::string& path, const TFileIdentity& id) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && IdentityOf(st) == id;
}

bool IsPlacedFile(const std::string& path, const TFileIdentity& id) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return st.st_dev == id.Device && st.st_ino == id.Inode;
}

void ReadRegularFile(const std::string& path, rtl::TMemoryStream& into) {
  // Without O_NONBLOCK the open of a pipe waits for a writer.
  rtl::TFileDescriptor in(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in.Valid()) throw EFileGuardError("Source Error: " + path + ": " + Why(errno));
  struct stat st {};
  if (::fstat(in.Get(), &st) != 0) throw EFileGuardError("Source Error: " + path + ": " + Why(errno));
  if (!S_ISREG(st.st_mode)) RaiseNotRegular(path);
  into.Clear();
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(in.Get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EFileGuardError("Source Error: " + path + ": " + Why(errno));
    if (n == 0) break;
    into.Write(buf.data(), n);
  }
  into.SetPosition(0);
}

int ReadablePages(int fd, std::string& why) {
  rtl::TFileDescriptor own(::dup(fd));
  if (!own.Valid()) {
    why = Why(errno);
    return -1;
  }
  ::lseek(own.Get(), 0, SEEK_SET);
  imagekit::TTiffComplaints complaints;
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) {
    why = "out of memory";
    return -1;
  }
  complaints.Attach(options);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxStripBytes);
  // "m": read, not mapped: a mapped file's pages, once read, would count
  // in the program's memory for as long as the check runs.
  TIFF* tif = TIFFFdOpenExt(own.Get(), "tiff", "rm", options);
  TIFFOpenOptionsFree(options);
  if (!tif) {
    why = complaints.Text.empty() ? "not a TIFF file" : complaints.Text;
    return -1;
  }
  // The handle owns its descriptor from here on, and closes it.
  own.Release();
  int pages = 0;
  bool ok = true;
  std::vector<uint8_t> strip;
  // Every page's every strip is read back as it lies in the file: a file
  // cut short, or one that cannot be read, shows here. (The data is what the
  // encoder made of the page; decoding it again would only cost time.)
  do {
    ++pages;
    const uint32_t strips = TIFFNumberOfStrips(tif);
    ok = strips > 0 && TIFFStripSize(tif) > 0 && !TIFFIsTiled(tif);
    for (uint32_t s = 0; ok && s < strips; ++s) {
      const uint64_t size = TIFFGetStrileByteCount(tif, s);
      ok = size > 0 && size <= static_cast<uint64_t>(kMaxStripBytes);
      if (!ok) break;
      if (strip.size() < size) strip.resize(static_cast<size_t>(size));
      ok = TIFFReadRawStrip(tif, s, strip.data(), static_cast<tmsize_t>(size)) == static_cast<tmsize_t>(size);
    }
  } while (ok && complaints.Text.empty() && TIFFReadDirectory(tif));
  TIFFClose(tif);
  if (!ok || !complaints.Text.empty()) {
    why = complaints.Text.empty() ? "page " + rtl::IntToStr(pages) + " cannot be read" : complaints.Text;
    return -1;
  }
  return pages;
}

namespace {

// The checked end of a placement: the file open on fd (unnamed, or named
// named) in folder is flushed, read back, named when it has no name, and
// renamed over target.
TFileIdentity FinishPlacement(int fd, const std::string& folder, std::string& named,
                              const std::string& target, int expectedPages, const std::string& note,
                              TPlacement mode) {
  const std::string head = "TIFF Error: " + target + ": ";
  // A disk that takes the bytes into its cache may still refuse them here.
  if (::fsync(fd) != 0) throw EFileGuardError(head + Why(errno));

  std::string why;
  const int pages = ReadablePages(fd, why);
  if (pages != expectedPages)
    throw EFileGuardError(
        head + (pages < 0 ? "the written file cannot be read: " + why
                          : rtl::IntToStr(pages) + " pages written of " + rtl::IntToStr(expectedPages)));

  if (named.empty() && !GiveName(fd, folder, named, note)) throw EFileGuardError(head + Why(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw EFileGuardError(head + Why(errno));
  if (mode == TPlacement::Replace) {
    if (::rename(named.c_str(), target.c_str()) != 0) throw EFileGuardError(head + Why(errno));
  } else if (!RenameWithoutReplacing(named, target)) {
    if (errno == EEXIST) throw ETargetTaken(head + "a file of that name is there, and stays");
    throw EFileGuardError(head + Why(errno));
  }
  named.clear();
  // The new name itself must reach the disk too before the source may go.
  rtl::TFileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid()) ::fsync(dir.Get());
  return IdentityOf(st);
}

// Whatever goes wrong before the rename, no named file of ours stays
// behind; the note goes once nothing is left for it to name.
struct UnlinkUnlessPlaced {
  std::string* name;
  const std::string& note;
  ~UnlinkUnlessPlaced() {
    if (!name->empty()) ::unlink(name->c_str());
    if (!note.empty()) ::unlink(note.c_str());
  }
};

std::string FolderOf(const std::string& target) {
  std::string folder = rtl::ExtractFilePath(target);
  return folder.empty() ? "./" : folder;
}

}  // namespace

TFileIdentity PlaceTiff(const std::string& workTiff, const std::string& target, int expectedPages,
                        const std::string& note, TPlacement mode) {
  const std::string head = "TIFF Error: " + target + ": ";
  const std::string folder = FolderOf(target);
  rtl::TFileDescriptor in(::open(workTiff.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) throw EFileGuardError(head + workTiff + ": " + Why(errno));

  std::string named;
  const UnlinkUnlessPlaced cleanup{&named, note};
  rtl::TFileDescriptor out(CreateUnnamed(folder, named, note));
  if (!out.Valid()) throw EFileGuardError(head + Why(errno));

  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(in.Get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EFileGuardError(head + workTiff + ": " + Why(errno));
    if (n == 0) break;
    if (!WriteAll(out.Get(), buf.data(), static_cast<size_t>(n))) throw EFileGuardError(head + Why(errno));
  }
  return FinishPlacement(out.Get(), folder, named, target, expectedPages, note, mode);
}

bool TTiffBesideTarget::Open(const std::string& target) {
  target_ = target;
  folder_ = FolderOf(target);
  fd_.Reset(::open(folder_.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666));
  if (!fd_.Valid()) return false;
  path_ = "/proc/self/fd/" + rtl::IntToStr(fd_.Get());
  // Without /proc the file could neither be written by name nor named.
  if (::access(path_.c_str(), W_OK) != 0) {
    fd_.Reset();
    path_.clear();
    return false;
  }
  return true;
}

TFileIdentity TTiffBesideTarget::Place(int expectedPages, const std::string& note, TPlacement mode) {
  if (!fd_.Valid()) throw EFileGuardError("TIFF Error: " + target_ + ": " + Why(EBADF));
  std::string named;
  const UnlinkUnlessPlaced cleanup{&named, note};
  const TFileIdentity placed = FinishPlacement(fd_.Get(), folder_, named, target_, expectedPages, note, mode);
  fd_.Reset();
  path_.clear();
  return placed;
}

void RemoveLeftTemporary(const std::string& note) {
  rtl::TFileDescriptor in(::open(note.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat nst {};
  if (!in.Valid() || ::fstat(in.Get(), &nst) != 0 || !S_ISREG(nst.st_mode) || nst.st_size > 8192) return;
  std::string text(static_cast<size_t>(nst.st_size), '\0');
  if (::read(in.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) return;
  const size_t nl = text.find('\n');
  if (nl == std::string::npos) return;
  const std::string id = text.substr(0, nl), path = text.substr(nl + 1);
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  const pid_t owner = TempOwner(path.substr(slash + 1));
  struct stat st {};
  if (owner <= 0 || ::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return;
  if (id == "-") {
    // Named before it was made: a file of that name whose process is gone.
    if (!(::kill(owner, 0) != 0 && errno == ESRCH)) return;
  } else if (id != std::to_string(st.st_dev) + " " + std::to_string(st.st_ino)) {
    return;
  }
  ::unlink(path.c_str());
}

}  // namespace converter
