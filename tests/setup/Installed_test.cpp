// Both programs installed by `cmake --install` into a prefix that the user
// may not write to, then used by that user: the setup utility writes the
// launch settings into the user's settings folder, and the converter reads
// them there, keeps its log beside them and its work folder in the user's
// cache, and converts a scan. Under root the programs run as an ordinary
// user, since root may write into a read-only folder.
#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include "platform/imagekit/ImageKit.h"
#include "platform/os/Registry.h"
#include "platform/rtl/IniFiles.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using tk::test::Count;
using tk::test::ScratchDir;

namespace {

// Every entry under root with its size and modification time.
std::map<std::string, std::string> Listing(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st;
    if (::lstat(e.path().c_str(), &st) != 0) continue;
    out[e.path().string()] = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                             std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  }
  return out;
}

// Takes the write permission off a tree for the object's lifetime.
class ReadOnlyTree {
 public:
  explicit ReadOnlyTree(fs::path root) : root_(std::move(root)) { Set(false); }
  ~ReadOnlyTree() { Set(true); }
  ReadOnlyTree(const ReadOnlyTree&) = delete;
  ReadOnlyTree& operator=(const ReadOnlyTree&) = delete;

 private:
  void Set(bool writable) {
    std::vector<fs::path> all{root_};
    for (const auto& e : fs::recursive_directory_iterator(root_))
      if (!e.is_symlink()) all.push_back(e.path());
    for (const auto& p : all) {
      struct stat st;
      if (::stat(p.c_str(), &st) != 0) continue;
      ::chmod(p.c_str(), writable ? (st.st_mode | S_IWUSR) & 07777 : st.st_mode & 07555);
    }
  }
  fs::path root_;
};

TEST(Installed, BothProgramsWorkFromAPrefixTheUserCannotWrite) {
  TK_REQUIRE_TOOL("pdfimages");
  TK_REQUIRE_TOOL("tiffinfo");
  ScratchDir scratch;
  ::chmod(scratch.path().c_str(), 0755);
  const fs::path prefix = scratch / "prefix";
  const auto install = tk::test::RunTool(
      {TK_CMAKE_COMMAND, "--install", tk::test::BuildDir().string(), "--prefix", prefix.string()});
  ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
  // The programs are links in bin/ to one folder that also holds the
  // imaging library, as the converter binds it from its own folder.
  ASSERT_TRUE(fs::is_symlink(prefix / "bin" / "tarnwick"));
  const fs::path folder = fs::canonical(prefix / "bin" / "tarnwick").parent_path();
  EXPECT_EQ(fs::canonical(prefix / "bin" / "pellwick"), folder / "pellwick");
  EXPECT_TRUE(fs::is_regular_file(folder / TK_IMAGEKIT_LIBRARY));

  const tk::test::User user = tk::test::OrdinaryUser();
  const fs::path home = scratch / "home", docs = scratch / "docs", viewer = scratch / "viewer" / "viewer",
                 runtime = scratch / "runtime", registry = scratch / "registry";
  fs::create_directories(docs);
  fs::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  tk::test::StandIn(viewer.parent_path(), "viewer", "");
  const fs::path cfgDir = home / ".config" / "PFU" / "ScanSnap";
  fs::create_directories(cfgDir);
  tk::test::WriteFileBytes(cfgDir / "pfussmon.cfg", "[USERAPP]\nAppCnt=0\n");
  os::SetRegistryFolder(registry.string());
  {
    os::TRegistry reg;
    reg.SetRootKey(os::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Quenlab\\Lumoraファイリング\\16.0", true));
    reg.WriteString("FullPath", viewer.string());
  }
  os::SetRegistryFolder("");
  fs::copy_file(tk::test::SourceDir() / "samples" / "sample-scan.pdf", docs / "scan.pdf");
  for (const auto& p : {home, docs, viewer.parent_path(), runtime, registry}) tk::test::GiveTo(p, user);

  std::vector<std::string> env = {"HOME=" + home.string(), "TK_REGISTRY_DIR=" + registry.string(),
                                  "XDG_RUNTIME_DIR=" + runtime.string(), "LANG=C.UTF-8"};
  for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);

  const ReadOnlyTree readOnly(prefix);
  const auto before = Listing(prefix);

  // The setup run, chosen at the terminal.
  const auto setup =
      tk::test::RunAs(user, {(prefix / "bin" / "pellwick").string()},
                      {.env = env, .cwd = home, .input = "y\n", .terminal = true, .timeoutMs = 60000});
  EXPECT_EQ(setup.exitCode, 0) << setup.out;
  EXPECT_EQ(Count(setup.out, "☆設定を記録しました"), 1u) << setup.out;
  EXPECT_EQ(Count(setup.out, "登録しました"), 1u) << setup.out;
  EXPECT_EQ(Count(setup.out, "☆設定が完了しました"), 1u) << setup.out;
  const fs::path settings = home / ".config" / "tarnwick";
  rtl::TIniFile ini((settings / "tarnwick.ini").string());
  EXPECT_EQ(ini.ReadInteger("App", "DoLaunch", -1), 1);
  EXPECT_EQ(ini.ReadString("App", "Launch", ""), viewer.string());
  // The scanner software is to start the installed converter itself.
  rtl::TIniFile cfg((cfgDir / "pfussmon.cfg").string());
  EXPECT_EQ(cfg.ReadString("USERAPP", "AppPath_100", ""), (folder / "tarnwick").string());

  // A conversion as the scanner software starts it: no terminal.
  const auto convert =
      tk::test::RunAs(user, {(prefix / "bin" / "tarnwick").string(), "scan.pdf"},
                      {.env = env, .cwd = docs, .input = {}, .terminal = false, .timeoutMs = 60000});
  EXPECT_EQ(convert.exitCode, 0) << convert.err;
  const auto info = tk::test::RunTool({"tiffinfo", (docs / "scan.tif").string()});
  EXPECT_EQ(Count(info.out, "TIFF Directory"), 4u) << info.out << info.err;
  EXPECT_FALSE(fs::exists(docs / "scan.pdf"));
  // It read the launch settings the setup utility wrote, and logged the
  // TIFF beside them for the next start.
  EXPECT_TRUE(tk::test::WaitFor(
      [&] {
        return tk::test::LogOf(viewer).find("arg=" + (docs / "scan.tif").string() + "\n") !=
               std::string::npos;
      },
      10000))
      << tk::test::LogOf(viewer);
  EXPECT_EQ(rtl::TIniFile((settings / "tarnwick.log").string()).ReadString("File", "Logs0", ""),
            (docs / "scan.tif").string());
  EXPECT_TRUE(fs::is_directory(home / ".cache" / "tarnwick" / "cmdline"));
  EXPECT_EQ(Listing(prefix), before);
}

}  // namespace
