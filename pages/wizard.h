#pragma once
// Start-up: the owner of the nine forms and the page table they are walked by.

#include "pages/commportselection.h"
#include "pages/configlocaldevice.h"
#include "pages/configlocalport.h"
#include "pages/configremoteport.h"
#include "pages/devdisc.h"
#include "pages/flashupdate.h"
#include "shell/finish.h"
#include "shell/forms.h"
#include "shell/introscreen.h"
#include "shell/mainform.h"
#include "shell/pagetable.h"

#include <QString>

#include <array>
#include <memory>

namespace vtrl {

// The eight steps, bound to the form variables of shell/forms.h.
const std::array<PageStep, 8>& WizardPageTable();

// Creates the nine forms in start-up order and points the form variables at
// them; destroys them in reverse order and nulls the variables again. One
// per process run, or one per test.
class Wizard {
public:
    Wizard();
    ~Wizard();
    Wizard(const Wizard&) = delete;
    Wizard& operator=(const Wizard&) = delete;

    TfrmMain& main() { return *main_; }

private:
    std::unique_ptr<TfrmMain> main_;
    std::unique_ptr<TfrmDevDisc> devDisc_;
    std::unique_ptr<TfrmCommPortSel> commPortSel_;
    std::unique_ptr<TfrmIntroduction> introduction_;
    std::unique_ptr<TfrmFinish> finish_;
    std::unique_ptr<TfrmConfigRemotePort> configRemotePort_;
    std::unique_ptr<TfrmFlashUpdate> flashUpdate_;
    std::unique_ptr<TfrmConfigLocalPort> configLocalPort_;
    std::unique_ptr<TfrmConfigLocalDevice> configLocalDevice_;
};

// A desk is one more station: the save the device confirmed, appended to the
// record `where` (record/record.h) as one run of the program "wizard". The
// error, empty on success.
QString RecordSave(const TfrmMain& main, const QString& where);

// The whole program after the application object exists: title, forms, event
// loop, with an escaped exception shown in the standard error box (exit 0).
// With VTRLCFG_EXIT_AFTER_SHOW=1 in the environment the program prints
// "vtrlcfg: first page shown" to stderr and ends as soon as the first page is
// on screen (start-up timing). `titleNote` follows the page caption in the
// window title.
int RunWizard(const QString& titleNote = QString());

}  // namespace vtrl
