// Helpers shared by every test folder: where fixtures and the shared corpus
// live, scratch folders, and running outside tools as oracles.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/rtl/CodePages.h"

namespace tk::test {

// tests/data in the source tree.
std::filesystem::path DataDir();
// The build folder's run folder (executables, the imaging library).
std::filesystem::path RunDir();
// Real files from other projects' test suites. TK_CORPUS overrides the
// default, ../shared/corpus beside the checkout.
std::filesystem::path CorpusDir();
bool CorpusAvailable();

// True under CI (the CI environment variable is "true").
bool UnderCI();

// True when an outside tool is on PATH.
bool HaveTool(const std::string& name);

struct ToolResult {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] (searched on PATH) with the arguments, no shell. stdin is
// empty; the optional input string is fed to it instead.
ToolResult RunTool(const std::vector<std::string>& argv, const std::string& input = {});

// The source tree and the build folder.
std::filesystem::path SourceDir();
std::filesystem::path BuildDir();

// Who a program runs as where permissions matter: root may write where
// nobody else may, so under root the tests run such programs as the
// account-less user 65534; otherwise as the caller itself.
struct User {
  uid_t uid;
  gid_t gid;
};
User OrdinaryUser();
// Gives the user a file or folder and everything in it (nothing to do when
// the user is the caller).
void GiveTo(const std::filesystem::path& p, User user);

struct RunOptions {
  std::vector<std::string> env;  // the whole environment, "NAME=value" each
  std::filesystem::path cwd;
  std::string input;
  // Standard input, output and error on a new pseudo-terminal, which is the
  // program's controlling terminal; out then holds everything shown on it.
  bool terminal = false;
  int timeoutMs = 60000;
};
// Runs argv[0] (a path) as user; exit code -1 when it was killed at the
// time limit.
ToolResult RunAs(User user, const std::vector<std::string>& argv, const RunOptions& options);
// Calls fn in a child process running as user; what it returned.
std::string CallAs(User user, const std::function<std::string()>& fn);

// Helper programs built for the tests (tests/helpers).
std::filesystem::path HelperDir();

// A copy of the stand-in helper program at folder/name (the folder made),
// with conf as its settings file when conf is not empty.
std::filesystem::path StandIn(const std::filesystem::path& folder, const std::string& name,
                              const std::string& conf);
// What a stand-in copy has logged so far; empty before its first line.
std::string LogOf(const std::filesystem::path& exe);

// Starts argv[0] (a path) without waiting, stdin from /dev/null, in cwd when
// given, standard error into errFile when given; returns the pid, or -1 when
// it could not start.
int StartProcess(const std::vector<std::string>& argv, const std::filesystem::path& cwd = {},
                 const std::filesystem::path& errFile = {});
// Waits up to timeoutMs for the process: its exit code, or -1 after
// killing it at the time limit.
int WaitProcess(int pid, int timeoutMs);
// True, with the exit code, when the process has ended; never waits.
bool TryWaitProcess(int pid, int& exitCode);

// Whether the process is gone: none of that number, or one that has ended
// and waits only to be reaped by whoever took it over.
bool ProcessGone(int pid);

// Polls cond every 10 ms for up to timeoutMs; true when it held.
bool WaitFor(const std::function<bool()>& cond, int timeoutMs);

// The bytes given by their values, as a string.
std::string Bytes(std::initializer_list<int> values);

// How many times what stands in s, overlapping places counted.
size_t Count(const std::string& s, const std::string& what);

std::string ReadFileBytes(const std::filesystem::path& p);
void WriteFileBytes(const std::filesystem::path& p, const std::string& bytes);

// Sets an environment variable (removes it for a null value) for the
// object's lifetime, then puts back what was there.
class EnvVar {
 public:
  EnvVar(std::string name, const char* value);
  ~EnvVar();
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Switches the system code page for the object's lifetime, then puts UTF-8,
// the code page every test starts from, back.
class SystemCodePage {
 public:
  explicit SystemCodePage(unsigned codePage) { rtl::SetACP(codePage); }
  ~SystemCodePage() { rtl::SetACP(rtl::CP_UTF8); }
  SystemCodePage(const SystemCodePage&) = delete;
  SystemCodePage& operator=(const SystemCodePage&) = delete;
};

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace tk::test

// Skips the test (or fails it under CI) when an oracle tool is missing.
#define TK_REQUIRE_TOOL(name)                                                     \
  do {                                                                            \
    if (!::tk::test::HaveTool(name)) {                                            \
      if (::tk::test::UnderCI()) FAIL() << "oracle missing under CI: " << (name); \
      GTEST_SKIP() << "oracle not installed: " << (name);                         \
    }                                                                             \
  } while (0)

// Skips the test with a message when the shared corpus is absent.
#define TK_REQUIRE_CORPUS()                                                                                \
  do {                                                                                                     \
    if (!::tk::test::CorpusAvailable()) GTEST_SKIP() << "corpus not found at " << ::tk::test::CorpusDir(); \
  } while (0)
