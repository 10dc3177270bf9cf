#include "configlocalport.h"

#include "shell/forms.h"
#include "shell/mainform.h"

namespace vtrl {

TfrmConfigLocalPort::TfrmConfigLocalPort(QWidget* parent)
    : TfrmConfigPort({"frmConfigLocalPort", "Configure Local Port", "btnSetLocalPortConfig", "stbConfigLocalPort",
                      "txtConfigLocalPortTaskDesc", "local", 60, false, "Configuration timed out. Please retry."},
                     parent)
{
}

protocol::DeviceConfig* TfrmConfigLocalPort::Record() const
{
    return frmMain ? &frmMain->LocalConfig : nullptr;
}

QString TfrmConfigLocalPort::NegativeResponseText(const Reply& reply) const
{
    return QStringLiteral("A negative response was received from the Cable Replacement Device with reason ")
        + QString::fromStdString(protocol::RefusalReason(reply.block)) + QStringLiteral(".  Please try again.");
}

DeviceAddress TfrmConfigLocalPort::Unit() const
{
    // Addressed as zero; told apart by the address it reported.
    return frmMain ? frmMain->LocalDeviceAddress : DeviceAddress{};
}

std::uint8_t TfrmConfigLocalPort::PageEntered(TfrmMain& main)
{
    Tasks.AdaptToDeviceFunction(main.DeviceFunction);
    if (main.DeviceFunction == 1)
        Tasks.lblFourth.setEnabled(true);
    LoadFromRecord(main);
    ShowWhetherHeld(main);
    return 0;
}

std::uint8_t TfrmConfigLocalPort::PageLeaving(QPushButton* pressed)
{
    if (!frmMain)
        return 0;
    TfrmMain& main = *frmMain;
    if (pressed == &main.btnNext)
        main.btnBack.setEnabled(true);
    else
        main.btnNext.setEnabled(true);
    AbandonWait();
    const protocol::DeviceConfig& local = main.LocalConfig;
    protocol::DeviceConfig& remote = main.RemoteConfig;
    remote.BaudCode = local.BaudCode;
    remote.DataBitsCode = local.DataBitsCode;
    remote.ParityCode = local.ParityCode;
    remote.StopBitsCode = local.StopBitsCode;
    remote.FlowControlCode = local.FlowControlCode;
    remote.PowerByte = local.PowerByte;
    // The remote end of the cable takes the opposite role.
    remote.InterfaceCode = local.InterfaceCode == 2 ? 1 : 2;
    return 0;
}

}  // namespace vtrl
