#include "pdf/kvPDFCrypt.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>
#include <random>

namespace pdf {

// ---- MD5 ------------------------------------------------------------------

namespace {

constexpr uint32_t kMD5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kMD5S[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                           5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

uint32_t Rotl(uint32_t x, int c) {
  return (x << c) | (x >> (32 - c));
}

}  // namespace

TkvMD5::TkvMD5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}, buffer_{} {}

void TkvMD5::Transform(const uint8_t block[64]) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = uint32_t{block[i * 4]} | (uint32_t{block[i * 4 + 1]} << 8) | (uint32_t{block[i * 4 + 2]} << 16) |
           (uint32_t{block[i * 4 + 3]} << 24);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t t = d;
    d = c;
    c = b;
    b = b + Rotl(a + f + kMD5T[i] + m[g], kMD5S[i]);
    a = t;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void TkvMD5::Update(const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(count_ % 64);
  count_ += length;
  if (used > 0) {
    const size_t take = std::min(length, 64 - used);
    std::memcpy(buffer_ + used, p, take);
    used += take;
    p += take;
    length -= take;
    if (used < 64) return;
    Transform(buffer_);
  }
  while (length >= 64) {
    Transform(p);
    p += 64;
    length -= 64;
  }
  if (length > 0) std::memcpy(buffer_, p, length);
}

TkvDigest TkvMD5::Final() {
  const uint64_t bits = count_ * 8;
  const uint8_t one = 0x80;
  Update(&one, 1);
  const uint8_t zero = 0;
  while (count_ % 64 != 56) Update(&zero, 1);
  uint8_t len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<uint8_t>(bits >> (8 * i));
  Update(len, 8);
  TkvDigest d;
  for (int i = 0; i < 16; ++i) d[i] = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
  return d;
}

TkvDigest TkvMD5::Digest(std::string_view s) {
  TkvMD5 m;
  m.Update(s);
  return m.Final();
}

// ---- RC4 ------------------------------------------------------------------

TkvRC4::TkvRC4(const uint8_t* key, size_t length) {
  if (length < 1 || length > 256) throw Exception(SRC4InvalidKeyLength);
  for (int i = 0; i < 256; ++i) s_[i] = static_cast<uint8_t>(i);
  uint8_t j = 0;
  for (int i = 0; i < 256; ++i) {
    j = static_cast<uint8_t>(j + s_[i] + key[static_cast<size_t>(i) % length]);
    std::swap(s_[i], s_[j]);
  }
}

void TkvRC4::Crypt(const uint8_t* in, uint8_t* out, size_t length) {
  for (size_t k = 0; k < length; ++k) {
    i_ = static_cast<uint8_t>(i_ + 1);
    j_ = static_cast<uint8_t>(j_ + s_[i_]);
    std::swap(s_[i_], s_[j_]);
    out[k] = in[k] ^ s_[static_cast<uint8_t>(s_[i_] + s_[j_])];
  }
}

namespace {

void RC4Once(const uint8_t* key, size_t keyLength, uint8_t* data, size_t length) {
  TkvRC4 rc4(key, keyLength);
  rc4.Crypt(data, data, length);
}

// The twenty passes of revision 3, each keyed with the key XORed with the
// pass number; up counts 0..19 (encrypting), down 19..0 (decrypting).
void RC4TwentyPasses(const uint8_t* key, size_t keyLength, uint8_t* data, size_t length, bool up) {
  uint8_t k[16];
  for (int pass = 0; pass < 20; ++pass) {
    const int i = up ? pass : 19 - pass;
    for (size_t b = 0; b < keyLength; ++b) k[b] = static_cast<uint8_t>(key[b] ^ i);
    RC4Once(k, keyLength, data, length);
  }
}

// Revision 3 hashes the first n bytes of the digest fifty times more.
void Rehash50(TkvDigest& h, size_t n) {
  for (int i = 0; i < 50; ++i) {
    TkvMD5 m;
    m.Update(h.data(), n);
    h = m.Final();
  }
}

}  // namespace

int KeyLength(TkvPDFEncryptionLevel level) {
  return level == el40bit ? 5 : 16;
}

// ---- Settings -------------------------------------------------------------

void TkvPDFEncryptionSettings::CheckChangeable() const {
  if (!Changeable) throw Exception(SCannotChangeEncryption);
}
void TkvPDFEncryptionSettings::SetEnabled(bool value) {
  CheckChangeable();
  enabled_ = value;
}
void TkvPDFEncryptionSettings::SetLevel(TkvPDFEncryptionLevel value) {
  CheckChangeable();
  level_ = value;
}
void TkvPDFEncryptionSettings::SetOwnerPassword(const std::string& value) {
  CheckChangeable();
  ownerPassword_ = value;
}
void TkvPDFEncryptionSettings::SetUserPassword(const std::string& value) {
  CheckChangeable();
  userPassword_ = value;
}
void TkvPDFEncryptionSettings::SetUserPermissions(TkvUserPermissions value) {
  CheckChangeable();
  permissions_ = value;
}

// ---- TkvBasePDFCrypt ------------------------------------------------------

const std::array<uint8_t, 32> TkvBasePDFCrypt::kPadding = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

std::array<uint8_t, 32> TkvBasePDFCrypt::PadPassword(const std::string& password) {
  std::array<uint8_t, 32> r;
  const size_t n = std::min<size_t>(password.size(), 32);
  std::memcpy(r.data(), password.data(), n);
  std::memcpy(r.data() + n, kPadding.data(), 32 - n);
  return r;
}

void TkvBasePDFCrypt::SetKeyLevel(TkvPDFEncryptionLevel level) {
  revision_ = level == el40bit ? 2 : 3;
  keyLength_ = pdf::KeyLength(level);
}

std::string TkvBasePDFCrypt::ObjectKey(int32_t objectNumber, int32_t generation) const {
  uint8_t k[21];
  const auto n = static_cast<size_t>(keyLength_);
  std::memcpy(k, fileKey_.data(), n);
  const auto obj = static_cast<uint32_t>(objectNumber);
  const auto gen = static_cast<uint32_t>(generation);
  k[n] = static_cast<uint8_t>(obj);
  k[n + 1] = static_cast<uint8_t>(obj >> 8);
  k[n + 2] = static_cast<uint8_t>(obj >> 16);
  k[n + 3] = static_cast<uint8_t>(gen);
  k[n + 4] = static_cast<uint8_t>(gen >> 8);
  TkvMD5 m;
  m.Update(k, n + 5);
  const TkvDigest d = m.Final();
  return std::string(reinterpret_cast<const char*>(d.data()), std::min<size_t>(n + 5, 16));
}

void TkvBasePDFCrypt::CryptObjectData(const uint8_t* in, uint8_t* out, size_t length, int32_t objectNumber,
                                      int32_t generation) const {
  const std::string key = ObjectKey(objectNumber, generation);
  TkvRC4 rc4(reinterpret_cast<const uint8_t*>(key.data()), key.size());
  rc4.Crypt(in, out, length);
}

// ---- TkvPDFEncryption -----------------------------------------------------

TkvPDFEncryption::TkvPDFEncryption(const std::string& seed1, const TkvPDFEncryptionSettings& settings,
                                   const std::string& seed2)
    : ownerPassword_(settings.ownerPassword_), userPassword_(settings.userPassword_) {
  SetKeyLevel(settings.level_);
  Permissions = settings.permissions_;
  ComputeFileID(seed1, seed2);
  ComputeKeys();
}

void TkvPDFEncryption::ComputeFileID(const std::string& a, const std::string& b) {
  TkvMD5 m;
  m.Update(a);
  m.Update(b);
  const TkvDigest d = m.Final();
  fileID_.assign(reinterpret_cast<const char*>(d.data()), d.size());
}

void TkvPDFEncryption::ComputeKeys() {
  const auto n = static_cast<size_t>(keyLength_);
  const auto paddedOwner = PadPassword(ownerPassword_.empty() ? userPassword_ : ownerPassword_);
  const auto paddedUser = PadPassword(userPassword_);

  TkvDigest h = TkvMD5::Digest(std::string_view(reinterpret_cast<const char*>(paddedOwner.data()), 32));
  ownerKey_ = paddedUser;
  if (revision_ == 2) {
    RC4Once(h.data(), n, ownerKey_.data(), 32);
  } else {
    Rehash50(h, n);
    RC4TwentyPasses(h.data(), n, ownerKey_.data(), 32, true);
  }

  const auto p = static_cast<uint32_t>(PermissionFlags());
  const uint8_t pBytes[4] = {static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8),
                             static_cast<uint8_t>(p >> 16), static_cast<uint8_t>(p >> 24)};
  TkvMD5 m;
  m.Update(paddedUser.data(), 32);
  m.Update(ownerKey_.data(), 32);
  m.Update(pBytes, 4);
  m.Update(fileID_);
  h = m.Final();
  if (revision_ == 3) Rehash50(h, n);
  fileKey_.fill(0);
  std::memcpy(fileKey_.data(), h.data(), n);

