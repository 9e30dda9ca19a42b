#include "pdf/kvPDFCrypt.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;
using namespace pdf;

std::string ToHex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string r;
  for (unsigned char c : s) {
    r += d[c >> 4];
    r += d[c & 15];
  }
  return r;
}

std::string FromHex(const std::string& h) {
  std::string r;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    r.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return r;
}

std::string DigestHex(const TkvDigest& d) {
  return ToHex(std::string(reinterpret_cast<const char*>(d.data()), d.size()));
}

// ---- MD5 and RC4 against their published vectors ----

TEST(kvPDFCrypt, MD5MatchesRFC1321Suite) {
  const struct {
    std::string in, hex;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(DigestHex(TkvMD5::Digest(c.in)), c.hex);
    // Fed in uneven pieces, across block boundaries.
    TkvMD5 m;
    for (size_t i = 0; i < c.in.size(); i += 7) m.Update(c.in.substr(i, 7));
    EXPECT_EQ(DigestHex(m.Final()), c.hex);
  }
}

TEST(kvPDFCrypt, RC4MatchesRFC6229Vectors) {
  const struct {
    std::string key;
    size_t offset;
    std::string hex;
  } cases[] = {
      {"0102030405", 0, "b2396305f03dc027ccc3524a0a1118a8"},
      {"0102030405", 16, "6982944f18fc82d589c403a47a0d0919"},
      {"0102030405", 240, "28cb1132c96ce286421dcaadb8b69eae"},
      {"0102030405", 256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
      {"0102030405060708090a0b0c0d0e0f10", 0, "9ac7cc9a609d1ef7b2932899cde41b97"},
      {"0102030405060708090a0b0c0d0e0f10", 16, "5248c4959014126a6e8a84f11d1a9e1c"},
      {"0102030405060708090a0b0c0d0e0f10", 240, "065902e4b620f6cc36c8589f66432f2b"},
      {"0102030405060708090a0b0c0d0e0f10", 256, "d39d566bc6bce3010768151549f3873f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key + " @" + std::to_string(c.offset));
    const std::string key = FromHex(c.key);
    TkvRC4 rc4(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    std::string stream(c.offset + 16, '\0');
    auto* p = reinterpret_cast<uint8_t*>(stream.data());
    rc4.Crypt(p, p, stream.size());
    EXPECT_EQ(ToHex(stream.substr(c.offset)), c.hex);
  }
  const uint8_t k[257] = {};
  for (size_t len : {size_t{0}, size_t{257}}) {
    try {
      TkvRC4 bad(k, len);
      ADD_FAILURE() << len;
    } catch (const rtl::Exception& e) {
      EXPECT_STREQ(e.what(), "RC4: Invalid key length");
    }
  }
  EXPECT_NO_THROW(TkvRC4(k, 256));
}

// ---- Handler pieces ----

TEST(kvPDFCrypt, PadPassword) {
  const auto pad = TkvBasePDFCrypt::kPadding;
  EXPECT_EQ(TkvBasePDFCrypt::PadPassword(""), pad);
  const auto p = TkvBasePDFCrypt::PadPassword("abc");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data()), 3), "abc");
  EXPECT_TRUE(std::equal(p.begin() + 3, p.end(), pad.begin()));
  const std::string forty(40, 'x');
  const auto q = TkvBasePDFCrypt::PadPassword(forty);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(q.data()), 32), forty.substr(0, 32));
}

TEST(kvPDFCrypt, PermissionFlags) {
  const struct {
    TkvPDFEncryptionLevel level;
    TkvUserPermissions perms;
    int32_t p;
  } cases[] = {
      {el40bit, TkvUserPermissions::All(), -4},
      {el40bit, {}, -64},
      {el128bit, TkvUserPermissions::All(), -4},
      {el128bit, {}, -3904},
      {el128bit, {AllowHighResPrint}, -3904},
      {el128bit, {AllowHighResPrint, AllowPrint}, -3904 + 4 + 2048},
      {el128bit, {AllowCopy, AllowAccessibility}, -3376},
      {el40bit, {AllowFormFill, AllowDocAssembly}, -64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.level) << " " << int(c.perms.Bits()));
    TkvPDFEncryptionSettings s;
    s.SetLevel(c.level);
    s.SetUserPermissions(c.perms);
    TkvPDFEncryption e("Output1.pdf", s, "D:20260101");
    EXPECT_EQ(e.PermissionFlags(), c.p);
  }
}

