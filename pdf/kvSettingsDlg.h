// The settings dialog of the document component: document information,
// encryption, opening layout and mode, a page transition, viewer
// preferences, e-mail after saving and compression.
//
// SaveToFile shows it modally before writing (see InstallSettingsDialog).
// The dialog reads the document when it is shown and writes the choices back
// only when OK is pressed and every entry is valid; showing it and
// cancelling leaves the document as it was.
//
// Ownership: the controls belong to the dialog; the document is borrowed
// (TkvBaseDlg).
#pragma once

#include <string>

#include "pdf/kvBaseDlg.h"
#include "platform/forms/CheckLst.h"
#include "platform/forms/ComCtrls.h"
#include "platform/forms/ExtCtrls.h"
#include "platform/forms/StdCtrls.h"

namespace pdf {

inline constexpr const char* SPasswordsDoNotMatch = "The %s Passwords do not match.\r\nPlease re-enter.";
inline constexpr const char* SOwnerPasswordKind = "Owner";
inline constexpr const char* SUserPasswordKind = "User";
inline constexpr const char* SOnlyOwnerChangesEncryption =
    "Only the owner can change the encryption settings";
inline constexpr const char* SProducerName = "Veltrane Pagewright V2.02";

// Items of the compression boxes in the order they are listed.
enum TkvCompTypeItem { ctiFlate = 0, ctiRunlength };
enum TkvCompLevelItem { cliNone = 0, cliMax, cliFastest, cliDefault };

class TkvPDFSettingsDlg : public TkvBaseDlg {
 public:
  explicit TkvPDFSettingsDlg(rtl::TComponent* owner);

  // Handlers, bound to the controls by the constructor.
  void FormCreate(rtl::TComponent* Sender);
  void FormShow(rtl::TComponent* Sender);
  void OKBtnClick(rtl::TComponent* Sender);
  void chkEnableEncryptionClick(rtl::TComponent* Sender);
  void chkEmailAfterSaveClick(rtl::TComponent* Sender);
  void chkCompClick(rtl::TComponent* Sender);
  void cbCompTypeChange(rtl::TComponent* Sender);
  void cbPageTransitionEffectChange(rtl::TComponent* Sender);
  void cbPageLayoutChange(rtl::TComponent* Sender);
  void rbAllPagesClick(rtl::TComponent* Sender);
  void rbPagesClick(rtl::TComponent* Sender);
  void edtDurKeyPress(rtl::TComponent* Sender, char& Key);
  void edtPresentationPagesKeyPress(rtl::TComponent* Sender, char& Key);

  // Every control inside group, at any depth, gets the state; edit and combo
  // boxes also get the colour of an enabled or a disabled field.
  static void SetGroupEnabled(forms::TWinControl* group, bool enabled);

  // The controls (owned by the dialog).
  forms::TButton* OKBtn;
  forms::TButton* CancelBtn;
  forms::TPageControl* pcSettings;

  forms::TTabSheet* tsDocInfo;
  forms::TGroupBox* gbDocInfo;
  forms::TEdit* edtTitle;
  forms::TEdit* edtDocSubject;
  forms::TEdit* edtAuthor;
  forms::TEdit* edtKeywords;
  forms::TEdit* edtCreator;
  forms::TEdit* edtProducer;
  forms::TEdit* edtVersion;
  forms::TEdit* edtNoPages;
  forms::TCheckBox* chkOpenAfterSave;

  forms::TTabSheet* tcSecurity;
  forms::TCheckBox* chkEnableEncryption;
  forms::TGroupBox* gbEncryption;
  forms::TEdit* edtOwnerPassword;
  forms::TEdit* edtConfirmOwnerPassword;
  forms::TEdit* edtUserPassword;
  forms::TEdit* edtConfirmUserPassword;
  forms::TRadioGroup* rgLevel;
  forms::TGroupBox* gbUserPermissions;
  forms::TCheckListBox* chklstUserPermissions;

  forms::TTabSheet* tcPresentation;
  forms::TComboBox* cbPageLayout;
  forms::TComboBox* cbPageMode;
  forms::TGroupBox* gbPresentation;
  forms::TComboBox* cbPageTransitionEffect;
  forms::TEdit* edtDur;
  forms::TGroupBox* gbPageRange;
  forms::TRadioButton* rbAllPages;
  forms::TRadioButton* rbPages;
  forms::TEdit* edtPresentationPages;
  forms::TLabel* lblPageExample;
  forms::TGroupBox* gbViewerPreferences;
  forms::TCheckListBox* chklstViewerPreferences;

  forms::TTabSheet* tcEmailDoc;
  forms::TCheckBox* chkEmailAfterSave;
  forms::TGroupBox* gbConnection;
  forms::TEdit* edtHost;
  forms::TEdit* edtUserID;
  forms::TEdit* edtPassword;
  forms::TGroupBox* gbAddresses;
  forms::TEdit* edtFrom;
  forms::TEdit* edtTo;
  forms::TEdit* edtCC;
  forms::TEdit* edtBCC;
  forms::TGroupBox* gbMessage;
  forms::TEdit* edtSubject;
  forms::TMemo* memoBody;

  forms::TTabSheet* tcCompress;
  forms::TCheckBox* chkComp;
  forms::TGroupBox* gbCompType;
  forms::TComboBox* cbCompType;
  forms::TComboBox* cbCompLevel;

 private:
  // Checks every entry before anything is written; on the first bad one it
  // shows why, focuses the entry and returns false.
  bool ValidateEntries();
  void ApplyEncryption();
  void ApplyDocInfo();
  void ApplyPresentation();
  void ApplyEMail();
  void ApplyCompression();
  bool EncryptionChangeable() const;
  void ShowError(const std::string& text, forms::TControl* focus);
  // Puts the encryption box to checked without its click handler running.
  void RestoreEncryptionBox(bool checked);

  // Set while the encryption box is put back, so that its own click does
  // not run the handler a second time.
  bool restoringEncryptionBox_ = false;
};

// Shows the settings dialog for a document as SaveToFile's dialog step: the
// document's own SetupDialog when it is one (a TkvBaseDlg), else a fresh
// TkvPDFSettingsDlg that is freed afterwards. Returns the modal result.
int RunSettingsDialog(TkvCustomPDFDocument& Document);

// Makes SaveToFile show the settings dialog (a program calls this once at
// start; a program that never calls it saves without a dialog).
void InstallSettingsDialog();

}  // namespace pdf
