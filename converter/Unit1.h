// The converter's main window: its controls, its start and end (settings,
// log, work-folder clean-up), the batches (command line, file chooser,
// drop), the conversion of one PDF file into one multi-page TIFF beside it
// and the hand-off of each TIFF to the application of the settings.
//
// Ownership: the form owns its controls, its document component, its window
// list and its hand-off; the application owns the form. The page source
// borrows the document, the hand-off the window list.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "controls/DropSource.h"
#include "controls/FLBoxEx.h"
#include "controls/FindWin.h"
#include "controls/FolderDialog.h"
#include "controls/NewCtrls.h"
#include "converter/FileGuard.h"
#include "converter/HandOff.h"
#include "converter/PageSource.h"
#include "converter/PageTool.h"
#include "converter/PasswordDlg.h"
#include "converter/WorkThread.h"
#include "platform/forms/Buttons.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/Dialogs.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/FileCtrl.h"
#include "platform/forms/Forms.h"
#include "platform/forms/Menus.h"
#include "platform/forms/StdCtrls.h"
#include "platform/graphics/Graphics.h"
#include "platform/rtl/Classes.h"

namespace pdf {
class TkvPDFDocument;
}

namespace converter {

inline constexpr const char* kMainCaption = "Corvane☆ for Lumoraファイリング";
inline constexpr const char* kApplicationTitle = "Corvane☆Lumoraファイリング";
inline constexpr const char* kNoImageMessage = "このＰＤＦは変換できません\n\rImagePDFでない可能性があります";
inline constexpr const char* kPasswordPrompt = "オーナー又はユーザパスワード入力";
inline constexpr const char* kPdfFilter = "pdf file(*.pdf)|*.pdf";
inline constexpr const char* kPdfExt = ".pdf";
// The application to start: an executable here has no extension of its
// own (lumora_filing), so the chooser lists every file and adds none to a
// typed name.
inline constexpr const char* kExeFilter = "実行形式 file(*)|*";
inline constexpr const char* kExeExt = "";
// The About tab's links.
inline constexpr const char* kHomePage = "https://www.corvane.example/";
inline constexpr const char* kSupportMail = "mailto:support@corvane.example";
// How far the pointer moves from the press on the drag panel, in X or in Y,
// before a drag starts.
inline constexpr int kDragThreshold = 10;
inline constexpr const char* kStartFolderPrompt = "次回の起動時にここを開くようにしますか？";
// A relative name on the command line of a program started in a folder
// that is gone.
inline constexpr const char* kStartFolderGone = "the folder it was started in is gone";

// Below this resolution a page image is turned by the page's rotation; at
// or above it the image is taken as it is.
inline constexpr int kRotateBelowDpi = 650;

// The note of a start that dropped log entries it would not delete (%d:
// how many): not a TIFF of ours as it was made, or not a file of ours at all.
inline constexpr const char* kLogDroppedNote =
    "ログの%d件は変換後のファイルと確認できないため削除しませんでした";
// A batch given up for a termination signal; what was not done stays.
inline constexpr const char* kBatchInterrupted = "処理を中断しました（変換していないＰＤＦは残ります）";

// Masks of the temporary files that converters before per-process work
// folders left loose in the work root, cleared at every start.
inline const std::vector<std::string> kWorkMasks = {"*.pdf", "*.tif", "*.bmp", "*.jpg", "*.pbm", "*.ppm"};

// The resolution of a page image: its width in pixels over the page width
// (hundredths of a millimetre) in inches, truncated; only the low 16 bits
// count. A page width of 0 gives 0 (no resolution).
uint16_t PageResolution(int bitmapWidth, int pageWidth);

// The path with every component as the folder lists it, each matched by its
// exact name (never as a wildcard); a component that does not exist ends
// the lookup and the path stays as given. One trailing "/" is dropped.
std::string ExpandLongPath(const std::string& path);

class TForm1 : public forms::TForm {
 public:
  explicit TForm1(rtl::TComponent* owner);
  ~TForm1() override;

  // Event handlers.
  void FormCreate(rtl::TComponent* Sender);
  void FormActivate(rtl::TComponent* Sender);
  void FormClose(rtl::TComponent* Sender, forms::TCloseAction& Action);
  void FormDestroy(rtl::TComponent* Sender);
  void CheckBox1Click(rtl::TComponent* Sender);
  void CheckBox2Click(rtl::TComponent* Sender);
  void CheckBox3Click(rtl::TComponent* Sender);
  void CheckBox4Click(rtl::TComponent* Sender);
  void PDFDocPassword(rtl::TPersistent* Sender, std::string& Password, bool& Continue);
  void SpeedButtonLoadClick(rtl::TComponent* Sender);
  void FileDrop1FileDrop(rtl::TObject* Sender, int Num, rtl::TStrings& Files, int X, int Y);
  void ButtonLAppClick(rtl::TComponent* Sender);
  // The drag panel and the About links.
  void Panel1MouseDown(rtl::TComponent* Sender, forms::TMouseButton Button, forms::TShiftState Shift, int X,
                       int Y);
  void Panel1MouseMove(rtl::TComponent* Sender, forms::TShiftState Shift, int X, int Y);
  void LabelHPClick(rtl::TComponent* Sender);
  void LabelMailClick(rtl::TComponent* Sender);

