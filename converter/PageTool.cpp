#include "converter/PageTool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "converter/Rw_ini.h"
#include "platform/graphics/Jpeg.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

namespace {
// The bytes that may stand before a page's JPEG data.
constexpr int kJpegLeadMax = 1024;
}  // namespace

// Whether page content draws an image: an XObject (an image, or a form that
// may hold one) or an inline image, with strings, names and comments passed
// over.
bool DrawsImages(std::string_view content) {
  const size_t n = content.size();
  auto space = [](char c) { return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; };
  auto delimiter = [](char c) { return c != 0 && std::strchr("()<>[]{}/%", c) != nullptr; };
  size_t i = 0;
  while (i < n) {
    const char c = content[i];
    if (space(c)) {
      ++i;
    } else if (c == '%') {
      while (i < n && content[i] != '\n' && content[i] != '\r') ++i;
    } else if (c == '(') {
      for (int depth = 0; i < n; ++i) {
        if (content[i] == '\\') {
          ++i;
        } else if (content[i] == '(') {
          ++depth;
        } else if (content[i] == ')' && --depth == 0) {
          ++i;
          break;
        }
      }
    } else if (c == '/') {
      for (++i; i < n && !space(content[i]) && !delimiter(content[i]);) ++i;
    } else if (delimiter(c)) {
      ++i;
    } else {
      const size_t start = i;
      while (i < n && !space(content[i]) && !delimiter(content[i])) ++i;
      const std::string_view token(content.data() + start, i - start);
      if (token == "Do" || token == "BI") return true;
    }
  }
  return false;
}

// The picture gets a bitmap of the decoded pixels. The page tool writes a
// page's JPEG image as the PDF holds it: its samples as stored, or inverted
// where the image's /Decode says so, whatever marker the data carries.
// A PDF reader also takes a JPEG image from its first SOI marker, whatever
// few bytes stand before it (a line end counted into the stream, say), and
// the page tool writes those bytes as they are. Returns whether more images
// follow the image: the page tool writes an inline JPEG image with the rest
// of the page's content after it, and no image that the rest draws.
bool LoadPageJpeg(const std::string& file, graphics::TPicture& picture, bool samplesInverted) {
  graphics::TJPEGImage jpeg;
  jpeg.SampleStorage = samplesInverted ? graphics::TJPEGImage::ssInverted : graphics::TJPEGImage::ssAsStored;
  rtl::TFileStream stream(file, rtl::fmOpenRead | rtl::fmShareDenyWrite);
  uint8_t head[kJpegLeadMax + 3];
  const int64_t got = stream.Read(head, sizeof head);
  int64_t start = 0;
  while (start + 3 <= got && !(head[start] == 0xFF && head[start + 1] == 0xD8 && head[start + 2] == 0xFF))
    ++start;
  // No marker near the start: the data as it is, for the reader to refuse.
  stream.SetPosition(start + 3 <= got ? start : 0);
  jpeg.LoadFromStream(stream);
  auto bitmap = std::make_unique<graphics::TBitmap>();
  bitmap->Assign(jpeg);
  picture.TakeGraphic(std::move(bitmap));
  return DrawsImages(jpeg.TrailingData());
}

namespace fs = std::filesystem;

std::string FindPageTool(const std::string& workFolder) {
  std::string local = rtl::IncludeTrailingPathDelimiter(workFolder) + kPageToolName;
  if (rtl::FileExists(local) && ::access(local.c_str(), X_OK) == 0) return local;
  return os::FindOnPath(kPageToolName);
}

int DefaultPageTools() {
  cpu_set_t set;
  CPU_ZERO(&set);
  const int cores = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  return std::clamp(cores, 1, kMaxPageTools);
}

std::string ImageRoot(const std::string& pageFile) {
  std::string name = rtl::ExtractFileName(pageFile);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pdf") == 0) name.resize(name.size() - 4);
  return name;
}

std::vector<std::string> TPageTool::Arguments(const std::string& program, const std::string& pageFileName) {
  return {program, "-j", pageFileName, ImageRoot(pageFileName)};
}

TPageTool::~TPageTool() {
  Kill();
}

void TPageTool::Start(const std::string& workFolder, const std::string& pageFileName) {
  os::TProcessStartInfo info;
  // A tool put beside the work folders serves every converter.
  info.Program = FindPageTool(WorkRoot());
  if (info.Program.empty())
    throw rtl::Exception("Exec Error " + rtl::IntToStr(ENOENT) + ": the page tool " + kPageToolName +
                         " (Debian package " + kPageToolPackage + ") was not found");
  info.Args = Arguments(info.Program, pageFileName);
  info.WorkingDir = workFolder;
  // The tool reads nothing from us and its chatter is not ours to show.
  info.StdinFile = "/dev/null";
  info.StdoutFile = "/dev/null";
  // What the tool starts goes with it when it has to be ended, and so does
  // its hold on our standard error.
  info.NewProcessGroup = true;
  int error = 0;
  process_ = os::TProcess::Spawn(info, &error);
  if (!process_)
    throw rtl::Exception("Exec Error " + rtl::IntToStr(error) + ": " + info.Program + ": " +
                         std::strerror(error));
  exitCode_ = -1;
  termSignal_ = 0;
}