  if (revision_ == 2) {
    userKey_ = kPadding;
    RC4Once(fileKey_.data(), n, userKey_.data(), 32);
  } else {
    TkvMD5 u;
    u.Update(kPadding.data(), 32);
    u.Update(fileID_);
    const TkvDigest hu = u.Final();
    userKey_.fill(0);
    std::memcpy(userKey_.data(), hu.data(), 16);
    RC4TwentyPasses(fileKey_.data(), n, userKey_.data(), 16, true);
  }
}

int32_t TkvPDFEncryption::PermissionFlags() const {
  const bool r3 = revision_ == 3;
  uint32_t p = r3 ? 0xFFFFF0C0u : 0xFFFFFFC0u;
  if (Permissions.Contains(AllowPrint)) p += 4;
  if (Permissions.Contains(AllowModify)) p += 8;
  if (Permissions.Contains(AllowCopy)) p += 16;
  if (Permissions.Contains(AllowAnnotation)) p += 32;
  if (r3) {
    if (Permissions.Contains(AllowFormFill)) p += 256;
    if (Permissions.Contains(AllowAccessibility)) p += 512;
    if (Permissions.Contains(AllowDocAssembly)) p += 1024;
    if (Permissions.Contains(AllowHighResPrint) && Permissions.Contains(AllowPrint)) p += 2048;
  }
  return static_cast<int32_t>(p);
}

