#include "pdf/kvPDFDocWriter.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "PdfFixture.h"
#include "pdf/kvdzlib.h"
#include "platform/rtl/DateTime.h"
#include "support/TestSupport.h"

namespace {

using namespace std::string_literals;
using namespace pdf;
namespace fs = std::filesystem;

constexpr int32_t kSource = 7;

std::unique_ptr<TkvPDFIndirectReference> RefTo(int32_t n) {
  return std::make_unique<TkvPDFIndirectReference>(kSource, n, 0);
}

std::unique_ptr<TkvPDFArrayObject> Numbers(std::initializer_list<int> v) {
  auto a = std::make_unique<TkvPDFArrayObject>();
  for (int n : v) a->AddInteger(n);
  return a;
}

std::unique_ptr<TkvPDFStreamObject> Stream(std::unique_ptr<TkvPDFDictObject> dict, const std::string& data) {
  auto m = std::make_unique<rtl::TMemoryStream>();
  m->WriteString(data);
  return std::make_unique<TkvPDFStreamObject>(std::move(dict), std::move(m));
}

const std::string kContent = "BT /F1 12 Tf 10 10 Td (Hello \\(page\\)) Tj ET\n";
// Bytes that a text-conversion path would damage: UTF-16BE with a
// parenthesis, a backslash and a CR in its code units.
const std::string kTitleBytes = "\xFE\xFF\x00\x41\x00\x28\x5C\x0D\x00\x29"s;

// A one-page document as the reader would leave it: source objects with
// their source numbers, a reference to an object that is not written and
// a /Parent that the writer must replace.
struct Fixture {
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> store;
  std::unique_ptr<TkvPDFDictObject> info = std::make_unique<TkvPDFDictObject>();
  std::unique_ptr<TkvPDFArrayObject> trailerID;
  std::unique_ptr<TkvPDFEncryption> encryptor;
  TkvPDFEncryptionSettings encryption;
  TkvDocumentToWrite doc;
  int32_t nextNum = 100;

  TkvPDFIndirectObject* Add(int32_t num, std::unique_ptr<TkvPDFObject> value, int refs = 1) {
    auto obj = std::make_unique<TkvPDFIndirectObject>(kSource, num, 0, std::move(value));
    obj->RefCount = refs;
    store.push_back(std::move(obj));
    return store.back().get();
  }

  explicit Fixture(int pages = 1) {
    for (int p = 0; p < pages; ++p) {
      const int32_t base = 10 + p * 10;
      auto page = std::make_unique<TkvPDFDictObject>();
      page->SetName("/Type", "/Page");
      page->SetValue("/Parent", RefTo(99));
      page->SetValue("/MediaBox", Numbers({0, 0, 200, 100}));
      page->SetValue("/Contents", RefTo(base + 1));
      auto fonts = std::make_unique<TkvPDFDictObject>();
      fonts->SetValue("/F1", RefTo(2));  // shared font, source number 2
      auto res = std::make_unique<TkvPDFDictObject>();
      res->SetValue("/Font", std::move(fonts));
      page->SetValue("/Resources", std::move(res));
      page->SetValue("/Hexy", std::make_unique<TkvPDFStringObject>("<48656C6C6F>", true));
      page->SetValue("/Gone", RefTo(98));
      doc.Pages.push_back(Add(base, std::move(page)));
      auto cd = std::make_unique<TkvPDFDictObject>();
      cd->SetValue("/Length", RefTo(base + 2));  // a length object the file leaves out
      Add(base + 1, Stream(std::move(cd), kContent));
      Add(base + 2, std::make_unique<TkvPDFIntegerObject>(static_cast<int32_t>(kContent.size())), 0);
    }
    auto font = std::make_unique<TkvPDFDictObject>();
    font->SetName("/Type", "/Font");
    font->SetName("/Subtype", "/Type1");
    font->SetName("/BaseFont", "/Helvetica");
    Add(2, std::move(font));
    Add(3, std::make_unique<TkvPDFNullObject>(), 0);  // unused

    info->SetValue("/Title", std::make_unique<TkvPDFStringObject>("(" + kTitleBytes + ")"));
    info->SetValue("/CreationDate", std::make_unique<TkvPDFStringObject>("(D:20260101120000)"));
    for (auto& o : store) doc.Objects.push_back(o.get());
    doc.Info = info.get();
    doc.CreationDate = "D:20260101120000";
    doc.TrailerID = &trailerID;
    doc.Encryption = &encryption;
    doc.Encryptor = &encryptor;
    doc.DocumentID = kSource;
    doc.NextObjectNumber = [this] { return ++nextNum; };
  }