  // The folder and file list: its pop-up commands refuse while a batch
  // runs, as the other entries do.
  void popConvertClick(rtl::TComponent* Sender);
  void popDeleteClick(rtl::TComponent* Sender);
  void popRefreshClick(rtl::TComponent* Sender);
  void popSettingClick(rtl::TComponent* Sender);
  void DriveComboBox1Change(rtl::TComponent* Sender);
  // Points the drive box and the list at the start folder Path.
  void ShowStartFolder();

  // One batch over the paths in order; the command-line batch leaves the
  // drop target and the load button alone. Refused (false) while another
  // batch runs: a batch pumps messages, and a second one would delete the
  // first one's TIFFs and reload the document component under it. A close
  // asked for meanwhile is carried out when the batch ends.
  bool RunBatch(const std::vector<std::string>& paths, bool commandLine);
  bool Busy() const { return busy_; }
  // A close came during the batch and waits for its end.
  bool ClosePending() const { return closePending_; }
  // Converts one PDF file into ChangeFileExt(path, ".tif").
  void ConvertDocument(const std::string& path);
  // Extracts the page's image with the outside tool and appends it to the
  // work TIFF; false when the page file is missing or no image came out.
  bool ConvertPage(const std::string& pageFile);
  // The pages 1..n of the document in work, one after the other (on the
  // pages' thread when ConvertDocument runs them), counting those that
  // reached the TIFF.
  void ConvertPages(int n, int& converted);
  void LoadPortableMap(const std::string& file);
  // Loads the page's JPEG; true when the page draws more images after it
  // that the page tool did not write.
  bool LoadJpegPage(const std::string& file);
  // Hands a TIFF of this batch to the application of the settings. A TIFF
  // that was to be handed over and was not stays off the list of files to
  // delete (it may be the only copy of the scan); an expired wait or a failed
  // start raises its message and ends the batch.
  void HandOff(const std::string& tifPath);
  // Lists a TIFF the batch made, with its mark: only that very file is
  // deleted by the next batch or logged for the next start.
  void AddProduced(const std::string& tifPath);
  // The start-up's clean-up of the log: deletes the files of earlier runs
  // that are still the TIFFs they were when logged, drops every other entry,
  // and returns how many it dropped although something was there.
  int DeleteLoggedFiles();
  // The settings could not be read: nothing is converted, nothing saved.
  bool StartFailed() const { return startFailed_; }
  // Whether the filing application's main window is open.
  bool FilingWindowPresent();

  // The picture of the hidden image control: the page in work.
  graphics::TPicture& Picture() { return Image1->Picture(); }

  // Controls.
  forms::TPageControl* PageControl1;
  forms::TTabSheet* TabSheet1;
  forms::TTabSheet* TabSheet2;
  forms::TTabSheet* TabSheet3;
  forms::TTabSheet* TabSheet4;
  forms::TSpeedButton* SpeedButtonLoad;
  forms::TLabel* LabelState;
  forms::TLabel* LabelFile;
  forms::TImage* Image1;
  forms::TCheckBox* CheckBox1;
  forms::TCheckBox* CheckBox2;
  forms::TCheckBox* CheckBox3;
  forms::TCheckBox* CheckBox4;
  forms::TEdit* EditLApp;
  forms::TButton* ButtonLApp;
  forms::TLabel* LabelHint;
  forms::TLabel* LabelHP;
  forms::TLabel* LabelMail;
  forms::TLabel* LabelVer;
  forms::TPanel* Panel1;
  forms::TPanel* Panel2;
  forms::TProgressBar* ProgressBar1;
  forms::TOpenDialog* OpenDialog1;
  controls::TFileDrop* FileDrop1;
  controls::TFileOperation* FileOperation1;
  controls::TWinList* WinList1;
  pdf::TkvPDFDocument* PDFDoc;
  // Its Files are the TIFF files of the current batch.
  controls::TDropFileSource* DropFileSource1;
  controls::TFolderDialog* FolderDialog1;
  controls::TDirFileListBox* DirFileListBox1;
  forms::TDriveComboBox* DriveComboBox1;
  forms::TPopupMenu* PopupMenu1;
  forms::TMenuItem* popConvert;
  forms::TMenuItem* popDelete;
  forms::TMenuItem* N1;
  forms::TMenuItem* popRefresh;
  forms::TMenuItem* popSetting;

