// The outside tool that writes the raster images of a one-page PDF file
// ("pdfimages" of poppler-utils). It is started by argument vector, never
// through a shell, in the work folder, as
//   pdfimages -j $$temp$$.pdf $$temp$$
// and writes the page's first image as $$temp$$-000.pbm, .ppm or .jpg.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/Processes.h"

namespace converter {

inline constexpr const char* kPageToolName = "pdfimages";
// The page file the tool reads and the root of the names it writes, in the
// work folder.
inline constexpr const char* kPageToolInput = "$$temp$$.pdf";
inline constexpr const char* kPageToolOutputRoot = "$$temp$$";
// How long one page may take before the tool is killed: far above what a
// scanned page needs, short enough that a stuck tool cannot hang a batch.
inline constexpr int kPageToolTimeLimitMs = 120000;
// Where the tool comes from, for the message that says it is missing.
inline constexpr const char* kPageToolPackage = "poppler-utils";

// The tool in that folder when an executable one lies there, else the
// one found on PATH; empty when there is none.
std::string FindPageTool(const std::string& workFolder);

// One run of the tool. A run still going when the object is freed is killed,
// so that a conversion given up never leaves the tool behind.
class TPageTool {
 public:
  TPageTool() = default;
  ~TPageTool();
  TPageTool(const TPageTool&) = delete;
  TPageTool& operator=(const TPageTool&) = delete;

  // Starts the tool (FindPageTool of the work root) in workFolder, in a
  // process group of its own; raises Exception "Exec Error <code>" (the
  // system's error code, and what it means) when it cannot be started, or
  // is found nowhere.
  void Start(const std::string& workFolder);
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
  // The argument vector of a run (argv[0] is the program).
  static std::vector<std::string> Arguments(const std::string& program);

 private:
  std::unique_ptr<os::TProcess> process_;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

}  // namespace converter
