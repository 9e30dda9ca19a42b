#include "platform/rtl/Handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace rtl {

void TFileDescriptor::Reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) {
    const int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  fd_ = fd;
}

bool TFileDescriptor::Close() {
  if (fd_ < 0) return true;
  // The descriptor is gone after close() whatever it returns: it is never
  // closed a second time.
  return ::close(Release()) == 0;
}

int ReadSmallFile(const std::string& fileName, size_t limit, std::string& bytes, bool followLinks) {
  bytes.clear();
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
  TFileDescriptor fd(::open(fileName.c_str(), flags));
  if (!fd.Valid()) return errno;
  auto fail = [&](int error) {
    bytes.clear();
    return error;
  };
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return fail(errno);
  if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  // The files of /proc say 0 here and are read to their end like any other.
  if (static_cast<uint64_t>(st.st_size) > limit) return fail(EFBIG);
  char buf[1 << 14];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    if (n == 0) break;
    if (bytes.size() + static_cast<size_t>(n) > limit) return fail(EFBIG);
    bytes.append(buf, static_cast<size_t>(n));
  }
  return 0;
}

}  // namespace rtl
