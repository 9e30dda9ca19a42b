// A stand-in program for tests of starting programs and of windows across
// processes. It takes no options on its command line (the programs that
// start it pass only files), but reads "<its own path>.conf" when present:
//
//   title=<text>       register a visible top-level window with this title
//   windir=<folder>    the window directory (default: the user's)
//   single=1           when a window with the title already runs, only
//                      record the start and exit (the running one "takes" it)
//   close_delay_ms=N   the close handler works this long before it answers
//   close_title=<text> instead: find a window whose title holds the text,
//                      send it a close command, record whether it was
//                      answered, exit
//   close_wait_ms=N    with close_title: look for the window this long
//   report=<file>      with close_title: once the close is answered, record
//                      the file's lines as they are then
//   lifetime_ms=N      exit on its own after this long (default 60000)
//   watch=<file>       with title: record the file's lines when the window
//                      is up and again when the close is handled, as a
//                      program that reads its settings at start would see
//                      them and one that is closed leaves them
//
// It appends what happened to "<its own path>.log", one line each:
// "start cwd=<folder>", "argc=<n>", "arg=<argument>" per argument,
// "ready handle=<h>", "closed", "sent ok=<0|1>", "report=<line>" per line
// of the report file (or "report missing"), "watch start=<line>" and
// "watch close=<line>" per line of the watched file (or "watch start
// missing", "watch close missing").
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "platform/os/Windows.h"

namespace fs = std::filesystem;

namespace {

std::string g_log;

void Log(const std::string& line) {
  int fd = ::open(g_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string s = line + "\n";
  (void)!::write(fd, s.data(), s.size());
  ::close(fd);
}

void LogFile(const std::string& prefix, const std::string& path) {
  std::ifstream in(path);
  if (!in) Log(prefix + " missing");
  for (std::string line; std::getline(in, line);) Log(prefix + "=" + line);
}

std::map<std::string, std::string> ReadConf(const std::string& path) {
  std::map<std::string, std::string> conf;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) conf[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return conf;
}

int Num(const std::map<std::string, std::string>& c, const char* key, int def) {
  auto it = c.find(key);
  return it == c.end() ? def : std::stoi(it->second);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  g_log = self + ".log";
  auto conf = ReadConf(self + ".conf");
  Log("start cwd=" + fs::current_path().string());
  Log("argc=" + std::to_string(argc - 1));
  for (int i = 1; i < argc; ++i) Log(std::string("arg=") + argv[i]);
  if (conf.count("windir")) os::TWindowDirectory::SetDefaultFolder(conf["windir"]);
  os::TWindowDirectory& dir = os::TWindowDirectory::Default();

  if (conf.count("close_title")) {
    const std::string want = conf["close_title"];
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(Num(conf, "close_wait_ms", 0));
    for (;;) {
      for (const auto& r : dir.EnumWindows()) {
        if (r.Title.find(want) == std::string::npos) continue;
        bool ok = dir.SendMessage(r.Handle, os::WM_SYSCOMMAND, os::SC_CLOSE);
        Log(std::string("sent ok=") + (ok ? "1" : "0"));
        if (conf.count("report")) {
          std::ifstream in(conf["report"]);
          if (!in) Log("report missing");
          for (std::string line; std::getline(in, line);) Log("report=" + line);
        }
        return ok ? 0 : 1;
      }
      if (std::chrono::steady_clock::now() >= until) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Log("sent ok=0");
    return 1;
  }
  if (!conf.count("title")) return 0;
  const std::string title = conf["title"];
  if (Num(conf, "single", 0)) {
    for (const auto& r : dir.EnumWindows())
      if (r.Title == title) return 0;  // the running instance takes the files
  }
  bool closed = false;
  const int delay = Num(conf, "close_delay_ms", 0);
  os::TWindowRecord rec;
  rec.Title = title;
  rec.ClassName = "TStandIn";
  rec.Visible = true;
  rec.Style = os::WS_CAPTION | os::WS_SYSMENU | os::WS_MINIMIZEBOX;
  os::HWND h = dir.CreateWindow(rec, [&](uint32_t msg, uint64_t wparam, os::TReply reply) {
    if (msg == os::WM_CLOSE || (msg == os::WM_SYSCOMMAND && wparam == os::SC_CLOSE)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      if (conf.count("watch")) LogFile("watch close", conf["watch"]);
      Log("closed");
      closed = true;
      reply.Done();
    }
  });
  Log("ready handle=" + std::to_string(h));
  if (conf.count("watch")) LogFile("watch start", conf["watch"]);
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(Num(conf, "lifetime_ms", 60000));
  while (!closed && std::chrono::steady_clock::now() < end) {
    dir.PollMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  dir.DestroyWindow(h);
  return 0;
}
