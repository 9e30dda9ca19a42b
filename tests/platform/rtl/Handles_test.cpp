#include "platform/rtl/Handles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>

#include "support/TestSupport.h"

namespace {

using tk::test::ScratchDir;
using tk::test::WriteFileBytes;

bool IsOpen(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

TEST(FileDescriptor, ClosesWhatItOwnsOnEveryPathAndNothingElse) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    rtl::TFileDescriptor fd(raw);
    EXPECT_TRUE(fd.Valid());
    EXPECT_EQ(fd.Get(), raw);
  }
  EXPECT_FALSE(IsOpen(raw));

  // Moved: the new owner closes it, once.
  raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  rtl::TFileDescriptor moved;
  {
    rtl::TFileDescriptor first(raw);
    moved = std::move(first);
    EXPECT_FALSE(first.Valid());
  }
  EXPECT_TRUE(IsOpen(raw));
  // Reset closes the old one and takes the new.
  const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  moved.Reset(next);
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_EQ(moved.Get(), next);
  // Released: the caller owns it again.
  raw = moved.Release();
  EXPECT_FALSE(moved.Valid());
  EXPECT_TRUE(IsOpen(raw));
  // Close reports the close; closing nothing succeeds.
  rtl::TFileDescriptor again(raw);
  EXPECT_TRUE(again.Close());
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_TRUE(again.Close());
  // A descriptor that was no open file: the close fails and says so.
  rtl::TFileDescriptor stale(raw);
  errno = 0;
  EXPECT_FALSE(stale.Close());
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(stale.Valid());
}

TEST(ScopeGuard, RunsWhenTheScopeEndsUnlessDismissed) {
  int runs = 0;
  {
    rtl::TScopeGuard g([&] { ++runs; });
  }
  EXPECT_EQ(runs, 1);
  try {
    rtl::TScopeGuard g([&] { ++runs; });
    throw std::runtime_error("leaving");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(runs, 2);
  {
    rtl::TScopeGuard g([&] { ++runs; });
    g.Dismiss();
  }
  EXPECT_EQ(runs, 2);
}

TEST(ReadSmallFile, ReadsARegularFileWithinItsLimitAndRefusesTheRest) {
  ScratchDir d;
  const auto dir = d.path();
  WriteFileBytes(dir / "ten", "0123456789");
  WriteFileBytes(dir / "empty", "");
  std::filesystem::create_directories(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir / "ten", dir / "link");
  struct Case {
    const char* name;
    size_t limit;
    bool followLinks;
    int error;
    const char* bytes;
  } cases[] = {
      {"ten", 10, true, 0, "0123456789"},
      {"ten", 9, true, EFBIG, ""},
      {"empty", 0, true, 0, ""},
      {"missing", 10, true, ENOENT, ""},
      {"folder", 10, true, EISDIR, ""},
      // A pipe is refused at once: no writer, and the reader does not wait.
      {"pipe", 10, true, EINVAL, ""},
      {"link", 10, true, 0, "0123456789"},
      {"link", 10, false, ELOOP, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " limit " + std::to_string(c.limit));
    std::string bytes = "left over";
    EXPECT_EQ(rtl::ReadSmallFile((dir / c.name).string(), c.limit, bytes, c.followLinks), c.error);
    EXPECT_EQ(bytes, c.bytes);
  }
  // A kernel file reports no size and is read to its end all the same.
  std::string stat;
  EXPECT_EQ(rtl::ReadSmallFile("/proc/self/stat", 4096, stat), 0);
  EXPECT_EQ(stat.rfind(std::to_string(::getpid()) + " (", 0), 0u) << stat;
  EXPECT_EQ(rtl::ReadSmallFile("/proc/self/stat", 8, stat), EFBIG);
}

}  // namespace
