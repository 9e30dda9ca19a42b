#include "pdf/kvPDFObjects.h"

#include <gtest/gtest.h>

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>

#include "pdf/kvPDFUtils.h"

namespace {

using namespace pdf;

std::unique_ptr<TkvPDFObject> Int(int32_t v) {
  return std::make_unique<TkvPDFIntegerObject>(v);
}
std::unique_ptr<TkvPDFObject> Name(const char* n) {
  return std::make_unique<TkvPDFNameObject>(n);
}

int IntAt(const TkvPDFDictObject& d, int i) {
  return d.ValueAt(i)->As<TkvPDFIntegerObject>().Value;
}

TEST(PDFObjects, TypeCodesTestsAndNames) {
  std::unique_ptr<TkvPDFObject> objs[] = {
      std::make_unique<TkvPDFBooleanObject>(true),
      std::make_unique<TkvPDFIntegerObject>(1),
      std::make_unique<TkvPDFInt64Object>(1),
      std::make_unique<TkvPDFRealObject>(1.5),
      std::make_unique<TkvPDFStringObject>("(a)"),
      std::make_unique<TkvPDFNameObject>("/A"),
      std::make_unique<TkvPDFArrayObject>(),
      std::make_unique<TkvPDFDictObject>(),
      std::make_unique<TkvPDFStreamObject>(std::make_unique<TkvPDFDictObject>()),
      std::make_unique<TkvPDFNullObject>(),
      std::make_unique<TkvPDFIndirectReference>(1, 2, 0),
      std::make_unique<TkvPDFIndirectObject>(1, 2, 0, nullptr),
  };
  const char* names[] = {"Boolean Object",
                         "Integer Object",
                         "Int64 Object",
                         "Real Object",
                         "String Object",
                         "Name Object",
                         "Array Object",
                         "Dictionary Object",
                         "Stream Object",
                         "Null Object",
                         "IndirectReference Object",
                         "Indirect Object"};
  for (int code = 0; code < 12; ++code) {
    SCOPED_TRACE(code);
    const TkvPDFObject& o = *objs[code];
    EXPECT_EQ(o.ObjectType, code);
    EXPECT_EQ(o.TypeName(), names[code]);
    bool tests[] = {o.IsBoolean(), o.IsInteger(), o.IsInt64(),     o.IsReal(),
                    o.IsString(),  o.IsName(),    o.IsArray(),     o.IsDict(),
                    o.IsStream(),  o.IsNull(),    o.IsReference(), o.IsIndirectObject()};
    for (int t = 0; t < 12; ++t) EXPECT_EQ(tests[t], t == code) << "test " << t;
    // A clone is of the same class.
    EXPECT_EQ(o.Clone()->ObjectType, code);
  }
  EXPECT_THROW(objs[0]->As<TkvPDFDictObject>(), rtl::EInvalidCast);
}

TEST(PDFObjects, ValueText) {
  struct Case {
    std::unique_ptr<TkvPDFObject> obj;
    const char* text;
  };
  Case cases[] = {
      {std::make_unique<TkvPDFBooleanObject>(false), "false"},
      {std::make_unique<TkvPDFBooleanObject>(true), "true"},
      {std::make_unique<TkvPDFIntegerObject>(-42), "-42"},
      {std::make_unique<TkvPDFIntegerObject>(INT32_MIN), "-2147483648"},
      {std::make_unique<TkvPDFInt64Object>(2147483648LL), "2147483648"},
      {std::make_unique<TkvPDFRealObject>(0.5), "0.5"},
      {std::make_unique<TkvPDFRealObject>(-612.25), "-612.25"},
      {std::make_unique<TkvPDFRealObject>(1e-6), "0.000001"},
      {std::make_unique<TkvPDFRealObject>(1e20), "100000000000000000000"},
      {std::make_unique<TkvPDFRealObject>(0.1), "0.1"},
      {std::make_unique<TkvPDFRealObject>(-0.0), "0"},
      {std::make_unique<TkvPDFRealObject>(std::numeric_limits<double>::quiet_NaN()), "0"},
      {std::make_unique<TkvPDFNameObject>("/A"), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.obj->ValueText(), c.text);
  }
}

TEST(PDFObjects, RealTextReadsBackExactlyAndNeverHasExponent) {
  const double values[] = {1.0 / 3, 2.0 / 3 * 1e-9,         123456789.123456789,
                           5e-324,  1.7976931348623157e308, 72.0 / 25.4};
  for (double v : values) {
    SCOPED_TRACE(v);
    std::string t = TkvPDFRealObject(v).ValueText();
    EXPECT_EQ(t.find_first_of("eE"), std::string::npos);
    double back = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), back);
    ASSERT_EQ(r.ec, std::errc());
    EXPECT_EQ(back, v);
  }
}

