// Document reading: the open step (header, cross-reference sections,
// trailer, encryption dictionary), the password check and the reading of
// catalog, page tree, destinations, annotations, form fields, name tree and
// outlines into the document's object store.
//
// Every structure of the file that can refer to itself (/Prev chains, page
// tree, outline chains, name trees, field trees, reference chains) is walked
// with a visited set and a depth bound, and every offset and count read from
// the file is checked against the data before it is used.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFInfo.h"
#include "pdf/kvPDFObjects.h"
#include "pdf/kvPDFPageOps.h"
#include "pdf/kvPDFParsers.h"
#include "pdf/kvPDFTypes.h"
#include "pdf/kvPDFUtils.h"

namespace pdf {

namespace {

constexpr const char* SReadingXRef = "Reading Cross-Reference Table";
constexpr const char* SReadComplete = "Document read complete. Pages read = %d";
constexpr const char* STraversingPages = "Traversing Pages...";
constexpr const char* SProcessingDests = "Processing Destinations";
constexpr const char* SProcessingAnnots = "Processing Annotations...";
constexpr const char* SAcroFormsProcessed = "AcroForms Processed";
constexpr const char* SProcessingNames = "Processing Name Tree...";
constexpr const char* SReadingOutlines = "Reading Outlines...";
constexpr const char* SStreamInArray = "Stream Object found inside Array!";
constexpr const char* SInvalidObjectNumber = "Invalid Object number in PDF (%d)";
// Messages of the faults this reader refuses where the file gives no usable
// answer.
constexpr const char* SNoRoot = "Error reading document: the trailer has no /Root entry";
constexpr const char* SMissingObject = "Error reading document: object %d is missing";
constexpr const char* SXRefStream =
    "Error reading cross-reference table: cross-reference streams (PDF 1.5) are not supported";
constexpr const char* SXRefMisplaced =
    "Error reading cross-reference table: the file is damaged (no table where its startxref points)";
constexpr const char* SXRefLoop = "Error reading cross-reference table: the /Prev chain loops";
constexpr const char* SXRefTableAt = "Error reading cross-reference table at offset %d: %s";
constexpr const char* SXRefPrev =
    "Error reading cross-reference table: the /Prev of the trailer is not an offset";
// The format's limit on object numbers: a subsection beyond it is damage,
// and the table never grows past it.
constexpr int64_t kMaxObjectNumber = 8388607;
constexpr const char* STreeLoop = "Error reading document: the %s refers to itself";
constexpr const char* STreeDepth = "Error reading document: the %s is nested too deeply";
constexpr const char* SPageNodeNotDict = "Error reading document: page tree node %d is not a dictionary";
constexpr const char* SPageNodeNoType = "Error reading document: page tree node %d has no /Type";
constexpr const char* SPageNodeType = "Error reading document: page tree node %d has the /Type %s";
constexpr const char* SPageKidNotReference =
    "Error reading document: page tree node %d has a kid that is no reference";
constexpr const char* SCatalogEntry =
    "Error reading document: the catalog's %s is neither a reference nor a dictionary";
constexpr const char* SNoPages = "Error reading document: the catalog has no /Pages";
constexpr const char* SNoCatalog = "Error reading document: the /Root object %d is not a dictionary";
constexpr const char* SNoObjectHere = "Unexpected PDF object encountered: no object header at the offset";
constexpr const char* SObjectContext = " (object %d at offset %d)";
constexpr const char* STrailerContext = " (the trailer of the cross-reference table at offset %d)";
constexpr const char* SXRefContext = " (cross-reference table at offset %d)";
constexpr const char* SOutlineLink = "Error reading document: the %s of outline item %d is no reference";
constexpr const char* SOutlineAction = "Error reading document: the /A of outline item %d is no dictionary";
constexpr const char* SBadDestination =
    "Error reading document: a destination is neither a name, a string nor an array";
constexpr const char* SBadLength = "Error reading PDF stream: invalid /Length in object %d";
constexpr const char* SCopiesTooLarge =
    "Error reading document: its shared objects are copied too often to load";
constexpr const char* SEncryptTooLarge = "Error reading document: the encryption dictionary is too large";
constexpr const char* SSourceChanged =
    "Error reading PDF stream: the file %s has changed since it was loaded";
// Values of the encryption dictionary with its references replaced. The
// standard handler's dictionary has about ten; the bound stops a small file
// whose references fan out level after level from expanding into billions.
constexpr int kMaxEncryptValues = 4096;

// A value of the wrong kind: the design's message, and what it was.
[[noreturn]] void RaiseUnexpectedObject(const std::string& what) {
  throw kvCstPDFDoc::EUnexpectedObjectError(std::string(SUnexpectedObject) + ": " + what);
}
[[noreturn]] void RaiseNotA(const std::string& what, const char* kind) {
  RaiseUnexpectedObject(what + " is not " + kind);
}

template <typename T>
constexpr const char* KindName() {
  if constexpr (std::is_same_v<T, TkvPDFArrayObject>)
    return "an array";
  else
    return "a dictionary";
}
[[noreturn]] void RaiseUnexpectedError() {
  throw EUnexpectedError(SUnexpectedError);
}

// A named destination whose value is none of the kinds a destination has.
std::string BadDestination(const std::string& name) {
  return std::string(SUnexpectedPDFObject) + ": the destination " + MessageExcerpt(name) +
         " is neither an array nor a dictionary with /D";
}

bool IsDigit(int c) {
  return c >= '0' && c <= '9';
}

// A value that stands for "absent": nothing, or the null object.
bool Absent(const TkvPDFObject* v) {
  return v == nullptr || v->IsNull();
}

// The file a document was loaded from, open for reading the stream bodies
// left in it. A body is read only as the file was when it was loaded: a file
// changed in place (its size or modification time differ) raises EReadError
// rather than hand out other bytes. A file replaced by renaming another over
// its name (as the writer saves) is still read from the open original.
class TkvFileDataSource : public TkvStoredDataSource {
 public:
  explicit TkvFileDataSource(const std::string& name) : file_(name, rtl::fmOpenRead | rtl::fmShareDenyWrite) {
    if (::fstat(file_.Handle(), &loaded_) != 0) RaiseChanged();
  }
  rtl::TFileStream& File() { return file_; }

  std::string ReadAt(int64_t offset, int64_t count) override {
    struct stat now {};
    if (::fstat(file_.Handle(), &now) != 0 || now.st_size != loaded_.st_size ||
        now.st_mtim.tv_sec != loaded_.st_mtim.tv_sec || now.st_mtim.tv_nsec != loaded_.st_mtim.tv_nsec ||
        offset < 0 || count < 0 || count > now.st_size - offset)
      RaiseChanged();
    std::string bytes(static_cast<size_t>(count), '\0');
    int64_t got = 0;
    while (got < count) {
      const ssize_t r =
          ::pread(file_.Handle(), bytes.data() + got, static_cast<size_t>(count - got), offset + got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) RaiseChanged();
      got += r;
    }
    return bytes;
  }

 private:
  [[noreturn]] void RaiseChanged() const {
    throw EReadError(rtl::Format(SSourceChanged, {file_.FileName()}));
  }

  rtl::TFileStream file_;
  struct stat loaded_ {};
};

// Drops the document's reader when the reading it served ends, however it
// ends.
struct ReaderRelease {
  TkvCustomPDFDocument& doc;
  ~ReaderRelease() { doc.Reader.reset(); }
};

// What a tree walk that goes deeper than the bound raises.
auto TooDeep(const char* what) {
  return [what] { throw EPDFException(rtl::Format(STreeDepth, {what})); };
}

}  // namespace

// ---------------------------------------------------------------------------
// The reading pass over one open document. Holds the walk state (visited
// sets, depths) so that nothing of it outlives the pass.
class TkvDocumentReader {
 public:
  explicit TkvDocumentReader(TkvCustomPDFDocument& doc) : d(doc) {}

  // --- object access ---
  // The table's entry of the number: nullptr for a number that no
  // subsection lists, or one beyond the table (a reference to it is null).
  const TkvXRefItem* EntryOf(int32_t objNum) const {
    if (objNum < 0 || static_cast<size_t>(objNum) >= d.XRefTable.size()) return nullptr;
    return d.XRefTable[static_cast<size_t>(objNum)].get();
  }

  // The offset of the object; 0 for a free one (an "f" entry's first field
  // is the next free number, not an offset).
  int32_t OffsetOf(int32_t objNum) const {
    const TkvXRefItem* item = EntryOf(objNum);
    return item && item->Kind == 'n' ? item->Offset : 0;
  }

  // The object of that number read from the file; nullptr for a free entry
  // (offset 0).
  std::unique_ptr<TkvPDFIndirectObject> ReadObjectNumber(int32_t objNum) {
    const int32_t offset = OffsetOf(objNum);
    if (offset == 0) return nullptr;
    if (offset < 0 || offset >= d.Reader->SourceSize)
      throw EPDFException(rtl::Format(SMissingObject, {objNum}));
    d.Reader->SetPosition(offset);
    try {
      return d.ReadIndirectObjectAt();
    } catch (rtl::Exception& e) {
      // The syntax reader knows the bytes, not the object they belong to:
      // the innermost object read names it, once.
      if (e.Message.find(" (object ") == std::string::npos)
        e.Message += rtl::Format(SObjectContext, {objNum, offset});
      throw;
    }
  }

