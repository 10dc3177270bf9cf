#include "configremoteport.h"

#include "pages/devdisc.h"
#include "platform/messagebox.h"
#include "shell/forms.h"
#include "shell/mainform.h"

namespace vtrl {

TfrmConfigRemotePort::TfrmConfigRemotePort(QWidget* parent)
    : TfrmConfigPort({"frmConfigRemotePort", "Configure Remote Port", "btnSetRemotePortConfig",
                      "stbConfigRemotePort", "txtConfigRemotePortTaskDesc", "remote", 80, true,
                      "Configuration failed. Please retry."},
                     parent)
{
}

protocol::DeviceConfig* TfrmConfigRemotePort::Record() const
{
    return frmMain ? &frmMain->RemoteConfig : nullptr;
}

QString TfrmConfigRemotePort::NegativeResponseText(const Reply&) const
{
    return QStringLiteral("An error was received from the device.  Please try again.");
}

DeviceAddress TfrmConfigRemotePort::Unit() const
{
    return frmDevDisc ? frmDevDisc->BondTargetAddress : DeviceAddress{};
}

std::uint8_t TfrmConfigRemotePort::PageEntered(TfrmMain& main)
{
    LoadFromRecord(main);
    ShowWhetherHeld(main);
    return 0;
}

std::uint8_t TfrmConfigRemotePort::PageLeaving(QPushButton* pressed)
{
    if (!frmMain)
        return 0;
    TfrmMain& main = *frmMain;
    if (pressed == &main.btnNext) {
        if (!DeviceHoldsShown()) {
            platform::ShowMessageBox(this, QStringLiteral("The port settings must be properly configured before continuing."),
                                     QStringLiteral("Error"), platform::MbButtons::Ok, platform::MbIcon::None);
            return 2;
        }
    } else {
        main.btnNext.setEnabled(true);
    }
    AbandonWait();
    return 0;
}

}  // namespace vtrl
