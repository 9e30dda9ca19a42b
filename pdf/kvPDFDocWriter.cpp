#include "pdf/kvPDFDocWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pdf/kvConsts.h"
#include "pdf/kvFilters.h"
#include "pdf/kvPDFResources.h"
#include "platform/rtl/DateTime.h"

namespace pdf {

namespace {

constexpr const char* kCRLF = "\r\n";

std::string Ref(int32_t number) {
  return std::to_string(number) + " 0 R";
}

// Escapes bytes for use between parentheses. Line ends are escaped too: a
// reader turns a raw CR or CR LF inside a string into LF.
std::string EscapeLiteral(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8 + 2);
  for (char c : bytes) {
    switch (c) {
      case '(':
        out += "\\(";
        break;
      case ')':
        out += "\\)";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

const char* PageModeName(TkvPageMode m) {
  switch (m) {
    case pmUseOutlines:
      return "/UseOutlines";
    case pmUseThumbs:
      return "/UseThumbs";
    case pmFullScreen:
      return "/FullScreen";
    default:
      return "/UseNone";
  }
}

const char* PageLayoutName(TkvPageLayout l) {
  switch (l) {
    case plOneColumn:
      return "/OneColumn";
    case plTwoColumnLeft:
      return "/TwoColumnLeft";
    case plTwoColumnRight:
      return "/TwoColumnRight";
    default:
      return "/SinglePage";
  }
}

const char* VersionText(TkvPDFVersion v) {
  static const char* texts[] = {"1.0", "1.1", "1.2", "1.3", "1.4", "1.5"};
  return v <= pvPDF15 ? texts[v] : "1.4";
}

std::string XRefEntry(int64_t offset, int generation, char kind) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.10lld %.5d %c\r\n", static_cast<long long>(offset), generation, kind);
  return buf;
}

}  // namespace

// ---- TkvPDFDocWriter ------------------------------------------------------

TkvPDFDocWriter::TkvPDFDocWriter(TkvDocumentToWrite& document) : doc_(document) {
  IndexObjects();
}
TkvPDFDocWriter::~TkvPDFDocWriter() = default;

void TkvPDFDocWriter::Status(const std::string& text) {
  if (doc_.OnStatusMessage) doc_.OnStatusMessage(text);
}

void TkvPDFDocWriter::Progress(int percentage) {
  if (doc_.OnIOProgress) doc_.OnIOProgress(percentage);
}

bool TkvPDFDocWriter::Encrypting() const {
  return doc_.Encryption && doc_.Encryption->Enabled();
}

// What the file identifier is made of besides the fixed seed: the creation
// date, the time of the save and a digest of what the document holds. The
// identifier is part of every key: documents without a creation date saved
// with the same passwords must not share one.
std::string TkvPDFDocWriter::FileIDSeed() const {
  TkvMD5 content;
  for (const TkvPDFIndirectObject* obj : doc_.Objects) {
    if (!obj || obj->RefCount <= 0 || !obj->Value) continue;
    content.Update(std::to_string(obj->ObjNum) + " ");
    if (obj->Value->IsStream()) {
      const auto& stream = obj->Value->As<TkvPDFStreamObject>();
      if (stream.Dict) content.Update(stream.Dict->ValueText());
      // Bytes not read yet stay unread: the dictionary and the size stand
      // for them.
      if (stream.Data && stream.Data->Size() > 0)
        content.Update(std::string_view(reinterpret_cast<const char*>(stream.Data->Memory()),
                                        static_cast<size_t>(stream.Data->Size())));
    } else {
      content.Update(obj->Value->ValueText());
    }
  }
  if (doc_.Info) content.Update(doc_.Info->ValueText());
  const TkvDigest d = content.Final();
  return doc_.CreationDate + rtl::FloatToStr(rtl::Now()) + StrToHexText(std::string(d.begin(), d.end()));
}

void TkvPDFDocWriter::CreateEncryptor() {
  std::unique_ptr<TkvPDFEncryption> local;
  std::unique_ptr<TkvPDFEncryption>& slot = doc_.Encryptor ? *doc_.Encryptor : local;
  if (!slot) slot = std::make_unique<TkvPDFEncryption>(kFileIDSeed, *doc_.Encryption, FileIDSeed());
  if (!doc_.Encryptor) {
    // No slot to keep it in: the writer holds it for this save.
    ownEncryptor_ = std::move(local);
    encryptor_ = ownEncryptor_.get();
  } else {
    encryptor_ = slot.get();
  }
}

TkvPDFIndirectObject* TkvPDFDocWriter::Resolve(const TkvPDFIndirectReference& ref) const {
  const TkvObjectKey key = KeyOf(ref);
  if (auto it = storeIndex_.find(key); it != storeIndex_.end()) return it->second;
  if (auto it = outlineIndex_.find(key); it != outlineIndex_.end()) return it->second;
  return nullptr;
}

// A value with references followed through the stores (a bounded number of
// steps: a chain of references may loop).
const TkvPDFObject* TkvPDFDocWriter::Direct(const TkvPDFObject* value) const {
  for (int steps = 0; value && steps < 32; ++steps) {
    if (value->IsReference()) {
      const TkvPDFIndirectObject* obj = Resolve(value->As<TkvPDFIndirectReference>());
      value = obj ? obj->Value.get() : nullptr;
    } else if (value->IsIndirectObject()) {
      value = value->As<TkvPDFIndirectObject>().Value.get();
    } else {
      return value;
    }
  }
  return nullptr;
}

void TkvPDFDocWriter::IndexObjects() {
  storeIndex_.clear();
  storeIndex_.reserve(doc_.Objects.size());
  for (TkvPDFIndirectObject* obj : doc_.Objects) {
    if (obj) storeIndex_.emplace(KeyOf(*obj), obj);  // the first of a key wins
  }
}

// ---- outlines ----

std::vector<TkvOutlineItemSource*> TkvPDFDocWriter::KeptSiblings(TkvOutlineItemSource* first) {
  std::vector<TkvOutlineItemSource*> kept;
  std::vector<const TkvOutlineItemSource*> seen;
  for (TkvOutlineItemSource* item = first; item; item = item->NextSibling()) {
    // A sibling chain that comes back on itself ends where it repeats.
    if (std::find(seen.begin(), seen.end(), item) != seen.end()) break;
    seen.push_back(item);
    if (item->Key().ObjNum == 0) {
      const int32_t n = doc_.NextObjectNumber ? doc_.NextObjectNumber() : 0;
      item->SetKey({static_cast<int32_t>(doc_.DocumentID), n, 0});
    }
    const TkvPDFDictObject* d = item->Dictionary();
    const TkvPDFObject* dest = d ? d->Find("/Dest") : nullptr;
    if (dest && dest->IsArray()) {
      const TkvPDFObject* target = dest->As<TkvPDFArrayObject>().GetItem(0);
      if (target && target->IsReference()) {
        auto it = storeIndex_.find(KeyOf(target->As<TkvPDFIndirectReference>()));
        // An item that leads to a page this file does not hold is left out.
        if (it != storeIndex_.end() && it->second->RefCount == 0) continue;
      } else if (target && !target->IsNull()) {
        if (doc_.OnWarning) doc_.OnWarning(SExpectedPageReference);
      }
    }
    kept.push_back(item);
  }
  return kept;
}

TkvObjectKey TkvPDFDocWriter::BuildOutlineItems(TkvOutlineItemSource* first, const TkvObjectKey& parent,
                                                int depth, int& count, TkvObjectKey& firstKey) {
  const std::vector<TkvOutlineItemSource*> kept = KeptSiblings(first);
  count = static_cast<int>(kept.size());
  if (kept.empty()) return {};
  auto refTo = [](const TkvObjectKey& k) {
    return std::make_unique<TkvPDFIndirectReference>(k.SourceID, k.ObjNum, static_cast<uint16_t>(k.GenNum));
  };
  for (size_t i = 0; i < kept.size(); ++i) {
    TkvOutlineItemSource* item = kept[i];
    const TkvObjectKey key = item->Key();
    auto dict = std::make_unique<TkvPDFDictObject>();
    if (const TkvPDFDictObject* src = item->Dictionary()) {
      for (const char* k : {"/Dest", "/Title", "/C", "/F", "/A"}) {
        const TkvPDFObject* v = src->Find(k);
        if (std::strcmp(k, "/C") == 0) v = Direct(v);
        if (v) dict->AddEntry(k, v->Clone());
      }
    }
    dict->AddEntry("/Parent", refTo(parent));
    if (i > 0) dict->AddEntry("/Prev", refTo(kept[i - 1]->Key()));
    if (i + 1 < kept.size()) dict->AddEntry("/Next", refTo(kept[i + 1]->Key()));
    if (item->FirstChild() && depth < kMaxOutlineDepth) {
      int children = 0;
      TkvObjectKey firstChild;
      const TkvObjectKey lastChild =
          BuildOutlineItems(item->FirstChild(), key, depth + 1, children, firstChild);
      if (children > 0) {
        dict->AddEntry("/First", refTo(firstChild));
        dict->AddEntry("/Last", refTo(lastChild));
        dict->AddInteger("/Count", item->Closed() ? -children : children);
      }
    }
    auto obj = std::make_unique<TkvPDFIndirectObject>(
        key.SourceID, key.ObjNum, static_cast<uint16_t>(key.GenNum), std::move(dict), true);
    outlineIndex_.emplace(key, obj.get());
    outlineStore_.push_back(std::move(obj));
  }
  firstKey = kept.front()->Key();
  return kept.back()->Key();
}

void TkvPDFDocWriter::BuildOutlines() {
  TkvOutlineItemSource* root = doc_.Outlines;
  if (!root) return;
  if (root->Key().ObjNum == 0) {
    const int32_t n = doc_.NextObjectNumber ? doc_.NextObjectNumber() : 0;
    root->SetKey({static_cast<int32_t>(doc_.DocumentID), n, 0});
  }
  const TkvObjectKey rootKey = root->Key();
  auto dict = std::make_unique<TkvPDFDictObject>();
  int count = 0;
  if (root->FirstChild()) {
    TkvObjectKey first;
    const TkvObjectKey last = BuildOutlineItems(root->FirstChild(), rootKey, 1, count, first);
    if (count > 0) {
      dict->AddEntry("/First", std::make_unique<TkvPDFIndirectReference>(
                                   first.SourceID, first.ObjNum, static_cast<uint16_t>(first.GenNum)));
      dict->AddEntry("/Last", std::make_unique<TkvPDFIndirectReference>(last.SourceID, last.ObjNum,
                                                                        static_cast<uint16_t>(last.GenNum)));
    }
  }
  dict->AddInteger("/Count", count);
  auto obj = std::make_unique<TkvPDFIndirectObject>(
      rootKey.SourceID, rootKey.ObjNum, static_cast<uint16_t>(rootKey.GenNum), std::move(dict), true);
  outlinesRoot_ = MakeReference(*obj);
  outlineIndex_.emplace(rootKey, obj.get());
  outlineStore_.push_back(std::move(obj));
}

// ---- serialization ----

std::string TkvPDFDocWriter::SerializeString(const TkvPDFStringObject& s, int32_t objectNumber) {
  if (Encrypting() && objectNumber != -1) {
    if (!encryptor_) CreateEncryptor();
    // The exact bytes of the string are encrypted, whatever they hold.
    const std::string bytes = s.IsHex ? HexTextToString(s.Content()) : s.Content();
    return "(" + EscapeLiteral(encryptor_->EncryptString(bytes, objectNumber, 0)) + ")";
  }
  if (s.IsHex) return "<" + s.Content() + ">";
  return "(" + EscapeLiteral(s.Content()) + ")";
}

std::string TkvPDFDocWriter::StreamDataForWriting(TkvPDFDictObject& dict, std::string data) {
  const TkvDirectResolver direct = [this](const TkvPDFObject* o) { return Direct(o); };
  data = CompressStreamData(dict, std::move(data), doc_.Compression, direct);
  return ASCIIEncodeStreamData(dict, std::move(data), doc_.AsciiEncode, direct);
}

std::string TkvPDFDocWriter::SerializeStream(const TkvPDFStreamObject& s, int32_t objectNumber) {
  std::string head, data;
  SerializeStreamParts(s, objectNumber, head, data);
  head.reserve(head.size() + data.size() + 11);
  head += data;
  head += "\r\nendstream";
  return head;
}

void TkvPDFDocWriter::SerializeStreamParts(const TkvPDFStreamObject& s, int32_t objectNumber,
                                           std::string& text, std::string& data) {
  auto dict = s.Dict ? CloneAs(*s.Dict) : std::make_unique<TkvPDFDictObject>();
  data = StreamDataForWriting(*dict, s.StoredBytes());
  // /Length is always the count of bytes that follow, as a direct number:
  // a /Length read as a reference may name an object this file leaves out.
  if (data.size() <= static_cast<size_t>(INT32_MAX))
    dict->SetInteger("/Length", static_cast<int32_t>(data.size()));
  else
    dict->SetValue("/Length", std::make_unique<TkvPDFInt64Object>(static_cast<int64_t>(data.size())));
  text = SerializeObject(dict.get(), objectNumber);
  if (Encrypting() && objectNumber != -1) {
    if (!encryptor_) CreateEncryptor();
    data = encryptor_->EncryptString(data, objectNumber, 0);
  }
  text += "\r\nstream\r\n";
}

std::string TkvPDFDocWriter::SerializeObject(const TkvPDFObject* value, int32_t objectNumber) {
  if (!value) return {};
  switch (value->ObjectType) {
    case otBoolean:
    case otInteger:
    case otInt64:
    case otReal:
      return value->ValueText();
    case otString:
      return SerializeString(value->As<TkvPDFStringObject>(), objectNumber);
    case otName:
      return value->As<TkvPDFNameObject>().Text;
    case otArray: {
      const auto& a = value->As<TkvPDFArrayObject>();
      std::string t = "[ ";
      for (int i = 0; i < a.Count(); ++i) {
        t += SerializeObject(a.GetItem(i), objectNumber);
        t += ' ';
      }
      t += ']';
      return t;
    }
    case otDict: {
      const auto& d = value->As<TkvPDFDictObject>();
      const TkvPDFObject* type = d.Find("/Type");
      const bool isPage = type && type->IsName() && type->As<TkvPDFNameObject>().Text == "/Page";
      std::string t = "<<\r\n";
      for (int i = 0; i < d.Count(); ++i) {
        const std::string& key = d.KeyAt(i)->Text;
        // A page hangs under the one page-tree node this writer makes.
        if (isPage && key == "/Parent") continue;
        t += key;
        t += ' ';
        t += SerializeObject(d.ValueAt(i), objectNumber);
        t += kCRLF;
      }
      if (isPage) t += "/Parent " + Ref(3) + kCRLF;
      t += ">>";
      return t;
    }
    case otStream:
      return SerializeStream(value->As<TkvPDFStreamObject>(), objectNumber);
    case otNull:
      return "null";
    case otIndirectReference: {
      const TkvPDFIndirectObject* target = Resolve(value->As<TkvPDFIndirectReference>());
      return target && target->OutputObjNum != 0 ? Ref(target->OutputObjNum) : "null";
    }
    case otIndirectObject: {
      // Written in its own place in the file; here it can only be named.
      const auto& obj = value->As<TkvPDFIndirectObject>();
      return obj.OutputObjNum != 0 ? Ref(obj.OutputObjNum) : "null";
    }
  }
  return {};
}

// ---- writing ----

void TkvPDFDocWriter::WriteText(const std::string& text) {
  output_->WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  written_ += static_cast<int64_t>(text.size());
}

void TkvPDFDocWriter::WriteObjectText(int32_t number, const std::string& body, const std::string* data) {
  // The cross-reference table lists offsets in writing order, so objects
  // must be written in the order of their numbers.
  if (number != static_cast<int32_t>(objectOffsets_.size()) + 1) throw EUnexpectedError(SUnexpectedError);
  objectOffsets_.push_back(written_);
  // The parts go out as they are: a stream's data can be the size of a page
  // image, and a copy of it in one string with its frame costs more than a
  // few writes into the buffered output.
  WriteText(kCRLF + std::to_string(number) + " 0 obj\r\n");
  WriteText(body);
  if (data) {
    WriteText(*data);
    WriteText("\r\nendstream");
  }
  WriteText("\r\nendobj\r\n");
}

void TkvPDFDocWriter::WriteIndirectObject(TkvPDFIndirectObject& obj) {
  if (obj.Value && obj.Value->IsStream()) {
    std::string head, data;
    SerializeStreamParts(obj.Value->As<TkvPDFStreamObject>(), obj.OutputObjNum, head, data);
    WriteObjectText(obj.OutputObjNum, head, &data);
    return;
  }
  WriteObjectText(obj.OutputObjNum, SerializeObject(obj.Value.get(), obj.OutputObjNum));
}

void TkvPDFDocWriter::WriteHeader() {
  WriteText(std::string("%PDF-") + VersionText(doc_.PDFVersion) + "\r\n%\xE2\xE3\xCF\xD3\r\n");
}

void TkvPDFDocWriter::WriteCatalogAndInfo() {
  std::string body = "<<\r\n/Type /Catalog\r\n/Pages " + Ref(3) + kCRLF;
  auto entry = [&](const char* key, const std::string& text) {
    // No value, or one that names nothing written, leaves the entry out.
    if (text.empty() || text == "null") return;
    body += key;
    body += ' ';
    body += text;
    body += kCRLF;
  };
  entry("/Metadata", SerializeObject(doc_.Metadata, 1));
  if (doc_.PageMode != pmNone) entry("/PageMode", PageModeName(doc_.PageMode));
  if (doc_.PageLayout != plNone) entry("/PageLayout", PageLayoutName(doc_.PageLayout));
  entry("/Names", SerializeObject(doc_.Names, 1));
  entry("/Outlines", SerializeObject(outlinesRoot_ ? outlinesRoot_.get() : doc_.OutlinesRef, 1));
  entry("/ViewerPreferences", doc_.ViewerPreferencesText);
  entry("/AcroForm", SerializeObject(doc_.AcroForm, 1));
  entry("/OpenAction", SerializeObject(doc_.OpenAction, 1));
  entry("/AA", SerializeObject(doc_.AA, 1));
  entry("/OCProperties", SerializeObject(doc_.OCProperties, 1));
  body += ">>";
  WriteObjectText(1, body);

  TkvPDFDictObject emptyInfo;
  TkvPDFDictObject* info = doc_.Info ? doc_.Info : &emptyInfo;
  info->SetValue("/Producer", std::make_unique<TkvPDFStringObject>(std::string("(") + kProducerText + ")"));
  WriteObjectText(2, SerializeObject(info, 2));

  WritePages();
}

void TkvPDFDocWriter::WritePages() {
  Status("Writing Pages");
  std::string kids = "[ ";
  int count = 0;
  for (const TkvPDFIndirectObject* page : doc_.Pages) {
    // A page that is not written cannot be a kid.
    if (!page || page->OutputObjNum == 0) continue;
    kids += Ref(page->OutputObjNum) + " ";
    ++count;
  }
  kids += "]";
  WriteObjectText(3,
                  "<<\r\n/Type /Pages\r\n/Count " + std::to_string(count) + "\r\n/Kids " + kids + "\r\n>>");

  const size_t total = doc_.Objects.size() + outlineStore_.size();
  size_t passed = 0;
  auto step = [&] {
    ++passed;
    Progress(static_cast<int>(passed * 100 / total));
  };
  for (TkvPDFIndirectObject* obj : doc_.Objects) {
    if (obj && obj->RefCount > 0) WriteIndirectObject(*obj);
    step();
  }
  for (auto& obj : outlineStore_) {
    if (obj->RefCount > 0) WriteIndirectObject(*obj);
    step();
  }
}

std::string TkvPDFDocWriter::BuildEncryptDictionary() const {
  const bool r2 = encryptor_->Level() == el40bit;
  std::string d = "<<\r\n/Filter /Standard\r\n";
  d += "/O <" + StrToHexText(encryptor_->GetOwnerKey()) + ">\r\n";
  d += "/U <" + StrToHexText(encryptor_->GetUserKey()) + ">\r\n";
  d += "/P " + std::to_string(encryptor_->PermissionFlags()) + kCRLF;
  d += r2 ? "/V 1\r\n/R 2\r\n" : "/V 2\r\n/R 3\r\n";
  d += "/Length " + std::to_string(encryptor_->KeyLength() * 8) + "\r\n>>";
  return d;
}

void TkvPDFDocWriter::WriteXRefAndTrailer() {
  int32_t encryptNum = 0;
  std::unique_ptr<TkvPDFArrayObject> localID;
  std::unique_ptr<TkvPDFArrayObject>& id = doc_.TrailerID ? *doc_.TrailerID : localID;
  if (Encrypting()) {
    if (!encryptor_) CreateEncryptor();
    const std::string d = BuildEncryptDictionary();
    // The identifier is part of the key: the trailer must carry this one.
    const std::string hex = "<" + StrToHexText(encryptor_->GetFileID()) + ">";
    id = std::make_unique<TkvPDFArrayObject>();
    id->Add(std::make_unique<TkvPDFStringObject>(hex, true));
    id->Add(std::make_unique<TkvPDFStringObject>(hex, true));
    encryptNum = NextWriteNumber();
    WriteObjectText(encryptNum, d);
  }
  const int64_t xrefPos = written_;
  const size_t n = objectOffsets_.size();
  std::string t = "xref\r\n0 " + std::to_string(n + 1) + kCRLF;
  t.reserve(t.size() + (n + 1) * 20 + 256);
  t += XRefEntry(0, 65535, 'f');
  for (int64_t off : objectOffsets_) t += XRefEntry(off, 0, 'n');
  t += "trailer\r\n<<\r\n/Size " + std::to_string(n + 1) + "\r\n/Root " + Ref(1) + "\r\n/Info " + Ref(2) +
       kCRLF;
  if (id) t += "/ID " + SerializeObject(id.get(), -1) + kCRLF;
  if (encryptNum) t += "/Encrypt " + Ref(encryptNum) + kCRLF;
  t += ">>\r\nstartxref\r\n" + std::to_string(xrefPos) + "\r\n%%EOF\r\n";
  WriteText(t);
}

void TkvPDFDocWriter::WriteDocument(rtl::TStream& output) {
  output_ = &output;
  written_ = 0;
  objectOffsets_.clear();
  outlineStore_.clear();
  outlineIndex_.clear();
  outlinesRoot_.reset();
  writeObjectCounter_ = 3;

  if (Encrypting()) CreateEncryptor();
  IndexObjects();
  Status("Building Outlines...");
  BuildOutlines();
  Status("Building Objects...");
  for (TkvPDFIndirectObject* obj : doc_.Objects) {
    // Numbers of an earlier save must not survive on objects left out now.
    if (obj) obj->OutputObjNum = obj->RefCount > 0 ? NextWriteNumber() : 0;
  }
  for (auto& obj : outlineStore_) obj->OutputObjNum = obj->RefCount > 0 ? NextWriteNumber() : 0;

  WriteHeader();
  WriteCatalogAndInfo();
  Status("Writing Cross-Reference Table");
  WriteXRefAndTrailer();
  output_ = nullptr;
}

// ---- saving ----

std::string PDFSaveFileName(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    std::string ext = fileName.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".pdf") return fileName;
  }
  return fileName + ".pdf";
}