TEST(kvPDFCrypt, PermissionValueBytes) {
  TkvPDFDecrypt d;
  for (int64_t p : {int64_t{-3904}, int64_t{4294963392}}) {
    d.SetPermissionValue(p);
    EXPECT_EQ(d.PValue(), (std::array<uint8_t, 4>{0xC0, 0xF0, 0xFF, 0xFF}));
  }
  d.SetPermissionValue(0x1234);
  EXPECT_EQ(d.PValue(), (std::array<uint8_t, 4>{0x34, 0x12, 0, 0}));
}

TEST(kvPDFCrypt, KeysMustBeExactly32Bytes) {
  TkvPDFDecrypt d;
  for (size_t n : {size_t{0}, size_t{31}, size_t{33}, size_t{64}}) {
    SCOPED_TRACE(n);
    try {
      d.SetOwnerKey(std::string(n, 'a'));
      ADD_FAILURE();
    } catch (const rtl::Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid Owner Key.");
    }
    try {
      d.SetUserKey(std::string(n, 'a'));
      ADD_FAILURE();
    } catch (const rtl::Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid User Key.");
    }
  }
  // A value holding backslashes and parentheses is taken as it is.
  const std::string raw = "\\\\()\\n" + std::string(26, '\x5C');
  d.SetOwnerKey(raw);
  EXPECT_EQ(d.GetOwnerKey(), raw);
}

