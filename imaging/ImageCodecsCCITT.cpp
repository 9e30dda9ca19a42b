#include "imaging/ImageCodecsCCITT.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "imaging/ImageFormats.h"

namespace imaging {

namespace {

// ------------------------------------------------------------ code tables

struct TCode {
  const char* bits;  // most significant bit first
  int16_t value;
};

constexpr int16_t kEndOfLine = -1;
constexpr int16_t kNoValue = -3;  // an inner node of a tree
// Results of a walk that finds no code.
constexpr int16_t kInvalid = -2;
constexpr int16_t kEndOfData = -4;

// The end-of-line code, shared by all three trees.
constexpr TCode kEOLCode{"000000000001", kEndOfLine};

constexpr TCode kWhiteCodes[] = {
    {"00110101", 0},     {"000111", 1},       {"0111", 2},         {"1000", 3},         {"1011", 4},
    {"1100", 5},         {"1110", 6},         {"1111", 7},         {"10011", 8},        {"10100", 9},
    {"00111", 10},       {"01000", 11},       {"001000", 12},      {"000011", 13},      {"110100", 14},
    {"110101", 15},      {"101010", 16},      {"101011", 17},      {"0100111", 18},     {"0001100", 19},
    {"0001000", 20},     {"0010111", 21},     {"0000011", 22},     {"0000100", 23},     {"0101000", 24},
    {"0101011", 25},     {"0010011", 26},     {"0100100", 27},     {"0011000", 28},     {"00000010", 29},
    {"00000011", 30},    {"00011010", 31},    {"00011011", 32},    {"00010010", 33},    {"00010011", 34},
    {"00010100", 35},    {"00010101", 36},    {"00010110", 37},    {"00010111", 38},    {"00101000", 39},
    {"00101001", 40},    {"00101010", 41},    {"00101011", 42},    {"00101100", 43},    {"00101101", 44},
    {"00000100", 45},    {"00000101", 46},    {"00001010", 47},    {"00001011", 48},    {"01010010", 49},
    {"01010011", 50},    {"01010100", 51},    {"01010101", 52},    {"00100100", 53},    {"00100101", 54},
    {"01011000", 55},    {"01011001", 56},    {"01011010", 57},    {"01011011", 58},    {"01001010", 59},
    {"01001011", 60},    {"00110010", 61},    {"00110011", 62},    {"00110100", 63},    {"11011", 64},
    {"10010", 128},      {"010111", 192},     {"0110111", 256},    {"00110110", 320},   {"00110111", 384},
    {"01100100", 448},   {"01100101", 512},   {"01101000", 576},   {"01100111", 640},   {"011001100", 704},
    {"011001101", 768},  {"011010010", 832},  {"011010011", 896},  {"011010100", 960},  {"011010101", 1024},
    {"011010110", 1088}, {"011010111", 1152}, {"011011000", 1216}, {"011011001", 1280}, {"011011010", 1344},
    {"011011011", 1408}, {"010011000", 1472}, {"010011001", 1536}, {"010011010", 1600}, {"011000", 1664},
    {"010011011", 1728},
};

constexpr TCode kBlackCodes[] = {
    {"0000110111", 0},
    {"010", 1},
    {"11", 2},
    {"10", 3},
    {"011", 4},
    {"0011", 5},
    {"0010", 6},
    {"00011", 7},
    {"000101", 8},
    {"000100", 9},
    {"0000100", 10},
    {"0000101", 11},
    {"0000111", 12},
    {"00000100", 13},
    {"00000111", 14},
    {"000011000", 15},
    {"0000010111", 16},
    {"0000011000", 17},
    {"0000001000", 18},
    {"00001100111", 19},
    {"00001101000", 20},
    {"00001101100", 21},
    {"00000110111", 22},
    {"00000101000", 23},
    {"00000010111", 24},
    {"00000011000", 25},
    {"000011001010", 26},
    {"000011001011", 27},
    {"000011001100", 28},
    {"000011001101", 29},
    {"000001101000", 30},
    {"000001101001", 31},
    {"000001101010", 32},
    {"000001101011", 33},
    {"000011010010", 34},
    {"000011010011", 35},
    {"000011010100", 36},
    {"000011010101", 37},
    {"000011010110", 38},
    {"000011010111", 39},
    {"000001101100", 40},
    {"000001101101", 41},
    {"000011011010", 42},
    {"000011011011", 43},
    {"000001010100", 44},
    {"000001010101", 45},
    {"000001010110", 46},
    {"000001010111", 47},
    {"000001100100", 48},
    {"000001100101", 49},
    {"000001010010", 50},
    {"000001010011", 51},
    {"000000100100", 52},
    {"000000110111", 53},
    {"000000111000", 54},
    {"000000100111", 55},
    {"000000101000", 56},
    {"000001011000", 57},
    {"000001011001", 58},
    {"000000101011", 59},
    {"000000101100", 60},
    {"000001011010", 61},
    {"000001100110", 62},
    {"000001100111", 63},
    {"0000001111", 64},
    {"000011001000", 128},
    {"000011001001", 192},
    {"000001011011", 256},
    {"000000110011", 320},
    {"000000110100", 384},
    {"000000110101", 448},
    {"0000001101100", 512},
    {"0000001101101", 576},
    {"0000001001010", 640},
    {"0000001001011", 704},
    {"0000001001100", 768},
    {"0000001001101", 832},
    {"0000001110010", 896},
    {"0000001110011", 960},
    {"0000001110100", 1024},
    {"0000001110101", 1088},
    {"0000001110110", 1152},
    {"0000001110111", 1216},
    {"0000001010010", 1280},
    {"0000001010011", 1344},
    {"0000001010100", 1408},
    {"0000001010101", 1472},
    {"0000001011010", 1536},
    {"0000001011011", 1600},
    {"0000001100100", 1664},
    {"0000001100101", 1728},
};

// Make-up codes of both colours for runs beyond 1728.
constexpr TCode kExtendedMakeUpCodes[] = {
    {"00000001000", 1792},  {"00000001100", 1856},  {"00000001101", 1920},  {"000000010010", 1984},
    {"000000010011", 2048}, {"000000010100", 2112}, {"000000010101", 2176}, {"000000010110", 2240},
    {"000000010111", 2304}, {"000000011100", 2368}, {"000000011101", 2432}, {"000000011110", 2496},
    {"000000011111", 2560},
};

// Two-dimensional coding modes.
enum : int16_t { mPass, mHorizontal, mV0, mVR1, mVR2, mVR3, mVL1, mVL2, mVL3 };
constexpr TCode kModeCodes[] = {
    {"0001", mPass},   {"001", mHorizontal}, {"1", mV0},       {"011", mVR1},     {"000011", mVR2},
    {"0000011", mVR3}, {"010", mVL1},        {"000010", mVL2}, {"0000010", mVL3},
};

// A code tree as data: node 0 is the root; a child index of 0 means none.
struct TNode {
  int16_t child[2] = {0, 0};
  int16_t value = kNoValue;
};

struct TTree {
  std::array<TNode, 640> nodes{};
  int16_t count = 1;