void TkvPDFEncryption::EncryptData(const uint8_t* input, uint8_t* output, int32_t generation,
                                   int32_t objectNumber, size_t length) const {
  CryptObjectData(input, output, length, objectNumber, generation);
}

std::string TkvPDFEncryption::EncryptString(const std::string& s, int32_t objectNumber,
                                            int32_t generation) const {
  std::string r = s;
  auto* p = reinterpret_cast<uint8_t*>(r.data());
  CryptObjectData(p, p, r.size(), objectNumber, generation);
  return r;
}

// ---- TkvPDFDecrypt --------------------------------------------------------

void TkvPDFDecrypt::SetEncryptionParameters(const std::string& filter, int64_t v, int64_t r,
                                            std::optional<int64_t> lengthBits, bool hasCryptFilters) {
  auto refuse = [](const std::string& what) {
    throw EUnsupportedEncryptionError(rtl::Format(SUnsupportedEncryption, {what}));
  };
  if (filter != "/Standard" && filter != "Standard") refuse("security handler " + filter);
  if (v != 1 && v != 2) refuse("/V " + std::to_string(v));
  if (r != 2 && r != 3) refuse("/R " + std::to_string(r));
  if (hasCryptFilters) refuse("crypt filters");
  const int64_t bits = lengthBits.value_or(40);
  if (bits < 40 || bits > 128 || bits % 8 != 0) refuse("/Length " + std::to_string(bits));
  revision_ = static_cast<int>(r);
  keyLength_ = static_cast<int>(bits / 8);
}

void TkvPDFDecrypt::SetOwnerKey(const std::string& bytes) {
  if (bytes.size() != 32) throw Exception(SInvalidOwnerKey);
  std::memcpy(ownerKey_.data(), bytes.data(), 32);
}

void TkvPDFDecrypt::SetUserKey(const std::string& bytes) {
  if (bytes.size() != 32) throw Exception(SInvalidUserKey);
  std::memcpy(userKey_.data(), bytes.data(), 32);
}

void TkvPDFDecrypt::SetPermissionValue(int64_t p) {
  // /P is a 32-bit field; writers spell it signed or unsigned.
  p_ = static_cast<uint32_t>(static_cast<uint64_t>(p));
  for (int i = 0; i < 4; ++i) pValue_[i] = static_cast<uint8_t>(p_ >> (8 * i));
}

