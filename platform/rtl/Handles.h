// Owned file descriptors, scope guards and the reading of small files.
//
// TFileDescriptor owns one descriptor and closes it when it goes, on every
// path. Close() closes it at once and tells whether the close itself
// succeeded, for the callers that must know that what they wrote reached the
// file. TScopeGuard runs an action when its scope ends, however it ends,
// unless it was dismissed; the action must not throw.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace rtl {

class TFileDescriptor {
 public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.Release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  ~TFileDescriptor() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it; the object is empty after.
  int Release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any (a failure is not reported), and
  // takes fd instead.
  void Reset(int fd = -1);
  // Closes the descriptor now. False, with errno set, when the close failed:
  // data written through it may not have reached the file. True when
  // nothing was open.
  bool Close();

 private:
  int fd_ = -1;
};

template <typename F>
class TScopeGuard {
 public:
  explicit TScopeGuard(F action) : action_(std::move(action)) {}
  TScopeGuard(const TScopeGuard&) = delete;
  TScopeGuard& operator=(const TScopeGuard&) = delete;
  ~TScopeGuard() {
    if (armed_) action_();
  }
  // The scope ended well: the action is not run.
  void Dismiss() { armed_ = false; }

 private:
  F action_;
  bool armed_ = true;
};

// Reads the whole of a regular file of at most limit bytes into bytes.
// Returns 0, or the error code of the failure with bytes left empty: the
// system's (ENOENT for a missing file), EISDIR for a folder, EINVAL for
// anything else that is no regular file (a pipe or a device under the name
// must not hang the reader), EFBIG for a file beyond limit (also one that
// grows beyond it while it is read), ELOOP for a link when links are not
// to be followed.
inline constexpr bool kFollowLinks = true;
int ReadSmallFile(const std::string& fileName, size_t limit, std::string& bytes,
                  bool followLinks = kFollowLinks);

}  // namespace rtl
