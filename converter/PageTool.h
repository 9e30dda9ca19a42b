// The outside tool that writes the raster images of a one-page PDF file
// ("pdfimages" of poppler-utils). It is started by argument vector, never
// through a shell, in the work folder, once per page, on the page's own file:
//   pdfimages -j $temp-001.pdf $temp-001
// and writes the page's first image as $temp-001-000.pbm, .ppm or .jpg.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/Processes.h"

namespace graphics {
class TPicture;
}

namespace converter {

inline constexpr const char* kPageToolName = "pdfimages";
// How long one page may take before the tool is killed: far above what a
// scanned page needs, short enough that a stuck tool cannot hang a batch.
inline constexpr int kPageToolTimeLimitMs = 120000;
// Where the tool comes from, for the message that says it is missing.
inline constexpr const char* kPageToolPackage = "poppler-utils";
// The most runs of the tool at once, whatever the number of cores: each
// holds a page image in the work folder until its page is taken.
inline constexpr int kMaxPageTools = 16;

// The tool in that folder when an executable one lies there, else the
// one found on PATH; empty when there is none.
std::string FindPageTool(const std::string& workFolder);

// How many runs of the tool go at once by default: one for each core this
// process may run on, at most kMaxPageTools.
int DefaultPageTools();

// The root of the image names the tool writes for a page file: the file's
// name without ".pdf".
std::string ImageRoot(const std::string& pageFile);

// Whether page content draws an image: an XObject (an image, or a form that
// may hold one) or an inline image, with strings, names and comments passed
// over.
bool DrawsImages(std::string_view content);

// Loads the JPEG image the tool wrote for a page into the picture (as a
// bitmap), its samples as stored or inverted; true when more images follow
// it (see the definition). Raises the JPEG reader's errors.
bool LoadPageJpeg(const std::string& file, graphics::TPicture& picture, bool samplesInverted);

// One run of the tool. A run still going when the object is freed is killed,
// so that a conversion given up never leaves the tool behind.
class TPageTool {
 public:
  TPageTool() = default;
  ~TPageTool();
  TPageTool(const TPageTool&) = delete;
  TPageTool& operator=(const TPageTool&) = delete;

  // Starts the tool (FindPageTool of the work root) in workFolder on the
  // page file named there, in a process group of its own; raises Exception
  // "Exec Error <code>" (the system's error code, and what it means) when it
  // cannot be started, or is found nowhere.
  void Start(const std::string& workFolder, const std::string& pageFileName);
  // Tests with a zero time-out whether the tool is still running.
  bool Running();
  // Waits at most ms milliseconds, less when the tool ends sooner.
  void Wait(uint32_t ms);
  // Ends the tool and whatever it started at once, and reaps it.
  void Kill();
  // Once it has ended: its exit status, and the signal that ended it (0:
  // none).
  int ExitCode() const { return exitCode_; }
  int TermSignal() const { return termSignal_; }
  // What went wrong with the ended run on that page, "" when it went well.
  std::string Failure(int page) const;
  // The argument vector of a run on a page file (argv[0] is the program).
  static std::vector<std::string> Arguments(const std::string& program, const std::string& pageFileName);
  // The running process (nullptr once it has ended).
  os::TProcess* Process() const { return process_.get(); }

 private:
  std::unique_ptr<os::TProcess> process_;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

// The runs of the tool over the pages of one document, several at once. Each
// page's file lies in the work folder and the tool writes the page's images
// beside it under the file's name. A run that outlives its time limit is
// killed when it is found out and stays marked until its page is taken.
// Whatever is still held when the object goes (a document given up) ends
// with it: each run killed with what it started, each page's files deleted.
class TPageRuns {
 public:
  TPageRuns(std::string workFolder, int timeLimitMs);
  ~TPageRuns();
  TPageRuns(const TPageRuns&) = delete;
  TPageRuns& operator=(const TPageRuns&) = delete;

  // Takes the page file (a full path in the work folder) and starts the
  // tool on it; what an earlier run left under its image names is deleted
  // first. Raises as TPageTool::Start does (the file is held all the same).
  void Start(const std::string& pageFile);
  bool Holds(const std::string& pageFile) const { return pages_.count(pageFile) > 0; }
  // Runs that have not ended yet.
  int Running() const;
  // Whether the page's run has ended (or was killed at its time limit).
  bool Ended(const std::string& pageFile);
  // Waits at most ms milliseconds until any run ends; runs past their time
  // limit are killed.
  void Wait(uint32_t ms);
  bool TimedOut(const std::string& pageFile) const;
  // The page's ended run: what went wrong on that page ("" when nothing).
  std::string Failure(const std::string& pageFile, int page) const;
  // The images the page's run wrote, by name, in name order.
  std::vector<std::string> Images(const std::string& pageFile) const;
  // Lets the page go: its file and its images are deleted.
  void Release(const std::string& pageFile);

 private:
  struct TPage {
    std::unique_ptr<TPageTool> tool;
    uint64_t deadline = 0;
    bool timedOut = false;
  };
  void KillOverdue();

  std::string work_;
  int timeLimitMs_;
  std::map<std::string, TPage> pages_;
};

}  // namespace converter
