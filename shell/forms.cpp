#include "forms.h"

namespace vtrl {

TfrmMain* frmMain = nullptr;
TfrmDevDisc* frmDevDisc = nullptr;
TfrmCommPortSel* frmCommPortSel = nullptr;
TfrmIntroduction* frmIntroduction = nullptr;
TfrmFinish* frmFinish = nullptr;
TfrmConfigRemotePort* frmConfigRemotePort = nullptr;
TfrmFlashUpdate* frmFlashUpdate = nullptr;
TfrmConfigLocalPort* frmConfigLocalPort = nullptr;
TfrmConfigLocalDevice* frmConfigLocalDevice = nullptr;

}  // namespace vtrl
