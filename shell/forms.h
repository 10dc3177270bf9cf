#pragma once
// The process-wide form variables. They are set by the start-up owner
// (vtrl::Wizard) while it lives and are null otherwise, so each test can build
// a fresh wizard. The device page classes are defined in pages/.

namespace vtrl {

class TfrmMain;
class TfrmIntroduction;
class TfrmFinish;
class TfrmCommPortSel;
class TfrmDevDisc;
class TfrmConfigLocalPort;
class TfrmConfigRemotePort;
class TfrmConfigLocalDevice;
class TfrmFlashUpdate;

extern TfrmMain* frmMain;
extern TfrmDevDisc* frmDevDisc;
extern TfrmCommPortSel* frmCommPortSel;
extern TfrmIntroduction* frmIntroduction;
extern TfrmFinish* frmFinish;
extern TfrmConfigRemotePort* frmConfigRemotePort;
extern TfrmFlashUpdate* frmFlashUpdate;
extern TfrmConfigLocalPort* frmConfigLocalPort;
extern TfrmConfigLocalDevice* frmConfigLocalDevice;

}  // namespace vtrl
