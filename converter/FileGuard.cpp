#include "converter/FileGuard.h"

#include <fcntl.h>
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

// A new file in folder that has no name yet: a run killed before the
// rename leaves nothing behind. Where the file system cannot, a named file
// that is removed on every failure this process lives through.
int CreateUnnamed(const std::string& folder, std::string& named) {
  named.clear();
  int fd = ::open(folder.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0666);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    named = folder + ".tarnwick-" + rtl::IntToStr(::getpid()) + "-" + rtl::IntToStr(g_tempCounter++) + ".tif";
    fd = ::open(named.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) break;
  }
  if (fd < 0) named.clear();
  return fd;
}

// A name in folder for the unnamed file, made through /proc.
bool GiveName(int fd, const std::string& folder, std::string& named) {
  const std::string self = "/proc/self/fd/" + rtl::IntToStr(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    named = folder + ".tarnwick-" + rtl::IntToStr(::getpid()) + "-" + rtl::IntToStr(g_tempCounter++) + ".tif";
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    if (errno != EEXIST) break;
  }
  named.clear();
  return false;
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
  TIFF* tif = TIFFFdOpenExt(own.Get(), "tiff", "r", options);
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
  do {
    ++pages;
    const tmsize_t size = TIFFStripSize(tif);
    ok = size > 0 && size <= kMaxStripBytes && !TIFFIsTiled(tif);
    if (ok) strip.resize(static_cast<size_t>(size));
    for (uint32_t s = 0; ok && s < TIFFNumberOfStrips(tif); ++s)
      ok = TIFFReadEncodedStrip(tif, s, strip.data(), size) >= 0;
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
                              const std::string& target, int expectedPages) {
  const std::string head = "TIFF Error: " + target + ": ";
  // A disk that takes the bytes into its cache may still refuse them here.
  if (::fsync(fd) != 0) throw EFileGuardError(head + Why(errno));

  std::string why;
  const int pages = ReadablePages(fd, why);
  if (pages != expectedPages)
    throw EFileGuardError(
        head + (pages < 0 ? "the written file cannot be read: " + why
                          : rtl::IntToStr(pages) + " pages written of " + rtl::IntToStr(expectedPages)));

  if (named.empty() && !GiveName(fd, folder, named)) throw EFileGuardError(head + Why(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw EFileGuardError(head + Why(errno));
  if (::rename(named.c_str(), target.c_str()) != 0) throw EFileGuardError(head + Why(errno));
  named.clear();
  // The new name itself must reach the disk too before the source may go.
  rtl::TFileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid()) ::fsync(dir.Get());
  return IdentityOf(st);
}

// Whatever goes wrong before the rename, no named file of ours stays behind.
struct UnlinkUnlessPlaced {
  std::string* name;
  ~UnlinkUnlessPlaced() {
    if (!name->empty()) ::unlink(name->c_str());
  }
};

std::string FolderOf(const std::string& target) {
  std::string folder = rtl::ExtractFilePath(target);
  return folder.empty() ? "./" : folder;
}

}  // namespace

TFileIdentity PlaceTiff(const std::string& workTiff, const std::string& target, int expectedPages) {
  const std::string head = "TIFF Error: " + target + ": ";
  const std::string folder = FolderOf(target);
  rtl::TFileDescriptor in(::open(workTiff.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.Valid()) throw EFileGuardError(head + workTiff + ": " + Why(errno));

  std::string named;
  rtl::TFileDescriptor out(CreateUnnamed(folder, named));
  if (!out.Valid()) throw EFileGuardError(head + Why(errno));
  const UnlinkUnlessPlaced cleanup{&named};

  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(in.Get(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EFileGuardError(head + workTiff + ": " + Why(errno));
    if (n == 0) break;
    if (!WriteAll(out.Get(), buf.data(), static_cast<size_t>(n))) throw EFileGuardError(head + Why(errno));
  }
  return FinishPlacement(out.Get(), folder, named, target, expectedPages);
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

TFileIdentity TTiffBesideTarget::Place(int expectedPages) {
  if (!fd_.Valid()) throw EFileGuardError("TIFF Error: " + target_ + ": " + Why(EBADF));
  std::string named;
  const UnlinkUnlessPlaced cleanup{&named};
  const TFileIdentity placed = FinishPlacement(fd_.Get(), folder_, named, target_, expectedPages);
  fd_.Reset();
  path_.clear();
  return placed;
}

}  // namespace converter