namespace {

// Gathers the writer's many small pieces into few large writes on a file
// descriptor it does not own.
class TBufferedFileOutput : public rtl::TStream {
 public:
  explicit TBufferedFileOutput(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }

  int64_t Read(void*, int64_t) override { throw rtl::EReadError(rtl::SReadError); }

  int64_t Write(const void* buffer, int64_t count) override {
    if (count <= 0) return 0;
    const auto n = static_cast<size_t>(count);
    if (buffer_.size() + n > kBufferSize) Flush();
    if (n >= kBufferSize) {
      WriteAll(static_cast<const char*>(buffer), n);
    } else {
      buffer_.append(static_cast<const char*>(buffer), n);
    }
    position_ += count;
    return count;
  }

  // Only the position can be asked for: the output is written strictly
  // forward.
  int64_t Seek(int64_t offset, rtl::TSeekOrigin origin) override {
    if (offset != 0 || origin != rtl::soCurrent) throw rtl::EWriteError(rtl::SWriteError);
    return position_;
  }

  void Flush() {
    WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  static constexpr size_t kBufferSize = 64 * 1024;

  void WriteAll(const char* p, size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) throw rtl::EWriteError(rtl::SWriteError);
      p += w;
      n -= static_cast<size_t>(w);
    }
  }

