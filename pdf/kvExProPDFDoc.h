// TkvExProPDFDocument: a step of the document component's class chain; it adds no state.
#pragma once

#include "pdf/kvExPDFDoc.h"

namespace pdf {

class TkvExProPDFDocument : public TkvExPDFDocument {
 public:
  explicit TkvExProPDFDocument(rtl::TComponent* owner = nullptr) : TkvExPDFDocument(owner) {}
};

}  // namespace pdf