  constexpr void Insert(const TCode& code) {
    int16_t node = 0;
    for (const char* p = code.bits; *p; ++p) {
      const int bit = *p == '1';
      if (nodes[node].value != kNoValue) throw "a code is the prefix of another";
      if (nodes[node].child[bit] == 0) {
        if (count >= static_cast<int16_t>(nodes.size())) throw "tree too small";
        nodes[node].child[bit] = count++;
      }
      node = nodes[node].child[bit];
    }
    if (nodes[node].value != kNoValue || nodes[node].child[0] || nodes[node].child[1]) throw "duplicate code";
    nodes[node].value = code.value;
  }
};

template <size_t N>
constexpr TTree RunTree(const TCode (&codes)[N]) {
  TTree t;
  for (const TCode& c : codes) t.Insert(c);
  for (const TCode& c : kExtendedMakeUpCodes) t.Insert(c);
  t.Insert(kEOLCode);
  return t;
}

constexpr TTree ModeTree() {
  TTree t;
  for (const TCode& c : kModeCodes) t.Insert(c);
  t.Insert(kEOLCode);
  return t;
}

// Built by the compiler; a table error stops the build.
constexpr TTree kWhiteTree = RunTree(kWhiteCodes);
constexpr TTree kBlackTree = RunTree(kBlackCodes);
constexpr TTree kModeTree = ModeTree();

// Sets bits [from, to) of a packed row, most significant bit first.
void SetBits(std::span<uint8_t> row, uint32_t from, uint32_t to) {
  if (from >= to) return;
  uint32_t first = from >> 3, last = (to - 1) >> 3;
  const uint8_t head = static_cast<uint8_t>(0xFFu >> (from & 7));
  const uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - ((to - 1) & 7)));
  if (first == last) {
    row[first] |= head & tail;
    return;
  }
  row[first] |= head;
  if (last > first + 1) std::memset(row.data() + first + 1, 0xFF, last - first - 1);
  row[last] |= tail;
}

}  // namespace

