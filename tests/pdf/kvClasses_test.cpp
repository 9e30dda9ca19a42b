#include "pdf/kvClasses.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "support/TestSupport.h"

namespace {

using namespace pdf;

// An object that reports its destruction, to see who frees what.
struct Probe : TkvObject {
  explicit Probe(int* counter) : freed(counter) {}
  ~Probe() override { ++*freed; }
  int* freed;
};

TEST(ExtMemStream, BigEndianReadsAndWrites) {
  TkvExtMemStream m;
  m.WriteBytes({0x12, 0x34, 0x00, 0x01, 0x00, 0x00});
  m.SetPosition(0);
  EXPECT_EQ(m.ReadWordBE(), 0x1234);
  EXPECT_EQ(m.ReadLongBE(), 65536u);
  EXPECT_THROW(m.ReadByte(), rtl::EReadError);

  TkvExtMemStream w;
  w.WriteLongBE(1);
  w.WriteWordBE(0xABCD);
  w.WriteByte(0xFF);
  w.WriteChars("ok");
  EXPECT_EQ(w.DataString(), std::string("\x00\x00\x00\x01\xAB\xCD\xFFok", 9));
}

TEST(ExtMemStream, PadToLongAndSkipClamped) {
  struct Case {
    int size;
    int64_t pad;
  } cases[] = {{13, 3}, {16, 0}, {0, 0}, {1, 3}, {15, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    TkvExtMemStream m;
    m.WriteChars(std::string(static_cast<size_t>(c.size), 'x'));
    m.SetPosition(0);
    m.PadToLong();
    EXPECT_EQ(m.Size(), c.size + c.pad);
    EXPECT_EQ(m.LastPadCount, c.pad);
    EXPECT_EQ(m.DataString().substr(static_cast<size_t>(c.size)),
              std::string(static_cast<size_t>(c.pad), '\0'));
  }
  TkvExtMemStream m;
  m.WriteChars(std::string(20, 'a'));
  m.SetPosition(4);
  m.SkipClamped(-10);
  EXPECT_EQ(m.Position(), 0);
  m.SkipClamped(100);
  EXPECT_EQ(m.Position(), 20);
  m.SkipClamped(INT64_MAX);
  EXPECT_EQ(m.Position(), 20);
}

TEST(ExtMemStream, ReadCharsKeepsRequestedLength) {
  TkvExtMemStream m;
  m.WriteChars("abc");
  m.SetPosition(1);
  std::string s;
  EXPECT_EQ(m.ReadChars(5, s), 2);
  EXPECT_EQ(s, std::string("bc\0\0\0", 5));
}

TEST(StreamAdapters, NullStreamRefused) {
  try {
    TkvRandomAccessFilter f(nullptr);
    FAIL();
  } catch (const EInvalidStream& e) {
    EXPECT_STREQ(e.what(), "Invalid Stream! Cannot create with null stream");
  }
  EXPECT_THROW(TkvWriteOnlyFilter(nullptr), EInvalidStream);
}

TEST(StreamAdapters, WrongDirectionRaisesLibraryReadError) {
  rtl::TStringStream s("abc");
  TkvReadOnlyFilter r(&s);
  TkvWriteOnlyFilter w(&s);
  char buf[2];
  try {
    r.Write("x", 1);
    FAIL();
  } catch (const EReadError& e) {
    EXPECT_STREQ(e.what(), "A write-only filter cannot read");
  }
  EXPECT_THROW(w.Read(buf, 1), EReadError);
  // The library's read error is not the class library's.
  EXPECT_THROW(w.Read(buf, 1), TkvException);
}

// The same operations over a memory stream (read directly) and over a file
// stream (read through the stream's own calls).
void CheckCharacterOperations(rtl::TStream& s) {
  TkvRandomAccessFilter f(&s);
  EXPECT_EQ(f.SourceSize, 4);
  EXPECT_EQ(f.PeekChar(), 'a');
  EXPECT_EQ(f.Position(), 0);
  EXPECT_EQ(f.ReadChar(), 'a');
  f.StepBack();
  EXPECT_EQ(f.Position(), 0);
  f.SkipBytes(2);
  std::string t;
  EXPECT_EQ(f.PeekString(10, t), 2);
  EXPECT_EQ(t.size(), 10u);
  EXPECT_EQ(t.substr(0, 2), "cd");
  EXPECT_EQ(f.Position(), 2);
  EXPECT_EQ(f.ReadString(2, t), 2);
  EXPECT_EQ(t, "cd");
  // At the end nothing is read and the position stays put.
  EXPECT_EQ(f.PeekChar(), TkvReadOnlyFilter::kEndOfData);
  EXPECT_EQ(f.Position(), 4);
  EXPECT_EQ(f.ReadChar(), TkvReadOnlyFilter::kEndOfData);
  EXPECT_EQ(f.Position(), 4);
  EXPECT_EQ(f.Seek(0, rtl::soBeginning), 0);
  EXPECT_EQ(f.Seek(-1, rtl::soEnd), 3);
  EXPECT_EQ(f.ReadChar(), 'd');
}

TEST(StreamAdapters, CharacterOperations) {
  {
    SCOPED_TRACE("memory");
    rtl::TStringStream s("abcd");
    CheckCharacterOperations(s);
    EXPECT_EQ(s.DataString(), "abcd");  // never written, never owned
  }
  {
    SCOPED_TRACE("file");
    tk::test::ScratchDir dir;
    tk::test::WriteFileBytes(dir / "f", "abcd");
    rtl::TFileStream s((dir / "f").string(), rtl::fmOpenRead);
    CheckCharacterOperations(s);
  }
}

// A stream that is neither a memory nor a file stream, counting the calls
// the adapter makes on it.
struct CountingStream : rtl::TStream {
  explicit CountingStream(std::string b) : bytes(std::move(b)) {}
  int64_t Read(void* buffer, int64_t count) override {
    ++reads;
    const int64_t n =
        std::max<int64_t>(0, std::min<int64_t>(count, static_cast<int64_t>(bytes.size()) - pos));
    if (n > 0) std::memcpy(buffer, bytes.data() + pos, static_cast<size_t>(n));
    pos += n;
    bytesRead += n;
    return n;
  }
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    ++seeks;
    pos = (origin == rtl::soBeginning ? 0
           : origin == rtl::soCurrent ? pos
                                      : static_cast<int64_t>(bytes.size())) +
          offset;
    return pos;
  }
  std::string bytes;
  int64_t pos = 0;
  int reads = 0, seeks = 0;
  int64_t bytesRead = 0;
};

// Over a stream of its own kind the adapter reads through a window: one
// character at a time costs the source a call per window, not per
// character, and what comes out is the source's bytes wherever the reads
// cross the window's edges.
TEST(StreamAdapters, ReadsThroughAWindow) {
  std::string bytes(5 * TkvReadOnlyFilter::kWindowSize + 123, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
  const int64_t size = static_cast<int64_t>(bytes.size());
  {
    SCOPED_TRACE("one character at a time");
    CountingStream s(bytes);
    TkvReadOnlyFilter f(&s);
    const int seeksToMeasure = s.seeks;  // the size and the start position
    std::string got;
    for (int c = f.ReadChar(); c != TkvReadOnlyFilter::kEndOfData; c = f.ReadChar())
      got.push_back(static_cast<char>(c));
    EXPECT_EQ(got, bytes);
    // The blocks double up to the longest, then a call per longest block.
    int ramp = 0;
    for (int64_t w = TkvReadOnlyFilter::kMinWindow; w < TkvReadOnlyFilter::kWindowSize; w *= 2) ++ramp;
    EXPECT_LE(s.reads, ramp + size / TkvReadOnlyFilter::kWindowSize + 2);
    EXPECT_EQ(s.seeks, seeksToMeasure);
  }
  {
    SCOPED_TRACE("hops over large bodies");
    // A few hundred bytes every 100 KB, as a reader goes from object to
    // object between large streams: a short block at each, not a long one.
    std::string big(40 * 100000, 'x');
    CountingStream s(big);
    TkvRandomAccessFilter f(&s);
    const int readsBefore = s.reads;
    for (int64_t at = 50; at < static_cast<int64_t>(big.size()); at += 100000) {
      f.SetPosition(at);
      for (int i = 0; i < 300; ++i) ASSERT_EQ(f.ReadChar(), 'x');
    }
    EXPECT_EQ(s.reads - readsBefore, 40);
    EXPECT_LE(s.bytesRead, 40 * 2 * TkvReadOnlyFilter::kMinWindow);
  }
  {
    SCOPED_TRACE("peeks, blocks and seeks across the edges");
    CountingStream s(bytes);
    TkvRandomAccessFilter f(&s);
    const int64_t edge = TkvReadOnlyFilter::kWindowSize;
    f.SetPosition(edge - 3);
    std::string t;
    EXPECT_EQ(f.PeekString(8, t), 8);
    EXPECT_EQ(t, bytes.substr(static_cast<size_t>(edge - 3), 8));
    EXPECT_EQ(f.Position(), edge - 3);
    // A block larger than the window, starting inside it.
    std::string block(static_cast<size_t>(2 * edge + 10), '\0');
    EXPECT_EQ(f.Read(block.data(), static_cast<int64_t>(block.size())), static_cast<int64_t>(block.size()));
    EXPECT_EQ(block, bytes.substr(static_cast<size_t>(edge - 3), block.size()));
    EXPECT_EQ(f.ReadChar(), static_cast<unsigned char>(bytes[static_cast<size_t>(3 * edge + 7)]));
    f.StepBack();
    f.StepBack();
    EXPECT_EQ(f.ReadChar(), static_cast<unsigned char>(bytes[static_cast<size_t>(3 * edge + 6)]));
    f.Seek(-2, rtl::soEnd);
    EXPECT_EQ(f.ReadString(10, t), 2);
    EXPECT_EQ(t.substr(0, 2), bytes.substr(bytes.size() - 2));
    EXPECT_EQ(f.PeekChar(), TkvReadOnlyFilter::kEndOfData);
    f.SetPosition(1);
    EXPECT_EQ(f.ReadChar(), static_cast<unsigned char>(bytes[1]));
  }
}

TEST(StreamAdapters, WriteOnlyForwards) {
  rtl::TMemoryStream m;
  {
    TkvWriteOnlyFilter w(&m);
    w.WriteString("hello");
    w.Seek(0, rtl::soBeginning);
    w.WriteString("J");
  }
  EXPECT_EQ(m.DataString(), "Jello");
}

TEST(ObjectList, GrowthRule) {
  TkvObjectList l;
  // capacity after n additions
  struct Case {
    int adds;
    int capacity;
  } cases[] = {{1, 4}, {4, 4}, {5, 8}, {9, 12}, {13, 28}, {29, 44}, {45, 60}, {61, 76}, {77, 95}};
  int done = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.adds);
    for (; done < c.adds; ++done) EXPECT_EQ(l.Add(done, nullptr), done);
    EXPECT_EQ(l.Capacity(), c.capacity);
  }
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
  EXPECT_EQ(l.Capacity(), 0);

