// Page operations of the document component: the page-object closure, page
// extraction into another document or a new file, page geometry, page
// transitions and the merge of the form fields that travel with a page.
#include "pdf/kvPDFPageOps.h"

#include <charconv>
#include <cmath>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFTypes.h"

namespace pdf {

namespace {

constexpr const char* SExtractingPages = "Extracting Pages...";
constexpr const char* SExtractIntoSelf = "Cannot extract pages into the document they come from";
constexpr const char* SNoMediaBox = "Page %d has no /MediaBox";

void CheckPage(const TkvCustomPDFDocument& doc, int32_t n) {
  if (n < 1 || n > doc.PageCount()) throw EInvalidPageError(rtl::Format(SInvalidPageNumber, {n}));
}

TkvPDFDictObject& PageDict(const TkvCustomPDFDocument& doc, int32_t n) {
  TkvPDFIndirectObject* page = doc.PageList[static_cast<size_t>(n - 1)];
  auto* dict = dynamic_cast<TkvPDFDictObject*>(page->Value.get());
  if (!dict) throw kvCstPDFDoc::EUnexpectedObjectError(SUnexpectedObject);
  return *dict;
}

bool IsPageDict(const TkvPDFObject* v) {
  auto* dict = dynamic_cast<const TkvPDFDictObject*>(v);
  if (!dict) return false;
  auto* type = dynamic_cast<const TkvPDFNameObject*>(dict->Find("/Type"));
  return type && type->Text == "/Page";
}

// Splits a content text into blank-separated tokens.
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\r' || text[i] == '\n' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && !(text[i] == ' ' || text[i] == '\r' || text[i] == '\n' || text[i] == '\t')) ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

bool ParseNumber(const std::string& s, double& v) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Small classes

TkvPDFOutline::TkvPDFOutline(TkvCustomPDFDocument* document, std::unique_ptr<TkvPDFObject> value,
                             uint16_t genNum, int32_t objNum, int32_t sourceID,
                             std::vector<TkvPDFIndirectObject*>* pageList)
    : TkvPDFIndirectObject(sourceID, objNum, genNum, std::move(value)),
      Document(document),
      PageList(pageList) {}

TkvPDFOutline::~TkvPDFOutline() {
  std::unique_ptr<TkvPDFOutline> next = std::move(Next);
  while (next) next = std::move(next->Next);
}

std::unique_ptr<TkvFontInfo> TkvFontInfo::Clone() const {
  auto c = std::make_unique<TkvFontInfo>();
  c->ResourceName = ResourceName;
  if (FontRef) c->FontRef = CloneAs(*FontRef);
  c->Font = Font;
  c->Size = Size;
  c->ColorOperator = ColorOperator;
  return c;
}

uint8_t FormFieldKind(const std::string& typeName, int32_t flags) {
  if (typeName == "/Btn") {
    if (flags == -1) return kFieldCheckBox;
    if (flags & 0x10000) return kFieldPushButton;
    if (flags & 0x8000) return kFieldRadioButton;
    return kFieldCheckBox;
  }
  if (typeName == "/Tx") return kFieldText;
  if (typeName == "/Sig") return kFieldSignature;
  return kFieldChoice;
}

void ApplyBaseFontName(const std::string& text, TkvFieldFont& font) {
  std::string name = text;
  if (!name.empty() && name[0] == '/') name.erase(0, 1);
  const std::string family = name.substr(0, name.find_first_of(",-"));
  font.Name = family;
  if (family.find("Bold") != std::string::npos) font.Bold = true;
  if (family.find("Italic") != std::string::npos) font.Italic = true;
}

void TkvPageClosure::Add(std::unique_ptr<TkvPDFIndirectObject> obj) {
  index_.emplace(KeyOf(*obj), items_.size());
  items_.push_back(std::move(obj));
}

std::vector<std::unique_ptr<TkvPDFIndirectObject>> TkvPageClosure::Release() {
  index_.clear();
  return std::move(items_);
}

// ---------------------------------------------------------------------------
// Closure

std::unique_ptr<TkvPageClosure> TkvCustomPDFDocument::GetPageObjects(int32_t PageNumber) {
  CheckPage(*this, PageNumber);
  auto list = std::make_unique<TkvPageClosure>();
  TkvPDFIndirectObject* page = PageList[static_cast<size_t>(PageNumber - 1)];
  TkvPDFIndirectObject* stored = ObjectStore->FindObject(*MakeReference(*page));
  if (!stored) stored = page;
  auto copy = CloneAs(*stored);
  TkvPDFIndirectObject* raw = copy.get();
  list->Add(std::move(copy));
  CollectReferencedObjects(*list, raw->Value.get());
  return list;
}

void TkvCustomPDFDocument::CollectReferencedObjects(TkvPageClosure& List, const TkvPDFObject* Object) {
  // An explicit work list: a chain of objects referring to one another costs
  // no stack, and the closure's key set ends every cycle.
  std::vector<const TkvPDFObject*> work{Object};
  while (!work.empty()) {
    const TkvPDFObject* v = work.back();
    work.pop_back();
    if (!v) continue;
    switch (v->ObjectType) {
      case otArray: {
        const auto& a = v->As<TkvPDFArrayObject>();
        for (int i = a.Count() - 1; i >= 0; --i) work.push_back(a.GetItem(i));
        break;
      }
      case otDict: {
        const auto& d = v->As<TkvPDFDictObject>();
        for (int i = d.Count() - 1; i >= 0; --i) work.push_back(d.ValueAt(i));
        break;
      }
      case otStream:
        work.push_back(v->As<TkvPDFStreamObject>().Dict.get());
        break;
      case otIndirectReference: {
        const auto& ref = v->As<TkvPDFIndirectReference>();
        if (List.Contains(KeyOf(ref))) break;
        TkvPDFIndirectObject* stored = ObjectStore->FindObject(ref);
        if (!stored || IsPageDict(stored->Value.get())) break;
        auto copy = CloneAs(*stored);
        const TkvPDFObject* value = copy->Value.get();
        List.Add(std::move(copy));
        work.push_back(value);
        break;
      }
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Extraction

void TkvCustomPDFDocument::ExtractPagesTo(TkvCustomPDFDocument& Dest, const std::string& PageRange) {
  if (&Dest == this) throw EPDFException(SExtractIntoSelf);
  if (Dest.IsLoaded) Dest.CloseDocument();
  Dest.PDFVersion = PDFVersion;
  StatusMessage(SExtractingPages);
  TkvPageNumbers pages;
  ParsePageRange(PageRange, PageCount(), pages);
  for (size_t i = 0; i < pages.size(); ++i) {
    std::unique_ptr<TkvPageClosure> list = GetPageObjects(pages[i]);
    std::vector<std::unique_ptr<TkvPDFIndirectObject>> objects = list->Release();
    TkvPDFIndirectObject* page = objects.front().get();
    if (!Dest.ObjectStore->FindObject(*MakeReference(*page))) {
      Dest.PageList.push_back(page);
    } else {
      // The same page named twice: a further copy under a number of its
      // own, so that the written tree has two distinct page objects.
      auto again = CloneAs(*page);
      again->ObjNum = ObjectStore->NextObjectNumber();
      again->GenNum = 0;
      Dest.PageList.push_back(again.get());
      Dest.ObjectStore->AddObject(std::move(again));
    }
    Dest.MergePageFormFields(*this, page->Value->As<TkvPDFDictObject>());
    for (auto& obj : objects) {
      if (!Dest.ObjectStore->FindObject(*MakeReference(*obj))) Dest.ObjectStore->AddObject(std::move(obj));
    }
    if (OnOperationProgress)
      OnOperationProgress(this, opExtractPages, static_cast<int>(i + 1), static_cast<int>(pages.size()));
  }
  // The optional-content state travels with the pages, so that what the
  // document hides stays hidden in the extracted file (and in any image
  // taken from it). Its groups come along whole: they are small, and the
  // state names groups of every page.
  if (Catalog->OCProperties && !Dest.Catalog->OCProperties) {
    TkvPageClosure closure;
    CollectReferencedObjects(closure, Catalog->OCProperties.get());
    for (auto& obj : closure.Release())
      if (!Dest.ObjectStore->FindObject(*MakeReference(*obj))) Dest.ObjectStore->AddObject(std::move(obj));
    Dest.Catalog->OCProperties = Catalog->OCProperties->Clone();
  }
  Dest.IsLoaded = true;
}

void TkvCustomPDFDocument::ExtractPages(const std::string& FileName, const std::string& PageRange) {
  // Owned by this document as the design has it, and released on every
  // path by the smart pointer (its destructor takes it off the owner).
  auto temp = std::make_unique<TkvPDFDocument>(this);
  ExtractPagesTo(*temp, PageRange);
  temp->ShowSetupDialog = ShowSetupDialog;
  temp->SaveToFile(FileName);
}

// ---------------------------------------------------------------------------
// Geometry

void TkvCustomPDFDocument::GetPageSize(int32_t PageNumber, TkvPageSize& Size) {
  CheckPage(*this, PageNumber);
  TkvPDFDictObject& dict = PageDict(*this, PageNumber);
  TkvPDFArrayObject* box = ObjectStore->FetchArray(dict.Find("/MediaBox"));
  if (!box) throw EPDFException(rtl::Format(SNoMediaBox, {PageNumber}));
  std::unique_ptr<TkvPDFRect> rect = RectFromArray(*box);
  Size.X1 = pdf::PointsToUnit(MeasurementUnit, rect->X1);
  Size.Y1 = pdf::PointsToUnit(MeasurementUnit, rect->Y1);
  Size.X2 = pdf::PointsToUnit(MeasurementUnit, rect->X2);
  Size.Y2 = pdf::PointsToUnit(MeasurementUnit, rect->Y2);
}

int32_t TkvCustomPDFDocument::GetPageRotation(int32_t PageNumber) {
  CheckPage(*this, PageNumber);
  TkvPDFDictObject& dict = PageDict(*this, PageNumber);
  TkvPDFObject* rotate = dict.Find("/Rotate");
  if (!rotate || rotate->IsNull()) return 0;
  TkvPDFIntegerObject* value = ObjectStore->FetchInteger(rotate);
  // As the page gives it, not reduced modulo 360: -90 and 450 come back as
  // written, and a caller that turns by it reduces it itself.
  return value ? value->Value : 0;
}

void TkvCustomPDFDocument::FreeOutlines() {
  Outlines.reset();
}

// ---------------------------------------------------------------------------
// Transitions, compression, metadata

std::unique_ptr<TkvPDFDictObject> TkvCustomPDFDocument::MakeTransition(uint8_t Effect, float Duration) {
  auto t = std::make_unique<TkvPDFDictObject>();
  t->AddName("/Type", "/Trans");
  t->AddEntry("/D", std::make_unique<TkvPDFRealObject>(Duration));
  auto entries = [&](const char* s, const char* dm, const char* m) {
    t->AddName("/S", s);
    if (dm) t->AddName("/Dm", dm);
    if (m) t->AddName("/M", m);
  };
  auto wipe = [&](const char* s, int di) {
    t->AddName("/S", s);
    t->AddInteger("/Di", di);
  };
  switch (Effect) {
    case 1:
      entries("/Split", "/H", "/I");
      break;
    case 2:
      entries("/Split", "/H", "/O");
      break;
    case 3:
      entries("/Split", "/V", "/I");
      break;
    case 4:
      entries("/Split", "/V", "/O");
      break;
    case 5:
      entries("/Blinds", "/H", nullptr);
      break;
    case 6:
      entries("/Blinds", "/V", nullptr);
      break;
    case 7:
      entries("/Box", nullptr, "/I");
      break;
    case 8:
      entries("/Box", nullptr, "/O");
      break;
    case 9:
      wipe("/Wipe", 0);
      break;
    case 10:
      wipe("/Wipe", 90);
      break;
    case 11:
      wipe("/Wipe", 180);
      break;
    case 12:
      wipe("/Wipe", 270);
      break;
    case 13:
      entries("/Dissolve", nullptr, nullptr);
      break;
    case 14:
      wipe("/Glitter", 0);
      break;
    case 15:
      wipe("/Glitter", 270);
      break;
    case 16:
      wipe("/Glitter", 315);
      break;
    default:
      entries("/R", nullptr, nullptr);
      break;
  }
  return t;
}

void TkvCustomPDFDocument::SetPageTransition(const std::string& PageRange, uint8_t Effect, float Duration) {
  TkvPageNumbers pages;
  ParsePageRange(PageRange, PageCount(), pages);
  for (int32_t n : pages) PageDict(*this, n).SetValue("/Trans", MakeTransition(Effect, Duration));
}

void TkvCustomPDFDocument::SetCompression(uint8_t Kind, uint8_t Level) {
  Compression.Enabled = 1;
  Compression.Kind = Kind;
  Compression.Level = Level;
}

void TkvCustomPDFDocument::GetMetadataText(std::string& Text) {
  Text.clear();
  if (!Catalog->Metadata) return;
  TkvPDFStreamObject* stream = ObjectStore->FetchStream(Catalog->Metadata.get());
  if (!stream || !stream->HasData()) return;
  Text = stream->StoredBytes();
}

// ---------------------------------------------------------------------------
// Form fields

std::string TkvCustomPDFDocument::MakeUniqueFieldName(const std::string& Base) const {
  int counter = 2;
  std::string candidate = Base + "2";
  if (!FormFields) return candidate;
  bool clash = true;
  while (clash) {
    clash = false;
    for (const auto& f : *FormFields) {
      if (f->Name == candidate) {
        ++counter;
        candidate = Base + std::to_string(counter);
        clash = true;
      }
    }
  }
  return candidate;
}

TkvPDFDictObject* TkvCustomPDFDocument::MergeDefaultResources(const TkvPDFDictObject* Src,
                                                              TkvPDFDictObject* Dst) {
  if (!Src || !Dst) return Dst;
  static const char* const kCategories[] = {"/ExtGState", "/ColorSpace", "/Pattern", "/Shading",
                                            "/XObject",   "/Font",       "/ProcSet", "/Properties"};
  for (const char* cat : kCategories) {
    TkvPDFObject* s = Src->Find(cat);
    if (!s) continue;
    TkvPDFObject* dv = Dst->Find(cat);
    auto* dd = dynamic_cast<TkvPDFDictObject*>(dv);
    auto* sd = dynamic_cast<TkvPDFDictObject*>(s);
    if (dd && sd)
      dd->Merge(sd);
    else if (!dv)
      Dst->AddEntry(cat, s->Clone());
  }
  return Dst;
}

void TkvCustomPDFDocument::CollectFieldStates(TkvAcroFormField* Field, const TkvPDFDictObject* WidgetDict) {
  if (!Field || !WidgetDict) return;
  auto addState = [&](const std::string& s) {
    if (std::find(Field->States.begin(), Field->States.end(), s) == Field->States.end())
      Field->States.push_back(s);
  };
  try {
    if (Field->FieldType == kFieldRadioButton || Field->FieldType == kFieldCheckBox) {
      TkvPDFDictObject* ap = ObjectStore->FetchDict(WidgetDict->Find("/AP"));
      TkvPDFDictObject* n = ap ? ObjectStore->FetchDict(ap->Find("/N")) : nullptr;
      if (!n) return;
      const bool noOff =
          Field->FieldType == kFieldRadioButton && Field->Flags != -1 && (Field->Flags & 16384);
      for (int i = 0; i < n->Count(); ++i) {
        const std::string& key = n->KeyAt(i)->Text;
        if (noOff && key == "/Off") continue;
        addState(n->KeyAt(i)->BareName());
      }
    } else if (Field->FieldType == kFieldChoice) {
      TkvPDFArrayObject* opt = ObjectStore->FetchArray(WidgetDict->Find("/Opt"));
      if (!opt) return;
      Field->States.clear();
      for (int i = 0; i < opt->Count(); ++i) {
        TkvPDFObject* item = opt->GetItem(i);
        if (item->IsString()) {
          Field->States.push_back(item->As<TkvPDFStringObject>().Content());
        } else if (item->IsArray()) {
          const auto& pair = item->As<TkvPDFArrayObject>();
          for (int k = 0; k < pair.Count(); k += 2)
            if (auto* s = dynamic_cast<TkvPDFStringObject*>(pair.GetItem(k)))
              Field->States.push_back(s->Content());
        }
      }
    }
  } catch (const rtl::Exception&) {
    // A widget whose appearance entries are of the wrong type has no states.
  }
}

std::unique_ptr<TkvFontInfo> TkvCustomPDFDocument::FontInfoFromDA(const std::string& DA,
                                                                  const TkvPDFDictObject* FontDict) {
  if (DA.empty() || !FontDict) return nullptr;
  auto info = std::make_unique<TkvFontInfo>();
  // Whole tokens only: an operator is matched as a token of its own, and a
  // missing operand leaves the value absent.
  const std::vector<std::string> tokens = Tokens(DA);
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i] == "rg" && i >= 3) {
      info->ColorOperator = tokens[i - 3] + " " + tokens[i - 2] + " " + tokens[i - 1] + " rg";
      break;
    }
  }
  if (info->ColorOperator.empty()) {
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i] == "g" && i >= 1) {
        info->ColorOperator = tokens[i - 1] + " g";
        break;
      }
    }
  }
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i] != "Tf" || i < 2) continue;
    const std::string& key = tokens[i - 2];
    TkvPDFObject* fontValue = FontDict->Find(key);
    if (!fontValue) return info;
    info->ResourceName = key;
    if (auto* ref = dynamic_cast<TkvPDFIndirectReference*>(fontValue)) info->FontRef = CloneAs(*ref);
    double size = 0;
    if (ParseNumber(tokens[i - 1], size)) {
      info->Size = size;
      info->Font.Size = static_cast<int>(std::lround(size));
    }
    try {
      if (TkvPDFDictObject* font = ObjectStore->FetchDict(fontValue)) {
        if (auto* base = dynamic_cast<TkvPDFNameObject*>(font->Find("/BaseFont")))
          ApplyBaseFontName(base->Text, info->Font);
      }
    } catch (const rtl::Exception&) {
    }
    break;
  }
  return info;
}