  int fd_;
  std::string buffer_;
  int64_t position_ = 0;
};

// Closes the descriptor on every path.
class TFileDescriptor {
 public:
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;
  int Get() const { return fd_; }
  // Closes now, so that an error of the close itself is seen.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

[[noreturn]] void RaiseCreateError(const std::string& name) {
  throw rtl::EFCreateError(rtl::Format(rtl::SFCreateError, {name, std::strerror(errno)}));
}

void SyncAndClose(TFileDescriptor& fd) {
  if (::fsync(fd.Get()) != 0 || !fd.Close()) throw rtl::EWriteError(rtl::SWriteError);
}

// Moves the complete temporary file onto the target. A file that is being
// replaced must have its bytes on disk before the rename, or a power loss
// could leave an empty file where a good one was. A new name replaces
// nothing, so nothing can be lost and the flush is skipped; the rename then
// refuses to replace a file that appeared meanwhile, which takes the durable
// way instead. A file system without that refusal takes the durable way
// too.
void MoveIntoPlace(TFileDescriptor& fd, const std::string& temp, const std::string& name, bool replacing) {
  if (replacing) {
    SyncAndClose(fd);
  } else {
    if (!fd.Close()) throw rtl::EWriteError(rtl::SWriteError);
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno != EEXIST && errno != EINVAL && errno != ENOSYS) RaiseCreateError(name);
    TFileDescriptor again(::open(temp.c_str(), O_RDONLY | O_CLOEXEC));
    if (again.Get() < 0) RaiseCreateError(name);
    SyncAndClose(again);
  }
  if (::rename(temp.c_str(), name.c_str()) != 0) RaiseCreateError(name);
}

}  // namespace

