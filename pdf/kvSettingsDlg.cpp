#include "pdf/kvSettingsDlg.h"

#include <cmath>
#include <functional>
#include <memory>

#include "pdf/kvCstPDFDoc.h"
#include "pdf/kvPDFTypes.h"
#include "platform/forms/Dialogs.h"
#include "platform/rtl/CodePages.h"
#include "platform/rtl/SysUtils.h"

namespace pdf {

namespace {

using namespace forms;

constexpr const char* kPageLayoutItems[] = {"None", "Single Page", "One Column", "Two Column Left",
                                            "Two Column Right"};
constexpr const char* kPageModeItems[] = {"None", "Use Outlines", "Use Thumbs", "Full Screen"};
// Index = transition effect code of the document's page transitions.
constexpr const char* kTransitionItems[] = {"None",
                                            "Split Horizontal Inward",
                                            "Split Horizontal Outward",
                                            "Split Vertical Inward",
                                            "Split Vertical Outward",
                                            "Blinds Horizontal",
                                            "Blinds Vertical",
                                            "Box Inward",
                                            "Box Outward",
                                            "Wipe Left To Right",
                                            "Wipe Bottom To Top",
                                            "Wipe Right To Left",
                                            "Wipe Top To Bottom",
                                            "Dissolve",
                                            "Glitter Left To Right",
                                            "Glitter Top To Bottom",
                                            "Glitter Top-Left To Bottom-Right"};
constexpr const char* kVersionTexts[] = {"1.0 (Acrobat 1.x)", "1.1 (Acrobat 2.x)", "1.2 (Acrobat 3.x)",
                                         "1.3 (Acrobat 4.x)", "1.4 (Acrobat 5.x)", "1.5 (Acrobat 6.x)"};

// The permission items in the order the list shows them.
constexpr TkvUserPermissionsType kPermissionItems[] = {AllowPrint,       AllowModify,      AllowCopy,
                                                       AllowAnnotation,  AllowFormFill,    AllowAccessibility,
                                                       AllowDocAssembly, AllowHighResPrint};
constexpr const char* kPermissionTexts[] = {"印刷",
                                            "文書の変更",
                                            "内容のコピーと抽出",
                                            "注釈",
                                            "フォームフィールドへの入力",
                                            "アクセシビリティのための内容抽出",
                                            "文書アセンブリ",
                                            "高解像度印刷"};
constexpr const char* kViewerPreferenceTexts[] = {"ツールバーを隠す",    "メニューバーを隠す",
                                                  "Window UI　を隠す",   "Window に合わせる",
                                                  "Window の中央に表示", "文書タイトルを表示する"};

// Compression values of the level items, in list order (None, Max, Fastest,
// Default).
constexpr uint8_t kLevelValues[] = {0, 3, 1, 2};

constexpr const char* kDefaultDuration = "1";
constexpr int kPageLayoutSinglePage = 1;

// The choice of compression the user made last, for the next dialog of the
// program (a document that compresses already shows its own).
int gLastCompType = ctiFlate;
int gLastCompLevel = cliMax;

std::string FromWide(const std::u16string& s) {
  return rtl::WideToMultiByte(s);
}
std::u16string ToWide(const std::string& s) {
  return rtl::MultiByteToWide(s);
}

std::string JoinAddresses(const std::vector<std::string>& list) {
  std::string out;
  for (const auto& a : list) {
    if (!out.empty()) out += ", ";
    out += a;
  }
  return out;
}

// Addresses are separated by commas only: a display name with blanks
// ("Taro Yamada <taro@example.jp>") stays one address.
std::vector<std::string> SplitAddresses(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string item = rtl::Trim(text.substr(start, comma - start));
    if (!item.empty()) out.push_back(item);
    start = comma + 1;
  }
  return out;
}

int LevelItemOf(uint8_t level) {
  for (int i = 0; i < 4; ++i)
    if (kLevelValues[i] == level) return i;
  return cliDefault;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

TkvPDFSettingsDlg::TkvPDFSettingsDlg(rtl::TComponent* owner) : TkvBaseDlg(owner) {
  Name = "kvPDFSettingsDlg";
  SetCaption("ＰＤＦドキュメントに関する設定");
  BorderStyle = bsDialog;
  BorderIcons = biSystemMenu;
  Position = poScreenCenter;
  Font.Name = "ＭＳ Ｐゴシック";
  Font.Charset = graphics::SHIFTJIS_CHARSET;

  auto place = [&](auto* c, const char* name, TWinControl* parent) {
    c->Name = name;
    c->SetParent(parent);
    return c;
  };
  auto label = [&](TWinControl* parent, const std::string& name, const char* caption) {
    auto* l = place(new TLabel(this), name.c_str(), parent);
    l->SetCaption(caption);
    return l;
  };
  // An entry field with the label that names it.
  auto edit = [&](const char* name, TWinControl* parent, const char* caption) {
    label(parent, std::string("lbl") + (name + 3), caption);
    return place(new TEdit(this), name, parent);
  };
  auto combo = [&](const char* name, TWinControl* parent, const char* caption) {
    label(parent, std::string("lbl") + (name + 2), caption);
    auto* c = place(new TComboBox(this), name, parent);
    c->Style = csDropDownList;
    return c;
  };
  auto group = [&](const char* name, TWinControl* parent, const char* caption) {
    auto* g = place(new TGroupBox(this), name, parent);
    g->SetCaption(caption);
    return g;
  };
  auto check = [&](const char* name, TWinControl* parent, const char* caption) {
    auto* c = place(new TCheckBox(this), name, parent);
    c->SetCaption(caption);
    return c;
  };

  pcSettings = place(new TPageControl(this), "pcSettings", this);
  auto sheet = [&](const char* name, const char* caption) {
    auto* s = new TTabSheet(this);
    s->Name = name;
    s->SetCaption(caption);
    s->SetPageControl(pcSettings);
    return s;
  };

  tsDocInfo = sheet("tsDocInfo", "一般");
  gbDocInfo = group("gbDocInfo", tsDocInfo, "ＰＤＦ情報");
  edtTitle = edit("edtTitle", gbDocInfo, "タイトル:");
  edtDocSubject = edit("edtDocSubject", gbDocInfo, "サブタイトル:");
  edtAuthor = edit("edtAuthor", gbDocInfo, "作成者:");
  edtKeywords = edit("edtKeywords", gbDocInfo, "キーワード:");
  edtCreator = edit("edtCreator", gbDocInfo, "ＰＤＦ変換:");
  edtProducer = edit("edtProducer", gbDocInfo, "作成者:");
  edtVersion = edit("edtVersion", gbDocInfo, "ＰＤＦのバージュン");
  edtNoPages = edit("edtNoPages", gbDocInfo, "ページ数:");
  for (TEdit* e : {edtCreator, edtProducer, edtVersion, edtNoPages}) e->ReadOnly = true;
  chkOpenAfterSave = check("chkOpenAfterSave", tsDocInfo, "保存後開く");
  chkOpenAfterSave->SetVisible(false);

  tcSecurity = sheet("tcSecurity", "セキュリティ");
  chkEnableEncryption = check("chkEnableEncryption", tcSecurity, "文書のセキュリティ");
  gbEncryption = group("gbEncryption", tcSecurity, "");
  edtOwnerPassword = edit("edtOwnerPassword", gbEncryption, "オーナー・パスワード:");
  edtConfirmOwnerPassword = edit("edtConfirmOwnerPassword", gbEncryption, "オーナー・パスワード（再度）:");
  edtUserPassword = edit("edtUserPassword", gbEncryption, "ユーザ・パスワード:");
  edtConfirmUserPassword = edit("edtConfirmUserPassword", gbEncryption, "ユーザ・パスワード（再度）:");
  for (TEdit* e : {edtOwnerPassword, edtConfirmOwnerPassword, edtUserPassword, edtConfirmUserPassword})
    e->PasswordChar = '*';
  rgLevel = place(new TRadioGroup(this), "rgLevel", gbEncryption);
  rgLevel->SetCaption("暗号化レベル");
  rgLevel->Items = {"40 bit（低）", "128 bit（高）"};
  gbUserPermissions = group("gbUserPermissions", gbEncryption, "文書に関する制限");
  chklstUserPermissions = place(new TCheckListBox(this), "chklstUserPermissions", gbUserPermissions);
  for (const char* t : kPermissionTexts) chklstUserPermissions->AddItem(t);

  tcPresentation = sheet("tcPresentation", "開き方");
  cbPageLayout = combo("cbPageLayout", tcPresentation, "ページ・レイアウト:");
  cbPageMode = combo("cbPageMode", tcPresentation, "表示:");
  gbPresentation = group("gbPresentation", tcPresentation, "プレゼンテーション・モード");
  cbPageTransitionEffect = combo("cbPageTransitionEffect", gbPresentation, "ページ表示効果:");
  edtDur = edit("edtDur", gbPresentation, "表示時間:");
  label(gbPresentation, "lblDurUnit", "秒");
  gbPageRange = group("gbPageRange", gbPresentation, "プレゼンテーション・ペーシの範囲");
  rbAllPages = place(new TRadioButton(this), "rbAllPages", gbPageRange);
  rbAllPages->SetCaption("全ページ:");
  rbPages = place(new TRadioButton(this), "rbPages", gbPageRange);
  rbPages->SetCaption("範囲指定:");
  rbAllPages->SetChecked(true);
  edtPresentationPages = place(new TEdit(this), "edtPresentationPages", gbPageRange);
  lblPageExample = label(gbPageRange, "lblPageExample",
                         "ページ番号をカンマで区切り、範囲はハイフンでつなぎます（例：1,3,5-12）");
  gbViewerPreferences = group("gbViewerPreferences", tcPresentation, "表示設定");
  chklstViewerPreferences = place(new TCheckListBox(this), "chklstViewerPreferences", gbViewerPreferences);
  for (const char* t : kViewerPreferenceTexts) chklstViewerPreferences->AddItem(t);

  tcEmailDoc = sheet("tcEmailDoc", "Email");
  chkEmailAfterSave = check("chkEmailAfterSave", tcEmailDoc, "保存後にEmailする");
  gbConnection = group("gbConnection", tcEmailDoc, "");
  edtHost = edit("edtHost", gbConnection, "ホスト: ");
  edtUserID = edit("edtUserID", gbConnection, "ユーザID: ");
  edtPassword = edit("edtPassword", gbConnection, "パスワード: ");
  edtPassword->PasswordChar = '*';
  gbAddresses = group("gbAddresses", tcEmailDoc, "");
  edtFrom = edit("edtFrom", gbAddresses, "送信者: ");
  edtTo = edit("edtTo", gbAddresses, "宛先: ");
  edtCC = edit("edtCC", gbAddresses, "CC: ");
  edtBCC = edit("edtBCC", gbAddresses, "BCC: ");
  gbMessage = group("gbMessage", tcEmailDoc, "");
  edtSubject = edit("edtSubject", gbMessage, "件名: ");
  label(gbMessage, "lblBody", "本文:");
  memoBody = place(new TMemo(this), "memoBody", gbMessage);

  tcCompress = sheet("tcCompress", "圧縮");
  chkComp = check("chkComp", tcCompress, "文書を圧縮する");
  gbCompType = group("gbCompType", tcCompress, "");
  cbCompType = combo("cbCompType", gbCompType, "圧縮方式:");
  cbCompType->Items = {"Flate", "Runlength"};
  cbCompLevel = combo("cbCompLevel", gbCompType, "圧縮レベル:");
  cbCompLevel->Items = {"None", "Max", "Fastest", "Default"};

  OKBtn = place(new TButton(this), "OKBtn", this);
  OKBtn->SetCaption("OK");
  OKBtn->Default = true;
  OKBtn->ModalResult = mrOk;
  CancelBtn = place(new TButton(this), "CancelBtn", this);
  CancelBtn->SetCaption("Cancel");
  CancelBtn->Cancel = true;
  CancelBtn->ModalResult = mrCancel;

  using std::placeholders::_1;
  using std::placeholders::_2;
  OnCreate = std::bind(&TkvPDFSettingsDlg::FormCreate, this, _1);
  OnShow = std::bind(&TkvPDFSettingsDlg::FormShow, this, _1);
  OKBtn->OnClick = std::bind(&TkvPDFSettingsDlg::OKBtnClick, this, _1);
  chkEnableEncryption->OnClick = std::bind(&TkvPDFSettingsDlg::chkEnableEncryptionClick, this, _1);
  chkEmailAfterSave->OnClick = std::bind(&TkvPDFSettingsDlg::chkEmailAfterSaveClick, this, _1);
  chkComp->OnClick = std::bind(&TkvPDFSettingsDlg::chkCompClick, this, _1);
  cbCompType->OnChange = std::bind(&TkvPDFSettingsDlg::cbCompTypeChange, this, _1);
  cbPageTransitionEffect->OnChange = std::bind(&TkvPDFSettingsDlg::cbPageTransitionEffectChange, this, _1);
  cbPageLayout->OnChange = std::bind(&TkvPDFSettingsDlg::cbPageLayoutChange, this, _1);
  rbAllPages->OnClick = std::bind(&TkvPDFSettingsDlg::rbAllPagesClick, this, _1);
  rbPages->OnClick = std::bind(&TkvPDFSettingsDlg::rbPagesClick, this, _1);
  edtDur->OnKeyPress = std::bind(&TkvPDFSettingsDlg::edtDurKeyPress, this, _1, _2);
  edtPresentationPages->OnKeyPress =
      std::bind(&TkvPDFSettingsDlg::edtPresentationPagesKeyPress, this, _1, _2);

  // A dialog made outside the application's CreateForm is complete here.
  DoCreate();
}

void TkvPDFSettingsDlg::SetGroupEnabled(TWinControl* group, bool enabled) {
  // Bounded by the depth of the dialog's own control tree.
  for (int i = 0; i < group->ControlCount(); ++i) {
    TControl* c = group->Controls(i);
    c->SetEnabled(enabled);
    if (dynamic_cast<TEdit*>(c) || dynamic_cast<TComboBox*>(c))
      c->Color = enabled ? clWindow : clInactiveBorder;
    if (auto* w = dynamic_cast<TWinControl*>(c)) SetGroupEnabled(w, enabled);
  }
}

void TkvPDFSettingsDlg::FormCreate(rtl::TComponent*) {
  auto fill = [](TComboBox* box, const auto& items) {
    box->Items.clear();
    box->Objects.clear();
    intptr_t index = 0;
    for (const char* t : items) {
      box->Items.push_back(t);
      box->Objects.push_back(index++);
    }
    box->SetItemIndex(0);
  };
  fill(cbPageLayout, kPageLayoutItems);
  fill(cbPageMode, kPageModeItems);
  fill(cbPageTransitionEffect, kTransitionItems);
  SetGroupEnabled(gbEncryption, false);
  for (TWinControl* g : {static_cast<TWinControl*>(gbConnection), static_cast<TWinControl*>(gbAddresses),
                         static_cast<TWinControl*>(gbMessage)})
    SetGroupEnabled(g, false);
  SetGroupEnabled(gbCompType, false);
}

bool TkvPDFSettingsDlg::EncryptionChangeable() const {
  const TkvCustomPDFDocument* doc = Document();
  return doc && doc->IsOwner() && doc->Encryption->Changeable;
}

void TkvPDFSettingsDlg::FormShow(rtl::TComponent*) {
  // The dialog shows what the document holds, so that OK without edits
  // keeps it, and showing the dialog changes nothing in the document.
  TkvCustomPDFDocument* doc = Document();
  if (!doc) return;
  pcSettings->SetActivePage(tsDocInfo);

  edtTitle->Text = FromWide(doc->DocInfo->Title());
  edtDocSubject->Text = FromWide(doc->DocInfo->Subject());
  edtAuthor->Text = FromWide(doc->DocInfo->Author());
  edtCreator->Text = FromWide(doc->DocInfo->Creator());
  edtKeywords->Text = FromWide(doc->DocInfo->Keywords());
  edtProducer->Text = SProducerName;
  edtVersion->Text = doc->PDFVersion <= pvPDF15 ? kVersionTexts[doc->PDFVersion] : "";
  edtNoPages->Text = std::to_string(doc->PageCount());
  chkOpenAfterSave->SetChecked(doc->OpenAfterSave);

  // Encryption as the document will be written. The box is set before its
  // handler can see a document it may not change.
  const TkvPDFEncryptionSettings& enc = *doc->Encryption;
  RestoreEncryptionBox(enc.Enabled());
  SetGroupEnabled(gbEncryption, enc.Enabled() && EncryptionChangeable());
  edtOwnerPassword->Text = edtConfirmOwnerPassword->Text = enc.OwnerPassword();
  edtUserPassword->Text = edtConfirmUserPassword->Text = enc.UserPassword();
  rgLevel->SetItemIndex(enc.Level() == el128bit ? 1 : 0);
  for (int i = 0; i < chklstUserPermissions->Count(); ++i)
    chklstUserPermissions->SetChecked(i, enc.UserPermissions().Contains(kPermissionItems[i]));

  cbPageLayout->SetItemIndex(doc->PageLayout);
  cbPageMode->SetItemIndex(doc->PageMode);
  cbPageTransitionEffect->SetItemIndex(0);
  edtDur->Text = kDefaultDuration;
  rbAllPages->SetChecked(true);
  const TkvPDFViewerPreferences& prefs = *doc->ViewerPreferences();
  const bool prefValues[] = {prefs.HideToolbar(), prefs.HideMenubar(),  prefs.HideWindowUI(),
                             prefs.FitWindow(),   prefs.CenterWindow(), prefs.DisplayDocTitle()};
  for (int i = 0; i < chklstViewerPreferences->Count(); ++i)
    chklstViewerPreferences->SetChecked(i, prefValues[i]);

  const TkvEMailInfo& mail = *doc->EMailInfo();
  edtHost->Text = mail.Host;
  edtUserID->Text = mail.UserID;
  edtPassword->Text = mail.Password;
  edtFrom->Text = mail.FromAddress;
  edtTo->Text = JoinAddresses(mail.RecipientList);
  edtCC->Text = JoinAddresses(mail.CCList);
  edtBCC->Text = JoinAddresses(mail.BCCList);
  edtSubject->Text = mail.Subject;
  memoBody->Lines = mail.Body;
  chkEmailAfterSave->SetChecked(doc->EMailAfterSave);
  chkEmailAfterSaveClick(chkEmailAfterSave);

  const bool compressing = doc->Compression.Enabled != 0;
  cbCompType->SetItemIndex(compressing ? (doc->Compression.Kind == 1 ? ctiRunlength : ctiFlate)
                                       : gLastCompType);
  cbCompLevel->SetItemIndex(compressing ? LevelItemOf(doc->Compression.Level) : gLastCompLevel);
  chkComp->SetChecked(true);
  chkCompClick(chkComp);
}

void TkvPDFSettingsDlg::chkEnableEncryptionClick(rtl::TComponent*) {
  if (restoringEncryptionBox_ || !Document()) return;
  if (EncryptionChangeable()) {
    SetGroupEnabled(gbEncryption, chkEnableEncryption->Checked());
    return;
  }
  MessageDlg(SOnlyOwnerChangesEncryption, mtInformation, mbOK);
  RestoreEncryptionBox(Document()->Encryption->Enabled());
}

void TkvPDFSettingsDlg::RestoreEncryptionBox(bool checked) {
  restoringEncryptionBox_ = true;
  chkEnableEncryption->SetChecked(checked);
  restoringEncryptionBox_ = false;
}

void TkvPDFSettingsDlg::chkEmailAfterSaveClick(rtl::TComponent*) {
  const bool on = chkEmailAfterSave->Checked();
  SetGroupEnabled(gbConnection, on);
  SetGroupEnabled(gbAddresses, on);
  SetGroupEnabled(gbMessage, on);
}

void TkvPDFSettingsDlg::chkCompClick(rtl::TComponent*) {
  SetGroupEnabled(gbCompType, chkComp->Checked());
  // Run-length data has no levels: the level box stays off whatever the
  // group says.
  if (cbCompType->ItemIndex() == ctiRunlength) cbCompLevel->SetEnabled(false);
}

void TkvPDFSettingsDlg::cbCompTypeChange(rtl::TComponent*) {
  if (cbCompType->ItemIndex() == ctiRunlength) {
    cbCompLevel->SetEnabled(false);
    cbCompLevel->SetItemIndex(cliNone);
  } else {
    cbCompLevel->SetEnabled(true);
    cbCompLevel->SetItemIndex(cliDefault);
  }
}

void TkvPDFSettingsDlg::cbPageTransitionEffectChange(rtl::TComponent*) {
  if (cbPageTransitionEffect->ItemIndex() > 0) cbPageLayout->SetItemIndex(kPageLayoutSinglePage);
}

void TkvPDFSettingsDlg::cbPageLayoutChange(rtl::TComponent* Sender) {
  cbPageTransitionEffectChange(Sender);
}

void TkvPDFSettingsDlg::rbAllPagesClick(rtl::TComponent*) {
  if (rbAllPages->Checked()) edtPresentationPages->Text.clear();
}

void TkvPDFSettingsDlg::rbPagesClick(rtl::TComponent*) {
  edtPresentationPages->SetEnabled(true);
  edtPresentationPages->Color = graphics::clWhite;
}

void TkvPDFSettingsDlg::edtDurKeyPress(rtl::TComponent*, char& Key) {
  if (!IsDigit(Key) && Key != '\b') Key = 0;
}

void TkvPDFSettingsDlg::edtPresentationPagesKeyPress(rtl::TComponent*, char& Key) {
  if (IsDigit(Key) || Key == ',' || Key == '-' || Key == '\b')
    rbPages->SetChecked(true);
  else
    Key = 0;
}

void TkvPDFSettingsDlg::ShowError(const std::string& text, TControl* focus) {
  MessageDlg(text, mtError, mbOK);
  if (focus) focus->SetFocus();
}

bool TkvPDFSettingsDlg::ValidateEntries() {
  TkvCustomPDFDocument& doc = *Document();
  if (chkEnableEncryption->Checked() && EncryptionChangeable()) {
    if (edtOwnerPassword->Text != edtConfirmOwnerPassword->Text) {
      ShowError(rtl::Format(SPasswordsDoNotMatch, {SOwnerPasswordKind}), edtOwnerPassword);
      return false;
    }
    if (edtUserPassword->Text != edtConfirmUserPassword->Text) {
      ShowError(rtl::Format(SPasswordsDoNotMatch, {SUserPasswordKind}), edtUserPassword);
      return false;
    }
  }
  if (cbPageTransitionEffect->ItemIndex() > 0) {
    if (edtDur->Text.empty()) edtDur->Text = kDefaultDuration;
    // Only digits can be typed, but a pasted text can be anything.
    double duration = 0;
    if (!rtl::TryStrToFloat(edtDur->Text, duration) || !std::isfinite(static_cast<float>(duration)) ||
        duration < 0) {
      ShowError(rtl::Format(rtl::SInvalidFloat, {edtDur->Text}), edtDur);
      return false;
    }
    if (rbPages->Checked()) {
      try {
        TkvPageNumbers pages;
        ParsePageRange(edtPresentationPages->Text, doc.PageCount(), pages);
      } catch (const std::exception& e) {
        ShowError(e.what(), edtPresentationPages);
        return false;
      }
    }
  }
  return true;
}

void TkvPDFSettingsDlg::ApplyEncryption() {
  TkvCustomPDFDocument& doc = *Document();
  // Settings of a document opened with its user password stay as they are:
  // it is written again with that password (see the security handler).
  if (!EncryptionChangeable()) return;
  TkvPDFEncryptionSettings& enc = *doc.Encryption;
  if (!chkEnableEncryption->Checked()) {
    enc.SetEnabled(false);
  } else {
    enc.SetEnabled(true);
    enc.SetLevel(rgLevel->ItemIndex() == 1 ? el128bit : el40bit);
    enc.SetOwnerPassword(edtOwnerPassword->Text);
    enc.SetUserPassword(edtUserPassword->Text);
    // The list is the whole set: an unchecked item is a right withheld.
    TkvUserPermissions rights;
    for (int i = 0; i < chklstUserPermissions->Count(); ++i)
      if (chklstUserPermissions->Checked(i)) rights.Include(kPermissionItems[i]);
    enc.SetUserPermissions(rights);
  }
  // Keys made for an earlier save belong to the earlier passwords.
  doc.Encryptor.reset();
}

void TkvPDFSettingsDlg::ApplyDocInfo() {
  TkvPDFInfo& info = *Document()->DocInfo;
  // Only what the user changed is written, so that an entry the file never
  // had does not appear empty, and text read from the file keeps its bytes.
  auto apply = [](TEdit* edit, std::u16string current, auto setter) {
    if (edit->Text != FromWide(current)) setter(ToWide(edit->Text));
  };
  apply(edtTitle, info.Title(), [&](const std::u16string& v) { info.SetTitle(v); });
  apply(edtDocSubject, info.Subject(), [&](const std::u16string& v) { info.SetSubject(v); });
  apply(edtAuthor, info.Author(), [&](const std::u16string& v) { info.SetAuthor(v); });
  apply(edtKeywords, info.Keywords(), [&](const std::u16string& v) { info.SetKeywords(v); });
  apply(edtCreator, info.Creator(), [&](const std::u16string& v) { info.SetCreator(v); });
  Document()->OpenAfterSave = chkOpenAfterSave->Checked();
}

void TkvPDFSettingsDlg::ApplyPresentation() {
  TkvCustomPDFDocument& doc = *Document();
  const int effect = cbPageTransitionEffect->ItemIndex();
  if (effect > 0 && doc.PageCount() > 0) {
    const std::string range =
        rbAllPages->Checked() ? "1-" + std::to_string(doc.PageCount()) : edtPresentationPages->Text;
    doc.SetPageTransition(range, static_cast<uint8_t>(effect),
                          static_cast<float>(rtl::StrToFloat(edtDur->Text)));
  }
  if (cbPageLayout->ItemIndex() >= 0) doc.PageLayout = static_cast<TkvPageLayout>(cbPageLayout->ItemIndex());
  if (cbPageMode->ItemIndex() >= 0) doc.PageMode = static_cast<TkvPageMode>(cbPageMode->ItemIndex());
  TkvPDFViewerPreferences& prefs = *doc.ViewerPreferences();
  auto checked = [&](int i) { return chklstViewerPreferences->Checked(i); };
  prefs.SetHideToolbar(checked(0));
  prefs.SetHideMenubar(checked(1));
  prefs.SetHideWindowUI(checked(2));
  prefs.SetFitWindow(checked(3));
  prefs.SetCenterWindow(checked(4));
  prefs.SetDisplayDocTitle(checked(5));
}

void TkvPDFSettingsDlg::ApplyEMail() {
  TkvCustomPDFDocument& doc = *Document();
  doc.EMailAfterSave = chkEmailAfterSave->Checked();
  if (!doc.EMailAfterSave) return;
  TkvEMailInfo& mail = *doc.EMailInfo();
  mail.Host = edtHost->Text;
  mail.UserID = edtUserID->Text;
  mail.Password = edtPassword->Text;
  mail.FromAddress = edtFrom->Text;
  mail.Subject = edtSubject->Text;
  // The memo shows the whole body, so it replaces it.
  mail.Body = memoBody->Lines;
  mail.RecipientList = SplitAddresses(edtTo->Text);
  mail.CCList = SplitAddresses(edtCC->Text);
  mail.BCCList = SplitAddresses(edtBCC->Text);
}

void TkvPDFSettingsDlg::ApplyCompression() {
  TkvCustomPDFDocument& doc = *Document();
  if (!chkComp->Checked()) {
    doc.Compression.Enabled = 0;
    return;
  }
  const int type = cbCompType->ItemIndex() == ctiRunlength ? ctiRunlength : ctiFlate;
  const int level =
      type == ctiRunlength ? cliNone : (cbCompLevel->ItemIndex() < 0 ? cliDefault : cbCompLevel->ItemIndex());
  doc.SetCompression(static_cast<uint8_t>(type), kLevelValues[level]);
  gLastCompType = type;
  gLastCompLevel = level;
}

void TkvPDFSettingsDlg::OKBtnClick(rtl::TComponent*) {
  if (!Document()) return;
  // Nothing is written until every entry has passed, so that a refused OK
  // leaves the document as it was and the dialog open.
  if (!ValidateEntries()) {
    ModalResult = mrNone;
    return;
  }
  try {
    ApplyEncryption();
    ApplyDocInfo();
    ApplyPresentation();
    ApplyEMail();
    ApplyCompression();
  } catch (const std::exception& e) {
    ModalResult = mrNone;
    ShowError(e.what(), nullptr);
  }
}

int RunSettingsDialog(TkvCustomPDFDocument& Document) {
  if (Document.SetupDialog) {
    auto* dialog = dynamic_cast<TkvBaseDlg*>(Document.SetupDialog);
    if (!dialog) throw EPDFException(rtl::SInvalidCast);
    dialog->SetDocument(&Document);
    struct Release {
      TkvBaseDlg* d;
      ~Release() { d->SetDocument(nullptr); }
    } release{dialog};
    return dialog->ShowModal();
  }
  TkvPDFSettingsDlg dialog(nullptr);
  dialog.SetDocument(&Document);
  return dialog.ShowModal();
}

void InstallSettingsDialog() {
  SetSetupDialogRunner(RunSettingsDialog);
}

}  // namespace pdf
