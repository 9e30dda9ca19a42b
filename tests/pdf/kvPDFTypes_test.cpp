#include "pdf/kvPDFTypes.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <tuple>
#include <vector>

namespace {

using namespace pdf;

std::unique_ptr<TkvPDFIndirectObject> Obj(int32_t num, std::unique_ptr<TkvPDFObject> value, int32_t src = 100,
                                          uint16_t gen = 0) {
  return std::make_unique<TkvPDFIndirectObject>(src, num, gen, std::move(value));
}
std::unique_ptr<TkvPDFObject> Ref(int32_t num, int32_t src = 100, uint16_t gen = 0) {
  return std::make_unique<TkvPDFIndirectReference>(src, num, gen);
}
std::unique_ptr<TkvPDFObject> Int(int32_t v) {
  return std::make_unique<TkvPDFIntegerObject>(v);
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return std::string(e.ClassName()) + ": " + e.what();
  }
  return "";
}

TEST(ObjectStore, NumbersAndAdding) {
  TkvPDFObjectStore s;
  EXPECT_EQ(s.NextObjectNumber(), 1);
  EXPECT_EQ(s.NextObjectNumber(), 2);
  EXPECT_EQ(MessageOf([&] { s.AddObject(nullptr); }), "ENullObjectError: Expected PDF null object");
  EXPECT_EQ(MessageOf([&] { s.AddObject(Obj(-4, Int(1))); }), "EInvalidID: Invalid unique ID (-4)");
  EXPECT_EQ(s.ObjectCount(), 0);
  s.AddObject(Obj(5, Int(50)));
  s.AddObject(Obj(5, Int(51)));  // same key: kept, but the first is found
  ASSERT_EQ(s.ObjectCount(), 2);
  TkvPDFIndirectReference r(100, 5, 0);
  EXPECT_EQ(s.FindObject(r), s.ObjectAt(0));
  EXPECT_EQ(s.IndexOfKey(100, 5, 0), 0);
  EXPECT_EQ(s.IndexOfKey(101, 5, 0), -1);
  EXPECT_EQ(s.IndexOfUniqueID(10050), 0);
  EXPECT_THROW(s.ObjectAt(2), rtl::EListError);
}

TEST(ObjectStore, KeysDoNotCollideWhereUniqueIDsDo) {
  // Object 1 generation 23 and object 12 generation 3 share the text
  // "100123" but are different objects.
  TkvPDFObjectStore s;
  s.AddObject(Obj(1, Int(1), 100, 23));
  s.AddObject(Obj(12, Int(12), 100, 3));
  EXPECT_EQ(s.FetchInteger(TkvPDFIndirectReference(100, 12, 3).Clone().get())->Value, 12);
  EXPECT_EQ(s.FetchInteger(TkvPDFIndirectReference(100, 1, 23).Clone().get())->Value, 1);
  // Objects of two documents live side by side.
  s.AddObject(Obj(12, Int(99), 101, 3));
  EXPECT_EQ(s.FetchInteger(Ref(12, 101, 3).get())->Value, 99);
}

// Every key finds the first object added under it, wherever the store
// keeps its index: numbers of the first source from 1 up, other sources,
// other generations of a number, numbers far beyond the others (a damaged
// file), and such a number again once the others have grown up to it.
TEST(ObjectStore, FindsTheFirstObjectOfEveryKey) {
  struct Key {
    int32_t src, num;
    uint16_t gen;
  };
  std::vector<Key> adds;
  for (int32_t n = 1; n <= 300; ++n) adds.push_back({100, n, 0});
  adds.push_back({100, 5000, 0});                                     // beyond what the store expects
  adds.push_back({100, 2147483647, 0});                               // the largest number
  adds.push_back({100, 7, 1});                                        // another generation of a number
  adds.push_back({101, 7, 0});                                        // another document's object
  for (int32_t n = 301; n <= 6000; ++n) adds.push_back({100, n, 0});  // up to and past 5000
  adds.push_back({100, 5000, 0});  // a second object of a key: the first stays
  adds.push_back({100, 7, 0});
  adds.push_back({100, 7, 1});
  adds.push_back({101, 7, 0});

  TkvPDFObjectStore s;
  s.Reserve(300);
  std::map<std::tuple<int32_t, int32_t, int32_t>, int> first;
  for (const Key& k : adds) {
    first.try_emplace({k.src, k.num, k.gen}, s.ObjectCount());
    s.AddObject(Obj(k.num, Int(s.ObjectCount()), k.src, k.gen));
  }
  for (const auto& [key, index] : first) {
    const auto [src, num, gen] = key;
    SCOPED_TRACE(std::to_string(src) + " " + std::to_string(num) + " " + std::to_string(gen));
    EXPECT_EQ(s.IndexOfKey(src, num, gen), index);
    EXPECT_EQ(s.FindObject(TkvObjectKey{src, num, gen}), s.ObjectAt(index));
  }
  struct Missing {
    int32_t src, num, gen;
  } missing[] = {{100, 0, 0}, {100, 6001, 0}, {100, 8, 1}, {101, 8, 0}, {102, 1, 0}, {100, 4999999, 0}};
  for (const Missing& m : missing) EXPECT_EQ(s.IndexOfKey(m.src, m.num, m.gen), -1) << m.src << " " << m.num;
}