// ------------------------------------------------------------ bit reader

// Reads a strip's bits most significant first, with an explicit end.
class TCCITTDecoder::TBitReader {
 public:
  TBitReader(std::span<const uint8_t> data, bool reversed) : data_(data), reversed_(reversed) {}

  bool AtEnd() const { return pos_ >= data_.size() * 8; }
  uint64_t Position() const { return pos_; }
  size_t BytesUsed() const { return static_cast<size_t>((pos_ + 7) / 8); }
  int Peek() const {
    uint8_t b = data_[pos_ >> 3];
    if (reversed_) b = kReversedBits[b];
    return (b >> (7 - (pos_ & 7))) & 1;
  }
  int Bit() {
    int b = Peek();
    ++pos_;
    return b;
  }
  // Drops the unread rest of the current byte, then with 16-bit alignment
  // one more byte when that leaves the strip at an odd offset.
  void Align(bool toWord) {
    pos_ = (pos_ + 7) / 8 * 8;
    if (toWord && (pos_ / 8) % 2) pos_ += 8;
    pos_ = std::min<uint64_t>(pos_, data_.size() * 8);
  }
  // An end-of-line code here (any number of fill zeros, at least 11, then a
  // 1) is consumed; otherwise nothing is.
  bool SkipEndOfLine() {
    uint64_t p = pos_;
    uint64_t zeros = 0;
    while (p < data_.size() * 8 && BitAt(p) == 0) ++p, ++zeros;
    if (zeros < 11 || p >= data_.size() * 8) {
      if (zeros >= 11) pos_ = p;  // only fill to the end: nothing more to decode
      return false;
    }
    pos_ = p + 1;
    return true;
  }
  // Moves to just after the next end-of-line code; false at the end.
  bool SeekEndOfLine() {
    while (!AtEnd()) {
      if (SkipEndOfLine()) return true;
      if (!AtEnd()) ++pos_;
    }
    return false;
  }
  // Walks a code tree: the code's value, kInvalid or kEndOfData.
  int16_t Code(const TTree& tree) {
    int16_t node = 0;
    for (;;) {
      if (AtEnd()) return kEndOfData;
      const int16_t next = tree.nodes[node].child[Bit()];
      if (next == 0) return kInvalid;
      node = next;
      if (tree.nodes[node].value != kNoValue) return tree.nodes[node].value;
    }
  }
  // A run of one colour: make-up codes, then one terminating code. Runs are
  // summed with a ceiling so that a flood of make-up codes cannot overflow.
  int64_t Run(bool black, int16_t& status) {
    const TTree& tree = black ? kBlackTree : kWhiteTree;
    int64_t sum = 0;
    for (;;) {
      const int16_t v = Code(tree);
      if (v < 0) {
        status = v;
        return sum;
      }
      sum = std::min<int64_t>(sum + v, int64_t{1} << 40);
      if (v < 64) {
        status = 0;
        return sum;
      }
    }
  }

