#include "platform/rtl/Classes.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using rtl::TMemoryStream;

TEST(MemoryStream, ShortReadThenReadBufferRaises) {
  TMemoryStream m;
  m.WriteString("abc");
  m.SetPosition(1);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "bc");
  m.SetPosition(0);
  try {
    m.ReadBuffer(buf, 4);
    FAIL() << "no exception";
  } catch (const rtl::EReadError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }
}

TEST(MemoryStream, SeekPastEndThenWriteGrowsWithZeros) {
  TMemoryStream m;
  m.Seek(3, rtl::soBeginning);
  m.WriteString("x");
  EXPECT_EQ(m.Size(), 4);
  EXPECT_EQ(m.DataString(), std::string("\0\0\0x", 4));
}

TEST(FileStream, OpenMissingRaisesWithName) {
  try {
    rtl::TFileStream f("/nonexistent/none.pdf", rtl::fmOpenRead);
    FAIL() << "no exception";
  } catch (const rtl::EFOpenError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open file \"/nonexistent/none.pdf\""), std::string::npos);
  }
}

TEST(FileStream, CreateWriteReadBack) {
  tk::test::ScratchDir dir;
  auto path = (dir / "a.bin").string();
  {
    rtl::TFileStream f(path, rtl::fmCreate);
    f.WriteString("hello");
  }
  rtl::TFileStream f(path, rtl::fmOpenRead);
  EXPECT_EQ(f.Size(), 5);
  TMemoryStream m;
  m.CopyFrom(f, 0);
  EXPECT_EQ(m.DataString(), "hello");
}

TEST(Component, OwnerFreesOwnedLastFirst) {
  std::vector<std::string> order;
  struct Probe : rtl::TComponent {
    Probe(rtl::TComponent* o, std::string n, std::vector<std::string>& log) : TComponent(o), log_(log) {
      Name = n;
    }
    ~Probe() override { log_.push_back(Name); }
    std::vector<std::string>& log_;
  };
  {
    rtl::TComponent owner;
    new Probe(&owner, "a", order);
    auto* b = new Probe(&owner, "b", order);
    EXPECT_EQ(owner.FindComponent("B"), b);
    new Probe(&owner, "c", order);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"c", "b", "a"}));
}

TEST(Format, Patterns) {
  struct Case {
    std::string pattern;
    std::initializer_list<rtl::TVarRec> args;
    std::string expected;
  };
  const Case cases[] = {
      {"List index out of bounds (%d)", {5}, "List index out of bounds (5)"},
      {"%s-%d", {"a", -3}, "a--3"},
      {"%.3d|%5d|%-5d|", {7, 42, 42}, "007|   42|42   |"},
      {"%x %X %%", {255, 255}, "ff FF %"},
      {"%.2f", {3.14159}, "3.14"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(rtl::Format(c.pattern, c.args), c.expected);
  }
  EXPECT_THROW(rtl::Format("%d", {}), rtl::EConvertError);
  EXPECT_THROW(rtl::Format("%d", {"x"}), rtl::EConvertError);
}

}  // namespace

#include "platform/rtl/CodePages.h"

