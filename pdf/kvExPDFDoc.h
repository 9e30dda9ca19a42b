// TkvExPDFDocument: a step of the document component's class chain; it adds no state.
#pragma once

#include "pdf/kvCstPDFDoc.h"

namespace pdf {

class TkvExPDFDocument : public TkvCustomPDFDocument {
 public:
  explicit TkvExPDFDocument(rtl::TComponent* owner = nullptr) : TkvCustomPDFDocument(owner) {}
};

}  // namespace pdf
