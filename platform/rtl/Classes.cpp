#include "platform/rtl/Classes.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/rtl/CodePages.h"

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
    case fmOpenWrite:
      flags |= O_WRONLY;
      break;
    case fmOpenReadWrite:
      flags |= O_RDWR;
      break;
    default:
      flags |= O_RDONLY;
      break;
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

namespace rtl {

// ---- TStringList ----------------------------------------------------------------

TStringList::~TStringList() {
  if (OwnsObjects)
    for (auto& it : items_) delete it.obj;
}

TStringList::TStringList(const TStringList& other) : TPersistent() {
  Assign(other);
}

TStringList& TStringList::operator=(const TStringList& other) {
  if (this != &other) Assign(other);
  return *this;
}

void TStringList::Assign(const TStringList& other) {
  if (this == &other) return;
  BeginUpdate();
  Clear();
  Duplicates = other.Duplicates;
  CaseSensitive = other.CaseSensitive;
  sorted_ = other.sorted_;
  NameValueSeparator = other.NameValueSeparator;
  Delimiter = other.Delimiter;
  QuoteChar = other.QuoteChar;
  LineBreak = other.LineBreak;
  items_.reserve(other.items_.size());
  for (const auto& it : other.items_) items_.push_back(it);
  Changed();
  EndUpdate();
}

int TStringList::Compare(const std::string& a, const std::string& b) const {
  return CaseSensitive ? CompareStr(a, b) : AnsiCompareText(a, b);
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EStringListError(Format(SListIndexError, {index}));
}

void TStringList::FreeObject(TObject* obj) {
  if (OwnsObjects) delete obj;
}

void TStringList::Changed() {
  if (updating_ > 0) {
    changedWhileUpdating_ = true;
    return;
  }
  if (OnChange) OnChange(*this);
}

void TStringList::EndUpdate() {
  if (updating_ > 0 && --updating_ == 0 && changedWhileUpdating_) {
    changedWhileUpdating_ = false;
    Changed();
  }
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].s;
}

void TStringList::PutStrings(int index, const std::string& s) {
  if (sorted_) throw EStringListError(SSortedListError);
  CheckIndex(index);
  items_[static_cast<size_t>(index)].s = s;
  Changed();
}

TObject* TStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].obj;
}

void TStringList::PutObject(int index, TObject* obj) {
  CheckIndex(index);
  auto& it = items_[static_cast<size_t>(index)];
  if (it.obj != obj) FreeObject(it.obj);
  it.obj = obj;
  Changed();
}

int TStringList::Add(const std::string& s) {
  return AddObject(s, nullptr);
}

int TStringList::AddObject(const std::string& s, TObject* obj) {
  int index = Count();
  if (sorted_) {
    if (Find(s, index)) {
      if (Duplicates == dupIgnore) {
        // The entry is not added; an owned object that came with it is freed.
        if (obj != items_[static_cast<size_t>(index)].obj) FreeObject(obj);
        return index;
      }
      if (Duplicates == dupError) {
        if (obj != items_[static_cast<size_t>(index)].obj) FreeObject(obj);
        throw EStringListError(SDuplicateString);
      }
    }
  }
  InsertItem(index, s, obj);
  return index;
}

void TStringList::AddStrings(const TStringList& other) {
  if (this == &other) {
    TStringList copy(other);
    AddStrings(copy);
    return;
  }
  BeginUpdate();
  for (const auto& it : other.items_) AddObject(it.s, it.obj);
  EndUpdate();
}

void TStringList::Insert(int index, const std::string& s) {
  InsertObject(index, s, nullptr);
}

void TStringList::InsertObject(int index, const std::string& s, TObject* obj) {
  if (sorted_) throw EStringListError(SSortedListError);
  if (index < 0 || index > Count()) throw EStringListError(Format(SListIndexError, {index}));
  InsertItem(index, s, obj);
}

void TStringList::InsertItem(int index, const std::string& s, TObject* obj) {
  items_.insert(items_.begin() + index, Item{s, obj});
  Changed();
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  TObject* obj = items_[static_cast<size_t>(index)].obj;
  items_.erase(items_.begin() + index);
  FreeObject(obj);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  std::vector<Item> old;
  old.swap(items_);
  for (auto& it : old) FreeObject(it.obj);
  Changed();
}

void TStringList::Exchange(int a, int b) {
  CheckIndex(a);
  CheckIndex(b);
  std::swap(items_[static_cast<size_t>(a)], items_[static_cast<size_t>(b)]);
  Changed();
}

void TStringList::Move(int from, int to) {
  if (from == to) return;
  CheckIndex(from);
  CheckIndex(to);
  Item it = items_[static_cast<size_t>(from)];
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, it);
  Changed();
}

int TStringList::IndexOf(const std::string& s) const {
  if (sorted_) {
    int i;
    return Find(s, i) ? i : -1;
  }
  for (int i = 0; i < Count(); ++i)
    if (Compare(items_[static_cast<size_t>(i)].s, s) == 0) return i;
  return -1;
}

int TStringList::IndexOfObject(const TObject* obj) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[static_cast<size_t>(i)].obj == obj) return i;
  return -1;
}

bool TStringList::Find(const std::string& s, int& index) const {
  // The first of equal entries, so that IndexOf agrees with an unsorted list.
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    int c = Compare(items_[static_cast<size_t>(mid)].s, s);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) found = true;
    }
  }
  index = lo;
  return found;
}