 private:
  int BitAt(uint64_t p) const {
    uint8_t b = data_[p >> 3];
    if (reversed_) b = kReversedBits[b];
    return (b >> (7 - (p & 7))) & 1;
  }

  std::span<const uint8_t> data_;
  bool reversed_;
  uint64_t pos_ = 0;
};

// ------------------------------------------------------------ rows

TCCITTDecoder::TCCITTDecoder(uint32_t options, uint32_t width, bool wordAligned, bool reversedBits)
    : options_(options), width_(width), wordAligned_(wordAligned), reversedBits_(reversedBits) {}

namespace {
// Sentinels after the last change: b1 and b2 always exist, of either colour.
constexpr size_t kSentinels = 3;
}  // namespace

bool TCCITTDecoder::Prepare(std::span<uint8_t> dest) {
  std::fill(dest.begin(), dest.end(), 0);
  const uint64_t rowBytes = (uint64_t{width_} + 7) / 8;
  if (width_ == 0 || rowBytes > dest.size()) return false;
  // Each code adds at most one change and moves on by at least one pixel,
  // but zero-length runs may repeat a position: a row holds up to width + 1
  // changes before it is cut as damaged.
  const size_t capacity = size_t{width_} + 2 + kSentinels;
  current_.reserve(capacity);
  reference_.assign(kSentinels, width_);  // the row above the first: all white
  return true;
}

TCCITTDecoder::TRowEnd TCCITTDecoder::DecodeRow1D(TBitReader& bits) {
  current_.clear();
  position_ = 0;
  bool black = false;
  while (position_ < width_) {
    int16_t status = 0;
    const int64_t run = bits.Run(black, status);
    if (status == kEndOfLine) return reEndOfLine;
    if (status == kInvalid) return reInvalid;
    if (status == kEndOfData) return reEndOfData;
    position_ = std::min<int64_t>(position_ + run, width_);
    if (current_.size() > size_t{width_}) return reInvalid;
    current_.push_back(static_cast<uint32_t>(position_));
    black = !black;
  }
  return reComplete;
}

TCCITTDecoder::TRowEnd TCCITTDecoder::DecodeRow2D(TBitReader& bits) {
  current_.clear();
  position_ = -1;  // a0 starts just before the first pixel
  bool black = false;
  size_t bi = 0;
  const std::vector<uint32_t>& ref = reference_;
  while (position_ < width_) {
    // b1: the first change on the reference row right of a0 to the colour
    // opposite a0's; the sentinels stop the search in every case. A
    // vertical mode to the left can put a0 before a change that the last
    // search passed over for its colour, so the search may step back.
    while (bi > 0 && int64_t{ref[bi - 1]} > position_) --bi;
    while (bi + 2 < ref.size() && (int64_t{ref[bi]} <= position_ || (bi & 1) != static_cast<size_t>(black)))
      ++bi;
    const int64_t b1 = ref[bi];
    const int64_t b2 = ref[std::min(bi + 1, ref.size() - 1)];
    if (current_.size() > size_t{width_}) return reInvalid;
    const int16_t mode = bits.Code(kModeTree);
    const int64_t a0 = std::max<int64_t>(position_, 0);
    switch (mode) {
      case kEndOfLine:
        return reEndOfLine;
      case kInvalid:
        return reInvalid;
      case kEndOfData:
        return reEndOfData;
      case mPass:
        position_ = b2;
        break;
      case mHorizontal: {
        int16_t status = 0;
        const int64_t run1 = bits.Run(black, status);
        if (status == 0) {
          const int64_t a1 = std::min<int64_t>(a0 + run1, width_);
          const int64_t run2 = bits.Run(!black, status);
          if (status == 0) {
            const int64_t a2 = std::min<int64_t>(a1 + run2, width_);
            current_.push_back(static_cast<uint32_t>(a1));
            current_.push_back(static_cast<uint32_t>(a2));
            position_ = a2;
            break;
          }
        }
        return status == kEndOfLine ? reEndOfLine : status == kEndOfData ? reEndOfData : reInvalid;
      }
      default: {
        static constexpr int kOffsets[] = {0, 1, 2, 3, -1, -2, -3};
        const int64_t a1 = b1 + kOffsets[mode - mV0];
        if (a1 < a0 || a1 > width_) return reInvalid;
        current_.push_back(static_cast<uint32_t>(a1));
        position_ = a1;
        black = !black;
        break;
      }
    }
  }
  return reComplete;
}

