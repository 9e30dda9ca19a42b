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
    Probe(rtl::TComponent* o, std::string n, std::vector<std::string>& log) : TComponent(o), log_(log) { Name = n; }
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
  struct Case { std::string pattern; std::initializer_list<rtl::TVarRec> args; std::string expected; };
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
