// The standard security handler of PDF, revisions 2 and 3 (RC4 with 40 to
// 128-bit keys), with its own MD5 and RC4.
//
// TkvPDFDecrypt checks a password against a file's /O, /U, /P and first /ID
// entry, recovers the file key and decrypts strings and streams while the
// reader loads. TkvPDFEncryption computes /O, /U, the file identifier and
// the file key for a document being written and encrypts its object data.
// TkvPDFEncryptionSettings carries the user's choices (the document
// component's Encryption property). None of them owns anything but its own
// fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

using rtl::Exception;

// Files whose encryption this handler cannot read (crypt filters of /V 4,
// AES, other handlers or revisions). Distinct from a wrong password, so
// that a user is not asked again for a password that cannot help.
RTL_DECLARE_EXCEPTION(EUnsupportedEncryptionError, Exception);

inline constexpr const char* SRC4InvalidKeyLength = "RC4: Invalid key length";
inline constexpr const char* SInvalidFileId = "Invalid FileId.";
inline constexpr const char* SInvalidOwnerKey = "Invalid Owner Key.";
inline constexpr const char* SInvalidUserKey = "Invalid User Key.";
inline constexpr const char* SCannotChangeEncryption = "User cannot change encryption settings";
inline constexpr const char* SUnsupportedEncryption = "Unsupported encryption (%s)";

using TkvDigest = std::array<uint8_t, 16>;

// MD5 as RFC 1321 defines it.
class TkvMD5 {
 public:
  TkvMD5();
  void Update(const void* data, size_t length);
  void Update(std::string_view s) { Update(s.data(), s.size()); }
  // The digest; the object must not be updated afterwards.
  TkvDigest Final();
  static TkvDigest Digest(std::string_view s);

 private:
  void Transform(const uint8_t block[64]);
  uint32_t state_[4];
  uint64_t count_ = 0;  // bytes hashed
  uint8_t buffer_[64];
};

// RC4 with keys of 1 to 256 bytes ("RC4: Invalid key length" otherwise).
class TkvRC4 {
 public:
  TkvRC4(const uint8_t* key, size_t length);
  // Encrypts or decrypts length bytes; in and out may be the same buffer.
  void Crypt(const uint8_t* in, uint8_t* out, size_t length);

 private:
  uint8_t s_[256];
  uint8_t i_ = 0, j_ = 0;
};

enum TkvPDFEncryptionLevel : uint8_t { el40bit = 0, el128bit = 1 };

// Key length in bytes of a level: 5 or 16.
int KeyLength(TkvPDFEncryptionLevel level);

enum TkvUserPermissionsType : uint8_t {
  AllowCopy = 0,
  AllowModify,
  AllowPrint,
  AllowAnnotation,
  AllowFormFill,
  AllowAccessibility,
  AllowDocAssembly,
  AllowHighResPrint
};

// A set of permissions, bit i for element i, in one byte.
class TkvUserPermissions {
 public:
  constexpr TkvUserPermissions() = default;
  constexpr TkvUserPermissions(std::initializer_list<TkvUserPermissionsType> items) {
    for (auto i : items) Include(i);
  }
  static constexpr TkvUserPermissions All() {
    TkvUserPermissions p;
    p.bits_ = 0xFF;
    return p;
  }
  constexpr bool Contains(TkvUserPermissionsType t) const { return (bits_ >> t) & 1u; }
  constexpr void Include(TkvUserPermissionsType t) { bits_ |= static_cast<uint8_t>(1u << t); }
  constexpr void Exclude(TkvUserPermissionsType t) { bits_ &= static_cast<uint8_t>(~(1u << t)); }
  constexpr bool operator==(const TkvUserPermissions&) const = default;
  constexpr uint8_t Bits() const { return bits_; }

 private:
  uint8_t bits_ = 0;
};

class TkvPDFEncryptionSettings : public rtl::TPersistent {
 public:
  // False locks the settings: setters raise and the owner password reads
  // empty. Set after a document was opened with its user password.
  bool Changeable = true;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  TkvPDFEncryptionLevel Level() const { return level_; }
  void SetLevel(TkvPDFEncryptionLevel value);
  std::string OwnerPassword() const { return Changeable ? ownerPassword_ : std::string(); }
  void SetOwnerPassword(const std::string& value);
  const std::string& UserPassword() const { return userPassword_; }
  void SetUserPassword(const std::string& value);
  TkvUserPermissions UserPermissions() const { return permissions_; }
  void SetUserPermissions(TkvUserPermissions value);

 private:
  friend class TkvPDFDecrypt;
  friend class TkvPDFEncryption;
  void CheckChangeable() const;

  bool enabled_ = false;
  TkvPDFEncryptionLevel level_ = el128bit;
  std::string ownerPassword_;
  std::string userPassword_;
  TkvUserPermissions permissions_ = TkvUserPermissions::All();
};