void TCCITTDecoder::FinishRow(std::span<uint8_t> row, TRowEnd end, int64_t lastPosition) {
  // A complete row that ends black is black to its end; a row cut short is
  // white from where decoding stopped.
  if (current_.size() % 2)
    current_.push_back(
        end == reComplete ? width_ : static_cast<uint32_t>(std::clamp<int64_t>(lastPosition, 0, width_)));
  for (size_t i = 0; i + 1 < current_.size(); i += 2)
    SetBits(row, std::min(current_[i], width_), std::min(current_[i + 1], width_));
  reference_.swap(current_);
  reference_.insert(reference_.end(), kSentinels, width_);
}

// ------------------------------------------------------------ Group 3

TDecodeResult TCCITTFax3Decoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  if (!Prepare(dest)) return {0, 0, dsDamaged};
  const size_t rowBytes = (size_t{width_} + 7) / 8;
  const size_t rows = dest.size() / rowBytes;
  const bool twoD = options_ & kT4TwoDimensional;
  TBitReader bits(source, reversedBits_);
  bool lostSync = false;  // after an invalid code: go on at the next end of line
  bool damaged = false;
  bool sawEndOfLine = false;
  bool oneD = true;
  size_t done = 0;
  // After an end-of-line code, two-dimensional data tells by one bit how the
  // next row is coded.
  auto afterEndOfLine = [&] {
    sawEndOfLine = true;
    if (twoD && !bits.AtEnd()) oneD = bits.Bit() == 1;
  };
  while (done < rows && !bits.AtEnd()) {
    if (lostSync) {
      if (!bits.SeekEndOfLine()) break;
      afterEndOfLine();
      lostSync = false;
    }
    // Every row may be preceded by end-of-line codes (with fill); several in
    // a row are the end of the page. A row without one is decoded as it
    // stands rather than lost.
    while (bits.SkipEndOfLine()) afterEndOfLine();
    if (bits.AtEnd()) break;
    if (!sawEndOfLine || !twoD) oneD = true;
    sawEndOfLine = false;
    const TRowEnd end = oneD ? DecodeRow1D(bits) : DecodeRow2D(bits);
    FinishRow(dest.subspan(done * rowBytes, rowBytes), end, position_);
    ++done;
    if (end == reEndOfLine) afterEndOfLine();
    if (end == reInvalid) lostSync = damaged = true;
    if (end == reEndOfData) break;
  }
  return {bits.BytesUsed(), done * rowBytes, Status(damaged, done == rows)};
}

// ------------------------------------------------------------ modified Huffman

TDecodeResult TCCITTMHDecoder::DecodeBlock(std::span<const uint8_t> source, std::span<uint8_t> dest) {
  if (!Prepare(dest)) return {0, 0, dsDamaged};
  const size_t rowBytes = (size_t{width_} + 7) / 8;
  const size_t rows = dest.size() / rowBytes;
  TBitReader bits(source, reversedBits_);
  size_t done = 0;
  bool damaged = false;
  while (done < rows && !bits.AtEnd()) {
    const TRowEnd end = DecodeRow1D(bits);
    FinishRow(dest.subspan(done * rowBytes, rowBytes), end, position_);
    ++done;
    damaged |= end == reInvalid;
    if (end == reEndOfData) break;
    // Every row starts on a byte (or word) boundary: also after damage,
    // which thus costs no more than its own row.
    bits.Align(wordAligned_);
  }
  return {bits.BytesUsed(), done * rowBytes, Status(damaged, done == rows)};
}

}  // namespace imaging