  // An object the document needs: a missing one raises a clear error.
  std::unique_ptr<TkvPDFIndirectObject> ReadRequired(int32_t objNum) {
    auto obj = ReadObjectNumber(objNum);
    if (!obj) throw EPDFException(rtl::Format(SMissingObject, {objNum}));
    return obj;
  }

  // Follows references to a value of the wanted kind, reading the objects
  // from the file; `keep` receives the objects read so that the returned
  // pointer stays valid.
  TkvPDFObject* Follow(TkvPDFObject* v, std::vector<std::unique_ptr<TkvPDFIndirectObject>>& keep) {
    std::unordered_set<int32_t> seen;
    while (v && v->IsReference()) {
      auto& ref = v->As<TkvPDFIndirectReference>();
      if (!seen.insert(ref.ObjNum).second) throw EPDFException(rtl::Format(STreeLoop, {"reference chain"}));
      if (TkvPDFIndirectObject* stored = d.ObjectStore->FindObject(ref)) {
        v = stored->Value.get();
        continue;
      }
      auto obj = ReadObjectNumber(ref.ObjNum);
      if (!obj) return nullptr;
      v = obj->Value.get();
      keep.push_back(std::move(obj));
    }
    return v;
  }

  // ResolveArray / ResolveDictionary: the value itself, or the referenced
  // object's value (from the store, or read; with `store` the object read is
  // counted and kept in the store). Null gives nullptr. `what` names the
  // value in the error a value of another kind raises.
  template <typename T>
  std::unique_ptr<T> ResolveCopy(TkvPDFObject* v, bool store, const std::string& what) {
    if (Absent(v)) return nullptr;
    if (auto* direct = dynamic_cast<T*>(v)) return CloneAs(*direct);
    if (!v->IsReference()) RaiseNotA(what, KindName<T>());
    auto& ref = v->As<TkvPDFIndirectReference>();
    std::vector<std::unique_ptr<TkvPDFIndirectObject>> keep;
    if (TkvPDFIndirectObject* stored = d.ObjectStore->FindObject(ref)) {
      TkvPDFObject* target = Follow(stored->Value.get(), keep);
      if (Absent(target)) return nullptr;
      if (auto* t = dynamic_cast<T*>(target)) return CloneAs(*t);
      RaiseNotA(what, KindName<T>());
    }
    auto obj = ReadObjectNumber(ref.ObjNum);
    if (!obj || Absent(obj->Value.get())) return nullptr;
    TkvPDFObject* target = obj->Value.get();
    if (target->IsReference()) target = Follow(target, keep);
    if (Absent(target)) return nullptr;
    auto* t = dynamic_cast<T*>(target);
    if (!t) RaiseNotA(what, KindName<T>());
    auto copy = CloneAs(*t);
    if (store && target == obj->Value.get()) {
      obj->AddRef();
      d.ObjectStore->AddObject(std::move(obj));
    }
    return copy;
  }

  // ResolveString / ResolveName / LoadReferencedValue: a copy of the value,
  // references followed (always read from the store or the file).
  std::unique_ptr<TkvPDFObject> LoadReferencedValue(TkvPDFObject* v) {
    if (!v) return nullptr;
    std::vector<std::unique_ptr<TkvPDFIndirectObject>> keep;
    TkvPDFObject* t = Follow(v, keep);
    return t ? t->Clone() : nullptr;
  }
  std::unique_ptr<TkvPDFStringObject> ResolveString(TkvPDFObject* v, const std::string& what) {
    auto c = LoadReferencedValue(v);
    if (!c || c->IsNull()) return nullptr;
    if (!c->IsString()) RaiseNotA(what, "a string");
    return std::unique_ptr<TkvPDFStringObject>(static_cast<TkvPDFStringObject*>(c.release()));
  }
  std::unique_ptr<TkvPDFNameObject> ResolveName(TkvPDFObject* v, const std::string& what) {
    auto c = LoadReferencedValue(v);
    if (!c || c->IsNull()) return nullptr;
    if (!c->IsName()) RaiseNotA(what, "a name");
    return std::unique_ptr<TkvPDFNameObject>(static_cast<TkvPDFNameObject*>(c.release()));
  }

  // A typed lookup in the store; a value of the wrong kind names itself.
  template <typename F>
  static auto Fetched(const std::string& what, F fetch) {
    try {
      return fetch();
    } catch (const kvPDFUtils::EUnexpectedObjectError&) {
      RaiseUnexpectedObject(what + " is of the wrong kind");
    }
  }

  // --- copies ---
  // Several pages, names, outline items or links may each receive their own
  // copy of one value that the file states once. What they receive is
  // bounded by a multiple of the file's size, so that a small file cannot
  // multiply into gigabytes.
  static constexpr int64_t kCopyFactor = 16;
  static constexpr int64_t kCopyAllowance = int64_t{64} << 20;
  // A value's cost as a copy: a few words per object and its text.
  static int64_t CopyWeight(const TkvPDFObject& v, int depth = 0) {
    int64_t w = 16;
    if (depth > kMaxValueDepth) return w;
    switch (v.ObjectType) {
      case otString:
        return w + static_cast<int64_t>(v.As<TkvPDFStringObject>().Text.size());
      case otName:
        return w + static_cast<int64_t>(v.As<TkvPDFNameObject>().Text.size());
      case otArray: {
        const auto& a = v.As<TkvPDFArrayObject>();
        for (int i = 0; i < a.Count(); ++i) w += CopyWeight(*a.GetItem(i), depth + 1);
        return w;
      }
      case otDict: {
        const auto& dict = v.As<TkvPDFDictObject>();
        for (int i = 0; i < dict.Count(); ++i) w += CopyWeight(*dict.ValueAt(i), depth + 1) + 16;
        return w;
      }
      case otStream: {
        const auto& st = v.As<TkvPDFStreamObject>();
        if (st.Dict) w += CopyWeight(*st.Dict, depth + 1);
        w += st.StoredSize();
        return w;
      }
      case otIndirectObject: {
        const auto& io = v.As<TkvPDFIndirectObject>();
        return io.Value ? w + CopyWeight(*io.Value, depth + 1) : w;
      }
      default:
        return w;
    }
  }
  void CountCopy(const TkvPDFObject& v) {
    copied_ += CopyWeight(v);
    const int64_t source = d.Reader ? d.Reader->SourceSize : 0;
    if (copied_ > kCopyFactor * source + kCopyAllowance) throw EPDFException(SCopiesTooLarge);
  }

  // --- collecting ---
  // Collects what a value references. Objects newly read are queued and
  // walked by CollectPending, so long reference chains cost no stack.
  void CollectValue(TkvPDFObject* v, int depth = 0) {
    if (!v) return;
    if (depth > kMaxValueDepth) throw EPDFException(rtl::Format(STreeDepth, {"object"}));
    switch (v->ObjectType) {
      case otArray: {
        auto& a = v->As<TkvPDFArrayObject>();
        for (int i = 0; i < a.Count(); ++i) {
          TkvPDFObject* item = a.GetItem(i);
          if (item->IsArray() || item->IsDict())
            CollectValue(item, depth + 1);
          else if (item->IsReference())
            CollectReference(item->As<TkvPDFIndirectReference>());
          else if (item->IsStream())
            d.Warning(SStreamInArray);
        }
        break;
      }
      case otDict: {
        auto& dict = v->As<TkvPDFDictObject>();
        for (int i = 0; i < dict.Count(); ++i) {
          TkvPDFObject* value = dict.ValueAt(i);
          const std::string& key = dict.KeyAt(i)->Text;
          if ((value->IsString() || value->IsName()) && (key == "/Dest" || key == "/D")) {
            const std::string name = value->IsString() ? value->As<TkvPDFStringObject>().Content()
                                                       : value->As<TkvPDFNameObject>().BareName();
            if (auto found = d.FindNamedDestination(name)) {
              CountCopy(*found);
              dict.PutValueAt(i, std::move(found));
            }
          } else if (value->IsArray() || value->IsDict()) {
            CollectValue(value, depth + 1);
          } else if (value->IsReference()) {
            CollectReference(value->As<TkvPDFIndirectReference>());
          }
        }
        break;
      }
      case otStream:
        CollectValue(v->As<TkvPDFStreamObject>().Dict.get(), depth + 1);
        break;
      case otIndirectObject:
        CollectValue(v->As<TkvPDFIndirectObject>().Value.get(), depth + 1);
        break;
      case otIndirectReference:
        CollectReference(v->As<TkvPDFIndirectReference>());
        break;
      default:
        break;
    }
  }

