// pdf_probe FILE [--password PW] [--extract N OUT.pdf] [--save OUT.pdf]
//           [--extract-all FOLDER] [--io] [--count]
//
// Loads a PDF file through the document component and prints what it read:
// "pages N", then one line per page "page I mediabox X1 Y1 X2 Y2 rotate R"
// (points as read, /Rotate raw), then the document information entries;
// --count prints "pages N" alone (the load and page count of the bench).
// --extract writes page N into OUT.pdf exactly as the converter does;
// --save writes the whole document; --extract-all writes every page into
// FOLDER/page-N.pdf (one load, one extraction per page: the benchmark);
// --io prints, last, "io reads N bytes M": the read system calls the process
// made and the bytes they returned (from /proc/self/io). A failure prints
// the exception's class and message on stderr and exits 1.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFDoc.h"
#include "pdf/kvPDFInfo.h"
#include "pdf/kvPDFObjects.h"
#include "platform/rtl/CodePages.h"

namespace {

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

int Usage() {
  std::fprintf(
      stderr,
      "usage: pdf_probe FILE [--password PW] [--extract N OUT.pdf] [--save OUT.pdf] [--extract-all DIR] "
      "[--io] [--count]\n");
  return 2;
}

// The read calls and bytes of this process so far, as the kernel counts them.
void PrintReads() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0, calls = -1, bytes = -1;
  while (in >> key >> value) {
    if (key == "syscr:") calls = value;
    if (key == "rchar:") bytes = value;
  }
  std::printf("io reads %lld bytes %lld\n", calls, bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string file = argv[1], password, extractOut, saveOut, extractAll;
  bool havePassword = false, io = false, countOnly = false;
  int extractPage = 0;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--password") && i + 1 < argc) {
      password = argv[++i];
      havePassword = true;
    } else if (!std::strcmp(argv[i], "--extract") && i + 2 < argc) {
      extractPage = std::atoi(argv[++i]);
      extractOut = argv[++i];
    } else if (!std::strcmp(argv[i], "--extract-all") && i + 1 < argc) {
      extractAll = argv[++i];
    } else if (!std::strcmp(argv[i], "--io")) {
      io = true;
    } else if (!std::strcmp(argv[i], "--count")) {
      countOnly = true;
    } else if (!std::strcmp(argv[i], "--save") && i + 1 < argc) {
      saveOut = argv[++i];
    } else {
      return Usage();
    }
  }
  try {
    pdf::TkvPDFDocument doc;
    if (havePassword) {
      doc.OnPassword = [&](rtl::TPersistent*, std::string& pw, bool&) { pw = password; };
    }
    doc.LoadFromFile(file);
    const int n = doc.PageCount();
    std::printf("pages %d\n", n);
    doc.SetMeasurementUnit(pdf::muPoints);
    for (int i = 1; i <= n && !countOnly; ++i) {
      pdf::TkvPageSize size;
      doc.GetPageSize(i, size);
      std::printf("page %d mediabox %s %s %s %s rotate %d\n", i, Number(size.X1).c_str(),
                  Number(size.Y1).c_str(), Number(size.X2).c_str(), Number(size.Y2).c_str(),
                  doc.GetPageRotation(i));
    }
    if (pdf::TkvPDFDictObject* info = countOnly ? nullptr : doc.DocInfo->InfoDictionary()) {
      for (int i = 0; i < info->Count(); ++i) {
        auto* s = dynamic_cast<pdf::TkvPDFStringObject*>(info->ValueAt(i));
        if (!s) continue;
        std::printf("info %s %s\n", info->KeyAt(i)->BareName().c_str(),
                    rtl::WideToMultiByte(pdf::DecodeTextString(*s), rtl::CP_UTF8).c_str());
      }
    }
    if (extractPage > 0) {
      doc.FreeOutlines();
      doc.ShowSetupDialog = false;
      doc.ExtractPages(extractOut, std::to_string(extractPage));
    }
    if (!extractAll.empty()) {
      doc.FreeOutlines();
      doc.ShowSetupDialog = false;
      for (int i = 1; i <= n; ++i)
        doc.ExtractPages(extractAll + "/page-" + std::to_string(i) + ".pdf", std::to_string(i));
    }
    if (!saveOut.empty()) {
      doc.ShowSetupDialog = false;
      doc.SaveToFile(saveOut);
    }
    if (io) PrintReads();
  } catch (const rtl::Exception& e) {
    std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message.c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