void TStringList::Sort() {
  // Stable, so that equal strings keep their order.
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const Item& a, const Item& b) { return Compare(a.s, b.s) < 0; });
  Changed();
}

void TStringList::CustomSort(const std::function<int(const TStringList&, int, int)>& compare) {
  if (sorted_) throw EStringListError(SSortedListError);
  // The comparison sees indexes into this list: sort a permutation, then apply it.
  std::vector<int> order(items_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return compare(*this, a, b) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(items_.size());
  for (int i : order) sorted.push_back(items_[static_cast<size_t>(i)]);
  items_.swap(sorted);
  Changed();
}

void TStringList::SetSorted(bool value) {
  if (value == sorted_) return;
  if (value) Sort();
  sorted_ = value;
}

std::string TStringList::Names(int index) const {
  const std::string& s = Strings(index);
  size_t p = s.find(NameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(0, p);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& s = Strings(index);
  size_t p = s.find(NameValueSeparator);
  return p == std::string::npos ? std::string() : s.substr(p + 1);
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& s = items_[static_cast<size_t>(i)].s;
    size_t p = s.find(NameValueSeparator);
    if (p != std::string::npos && Compare(s.substr(0, p), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValues(const std::string& name, const std::string& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = name + NameValueSeparator + value;
  if (i < 0) {
    Add(line);
  } else if (sorted_) {
    // A sorted list keeps its order: take the entry out and add it again.
    TObject* obj = items_[static_cast<size_t>(i)].obj;
    items_.erase(items_.begin() + i);
    AddObject(line, obj);
  } else {
    PutStrings(i, line);
  }
}

std::string TStringList::Text() const {
  std::string r;
  for (const auto& it : items_) {
    r += it.s;
    r += LineBreak;
  }
  return r;
}

void TStringList::SetText(const std::string& text) {
  BeginUpdate();
  Clear();
  size_t i = 0;
  while (i < text.size()) {
    size_t e = text.find_first_of("\r\n", i);
    if (e == std::string::npos) {
      Add(text.substr(i));
      break;
    }
    Add(text.substr(i, e - i));
    i = e + 1;
    if (text[e] == '\r' && i < text.size() && text[i] == '\n') ++i;
  }
  EndUpdate();
}

std::string TStringList::DelimitedText() const {
  return Join(Delimiter, QuoteChar);
}

std::string TStringList::Join(char delimiter, char quote) const {
  if (Count() == 1 && items_[0].s.empty()) return std::string(2, quote);
  std::string r;
  for (size_t k = 0; k < items_.size(); ++k) {
    const std::string& s = items_[k].s;
    bool quoted = false;
    for (size_t i = 0; i < s.size();) {
      unsigned char c = static_cast<unsigned char>(s[i]);
      size_t len = CharByteLength(s, i);
      // A lone lead byte at the end would take the delimiter after it as its
      // trail byte; inside quotes it is followed by the quote, never a trail.
      bool loneLead = len == 1 && i + 1 == s.size() && IsDBCSLeadByte(c);
      if (c <= ' ' || s[i] == quote || s[i] == delimiter || loneLead) {
        quoted = true;
        break;
      }
      i += len;
    }
    if (k) r += delimiter;
    r += quoted ? AnsiQuotedStr(s, quote) : s;
  }
  return r;
}

void TStringList::SetDelimitedText(const std::string& text) {
  Split(text, Delimiter, QuoteChar);
}

void TStringList::Split(const std::string& text, char delimiter, char quote) {
  auto blank = [&](size_t i) {
    // NUL counts as a blank: it ends nothing, unlike in C strings.
    return static_cast<unsigned char>(text[i]) <= ' ';
  };
  BeginUpdate();
  Clear();
  size_t i = 0, n = text.size();
  while (i < n && blank(i)) ++i;
  while (i < n) {
    std::string s;
    if (text[i] == quote) {
      // A quoted string: a doubled quote stands for one; the closing quote ends it.
      ++i;
      while (i < n) {
        size_t len = CharByteLength(text, i);
        if (len == 1 && text[i] == quote) {
          if (i + 1 < n && text[i + 1] == quote) {
            s += quote;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        s.append(text, i, len);
        i += len;
      }
    } else {
      size_t b = i;
      while (i<n&& static_cast<unsigned char>(text[i])> ' ' && text[i] != delimiter)
        i += CharByteLength(text, i);
      s = text.substr(b, i - b);
    }
    Add(s);
    while (i < n && blank(i)) ++i;
    if (i < n && text[i] == delimiter) {
      if (i + 1 == n) Add("");
      do {
        ++i;
      } while (i < n && blank(i));
    }
  }
  EndUpdate();
}

std::string TStringList::CommaText() const {
  return Join(',', '"');
}

void TStringList::SetCommaText(const std::string& text) {
  Split(text, ',', '"');
}

void TStringList::LoadFromStream(TStream& stream) {
  int64_t size = stream.Size() - stream.Position();
  std::string bytes;
  if (size > 0) {
    bytes.resize(static_cast<size_t>(size));
    bytes.resize(static_cast<size_t>(stream.Read(bytes.data(), size)));
  }
  SetText(bytes);
}

void TStringList::SaveToStream(TStream& stream) const {
  stream.WriteString(Text());
}

void TStringList::LoadFromFile(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(f);
}

void TStringList::SaveToFile(const std::string& fileName) const {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

}  // namespace rtl