bool TPageTool::Running() {
  if (!process_) return false;
  if (process_->Wait(0) == os::WAIT_TIMEOUT) return true;
  exitCode_ = process_->ExitCode();
  termSignal_ = process_->TermSignal();
  process_.reset();
  return false;
}

std::string TPageTool::Failure(int page) const {
  const std::string head = std::string("Page tool error: ") + kPageToolName;
  const std::string where = " on page " + rtl::IntToStr(page);
  if (termSignal_ != 0)
    return head + " crashed" + where + " (signal " + rtl::IntToStr(termSignal_) + ": " +
           ::strsignal(termSignal_) + ")";
  if (exitCode_ != 0) return head + " failed" + where + " (exit status " + rtl::IntToStr(exitCode_) + ")";
  return "";
}

void TPageTool::Wait(uint32_t ms) {
  if (process_) process_->Wait(ms);
}

void TPageTool::Kill() {
  if (!process_) return;
  process_->Kill();
  process_->Wait(os::INFINITE);
  exitCode_ = process_->ExitCode();
  termSignal_ = process_->TermSignal();
  process_.reset();
}

// ---- several runs at once ----------------------------------------------------

TPageRuns::TPageRuns(std::string workFolder, int timeLimitMs)
    : work_(rtl::IncludeTrailingPathDelimiter(std::move(workFolder))), timeLimitMs_(timeLimitMs) {}

TPageRuns::~TPageRuns() {
  // Every run first, then the files: a run still going could write more.
  for (auto& [file, page] : pages_) page.tool.reset();
  while (!pages_.empty()) Release(pages_.begin()->first);
}

void TPageRuns::Start(const std::string& pageFile) {
  TPage& page = pages_[pageFile];
  page.tool = std::make_unique<TPageTool>();
  page.timedOut = false;
  // A file left from an earlier run would otherwise pass for this one's.
  for (const auto& image : Images(pageFile)) rtl::DeleteFile(work_ + image);
  page.deadline = rtl::GetTickCount64() + static_cast<uint64_t>(timeLimitMs_);
  page.tool->Start(work_, rtl::ExtractFileName(pageFile));
}

int TPageRuns::Running() const {
  int running = 0;
  for (const auto& [file, page] : pages_)
    if (page.tool && page.tool->Process()) ++running;
  return running;
}

bool TPageRuns::Ended(const std::string& pageFile) {
  auto it = pages_.find(pageFile);
  return it == pages_.end() || !it->second.tool || !it->second.tool->Running();
}

void TPageRuns::KillOverdue() {
  const uint64_t now = rtl::GetTickCount64();
  for (auto& [file, page] : pages_)
    if (page.tool && page.tool->Running() && now >= page.deadline) {
      page.tool->Kill();
      page.timedOut = true;
    }
}

void TPageRuns::Wait(uint32_t ms) {
  KillOverdue();
  std::vector<os::TProcess*> running;
  uint64_t nearest = UINT64_MAX;
  for (auto& [file, page] : pages_)
    if (page.tool && page.tool->Process()) {
      running.push_back(page.tool->Process());
      nearest = std::min(nearest, page.deadline);
    }
  if (running.empty()) return;
  // No longer than to the nearest time limit.
  const uint64_t now = rtl::GetTickCount64();
  const uint64_t untilLimit = nearest > now ? nearest - now : 0;
  os::TProcess::WaitAny(running, static_cast<uint32_t>(std::min<uint64_t>(ms, untilLimit)));
  KillOverdue();
}

bool TPageRuns::TimedOut(const std::string& pageFile) const {
  auto it = pages_.find(pageFile);
  return it != pages_.end() && it->second.timedOut;
}

std::string TPageRuns::Failure(const std::string& pageFile, int page) const {
  auto it = pages_.find(pageFile);
  if (it == pages_.end() || !it->second.tool) return "";
  return it->second.tool->Failure(page);
}

std::vector<std::string> TPageRuns::Images(const std::string& pageFile) const {
  const std::string prefix = ImageRoot(pageFile) + "-";
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(work_, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && !entry.is_directory(ec)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

void TPageRuns::Release(const std::string& pageFile) {
  auto it = pages_.find(pageFile);
  if (it != pages_.end()) it->second.tool.reset();
  for (const auto& image : Images(pageFile)) rtl::DeleteFile(work_ + image);
  if (rtl::FileExists(pageFile)) rtl::DeleteFile(pageFile);
  if (it != pages_.end()) pages_.erase(it);
}

}  // namespace converter