bool TkvPDFDecrypt::AuthenticatePadded(const std::array<uint8_t, 32>& padded) {
  const auto n = static_cast<size_t>(keyLength_);
  TkvMD5 m;
  m.Update(padded.data(), 32);
  m.Update(ownerKey_.data(), 32);
  m.Update(pValue_.data(), 4);
  m.Update(fileID_);
  TkvDigest h = m.Final();
  if (revision_ == 2) {
    auto u = userKey_;
    RC4Once(h.data(), n, u.data(), 32);
    if (u != kPadding) return false;
  } else {
    Rehash50(h, n);
    auto u = userKey_;
    RC4TwentyPasses(h.data(), n, u.data(), 16, false);
    TkvMD5 e;
    e.Update(kPadding.data(), 32);
    e.Update(fileID_);
    const TkvDigest expect = e.Final();
    // Only the first 16 bytes carry the check; the rest is arbitrary.
    if (std::memcmp(u.data(), expect.data(), 16) != 0) return false;
  }
  fileKey_.fill(0);
  std::memcpy(fileKey_.data(), h.data(), n);
  return true;
}

bool TkvPDFDecrypt::AuthenticateUser(const std::string& password) {
  return AuthenticatePadded(PadPassword(password));
}

std::optional<std::string> TkvPDFDecrypt::AuthenticateOwner(const std::string& password) {
  const auto n = static_cast<size_t>(keyLength_);
  const auto padded = PadPassword(password);
  TkvDigest h = TkvMD5::Digest(std::string_view(reinterpret_cast<const char*>(padded.data()), 32));
  auto user = ownerKey_;
  if (revision_ == 2) {
    RC4Once(h.data(), n, user.data(), 32);
  } else {
    Rehash50(h, n);
    RC4TwentyPasses(h.data(), n, user.data(), 32, false);
  }
  if (!AuthenticatePadded(user)) return std::nullopt;
  // The user password is what stands before the padding: the shortest
  // prefix whose remainder is the start of the padding string.
  size_t k = 0;
  while (k < 32 && std::memcmp(user.data() + k, kPadding.data(), 32 - k) != 0) ++k;
  return std::string(reinterpret_cast<const char*>(user.data()), k);
}

void TkvPDFDecrypt::ApplyPermissions() {
  const struct {
    uint32_t bit;
    TkvUserPermissionsType perm;
    bool r3Only;
  } table[] = {{4, AllowPrint, false},         {8, AllowModify, false},
               {16, AllowCopy, false},         {32, AllowAnnotation, false},
               {256, AllowFormFill, true},     {512, AllowAccessibility, true},
               {1024, AllowDocAssembly, true}, {2048, AllowHighResPrint, true}};
  for (const auto& t : table) {
    if (t.r3Only && revision_ < 3) continue;
    if ((p_ & t.bit) == 0) Permissions.Exclude(t.perm);
  }
}

bool TkvPDFDecrypt::OpenWithPassword(TkvPDFEncryptionSettings& settings, const std::string& password) {
  if (auto user = AuthenticateOwner(password)) {
    OwnerAuthenticated = true;
    settings.enabled_ = true;
    settings.ownerPassword_ = password;
    settings.userPassword_ = *user;
    settings.permissions_ = Permissions;
    settings.level_ = Level();
    return true;
  }
  if (!AuthenticateUser(password)) return false;
  ApplyPermissions();
  settings.enabled_ = true;
  settings.userPassword_ = password;
  settings.ownerPassword_ = FreshOwnerPassword();
  settings.permissions_ = Permissions;
  settings.level_ = Level();
  settings.Changeable = false;
  return true;
}

void TkvPDFDecrypt::DecryptString(uint8_t* buffer, size_t length, int32_t objectNumber,
                                  int32_t generation) const {
  CryptObjectData(buffer, buffer, length, objectNumber, generation);
}

std::string TkvPDFDecrypt::DecryptString(const std::string& s, int32_t objectNumber,
                                         int32_t generation) const {
  std::string r = s;
  auto* p = reinterpret_cast<uint8_t*>(r.data());
  CryptObjectData(p, p, r.size(), objectNumber, generation);
  return r;
}

void TkvPDFDecrypt::DecryptStream(rtl::TMemoryStream& stream, int32_t objectNumber,
                                  int32_t generation) const {
  const int64_t pos = stream.Position();
  CryptObjectData(stream.Memory(), stream.Memory(), static_cast<size_t>(stream.Size()), objectNumber,
                  generation);
  stream.SetPosition(pos);
}

std::string TkvPDFDecrypt::FreshOwnerPassword() {
  std::string s = "Lockword";
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
  s += stamp;
  std::random_device rd;
  std::mt19937 rng(rd());
  const uint32_t r = std::uniform_int_distribution<uint32_t>(0, 2147483646u)(rng);
  char digits[12];
  auto res = std::to_chars(digits, digits + sizeof digits, r);
  s.append(digits, res.ptr);
  return s;
}

}  // namespace pdf