std::string SaveDocumentToFile(TkvDocumentToWrite& document, const std::string& fileName) {
  const std::string name = PDFSaveFileName(fileName);
  if (document.OnStatusMessage) document.OnStatusMessage("Saving File " + name);
  std::string temp = name + ".XXXXXX";
  TFileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (fd.Get() < 0) RaiseCreateError(name);
  // The new file takes the mode an ordinary new file would have, or the
  // mode of the file it replaces.
  struct stat st {};
  const bool replacing = ::stat(name.c_str(), &st) == 0;
  mode_t mode;
  if (replacing) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd.Get(), mode);
  try {
    {
      TBufferedFileOutput file(fd.Get());
      TkvWriteOnlyFilter output(&file);
      TkvPDFDocWriter writer(document);
      writer.WriteDocument(output);
      file.Flush();
    }
    MoveIntoPlace(fd, temp, name, replacing);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  if (document.OnWritten) document.OnWritten(name);
  if (document.OnStatusMessage) document.OnStatusMessage("Save Complete");
  return name;
}

void PatchMetadataPageCount(TkvPDFStreamObject& metadata, int32_t pageCount) {
  // Filtered packets would need decoding and encoding again; they are
  // rare enough to leave as they are rather than risk damaging them.
  if (metadata.Dict && metadata.Dict->Find("/Filter")) return;
  if (!metadata.LoadData() || metadata.Data->Size() == 0) return;
  std::string text = metadata.Data->DataString();
  const size_t at = text.find("NPages");
  if (at == std::string::npos) return;
  const std::string count = std::to_string(pageCount);
  const size_t q = at + 6;
  if (q < text.size() && text[q] == '>') {
    const size_t end = text.find('<', q + 1);
    if (end != std::string::npos) text.replace(q + 1, end - q - 1, count);
  } else if (q + 1 < text.size() && text[q] == '=' && (text[q + 1] == '\'' || text[q + 1] == '"')) {
    const size_t end = text.find(text[q + 1], q + 2);
    if (end != std::string::npos) text.replace(q + 2, end - q - 2, count);
  }
  const size_t b = text.find("bytes='");
  if (b != std::string::npos) {
    const size_t end = text.find('\'', b + 7);
    if (end != std::string::npos) text.replace(b + 7, end - b - 7, std::to_string(text.size()));
  }
  metadata.Data->Clear();
  metadata.Data->WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
  metadata.Data->SetPosition(0);
  if (!metadata.Dict) metadata.Dict = std::make_unique<TkvPDFDictObject>();
  metadata.Dict->SetInteger("/Length", static_cast<int32_t>(text.size()));
}