  void CollectReference(const TkvPDFIndirectReference& ref) {
    if (ref.ObjNum <= 0) {
      d.Warning(rtl::Format(SInvalidObjectNumber, {ref.ObjNum}));
      return;
    }
    if (TkvPDFIndirectObject* stored = d.ObjectStore->FindObject(ref)) {
      stored->AddRef();
      return;
    }
    auto obj = ReadObjectNumber(ref.ObjNum);
    if (!obj) return;
    // The object read under another number than the one asked for (a broken
    // table) is kept under the number it was asked for, so that the key of
    // the reference finds it and the walk ends.
    obj->SourceID = ref.SourceID;
    obj->ObjNum = ref.ObjNum;
    obj->GenNum = ref.GenNum;
    obj->AddRef();
    TkvPDFIndirectObject* kept = obj.get();
    const bool isStream = kept->Value && kept->Value->IsStream();
    d.ObjectStore->AddObject(std::move(obj));
    if (!isStream) pending_.push_back(kept);
  }

  // Walks the queued objects (and first the given one).
  void CollectPending(TkvPDFIndirectObject* first = nullptr) {
    if (first && !(first->Value && first->Value->IsStream())) pending_.push_back(first);
    if (draining_) return;
    draining_ = true;
    try {
      while (!pending_.empty()) {
        TkvPDFIndirectObject* next = pending_.back();
        pending_.pop_back();
        CollectValue(next->Value.get());
      }
    } catch (...) {
      draining_ = false;
      pending_.clear();
      throw;
    }
    draining_ = false;
  }

  void Collect(TkvPDFObject* v) {
    CollectValue(v);
    CollectPending();
  }

  // --- catalog ---
  void ReadCatalog();
  // A node of the page tree by its number, or the root node written into
  // the catalog (direct; objNum is then 0).
  void ReadPageTreeNode(int32_t objNum, const TkvPDFDictObject* inherited,
                        TkvPDFDictObject* direct = nullptr);
  // The catalog's /Dests: a reference or the dictionary itself.
  void ReadDestsDictionary(TkvPDFObject& value);
  void ReadNameTree(int32_t objNum);
  void WalkNameTreeNode(TkvPDFDictObject& node);
  void AddDestination(const std::string& name, TkvPDFObject* value, bool allowNull);
  void ReadOutlines(TkvPDFObject* outlinesValue);
  // An outline item and its siblings after it; direct: the outline root
  // written into the catalog (objNum unused).
  std::unique_ptr<TkvPDFOutline> ReadOutlineItem(int32_t objNum, TkvPDFOutline* parent, TkvPDFOutline* prev,
                                                 const TkvPDFDictObject* direct = nullptr);
  void CollectActionObjects(TkvPDFDictObject& action);
  std::unique_ptr<TkvPDFObject> ResolveDestinationName(const TkvPDFObject& value);
  // The catalog record's /AcroForm: a reference or the dictionary itself.
  void ReadAcroForm(TkvPDFObject& value);
  void ReadFormField(TkvAcroFormField* parentRecord, const std::string& parentName,
                     const std::string& appearance, const TkvPDFDictObject* fontDict,
                     const TkvPDFIndirectReference& ref);
  void ReadFieldValue(TkvAcroFormField& record, const TkvPDFDictObject& dict);

  static constexpr int kMaxValueDepth = 512;
  // Items of one destination array: the six of the longest form, with room
  // for writers that add a little.
  static constexpr int kMaxDestinationItems = 64;

  // What a destination reference led to, with the objects read on the way.
  struct TDestinationTarget {
    TkvPDFObject* value = nullptr;
    std::vector<std::unique_ptr<TkvPDFIndirectObject>> read;
  };
  std::unordered_map<int32_t, TDestinationTarget> destinationTargets_;
  int64_t copied_ = 0;