  std::string Write() {
    rtl::TMemoryStream out;
    TkvPDFDocWriter w(doc);
    w.WriteDocument(out);
    return out.DataString();
  }
};

using tk::test::pdf::Qpdf;

// Every cross-reference offset names the CR LF in front of its object.
void CheckXRef(const std::string& pdf) {
  const size_t startxref = pdf.rfind("startxref\r\n");
  ASSERT_NE(startxref, std::string::npos);
  const size_t xref = std::stoul(pdf.substr(startxref + 11));
  ASSERT_EQ(pdf.compare(xref, 6, "xref\r\n"), 0);
  const size_t header = xref + 6;
  const size_t eol = pdf.find("\r\n", header);
  const int count = std::stoi(pdf.substr(header + 2, eol - header - 2));
  const size_t first = eol + 2;
  ASSERT_EQ(pdf.substr(first, 20), "0000000000 65535 f\r\n");
  for (int n = 1; n < count; ++n) {
    const std::string e = pdf.substr(first + 20 * static_cast<size_t>(n), 20);
    ASSERT_EQ(e.substr(10, 10), " 00000 n\r\n") << n;
    const size_t off = std::stoul(e.substr(0, 10));
    EXPECT_EQ(pdf.substr(off, 2 + std::to_string(n).size() + 8), "\r\n" + std::to_string(n) + " 0 obj\r\n")
        << n;
  }
}

TEST(kvPDFDocWriter, OnePageDocumentLayout) {
  Fixture f;
  const std::string pdf = f.Write();
  EXPECT_EQ(pdf.substr(0, 17), "%PDF-1.4\r\n%\xE2\xE3\xCF\xD3\r\n");
  CheckXRef(pdf);
  // Catalog, information, page tree, then the page under number 4.
  EXPECT_NE(pdf.find("\r\n1 0 obj\r\n<<\r\n/Type /Catalog\r\n/Pages 3 0 R\r\n>>\r\nendobj\r\n"),
            std::string::npos);
  EXPECT_NE(pdf.find("/Producer (Veltrane Pagewright V2.02)"), std::string::npos);
  EXPECT_NE(pdf.find("\r\n3 0 obj\r\n<<\r\n/Type /Pages\r\n/Count 1\r\n/Kids [ 4 0 R ]\r\n>>"),
            std::string::npos);
  const size_t page = pdf.find("\r\n4 0 obj\r\n");
  ASSERT_NE(page, std::string::npos);
  const std::string pageText = pdf.substr(page, pdf.find("endobj", page) - page);
  EXPECT_NE(pageText.find("/Parent 3 0 R"), std::string::npos);
  EXPECT_EQ(pageText.find("/Parent 99"), std::string::npos);
  EXPECT_NE(pageText.find("/Gone null"), std::string::npos);
  EXPECT_NE(pageText.find("/Contents 5 0 R"), std::string::npos);
  EXPECT_NE(pageText.find("/F1 6 0 R"), std::string::npos);
  // Six objects written, the two unused ones left out.
  EXPECT_NE(pdf.find("trailer\r\n<<\r\n/Size 7\r\n/Root 1 0 R\r\n/Info 2 0 R\r\n>>"), std::string::npos);
  EXPECT_EQ(f.store[2]->OutputObjNum, 0);
}

TEST(kvPDFDocWriter, SavedFilesPassQpdf) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::ScratchDir dir;
  for (int pages : {0, 1, 3}) {
    SCOPED_TRACE(pages);
    Fixture f(pages);
    const std::string name = SaveDocumentToFile(f.doc, (dir / ("doc" + std::to_string(pages))).string());
    EXPECT_EQ(name, (dir / ("doc" + std::to_string(pages) + ".pdf")).string());
    int rc = -1;
    const std::string check = Qpdf({"--check", name}, &rc);
    EXPECT_EQ(rc, 0) << check;
    EXPECT_EQ(Qpdf({"--show-npages", name}), std::to_string(pages) + "\n");
    if (pages == 0) {
      EXPECT_NE(tk::test::ReadFileBytes(name).find("/Kids [ ]"), std::string::npos);
    }
    if (pages > 0) {
      EXPECT_EQ(Qpdf({"--show-object=5", "--filtered-stream-data", name}), kContent);
      EXPECT_NE(Qpdf({"--show-object=4", name}).find("/Hexy (Hello)"), std::string::npos);
    }
  }
}