TEST(PDFObjects, RealTextIgnoresLocale) {
  // Whatever the process locale says, "." is the separator.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
    GTEST_SKIP() << "no comma locale installed";
  EXPECT_EQ(TkvPDFRealObject(0.5).ValueText(), "0.5");
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(PDFObjects, StringAndNameAccessors) {
  EXPECT_EQ(TkvPDFStringObject("(abc)").Content(), "abc");
  EXPECT_EQ(TkvPDFStringObject("").Content(), "");
  EXPECT_EQ(TkvPDFStringObject("<41>", true).Content(), "41");
  EXPECT_EQ(TkvPDFNameObject("/Type").BareName(), "Type");
  EXPECT_EQ(TkvPDFNameObject("/A#20B").Text, "/A#20B");
}

TEST(PDFArray, Operations) {
  TkvPDFArrayObject a;
  EXPECT_EQ(a.AddInteger(1), 0);
  EXPECT_EQ(a.Add(Int(3)), 1);
  a.Insert(1, Int(2));
  ASSERT_EQ(a.Count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a.GetItem(i)->As<TkvPDFIntegerObject>().Value, i + 1);
  EXPECT_EQ(a.GetItem(5), nullptr);
  EXPECT_EQ(a.GetItem(-1), nullptr);
  auto old = a.PutItem(0, Name("/X"));
  EXPECT_EQ(old->As<TkvPDFIntegerObject>().Value, 1);  // handed back, not freed
  EXPECT_TRUE(a.GetItem(0)->IsName());
  a.Delete(0);
  EXPECT_EQ(a.Count(), 2);
  EXPECT_THROW(a.Delete(2), rtl::EListError);
  EXPECT_THROW(a.PutItem(2, Int(0)), rtl::EListError);
  EXPECT_THROW(a.Insert(4, Int(0)), rtl::EListError);
  EXPECT_THROW(a.Add(nullptr), ENullObjectError);
  EXPECT_EQ(a.Count(), 2);
}

TEST(PDFDict, DuplicateKeysFirstMatchWins) {
  TkvPDFDictObject d;
  d.AddEntry("/K", Int(1));
  d.AddEntry("/K", Int(2));
  d.AddEntry("/k", Int(3));  // case matters
  EXPECT_EQ(d.Count(), 3);
  EXPECT_EQ(d.Find("/K")->As<TkvPDFIntegerObject>().Value, 1);
  EXPECT_EQ(d.IndexOf("/k"), 2);
  EXPECT_EQ(d.Find("K"), nullptr);  // key texts carry the slash
  d.SetValue("/K", Int(10));
  EXPECT_EQ(IntAt(d, 0), 10);
  EXPECT_EQ(IntAt(d, 1), 2);
  d.Remove("/K");
  ASSERT_EQ(d.Count(), 2);
  EXPECT_EQ(IntAt(d, 0), 2);
  EXPECT_EQ(d.KeyAt(1)->Text, "/k");
}

TEST(PDFDict, SettersKeepOrderAndAddName) {
  TkvPDFDictObject d;
  d.AddInteger("/A", 1);
  d.AddName("/B", "/Name");
  d.AddName("/C", "");  // empty: nothing added
  EXPECT_EQ(d.Count(), 2);
  d.AddInteger("/D", 4);
  d.SetName("/B", "/Other");
  d.SetBoolean("/E", true);
  d.SetInteger("/A", 7);
  const char* keys[] = {"/A", "/B", "/D", "/E"};
  ASSERT_EQ(d.Count(), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.KeyAt(i)->Text, keys[i]);
  EXPECT_EQ(IntAt(d, 0), 7);
  EXPECT_EQ(d.ValueAt(1)->As<TkvPDFNameObject>().Text, "/Other");
  EXPECT_TRUE(d.ValueAt(3)->As<TkvPDFBooleanObject>().Value);
  TkvPDFNameObject key("/D");
  d.SetByName(key, Int(40));
  EXPECT_EQ(IntAt(d, 2), 40);
  EXPECT_EQ(key.Text, "/D");  // the key object is not taken over
}

TEST(PDFDict, IndexErrors) {
  TkvPDFDictObject d;
  d.AddInteger("/A", 1);
  auto old = d.PutValueAt(0, Int(2));
  EXPECT_EQ(old->As<TkvPDFIntegerObject>().Value, 1);
  try {
    d.PutValueAt(1, Int(3));
    FAIL();
  } catch (const EInvalidIndex& e) {
    EXPECT_STREQ(e.what(), "Index Out Of Bounds!");
  }
  EXPECT_THROW(d.PutValueAt(-1, Int(3)), rtl::EListError);
  EXPECT_THROW(d.KeyAt(1), rtl::EListError);
  EXPECT_THROW(d.ValueAt(-1), rtl::EListError);
  EXPECT_THROW(d.DeleteAt(1), rtl::EListError);
  EXPECT_THROW(d.AddEntry("/B", nullptr), ENullObjectError);
  EXPECT_THROW(d.SetValue("/A", nullptr), ENullObjectError);
  EXPECT_EQ(d.Count(), 1);
  d.DeleteAt(0);
  EXPECT_EQ(d.Count(), 0);
}

TEST(PDFDict, MergeClonesAndReplaces) {
  TkvPDFDictObject a, b;
  a.AddInteger("/A", 1);
  a.AddInteger("/B", 2);
  b.AddInteger("/B", 20);
  b.AddInteger("/C", 30);
  a.Merge(&b);
  a.Merge(nullptr);
  ASSERT_EQ(a.Count(), 3);
  EXPECT_EQ(IntAt(a, 1), 20);
  EXPECT_EQ(IntAt(a, 2), 30);
  EXPECT_NE(a.ValueAt(2), b.ValueAt(1));  // a clone, not the same object
  a.Merge(&a);
  EXPECT_EQ(a.Count(), 3);
}

// A small tree with every container kind: the clone must be deep and
// independent, which the sanitizers check when the source dies first.
std::unique_ptr<TkvPDFIndirectObject> SampleTree() {
  auto dict = std::make_unique<TkvPDFDictObject>();
  dict->AddEntry("/Type", Name("/Page"));
  dict->AddEntry("/Dup", Int(1));
  dict->AddEntry("/Dup", Int(2));
  auto arr = std::make_unique<TkvPDFArrayObject>();
  arr->Add(std::make_unique<TkvPDFRealObject>(1.25));
  arr->Add(std::make_unique<TkvPDFStringObject>("<4142>", true));
  arr->Add(std::make_unique<TkvPDFIndirectReference>(100, 5, 0));
  arr->Add(std::make_unique<TkvPDFNullObject>());
  dict->AddEntry("/Kids", std::move(arr));
  auto sdict = std::make_unique<TkvPDFDictObject>();
  sdict->AddInteger("/Length", 3);
  auto data = std::make_unique<rtl::TMemoryStream>();
  data->WriteString("xyz");
  dict->AddEntry("/S", std::make_unique<TkvPDFStreamObject>(std::move(sdict), std::move(data)));
  auto obj = std::make_unique<TkvPDFIndirectObject>(100, 4, 2, std::move(dict), true);
  obj->OutputObjNum = 9;
  return obj;
}

TEST(PDFObjects, CloneIsDeepAndIndependent) {
  auto src = SampleTree();
  auto copy = CloneAs(*src);
  src.reset();  // freeing the source leaves the clone intact
  EXPECT_EQ(copy->SourceID, 100);
  EXPECT_EQ(copy->ObjNum, 4);
  EXPECT_EQ(copy->GenNum, 2);
  EXPECT_EQ(copy->RefCount, 1);
  EXPECT_EQ(copy->OutputObjNum, 9);
  auto& d = copy->Value->As<TkvPDFDictObject>();
  ASSERT_EQ(d.Count(), 5);
  EXPECT_EQ(d.KeyAt(2)->Text, "/Dup");  // duplicates and order kept
  EXPECT_EQ(IntAt(d, 2), 2);
  auto& arr = d.Find("/Kids")->As<TkvPDFArrayObject>();
  ASSERT_EQ(arr.Count(), 4);
  EXPECT_EQ(arr.GetItem(0)->As<TkvPDFRealObject>().Value, 1.25);
  EXPECT_TRUE(arr.GetItem(1)->As<TkvPDFStringObject>().IsHex);
  EXPECT_EQ(arr.GetItem(2)->As<TkvPDFIndirectReference>().ObjNum, 5);
  auto& s = d.Find("/S")->As<TkvPDFStreamObject>();
  ASSERT_TRUE(s.Data);
  EXPECT_EQ(s.Data->DataString(), "xyz");
  EXPECT_EQ(s.Data->Position(), 0);
  EXPECT_EQ(s.Dict->Find("/Length")->As<TkvPDFIntegerObject>().Value, 3);
}

TEST(PDFObjects, CloneWithoutDataOrValue) {
  TkvPDFStreamObject s(std::make_unique<TkvPDFDictObject>());
  auto c = CloneAs(s);
  EXPECT_EQ(c->Data, nullptr);
  ASSERT_NE(c->Dict, nullptr);
  TkvPDFIndirectObject o(1, 2, 3, nullptr);
  EXPECT_EQ(CloneAs(o)->Value, nullptr);
}

TEST(PDFObjects, SecondContainerGetsAClone) {
  // Placing the same object in two containers is done by cloning; each
  // container frees only its own (ASan reports a double free otherwise).
  auto item = std::make_unique<TkvPDFNameObject>("/Shared");
  TkvPDFArrayObject a, b;
  b.Add(item->Clone());
  a.Add(std::move(item));
  EXPECT_NE(a.GetItem(0), b.GetItem(0));
}

TEST(PDFUtilsKeys, UniqueIDAndKey) {
  EXPECT_EQ(UniqueID(100, 12, 0), 100120);
  EXPECT_EQ(UniqueID(100, 5, 0), 10050);
  EXPECT_EQ(UniqueID(101, 12, 1), 101121);
  // The decimal text collides; the key does not.
  EXPECT_EQ(UniqueID(100, 1, 23), UniqueID(100, 12, 3));
  EXPECT_FALSE(KeyOf(TkvPDFIndirectReference(100, 1, 23)) == KeyOf(TkvPDFIndirectReference(100, 12, 3)));
  EXPECT_TRUE(KeyOf(TkvPDFIndirectReference(100, 12, 3)) == KeyOf(TkvPDFIndirectObject(100, 12, 3, nullptr)));
  // Beyond 32 bits the text is still right; beyond 64 bits or negative: -1.
  EXPECT_EQ(UniqueID(100, 123456, 0), 1001234560);
  EXPECT_EQ(UniqueID(2147483647, 2147483647, 65535), -1);
  EXPECT_EQ(UniqueID(100, -1, 0), -1);
  EXPECT_EQ(DigitCount(0), 1);
  EXPECT_EQ(DigitCount(999), 3);
  EXPECT_EQ(DigitCount(1000), 4);
  auto ref = MakeReference(TkvPDFIndirectObject(7, 8, 9, nullptr));
  EXPECT_EQ(ref->SourceID, 7);
  EXPECT_EQ(ref->ObjNum, 8);
  EXPECT_EQ(ref->GenNum, 9);
}

}  // namespace