namespace {

using rtl::TStringList;

std::vector<std::string> All(const TStringList& l) {
  std::vector<std::string> v;
  for (int i = 0; i < l.Count(); ++i) v.push_back(l.Strings(i));
  return v;
}

TEST(StringList, IndexErrorsCarryTheIndex) {
  TStringList l;
  l.Add("a");
  struct Case {
    int index;
  } cases[] = {{-1}, {1}, {100}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    try {
      (void)l.Strings(c.index);
      FAIL() << "no exception";
    } catch (const rtl::EStringListError& e) {
      EXPECT_EQ(e.Message, "List index out of bounds (" + std::to_string(c.index) + ")");
    }
    EXPECT_THROW(l.Delete(c.index), rtl::EStringListError);
    EXPECT_THROW(l.Objects(c.index), rtl::EStringListError);
  }
  EXPECT_THROW(l.Insert(2, "x"), rtl::EStringListError);
  l.Insert(1, "z");  // at the end is allowed
  EXPECT_EQ(All(l), (std::vector<std::string>{"a", "z"}));
}

TEST(StringList, IndexOfIgnoresCaseUnlessAsked) {
  TStringList l;
  l.Add("Alpha");
  l.Add("beta");
  l.Add("ALPHA");
  EXPECT_EQ(l.IndexOf("alpha"), 0);
  EXPECT_EQ(l.IndexOf("BETA"), 1);
  EXPECT_EQ(l.IndexOf("gamma"), -1);
  l.CaseSensitive = true;
  EXPECT_EQ(l.IndexOf("ALPHA"), 2);
  EXPECT_EQ(l.IndexOf("alpha"), -1);
}

TEST(StringList, SortedListsAndDuplicates) {
  TStringList l;
  for (const char* s : {"pear", "Apple", "fig", "apple2", "banana"}) l.Add(s);
  l.Sort();
  EXPECT_EQ(All(l), (std::vector<std::string>{"Apple", "apple2", "banana", "fig", "pear"}));

  TStringList s;
  s.SetSorted(true);
  EXPECT_EQ(s.Add("m"), 0);
  EXPECT_EQ(s.Add("c"), 0);
  EXPECT_EQ(s.Add("x"), 2);
  EXPECT_EQ(s.Add("C"), 0);  // dupIgnore: the index of the one already there
  EXPECT_EQ(s.Count(), 3);
  EXPECT_EQ(s.IndexOf("X"), 2);
  EXPECT_THROW(s.Insert(0, "a"), rtl::EStringListError);
  s.Duplicates = rtl::dupError;
  try {
    s.Add("m");
    FAIL() << "no exception";
  } catch (const rtl::EStringListError& e) {
    EXPECT_EQ(e.Message, "String list does not allow duplicates");
  }
  s.Duplicates = rtl::dupAccept;
  s.Add("m");
  EXPECT_EQ(All(s), (std::vector<std::string>{"c", "m", "m", "x"}));
}

TEST(StringList, CommaTextQuoting) {
  using V = std::vector<std::string>;
  struct Case {
    V strings;
    const char* text;
  } cases[] = {
      {V{"a", "b"}, "a,b"},
      {V{"a b", "c"}, "\"a b\",c"},
      {V{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {V{"x,y"}, "\"x,y\""},
      {V{""}, "\"\""},
      {V{"a", "", "b"}, "a,,b"},
      {V{}, ""},
      {V{"tab\there"}, "\"tab\there\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TStringList l;
    for (const auto& s : c.strings) l.Add(s);
    EXPECT_EQ(l.CommaText(), c.text);
    TStringList back;
    back.SetCommaText(c.text);
    EXPECT_EQ(All(back), c.strings);
  }
}

TEST(StringList, SettingCommaTextSplitsAtBlanksOutsideQuotes) {
  using V = std::vector<std::string>;
  struct Case {
    std::string text;
    V strings;
  } cases[] = {
      {"a b,c", V{"a", "b", "c"}},           {"  a ,  b  ", V{"a", "b"}},    {"a,", V{"a", ""}},
      {"\"unterminated", V{"unterminated"}}, {"\"q\"x,y", V{"q", "x", "y"}}, {",", V{"", ""}},
      {std::string("\0\0=", 3), V{"="}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TStringList l;
    l.SetCommaText(c.text);
    EXPECT_EQ(All(l), c.strings);
  }
  TStringList d;
  d.Delimiter = ';';
  d.SetDelimitedText("a;b c;'x'");
  EXPECT_EQ(All(d), (V{"a", "b", "c", "'x'"}));
  d.QuoteChar = '\'';
  d.Clear();
  d.Add("p;q");
  d.Add("r");
  EXPECT_EQ(d.DelimitedText(), "'p;q';r");
}

TEST(StringList, DoubleByteTrailBytesDoNotEndAQuotedString) {
  // 0x8E 0x7C is one character of code page 932 whose trail byte is "|".
  rtl::SetACP(rtl::CP_SHIFTJIS);
  TStringList l;
  l.Delimiter = '|';
  l.Add("\x8E\x7C");
  l.Add("b");
  EXPECT_EQ(l.DelimitedText(), "\x8E\x7C|b");
  TStringList back;
  back.Delimiter = '|';
  back.SetDelimitedText("\x8E\x7C|b");
  EXPECT_EQ(All(back), (std::vector<std::string>{"\x8E\x7C", "b"}));
  rtl::SetACP(rtl::CP_UTF8);
}

TEST(StringList, TextLinesAndFiles) {
  TStringList l;
  l.SetText("one\r\ntwo\nthree\rfour");
  EXPECT_EQ(All(l), (std::vector<std::string>{"one", "two", "three", "four"}));
  EXPECT_EQ(l.Text(), "one\ntwo\nthree\nfour\n");
  l.SetText("a\n\nb\n");
  EXPECT_EQ(All(l), (std::vector<std::string>{"a", "", "b"}));

  tk::test::ScratchDir d;
  std::string f = (d / "list.txt").string();
  l.SaveToFile(f);
  EXPECT_EQ(tk::test::ReadFileBytes(f), "a\n\nb\n");
  TStringList r;
  r.LoadFromFile(f);
  EXPECT_EQ(All(r), All(l));
  EXPECT_THROW(r.LoadFromFile((d / "missing.txt").string()), rtl::EFOpenError);
}

TEST(StringList, NamesAndValues) {
  TStringList l;
  l.Add("Top=10");
  l.Add("noequals");
  l.Add("left=a=b");
  EXPECT_EQ(l.Values("TOP"), "10");
  EXPECT_EQ(l.Values("Left"), "a=b");
  EXPECT_EQ(l.Values("none"), "");
  EXPECT_EQ(l.Names(0), "Top");
  EXPECT_EQ(l.Names(1), "");
  EXPECT_EQ(l.IndexOfName("left"), 2);
  l.SetValues("top", "20");
  EXPECT_EQ(l.Strings(0), "top=20");
  l.SetValues("new", "x");
  EXPECT_EQ(l.Strings(3), "new=x");
  l.SetValues("noequals", "");  // no such name: nothing happens
  l.SetValues("left", "");
  EXPECT_EQ(All(l), (std::vector<std::string>{"top=20", "noequals", "new=x"}));
}

struct Counted : rtl::TObject {
  explicit Counted(int* c) : count(c) { ++*count; }
  ~Counted() override { --*count; }
  int* count;
};

TEST(StringList, OwnedObjectsAreFreedWithTheirEntries) {
  int alive = 0;
  {
    TStringList l(true);
    l.AddObject("a", new Counted(&alive));
    l.AddObject("b", new Counted(&alive));
    l.AddObject("c", new Counted(&alive));
    EXPECT_EQ(alive, 3);
    l.Delete(0);
    EXPECT_EQ(alive, 2);
    l.PutObject(0, new Counted(&alive));
    EXPECT_EQ(alive, 2);
    TStringList copy(l);  // a copy borrows
    EXPECT_FALSE(copy.OwnsObjects);
    EXPECT_EQ(copy.Objects(1), l.Objects(1));
  }
  EXPECT_EQ(alive, 0);
  Counted keep(&alive);
  {
    TStringList borrowed;
    borrowed.AddObject("k", &keep);
    EXPECT_EQ(borrowed.IndexOfObject(&keep), 0);
  }
  EXPECT_EQ(alive, 1);
}

TEST(StringList, OnChangeFiresOncePerUpdate) {
  TStringList l;
  int changes = 0;
  l.OnChange = [&](TStringList&) { ++changes; };
  l.Add("a");
  EXPECT_EQ(changes, 1);
  l.SetCommaText("x,y,z");
  EXPECT_EQ(changes, 2);
  l.BeginUpdate();
  l.Add("1");
  l.Add("2");
  l.EndUpdate();
  EXPECT_EQ(changes, 3);
}

}  // namespace