TEST(kvPDFDocWriter, EncryptedSaveOpensWithItsPasswords) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::ScratchDir dir;
  const struct {
    TkvPDFEncryptionLevel level;
    TkvUserPermissions perms;
    const char* r;
    const char* p;
  } cases[] = {{el40bit, TkvUserPermissions::All(), "R = 2", "P = -4"},
               {el128bit, {AllowCopy, AllowAccessibility}, "R = 3", "P = -3376"},
               {el128bit, {AllowPrint, AllowHighResPrint}, "R = 3", "P = -1852"}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.r);
    Fixture f;
    f.encryption.SetEnabled(true);
    f.encryption.SetLevel(c.level);
    f.encryption.SetUserPassword("user");
    f.encryption.SetOwnerPassword("owner");
    f.encryption.SetUserPermissions(c.perms);
    const std::string name =
        SaveDocumentToFile(f.doc, (dir / ("enc" + std::to_string(n++) + ".pdf")).string());
    ASSERT_TRUE(f.encryptor);
    int rc = -1;
    const std::string check = Qpdf({"--check", "--password=user", name}, &rc);
    EXPECT_EQ(rc, 0) << check;
    const std::string enc = Qpdf({"--show-encryption", "--password=owner", name});
    EXPECT_NE(enc.find(c.r), std::string::npos) << enc;
    EXPECT_NE(enc.find(c.p), std::string::npos) << enc;
    EXPECT_NE(enc.find("Supplied password is owner password"), std::string::npos);
    Qpdf({"--check", "--password=wrong", name}, &rc);
    EXPECT_NE(rc, 0);
    // Strings and streams come back exactly.
    EXPECT_EQ(Qpdf({"--show-object=5", "--filtered-stream-data", "--password=user", name}), kContent);
    EXPECT_NE(Qpdf({"--show-object=4", "--password=user", name}).find("/Hexy (Hello)"), std::string::npos);
    EXPECT_NE(Qpdf({"--show-object=2", "--password=user", name}).find("/Title <feff004100285c0d0029>"),
              std::string::npos)
        << Qpdf({"--show-object=2", "--password=user", name});
    // The trailer carries the identifier the keys were made with.
    ASSERT_TRUE(f.trailerID);
    EXPECT_EQ(f.trailerID->Count(), 2);
  }
}

// The identifier (and so every key) differs between documents saved with
// the same passwords and no creation date, and between saves at other
// times; the same document saved at the same time gets the same one.
TEST(kvPDFDocWriter, FileIdentifierFollowsContentAndTime) {
  rtl::TManualClock clock(rtl::EncodeDate(2026, 5, 6) + rtl::EncodeTime(7, 8, 9, 0));
  rtl::SetClock(&clock);
  auto idOf = [](int pages, const std::string& date) {
    Fixture f(pages);
    f.doc.CreationDate = date;
    f.encryption.SetEnabled(true);
    f.encryption.SetUserPassword("user");
    f.Write();
    return f.encryptor ? f.encryptor->GetFileID() : std::string();
  };
  const std::string one = idOf(1, "");
  EXPECT_EQ(one.size(), 16u);
  EXPECT_EQ(idOf(1, ""), one);
  EXPECT_NE(idOf(2, ""), one);
  EXPECT_NE(idOf(1, "D:20260101120000"), one);
  clock.SetNow(clock.Now() + 1.0 / 86400);
  EXPECT_NE(idOf(1, ""), one);
  rtl::SetClock(nullptr);
}