class TkvBasePDFCrypt {
 public:
  // The password padding string of the standard security handler.
  static const std::array<uint8_t, 32> kPadding;

  TkvBasePDFCrypt() = default;
  virtual ~TkvBasePDFCrypt() = default;

  std::string GetFileID() const { return fileID_; }
  std::string GetOwnerKey() const { return std::string(reinterpret_cast<const char*>(ownerKey_.data()), 32); }
  std::string GetUserKey() const { return std::string(reinterpret_cast<const char*>(userKey_.data()), 32); }
  // The file key: the first KeyLength() bytes are used.
  std::string GetFileKey() const {
    return std::string(reinterpret_cast<const char*>(fileKey_.data()), static_cast<size_t>(keyLength_));
  }
  // The first 32 bytes of the password, completed with the padding string.
  static std::array<uint8_t, 32> PadPassword(const std::string& password);

  // Revision 2 with 40 bits or revision 3 with 128 bits.
  void SetKeyLevel(TkvPDFEncryptionLevel level);
  TkvPDFEncryptionLevel Level() const { return keyLength_ == 5 ? el40bit : el128bit; }
  int Revision() const { return revision_; }
  int KeyLength() const { return keyLength_; }
  TkvUserPermissions Permissions = TkvUserPermissions::All();

 protected:
  // The RC4 key of one object.
  std::string ObjectKey(int32_t objectNumber, int32_t generation) const;
  void CryptObjectData(const uint8_t* in, uint8_t* out, size_t length, int32_t objectNumber,
                       int32_t generation) const;

  int revision_ = 3;
  int keyLength_ = 16;
  std::string fileID_;
  std::array<uint8_t, 32> ownerKey_{};
  std::array<uint8_t, 32> userKey_{};
  std::array<uint8_t, 16> fileKey_{};
};

class TkvPDFEncryption : public TkvBasePDFCrypt {
 public:
  // The writer passes "Output1.pdf" and the creation date text as seeds of
  // the file identifier.
  TkvPDFEncryption(const std::string& seed1, const TkvPDFEncryptionSettings& settings,
                   const std::string& seed2);

  void ComputeFileID(const std::string& a, const std::string& b);
  // For callers that must keep an identifier already chosen.
  void SetFileID(const std::string& id) { fileID_ = id; }
  void ComputeKeys();
  // The /P value.
  int32_t PermissionFlags() const;
  // RC4 with the object key; the same call decrypts.
  void EncryptData(const uint8_t* input, uint8_t* output, int32_t generation, int32_t objectNumber,
                   size_t length) const;
  std::string EncryptString(const std::string& s, int32_t objectNumber, int32_t generation) const;

 private:
  std::string ownerPassword_;
  std::string userPassword_;
};

class TkvPDFDecrypt : public TkvBasePDFCrypt {
 public:
  // What the encryption dictionary says; raises EUnsupportedEncryptionError
  // for anything but the standard handler, /V 1 or 2 and /R 2 or 3 with a
  // key of 40 to 128 bits. Sets the revision and the key length.
  void SetEncryptionParameters(const std::string& filter, int64_t v, int64_t r,
                               std::optional<int64_t> lengthBits, bool hasCryptFilters = false);
  // The bytes of the first /ID string as resolved (any length, also empty).
  void SetFileID(const std::string& idBytes) { fileID_ = idBytes; }
  // The bytes of /O and /U as resolved: exactly 32 bytes. Taken as the
  // parser gave them, whatever the string's form: unescaping or hex-decoding
  // them again would alter keys that hold a backslash or look like hex text.
  void SetOwnerKey(const std::string& bytes);
  void SetUserKey(const std::string& bytes);
  void SetPermissionValue(int64_t p);
  const std::array<uint8_t, 4>& PValue() const { return pValue_; }

  // Owner first, then user. On success fills the settings (and locks them
  // after a user-password open); returns False and changes nothing when the
  // password is neither.
  bool OpenWithPassword(TkvPDFEncryptionSettings& settings, const std::string& password);
  bool OwnerAuthenticated = false;

  // Tries the password as the user password; on success the file key is set.
  bool AuthenticateUser(const std::string& password);
  // Tries the password as the owner password; on success returns the user
  // password it recovers.
  std::optional<std::string> AuthenticateOwner(const std::string& password);

  void DecryptString(uint8_t* buffer, size_t length, int32_t objectNumber, int32_t generation) const;
  std::string DecryptString(const std::string& s, int32_t objectNumber, int32_t generation) const;
  // Decrypts the whole content of the stream in place.
  void DecryptStream(rtl::TMemoryStream& stream, int32_t objectNumber, int32_t generation) const;

  // The password that a user-password open puts in place of the owner's.
  static std::string FreshOwnerPassword();

 private:
  bool AuthenticatePadded(const std::array<uint8_t, 32>& padded);
  void ApplyPermissions();
  std::array<uint8_t, 4> pValue_{};
  uint32_t p_ = 0;
};

}  // namespace pdf