TEST(kvPDFCrypt, UnsupportedEncryptionIsItsOwnError) {
  const struct {
    const char* name;
    std::string filter;
    int64_t v, r;
    std::optional<int64_t> length;
    bool cf;
    bool ok;
  } cases[] = {
      {"R2 no length", "/Standard", 1, 2, std::nullopt, false, true},
      {"R3 128", "/Standard", 2, 3, 128, false, true},
      {"R3 40", "/Standard", 2, 3, 40, false, true},
      {"R3 56", "/Standard", 2, 3, 56, false, true},
      {"V4 AES", "/Standard", 4, 4, 128, true, false},
      {"V4 RC4 crypt filter", "/Standard", 4, 4, 128, false, false},
      {"V5", "/Standard", 5, 6, 256, true, false},
      {"R4 with V2", "/Standard", 2, 4, 128, false, false},
      {"other handler", "/PubSec", 2, 3, 128, false, false},
      {"odd length", "/Standard", 2, 3, 44, false, false},
      {"too long", "/Standard", 2, 3, 256, false, false},
      {"crypt filters in V2", "/Standard", 2, 3, 128, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TkvPDFDecrypt d;
    if (c.ok) {
      EXPECT_NO_THROW(d.SetEncryptionParameters(c.filter, c.v, c.r, c.length, c.cf));
    } else {
      EXPECT_THROW(d.SetEncryptionParameters(c.filter, c.v, c.r, c.length, c.cf),
                   EUnsupportedEncryptionError);
    }
  }
  TkvPDFDecrypt d;
  d.SetEncryptionParameters("/Standard", 2, 3, 56, false);
  EXPECT_EQ(d.KeyLength(), 7);
  EXPECT_EQ(d.Revision(), 3);
}

TEST(kvPDFCrypt, SettingsLockAfterUserOpen) {
  TkvPDFEncryptionSettings s;
  s.SetOwnerPassword("own");
  s.SetUserPassword("usr");
  s.SetLevel(el128bit);
  s.SetUserPermissions({AllowPrint});
  TkvPDFEncryption e("Output1.pdf", s, "D:2026");

  TkvPDFDecrypt d;
  d.SetEncryptionParameters("/Standard", 2, 3, 128);
  d.SetFileID(e.GetFileID());
  d.SetOwnerKey(e.GetOwnerKey());
  d.SetUserKey(e.GetUserKey());
  d.SetPermissionValue(e.PermissionFlags());
  TkvPDFEncryptionSettings opened;
  ASSERT_TRUE(d.OpenWithPassword(opened, "usr"));
  EXPECT_FALSE(d.OwnerAuthenticated);
  EXPECT_FALSE(opened.Changeable);
  EXPECT_TRUE(opened.Enabled());
  EXPECT_EQ(opened.UserPassword(), "usr");
  EXPECT_EQ(opened.OwnerPassword(), "");  // hidden once locked
  EXPECT_EQ(opened.UserPermissions(), TkvUserPermissions({AllowPrint}));
  try {
    opened.SetUserPermissions(TkvUserPermissions::All());
    ADD_FAILURE();
  } catch (const rtl::Exception& ex) {
    EXPECT_STREQ(ex.what(), "User cannot change encryption settings");
  }
  EXPECT_EQ(opened.UserPermissions(), TkvUserPermissions({AllowPrint}));
  EXPECT_THROW(opened.SetEnabled(false), rtl::Exception);
  EXPECT_TRUE(opened.Enabled());
  EXPECT_EQ(d.GetFileKey(), e.GetFileKey());

  const std::string fresh = TkvPDFDecrypt::FreshOwnerPassword();
  EXPECT_GE(fresh.size(), 23u);
  EXPECT_LE(fresh.size(), 32u);

  TkvPDFEncryptionSettings unchanged;
  TkvPDFDecrypt wrong;
  wrong.SetEncryptionParameters("/Standard", 2, 3, 128);
  wrong.SetFileID(e.GetFileID());
  wrong.SetOwnerKey(e.GetOwnerKey());
  wrong.SetUserKey(e.GetUserKey());
  wrong.SetPermissionValue(e.PermissionFlags());
  EXPECT_FALSE(wrong.OpenWithPassword(unchanged, "nope"));
  EXPECT_FALSE(unchanged.Enabled());
  EXPECT_TRUE(unchanged.Changeable);
}

TEST(kvPDFCrypt, StringRoundTripForEachObject) {
  TkvPDFEncryptionSettings s;
  s.SetUserPassword("u");
  for (auto level : {el40bit, el128bit}) {
    s.SetLevel(level);
    TkvPDFEncryption e("Output1.pdf", s, "D:2026");
    TkvPDFDecrypt d;
    d.SetKeyLevel(level);
    d.SetFileID(e.GetFileID());
    d.SetOwnerKey(e.GetOwnerKey());
    d.SetUserKey(e.GetUserKey());
    d.SetPermissionValue(e.PermissionFlags());
    TkvPDFEncryptionSettings o;
    ASSERT_TRUE(d.OpenWithPassword(o, "u"));
    const std::string text = "\xFE\xFF\0A\\)("s;
    const std::string c5 = e.EncryptString(text, 5, 0);
    EXPECT_NE(c5, text);
    EXPECT_NE(c5, e.EncryptString(text, 6, 0));
    EXPECT_NE(c5, e.EncryptString(text, 5, 1));
    EXPECT_EQ(d.DecryptString(c5, 5, 0), text);
    rtl::TMemoryStream m;
    m.WriteString(c5);
    d.DecryptStream(m, 5, 0);
    EXPECT_EQ(m.DataString(), text);
  }
}

// ---- Against files that qpdf encrypts ----

struct QpdfEncryption {
  std::string id, o, u, key;
  int64_t p = 0, r = 0, v = 0;
  std::optional<int64_t> length;
};

// The run of characters from `allowed` that follows the first `key`.
std::string After(const std::string& text, const std::string& key, const std::string& allowed) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return {};
  size_t i = at + key.size();
  size_t j = i;
  while (j < text.size() && allowed.find(text[j]) != std::string::npos) ++j;
  return text.substr(i, j - i);
}
const std::string kHexDigits = "0123456789abcdef";
const std::string kDecimal = "-0123456789";

