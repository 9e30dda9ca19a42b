#include "pdf/kvBaseDlg.h"

namespace pdf {

TkvBaseDlg::TkvBaseDlg(rtl::TComponent* owner) : forms::TForm(owner) {}

}  // namespace pdf