void TkvCustomPDFDocument::MergePageFormFields(TkvCustomPDFDocument& Source, TkvPDFDictObject& PageDict) {
  if (!Source.FormFields) return;
  TkvPDFObjectStore& src = *Source.ObjectStore;
  TkvPDFDictObject* sourceAcro =
      Source.Catalog->AcroForm ? src.FetchDict(Source.Catalog->AcroForm.get()) : nullptr;
  TkvPDFArrayObject* sourceFields = sourceAcro ? src.FetchArray(sourceAcro->Find("/Fields")) : nullptr;
  TkvPDFArrayObject* pageAnnots = src.FetchArray(PageDict.Find("/Annots"));
  auto annots = pageAnnots ? CloneAs(*pageAnnots) : std::make_unique<TkvPDFArrayObject>();

  if (!FormFields) FormFields = std::make_unique<std::vector<std::unique_ptr<TkvAcroFormField>>>();
  TkvPDFDictObject* destAcro = Catalog->AcroForm ? ObjectStore->FetchDict(Catalog->AcroForm.get()) : nullptr;
  std::unique_ptr<TkvPDFArrayObject> ownFields;  // for a destination without a form yet
  std::unique_ptr<TkvPDFArrayObject> ownCO;
  TkvPDFArrayObject* destFields = destAcro ? ObjectStore->FetchArray(destAcro->Find("/Fields")) : nullptr;
  TkvPDFArrayObject* destCO = destAcro ? ObjectStore->FetchArray(destAcro->Find("/CO")) : nullptr;

  auto sourceFieldOf = [&](int32_t objNum) -> TkvAcroFormField* {
    for (const auto& f : *Source.FormFields)
      if (f->FieldObject && f->FieldObject->ObjNum == objNum) return f.get();
    return nullptr;
  };
  auto annotsHold = [&](int32_t objNum) {
    for (int i = 0; i < annots->Count(); ++i)
      if (auto* r = dynamic_cast<TkvPDFIndirectReference*>(annots->GetItem(i)); r && r->ObjNum == objNum)
        return true;
    return false;
  };
  auto mergeClosure = [&](const TkvPDFObject* v) {
    TkvPageClosure closure;
    Source.CollectReferencedObjects(closure, v);
    for (auto& obj : closure.Release())
      if (!ObjectStore->FindObject(*MakeReference(*obj))) ObjectStore->AddObject(std::move(obj));
  };

  for (int k = 0; k < annots->Count(); ++k) {
    auto* annot = dynamic_cast<TkvPDFIndirectReference*>(annots->GetItem(k));
    if (!annot) continue;
    if (!sourceFieldOf(annot->ObjNum)) {
      bool replaced = false, skip = true;
      for (int j = 0; sourceFields && j < sourceFields->Count() && !replaced; ++j) {
        auto* parentRef = dynamic_cast<TkvPDFIndirectReference*>(sourceFields->GetItem(j));
        if (!parentRef) continue;
        TkvPDFDictObject* parent = src.FetchDict(parentRef);
        TkvPDFArrayObject* kids = parent ? src.FetchArray(parent->Find("/Kids")) : nullptr;
        for (int m = 0; kids && m < kids->Count(); ++m) {
          auto* kid = dynamic_cast<TkvPDFIndirectReference*>(kids->GetItem(m));
          if (!kid || kid->ObjNum != annot->ObjNum) continue;
          replaced = true;
          if (!annotsHold(parentRef->ObjNum)) {
            std::unique_ptr<TkvPDFObject> old = annots->PutItem(k, CloneAs(*parentRef));
            skip = false;
          }
          break;
        }
      }
      if (skip) continue;
    }
    auto& ref = annots->GetItem(k)->As<TkvPDFIndirectReference>();
    TkvAcroFormField* sourceField = sourceFieldOf(ref.ObjNum);
    if (!sourceField) continue;

    std::unique_ptr<TkvPDFIndirectObject> copied;
    TkvPDFIndirectObject* fieldObj = ObjectStore->FindObject(ref);
    if (!fieldObj) {
      copied = CloneAs(*sourceField->FieldObject);
      fieldObj = copied.get();
    }
    auto field = std::make_unique<TkvAcroFormField>(sourceField->Store, fieldObj);
    std::string name = sourceField->Name;
    if (MergeOptions.Contains(moRenameLikeNameFields)) {
      for (const auto& f : *FormFields) {
        if (f->Name != name) continue;
        if (OnRenameField) {
          std::string newName;
          bool rename = false;
          OnRenameField(this, name, newName, rename);
          if (rename) name = newName;
          break;
        }
        name = MakeUniqueFieldName(name);
      }
    }
    field->Name = name;
    if (name != sourceField->Name) {
      // The last part of the qualified name is the field's own /T; a real
      // string object, so the writer escapes any ")" or "\" in it.
      const size_t dot = name.rfind('.');
      const std::string own = dot == std::string::npos ? name : name.substr(dot + 1);
      if (auto* fd = dynamic_cast<TkvPDFDictObject*>(fieldObj->Value.get()))
        fd->SetValue("/T", std::make_unique<TkvPDFStringObject>("(" + own + ")"));
    }
    field->Value = sourceField->Value;
    field->ExtraText = sourceField->ExtraText;
    field->FieldType = sourceField->FieldType;
    if (sourceField->Font) field->Font = sourceField->Font->Clone();
    field->ReadOnly = sourceField->ReadOnly;
    field->MultiLine = sourceField->MultiLine;
    field->MaxLength = sourceField->MaxLength;
    field->States = sourceField->States;
    field->Flags = sourceField->Flags;
    field->Quadding = sourceField->Quadding;
    TkvAcroFormField* added = field.get();
    FormFields->push_back(std::move(field));

    if (destAcro && !destAcro->Find("/NeedAppearances"))
      destAcro->AddEntry("/NeedAppearances", std::make_unique<TkvPDFBooleanObject>(true));
    if (copied) ObjectStore->AddObject(std::move(copied));
    if (!destFields) {
      ownFields = std::make_unique<TkvPDFArrayObject>();
      destFields = ownFields.get();
    }
    destFields->Add(MakeReference(*fieldObj));
    mergeClosure(fieldObj->Value.get());
    added->Store = ObjectStore.get();

    std::unique_ptr<TkvPDFObject> sourceDA;
    TkvPDFDictObject* sourceDR = nullptr;
    if (sourceAcro) {
      if (TkvPDFObject* da = sourceAcro->Find("/DA")) sourceDA = da->Clone();
      sourceDR = src.FetchDict(sourceAcro->Find("/DR"));
      if (sourceDR) mergeClosure(sourceDR);
      if (TkvPDFArrayObject* co = src.FetchArray(sourceAcro->Find("/CO"))) {
        for (int i = 0; i < co->Count(); ++i) mergeClosure(co->GetItem(i));
        if (!destCO) {
          ownCO = CloneAs(*co);
          destCO = ownCO.get();
        } else {
          for (int i = 0; i < co->Count(); ++i) destCO->Add(co->GetItem(i)->Clone());
        }
      }
    }
    TkvPDFDictObject* destDR = destAcro ? ObjectStore->FetchDict(destAcro->Find("/DR")) : nullptr;
    if (destAcro && destDR)
      MergeDefaultResources(sourceDR, destDR);
    else if (destAcro && sourceDR && !destAcro->Find("/DR"))
      destAcro->AddEntry("/DR", sourceDR->Clone());

    if (!destAcro) {
      auto form = std::make_unique<TkvPDFDictObject>();
      form->AddEntry("/Fields", ownFields ? std::move(ownFields) : std::make_unique<TkvPDFArrayObject>());
      if (sourceDA) form->AddEntry("/DA", std::move(sourceDA));
      if (sourceDR) form->AddEntry("/DR", sourceDR->Clone());
      if (ownCO)
        form->AddEntry("/CO", std::move(ownCO));
      else if (destCO)
        form->AddEntry("/CO", destCO->Clone());
      if (sourceAcro) {
        if (auto* na = dynamic_cast<TkvPDFBooleanObject*>(sourceAcro->Find("/NeedAppearances")))
          form->AddEntry("/NeedAppearances", std::make_unique<TkvPDFBooleanObject>(na->Value));
      }
      // Keyed with this document's own id: no copied object has that key.
      auto obj = std::make_unique<TkvPDFIndirectObject>(
          static_cast<int32_t>(DocumentID), ObjectStore->NextObjectNumber(), 0, std::move(form), true);
      Catalog->AcroForm = MakeReference(*obj);
      destAcro = &obj->Value->As<TkvPDFDictObject>();
      destFields = ObjectStore->FetchArray(destAcro->Find("/Fields"));
      destCO = ObjectStore->FetchArray(destAcro->Find("/CO"));
      ObjectStore->AddObject(std::move(obj));
    }
  }
}

// ---------------------------------------------------------------------------

bool TkvCustomPDFDocument::IsOwner() const {
  return !IsEncrypted || !Decryptor || Decryptor->OwnerAuthenticated;
}

TkvPDFViewerPreferences* TkvCustomPDFDocument::ViewerPreferences() const {
  return Catalog->Preferences.get();
}

}  // namespace pdf