QpdfEncryption ReadQpdfEncryption(const std::string& file, const std::string& ownerPassword) {
  QpdfEncryption q;
  const std::string pw = "--password=" + ownerPassword;
  const auto trailer = tk::test::RunTool({"qpdf", "--show-object=trailer", pw, file});
  q.id = FromHex(After(trailer.out, "/ID [ <", kHexDigits));
  const std::string encObj = After(trailer.out, "/Encrypt ", kDecimal);
  const auto dict = tk::test::RunTool({"qpdf", "--show-object=" + encObj, pw, file}).out;
  q.o = FromHex(After(dict, "/O <", kHexDigits));
  q.u = FromHex(After(dict, "/U <", kHexDigits));
  q.p = std::stoll(After(dict, "/P ", kDecimal));
  q.r = std::stoll(After(dict, "/R ", kDecimal));
  q.v = std::stoll(After(dict, "/V ", kDecimal));
  if (auto l = After(dict, "/Length ", kDecimal); !l.empty()) q.length = std::stoll(l);
  const auto enc = tk::test::RunTool({"qpdf", "--show-encryption-key", "--show-encryption", pw, file});
  q.key = FromHex(After(enc.out, "Encryption key = ", kHexDigits));
  return q;
}

void Fill(TkvPDFDecrypt& d, const QpdfEncryption& q) {
  d.SetEncryptionParameters("/Standard", q.v, q.r, q.length);
  d.SetFileID(q.id);
  d.SetOwnerKey(q.o);
  d.SetUserKey(q.u);
  d.SetPermissionValue(q.p);
}

TEST(kvPDFCrypt, AgreesWithQpdfEncryptedFiles) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::ScratchDir dir;
  const std::string longPw = "a(very)long\\password that has more than 32 bytes";
  const struct {
    const char* name;
    std::string user, owner;
    std::vector<std::string> args;
    TkvPDFEncryptionLevel level;
    TkvUserPermissions userPerms;  // what a user-password open grants
  } cases[] = {
      {"R2 40", "user", "owner", {"40"}, el40bit, TkvUserPermissions::All()},
      {"R2 40 print none",
       "user",
       "owner",
       {"40", "--print=n"},
       el40bit,
       {AllowCopy, AllowModify, AllowAnnotation, AllowFormFill, AllowAccessibility, AllowDocAssembly,
        AllowHighResPrint}},
      {"R3 128", "user", "owner", {"128", "--use-aes=n"}, el128bit, TkvUserPermissions::All()},
      {"R3 128 restricted",
       "user",
       "owner",
       {"128", "--use-aes=n", "--print=none", "--modify=none"},
       el128bit,
       {AllowCopy, AllowAccessibility}},
      {"R3 empty user", "", "secret", {"128", "--use-aes=n"}, el128bit, TkvUserPermissions::All()},
      {"R2 empty user", "", "secret", {"40"}, el40bit, TkvUserPermissions::All()},
      {"R3 long passwords",
       longPw,
       "!" + longPw,
       {"128", "--use-aes=n"},
       el128bit,
       TkvUserPermissions::All()},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = (dir / ("e" + std::to_string(n++) + ".pdf")).string();
    // A fixed /ID: a random one whose bytes happen to be printable is shown
    // as a literal string, which the hex parsing above would miss.
    std::vector<std::string> argv = {"qpdf",      "--empty", "--static-id", "--allow-weak-crypto",
                                     "--encrypt", c.user,    c.owner};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back("--");
    argv.push_back(file);
    const auto made = tk::test::RunTool(argv);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const QpdfEncryption q = ReadQpdfEncryption(file, c.owner);
    ASSERT_EQ(q.o.size(), 32u);
    ASSERT_FALSE(q.key.empty());

    // User password: the same file key as qpdf's; only the granted rights.
    {
      TkvPDFDecrypt d;
      Fill(d, q);
      TkvPDFEncryptionSettings s;
      ASSERT_TRUE(d.OpenWithPassword(s, c.user));
      EXPECT_FALSE(d.OwnerAuthenticated);
      EXPECT_EQ(ToHex(d.GetFileKey()), ToHex(q.key));
      EXPECT_EQ(s.UserPermissions(), c.userPerms);
      EXPECT_EQ(s.Level(), c.level);
      EXPECT_FALSE(s.Changeable);
    }
    // Owner password: every right, and the user password recovered.
    {
      TkvPDFDecrypt d;
      Fill(d, q);
      TkvPDFEncryptionSettings s;
      ASSERT_TRUE(d.OpenWithPassword(s, c.owner));
      EXPECT_TRUE(d.OwnerAuthenticated);
      EXPECT_EQ(ToHex(d.GetFileKey()), ToHex(q.key));
      EXPECT_EQ(s.UserPassword(), c.user.substr(0, 32));
      EXPECT_EQ(s.UserPermissions(), TkvUserPermissions::All());
      EXPECT_TRUE(s.Changeable);
    }
    // A wrong password opens nothing; the empty one only an empty user password.
    {
      TkvPDFDecrypt d;
      Fill(d, q);
      TkvPDFEncryptionSettings s;
      EXPECT_FALSE(d.OpenWithPassword(s, "wrong"));
      EXPECT_FALSE(s.Enabled());
      EXPECT_EQ(d.OpenWithPassword(s, ""), c.user.empty());
    }
    // Writing the same choices with the file's identifier gives qpdf's values.
    {
      TkvPDFEncryptionSettings s;
      s.SetLevel(c.level);
      s.SetOwnerPassword(c.owner);
      s.SetUserPassword(c.user);
      s.SetUserPermissions(c.userPerms);
      TkvPDFEncryption e("Output1.pdf", s, "");
      e.SetFileID(q.id);
      e.ComputeKeys();
      EXPECT_EQ(e.PermissionFlags(), q.p);
      EXPECT_EQ(ToHex(e.GetOwnerKey()), ToHex(q.o));
      EXPECT_EQ(ToHex(e.GetFileKey()), ToHex(q.key));
      // Revision 3 defines only the first 16 bytes of /U.
      const size_t significant = c.level == el40bit ? 32 : 16;
      EXPECT_EQ(ToHex(e.GetUserKey().substr(0, significant)), ToHex(q.u.substr(0, significant)));
    }
  }
}

