// Builds small PDF files for the document tests: the objects are given as
// bodies, the helper numbers them, computes the cross-reference offsets and
// writes the table and the trailer, so no test counts bytes by hand. Files
// the outside tools make go into a ToolFiles fixture's scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace tk::test::pdf {

// Fixture files made by the outside tools in a scratch folder. A derived
// fixture's SetUp requires the tools it runs.
class ToolFiles : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return (dir / name).string(); }
  // qpdf's exit code 3 (warnings only) passes too.
  void Run(const std::vector<std::string>& argv) {
    auto r = RunTool(argv);
    ASSERT_TRUE(r.exitCode == 0 || (argv[0] == "qpdf" && r.exitCode == 3)) << argv[0] << ": " << r.err;
  }

  ScratchDir dir;
};

// Runs qpdf with the arguments: its output and messages together, the exit
// code through exitCode when given.
inline std::string Qpdf(const std::vector<std::string>& args, int* exitCode = nullptr) {
  std::vector<std::string> argv = {"qpdf"};
  argv.insert(argv.end(), args.begin(), args.end());
  auto r = RunTool(argv);
  if (exitCode) *exitCode = r.exitCode;
  return r.out + r.err;
}

// The PDF files of the shared corpus (its qpdf and pdf.js folders), sorted;
// empty where the corpus is absent.
inline std::vector<std::filesystem::path> CorpusPDFs() {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const char* folder : {"qpdf", "pdfjs"}) {
    const fs::path dir = CorpusDir() / "pdf" / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      std::string ext = entry.path().extension().string();
      for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (entry.is_regular_file() && ext == ".pdf") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Formats one cross-reference entry: 20 bytes with the usual line end, or
// what another writer puts after the kind.
inline std::string XRefEntry(long offset, int generation, char kind, const char* end = "\r\n") {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%010ld %05d %c%s", offset, generation, kind, end);
  return buf;
}

struct PdfBuilder {
  std::string header = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  // Object number -> body (what stands between "N 0 obj" and "endobj").
  std::map<int, std::string> objects;
  // Entries of the trailer besides /Size, e.g. "/Root 1 0 R".
  std::string trailer = "/Root 1 0 R";
  // The subsections of the table as (first number, count); empty: one
  // covering 0..max. Listed numbers without an object are free entries.
  std::vector<std::pair<int, int>> subsections;
  // What follows the kind letter of every entry.
  std::string entryEnd = "\r\n";

  PdfBuilder& Obj(int num, std::string body) {
    objects[num] = std::move(body);
    return *this;
  }

  // A stream object body with a correct /Length (extra: more entries).
  static std::string Stream(const std::string& data, const std::string& extra = "") {
    return "<< /Length " + std::to_string(data.size()) + extra + " >>\nstream\n" + data + "\nendstream";
  }

  // The whole file: one section covering 0..max object number; numbers
  // without an object become free entries.
  std::string Build() const {
    std::string out = header;
    std::map<int, long> offsets;
    for (const auto& [num, body] : objects) {
      offsets[num] = static_cast<long>(out.size());
      out += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
    }
    const int size = objects.empty() ? 1 : objects.rbegin()->first + 1;
    const long xref = static_cast<long>(out.size());
    out += "xref\n";
    std::vector<std::pair<int, int>> sections = subsections;
    if (sections.empty()) sections.emplace_back(0, size);
    for (const auto& [first, count] : sections) {
      out += std::to_string(first) + " " + std::to_string(count) + "\n";
      for (int i = first; i < first + count; ++i) {
        auto it = offsets.find(i);
        out += it == offsets.end() ? XRefEntry(0, i == 0 ? 65535 : 0, 'f', entryEnd.c_str())
                                   : XRefEntry(it->second, 0, 'n', entryEnd.c_str());
      }
    }
    out += "trailer\n<< /Size " + std::to_string(size) + " " + trailer + " >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
  }
};

// The offset after the last "startxref" of a file.
inline long LastStartXRef(const std::string& file) {
  const size_t p = file.rfind("startxref");
  if (p == std::string::npos) return -1;
  return std::strtol(file.c_str() + p + 9, nullptr, 10);
}

// Appends an incremental update: the objects, one subsection per object and
// a trailer with /Prev pointing at the previous section.
inline std::string AppendUpdate(const std::string& base, const std::map<int, std::string>& objs,
                                const std::string& trailer, int size) {
  std::string out = base;
  std::map<int, long> offsets;
  for (const auto& [num, body] : objs) {
    offsets[num] = static_cast<long>(out.size());
    out += std::to_string(num) + " 0 obj\n" + body + "\nendobj\n";
  }
  const long xref = static_cast<long>(out.size());
  out += "xref\n";
  for (const auto& [num, off] : offsets) out += std::to_string(num) + " 1\n" + XRefEntry(off, 0, 'n');
  out += "trailer\n<< /Size " + std::to_string(size) + " " + trailer + " /Prev " +
         std::to_string(LastStartXRef(base)) + " >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return out;
}

// A minimal valid document: catalog 1, page tree 3 with n pages (objects
// 10.. each with its own MediaBox), info 2.
inline PdfBuilder SimpleDocument(int pages = 1) {
  PdfBuilder b;
  b.Obj(1, "<< /Type /Catalog /Pages 3 0 R >>");
  b.Obj(2, "<< /Title (Report (final)) /Producer (probe) >>");
  std::string kids;
  for (int i = 0; i < pages; ++i) {
    kids += std::to_string(10 + i) + " 0 R ";
    b.Obj(10 + i, "<< /Type /Page /Parent 3 0 R /MediaBox [0 0 " + std::to_string(600 + i) + " 800] >>");
  }
  b.Obj(3, "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages) + " >>");
  b.trailer = "/Root 1 0 R /Info 2 0 R";
  return b;
}

}  // namespace tk::test::pdf