  // The folder the program was started in: relative command-line paths
  // are taken from there.
  std::string StartFolder;
  // The current imaging image (0: none).
  int32_t ImageHandle = 0;
  // Ask for a password at the next password event (off: try the empty one).
  bool AskPassword = false;
  // A document that needs a user password is asked for it this many times
  // (after the empty password failed) when someone can answer.
  static constexpr int kPasswordTries = 3;
  // Starts a program or opens an address (the About links); tests replace it.
  std::function<int(const std::string& file, const std::vector<std::string>& args, const std::string& dir)>
      ShellStart;
  // The hand-off over WinList1; tests replace its seams.
  std::unique_ptr<THandOff> Handover;
  // Where the pages come from; the form's PDFDoc unless a test sets another.
  std::unique_ptr<TPageSource> Pages;
  // Time limit of one run of the page tool.
  int PageToolTimeLimitMs = kPageToolTimeLimitMs;
  // The TIFF is made in the target's folder where its file system allows
  // (off: always in the work folder, then copied, as on one that does not).
  bool TiffBesideTarget = true;
  // How many runs of the page tool go at once.
  int PageTools = DefaultPageTools();
  // Documents of the current batch whose source was kept for a fault (their
  // TIFF incomplete or not placed): each was reported, and the run fails.
  int KeptDocuments = 0;

 private:
  void AppendPage(int bitDepth, int compression, uint16_t dpi);
  // A page split ahead of its turn: its file, its values, and what went
  // wrong, kept for its turn: the split itself, or the start of its tool.
  struct TSplitPage {
    std::string File;
    int Width = 0;
    int Rotation = 0;
    bool JpegSamplesInverted = false;
    std::exception_ptr SplitError;
    std::exception_ptr StartError;
  };
  // Splits page p into its file, reads its values and starts its tool.
  void SplitPage(int p);
  // Splits the pages after the one in work while tools are free.
  void SplitAhead();
  std::unique_ptr<TPageRuns> runs_;
  // The thread the pages of the document in work go on (nullptr when they
  // go on the form's own): nothing on it touches a control or the windows.
  // From the pages: the page's progress and state shown (by the form's
  // thread, with its messages pumped), a pause in which the document is
  // given up when the program ends, something only the form's thread may
  // do (a message box), waited for.
  TWorkThread* pages_ = nullptr;
  void ShowPage(int p, const std::string& state);
  void PagesTick();
  void OnFormThread(const std::function<void()>& fn);
  // Where the pages of the document in work are appended, and its name in
  // messages.
  std::string tiffFile_;
  std::string tiffName_;
  std::map<int, TSplitPage> split_;
  int splitCount_ = 0;
  // A page went wrong: no page after it is split.
  bool splitStopped_ = false;
  // The pages of the document in work (0 between documents).
  int pageCount_ = 0;
  // Says why the source stays: the status line, and a message.
  void KeepSource(const std::string& path, const std::string& state, const std::string& detail);
  // Loads the document into Pages, asking for its password as above;
  // false when the prompt was cancelled.
  bool LoadPages(const std::string& path);
  bool passwordCancelled_ = false;
  void CheckTerminated();
  // The full paths of the list's selected files, in list order.
  std::vector<std::string> SelectedFiles();

  // Whether path is a TIFF of this batch that is still the file it made
  // (and not one held back from deletion).
  bool OwnTiff(const std::string& path) const;

  bool startFailed_ = false;
  // The TIFFs of the current batch that may be deleted later, with their
  // marks (FileMark) taken when they were made.
  std::map<std::string, std::string> marks_;
  // The TIFFs the current batch placed, each with the source it was made
  // from.
  struct TPlacedTiff {
    TFileIdentity Tiff, Source;
  };
  std::vector<TPlacedTiff> placed_;
  bool activated_ = false;
  bool busy_ = false;
  bool closePending_ = false;
  // The page in work: its number, width in hundredths of a millimetre,
  // /Rotate, and whether its JPEG image holds its samples inverted.
  int pageNumber_ = 0;
  int pageWidth_ = 0;
  int pageRotation_ = 0;
  bool pageJpegInverted_ = false;
  // Pages of the document in work for which the page tool wrote more than
  // one image.
  std::vector<int> severalImages_;
  // Where the mouse was pressed on the drag panel.
  int pressX_ = 0;
  int pressY_ = 0;
};

}  // namespace converter