TEST(kvPDFDocWriter, CompressionAndAsciiEncoding) {
  TK_REQUIRE_TOOL("qpdf");
  tk::test::ScratchDir dir;
  const struct {
    uint8_t compress, compressKind, ascii, asciiKind;
    const char* filter;
  } cases[] = {
      {1, 0, 0, 0, "/Filter /FlateDecode"},
      {1, 1, 0, 0, "/Filter /RunLengthDecode"},
      {0, 0, 1, 0, "/Filter /ASCIIHexDecode"},
      {1, 0, 1, 1, "/Filter [ /ASCII85Decode /FlateDecode ]"},
      {1, 1, 1, 0, "/Filter [ /ASCIIHexDecode /RunLengthDecode ]"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.filter);
    Fixture f;
    f.doc.Compression = {c.compress, c.compressKind, static_cast<uint8_t>(lvMax)};
    f.doc.AsciiEncode = {c.ascii, c.asciiKind};
    const std::string name = SaveDocumentToFile(f.doc, (dir / ("c" + std::to_string(n++) + ".pdf")).string());
    int rc = -1;
    const std::string check = Qpdf({"--check", name}, &rc);
    EXPECT_EQ(rc, 0) << check;
    EXPECT_NE(tk::test::ReadFileBytes(name).find(c.filter), std::string::npos);
    EXPECT_EQ(Qpdf({"--show-object=5", "--filtered-stream-data", name}), kContent);
  }
}

TEST(kvPDFDocWriter, StreamFiltersForWriting) {
  // An already compressed stream is not compressed again; /DecodeParms
  // stays in step with the filters it belongs to.
  Fixture f;
  auto& content = f.store[1]->Value->As<TkvPDFStreamObject>();
  content.Dict->SetName("/Filter", "/FlateDecode");
  f.doc.Compression = {1, 0, static_cast<uint8_t>(lvDefault)};
  f.doc.AsciiEncode = {1, 1};
  auto parms = std::make_unique<TkvPDFDictObject>();
  parms->SetInteger("/Predictor", 12);
  content.Dict->SetValue("/DecodeParms", std::move(parms));
  std::string pdf = f.Write();
  EXPECT_NE(pdf.find("/Filter [ /ASCII85Decode /FlateDecode ]"), std::string::npos);
  EXPECT_NE(pdf.find("/DecodeParms [ null <<\r\n/Predictor 12\r\n>> ]"), std::string::npos);

  Fixture g;
  g.store[1]->Value->As<TkvPDFStreamObject>().Dict->SetInteger("/Filter", 5);
  g.doc.Compression = {1, 0, 0};
  EXPECT_THROW(g.Write(), kvCstPDFDoc::EUnexpectedObjectError);
}

