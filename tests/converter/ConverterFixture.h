// A converter laid out as at run time, in a scratch folder: the program's
// path is <scratch>/run/tarnwick, so its ini and log files and its work
// folder lie beside it there; the documents live in <scratch>/docs.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "converter/PageSource.h"
#include "converter/Rw_ini.h"
#include "converter/Unit1.h"
#include "pdf/PdfFixture.h"
#include "platform/forms/Dialogs.h"
#include "platform/forms/Forms.h"
#include "platform/imagekit/ImageKit.h"
#include "platform/os/Windows.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"
#include "support/TestSupport.h"

namespace tk::test::converter {

namespace fs = std::filesystem;

// Pages taken from real files with the outside tools: qpdf splits the pages,
// pdfinfo reads their boxes and rotations. It stands where the document
// component would, and records the calls.
class TToolPages : public ::converter::TPageSource {
 public:
  void LoadFromFile(const std::string& path) override {
    Calls.push_back("load " + path);
    path_ = path;
    count_ = 0;
    auto r = RunTool({"qpdf", "--show-npages", path});
    if (r.exitCode != 0 && r.exitCode != 3) throw rtl::Exception("not a PDF: " + path);
    count_ = std::stoi(r.out);
  }
  int PageCount() override { return count_; }
  void FreeOutlines() override { Calls.push_back("outlines"); }
  void ExtractPage(const std::string& pageFile, int page) override {
    Calls.push_back("extract " + std::to_string(page));
    auto r = RunTool({"qpdf", "--empty", "--pages", path_, std::to_string(page), "--", pageFile});
    if (r.exitCode != 0 && r.exitCode != 3) throw rtl::Exception("extract failed: " + r.err);
  }
  ::converter::TPageBox PageSize(int page) override {
    auto r = RunTool({"pdfinfo", "-box", "-f", std::to_string(page), "-l", std::to_string(page), path_});
    ::converter::TPageBox box;
    auto pos = r.out.find("MediaBox:");
    if (pos == std::string::npos) throw rtl::Exception("no box");
    double v[4] = {};
    std::sscanf(r.out.c_str() + pos + 9, "%lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3]);
    const double mm = 25.4 / 72.0;
    return {v[0] * mm, v[1] * mm, v[2] * mm, v[3] * mm};
  }
  int PageRotation(int page) override {
    auto r = RunTool({"pdfinfo", "-f", std::to_string(page), "-l", std::to_string(page), path_});
    auto pos = r.out.find("rot:");
    if (pos == std::string::npos) return 0;
    return std::atoi(r.out.c_str() + pos + 4);
  }
  std::vector<std::string> Calls;

 private:
  std::string path_;
  int count_ = 0;
};

// A one-page scan: an 8 by 8 bilevel image on a page of one inch.
inline std::string ImagePdf() {
  using tk::test::pdf::PdfBuilder;
  auto b = tk::test::pdf::SimpleDocument(1);
  b.Obj(4, PdfBuilder::Stream(std::string("\x00\xff\x81\xbd\x0f\xf0\x3c\xc3", 8),
                              " /Type /XObject /Subtype /Image /Width 8 /Height 8 /ColorSpace /DeviceGray"
                              " /BitsPerComponent 1"));
  b.Obj(5, PdfBuilder::Stream("72 0 0 72 0 0 cm /Im0 Do"));
  b.Obj(10,
        "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 72 72] /Contents 5 0 R "
        "/Resources << /XObject << /Im0 4 0 R >> >> >>");
  return b.Build();
}
// Pages of nothing: records what the batch asked for.
class TNoPages : public ::converter::TPageSource {
 public:
  void LoadFromFile(const std::string& path) override {
    Loads.push_back(path);
    if (OnLoad) OnLoad(path);
    if (FailOn == path) throw rtl::Exception("Wrong password.");
  }
  int PageCount() override { return 0; }
  void FreeOutlines() override {}
  void ExtractPage(const std::string&, int) override {}
  ::converter::TPageBox PageSize(int) override { return {}; }
  int PageRotation(int) override { return 0; }
  std::vector<std::string> Loads;
  std::string FailOn;
  // Runs while the batch is in the middle of a document.
  std::function<void(const std::string& path)> OnLoad;
};

// Settings files that exist but cannot be read, each made at a path that
// nothing holds yet.
struct UnreadableFile {
  const char* label;
  std::function<void(const fs::path&)> make;
};
inline std::vector<UnreadableFile> UnreadableFiles() {
  return {
      {"a folder", [](const fs::path& p) { fs::create_directories(p); }},
      {"a pipe", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"too large",
       [](const fs::path& p) {
         WriteFileBytes(p, "[NoDel]\nORG=1\n");
         ASSERT_EQ(::truncate(p.c_str(), static_cast<off_t>(rtl::kMaxIniFileBytes) + 1), 0);
       }},
      {"no permission",
       [](const fs::path& p) {
         WriteFileBytes(p, "[NoDel]\nORG=1\n");
         ::chmod(p.c_str(), 0);
       }},
  };
}

class ConverterFixture : public ::testing::Test {
 protected:
  ConverterFixture() {
    run = scratch.path() / "run";
    docs = scratch.path() / "docs";
    fs::create_directories(run);
    fs::create_directories(docs);
    // The imaging library lies beside the program, as in the run folder.
    std::error_code ec;
    fs::create_symlink(RunDir() / TK_IMAGEKIT_LIBRARY, run / TK_IMAGEKIT_LIBRARY, ec);
    rtl::SetExecutableFileName((run / "tarnwick").string());
    rtl::SetCommandLine(std::vector<std::string>{"tarnwick"});
    ::converter::Settings = {};
    // The work-folder clean-up deletes into the Trash: this test's own.
    dataHome_.emplace("XDG_DATA_HOME", (scratch.path() / "data").c_str());
    // Our windows go into this test's window directory (the program run
    // as a process finds it through XDG_RUNTIME_DIR).
    fs::create_directories(scratch.path() / "runtime");
    ::chmod((scratch.path() / "runtime").c_str(), 0700);
    runtimeDir_.emplace("XDG_RUNTIME_DIR", (scratch.path() / "runtime").c_str());
    os::TWindowDirectory::SetDefaultFolder(os::TWindowDirectory::DefaultFolder());
  }
  ~ConverterFixture() override {
    app.reset();
    rtl::SetExecutableFileName("");
    rtl::SetCommandLine(std::vector<std::string>{"tarnwick"});
    std::error_code ec;
    fs::current_path(fs::temp_directory_path(), ec);
    os::TWindowDirectory::SetDefaultFolder({});
  }

