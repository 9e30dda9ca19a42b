// The base form of the document component's setup dialogs.
//
// Ownership: the dialog borrows the document it edits. The document is given
// for the time the dialog is shown and taken away afterwards (nullptr then);
// the dialog never frees it.
#pragma once

#include "platform/forms/Forms.h"

namespace pdf {

class TkvCustomPDFDocument;

class TkvBaseDlg : public forms::TForm {
 public:
  explicit TkvBaseDlg(rtl::TComponent* owner);

  TkvCustomPDFDocument* Document() const { return document_; }
  void SetDocument(TkvCustomPDFDocument* document) { document_ = document; }

 private:
  TkvCustomPDFDocument* document_ = nullptr;
};

}  // namespace pdf
