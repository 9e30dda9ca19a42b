#include "platform/rtl/Classes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace rtl {

// ---- TStream --------------------------------------------------------------

int64_t TStream::Size() {
  int64_t pos = Seek(0, soCurrent);
  int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TStream::SetSize(int64_t) {}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count < 0) throw EReadError(SReadError);
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t n = Read(p + done, count - done);
    if (n <= 0) throw EReadError(SReadError);
    done += n;
  }
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count < 0) throw EWriteError(SWriteError);
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    int64_t n = Write(p + done, count - done);
    if (n <= 0) throw EWriteError(SWriteError);
    done += n;
  }
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  constexpr int64_t kChunk = 1 << 16;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min(count, kChunk)) + 1);
  int64_t left = count;
  while (left > 0) {
    int64_t n = std::min(left, kChunk);
    source.ReadBuffer(buf.data(), n);
    WriteBuffer(buf.data(), n);
    left -= n;
  }
  return count;
}

// ---- TMemoryStream --------------------------------------------------------

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= size_) return 0;
  int64_t n = std::min(count, size_ - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  int64_t end = pos_ + count;
  if (end > size_) SetSize(end);
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : size_;
  int64_t np = base + offset;
  // A position before the start is clamped; one past the end is allowed
  // (a later write grows the stream).
  pos_ = np < 0 ? 0 : np;
  return pos_;
}

void TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  if (static_cast<uint64_t>(newSize) > data_.size()) {
    try {
      size_t cap = std::max<size_t>(static_cast<size_t>(newSize), data_.size() + data_.size() / 2);
      data_.resize(cap);
    } catch (const std::bad_alloc&) {
      throw EOutOfMemory(SMemoryStreamError);
    } catch (const std::length_error&) {
      throw EOutOfMemory(SMemoryStreamError);
    }
  }
  size_ = newSize;
  if (pos_ > size_) pos_ = size_;
}

void TMemoryStream::Clear() {
  data_.clear();
  size_ = 0;
  pos_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  int64_t n = source.Size();
  SetSize(n);
  pos_ = 0;
  if (n > 0) source.ReadBuffer(data_.data(), n);
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TMemoryStream::SaveToStream(TStream& dest) {
  if (size_ > 0) dest.WriteBuffer(data_.data(), size_);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

TStringStream::TStringStream(const std::string& s) {
  WriteString(s);
  SetPosition(0);
}

// ---- TFileStream ----------------------------------------------------------

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : fileName_(fileName) {
  if (mode == fmCreate || (mode & 0xFF00) == fmCreate) {
    fd_ = ::open(fileName.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw EFCreateError(Format(SFCreateError, {fileName, std::strerror(errno)}));
    return;
  }
  int flags = O_CLOEXEC;
  switch (mode & 0x3) {
    case fmOpenWrite: flags |= O_WRONLY; break;
    case fmOpenReadWrite: flags |= O_RDWR; break;
    default: flags |= O_RDONLY; break;
  }
  fd_ = ::open(fileName.c_str(), flags);
  if (fd_ >= 0) {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd_);
      fd_ = -1;
      errno = EISDIR;
    }
  }
  if (fd_ < 0) throw EFOpenError(Format(SFOpenError, {fileName, std::strerror(errno)}));
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::read(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return n;
    if (errno != EINTR) return 0;
  }
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  for (;;) {
    ssize_t n = ::write(fd_, buffer, static_cast<size_t>(count));
    if (n >= 0) return n;
    if (errno != EINTR) return 0;
  }
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  off_t r = ::lseek(fd_, offset, whence);
  if (r < 0) r = ::lseek(fd_, 0, SEEK_CUR);
  return r;
}

void TFileStream::SetSize(int64_t newSize) {
  if (::ftruncate(fd_, newSize) != 0) throw EWriteError(SWriteError);
  if (Position() > newSize) Seek(newSize, soBeginning);
}

// ---- TComponent -----------------------------------------------------------

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->InsertComponent(this);
}

TComponent::~TComponent() {
  // Free owned components last-created first; each removes itself.
  while (!components_.empty()) {
    TComponent* c = components_.back();
    components_.pop_back();
    c->owner_ = nullptr;
    delete c;
  }
  if (owner_) owner_->RemoveComponent(this);
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) throw EListError(Format(SListIndexError, {index}));
  return components_[static_cast<size_t>(index)];
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* c : components_)
    if (!name.empty() && ::strcasecmp(c->Name.c_str(), name.c_str()) == 0) return c;
  return nullptr;
}

void TComponent::RemoveComponent(TComponent* c) {
  auto it = std::find(components_.begin(), components_.end(), c);
  if (it != components_.end()) components_.erase(it);
}

}  // namespace rtl