  // A fresh application with a scripted presenter and the main form made
  // (its FormCreate has run). A test may replace the page source.
  ::converter::TForm1* Start(const std::vector<std::string>& args = {}) {
    app.reset();
    std::vector<std::string> cl{(run / "tarnwick").string()};
    cl.insert(cl.end(), args.begin(), args.end());
    rtl::SetCommandLine(cl);
    app = std::make_unique<forms::TApplication>();
    auto p = std::make_unique<forms::TScriptedPresenter>();
    presenter = p.get();
    app->SetPresenter(std::move(p));
    app->Title = ::converter::kApplicationTitle;
    ::converter::TForm1* form = nullptr;
    app->CreateForm(form);
    return form;
  }

  // Uses the tool-backed pages; returns them (owned by the form).
  TToolPages* UseToolPages(::converter::TForm1* form) {
    auto pages = std::make_unique<TToolPages>();
    TToolPages* raw = pages.get();
    form->Pages = std::move(pages);
    return raw;
  }

  // Ends the program as closing its window does.
  void Stop() { app.reset(); }

  // The settings file made as the case says; false when it can be read
  // after all (root reads any file).
  bool UnreadableIni(const UnreadableFile& c) {
    const fs::path ini = run / "tarnwick.ini";
    std::error_code ec;
    fs::remove_all(ini, ec);
    c.make(ini);
    return ::access(ini.c_str(), R_OK) != 0 || !fs::is_regular_file(ini) || fs::file_size(ini) > 100;
  }

  std::string Ini(const std::string& text) {
    WriteFileBytes(run / "tarnwick.ini", text);
    return text;
  }
  // Where the page tool may lie, and this process's work folder in it.
  fs::path WorkRoot() const { return run / "cmdline"; }
  fs::path Work() const { return fs::path(rtl::ExcludeTrailingPathDelimiter(::converter::WorkFolder())); }

  ScratchDir scratch;
  fs::path run;
  fs::path docs;
  std::unique_ptr<forms::TApplication> app;
  forms::TScriptedPresenter* presenter = nullptr;

 private:
  std::optional<EnvVar> dataHome_;
  std::optional<EnvVar> runtimeDir_;
};

}  // namespace tk::test::converter