// A string that qpdf encrypted decrypts to its text.
TEST(kvPDFCrypt, DecryptsAStringQpdfEncrypted) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::ScratchDir dir;
  const std::string objs[] = {"<</Type/Catalog/Pages 2 0 R>>", "<</Type/Pages/Kids[]/Count 0>>",
                              "<</Title (Hello \\(World\\))>>"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < 3; ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objs[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 4\n0000000000 65535 f \n";
  for (size_t o : offsets) {
    std::string num = std::to_string(o);
    pdf += std::string(10 - num.size(), '0') + num + " 00000 n \n";
  }
  pdf += "trailer\n<</Size 4/Root 1 0 R/Info 3 0 R>>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  tk::test::WriteFileBytes(dir / "plain.pdf", pdf);
  for (const std::string bits : {"40", "128"}) {
    SCOPED_TRACE(bits);
    const std::string out = (dir / ("enc" + bits + ".pdf")).string();
    std::vector<std::string> argv = {
        "qpdf", "--static-id", "--allow-weak-crypto", "--object-streams=disable", "--encrypt", "u",
        "o",    bits};
    if (bits == "128") argv.push_back("--use-aes=n");
    argv.insert(argv.end(), {"--", (dir / "plain.pdf").string(), out});
    ASSERT_EQ(tk::test::RunTool(argv).exitCode, 0);
    const std::string bytes = tk::test::ReadFileBytes(out);
    // qpdf writes the encrypted title as a hex string, in an object it
    // may have renumbered: take the number from the object's header.
    const size_t at = bytes.find("/Title <");
    ASSERT_NE(at, std::string::npos);
    const std::string title = After(bytes.substr(at), "/Title <", kHexDigits);
    const size_t header = bytes.rfind(" 0 obj", at);
    ASSERT_NE(header, std::string::npos);
    size_t start = header;
    while (start > 0 && std::isdigit(static_cast<unsigned char>(bytes[start - 1]))) --start;
    const int objNum = std::stoi(bytes.substr(start, header - start));
    const QpdfEncryption q = ReadQpdfEncryption(out, "o");
    TkvPDFDecrypt d;
    Fill(d, q);
    TkvPDFEncryptionSettings s;
    ASSERT_TRUE(d.OpenWithPassword(s, "u"));
    EXPECT_EQ(d.DecryptString(FromHex(title), objNum, 0), "Hello (World)");
  }
}

}  // namespace