TEST(ObjectStore, Resolvers) {
  TkvPDFObjectStore s;
  s.AddObject(Obj(1, std::make_unique<TkvPDFDictObject>()));
  s.AddObject(Obj(2, Ref(3)));  // a reference to a reference
  s.AddObject(Obj(3, Int(42)));
  s.AddObject(Obj(4, std::make_unique<TkvPDFNullObject>()));
  s.AddObject(Obj(5, nullptr));
  auto missing = Ref(77);
  auto null = std::make_unique<TkvPDFNullObject>();
  EXPECT_NE(s.FetchDict(Ref(1).get()), nullptr);
  EXPECT_EQ(s.FetchDict(missing.get()), nullptr);
  EXPECT_EQ(s.FetchDict(nullptr), nullptr);
  EXPECT_EQ(s.FetchInteger(Ref(2).get())->Value, 42);
  // Null means absent, directly or through a reference ("/Resources null").
  EXPECT_EQ(s.FetchDict(null.get()), nullptr);
  EXPECT_EQ(s.FetchArray(null.get()), nullptr);
  EXPECT_EQ(s.FetchDict(Ref(4).get()), nullptr);
  EXPECT_EQ(s.FetchDict(Ref(5).get()), nullptr);
  EXPECT_EQ(MessageOf([&] { s.FetchDict(Ref(3).get()); }),
            "EUnexpectedObjectError: Unexpected PDF object encountered");
  EXPECT_THROW(s.FetchName(s.ObjectAt(0)), kvPDFUtils::EUnexpectedObjectError);  // an indirect object itself
  TkvPDFNameObject n("/X");
  EXPECT_EQ(s.FetchName(&n), &n);
  EXPECT_EQ(s.FetchDirect(Ref(2).get())->As<TkvPDFIntegerObject>().Value, 42);
  EXPECT_EQ(s.FetchDirect(s.ObjectAt(2))->As<TkvPDFIntegerObject>().Value, 42);
  EXPECT_EQ(s.FetchDirect(missing.get()), nullptr);
  EXPECT_EQ(s.FetchDirect(&n), &n);
}

TEST(ObjectStore, ReferenceCyclesRaise) {
  TkvPDFObjectStore s;
  s.AddObject(Obj(1, Ref(2)));
  s.AddObject(Obj(2, Ref(1)));
  s.AddObject(Obj(3, Ref(3)));
  for (int start : {1, 3}) {
    SCOPED_TRACE(start);
    EXPECT_THROW(s.FetchDict(Ref(start).get()), kvPDFUtils::EUnexpectedObjectError);
    EXPECT_THROW(s.FetchArray(Ref(start).get()), kvPDFUtils::EUnexpectedObjectError);
    EXPECT_THROW(s.FetchDirect(Ref(start).get()), kvPDFUtils::EUnexpectedObjectError);
  }
  EXPECT_EQ(MessageOf([&] { s.FetchInteger(Ref(3).get()); }),
            "EUnexpectedObjectError: Reference cycle through object 3 0 R");
}