TEST(kvPDFDocWriter, SerializeObjectTable) {
  Fixture f;
  f.Write();  // numbers the objects
  TkvPDFDocWriter w(f.doc);
  const struct {
    const char* name;
    std::unique_ptr<TkvPDFObject> value;
    std::string text;
  } cases[] = {
      {"true", std::make_unique<TkvPDFBooleanObject>(true), "true"},
      {"integer", std::make_unique<TkvPDFIntegerObject>(-12), "-12"},
      {"real", std::make_unique<TkvPDFRealObject>(0.5), "0.5"},
      {"name", std::make_unique<TkvPDFNameObject>("/Name#20x"), "/Name#20x"},
      {"empty array", std::make_unique<TkvPDFArrayObject>(), "[ ]"},
      {"array", Numbers({1, 2}), "[ 1 2 ]"},
      {"null", std::make_unique<TkvPDFNullObject>(), "null"},
      {"literal", std::make_unique<TkvPDFStringObject>("(a(b)\\c\r\nd)"), "(a\\(b\\)\\\\c\\r\\nd)"},
      {"hex", std::make_unique<TkvPDFStringObject>("<4142>", true), "<4142>"},
      {"written reference", RefTo(2), "6 0 R"},
      {"unwritten reference", RefTo(3), "null"},
      {"unknown reference", RefTo(555), "null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(w.SerializeObject(c.value.get(), -1), c.text);
  }
  EXPECT_EQ(w.SerializeObject(nullptr, 4), "");
  auto d = std::make_unique<TkvPDFDictObject>();
  d->SetInteger("/A", 1);
  d->SetName("/B", "/C");
  EXPECT_EQ(w.SerializeObject(d.get(), 4), "<<\r\n/A 1\r\n/B /C\r\n>>");
}

// ---- outlines ----

class Outline : public TkvOutlineItemSource {
 public:
  Outline(int32_t num, const std::string& title, std::unique_ptr<TkvPDFObject> dest = nullptr)
      : key_{kSource, num, 0} {
    if (!title.empty()) dict_.SetValue("/Title", std::make_unique<TkvPDFStringObject>("(" + title + ")"));
    if (dest) dict_.SetValue("/Dest", std::move(dest));
  }
  Outline* Add(std::unique_ptr<Outline> child) {
    Outline* c = child.get();
    if (children_.empty())
      first_ = c;
    else
      children_.back()->next_ = c;
    children_.push_back(std::move(child));
    return c;
  }
  const TkvPDFDictObject* Dictionary() const override { return &dict_; }
  TkvObjectKey Key() const override { return key_; }
  void SetKey(const TkvObjectKey& k) override { key_ = k; }
  bool Closed() const override { return closed; }
  TkvOutlineItemSource* FirstChild() const override { return first_; }
  TkvOutlineItemSource* NextSibling() const override { return next_; }
  bool closed = false;

 private:
  TkvPDFDictObject dict_;
  TkvObjectKey key_;
  std::vector<std::unique_ptr<Outline>> children_;
  Outline* first_ = nullptr;
  Outline* next_ = nullptr;
};

std::unique_ptr<TkvPDFArrayObject> DestTo(std::unique_ptr<TkvPDFObject> page) {
  auto a = std::make_unique<TkvPDFArrayObject>();
  a->Add(std::move(page));
  a->Add(std::make_unique<TkvPDFNameObject>("/Fit"));
  return a;
}

TEST(kvPDFDocWriter, OutlinesPassQpdf) {
  TK_REQUIRE_TOOL("qpdf");
  Fixture f(2);
  // The second page is not part of this file.
  f.store[3]->RefCount = 0;
  f.doc.Pages.pop_back();
  Outline root(50, "");
  root.Add(std::make_unique<Outline>(51, "First", DestTo(RefTo(10))));
  root.Add(std::make_unique<Outline>(52, "Dropped", DestTo(RefTo(20))));
  Outline* third = root.Add(std::make_unique<Outline>(0, "Third", DestTo(RefTo(10))));
  third->closed = true;
  third->Add(std::make_unique<Outline>(54, "Child", DestTo(std::make_unique<TkvPDFIntegerObject>(0))));
  std::vector<std::string> warnings;
  f.doc.OnWarning = [&](const std::string& w) { warnings.push_back(w); };
  f.doc.Outlines = &root;
  tk::test::ScratchDir dir;
  const std::string name = SaveDocumentToFile(f.doc, (dir / "outl.pdf").string());
  int rc = -1;
  const std::string check = Qpdf({"--check", name}, &rc);
  EXPECT_EQ(rc, 0) << check;
  EXPECT_EQ(third->Key().ObjNum, 101);  // numbered from the store's counter
  EXPECT_EQ(warnings, std::vector<std::string>{"Expected Page Indirect Reference in Outline Destination!"});
  const std::string json = Qpdf({"--json", "--json-key=outlines", name});
  EXPECT_NE(json.find("\"title\": \"First\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"title\": \"Third\""), std::string::npos);
  EXPECT_NE(json.find("\"title\": \"Child\""), std::string::npos);
  EXPECT_EQ(json.find("Dropped"), std::string::npos);
  const std::string pdf = tk::test::ReadFileBytes(name);
  EXPECT_NE(pdf.find("/Outlines "), std::string::npos);
  EXPECT_NE(pdf.find("/Count -1"), std::string::npos);  // closed, one child
}

// ---- saving through a temporary file ----

TEST(kvPDFDocWriter, FileNames) {
  const struct {
    std::string in, out;
  } cases[] = {{"out", "out.pdf"},
               {"X.PDF", "X.PDF"},
               {"a.txt", "a.txt.pdf"},
               {"dir.v/name", "dir.v/name.pdf"},
               {"b.Pdf", "b.Pdf"}};
  for (const auto& c : cases) EXPECT_EQ(PDFSaveFileName(c.in), c.out) << c.in;
}

TEST(kvPDFDocWriter, FailedSaveKeepsTheOldFile) {
  tk::test::ScratchDir dir;
  const fs::path target = dir / "keep.pdf";
  tk::test::WriteFileBytes(target, "GOOD");
  Fixture f;
  f.store[1]->Value->As<TkvPDFStreamObject>().Dict->SetInteger("/Filter", 5);
  f.doc.Compression = {1, 0, 0};
  std::vector<std::string> status;
  f.doc.OnStatusMessage = [&](const std::string& s) { status.push_back(s); };
  EXPECT_THROW(SaveDocumentToFile(f.doc, target.string()), rtl::Exception);
  EXPECT_EQ(tk::test::ReadFileBytes(target), "GOOD");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
            1);  // no temporary left
  ASSERT_FALSE(status.empty());
  EXPECT_EQ(status.front(), "Saving File " + target.string());
  EXPECT_NE(status.back(), "Save Complete");

  // A good save replaces the file whole.
  Fixture g;
  g.doc.OnStatusMessage = [&](const std::string& s) { status.push_back(s); };
  SaveDocumentToFile(g.doc, target.string());
  EXPECT_EQ(tk::test::ReadFileBytes(target).substr(0, 8), "%PDF-1.4");
  EXPECT_EQ(status.back(), "Save Complete");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

  EXPECT_THROW(SaveDocumentToFile(g.doc, (dir / "missing" / "x.pdf").string()), rtl::EFCreateError);
}

