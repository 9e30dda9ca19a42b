#include "converter/Unit1.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "converter/FileGuard.h"
#include "converter/ImageKit6.h"
#include "converter/Images.h"
#include "converter/PageTool.h"
#include "converter/Rw_ini.h"
#include "imaging/ImageFormats.h"
#include "pdf/kvPDFCrypt.h"
#include "pdf/kvPDFDoc.h"
#include "platform/graphics/Jpeg.h"
#include "platform/os/ShellApi.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/IniFiles.h"
#include "platform/rtl/SysUtils.h"

namespace converter {

namespace {

namespace fs = std::filesystem;

constexpr const char* kTempTif = "$$temp$$.tif";
// How long the wait for the page tool may go without letting messages run;
// the wait ends as soon as a tool does, so this costs a page nothing.
constexpr uint32_t kToolPollSliceMs = 20;

// The exit status of a run whose command-line batch or close failed.
constexpr int kFailedRunExitCode = 1;

// Status texts of a document whose source is kept because its TIFF is not
// complete.
constexpr const char* kKeptNoPage = "変換できるページがありません（ＰＤＦを残します）";
constexpr const char* kKeptPagesMissing = "ページ変換できません（ＰＤＦを残します）";
constexpr const char* kKeptNotCopied = "ＴＩＦＦを保存できません（ＰＤＦを残します）";
// After the page numbers, as in "2,5ページ…".
constexpr const char* kKeptSeveralImages = "ページに画像が複数あります（ＰＤＦを残します）";
constexpr const char* kKeptChanged = "変換中にＰＤＦが変わりました（ＰＤＦを残します）";
constexpr const char* kKeptNoPassword = "パスワードが入力されませんでした（ＰＤＦを残します）";
// A source that another run took away while this one converted it, and one
// that could not be deleted although its TIFF is whole.
constexpr const char* kSourceGone = "変換中にＰＤＦがなくなりました";
constexpr const char* kSourceNotDeleted = "ＰＤＦを削除できません（ＰＤＦを残します）";

// The reader is picked by the file's header; a file no reader takes goes to
// the picture's own registry, by its extension.
void LoadPortableMapInto(const std::string& file, graphics::TPicture& picture) {
  if (graphics::TGraphicClass cls = imaging::FileFormats().FindClassByContent(file); cls && cls->Create) {
    std::unique_ptr<graphics::TGraphic> graphic = cls->Create();
    graphic->LoadFromFile(file);
    picture.TakeGraphic(std::move(graphic));
  } else {
    picture.LoadFromFile(file);
  }
}
// Why a write failed, where the file system refused the bytes (full, over
// a limit): ": " and the reason, else nothing; the other codes a library
// leaves behind after a failure tell nothing sure.
std::string StorageRefusal(int error) {
  if (error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO || error == EROFS)
    return std::string(": ") + std::strerror(error);
  return {};
}

// Whether the file system of the work folder has no room left for us.
bool WorkFolderFull(const std::string& work) {
  struct statvfs vfs {};
  return ::statvfs(work.c_str(), &vfs) == 0 && vfs.f_bavail == 0;
}

std::string MakeAbsolute(const std::string& path, const std::string& base) {
  if (path.empty() || path[0] == '/') return path;
  return rtl::IncludeTrailingPathDelimiter(base) + path;
}

}  // namespace

uint16_t PageResolution(int bitmapWidth, int pageWidth) {
  if (pageWidth == 0) return 0;
  double inches = static_cast<double>(pageWidth) / 2540.0;
  double q = std::trunc(static_cast<double>(bitmapWidth) / inches);
  if (!std::isfinite(q) || q < 0) return 0;
  // Only the low 16 bits count, as they would in the 16-bit field.
  return static_cast<uint16_t>(static_cast<uint64_t>(std::fmod(q, 65536.0)));
}

std::string ExpandLongPath(const std::string& path) {
  if (path.empty()) return path;
  std::string result = path;
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  if (result == "/") return result;
  struct stat st {};
  // An exact lookup of the name: a "*" or "?" in it is just a character.
  if (::lstat(result.c_str(), &st) != 0) return result;
  size_t slash = result.rfind('/');
  if (slash == std::string::npos) return result;
  std::string name = result.substr(slash + 1);
  std::string parent = slash == 0 ? std::string("/") : result.substr(0, slash);
  return rtl::IncludeTrailingPathDelimiter(ExpandLongPath(parent)) + name;
}

// ---- the form -------------------------------------------------------------------

TForm1::TForm1(rtl::TComponent* owner) : forms::TForm(owner) {
  using namespace forms;
  Name = "Form1";
  SetCaption(kMainCaption);
  BorderStyle = bsSingle;
  BorderIcons = biSystemMenu | biMinimize;
  SetClientWidth(304);
  SetClientHeight(281);
  Font.Name = "ＭＳ Ｐゴシック";
  Font.Charset = graphics::SHIFTJIS_CHARSET;

  PageControl1 = new TPageControl(this);
  PageControl1->Name = "PageControl1";
  PageControl1->SetParent(this);
  PageControl1->Align = alTop;
  PageControl1->Hint = "ここにドロップします";
  PageControl1->ShowHint = true;
  auto sheet = [&](const char* name, const char* caption) {
    auto* s = new TTabSheet(this);
    s->Name = name;
    s->SetCaption(caption);
    s->SetPageControl(PageControl1);
    return s;
  };
  TabSheet1 = sheet("TabSheet1", "動作");
  TabSheet2 = sheet("TabSheet2", "設定");
  TabSheet3 = sheet("TabSheet3", "オプション");
  TabSheet4 = sheet("TabSheet4", "Ａｂｏｕｔ");

  auto label = [&](const char* name, TWinControl* parent, const char* caption) {
    auto* l = new TLabel(this);
    l->Name = name;
    l->SetParent(parent);
    l->SetCaption(caption);
    return l;
  };
  auto check = [&](const char* name, TWinControl* parent, const char* caption) {
    auto* c = new TCheckBox(this);
    c->Name = name;
    c->SetParent(parent);
    c->SetCaption(caption);
    return c;
  };

  SpeedButtonLoad = new TSpeedButton(this);
  SpeedButtonLoad->Name = "SpeedButtonLoad";
  SpeedButtonLoad->SetParent(TabSheet1);
  SpeedButtonLoad->SetCaption("参照");
  LabelState = label("LabelState", TabSheet1, "");
  LabelFile = label("LabelFile", TabSheet1, "");
  Image1 = new TImage(this);
  Image1->Name = "Image1";
  Image1->SetParent(TabSheet1);
  Image1->SetVisible(false);

  CheckBox2 = check("CheckBox2", TabSheet2, "Lumoraファイリングを起動する");
  EditLApp = new TEdit(this);
  EditLApp->Name = "EditLApp";
  EditLApp->SetParent(TabSheet2);
  ButtonLApp = new TButton(this);
  ButtonLApp->Name = "ButtonLApp";
  ButtonLApp->SetParent(TabSheet2);
  ButtonLApp->SetCaption("参照");
  LabelHint =
      label("LabelHint", TabSheet2, "例）C:\\Program Files\\LumoraFiling6\\Program\\Lumora_Filing.exe");
  CheckBox1 = check("CheckBox1", TabSheet2, "Ｄｒａｇモードで使用する");
  CheckBox3 = check("CheckBox3", TabSheet3, "変換前ファイル（ＰＤＦ）を残す");
  CheckBox4 = check("CheckBox4", TabSheet3, "変換後ファイル（Ｔｉｆｆ）を残す");

  LabelHP = label("LabelHP", TabSheet4, "Corvane");
  LabelMail = label("LabelMail", TabSheet4, "mail");
  LabelVer = label("LabelVer", TabSheet4, "Ver1.18");

  Panel1 = new TPanel(this);
  Panel1->Name = "Panel1";
  Panel1->SetParent(this);
  Panel1->Align = alBottom;
  Panel1->BevelOuter = bvLowered;
  Panel1->Hint = "ここからドラッグします";
  Panel1->ShowHint = true;
  Panel2 = new TPanel(this);
  Panel2->Name = "Panel2";
  Panel2->SetParent(Panel1);
  Panel2->SetCaption("ここからＤｒａｇしてください");
  ProgressBar1 = new TProgressBar(this);
  ProgressBar1->Name = "ProgressBar1";
  ProgressBar1->SetParent(Panel1);
  ProgressBar1->SetMin(0);
  ProgressBar1->SetMax(100);

  OpenDialog1 = new TOpenDialog(this);
  OpenDialog1->Name = "OpenDialog1";
  OpenDialog1->Title = "ファイルの読み込み";
  OpenDialog1->Options = ofAllowMultiSelect | ofHideReadOnly | ofEnableSizing;

  FileDrop1 = new controls::TFileDrop(this);
  FileDrop1->Name = "FileDrop1";
  FileDrop1->OnFileDrop = [this](rtl::TObject* s, int num, rtl::TStrings& files, int x, int y) {
    FileDrop1FileDrop(s, num, files, x, y);
  };
  FileDrop1->SetControl(PageControl1);

  WinList1 = new controls::TWinList(this);
  WinList1->Name = "WinList1";
  Handover = std::make_unique<THandOff>(*WinList1);
  Handover->SetStatus = [this](const std::string& text) { LabelState->SetCaption(text); };
  // The wait for the filing application gives way to a close of the program:
  // a signal, or its window closed (which waits for the batch's end, and so
  // would wait out the whole minute).
  Handover->ProcessMessages = [this] {
    if (forms::Application) forms::Application->ProcessMessages();
    CheckTerminated();
    if (closePending_) throw rtl::EAbort("");
  };

  FileOperation1 = new controls::TFileOperation(this);
  FileOperation1->Name = "FileOperation1";
  FileOperation1->Options = {controls::fofSilent, controls::fofNoConfirmation, controls::fofAllowUndo,
                             controls::fofFilesOnly, controls::fofNoErrorUI};

  // The drag-out of the produced files and the About links.
  DropFileSource1 = new controls::TDropFileSource(this);
  DropFileSource1->Name = "DropFileSource1";
  DropFileSource1->Dragtypes = {controls::dtCopy, controls::dtMove};
  DropFileSource1->SetShowImage(false);
  DropFileSource1->SetImageIndex(0);
  DropFileSource1->ImageHotSpotX = 16;
  DropFileSource1->ImageHotSpotY = 16;
  FolderDialog1 = new controls::TFolderDialog(this);
  FolderDialog1->Name = "FolderDialog1";
  for (TPanel* panel : {Panel1, Panel2}) {
    panel->OnMouseDown = [this](rtl::TComponent* s, TMouseButton b, TShiftState sh, int x, int y) {
      Panel1MouseDown(s, b, sh, x, y);
    };
    panel->OnMouseMove = [this](rtl::TComponent* s, TShiftState sh, int x, int y) {
      Panel1MouseMove(s, sh, x, y);
    };
  }
  LabelHP->OnClick = [this](rtl::TComponent* s) { LabelHPClick(s); };
  LabelMail->OnClick = [this](rtl::TComponent* s) { LabelMailClick(s); };
  ShellStart = os::ShellExecute;

  PDFDoc = new pdf::TkvPDFDocument(this);
  PDFDoc->Name = "PDFDoc";
  PDFDoc->UseFileStreams = false;
  PDFDoc->OpenAfterSave = false;
  PDFDoc->MergeOptions = {pdf::moIncludeOutlines, pdf::moIncludeFormFields};
  PDFDoc->PDFVersion = pdf::pvPDF14;
  PDFDoc->PageMode = pdf::pmNone;
  PDFDoc->PageLayout = pdf::plNone;
  PDFDoc->ShowSetupDialog = true;
  PDFDoc->Encryption->SetLevel(pdf::el40bit);
  PDFDoc->EMailAfterSave = false;
  PDFDoc->OnPassword = [this](rtl::TPersistent* s, std::string& pw, bool& cont) {
    PDFDocPassword(s, pw, cont);
  };
  Pages = MakePDFDocPages(*PDFDoc);

  DriveComboBox1 = new TDriveComboBox(this);
  DriveComboBox1->Name = "DriveComboBox1";
  DriveComboBox1->SetParent(TabSheet1);
  DriveComboBox1->OnChange = [this](rtl::TComponent* s) { DriveComboBox1Change(s); };
  PopupMenu1 = new TPopupMenu(this);
  PopupMenu1->Name = "PopupMenu1";
  auto item = [&](TMenuItem*& field, const char* name, const char* caption,
                  void (TForm1::*handler)(rtl::TComponent*)) {
    field = new TMenuItem(this);
    field->Name = name;
    field->Caption = caption;
    if (handler) field->OnClick = [this, handler](rtl::TComponent* s) { (this->*handler)(s); };
    PopupMenu1->Add(field);
  };
  item(popConvert, "popConvert", "Corvane", &TForm1::popConvertClick);
  item(popDelete, "popDelete", "削除", &TForm1::popDeleteClick);
  item(N1, "N1", "-", nullptr);
  item(popRefresh, "popRefresh", "再読込", &TForm1::popRefreshClick);
  item(popSetting, "popSetting", "設定", &TForm1::popSettingClick);
  DirFileListBox1 = new controls::TDirFileListBox(this);
  DirFileListBox1->Name = "DirFileListBox1";
  DirFileListBox1->SetParent(TabSheet1);
  DirFileListBox1->Align = alTop;
  DirFileListBox1->MultiSelect = true;
  DirFileListBox1->ItemHeight = 18;
  DirFileListBox1->PopupMenu = PopupMenu1;
  DirFileListBox1->NameWidth = 100;
  DirFileListBox1->TimeWidth = 150;
  DirFileListBox1->AttrWidth = 30;
  DirFileListBox1->SetMask("*.pdf");
  DirFileListBox1->SetSortOrder(controls::soName);
  DirFileListBox1->SetSortDirection(controls::sdUpword);
  DirFileListBox1->SetShowHiddenSysFile(true);
  DirFileListBox1->Loaded();

  // In a terminal these make up the one line of progress.
  AddStatusControl(LabelFile);
  AddStatusControl(LabelState);
  AddStatusControl(ProgressBar1);

  OnCreate = [this](rtl::TComponent* s) { FormCreate(s); };
  OnActivate = [this](rtl::TComponent* s) { FormActivate(s); };
  OnClose = [this](rtl::TComponent* s, TCloseAction& a) { FormClose(s, a); };
  OnDestroy = [this](rtl::TComponent* s) { FormDestroy(s); };
  CheckBox1->OnClick = [this](rtl::TComponent* s) { CheckBox1Click(s); };
  CheckBox2->OnClick = [this](rtl::TComponent* s) { CheckBox2Click(s); };
  CheckBox3->OnClick = [this](rtl::TComponent* s) { CheckBox3Click(s); };
  CheckBox4->OnClick = [this](rtl::TComponent* s) { CheckBox4Click(s); };
  SpeedButtonLoad->OnClick = [this](rtl::TComponent* s) { SpeedButtonLoadClick(s); };
  ButtonLApp->OnClick = [this](rtl::TComponent* s) { ButtonLAppClick(s); };

  StartFolder = rtl::GetCurrentDir();
}

TForm1::~TForm1() = default;

void TForm1::FormCreate(rtl::TComponent*) {
  // A program kept in a folder named "convert" gets an "inbox" beside it.
  std::string exeDir = rtl::ExcludeTrailingPathDelimiter(ExeFolder());
  if (rtl::LowerCase(rtl::ExtractFileName(exeDir)) == "convert")
    rtl::ForceDirectories(rtl::ExtractFilePath(exeDir) + "inbox");

  // Settings that cannot be read are not taken for the defaults: those
  // delete sources and TIFFs the user may have asked to keep. The program
  // says so and ends before it touches any file.
  try {
    LoadSettings();
  } catch (const std::exception&) {
    startFailed_ = true;
    if (forms::Application) {
      forms::Application->ExitCode = kFailedRunExitCode;
      forms::Application->Terminate();
    }
    throw;
  }
  Top = Settings.Top;
  Left = Settings.Left;
  TabSheet1->Show();
  CheckBox1->SetChecked(Settings.DD != 0);
  CheckBox2->SetChecked(Settings.DoLaunch != 0);
  CheckBox3->SetChecked(Settings.ORG != 0);
  CheckBox4->SetChecked(Settings.TRG != 0);
  EditLApp->Text = Settings.Launch;

  // The conversion cannot run without its work folder, nor the settings be
  // kept without theirs (the user's own when the program is installed).
  rtl::ForceDirectories(WorkRoot());
  rtl::ForceDirectories(SettingsFolder());
  // Into the Trash, silently; what could not be deleted stays.
  FileOperation1->FromFiles().Clear();
  for (const auto& m : kWorkMasks) FileOperation1->FromFiles().Add(WorkRoot() + m);
  FileOperation1->DeleteFiles();
  PrepareWorkFolder();
  // Saves of an earlier run that was killed in the middle.
  rtl::TIniFile(IniFileName()).RemoveStaleTemporaries();
  rtl::TIniFile(LogFileName()).RemoveStaleTemporaries();

  const int dropped = DeleteLoggedFiles();

  BindImagingLibrary();
  ImageHandle = 0;
  LabelFile->SetCaption("");
  LabelState->SetCaption(dropped > 0 ? rtl::Format(kLogDroppedNote, {dropped}) : "");
}

int TForm1::DeleteLoggedFiles() {
  TLogLock lock;
  const std::vector<TLogEntry> entries = ReadLogEntries();
  if (entries.empty()) return 0;
  auto real = [](const std::string& folder) {
    char buf[PATH_MAX];
    return ::realpath(folder.c_str(), buf) ? rtl::IncludeTrailingPathDelimiter(buf) : std::string();
  };
  auto inside = [](const std::string& folder, const std::string& within) {
    return !within.empty() && folder.compare(0, within.size(), within) == 0;
  };
  const std::string exeFolder = real(ExeFolder()), workRoot = real(WorkRoot()),
                    settings = real(SettingsFolder());
  // A TIFF of the last run that this start is given by name (by any of its
  // names) is refused as a source, and stays: deleted first, it would be
  // lost and said never to have been there.
  std::vector<TFileIdentity> named;
  for (int i = 1; i <= rtl::ParamCount(); ++i) {
    const std::string arg = rtl::ParamStr(i);
    if (arg.empty() || (arg[0] != rtl::PathDelim && StartFolder.empty())) continue;
    try {
      named.push_back(IdentifyRegularFile(MakeAbsolute(arg, StartFolder)));
    } catch (const EFileGuardError&) {
      // No regular file: nothing of the log's.
    }
  }
  auto isNamed = [&](const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 &&
           std::any_of(named.begin(), named.end(),
                       [&](const TFileIdentity& n) { return n.Device == st.st_dev && n.Inode == st.st_ino; });
  };
  int dropped = 0;
  for (const auto& e : entries) {
    struct stat st;
    // Gone already: nothing to say.
    if (!e.Path.empty() && e.Path[0] == '/' && ::lstat(e.Path.c_str(), &st) != 0 && errno == ENOENT) continue;
    if (!e.Path.empty() && e.Path[0] == '/' && isNamed(e.Path)) continue;
    // Only a TIFF of ours as we made it: an absolute name ending in ".tif",
    // outside the program's own folders (a copied run folder brings its log
    // along), still the very file that was logged.
    const std::string folder = e.Path.empty() ? "" : real(rtl::ExtractFilePath(e.Path));
    const bool ours = !e.Path.empty() && e.Path[0] == '/' && e.Path.size() > 4 &&
                      e.Path.compare(e.Path.size() - 4, 4, ".tif") == 0 && !folder.empty() &&
                      !inside(folder, exeFolder) && !inside(folder, workRoot) && !inside(folder, settings) &&
                      !e.Mark.empty() && FileMark(e.Path) == e.Mark;
    if (!ours || !rtl::DeleteFile(e.Path)) ++dropped;
  }
  // Every entry is done with: deleted, gone, or not to be deleted ever.
  try {
    WriteLog({});
  } catch (const std::exception&) {
    // The close writes the log again and says what fails then.
  }
  return dropped;
}

void TForm1::FormActivate(rtl::TComponent*) {
  if (startFailed_) return;
  ShowStartFolder();
  if (activated_) return;
  activated_ = true;
  if (rtl::ParamCount() == 0) return;
  std::vector<std::string> paths;
  // A name that is no regular file is passed over (the design passes over
  // what is not there), but said: the scanner software that named it must
  // not take the run for a success. A file named twice (scan.pdf
  // ./scan.pdf) is one scan, converted once: at its second turn its source
  // would be gone, and the batch taken for failed.
  std::vector<TFileIdentity> named;
  int passedOver = 0;
  for (int i = 1; i <= rtl::ParamCount(); ++i) {
    const std::string arg = rtl::ParamStr(i);
    // A relative name is the start folder's; where that folder is not known
    // (it was removed while the shell stood in it) the name stands for no
    // file, and would otherwise be taken from the root of the file system.
    if (StartFolder.empty() && !arg.empty() && arg[0] != rtl::PathDelim) {
      ++passedOver;
      forms::MessageDlg("Source Error: " + arg + ": " + kStartFolderGone, forms::mtError, forms::mbOK);
      continue;
    }
    std::string p = ExpandLongPath(MakeAbsolute(arg, StartFolder));
    TFileIdentity id;
    try {
      id = IdentifyRegularFile(p);
    } catch (const EFileGuardError& e) {
      ++passedOver;
      forms::MessageDlg(e.what(), forms::mtError, forms::mbOK);
      continue;
    }
    if (std::any_of(named.begin(), named.end(),
                    [&](const TFileIdentity& n) { return n.Device == id.Device && n.Inode == id.Inode; }))
      continue;
    named.push_back(id);
    paths.push_back(p);
  }
  // In a terminal the window stays after a failed batch so that the user
  // sees the error. Without one nobody could ever close it: there the error
  // is reported and the window closes as after a batch that went well.
  const bool unattended = forms::Application && !forms::Application->Presenter().Interactive();
  try {
    RunBatch(paths, true);
    // Each kept document was reported as it was met; the batch went on.
    if ((KeptDocuments > 0 || passedOver > 0) && forms::Application)
      forms::Application->ExitCode = kFailedRunExitCode;
  } catch (const rtl::EAbort&) {
    // A signal ended the batch: what it did not do is a failure too.
    if (forms::Application) {
      forms::Application->ExitCode = kFailedRunExitCode;
      forms::Application->HandleException(rtl::Exception(kBatchInterrupted));
    }
    throw;
  } catch (const std::exception& e) {
    if (forms::Application) forms::Application->ExitCode = kFailedRunExitCode;
    if (!unattended || Settings.DD != 0) throw;
    forms::Application->HandleException(e);
  }
  // A close asked for during the batch may have ended the program already.
  if (Settings.DD != 0 || Closed()) return;
  try {
    Close();
  } catch (const std::exception& e) {
    if (!unattended) throw;
    // Settings that cannot be saved must not keep the program waiting.
    forms::Application->HandleException(e);
    forms::Application->ExitCode = kFailedRunExitCode;
    forms::Application->Terminate();
  }
}

void TForm1::FormClose(rtl::TComponent*, forms::TCloseAction& Action) {
  // The batch still needs its form, its list and its files: close when it
  // is done, and keep the sender of a close command waiting until then.
  if (busy_) {
    closePending_ = true;
    DeferClose();
    Action = forms::caNone;
    return;
  }
  // Nothing was read: there is nothing to keep, and a write could only
  // replace what the user has.
  if (startFailed_) return;
  // Both writes are tried; the first failure is reported afterwards.
  std::exception_ptr failure;
  try {
    TLogLock lock;
    // Converters that ran beside this one may have logged theirs since our
    // start: they stay, ours join them.
    std::vector<TLogEntry> entries;
    for (auto& e : ReadLogEntries())
      if (!e.Path.empty() && marks_.count(e.Path) == 0) entries.push_back(std::move(e));
    if (Settings.TRG == 0) {
      const rtl::TStrings& produced = DropFileSource1->Files();
      for (int i = 0; i < produced.Count(); ++i)
        if (auto it = marks_.find(produced[i]); it != marks_.end() && !it->second.empty())
          entries.push_back({it->first, it->second});
    }
    if (Settings.TRG != 0 && entries.empty())
      DeleteLog();
    else
      WriteLog(entries);
  } catch (...) {
    failure = std::current_exception();
  }
  if (WindowState == forms::wsNormal) {
    Settings.Top = Top;
    Settings.Left = Left;
  }
  try {
    SaveSettings();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

void TForm1::FormDestroy(rtl::TComponent*) {
  if (ImageHandle != 0) {
    IKFreeMemory(ImageHandle);
    ImageHandle = 0;
  }
  UnbindImagingLibrary();
  // What a failed or interrupted conversion left goes with the program.
  if (!startFailed_) RemoveWorkFolder();
}

void TForm1::CheckBox1Click(rtl::TComponent*) {
  Settings.DD = CheckBox1->Checked() ? 1 : 0;
}
void TForm1::CheckBox2Click(rtl::TComponent*) {
  Settings.DoLaunch = CheckBox2->Checked() ? 1 : 0;
}
void TForm1::CheckBox3Click(rtl::TComponent*) {
  Settings.ORG = CheckBox3->Checked() ? 1 : 0;
}
void TForm1::CheckBox4Click(rtl::TComponent*) {
  Settings.TRG = CheckBox4->Checked() ? 1 : 0;
}

void TForm1::PDFDocPassword(rtl::TPersistent*, std::string& Password, bool& Continue) {
  if (!AskPassword) {
    Continue = true;
    return;
  }
  AskPassword = false;
  // The file asked for is on show first (its name in the status).
  if (forms::Application) forms::Application->ProcessMessages();
  TPromptResult answer = PromptText(kPasswordPrompt);
  if (answer.Cancelled) {
    passwordCancelled_ = true;
    Continue = false;
    return;
  }
  Password = answer.Text;
  Continue = true;
}

bool TForm1::LoadPages(const std::string& path) {
  passwordCancelled_ = false;
  AskPassword = false;
  for (int asked = 0;; ++asked) {
    try {
      Pages->LoadFromFile(path);
      return !passwordCancelled_;
    } catch (const pdf::EPasswordError&) {
      // The empty password first, then a person's answers; with nobody to
      // answer, the file fails as it is.
      const bool canAsk = forms::Application && forms::Application->Presenter().Interactive();
      if (asked >= kPasswordTries || !canAsk) throw;
      AskPassword = true;
    }
  }
}

void TForm1::SpeedButtonLoadClick(rtl::TComponent*) {
  if (busy_) return;
  OpenDialog1->Filter = kPdfFilter;
  OpenDialog1->DefaultExt = kPdfExt;
  if (!OpenDialog1->Execute()) return;
  // The dialog may be used again while the batch runs.
  const std::vector<std::string> chosen = OpenDialog1->Files;
  RunBatch(chosen, false);
}

void TForm1::FileDrop1FileDrop(rtl::TObject*, int Num, rtl::TStrings& Files, int, int) {
  if (Num <= 0 || busy_) return;
  std::vector<std::string> dropped;
  for (int i = 0; i < Num && i < Files.Count(); ++i) dropped.push_back(Files[i]);
  RunBatch(dropped, false);
}

void TForm1::ButtonLAppClick(rtl::TComponent*) {
  OpenDialog1->Filter = kExeFilter;
  OpenDialog1->DefaultExt = kExeExt;
  if (!OpenDialog1->Execute()) return;
  Settings.Launch = OpenDialog1->FileName;
  EditLApp->Text = Settings.Launch;
}

void TForm1::HandOff(const std::string& tifPath) {
  THandOffResult r = hoNotAsked;
  try {
    r = Handover->HandOff({Settings.DoLaunch, Settings.Launch, Settings.DD}, tifPath,
                          &DropFileSource1->Files());
  } catch (...) {
    // The wait for the filing application was given up (the program is
    // closing): nobody got the TIFF, which may be the scan's only copy.
    marks_.erase(tifPath);
    throw;
  }
  // Never handed to any application: the user's only copy of the scan.
  if (r == hoNoApplication || r == hoStartFailed || r == hoWaitExpired) marks_.erase(tifPath);
  if (r == hoWaitExpired) throw rtl::Exception(kFilingWaitExpired);
  if (r == hoStartFailed) throw rtl::Exception(std::string(kLaunchFailed) + ": " + Settings.Launch);
}

void TForm1::AddProduced(const std::string& tifPath) {
  DropFileSource1->Files().Add(tifPath);
  marks_[tifPath] = FileMark(tifPath);
}

bool TForm1::OwnTiff(const std::string& path) const {
  auto it = marks_.find(path);
  return it != marks_.end() && !it->second.empty() && FileMark(path) == it->second;
}

bool TForm1::FilingWindowPresent() {
  return converter::FilingWindowPresent(*WinList1);
}

bool TForm1::RunBatch(const std::vector<std::string>& paths, bool commandLine) {
  // A batch would delete the files a drag is offering.
  if (busy_ || DropFileSource1->Dragging()) return false;
  busy_ = true;
  if (!commandLine) {
    FileDrop1->SetAccept(false);
    SpeedButtonLoad->SetEnabled(false);
  }
  std::exception_ptr failure;
  try {
    rtl::TStrings& produced = DropFileSource1->Files();
    // Only what is still the TIFF the batch made: a file the user or the
    // filing application put under that name since is not ours. Nor one
    // this batch was given (dropped back on the window, by any of its
    // names): that one is refused as a source, and must still be there.
    std::vector<TFileIdentity> given;
    for (const auto& path : paths) {
      try {
        given.push_back(IdentifyRegularFile(path));
      } catch (const std::exception&) {
        // No regular file: nothing the batch would delete.
      }
    }
    auto isGiven = [&](const std::string& file) {
      try {
        const TFileIdentity id = IdentifyRegularFile(file);
        return std::any_of(given.begin(), given.end(), [&](const TFileIdentity& g) {
          return g.Device == id.Device && g.Inode == id.Inode;
        });
      } catch (const std::exception&) {
        return false;
      }
    };
    if (Settings.TRG == 0)
      for (int i = 0; i < produced.Count(); ++i)
        if (OwnTiff(produced[i]) && !isGiven(produced[i])) rtl::DeleteFile(produced[i]);
    produced.Clear();
    KeptDocuments = 0;
    marks_.clear();
    placed_.clear();
    for (const auto& path : paths) {
      const int before = produced.Count();
      try {
        ConvertDocument(path);
      } catch (const rtl::EAbort&) {
        throw;
      } catch (rtl::Exception& e) {
        // A report without a window says which file failed, unless the
        // message names it already.
        if (e.Subject.empty() && e.Message.find(path) == std::string::npos) e.Subject = path;
        throw;
      } catch (const std::exception& e) {
        rtl::Exception named(e.what());
        named.Subject = path;
        throw named;
      }
      for (int i = before; i < produced.Count(); ++i) marks_[produced[i]] = FileMark(produced[i]);
      if (!Settings.Launch.empty()) HandOff(rtl::ChangeFileExt(path, ".tif"));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // What a document that failed left in the work folder.
  ClearWorkFolder();
  busy_ = false;
  if (!commandLine) {
    FileDrop1->SetAccept(true);
    SpeedButtonLoad->SetEnabled(true);
  }
  if (closePending_) {
    closePending_ = false;
    try {
      Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  return true;
}

void TForm1::ShowStartFolder() {
  std::string folder = Settings.Path;
  if (folder.empty() || folder[0] != rtl::PathDelim) folder = ExeFolder();
  // A start folder that is gone (a removed medium, a deleted folder) shows
  // the nearest folder above it; the setting itself stays for its return.
  folder = rtl::ExcludeTrailingPathDelimiter(folder);
  while (folder.size() > 1 && !rtl::DirectoryExists(folder)) folder = rtl::ExtractFileDir(folder);
  DriveComboBox1->SetDrive(folder[0]);
  DirFileListBox1->SetDirectory(folder);
}

std::vector<std::string> TForm1::SelectedFiles() {
  std::vector<std::string> files;
  for (int i = 0; i < DirFileListBox1->Count(); ++i)
    if (DirFileListBox1->Selected(i) && !DirFileListBox1->IsDirectory(i))
      files.push_back(DirFileListBox1->GetItemPath(i));
  return files;
}

void TForm1::popConvertClick(rtl::TComponent*) {
  if (busy_) return;
  const std::vector<std::string> files = SelectedFiles();
  // No file chosen, no batch: a batch would delete the previous TIFFs.
  if (files.empty()) return;
  try {
    RunBatch(files, false);
  } catch (...) {
    DirFileListBox1->Update();
    throw;
  }
  DirFileListBox1->Update();
}

void TForm1::popDeleteClick(rtl::TComponent*) {
  // The running batch may be converting one of them.
  if (busy_) return;
  for (const auto& f : SelectedFiles()) rtl::DeleteFile(f);
  DirFileListBox1->Update();
}

void TForm1::popRefreshClick(rtl::TComponent*) {
  if (busy_) return;
  // The command is the user's way to see the folder as it is now (after a
  // delete, or files a scan added): a repaint alone would show the entries
  // read when the folder was entered.
  DirFileListBox1->Rescan();
}

void TForm1::popSettingClick(rtl::TComponent*) {
  if (busy_) return;
  if (forms::MessageDlg(kStartFolderPrompt, forms::mtConfirmation, forms::mbYes | forms::mbNo) !=
      forms::mrYes)
    return;
  Settings.Path = rtl::IncludeTrailingPathDelimiter(DirFileListBox1->Directory());
  DirFileListBox1->SetDirectory(Settings.Path);
  DirFileListBox1->Update();
}

void TForm1::DriveComboBox1Change(rtl::TComponent*) {
  DirFileListBox1->SetDrive(DriveComboBox1->Drive());
}

void TForm1::CheckTerminated() {
  // The main window was closed (a termination signal) in the middle of a
  // conversion: the rest of the batch is given up, the source kept.
  if (forms::Application && forms::Application->Terminated()) throw rtl::EAbort("");
}

void TForm1::ConvertDocument(const std::string& path) {
  const std::string work = WorkFolder();
  // The page tool works in the work folder; the program's own current
  // folder is given back after the document (the load button's dialog
  // starts there, and the filing application inherits it), since the work
  // folder goes when the program ends.
  struct BackTo {
    std::string Folder;
    ~BackTo() {
      if (!Folder.empty()) rtl::SetCurrentDir(Folder);
    }
  } backTo{rtl::GetCurrentDir()};
  // A work folder that could not be made (a home folder that cannot be
  // written) is said as what it is: the bare code would read as a fault of
  // the scan whose name the report carries.
  if (!rtl::SetCurrentDir(work)) {
    const int error = rtl::GetLastError();
    throw rtl::EInOutError(rtl::Format(rtl::SInOutError, {error}) + ": the work folder " + work +
                           " cannot be entered: " + std::strerror(error));
  }
  LabelFile->SetCaption("ファイル" + rtl::ExtractFileName(path));
  LabelState->SetCaption("処理開始");
  // The captions are shown once the first pages' tools run (below).
  CheckTerminated();

  // The TIFF goes beside the source under its name: a source that already
  // bears that name would be overwritten by its own TIFF, then deleted.
  const std::string target = rtl::ChangeFileExt(path, ".tif");
  if (target == path) throw EFileGuardError("Source Error: " + path + " is named like its own TIFF");
  const TFileIdentity source = IdentifyRegularFile(path);
  // The same file under the TIFF's name: a second link to it, or the name
  // itself where the file system ignores case (scan.TIF on a memory card).
  if (IsPlacedFile(target, source))
    throw EFileGuardError("Source Error: " + path + " is named like its own TIFF");
  // Two files of a batch whose TIFFs take one name (scan and scan.pdf,
  // a.pdf and a.PDF): the second TIFF would replace the first, whose source
  // may be gone already.
  for (const auto& p : placed_)
    if (IsPlacedFile(target, p.Tiff) && !(p.Source.Device == source.Device && p.Source.Inode == source.Inode))
      throw EFileGuardError("Source Error: " + path + ": " + target +
                            " is the TIFF of another file of this batch, and stays");

  if (!LoadPages(path)) {
    KeepSource(path, kKeptNoPassword, "");
    return;
  }
  const int n = Pages->PageCount();
  // Nothing to convert is no conversion: the user hears of it, and the
  // source stays.
  if (n <= 0) {
    KeepSource(path, kKeptNoPage, "");
    return;
  }

  struct Restore {
    TForm1* f;
    ~Restore() {
      // The name of a file that goes with the document.
      f->tiffFile_.clear();
      f->tiffName_.clear();
      f->ProgressBar1->SetPosition(0);
      if (forms::Screen) forms::Screen->Cursor = forms::crDefault;
    }
  } restore{this};
  if (forms::Screen) forms::Screen->Cursor = forms::crHourGlass;
  ProgressBar1->SetMax(n);
  ProgressBar1->SetPosition(0);

  Pages->FreeOutlines();
  if (rtl::FileExists(kTempTif)) rtl::DeleteFile(kTempTif);
  // The pages go once, straight into the file that becomes the TIFF; only
  // where the target's file system cannot hold it unnamed is the TIFF made
  // in the work folder and copied.
  TTiffBesideTarget beside;
  const bool direct = TiffBesideTarget && beside.Open(target);
  tiffFile_ = direct ? beside.Path() : work + kTempTif;
  tiffName_ = direct ? target : std::string(kTempTif);

  int converted = 0;
  severalImages_.clear();
  // The page tool runs on the pages ahead of the one in work, several at
  // once; each page still comes to the TIFF in its turn. What the document
  // leaves in work when it is given up goes with it: the tools are killed,
  // the page files and images deleted.
  runs_ = std::make_unique<TPageRuns>(work, PageToolTimeLimitMs);
  split_.clear();
  splitCount_ = 0;
  splitStopped_ = false;
  pageCount_ = n;
  pageNumber_ = 0;
  struct EndRuns {
    TForm1* f;
    ~EndRuns() {
      f->pageCount_ = 0;
      f->runs_.reset();
      for (const auto& [page, s] : f->split_)
        if (rtl::FileExists(s.File)) rtl::DeleteFile(s.File);
      f->split_.clear();
    }
  } endRuns{this};
  // The first pages' tools start before anything waits on the window (the
  // first showing of it above all, a good part of the first page's time):
  // what they take runs beside it.
  SplitAhead();
  // The pages go one after the other on a thread of their own; this one
  // shows how far they got, answers the windows (which may take their
  // time: a first paint, a dialog) and gives them up when the program
  // ends.
  struct Unset {
    TForm1* f;
    ~Unset() { f->pages_ = nullptr; }
  } unset{this};
  TWorkThread pages([this] {
    if (forms::Application) forms::Application->ProcessMessages();
    CheckTerminated();
  });
  pages_ = &pages;
  pages.Start([this, n, &converted] { ConvertPages(n, converted); });
  pages.Finish();
  // A close asked for during the last page (a page tool that ended before
  // its first look let no message run) gives the document up here, before
  // its TIFF is placed and its source deleted.
  if (forms::Application) forms::Application->ProcessMessages();
  CheckTerminated();
  LabelState->SetCaption("ページ数" + rtl::IntToStr(n) + "処理終了");

  // The pages that converted of a document that is not whole are the
  // user's where nothing lies at the TIFF's name; a file there (most likely
  // the whole TIFF of an earlier run of the same scan) is worth more, and
  // stays.
  const bool whole = converted == n && severalImages_.empty();
  const TPlacement mode = whole ? TPlacement::Replace : TPlacement::KeepExisting;
  bool copied = false, taken = false;
  TFileIdentity placed;
  std::string notPlaced;
  if (converted > 0 && (direct || rtl::FileExists(kTempTif))) {
    try {
      placed = direct ? beside.Place(converted, work + kPlacementNote, mode)
                      : PlaceTiff(work + kTempTif, target, converted, work + kPlacementNote, mode);
      copied = true;
    } catch (const ETargetTaken& e) {
      taken = true;
      notPlaced = std::string(e.what()) + "; the partial TIFF (" + rtl::IntToStr(converted) +
                  (converted == 1 ? " page" : " pages") + ") was not placed";
    } catch (const EFileGuardError& e) {
      notPlaced = e.what();
    }
    if (!direct) rtl::DeleteFile(kTempTif);
  }
  // The source goes only when the file at the TIFF's name is the one just
  // placed there, holding every page whole, and the source is still the
  // file that was read.
  std::string kept;
  if (converted == 0) {
    kept = kKeptNoPage;
  } else if (!copied && !taken) {
    kept = kKeptNotCopied;
  } else if (converted < n) {
    kept = rtl::IntToStr(n - converted) + kKeptPagesMissing;
  } else if (!severalImages_.empty()) {
    std::string pages;
    for (int p : severalImages_) pages += (pages.empty() ? "" : ",") + rtl::IntToStr(p);
    kept = pages + kKeptSeveralImages;
  } else if (!IsPlacedFile(target, placed) || !StillTheSame(path, source)) {
    kept = rtl::FileExists(path) ? kKeptChanged : kSourceGone;
  }
  if (kept.empty()) {
    if (Settings.ORG == 0 && !rtl::DeleteFile(path))
      KeepSource(path, kSourceNotDeleted, std::strerror(errno));
  } else {
    KeepSource(path, kept, notPlaced);
  }
  if (copied) {
    DropFileSource1->Files().Add(target);
    placed_.push_back({placed, source});
  }
}

void TForm1::ShowPage(int p, const std::string& state) {
  auto show = [this, p, state] {
    ProgressBar1->SetPosition(p);
    LabelState->SetCaption(state);
    if (forms::Application) forms::Application->ProcessMessages();
    CheckTerminated();
  };
  if (!pages_) return show();
  pages_->Tick();
  pages_->Post(show);
}

void TForm1::PagesTick() {
  if (pages_) return pages_->Tick();
  if (forms::Application) forms::Application->ProcessMessages();
  CheckTerminated();
}

void TForm1::OnFormThread(const std::function<void()>& fn) {
  if (pages_)
    pages_->Call(fn);
  else
    fn();
}

void TForm1::ConvertPages(int n, int& converted) {
  for (int p = 1; p <= n; ++p) {
    ShowPage(p, rtl::IntToStr(p) + "ページ分割処理");
    if (splitCount_ < p) SplitPage(p);
    TSplitPage page = std::move(split_[p]);
    split_.erase(p);
    // What went wrong ahead is said in the page's turn, as it would have
    // been had the pages gone one at a time.
    if (page.SplitError) std::rethrow_exception(page.SplitError);
    pageNumber_ = p;
    pageWidth_ = page.Width;
    pageRotation_ = page.Rotation;
    pageJpegInverted_ = page.JpegSamplesInverted;
    ShowPage(p, rtl::IntToStr(p) + "ページ変換処理");
    if (page.StartError) {
      runs_->Release(page.File);
      std::rethrow_exception(page.StartError);
    }
    if (ConvertPage(page.File)) ++converted;
  }
}

void TForm1::KeepSource(const std::string& path, const std::string& state, const std::string& detail) {
  LabelState->SetCaption(state);
  ++KeptDocuments;
  std::string text = rtl::ExtractFileName(path) + ": " + state;
  if (!detail.empty()) text += "\n" + detail;
  forms::MessageDlg(text, forms::mtError, forms::mbOK);
}

void TForm1::SplitPage(int p) {
  splitCount_ = p;
  TSplitPage& page = split_[p];
  page.File = WorkFolder() + "$temp-" + rtl::Format("%.3d", {p}) + ".pdf";
  try {
    Pages->ExtractPage(page.File, p);
    TPageBox box = Pages->PageSize(p);
    // The width counts whichever way the box's corners are given.
    page.Width = static_cast<int>(std::trunc(std::fabs(box.X2 - box.X1) * 100.0));
    page.Rotation = Pages->PageRotation(p);
    page.JpegSamplesInverted = Pages->JpegSamplesInverted(p);
  } catch (const rtl::EWriteError& e) {
    // The page's own file in the work folder, not the scan, could not be
    // written: said with its name, and why where the file system says.
    const std::string why = StorageRefusal(errno);
    page.SplitError =
        std::make_exception_ptr(rtl::EWriteError(std::string(e.what()) + ": " + page.File + why));
    splitStopped_ = true;
    return;
  } catch (...) {
    page.SplitError = std::current_exception();
    splitStopped_ = true;
    return;
  }
  try {
    runs_->Start(page.File);
  } catch (...) {
    page.StartError = std::current_exception();
    splitStopped_ = true;
  }
}

void TForm1::SplitAhead() {
  // Not past a page that went wrong: one at a time, the pages after it
  // would never have been split.
  if (!runs_ || splitStopped_) return;
  const int tools = std::max(1, PageTools);
  // Pages whose tool has ended wait with their images until their turn;
  // their number is bounded too, and with it what the work folder holds.
  while (splitCount_ < pageCount_ && runs_->Running() < tools && splitCount_ - pageNumber_ < 2 * tools) {
    SplitPage(splitCount_ + 1);
  }
}

bool TForm1::ConvertPage(const std::string& pageFile) {
  if (!rtl::FileExists(pageFile)) return false;
  const std::string work = WorkFolder();
  rtl::ChDir(work);
  // A page that was not split ahead has its tool started here.
  if (!runs_) runs_ = std::make_unique<TPageRuns>(work, PageToolTimeLimitMs);
  if (!runs_->Holds(pageFile)) {
    try {
      runs_->Start(pageFile);
    } catch (...) {
      runs_->Release(pageFile);
      throw;
    }
  }
  try {
    SplitAhead();
    while (!runs_->Ended(pageFile)) {
      // The runs of the pages ahead go with the document (see
      // ConvertDocument).
      PagesTick();
      runs_->Wait(kToolPollSliceMs);
      SplitAhead();
    }
  } catch (...) {
    runs_->Release(pageFile);
    throw;
  }
  if (runs_->TimedOut(pageFile)) {
    runs_->Release(pageFile);
    throw rtl::Exception(rtl::Format("Exec Timeout: %s did not finish within %d seconds",
                                     {kPageToolName, PageToolTimeLimitMs / 1000}));
  }
  // A tool that failed or crashed may have left half an image, or none:
  // that is its fault, not the page's, and it ends the document.
  if (std::string failure = runs_->Failure(pageFile, pageNumber_); !failure.empty()) {
    runs_->Release(pageFile);
    throw rtl::Exception(failure);
  }

  const std::vector<std::string> images = runs_->Images(pageFile);
  // The first image alone is not the page when there are more (two strips,
  // a logo before the scan): taken as the design takes it, but the document
  // is not complete.
  if (images.size() > 1) severalImages_.push_back(pageNumber_);
  const std::string root = work + ImageRoot(pageFile) + "-000";
  const std::string pbm = root + ".pbm", ppm = root + ".ppm", jpg = root + ".jpg";
  bool found = true;
  try {
    if (rtl::FileExists(pbm)) {
      LoadPortableMap(pbm);
      uint16_t d = PageResolution(Picture().Width(), pageWidth_);
      // A 1-bit page is turned as it is and brought to black and white as a
      // trip through 24 bits would: it is 24 times smaller to turn. Anything
      // else still takes the trip.
      graphics::TBitmap& page = Picture().Bitmap();
      if (page.PixelFormat() != graphics::pf1bit) page.SetPixelFormat(graphics::pf24bit);
      if (d < kRotateBelowDpi) RotateByPageRotation(*Image1, pageRotation_);
      page.SetPixelFormat(graphics::pf1bit);
      MakeBlackAndWhite(page);
      AppendPage(1, 4, d);
    } else if (rtl::FileExists(ppm)) {
      LoadPortableMap(ppm);
      uint16_t d = PageResolution(Picture().Width(), pageWidth_);
      Picture().Bitmap().SetPixelFormat(graphics::pf24bit);
      if (d < kRotateBelowDpi) RotateByPageRotation(*Image1, pageRotation_);
      AppendPage(8, 5, d);
    } else if (rtl::FileExists(jpg)) {
      // Images that the page tool left out make the page as incomplete as
      // images it wrote beside this one.
      if (LoadJpegPage(jpg) && images.size() <= 1) severalImages_.push_back(pageNumber_);
      // The resolution is the one of the page as scanned, before any turn:
      // the page width is the unturned box's, so a width measured after a
      // quarter turn (the former height) would give another page's
      // resolution.
      uint16_t d = PageResolution(Picture().Width(), pageWidth_);
      Picture().Bitmap().SetPixelFormat(graphics::pf24bit);
      if (d < kRotateBelowDpi) RotateByPageRotation(*Image1, pageRotation_);
      AppendPage(24, 5, d);
    } else {
      found = false;
      OnFormThread([] { forms::MessageDlg(kNoImageMessage, forms::mtWarning, forms::mbOK); });
    }
  } catch (rtl::Exception& e) {
    // The page tool says nothing of a disk that filled under it: its image,
    // cut short, fails to load, which would read as a fault of the scan.
    const std::string full = std::strerror(ENOSPC);
    if (e.Message.find(full) == std::string::npos && WorkFolderFull(work))
      e.Message += ": the work folder " + work + ": " + full;
    runs_->Release(pageFile);
    throw;
  } catch (...) {
    runs_->Release(pageFile);
    throw;
  }
  runs_->Release(pageFile);
  return found;
}

void TForm1::LoadPortableMap(const std::string& file) {
  LoadPortableMapInto(file, Picture());
  rtl::DeleteFile(file);
}

bool TForm1::LoadJpegPage(const std::string& file) {
  const bool more = LoadPageJpeg(file, Picture(), pageJpegInverted_);
  rtl::DeleteFile(file);
  return more;
}

void TForm1::AppendPage(int bitDepth, int compression, uint16_t dpi) {
  ImageHandle = IKGetImageFromHdc(Image1->Canvas().Handle(), Picture().Width(), Picture().Height(), bitDepth);
  if (ImageHandle == 0) throw rtl::Exception("TIFF Error: the page image could not be taken");
  // A resolution of 0 is none: the TIFF then says nothing about it.
  if (dpi != 0) IKSetDpi(ImageHandle, dpi, dpi);
  const std::string file = tiffFile_.empty() ? std::string(kTempTif) : tiffFile_;
  errno = 0;
  int32_t saved = IKTiffFileSave(file, ImageHandle, compression, 0, -1, "", 0, 0, "", "", "");
  const std::string why = StorageRefusal(errno);
  IKFreeMemory(ImageHandle);
  ImageHandle = 0;
  // A page that did not reach the TIFF ends the document: the source stays.
  if (saved == 0)
    throw rtl::Exception("TIFF Error: the page could not be added to " +
                         (tiffName_.empty() ? file : tiffName_) + why);
}

// ---- the drag panel and the About links -------------------------------------

void TForm1::Panel1MouseDown(rtl::TComponent*, forms::TMouseButton, forms::TShiftState, int X, int Y) {
  pressX_ = X;
  pressY_ = Y;
}

void TForm1::Panel1MouseMove(rtl::TComponent*, forms::TShiftState Shift, int X, int Y) {
  // One button held and no key: a modifier belongs to other gestures.
  if (Shift != forms::ssLeft && Shift != forms::ssRight) return;
  if (std::abs(pressX_ - X) < kDragThreshold && std::abs(pressY_ - Y) < kDragThreshold) return;
  rtl::TStrings& files = DropFileSource1->Files();
  if (files.Count() == 0) return;
  // The batch fills the list; a drag meanwhile would offer files half made.
  if (busy_) return;
  DropFileSource1->StartDrag();
  // A target that moved files away may report any effect (or none): the
  // files it took are forgotten, those it left stay for the next drag and
  // for the clean-up.
  for (int i = files.Count() - 1; i >= 0; --i)
    if (!rtl::FileExists(files[i])) files.Delete(i);
}

// No browser is started by its path: the desktop's shell opens the address
// with the user's own choice of browser.
void TForm1::LabelHPClick(rtl::TComponent*) {
  if (ShellStart) ShellStart(kHomePage, {}, "");
}

void TForm1::LabelMailClick(rtl::TComponent*) {
  if (ShellStart) ShellStart(kSupportMail, {}, "");
}

}  // namespace converter
