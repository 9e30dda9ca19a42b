#include "platform/forms/ExtCtrls.h"

namespace forms {

TImage::TImage(rtl::TComponent* owner) : TControl(owner) {}

TImage::~TImage() = default;

}  // namespace forms
