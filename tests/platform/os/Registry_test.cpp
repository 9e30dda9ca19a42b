#include "platform/os/Registry.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestSupport.h"

namespace {

using os::TRegistry;
using tk::test::ScratchDir;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetRegistryFolder((dir_ / "reg").string()); }
  void TearDown() override { os::SetRegistryFolder(""); }
  ScratchDir dir_;
};

TEST_F(RegistryTest, WriteThenReadAcrossObjectsIgnoringCase) {
  const std::string key = "SOFTWARE\\Quenlab\\Lumora\xE3\x83\x95\\16.0";
  {
    TRegistry r;
    r.SetRootKey(os::HKEY_LOCAL_MACHINE);
    EXPECT_FALSE(r.OpenKey(key, false));
    ASSERT_TRUE(r.OpenKey(key, true));
    r.WriteString("FullPath", "  /opt/lumora/Lumora_Filing.exe ");
    r.WriteInteger("Count", -12);
    r.WriteString("", "default");
  }
  TRegistry r;
  r.SetRootKey(os::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(r.OpenKeyReadOnly("\\software\\QUENLAB\\lumora\xE3\x83\x95\\16.0\\"));
  EXPECT_EQ(r.ReadString("fullpath"), "  /opt/lumora/Lumora_Filing.exe ");
  EXPECT_EQ(r.ReadInteger("COUNT"), -12);
  EXPECT_EQ(r.ReadString(""), "default");
  EXPECT_TRUE(r.ValueExists("FullPath"));
  EXPECT_FALSE(r.ValueExists("Other"));
  EXPECT_EQ(r.ReadString("Other"), "");
  EXPECT_THROW(r.ReadInteger("Other"), os::ERegistryException);
  EXPECT_THROW(r.ReadInteger("FullPath"), os::ERegistryException);
  EXPECT_THROW(r.ReadString("Count"), os::ERegistryException);
  EXPECT_THROW(r.WriteString("x", "y"), os::ERegistryException);  // read-only
  // The other root is another store.
  TRegistry cu;
  EXPECT_FALSE(cu.KeyExists(key));
  EXPECT_TRUE(rtl::FileExists((dir_ / "reg/HKEY_LOCAL_MACHINE.ini").string()));
}

// A store that is there but cannot be read is an error for every read, not
// a store without keys; a missing one has none.
TEST_F(RegistryTest, AStoreThatCannotBeReadIsAnError) {
  TRegistry r;
  r.SetRootKey(os::HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(r.OpenKeyReadOnly("SOFTWARE\\Quenlab"));
  std::filesystem::create_directories(dir_ / "reg" / "HKEY_LOCAL_MACHINE.ini");
  EXPECT_THROW(r.OpenKeyReadOnly("SOFTWARE\\Quenlab"), os::ERegistryException);
  EXPECT_THROW(r.KeyExists("SOFTWARE"), os::ERegistryException);
  rtl::TStringList names;
  EXPECT_THROW(r.GetKeyNames(names), os::ERegistryException);
}

TEST_F(RegistryTest, KeysRelativePathsSubkeysAndDeletion) {
  TRegistry r;
  ASSERT_TRUE(r.OpenKey("Software\\A", true));
  EXPECT_EQ(r.CurrentPath(), "Software\\A");
  ASSERT_TRUE(r.OpenKey("B\\C", true));  // relative to the open key
  EXPECT_EQ(r.CurrentPath(), "Software\\A\\B\\C");
  r.WriteString("v", "1");
  EXPECT_TRUE(r.KeyExists("\\Software\\A\\B"));  // a parent exists through its child
  EXPECT_TRUE(r.CreateKey("\\Software\\A\\D"));
  ASSERT_TRUE(r.OpenKey("\\Software\\A", false));
  rtl::TStringList names;
  r.GetKeyNames(names);
  EXPECT_EQ(names.CommaText(), "B,D");
  r.WriteString("one", "1");
  r.WriteInteger("two", 2);
  r.GetValueNames(names);
  EXPECT_EQ(names.CommaText(), "one,two");
  EXPECT_TRUE(r.DeleteValue("ONE"));
  EXPECT_FALSE(r.DeleteValue("one"));
  EXPECT_TRUE(r.DeleteKey("\\Software\\A\\B"));
  EXPECT_FALSE(r.KeyExists("\\Software\\A\\B\\C"));
  EXPECT_TRUE(r.KeyExists("\\Software\\A\\D"));
  EXPECT_FALSE(r.DeleteKey("\\Software\\None"));
  EXPECT_THROW(r.WriteString("bad", "two\nlines"), os::ERegistryException);
  r.CloseKey();
  EXPECT_THROW(r.WriteString("x", "y"), os::ERegistryException);
  EXPECT_FALSE(r.ValueExists("two"));
}

TEST_F(RegistryTest, TheFolderComesFromTheEnvironmentForChildProcesses) {
  os::SetRegistryFolder("");
  {
    const tk::test::EnvVar folder("TK_REGISTRY_DIR", "/tmp/somewhere/reg");
    EXPECT_EQ(os::RegistryFolder(), "/tmp/somewhere/reg");
  }
  const tk::test::EnvVar none("TK_REGISTRY_DIR", nullptr);
  EXPECT_EQ(rtl::ExtractFileName(os::RegistryFolder()), "registry");
}

}  // namespace
