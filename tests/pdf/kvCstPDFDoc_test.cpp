#include "pdf/kvCstPDFDoc.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "pdf/kvPDFDoc.h"
#include "tests/support/TestSupport.h"

namespace pdf {
namespace {

TEST(PDFDocument, ConstructorDefaults) {
  TkvPDFDocument doc;
  EXPECT_EQ(doc.PageCount(), 0);
  EXPECT_FALSE(doc.IsLoaded);
  EXPECT_EQ(doc.PDFVersion, pvPDF14);
  EXPECT_TRUE(doc.ShowSetupDialog);
  EXPECT_EQ(doc.MergeOptions, (TkvMergeOptions{moIncludeOutlines, moIncludeFormFields}));
  EXPECT_EQ(doc.MeasurementUnit, muPixels);
  EXPECT_FALSE(doc.UseFileStreams);
  EXPECT_FALSE(doc.OpenAfterSave);
  EXPECT_FALSE(doc.EMailAfterSave);
  EXPECT_EQ(doc.PageMode, pmNone);
  EXPECT_EQ(doc.PageLayout, plNone);
  EXPECT_EQ(doc.WriteObjectCounter, 3);
  EXPECT_EQ(doc.Compression.Enabled, 0);
  EXPECT_EQ(doc.AsciiEncode.Enabled, 0);
  EXPECT_NE(doc.EMailInfo(), nullptr);
  EXPECT_EQ(doc.About(), "");
  doc.SetAbout("x");
  EXPECT_EQ(doc.About(), "");
}

TEST(PDFDocument, DocumentCounter) {
  const uint32_t before = TkvCustomPDFDocument::CurrentDocumentID();
  TkvPDFDocument a;
  TkvPDFDocument b;
  EXPECT_EQ(a.DocumentID, before + 1);
  EXPECT_EQ(b.DocumentID, before + 2);
  a.CloseDocument();
  EXPECT_EQ(a.DocumentID, before + 3);
  EXPECT_EQ(TkvCustomPDFDocument::CurrentDocumentID(), before + 3);
}

TEST(PDFDocument, SettingsSurviveClose) {
  TkvPDFDocument doc;
  doc.UseFileStreams = true;
  doc.ShowSetupDialog = false;
  doc.SetMeasurementUnit(muMM);
  doc.PageMode = pmUseOutlines;
  doc.PDFVersion = pvPDF12;
  int calls = 0;
  doc.OnStatusMessage = [&](TkvCustomPDFDocument*, const std::string&) { ++calls; };
  doc.CloseDocument();
  EXPECT_TRUE(doc.UseFileStreams);
  EXPECT_FALSE(doc.ShowSetupDialog);
  EXPECT_EQ(doc.MeasurementUnit, muMM);
  EXPECT_EQ(doc.PageMode, pmUseOutlines);
  EXPECT_EQ(doc.PDFVersion, pvPDF14);
  EXPECT_TRUE(static_cast<bool>(doc.OnStatusMessage));
}

TEST(PDFDocument, EncryptionSettingsAreFreshAfterClose) {
  TkvPDFDocument doc;
  EXPECT_FALSE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->Level(), el40bit);
  doc.Encryption->SetEnabled(true);
  doc.Encryption->SetLevel(el128bit);
  doc.Encryption->SetUserPassword("u");
  doc.Encryption->SetOwnerPassword("o");
  doc.IsEncrypted = true;
  doc.CloseDocument();
  EXPECT_FALSE(doc.Encryption->Enabled());
  EXPECT_EQ(doc.Encryption->Level(), el40bit);
  EXPECT_EQ(doc.Encryption->UserPassword(), "");
  EXPECT_EQ(doc.Encryption->OwnerPassword(), "");
  EXPECT_TRUE(doc.Encryption->UserPermissions() == TkvUserPermissions::All());
  EXPECT_TRUE(doc.IsEncrypted);  // until the next file is opened
}

TEST(PDFDocument, ExceptionFamily) {
  struct Case {
    std::function<void()> raise;
    const char* className;
    const char* message;
  } cases[] = {
      {[] { throw ECrossReferenceError(SCrossReferenceError); }, "ECrossReferenceError",
       "Error reading cross-reference table"},
      {[] { throw kvCstPDFDoc::EUnexpectedObjectError(SUnexpectedObject); }, "EUnexpectedObjectError",
       "Unexpected PDF object encountered"},
      {[] { throw EPasswordError(SWrongPassword); }, "EPasswordError", "Wrong password."},
      {[] { throw EInvalidPageError(rtl::Format(SInvalidPageNumber, {7})); }, "EInvalidPageError",
       "Invalid page number (7)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.className);
    try {
      c.raise();
      ADD_FAILURE();
    } catch (const EPDFException& e) {
      EXPECT_STREQ(e.ClassName(), c.className);
      EXPECT_EQ(e.Message, c.message);
    }
  }
}

TEST(PDFDocument, SetupDialogSeam) {
  TkvPDFDocument doc;
  int shown = 0;
  SetSetupDialogRunner([&](TkvCustomPDFDocument& d) {
    EXPECT_EQ(&d, &doc);
    ++shown;
    return kModalCancel;
  });
  doc.ShowSetupDialog = false;
  EXPECT_EQ(doc.RunSetupDialog(), kModalOk);
  EXPECT_EQ(shown, 0);
  doc.ShowSetupDialog = true;
  EXPECT_EQ(doc.RunSetupDialog(), kModalCancel);
  EXPECT_EQ(shown, 1);
  SetSetupDialogRunner(nullptr);
  EXPECT_EQ(doc.RunSetupDialog(), kModalOk);
}

TEST(PDFDocument, SaveOpensTheWrittenFileThroughTheShellOpener) {
  tk::test::ScratchDir dir;
  const std::string name = (dir / "opened").string();
  const std::string written = name + ".pdf";
  const std::string cannotOpen = "Cannot open file \"" + written + "\". ";
  struct Case {
    const char* what;
    bool openAfterSave;
    bool installed;
    int result;
    bool raises;
    std::string warning;  // empty: none
  } cases[] = {
      {"not asked", false, true, 0, false, ""},
      {"opened", true, true, 0, false, ""},
      {"opener fails", true, true, ENOENT, false, cannotOpen + std::strerror(ENOENT)},
      {"opener raises", true, true, 0, true, cannotOpen + "no desktop"},
      {"no opener installed", true, false, 0, false, cannotOpen + std::strerror(ENOSYS)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> events;
    if (c.installed) {
      SetShellOpener([&](const std::string& file) {
        // The file is complete and in place when it is opened.
        EXPECT_EQ(tk::test::ReadFileBytes(file).substr(0, 5), "%PDF-");
        events.push_back("open " + file);
        if (c.raises) throw std::runtime_error("no desktop");
        return c.result;
      });
    } else {
      SetShellOpener(nullptr);
    }
    TkvPDFDocument doc;
    doc.ShowSetupDialog = false;
    doc.OpenAfterSave = c.openAfterSave;
    doc.OnStatusMessage = [&](TkvCustomPDFDocument*, const std::string& m) { events.push_back(m); };
    doc.OnWarning = [&](TkvCustomPDFDocument*, const std::string& m) { events.push_back("warning " + m); };
    doc.SaveToFile(name);
    // The open comes after the file is written and before the save is
    // reported complete.
    std::vector<std::string> expected{"Writing Cross-Reference Table"};
    if (c.openAfterSave && c.installed) expected.push_back("open " + written);
    if (!c.warning.empty()) expected.push_back("warning " + c.warning);
    expected.push_back("Save Complete");
    ASSERT_GE(events.size(), expected.size());
    EXPECT_EQ(
        std::vector<std::string>(events.end() - static_cast<std::ptrdiff_t>(expected.size()), events.end()),
        expected);
    EXPECT_TRUE(std::filesystem::exists(written));
  }
  SetShellOpener(nullptr);
}

TEST(PDFDocument, OwnedComponentsAreFreedWithTheDocument) {
  TkvPDFDocument doc;
  new TkvPDFDocument(&doc);  // owned: freed by doc (the sanitizer checks for a leak)
  EXPECT_EQ(doc.ComponentCount(), 1);
}

}  // namespace
}  // namespace pdf
