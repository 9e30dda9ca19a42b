// TkvPDFDocument: a step of the document component's class chain; it adds no state.
#pragma once

#include "pdf/kvExProPDFDoc.h"

namespace pdf {

class TkvPDFDocument : public TkvExProPDFDocument {
 public:
  explicit TkvPDFDocument(rtl::TComponent* owner = nullptr) : TkvExProPDFDocument(owner) {}
};

}  // namespace pdf