  TkvCustomPDFDocument& d;
  std::vector<TkvPDFIndirectObject*> pending_;
  bool draining_ = false;
  std::unordered_set<int32_t> pageNodes_, nameNodes_, outlineItems_, fieldNodes_, fieldPath_;
  int pageDepth_ = 0, nameDepth_ = 0, outlineDepth_ = 0, fieldDepth_ = 0;
};

// ---------------------------------------------------------------------------
// Destination list

TkvDestinationList::TkvDestinationList() = default;
TkvDestinationList::~TkvDestinationList() = default;

void TkvDestinationList::Add(const std::string& name, std::unique_ptr<TkvPDFObject> dest) {
  index_.emplace(name, entries_.size());
  entries_.emplace_back(name, std::move(dest));
}

const TkvPDFObject* TkvDestinationList::Find(const std::string& name) const {
  auto it = index_.find(name);
  return it == index_.end() ? nullptr : entries_[it->second].second.get();
}

// ---------------------------------------------------------------------------
// Loading

bool TkvCustomPDFDocument::LoadFromFile(const std::string& FileName) {
  if (IsLoaded) CloseDocument();
  const size_t slash = FileName.find_last_of('/');
  const size_t dot = FileName.find_last_of('.');
  const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  const std::string name = hasExt ? FileName : FileName + ".pdf";
  // The stream objects read share the open file; it closes with the last
  // of them, or here when none is left pending.
  auto source = std::make_shared<TkvFileDataSource>(name);
  WorkFileName = name;
  struct Forget {
    std::shared_ptr<TkvStoredDataSource>& source;
    ~Forget() { source.reset(); }
  } forget{pendingSource_};
  pendingSource_ = source;
  LoadFromStream(source->File());
  return IsLoaded;
}

bool TkvCustomPDFDocument::LoadFromStream(rtl::TStream& Source) {
  if (IsLoaded) CloseDocument();
  // The reader points into the source, which the caller frees when this
  // call ends: the reader never outlives it, on any path.
  const ReaderRelease release{*this};
  OpenDocument(Source);
  if (!IsEncrypted) {
    ReadDocument();
  } else if (OnPassword) {
    std::string password;
    bool cont = true;
    OnPassword(this, password, cont);
    if (cont)
      LoadWithPassword(password);
    else
      CloseDocument();
  } else {
    LoadWithPassword("");
  }
  return IsLoaded;
}

namespace {

// What the encryption dictionary says, checked by the security handler:
// anything but the standard handler's revisions 2 and 3 raises
// EUnsupportedEncryptionError.
void SetParameters(TkvPDFDecrypt& decrypt, const TkvPDFDictObject& enc) {
  auto intOf = [&](const char* key) -> std::optional<int64_t> {
    const TkvPDFObject* v = enc.Find(key);
    if (v && v->IsInteger()) return v->As<TkvPDFIntegerObject>().Value;
    if (v && v->IsInt64()) return v->As<TkvPDFInt64Object>().Value;
    return std::nullopt;
  };
  const auto* filter = dynamic_cast<const TkvPDFNameObject*>(enc.Find("/Filter"));
  decrypt.SetEncryptionParameters(filter ? filter->Text : std::string("/Standard"), intOf("/V").value_or(0),
                                  intOf("/R").value_or(2), intOf("/Length"),
                                  enc.Find("/CF") != nullptr || enc.Find("/StmF") != nullptr);
}

}  // namespace

void TkvCustomPDFDocument::LoadWithPassword(const std::string& Password) {
  if (IsEncrypted) AuthenticatePassword(Password);
  ReadDocument();
}

void TkvCustomPDFDocument::AuthenticatePassword(const std::string& Password) {
  Decryptor = std::make_unique<TkvPDFDecrypt>();
  const auto* enc = dynamic_cast<const TkvPDFDictObject*>(Trailer->EncryptObject.get());
  if (!enc) RaiseNotA("the trailer's /Encrypt", "a dictionary");
  SetParameters(*Decryptor, *enc);
  // A file without /ID still opens: its identifier is empty.
  std::string fileID;
  if (Trailer->FileID && Trailer->FileID->Count() > 0) {
    if (auto* first = dynamic_cast<TkvPDFStringObject*>(Trailer->FileID->GetItem(0)))
      fileID = StringBytes(*first);
  }
  Decryptor->SetFileID(fileID);
  auto keyBytes = [&](const char* key) -> std::string {
    auto* s = dynamic_cast<const TkvPDFStringObject*>(enc->Find(key));
    return s ? StringBytes(*s) : std::string();
  };
  Decryptor->SetOwnerKey(keyBytes("/O"));
  Decryptor->SetUserKey(keyBytes("/U"));
  const TkvPDFObject* p = enc->Find("/P");
  if (p && p->IsInteger())
    Decryptor->SetPermissionValue(static_cast<int64_t>(p->As<TkvPDFIntegerObject>().Value));
  else if (p && p->IsInt64())
    Decryptor->SetPermissionValue(p->As<TkvPDFInt64Object>().Value);
  else
    throw EInvalidPermission(SInvalidPermission);
  Reader->Decryptor = Decryptor.get();
  if (!Decryptor->OpenWithPassword(*Encryption, Password)) throw EPasswordError(SWrongPassword);
}

void TkvCustomPDFDocument::OpenDocument(rtl::TStream& Source) {
  Reader = std::make_unique<TkvPDFStreamReader>(static_cast<int32_t>(DocumentID), &Source);
  try {
    PDFVersion = static_cast<TkvPDFVersion>(Reader->ReadHeaderVersion());
    ReadCrossReference();
    if (Trailer->EncryptObject && !Trailer->EncryptObject->IsNull()) {
      // The encryption dictionary's own strings are never decrypted.
      if (auto* ref = dynamic_cast<TkvPDFIndirectReference*>(Trailer->EncryptObject.get())) {
        Reader->EncryptObjNum = ref->ObjNum;
        Reader->EncryptGenNum = ref->GenNum;
      }
      TkvDocumentReader r(*this);
      // The encryption dictionary, with every reference inside it replaced
      // by the referenced value; read before any decryptor exists, so its
      // own strings are never decrypted.
      int values = 0;
      std::function<std::unique_ptr<TkvPDFObject>(const TkvPDFObject&, int)> resolve =
          [&](const TkvPDFObject& v, int depth) -> std::unique_ptr<TkvPDFObject> {
        if (depth > TkvCustomPDFDocument::kMaxTreeDepth)
          throw EPDFException(rtl::Format(STreeDepth, {"encryption dictionary"}));
        if (++values > kMaxEncryptValues) throw EPDFException(SEncryptTooLarge);
        if (v.IsReference()) {
          auto obj = r.ReadObjectNumber(v.As<TkvPDFIndirectReference>().ObjNum);
          if (!obj || !obj->Value) return std::make_unique<TkvPDFNullObject>();
          return resolve(*obj->Value, depth + 1);
        }
        if (v.IsArray()) {
          auto out = std::make_unique<TkvPDFArrayObject>();
          const auto& a = v.As<TkvPDFArrayObject>();
          for (int i = 0; i < a.Count(); ++i) out->Add(resolve(*a.GetItem(i), depth + 1));
          return out;
        }
        if (v.IsDict()) {
          auto out = std::make_unique<TkvPDFDictObject>();
          const auto& dd = v.As<TkvPDFDictObject>();
          for (int i = 0; i < dd.Count(); ++i)
            out->AddEntry(dd.KeyAt(i)->Text, resolve(*dd.ValueAt(i), depth + 1));
          return out;
        }
        return v.Clone();
      };
      Trailer->EncryptObject = resolve(*Trailer->EncryptObject, 0);
      const auto* enc = dynamic_cast<TkvPDFDictObject*>(Trailer->EncryptObject.get());
      if (!enc) RaiseNotA("the trailer's /Encrypt", "a dictionary");
      // Files this handler cannot read are refused before anyone is asked
      // for a password.
      TkvPDFDecrypt check;
      SetParameters(check, *enc);
      IsEncrypted = true;
    } else {
      IsEncrypted = false;
    }
  } catch (...) {
    Reader.reset();
    throw;
  }
  // Loaded from here on, an encrypted document too, before its password is
  // known: one whose password then fails counts as loaded with no pages
  // until the next load, which closes it first.
  IsLoaded = true;
}

void TkvCustomPDFDocument::ReadCrossReference() {
  const int32_t offset = Reader->FindStartXRef();
  ReadXRefSection(offset);
  if (PendingID) {
    std::unique_ptr<TkvPDFObject> id = std::move(PendingID);
    if (id->IsArray()) {
      Trailer->FileID = CloneAs(id->As<TkvPDFArrayObject>());
    } else if (id->IsReference()) {
      TkvDocumentReader r(*this);
      std::vector<std::unique_ptr<TkvPDFIndirectObject>> keep;
      if (auto* a = dynamic_cast<TkvPDFArrayObject*>(r.Follow(id.get(), keep))) Trailer->FileID = CloneAs(*a);
    }
  }
  ObjectStore->NextObjNum = static_cast<int32_t>(XRefTable.size());
  ObjectStore->Reserve(static_cast<int>(XRefTable.size()));
}

bool TkvCustomPDFDocument::IsXRefStreamAt(int32_t Offset) {
  // "N G obj" with a dictionary of /Type /XRef: a newer file, not a damaged
  // one. Whatever else stands there (an object of a file cut short or
  // edited by hand) means the table is not where the file says.
  try {
    Reader->SetPosition(Offset);
    Reader->ReadToken();
    Reader->ReadToken();
    if (Reader->ReadToken() != "obj") return false;
    std::unique_ptr<TkvPDFObject> head = Reader->ReadObject();
    auto* dict = dynamic_cast<TkvPDFDictObject*>(head.get());
    auto* type = dict ? dynamic_cast<TkvPDFNameObject*>(dict->Find("/Type")) : nullptr;
    return type && type->Text == "/XRef";
  } catch (const std::exception&) {
    return false;
  }
}

void TkvCustomPDFDocument::ReadXRefSection(int32_t Offset) {
  // The chain of sections from the newest (the one "startxref" names) to the
  // oldest; trailer values are taken newest first, entries applied oldest
  // first so that newer entries replace older ones.
  std::vector<int32_t> chain;
  std::unordered_set<int32_t> seen;
  int32_t offset = Offset;
  bool haveRoot = false, haveID = false, haveEncrypt = false, haveInfo = false;
  while (true) {
    if (!seen.insert(offset).second) throw ECrossReferenceError(SXRefLoop);
    if (chain.size() >= static_cast<size_t>(kMaxTreeDepth)) throw ECrossReferenceError(SXRefLoop);
    StatusMessage(SReadingXRef);
    if (offset < 0 || offset >= Reader->SourceSize) throw ECrossReferenceError(SCrossReferenceError);
    Reader->SetPosition(offset);
    {
      const std::string token = Reader->PeekToken();
      if (!token.empty() && IsDigit(static_cast<unsigned char>(token[0])))
        throw ECrossReferenceError(IsXRefStreamAt(offset) ? SXRefStream : SXRefMisplaced);
    }
    Reader->SetPosition(offset);
    std::unique_ptr<TkvPDFDictObject> trailer;
    try {
      trailer = Reader->ReadTrailer();
    } catch (rtl::Exception& e) {
      // "Error reading PDF trailer" says which part already.
      e.Message +=
          rtl::Format(e.Message.rfind(STrailerError, 0) == 0 ? SXRefContext : STrailerContext, {offset});
      throw;
    }
    // A hybrid file's table leaves out what its cross-reference stream
    // holds (objects in object streams, newer versions): read from the
    // table alone it would give stale or missing objects without a word.
    if (trailer->Find("/XRefStm")) throw ECrossReferenceError(SXRefStream);
    chain.push_back(offset);
    if (!haveRoot) {
      if (auto* root = dynamic_cast<TkvPDFIndirectReference*>(trailer->Find("/Root"))) {
        Trailer->RootNum = root->ObjNum;
        haveRoot = true;
      }
    }
    if (!haveID) {
      if (TkvPDFObject* id = trailer->Find("/ID")) {
        PendingID = id->Clone();
        haveID = true;
      }
    }
    if (!haveEncrypt) {
      if (TkvPDFObject* enc = trailer->Find("/Encrypt")) {
        Trailer->EncryptObject = enc->Clone();
        haveEncrypt = true;
      }
    }
    if (!haveInfo) {
      if (auto* info = dynamic_cast<TkvPDFIndirectReference*>(trailer->Find("/Info"))) {
        Trailer->InfoRef = CloneAs(*info);
        haveInfo = true;
      }
    }
    TkvPDFObject* prev = trailer->Find("/Prev");
    if (Absent(prev)) break;
    if (!prev->IsInteger()) throw ECrossReferenceError(SXRefPrev);
    offset = prev->As<TkvPDFIntegerObject>().Value;
  }

  for (auto it = chain.rbegin(); it != chain.rend(); ++it) ReadXRefEntries(*it);
}

namespace {

// The digits at the reader's position as a number up to `limit`; nullopt
// where there are none or they exceed it. A table's fields are unsigned and
// stand after the blanks that SkipBlanks passes over.
std::optional<int64_t> ReadDigits(TkvPDFStreamReader& r, int64_t limit) {
  // Longer than any number up to the limits: the field is damaged.
  constexpr size_t kMaxDigits = 20;
  size_t digits = 0;
  int64_t v = 0;
  bool fits = true;
  for (int c = r.PeekChar(); IsDigit(c) && digits <= kMaxDigits; c = r.PeekChar()) {
    r.ReadChar();
    ++digits;
    const int d = c - '0';
    if (v > (std::numeric_limits<int64_t>::max() - d) / 10) fits = false;
    if (fits) v = v * 10 + d;
  }
  if (digits == 0 || !fits || v > limit) return std::nullopt;
  return v;
}

[[noreturn]] void RaiseXRefError(int32_t offset, const std::string& what) {
  throw ECrossReferenceError(rtl::Format(SXRefTableAt, {offset, what}));
}

void SkipBlanks(TkvPDFStreamReader& r) {
  while (r.PeekChar() == ' ') r.ReadChar();
}

}  // namespace

void TkvCustomPDFDocument::ReadXRefEntries(int32_t Offset) {
  auto fail = [&](const std::string& what) { RaiseXRefError(Offset, what); };
  Reader->SetPosition(Offset);
  // Past "xref" and its line end to the first subsection header.
  while (!IsDigit(Reader->PeekChar())) {
    if (Reader->PeekChar() == TkvReadOnlyFilter::kEndOfData) fail("no entries before the end of the file");
    Reader->ReadChar();
  }
  while (true) {
    Reader->SkipWhitespace();
    const auto start = ReadDigits(*Reader, kMaxObjectNumber);
    SkipBlanks(*Reader);
    const auto count = ReadDigits(*Reader, kMaxObjectNumber);
    if (!start || !count) fail("a subsection header is not two numbers");
    if (*count == 0) break;
    // The object numbers end below the format's limit, and the count must
    // fit the bytes left (the shortest entry "0 0 n" and a line end), so
    // that neither the table nor the work grows beyond the file.
    if (*start + *count > kMaxObjectNumber + 1 || *count * 6 > Reader->SourceSize - Reader->Position())
      fail(rtl::Format("the subsection %d %d does not fit the file",
                       {static_cast<int32_t>(*start), static_cast<int32_t>(*count)}));
    if (XRefTable.size() < static_cast<size_t>(*start + *count))
      XRefTable.resize(static_cast<size_t>(*start + *count));
    for (int64_t i = 0; i < *count; ++i) {
      const auto n = static_cast<int32_t>(*start + i);
      // An entry is read by its fields: offset, generation, kind. Writers
      // end the 20-byte record with one line-end byte and a blank, with
      // both line-end bytes, or put text behind the kind: the rest of the
      // line is passed over.
      Reader->SkipWhitespace();
      const auto offset = ReadDigits(*Reader, std::numeric_limits<int32_t>::max());
      SkipBlanks(*Reader);
      // Five digits: the free head entry is written with 65536 by some.
      const auto generation = ReadDigits(*Reader, 99999);
      SkipBlanks(*Reader);
      const int kind = Reader->ReadChar();
      if (!offset || !generation || (kind != 'n' && kind != 'f'))
        fail(rtl::Format("the entry of object %d is damaged", {n}));
      for (int c = Reader->PeekChar(); c != 10 && c != 13 && c != TkvReadOnlyFilter::kEndOfData;
           c = Reader->PeekChar())
        Reader->ReadChar();
      XRefTable[static_cast<size_t>(n)] = std::make_unique<TkvXRefItem>(
          static_cast<int32_t>(*offset), static_cast<char>(kind), static_cast<int32_t>(*generation));
    }
    Reader->SkipWhitespace();
    std::string next;
    Reader->PeekString(7, next);
    if (next == "trailer") break;
    if (Reader->PeekChar() == TkvReadOnlyFilter::kEndOfData) fail("no trailer after the entries");
  }
}

std::unique_ptr<TkvPDFIndirectObject> TkvCustomPDFDocument::ReadIndirectObjectAt() {
  const int64_t start = Reader->Position();
  if (start == 0) return nullptr;
  // A stream's dictionary may name the stream itself (a form whose
  // resources list the form): met again while the stream is still being
  // read, it is left to the read under way, which keeps it.
  if (streamsBeingRead_.count(start)) return nullptr;
  std::unique_ptr<TkvPDFObject> parsed = Reader->ReadObject();
  if (!parsed || !parsed->IsIndirectObject()) throw kvCstPDFDoc::EUnexpectedObjectError(SNoObjectHere);
  std::unique_ptr<TkvPDFIndirectObject> obj(static_cast<TkvPDFIndirectObject*>(parsed.release()));
  if (obj->Value && obj->Value->IsStream()) {
    // Collecting the stream dictionary may read further streams (a /Length
    // given as a reference to another stream, or to this one): bounded.
    TkvDepthGuard guard(readNesting_, TkvCustomPDFDocument::kMaxTreeDepth,
                        TooDeep("chain of stream objects"));
    auto& stream = obj->Value->As<TkvPDFStreamObject>();
    const int64_t pos = Reader->Position();
    {
      struct BeingRead {
        std::unordered_set<int64_t>& set;
        int64_t at;
        ~BeingRead() { set.erase(at); }
      } beingRead{streamsBeingRead_, start};
      streamsBeingRead_.insert(start);
      TkvDocumentReader r(*this);
      r.Collect(stream.Dict.get());
    }
    Reader->SetPosition(pos);
    TkvPDFObject* lengthValue = stream.Dict->Find("/Length");
    TkvPDFIntegerObject* length = nullptr;
    try {
      length = ObjectStore->FetchInteger(lengthValue);
    } catch (const rtl::Exception&) {
      length = nullptr;
    }
    // A missing, negative or oversized /Length is refused before anything
    // is allocated.
    if (!length || length->Value < 0 || length->Value > Reader->SourceSize - Reader->Position())
      throw EStreamReadError(rtl::Format(SBadLength, {obj->ObjNum}));
    // The bodies of an encrypted file are decrypted as they are read, with
    // the key of this document: they are read now.
    const bool encrypted =
        Reader->Decryptor || (Trailer && Trailer->EncryptObject && !Trailer->EncryptObject->IsNull());
    if (pendingSource_ && !encrypted) {
      int64_t at = 0;
      const int64_t count = Reader->SkipStreamData(length->Value, at);
      if (count > 0) {
        stream.Pending = pendingSource_;
        stream.PendingOffset = at;
        stream.PendingCount = count;
      } else {
        stream.Data = std::make_unique<rtl::TMemoryStream>();
      }
    } else {
      stream.Data = Reader->ReadStreamData(length->Value, obj->ObjNum, obj->GenNum);
    }
  }
  return obj;
}

TkvPDFIndirectObject* TkvCustomPDFDocument::LoadObjectByNumber(int32_t Index) {
  // Only an open document has a reader; without one there is nothing to read.
  if (!Reader) RaiseUnexpectedError();
  TkvDocumentReader r(*this);
  auto obj = r.ReadObjectNumber(Index);
  if (!obj) return nullptr;
  obj->AddRef();
  TkvPDFIndirectObject* kept = obj.get();
  ObjectStore->AddObject(std::move(obj));
  return kept;
}

void TkvCustomPDFDocument::CollectObjects(TkvPDFObject* Value) {
  TkvDocumentReader r(*this);
  r.Collect(Value);
}

std::unique_ptr<TkvPDFObject> TkvCustomPDFDocument::FindNamedDestination(const std::string& Name) const {
  if (!DestinationList) return nullptr;
  const TkvPDFObject* found = DestinationList->Find(Name);
  if (!found || found->IsNull()) return nullptr;
  return found->Clone();
}

void TkvCustomPDFDocument::ReadDocument() {
  if (OnBeginRead) OnBeginRead(this);
  TkvDocumentReader r(*this);
  r.ReadCatalog();
  IsLoaded = true;
  StatusMessage(rtl::Format(SReadComplete, {PageCount()}));
  if (OnEndRead) OnEndRead(this);
}

// ---------------------------------------------------------------------------
// Catalog

void TkvDocumentReader::ReadCatalog() {
  const ReaderRelease release{d};

  if (d.Trailer->InfoRef) {
    if (auto info = ResolveCopy<TkvPDFDictObject>(d.Trailer->InfoRef.get(), false, "the trailer's /Info"))
      d.DocInfo->SetInfoDictionary(std::move(info));
  }
  if (d.Trailer->RootNum < 0) throw EPDFException(SNoRoot);
  std::unique_ptr<TkvPDFIndirectObject> root = ReadRequired(d.Trailer->RootNum);
  auto* catalog = dynamic_cast<TkvPDFDictObject*>(root->Value.get());
  if (!catalog) throw kvCstPDFDoc::EUnexpectedObjectError(rtl::Format(SNoCatalog, {d.Trailer->RootNum}));
  // Entries that are usually references to dictionaries may be the
  // dictionaries themselves.
  auto entry = [&](const char* key) -> TkvPDFObject* {
    TkvPDFObject* v = catalog->Find(key);
    if (Absent(v)) return nullptr;
    if (!v->IsReference() && !v->IsDict()) throw EPDFException(rtl::Format(SCatalogEntry, {key}));
    return v;
  };

  static const char* const kModes[] = {"/UseNone", "/UseOutlines", "/UseThumbs", "/FullScreen"};
  static const char* const kLayouts[] = {"/None", "/SinglePage", "/OneColumn", "/TwoColumnLeft",
                                         "/TwoColumnRight"};
  d.PageMode = pmNone;
  if (auto* m = dynamic_cast<TkvPDFNameObject*>(catalog->Find("/PageMode"))) {
    for (int i = 0; i < 4; ++i)
      if (m->Text == kModes[i]) d.PageMode = static_cast<TkvPageMode>(i);
  }
  d.PageLayout = plNone;
  if (auto* l = dynamic_cast<TkvPDFNameObject*>(catalog->Find("/PageLayout"))) {
    for (int i = 0; i < 5; ++i)
      if (l->Text == kLayouts[i]) d.PageLayout = static_cast<TkvPageLayout>(i);
  }
  if (auto prefs = ResolveCopy<TkvPDFDictObject>(catalog->Find("/ViewerPreferences"), false,
                                                 "the catalog's /ViewerPreferences"))
    d.Catalog->SetViewerPreferencesDict(std::move(prefs));
  if (TkvPDFObject* meta = catalog->Find("/Metadata"); !Absent(meta)) {
    Collect(meta);
    d.Catalog->Metadata = meta->Clone();
  }

  // Progress goes 10, 75, 30, 90, 60, 100 in this order, for every document,
  // whatever it holds: a listener sees the same six steps each time (and
  // the value fall back twice), so it may count on them but should show the
  // largest value so far rather than take a lower one for a new reading.
  d.IOProgress(10);
  d.StatusMessage(STraversingPages);
  TkvPDFObject* pages = entry("/Pages");
  if (!pages) throw EPDFException(SNoPages);
  if (pages->IsReference())
    ReadPageTreeNode(pages->As<TkvPDFIndirectReference>().ObjNum, nullptr);
  else
    ReadPageTreeNode(0, nullptr, &pages->As<TkvPDFDictObject>());

  d.IOProgress(75);
  if (TkvPDFObject* dests = entry("/Dests")) {
    d.StatusMessage(SProcessingDests);
    ReadDestsDictionary(*dests);
  }

  d.IOProgress(30);
  d.StatusMessage(SProcessingAnnots);
  for (TkvPDFIndirectObject* page : d.PageList) {
    if (auto* dict = dynamic_cast<TkvPDFDictObject*>(page->Value.get())) Collect(dict->Find("/Annots"));
  }

  d.IOProgress(90);
  if (TkvPDFObject* form = entry("/AcroForm")) {
    d.Catalog->AcroForm = form->Clone();
    ReadAcroForm(*d.Catalog->AcroForm);
    d.StatusMessage(SAcroFormsProcessed);
  }
  if (TkvPDFObject* open = catalog->Find("/OpenAction"); !Absent(open)) {
    Collect(open);
    d.Catalog->OpenAction = open->Clone();
  }
  if (TkvPDFObject* aa = catalog->Find("/AA"); !Absent(aa)) {
    Collect(aa);
    d.Catalog->AA = aa->Clone();
  }
  // Without the optional-content state every group shows: content that the
  // document hides would appear once the pages are written again.
  if (TkvPDFObject* oc = catalog->Find("/OCProperties"); !Absent(oc)) {
    Collect(oc);
    d.Catalog->OCProperties = oc->Clone();
  }
  if (TkvPDFObject* names = catalog->Find("/Names"); !Absent(names)) {
    d.StatusMessage(SProcessingNames);
    d.Catalog->Names = names->Clone();
    if (names->IsReference()) {
      ReadNameTree(names->As<TkvPDFIndirectReference>().ObjNum);
    } else if (auto* direct = dynamic_cast<TkvPDFDictObject*>(d.Catalog->Names.get())) {
      // A names dictionary written in the catalog itself: its destinations
      // count as much as those of a separate object.
      if (TkvPDFObject* dests = direct->Find("/Dests"); !Absent(dests)) {
        if (dests->IsReference()) {
          const int32_t num = dests->As<TkvPDFIndirectReference>().ObjNum;
          nameNodes_.insert(num);
          if (auto root = ReadObjectNumber(num))
            if (auto* rd = dynamic_cast<TkvPDFDictObject*>(root->Value.get())) WalkNameTreeNode(*rd);
        } else if (dests->IsDict()) {
          WalkNameTreeNode(dests->As<TkvPDFDictObject>());
        }
      }
      Collect(direct);
    }
  }

  d.IOProgress(60);
  d.StatusMessage(SReadingOutlines);
  if (TkvPDFObject* outlines = entry("/Outlines")) ReadOutlines(outlines);
  d.IOProgress(100);
}

void TkvDocumentReader::ReadPageTreeNode(int32_t objNum, const TkvPDFDictObject* inherited,
                                         TkvPDFDictObject* direct) {
  TkvDepthGuard guard(pageDepth_, TkvCustomPDFDocument::kMaxTreeDepth, TooDeep("page tree"));
  if (!direct && !pageNodes_.insert(objNum).second)
    throw EPDFException(rtl::Format(STreeLoop, {"page tree"}));
  static const char* const kInherited[] = {"/Rotate", "/MediaBox", "/Resources", "/CropBox"};

  std::unique_ptr<TkvPDFIndirectObject> read;
  TkvPDFIndirectObject* node = nullptr;
  TkvPDFDictObject* dict = direct;
  if (!direct) {
    // A page that an earlier walk already brought into the store is taken
    // from there, so that it exists once.
    const TkvXRefItem* entry = EntryOf(objNum);
    const int32_t generation = entry ? entry->Generation : 0;
    TkvPDFIndirectReference ref(static_cast<int32_t>(d.DocumentID), objNum,
                                static_cast<uint16_t>(generation));
    node = d.ObjectStore->FindObject(ref);
    if (!node) {
      read = ReadRequired(objNum);
      read->ObjNum = objNum;
      read->GenNum = static_cast<uint16_t>(generation);
      node = read.get();
    }
    dict = dynamic_cast<TkvPDFDictObject*>(node->Value.get());
    if (!dict) throw EUnexpectedError(rtl::Format(SPageNodeNotDict, {objNum}));
  }
  auto* type = dynamic_cast<TkvPDFNameObject*>(dict->Find("/Type"));
  if (!type) throw EUnexpectedError(rtl::Format(SPageNodeNoType, {objNum}));

  if (type->Text == "/Pages") {
    std::unique_ptr<TkvPDFArrayObject> kids = ResolveCopy<TkvPDFArrayObject>(
        dict->Find("/Kids"), false, "the /Kids of page tree node " + std::to_string(objNum));
    auto attrs = inherited ? CloneAs(*inherited) : std::make_unique<TkvPDFDictObject>();
    for (const char* key : kInherited) {
      TkvPDFObject* v = dict->Find(key);
      if (!Absent(v)) attrs->SetValue(key, v->Clone());
    }
    if (kids) {
      for (int i = 0; i < kids->Count(); ++i) {
        TkvPDFObject* kid = kids->GetItem(i);
        if (Absent(kid)) continue;
        if (!kid->IsReference()) throw EUnexpectedError(rtl::Format(SPageKidNotReference, {objNum}));
        ReadPageTreeNode(kid->As<TkvPDFIndirectReference>().ObjNum, attrs.get());
      }
    }
    return;
  }
  // A page lives in the page list as an indirect object: one written into
  // the catalog itself has none.
  if (type->Text != "/Page" || !node)
    throw EUnexpectedError(rtl::Format(SPageNodeType, {objNum, MessageExcerpt(type->Text)}));

  TkvPDFIndirectObject* page = node;
  if (read) {
    read->AddRef();
    d.ObjectStore->AddObject(std::move(read));
  } else {
    page->AddRef();
  }
  dict->Remove("/Parent");
  dict->Remove("/B");
  if (inherited) {
    for (int i = 0; i < inherited->Count(); ++i) {
      const std::string& key = inherited->KeyAt(i)->Text;
      if (Absent(dict->Find(key))) {
        CountCopy(*inherited->ValueAt(i));
        dict->SetValue(key, inherited->ValueAt(i)->Clone());
      }
    }
  }
  for (int i = 0; i < dict->Count(); ++i) {
    if (dict->KeyAt(i)->Text == "/Annots") continue;
    Collect(dict->ValueAt(i));
  }
  d.PageList.push_back(page);
}

void TkvDocumentReader::AddDestination(const std::string& name, TkvPDFObject* value, bool allowNull) {
  if (!d.DestinationList) d.DestinationList = std::make_unique<TkvDestinationList>();
  TkvPDFObject* v = value;
  bool viaReference = false;
  if (v && v->IsReference()) {
    // Any number of names may refer to one object: it is read once, not
    // once per name.
    const int32_t num = v->As<TkvPDFIndirectReference>().ObjNum;
    auto it = destinationTargets_.find(num);
    if (it == destinationTargets_.end()) {
      TDestinationTarget target;
      target.value = Follow(v, target.read);
      it = destinationTargets_.emplace(num, std::move(target)).first;
    }
    v = it->second.value;
    viaReference = true;
  }
  if (Absent(v)) {
    if (allowNull)
      d.DestinationList->Add(name, std::make_unique<TkvPDFNullObject>());
    else if (!viaReference)
      throw EUnexpectedError(BadDestination(name));
    return;
  }
  // A destination is a page and at most five more operands; each name gets
  // its own copy, so a long array shared by many names would multiply.
  auto add = [&](const TkvPDFArrayObject& a) {
    if (a.Count() > kMaxDestinationItems) throw EUnexpectedError(BadDestination(name));
    CountCopy(a);
    d.DestinationList->Add(name, CloneAs(a));
  };
  if (v->IsDict()) {
    auto* a = dynamic_cast<TkvPDFArrayObject*>(v->As<TkvPDFDictObject>().Find("/D"));
    if (!a) throw EUnexpectedError(BadDestination(name));
    add(*a);
  } else if (v->IsArray()) {
    add(v->As<TkvPDFArrayObject>());
  } else {
    throw EUnexpectedError(BadDestination(name));
  }
}

void TkvDocumentReader::ReadDestsDictionary(TkvPDFObject& value) {
  std::unique_ptr<TkvPDFIndirectObject> obj;
  auto* dict = dynamic_cast<TkvPDFDictObject*>(&value);
  if (!dict) {
    obj = ReadObjectNumber(value.As<TkvPDFIndirectReference>().ObjNum);
    if (!obj) return;  // a reference to a free object is null
    dict = dynamic_cast<TkvPDFDictObject*>(obj->Value.get());
  }
  if (!dict) RaiseNotA("the catalog's /Dests", "a dictionary");
  if (!d.DestinationList) d.DestinationList = std::make_unique<TkvDestinationList>();
  for (int i = 0; i < dict->Count(); ++i) AddDestination(dict->KeyAt(i)->BareName(), dict->ValueAt(i), false);
}

void TkvDocumentReader::WalkNameTreeNode(TkvPDFDictObject& node) {
  TkvDepthGuard guard(nameDepth_, TkvCustomPDFDocument::kMaxTreeDepth, TooDeep("name tree"));
  if (auto* kids = dynamic_cast<TkvPDFArrayObject*>(node.Find("/Kids"))) {
    for (int i = 0; i < kids->Count(); ++i) {
      TkvPDFObject* item = kids->GetItem(i);
      if (Absent(item)) continue;
      if (item->IsDict()) {
        WalkNameTreeNode(item->As<TkvPDFDictObject>());
        continue;
      }
      if (!item->IsReference())
        RaiseUnexpectedObject("a /Kids item of the name tree is neither a dictionary nor a reference");
      auto& ref = item->As<TkvPDFIndirectReference>();
      if (!nameNodes_.insert(ref.ObjNum).second) throw EPDFException(rtl::Format(STreeLoop, {"name tree"}));
      std::unique_ptr<TkvPDFIndirectObject> kid = ReadObjectNumber(ref.ObjNum);
      if (!kid) continue;
      if (auto* kd = dynamic_cast<TkvPDFDictObject*>(kid->Value.get())) WalkNameTreeNode(*kd);
    }
    return;
  }
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> keep;
  auto* names = dynamic_cast<TkvPDFArrayObject*>(Follow(node.Find("/Names"), keep));
  if (!names) return;
  for (int i = 0; i + 1 < names->Count(); i += 2) {
    auto* key = dynamic_cast<TkvPDFStringObject*>(names->GetItem(i));
    if (!key) continue;
    TkvPDFObject* value = names->GetItem(i + 1);
    if (value->IsReference() || value->IsNull())
      AddDestination(key->Content(), value, true);
    else if (value->IsArray())
      AddDestination(key->Content(), value, true);
    else if (value->IsDict())
      AddDestination(key->Content(), value, true);
  }
}

void TkvDocumentReader::ReadNameTree(int32_t objNum) {
  std::unique_ptr<TkvPDFIndirectObject> names = ReadObjectNumber(objNum);
  if (!names) return;  // a reference to a free object is null
  names->AddRef();
  auto* dict = dynamic_cast<TkvPDFDictObject*>(names->Value.get());
  if (!dict) RaiseNotA("the names dictionary " + std::to_string(objNum), "a dictionary");
  if (TkvPDFObject* dests = dict->Find("/Dests"); !Absent(dests)) {
    if (!d.DestinationList) d.DestinationList = std::make_unique<TkvDestinationList>();
    if (dests->IsReference()) {
      const int32_t num = dests->As<TkvPDFIndirectReference>().ObjNum;
      nameNodes_.insert(num);
      std::unique_ptr<TkvPDFIndirectObject> root = ReadObjectNumber(num);
      if (root) {
        auto* rd = dynamic_cast<TkvPDFDictObject*>(root->Value.get());
        if (!rd) RaiseNotA("the /Dests name tree " + std::to_string(num), "a dictionary");
        WalkNameTreeNode(*rd);
      }
    } else if (dests->IsDict()) {
      WalkNameTreeNode(dests->As<TkvPDFDictObject>());
    } else {
      RaiseNotA("the /Dests of the names dictionary", "a dictionary");
    }
  }
  TkvPDFIndirectObject* kept = names.get();
  if (!d.ObjectStore->FindObject(*MakeReference(*kept))) {
    d.ObjectStore->AddObject(std::move(names));
    Collect(kept->Value.get());
  }
}

std::unique_ptr<TkvPDFObject> TkvDocumentReader::ResolveDestinationName(const TkvPDFObject& value) {
  std::string name;
  if (value.IsString())
    name = value.As<TkvPDFStringObject>().Content();
  else if (value.IsName())
    name = value.As<TkvPDFNameObject>().BareName();
  // An explicit destination that stood behind a reference is its own answer.
  else if (value.IsArray())
    return value.Clone();
  else
    throw EUnexpectedError(SBadDestination);
  if (auto found = d.FindNamedDestination(name)) {
    CountCopy(*found);
    return found;
  }
  return value.Clone();
}

void TkvDocumentReader::CollectActionObjects(TkvPDFDictObject& action) {
  if (TkvPDFObject* dest = action.Find("/D"); dest && !dest->IsArray()) {
    auto value = dest->IsReference() ? LoadReferencedValue(dest) : dest->Clone();
    if (value) {
      CountCopy(*value);
      action.SetValue("/D", ResolveDestinationName(*value));
    }
  }
  Collect(action.Find("/URI"));
  if (action.Find("/S")) {
    Collect(action.Find("/F"));
    Collect(action.Find("/D"));
    Collect(action.Find("/Win"));
  }
  Collect(action.Find("/JavaScript"));
}

void TkvDocumentReader::ReadOutlines(TkvPDFObject* outlinesValue) {
  if (outlinesValue->IsDict()) {
    d.Outlines = ReadOutlineItem(0, nullptr, nullptr, &outlinesValue->As<TkvPDFDictObject>());
    return;
  }
  d.Outlines = ReadOutlineItem(outlinesValue->As<TkvPDFIndirectReference>().ObjNum, nullptr, nullptr);
}

std::unique_ptr<TkvPDFOutline> TkvDocumentReader::ReadOutlineItem(int32_t objNum, TkvPDFOutline* parent,
                                                                  TkvPDFOutline* prev,
                                                                  const TkvPDFDictObject* direct) {
  // Siblings are read in a loop (a chain of thousands of items costs no
  // stack); children recurse, bounded by the depth cap.
  TkvDepthGuard guard(outlineDepth_, TkvCustomPDFDocument::kMaxTreeDepth, TooDeep("outline tree"));
  std::unique_ptr<TkvPDFOutline> head;
  TkvPDFOutline* last = nullptr;
  int32_t num = objNum;
  while (true) {
    std::unique_ptr<TkvPDFOutline> item;
    if (direct) {
      // The outline root written into the catalog: an item without a
      // number of its own, which the writer numbers.
      item = std::make_unique<TkvPDFOutline>(&d, CloneAs(*direct), 0, 0, static_cast<int32_t>(d.DocumentID),
                                             &d.PageList);
      direct = nullptr;
    } else {
      if (!outlineItems_.insert(num).second) throw EPDFException(rtl::Format(STreeLoop, {"outline tree"}));
      // A link to a free object is null: the chain ends there.
      std::unique_ptr<TkvPDFIndirectObject> obj = ReadObjectNumber(num);
      if (!obj) break;
      auto* src = dynamic_cast<TkvPDFDictObject*>(obj->Value.get());
      if (!src) RaiseNotA("outline item " + std::to_string(num), "a dictionary");
      item = std::make_unique<TkvPDFOutline>(&d, CloneAs(*src), obj->GenNum, obj->ObjNum, obj->SourceID,
                                             &d.PageList);
    }
    ++d.OutlineCount;
    TkvPDFDictObject& dict = item->Value->As<TkvPDFDictObject>();
    if (auto* count = dynamic_cast<TkvPDFIntegerObject*>(dict.Find("/Count")))
      item->IsClosed = count->Value < 0;
    if (TkvPDFObject* title = dict.Find("/Title"); title && !title->IsString()) {
      auto s = ResolveString(title, "the /Title of outline item " + std::to_string(item->ObjNum));
      if (s) {
        CountCopy(*s);
        dict.SetValue("/Title", std::move(s));
      } else {
        dict.Remove("/Title");
      }
    }
    if (TkvPDFObject* dest = dict.Find("/Dest"); dest && !dest->IsArray()) {
      auto value = dest->IsReference() ? LoadReferencedValue(dest) : dest->Clone();
      if (value) {
        CountCopy(*value);
        dict.SetValue("/Dest", ResolveDestinationName(*value));
      }
    }
    if (TkvPDFObject* action = dict.Find("/A")) {
      if (action->IsReference()) {
        auto copy = LoadReferencedValue(action);
        if (!copy || !copy->IsDict()) throw EUnexpectedError(rtl::Format(SOutlineAction, {item->ObjNum}));
        CountCopy(*copy);
        CollectActionObjects(copy->As<TkvPDFDictObject>());
        dict.SetValue("/A", std::move(copy));
      } else if (action->IsDict()) {
        CollectActionObjects(action->As<TkvPDFDictObject>());
      } else if (action->IsNull()) {
        dict.Remove("/A");
      } else {
        throw EUnexpectedError(rtl::Format(SOutlineAction, {item->ObjNum}));
      }
    }
    for (const char* key : {"/Parent", "/Prev", "/Count", "/Last"}) dict.Remove(key);
    item->Parent = parent;
    item->Prev = last ? last : prev;
    // The number behind a /First or /Next link; -1 for none (absent or null).
    auto link = [&](const char* key) {
      int32_t n = -1;
      if (TkvPDFObject* v = dict.Find(key)) {
        if (v->IsReference())
          n = v->As<TkvPDFIndirectReference>().ObjNum;
        else if (!v->IsNull())
          throw EUnexpectedError(rtl::Format(SOutlineLink, {key, item->ObjNum}));
        dict.Remove(key);
      }
      return n;
    };
    if (const int32_t firstNum = link("/First"); firstNum >= 0)
      item->First = ReadOutlineItem(firstNum, item.get(), nullptr);
    const int32_t nextNum = link("/Next");
    if (dict.Count() == 0) item->Value.reset();
    TkvPDFOutline* raw = item.get();
    if (!head)
      head = std::move(item);
    else
      last->Next = std::move(item);
    last = raw;
    if (nextNum < 0) break;
    num = nextNum;
  }
  return head;
}

void TkvDocumentReader::ReadAcroForm(TkvPDFObject& value) {
  // A form dictionary written into the catalog is the catalog record's own
  // copy; one of its own is kept in the store.
  auto* dict = dynamic_cast<TkvPDFDictObject*>(&value);
  if (!dict) {
    std::unique_ptr<TkvPDFIndirectObject> read = ReadObjectNumber(value.As<TkvPDFIndirectReference>().ObjNum);
    if (!read) {  // a reference to a free object is null: no form
      d.Catalog->AcroForm.reset();
      return;
    }
    TkvPDFIndirectObject* form = nullptr;
    if (TkvPDFIndirectObject* stored = d.ObjectStore->FindObject(*MakeReference(*read))) {
      form = stored;
      form->AddRef();
    } else {
      read->AddRef();
      form = read.get();
      d.ObjectStore->AddObject(std::move(read));
    }
    dict = dynamic_cast<TkvPDFDictObject*>(form->Value.get());
  }
  if (!dict) RaiseNotA("the catalog's /AcroForm", "a dictionary");
  for (const char* key : {"/NeedAppearances", "/SigFlags", "/CO", "/DR", "/DA", "/Q"})
    Collect(dict->Find(key));
  const TkvPDFDictObject* fontDict = nullptr;
  if (TkvPDFDictObject* dr =
          Fetched("the form's /DR", [&] { return d.ObjectStore->FetchDict(dict->Find("/DR")); }))
    fontDict = Fetched("the form's /DR", [&] { return d.ObjectStore->FetchDict(dr->Find("/Font")); });
  std::string appearance;
  if (auto* da = Fetched("the form's /DA", [&] { return d.ObjectStore->FetchString(dict->Find("/DA")); }))
    appearance = da->Content();
  std::unique_ptr<TkvPDFArrayObject> fields =
      ResolveCopy<TkvPDFArrayObject>(dict->Find("/Fields"), true, "the form's /Fields");
  d.FormFields = std::make_unique<std::vector<std::unique_ptr<TkvAcroFormField>>>();
  if (!fields) return;
  for (int i = 0; i < fields->Count(); ++i) {
    if (auto* ref = dynamic_cast<TkvPDFIndirectReference*>(fields->GetItem(i)))
      ReadFormField(nullptr, "", appearance, fontDict, *ref);
  }
}

void TkvDocumentReader::ReadFieldValue(TkvAcroFormField& record, const TkvPDFDictObject& dict) {
  if (!record.Value.empty()) return;
  TkvPDFObject* v = d.ObjectStore->FetchDirect(dict.Find("/V"));
  if (!v) return;
  if (v->IsName())
    record.Value = v->As<TkvPDFNameObject>().BareName();
  else if (v->IsString())
    record.Value = v->As<TkvPDFStringObject>().Content();
  else if (v->IsStream()) {
    auto& s = v->As<TkvPDFStreamObject>();
    if (s.HasData()) {
      s.LoadData();
      auto decoded = DecodeFilterChain(*s.Data, s.Dict->Find("/Filter"));
      record.Value = decoded->DataString();
    }
  }
}

void TkvDocumentReader::ReadFormField(TkvAcroFormField* parentRecord, const std::string& parentName,
                                      const std::string& appearance, const TkvPDFDictObject* fontDict,
                                      const TkvPDFIndirectReference& ref) {
  TkvDepthGuard guard(fieldDepth_, TkvCustomPDFDocument::kMaxTreeDepth, TooDeep("form field tree"));
  // A field that is its own ancestor is a loop; one reached again by
  // another way (listed in /Fields and as a kid, or twice in one /Kids) was
  // read the first time.
  if (fieldPath_.count(ref.ObjNum)) throw EPDFException(rtl::Format(STreeLoop, {"form field tree"}));
  if (!fieldNodes_.insert(ref.ObjNum).second) return;
  fieldPath_.insert(ref.ObjNum);
  struct PathExit {
    std::unordered_set<int32_t>& path;
    int32_t num;
    ~PathExit() { path.erase(num); }
  } pathExit{fieldPath_, ref.ObjNum};
  TkvPDFIndirectObject* fieldObj = d.ObjectStore->FindObject(ref);
  if (!fieldObj) {
    auto read = ReadObjectNumber(ref.ObjNum);
    if (!read) return;
    read->SourceID = ref.SourceID;
    read->ObjNum = ref.ObjNum;
    read->GenNum = ref.GenNum;
    read->AddRef();
    fieldObj = read.get();
    d.ObjectStore->AddObject(std::move(read));
  }
  auto* dict = dynamic_cast<TkvPDFDictObject*>(fieldObj->Value.get());
  if (!dict) return;

  if (parentRecord) {
    d.CollectFieldStates(parentRecord, dict);
    ReadFieldValue(*parentRecord, *dict);
  }
  const std::string field = "form field " + std::to_string(ref.ObjNum);
  std::string da = appearance;
  if (TkvPDFObject* own = dict->Find("/DA")) {
    Collect(own);
    if (auto* s = Fetched("the /DA of " + field, [&] { return d.ObjectStore->FetchString(own); }))
      da = s->Content();
  }
  auto fonts = fontDict ? CloneAs(*fontDict) : std::make_unique<TkvPDFDictObject>();
  if (TkvPDFObject* dr = dict->Find("/DR")) {
    Collect(dr);
    if (TkvPDFDictObject* drDict =
            Fetched("the /DR of " + field, [&] { return d.ObjectStore->FetchDict(dr); }))
      fonts->Merge(
          Fetched("the /DR of " + field, [&] { return d.ObjectStore->FetchDict(drDict->Find("/Font")); }));
  }
  std::unique_ptr<TkvFontInfo> fontInfo = d.FontInfoFromDA(da, fonts.get());
  if (parentRecord && fontInfo) parentRecord->Font = fontInfo->Clone();

  int32_t flags = -1;
  if (auto* ff =
          Fetched("the /Ff of " + field, [&] { return d.ObjectStore->FetchInteger(dict->Find("/Ff")); }))
    flags = ff->Value;

  std::string fullName;
  auto title = ResolveString(dict->Find("/T"), "the /T of " + field);
  if (title)
    fullName = parentName.empty() ? title->Content() : parentName + "." + title->Content();
  else
    fullName = parentName;

  TkvAcroFormField* record = nullptr;
  auto type = ResolveName(dict->Find("/FT"), "the /FT of " + field);
  if (title && type) {
    auto field = std::make_unique<TkvAcroFormField>(d.ObjectStore.get(), fieldObj);
    field->Name = fullName;
    field->FieldType = FormFieldKind(type->Text, flags);
    field->Flags = flags;
    field->ReadOnly = flags != -1 && (flags & 1) != 0;
    field->MultiLine = flags != -1 && (flags & 0x1000) != 0;
    if (auto* maxLen = dynamic_cast<TkvPDFIntegerObject*>(dict->Find("/MaxLen")))
      field->MaxLength = maxLen->Value;
    if (auto* q = dynamic_cast<TkvPDFIntegerObject*>(dict->Find("/Q")))
      field->Quadding = static_cast<uint8_t>(q->Value);
    ReadFieldValue(*field, *dict);
    if (field->FieldType == kFieldCheckBox) field->States.push_back("Off");
    // Collected twice for every kind but push buttons: the second pass finds
    // nothing new (a listed state is skipped, a choice list is rebuilt
    // alike), so callers see the states of one pass, a check box's "Off"
    // first.
    d.CollectFieldStates(field.get(), dict);
    if (field->FieldType != kFieldPushButton) d.CollectFieldStates(field.get(), dict);
    if (fontInfo) field->Font = fontInfo->Clone();
    record = field.get();
    d.FormFields->push_back(std::move(field));
  }
  for (int i = 0; i < dict->Count(); ++i) {
    if (dict->KeyAt(i)->Text == "/Kids") continue;
    Collect(dict->ValueAt(i));
  }
  if (TkvPDFObject* kidsValue = dict->Find("/Kids")) {
    std::unique_ptr<TkvPDFArrayObject> kids =
        ResolveCopy<TkvPDFArrayObject>(kidsValue, true, "the /Kids of " + field);
    if (!kids) return;
    for (int i = 0; i < kids->Count(); ++i) {
      if (auto* kid = dynamic_cast<TkvPDFIndirectReference*>(kids->GetItem(i)))
        ReadFormField(record, fullName, da, fonts.get(), *kid);
    }
  }
}

}  // namespace pdf