TEST(ObjectStore, MergeTakesNewKeysAndFreesTheRest) {
  TkvPDFObjectStore s;
  s.AddObject(Obj(7, Int(7)));
  TkvObjectList list;
  auto* a = Obj(5, Int(5)).release();
  auto* b = Obj(7, Int(70)).release();  // key present: freed
  list.Add(UniqueID(100, 5, 0), a);
  list.Add(UniqueID(100, 7, 0), b);
  list.Add(UniqueID(100, 5, 0), a);  // the same object twice: taken once
  list.Add(0, s.ObjectAt(0));        // already ours: left alone
  s.MergeObjects(list);
  EXPECT_EQ(list.Count(), 0);
  ASSERT_EQ(s.ObjectCount(), 2);
  EXPECT_EQ(s.ObjectAt(0)->Value->As<TkvPDFIntegerObject>().Value, 7);
  EXPECT_EQ(s.ObjectAt(1), a);

  // A list holding something else is refused whole.
  TkvObjectList bad;
  TkvPDFRect rect;
  auto* c = Obj(9, Int(9)).release();
  bad.Add(1, c);
  bad.Add(2, &rect);
  EXPECT_THROW(s.MergeObjects(bad), rtl::EInvalidCast);
  EXPECT_EQ(s.ObjectCount(), 2);
  delete c;

  // Many objects: the hash index keeps loading linear.
  std::vector<std::unique_ptr<TkvPDFIndirectObject>> many;
  for (int i = 0; i < 100000; ++i) many.push_back(Obj(1000 + i, Int(i)));
  s.MergeObjects(std::move(many));
  EXPECT_EQ(s.ObjectCount(), 100002);
  EXPECT_EQ(s.FetchInteger(Ref(1000 + 99999).get())->Value, 99999);
}

TEST(Records, TrailerCatalogAndXRef) {
  TkvPDFTrailer t;
  EXPECT_EQ(t.RootNum, -1);
  EXPECT_EQ(t.EncryptObject, nullptr);
  TkvXRefItem x(1234, 'n', 2);
  EXPECT_EQ(x.Offset, 1234);
  EXPECT_EQ(x.Kind, 'n');
  EXPECT_EQ(x.Generation, 2);
  TkvPDFCatalog c;
  ASSERT_NE(c.Preferences, nullptr);
  auto d = std::make_unique<TkvPDFDictObject>();
  d->SetBoolean("/FitWindow", true);
  c.SetViewerPreferencesDict(std::move(d));
  EXPECT_TRUE(c.Preferences->FitWindow());
  c.SetViewerPreferencesDict(nullptr);
  EXPECT_FALSE(c.Preferences->FitWindow());
  EXPECT_EQ(c.Preferences->ViewerPreferencesText(), "");
  c.Preferences->SetCenterWindow(true);  // a dictionary comes back when needed
  EXPECT_TRUE(c.Preferences->CenterWindow());
}

TEST(Records, ViewerPreferences) {
  TkvPDFViewerPreferences p;
  EXPECT_EQ(p.ViewerPreferencesText(), "");
  p.SetHideToolbar(true);
  p.SetHideToolbar(true);
  EXPECT_EQ(p.Dictionary->Count(), 1);
  p.SetHideToolbar(false);
  EXPECT_EQ(p.Dictionary->Count(), 0);
  EXPECT_FALSE(p.HideToolbar());

  p.SetHideToolbar(true);
  p.Dictionary->SetBoolean("/FitWindow", false);  // False written by someone else: no line
  EXPECT_EQ(p.ViewerPreferencesText(), "<<\r\n/HideToolbar true\r\n>>");

  TkvPDFViewerPreferences q;
  q.Dictionary->SetName("/Direction", "/R2L");
  q.Dictionary->SetInteger("/HideMenubar", 1);  // not a Boolean: false, no line
  q.Dictionary->SetBoolean("/Other", true);     // not one of the written keys
  q.SetDisplayDocTitle(true);
  EXPECT_FALSE(q.HideMenubar());
  EXPECT_EQ(q.ViewerPreferencesText(), "<<\r\n/DisplayDocTitle true\r\n/Direction /R2L\r\n>>");
  const std::function<void(TkvPDFViewerPreferences&, bool)> setters[] = {
      &TkvPDFViewerPreferences::SetCenterWindow, &TkvPDFViewerPreferences::SetDisplayDocTitle,
      &TkvPDFViewerPreferences::SetFitWindow,    &TkvPDFViewerPreferences::SetHideMenubar,
      &TkvPDFViewerPreferences::SetHideToolbar,  &TkvPDFViewerPreferences::SetHideWindowUI};
  const std::function<bool(const TkvPDFViewerPreferences&)> getters[] = {
      &TkvPDFViewerPreferences::CenterWindow, &TkvPDFViewerPreferences::DisplayDocTitle,
      &TkvPDFViewerPreferences::FitWindow,    &TkvPDFViewerPreferences::HideMenubar,
      &TkvPDFViewerPreferences::HideToolbar,  &TkvPDFViewerPreferences::HideWindowUI};
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    TkvPDFViewerPreferences r;
    setters[i](r, true);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(getters[j](r), i == j);
  }
}

}  // namespace
