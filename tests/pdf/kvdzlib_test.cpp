#include "pdf/kvdzlib.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

namespace {

using pdf::ECompressionError;
using pdf::EDecompressionError;
using pdf::TCompressionStream;
using pdf::TDecompressionStream;

std::string Sample(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  // Compressible but not trivial: words from a small alphabet.
  for (auto& c : s) c = static_cast<char>("abcdefgh \n"[rng() % 10]);
  return s;
}

std::string ZlibCompress(const std::string& s, int level) {
  uLongf len = compressBound(s.size());
  std::string out(len, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(s.data()),
                      s.size(), level),
            Z_OK);
  out.resize(len);
  return out;
}

// zlib's stored blocks follow the size of the output buffer, so level 0
// compares with zlib driven through a buffer of the stream's size.
std::string ZlibStoredChunked(const std::string& s) {
  z_stream z{};
  deflateInit(&z, 0);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
  z.avail_in = static_cast<uInt>(s.size());
  std::string out;
  unsigned char buf[pdf::TCustomZlibStream::kBufferSize];
  int rc = Z_OK;
  while (z.avail_in > 0) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    deflate(&z, Z_NO_FLUSH);
    out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
  }
  while (rc != Z_STREAM_END) {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    rc = deflate(&z, Z_FINISH);
    out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
  }
  deflateEnd(&z);
  return out;
}

std::string Compress(const std::string& s, pdf::TkvCompressionLevel level) {
  rtl::TMemoryStream out;
  TCompressionStream z(level, out);
  z.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
  z.Finish();
  return out.DataString();
}

TEST(kvdzlib, OutputIsByteIdenticalToZlibAtEveryLevel) {
  const struct {
    pdf::TkvCompressionLevel level;
    int zlevel;
  } cases[] = {
      {pdf::lvNone, 0}, {pdf::lvFastest, 1}, {pdf::lvDefault, Z_DEFAULT_COMPRESSION}, {pdf::lvMax, 9}};
  for (size_t size : {size_t{0}, size_t{1}, size_t{8192}, size_t{100000}}) {
    const std::string data = Sample(size);
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "size " << size << " level " << c.zlevel);
      EXPECT_EQ(Compress(data, c.level),
                c.zlevel == 0 ? ZlibStoredChunked(data) : ZlibCompress(data, c.zlevel));
    }
  }
}

TEST(kvdzlib, EmptyStreamFreedWithoutFinishIsCompleteZlibData) {
  rtl::TMemoryStream out;
  { TCompressionStream z(pdf::lvDefault, out); }
  EXPECT_EQ(out.DataString(), ZlibCompress("", Z_DEFAULT_COMPRESSION));
}

TEST(kvdzlib, CompressionWritesAfterTheDestinationsStartPosition) {
  rtl::TMemoryStream out;
  out.WriteString("HEAD");
  const std::string data = Sample(30000);
  {
    TCompressionStream z(pdf::lvMax, out);
    z.WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(z.Position(), 30000);
    z.Finish();
    EXPECT_THROW(z.WriteBuffer("x", 1), ECompressionError);
  }
  EXPECT_EQ(out.DataString(), "HEAD" + ZlibCompress(data, 9));
}

TEST(kvdzlib, CompressionStreamRejectsReadAndSeeks) {
  rtl::TMemoryStream out;
  TCompressionStream z(pdf::lvDefault, out);
  char b[4];
  EXPECT_THROW(z.Read(b, 4), ECompressionError);
  EXPECT_THROW(z.Seek(1, rtl::soCurrent), ECompressionError);
  EXPECT_THROW(z.Seek(0, rtl::soBeginning), ECompressionError);
  try {
    z.Size();
    FAIL();
  } catch (const ECompressionError& e) {
    EXPECT_STREQ(e.what(), "Invalid stream operation");
  }
}

TEST(kvdzlib, ProgressFiresPerBuffer) {
  rtl::TMemoryStream out;
  int calls = 0;
  std::mt19937 rng(7);
  std::string noise(50000, '\0');
  for (auto& c : noise) c = static_cast<char>(rng());
  {
    TCompressionStream z(pdf::lvNone, out);
    z.OnProgress = [&](pdf::TCustomZlibStream*) { ++calls; };
    z.WriteBuffer(noise.data(), static_cast<int64_t>(noise.size()));
    z.Finish();
  }
  // Stored data is a little larger than the input: at least 7 buffers.
  EXPECT_GE(calls, static_cast<int>(out.Size() / pdf::TCustomZlibStream::kBufferSize));
}