  // A merge sizes the list to both counts; a full list of 80 grows by 20.
  TkvObjectList a, b;
  for (int i = 0; i < 40; ++i) a.Add(i, nullptr), b.Add(100 + i, nullptr);
  a.Merge(b);
  EXPECT_EQ(a.Capacity(), 80);
  a.Add(500, nullptr);
  EXPECT_EQ(a.Capacity(), 100);
}

TEST(ObjectList, ErrorsLeaveListUnchanged) {
  TkvObjectList l;
  int freed = 0;
  Probe a(&freed);
  l.Add(1, &a);
  try {
    l.Add(-5, &a);
    FAIL();
  } catch (const EInvalidID& e) {
    EXPECT_STREQ(e.what(), "Invalid unique ID (-5)");
  }
  try {
    l.Objects(1);
    FAIL();
  } catch (const rtl::EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (1)");
  }
  TkvObjectPair p;
  EXPECT_THROW(l.GetItem(-1, p), rtl::EListError);
  EXPECT_THROW(l.Insert(3, 2, &a), rtl::EListError);
  EXPECT_EQ(l.Count(), 1);
  EXPECT_EQ(l.Objects(0), &a);
}

TEST(ObjectList, IndexOfFindsFirstAndInsertShifts) {
  TkvObjectList l;
  int freed = 0;
  Probe a(&freed), b(&freed), c(&freed);
  l.Add(7, &a);
  l.Add(7, &b);
  l.Insert(0, 3, &c);
  EXPECT_EQ(l.IndexOf(7), 1);
  EXPECT_EQ(l.IndexOf(3), 0);
  EXPECT_EQ(l.IndexOf(9), -1);
  l.Clear();
  EXPECT_EQ(freed, 0);  // the list never frees on Clear
}