TEST(kvPDFDocWriter, SavedFileModesAndAWriteThatFailsPartWay) {
  tk::test::ScratchDir dir;
  auto modeOf = [](const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    return st.st_mode & 07777;
  };
  const mode_t mask = ::umask(022);
  // A new file gets the mode any new file would get.
  Fixture f;
  const fs::path fresh = dir / "fresh.pdf";
  SaveDocumentToFile(f.doc, fresh.string());
  EXPECT_EQ(modeOf(fresh), 0644u);
  // A replaced file keeps its mode.
  const fs::path kept = dir / "kept.pdf";
  tk::test::WriteFileBytes(kept, "GOOD");
  ::chmod(kept.c_str(), 0640);
  SaveDocumentToFile(f.doc, kept.string());
  EXPECT_EQ(modeOf(kept), 0640u);
  EXPECT_EQ(tk::test::ReadFileBytes(kept), tk::test::ReadFileBytes(fresh));
  ::umask(mask);

  // The file system refuses the bytes half-way through (a file size limit
  // stands in for a full disk): the good file stays, no temporary is left.
  tk::test::WriteFileBytes(kept, "GOOD");
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  bool raised = false;
  try {
    SaveDocumentToFile(f.doc, kept.string());
  } catch (const rtl::EWriteError&) {
    raised = true;
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_TRUE(raised);
  EXPECT_EQ(tk::test::ReadFileBytes(kept), "GOOD");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

// ---- metadata ----

TEST(kvPDFDocWriter, PatchMetadataPageCount) {
  const struct {
    const char* name;
    std::string in, out;
  } cases[] = {
      {"element", "<x:NPages>12</x:NPages>", "<x:NPages>1</x:NPages>"},
      {"attribute", "<x NPages='12' bytes='999'/>", "<x NPages='1' bytes='27'/>"},
      {"double quotes", "<x NPages=\"7\"/>", "<x NPages=\"1\"/>"},
      {"absent", "<x bytes='5'/>", "<x bytes='5'/>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = std::make_unique<TkvPDFDictObject>();
    d->SetInteger("/Length", static_cast<int32_t>(c.in.size()));
    auto s = Stream(std::move(d), c.in);
    PatchMetadataPageCount(*s, 1);
    EXPECT_EQ(s->Data->DataString(), c.out);  // no stale bytes after a shorter text
    EXPECT_EQ(s->Dict->Find("/Length")->ValueText(), std::to_string(c.out.size()));
  }
  auto d = std::make_unique<TkvPDFDictObject>();
  d->SetName("/Filter", "/FlateDecode");
  auto s = Stream(std::move(d), "<x:NPages>12</x:NPages>");
  PatchMetadataPageCount(*s, 1);
  EXPECT_EQ(s->Data->DataString(), "<x:NPages>12</x:NPages>");
}

}  // namespace

namespace {

// The records the component holds, described for the writer.
TEST(kvPDFDocWriter, SavesFromTheStoreAndRecords) {
  TK_REQUIRE_TOOL("qpdf");
  TkvPDFObjectStore store;
  TkvPDFCatalog catalog;
  TkvPDFTrailer trailer;
  Fixture f;  // borrow its objects' shapes
  std::vector<TkvPDFIndirectObject*> pages;
  for (auto& o : f.store) {
    const bool isPage = o.get() == f.doc.Pages[0];
    TkvPDFIndirectObject* raw = o.get();
    store.AddObject(std::move(o));
    if (isPage) pages.push_back(raw);
  }
  const std::string xmp =
      "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d' bytes='9999'?><x:NPages>40</x:NPages>";
  auto md = std::make_unique<TkvPDFDictObject>();
  md->SetName("/Type", "/Metadata");
  md->SetName("/Subtype", "/XML");
  auto mdObj = std::make_unique<TkvPDFIndirectObject>(kSource, 60, 0,
                                                      Stream(std::move(md), xmp + std::string(50, ' ')));
  mdObj->RefCount = 1;
  store.AddObject(std::move(mdObj));
  catalog.Metadata = RefTo(60);
  catalog.Preferences->SetHideToolbar(true);

  TkvDocumentToWrite doc;
  DescribeDocumentRecords(doc, store, catalog, trailer);
  doc.Pages = pages;
  doc.DocumentID = kSource;
  PatchMetadataPageCount(store, catalog, 1);
  tk::test::ScratchDir dir;
  const std::string name = SaveDocumentToFile(doc, (dir / "records.pdf").string());
  int rc = -1;
  const std::string check = Qpdf({"--check", name}, &rc);
  EXPECT_EQ(rc, 0) << check;
  const std::string pdf = tk::test::ReadFileBytes(name);
  EXPECT_NE(pdf.find("/ViewerPreferences <<\r\n/HideToolbar true\r\n>>"), std::string::npos);
  EXPECT_NE(pdf.find("/Metadata 7 0 R"), std::string::npos);
  const std::string meta = Qpdf({"--show-object=7", "--filtered-stream-data", name});
  EXPECT_NE(meta.find("<x:NPages>1</x:NPages>"), std::string::npos) << meta;
  // The packet size counts the text once its page count is in place.
  const size_t patchedSize = xmp.size() - 1 + 50;
  EXPECT_NE(meta.find("bytes='" + std::to_string(patchedSize) + "'"), std::string::npos) << meta;
}

}  // namespace