TEST(kvdzlib, DecompressionRoundTripAndPosition) {
  const std::string data = Sample(50000, 3);
  rtl::TStringStream src(ZlibCompress(data, 6));
  TDecompressionStream z(src);
  std::string got(60000, '\0');
  EXPECT_EQ(z.Read(got.data(), 60000), 50000);
  got.resize(50000);
  EXPECT_EQ(got, data);
  EXPECT_EQ(z.Position(), 50000);
  EXPECT_THROW(z.Size(), EDecompressionError);
  EXPECT_THROW(z.Write("x", 1), EDecompressionError);
}

TEST(kvdzlib, DecompressionSeekRules) {
  const std::string data = Sample(1000, 4);
  rtl::TMemoryStream src;
  src.WriteString("prefix");
  const std::string z6 = ZlibCompress(data, 6);
  src.WriteString(z6);
  src.SetPosition(6);
  TDecompressionStream z(src);
  char buf[100];
  z.ReadBuffer(buf, 100);
  EXPECT_EQ(z.Seek(300, rtl::soBeginning), 300);  // skips 200
  z.ReadBuffer(buf, 10);
  EXPECT_EQ(std::string(buf, 10), data.substr(300, 10));
  EXPECT_THROW(z.Seek(100, rtl::soBeginning), EDecompressionError);
  EXPECT_THROW(z.Seek(-1, rtl::soCurrent), EDecompressionError);
  EXPECT_THROW(z.Seek(0, rtl::soEnd), EDecompressionError);
  EXPECT_EQ(z.Seek(5, rtl::soCurrent), 315);
  // Restarting goes back to where the compressed data began, not to the
  // start of the source.
  EXPECT_EQ(z.Seek(0, rtl::soBeginning), 0);
  z.ReadBuffer(buf, 20);
  EXPECT_EQ(std::string(buf, 20), data.substr(0, 20));
  // Skipping past the end is a read error.
  EXPECT_THROW(z.Seek(5000, rtl::soBeginning), rtl::EReadError);
}

TEST(kvdzlib, TrailingBytesAfterTheDataDoNotBlock) {
  const std::string data = Sample(500, 5);
  rtl::TStringStream src(ZlibCompress(data, 6) + "trailing garbage\r\n");
  TDecompressionStream z(src);
  std::string got(2000, '\0');
  EXPECT_EQ(z.Read(got.data(), 2000), 500);
  EXPECT_EQ(z.Read(got.data(), 2000), 0);
}

TEST(kvdzlib, BadDataRaises) {
  const std::string good = ZlibCompress(Sample(5000, 6), 6);
  std::string corrupt = good;
  corrupt[good.size() / 2] ^= 0x55;
  corrupt[good.size() / 2 + 1] ^= 0x55;
  std::string badAdler = good;
  badAdler.back() ^= 1;
  // A header asking for a preset dictionary: 78 BB, then the dictionary id.
  const std::string presetDict("\x78\xBB\x00\x00\x00\x01\x03\x00", 8);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"garbage", "not zlib at all"},
               {"corrupt", corrupt},
               {"bad adler", badAdler},
               {"preset dictionary", presetDict}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rtl::TStringStream src(c.bytes);
    TDecompressionStream z(src);
    std::string got(100000, '\0');
    try {
      z.Read(got.data(), static_cast<int64_t>(got.size()));
      ADD_FAILURE() << "no exception";
    } catch (const pdf::EZlibError& e) {
      EXPECT_STREQ(e.what(), "error");
    }
  }
}

TEST(kvdzlib, TruncatedDataEndsShort) {
  const std::string data = Sample(20000, 8);
  const std::string z6 = ZlibCompress(data, 6);
  rtl::TStringStream src(z6.substr(0, z6.size() / 2));
  TDecompressionStream z(src);
  std::string got(30000, '\0');
  const int64_t n = z.Read(got.data(), 30000);
  EXPECT_LT(n, 20000);
  EXPECT_EQ(got.substr(0, static_cast<size_t>(n)), data.substr(0, static_cast<size_t>(n)));
}

}  // namespace

namespace {

// A destination that refuses every write, as a full disk does.
class TFullStream : public rtl::TMemoryStream {
 public:
  int64_t Write(const void*, int64_t) override { return 0; }
};

TEST(kvdzlib, FailedFinishRaisesButDestructorDoesNot) {
  TFullStream full;
  {
    TCompressionStream z(pdf::lvDefault, full);
    z.WriteBuffer("abc", 3);
    EXPECT_THROW(z.Finish(), rtl::EWriteError);
  }
  {
    // Freed without Finish: the error is swallowed, nothing escapes.
    TCompressionStream z(pdf::lvDefault, full);
    z.WriteBuffer("abc", 3);
  }
  SUCCEED();
}

}  // namespace