TEST(ObjectList, MergeKeepsOwnAndFreesDuplicates) {
  int freed = 0;
  auto own7 = std::make_unique<Probe>(&freed);
  TkvObjectList receiver;
  receiver.Add(7, own7.get());
  TkvObjectList other;
  auto in5 = new Probe(&freed);
  auto in7 = new Probe(&freed);
  other.Add(5, in5);
  other.Add(7, in7);  // freed by the merge
  receiver.Merge(other);
  EXPECT_EQ(freed, 1);
  ASSERT_EQ(receiver.Count(), 2);
  TkvObjectPair p;
  receiver.GetItem(0, p);
  EXPECT_EQ(p.ID, 7);
  EXPECT_EQ(p.Object, own7.get());
  receiver.GetItem(1, p);
  EXPECT_EQ(p.ID, 5);
  EXPECT_EQ(p.Object, in5);
  // other holds nothing any more: discarding it cannot touch freed memory.
  EXPECT_EQ(other.Count(), 0);
  delete in5;
}

TEST(ObjectList, MergeFreesASharedDuplicateOnce) {
  int freed = 0;
  TkvObjectList receiver, other;
  auto keep = std::make_unique<Probe>(&freed);
  receiver.Add(1, keep.get());
  auto dup = new Probe(&freed);
  other.Add(1, dup);
  other.Add(1, dup);
  other.Add(2, keep.get());  // already held under another ID: kept, not freed
  receiver.Merge(other);
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(receiver.Count(), 2);
}