void PatchMetadataPageCount(const TkvPDFObjectStore& store, const TkvPDFCatalog& catalog, int32_t pageCount) {
  if (!catalog.Metadata) return;
  TkvPDFStreamObject* stream = nullptr;
  try {
    stream = store.FetchStream(catalog.Metadata.get());
  } catch (const kvPDFUtils::EUnexpectedObjectError&) {
    return;  // metadata that is not a stream has no packet to patch
  }
  if (stream) PatchMetadataPageCount(*stream, pageCount);
}

void DescribeDocumentRecords(TkvDocumentToWrite& document, TkvPDFObjectStore& store,
                             const TkvPDFCatalog& catalog, TkvPDFTrailer& trailer) {
  document.Objects.clear();
  document.Objects.reserve(static_cast<size_t>(store.ObjectCount()));
  for (int i = 0; i < store.ObjectCount(); ++i) document.Objects.push_back(store.ObjectAt(i));
  document.NextObjectNumber = [&store] { return store.NextObjectNumber(); };
  document.Metadata = catalog.Metadata.get();
  document.Names = catalog.Names.get();
  document.OutlinesRef = catalog.OutlinesRef.get();
  document.AcroForm = catalog.AcroForm.get();
  document.OpenAction = catalog.OpenAction.get();
  document.AA = catalog.AA.get();
  document.OCProperties = catalog.OCProperties.get();
  document.ViewerPreferencesText =
      catalog.Preferences ? catalog.Preferences->ViewerPreferencesText() : std::string();
  document.TrailerID = &trailer.FileID;
}

}  // namespace pdf