// Library objects of a few sizes, below and above what the pool serves.
template <size_t N>
struct Sized : TkvObject {
  uint8_t bytes[N];
};

// A block of the pool, or an object, with the byte it was filled with.
struct PoolBlock {
  uint8_t* bytes = nullptr;
  size_t size = 0;
  uint8_t fill = 0;
  std::unique_ptr<TkvObject> object;  // null for a raw block
};

template <size_t N>
void MakeObject(PoolBlock& b) {
  auto o = std::make_unique<Sized<N>>();
  b.bytes = o->bytes;
  b.size = N;
  b.object = std::move(o);
}

// Blocks and objects of every size the pool serves and beyond, each filled
// with a byte of its own; rounds of freeing a random half and filling the
// room again. A block that overlaps another, is shorter than asked, comes
// back to the free list of another size or is misaligned shows in its bytes
// or its address.
TEST(ObjectPool, BlocksNeverOverlapAndKeepTheirBytes) {
  std::mt19937 random(7);
  std::vector<PoolBlock> live;
  auto make = [&] {
    PoolBlock b;
    switch (random() % 6) {
      case 0:
        MakeObject<8>(b);
        break;
      case 1:
        MakeObject<100>(b);
        break;
      case 2:
        MakeObject<400>(b);
        break;
      default:
        b.size = 1 + random() % 300;
        b.bytes = static_cast<uint8_t*>(TkvPoolAllocate(b.size));
    }
    const void* start = b.object ? static_cast<const void*>(b.object.get()) : b.bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(start) % alignof(std::max_align_t), 0u);
    b.fill = static_cast<uint8_t>(random());
    std::memset(b.bytes, b.fill, b.size);
    live.push_back(std::move(b));
  };
  auto release = [](PoolBlock& b) {
    ASSERT_TRUE(std::all_of(b.bytes, b.bytes + b.size, [&](uint8_t v) { return v == b.fill; }));
    if (b.object)
      b.object.reset();
    else
      TkvPoolRelease(b.bytes, b.size);
  };
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 5000; ++i) make();
    std::shuffle(live.begin(), live.end(), random);
    for (size_t i = live.size() / 2; i < live.size(); ++i) release(live[i]);
    live.resize(live.size() / 2);
  }
  for (PoolBlock& b : live) release(b);
}

// A loaded document's objects go back to the system once they are freed,
// so that the next document does not find the last one's memory held.
TEST(ObjectPool, GivesBackItsChunksWhenTheLastBlockIsFreed) {
  void* one = TkvPoolAllocate(48);
  const size_t first = TkvObjectPoolBytes();
  if (first == 0) {
    TkvPoolRelease(one, 48);
    GTEST_SKIP() << "the pool is bypassed in this build (AddressSanitizer)";
  }
  std::vector<std::unique_ptr<TkvObject>> many;
  for (int i = 0; i < 200000; ++i) many.push_back(std::make_unique<Sized<40>>());
  EXPECT_GE(TkvObjectPoolBytes(), 200000u * 48);
  many.clear();
  EXPECT_GT(TkvObjectPoolBytes(), first);  // one block still in use
  TkvPoolRelease(one, 48);
  EXPECT_EQ(TkvObjectPoolBytes(), first);
}

TEST(Component, AboutAndVersionReadEmpty) {
  TkvComponent c;
  c.SetAbout("x");
  c.SetVersion("1");
  EXPECT_EQ(c.About(), "");
  EXPECT_EQ(c.Version(), "");
  new TkvComponent(&c);  // owned and freed by c
  EXPECT_EQ(c.ComponentCount(), 1);
}

}  // namespace
