#include "introscreen.h"

#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"
#include "shell/remembered.h"

namespace vtrl {

TfrmIntroduction::TfrmIntroduction(QWidget* parent)
    : TWizardChildForm(parent), txtIntroScreen(this), rgDeviceFunction(this),
      rbCableReplacement(&rgDeviceFunction), rbSppServer(&rgDeviceFunction)
{
    setObjectName(QStringLiteral("frmIntroduction"));
    setWindowTitle(QStringLiteral("Version 2.7"));
    resize(498, 321);

    SetupMemo(txtIntroScreen, "txtIntroScreen", QRect(48, 32, 385, 121),
              {QStringLiteral("This Configuration Wizard will guide you through the configuration of a pair of "),
               QStringLiteral("Quorvanes' RS-232 Cable Replacement Devices or a single device "),
               QStringLiteral("operating as an SPP Server.  It will lead you through the required steps of port "),
               QStringLiteral("selection, remote device discovery and bonding, port configuration of both the "),
               QStringLiteral("local and remote devices, and saving of the settings on the devices.  "),
               QString(),
               QStringLiteral("To begin, confirm that each device is powered on in configuration mode.  Select "),
               QStringLiteral("the type of device that is to be configured.  Then, select \"Next\" to continue.")});

    rgDeviceFunction.setObjectName(QStringLiteral("rgDeviceFunction"));
    rgDeviceFunction.setTitle(QStringLiteral("Device Function"));
    rgDeviceFunction.setGeometry(101, 200, 289, 49);
    // Two columns, each half of the inner width.
    rbCableReplacement.setObjectName(QStringLiteral("rgDeviceFunctionItem0"));
    rbCableReplacement.setText(QStringLiteral("Cable Replacement"));
    rbCableReplacement.setGeometry(8, 20, 136, 20);
    rbSppServer.setObjectName(QStringLiteral("rgDeviceFunctionItem1"));
    rbSppServer.setText(QStringLiteral("SPP Server"));
    rbSppServer.setGeometry(148, 20, 136, 20);
    items_.addButton(&rbCableReplacement, 0);
    items_.addButton(&rbSppServer, 1);
    connect(&items_, &QButtonGroup::idClicked, this, [this](int) { rgDeviceFunctionClick(); });
}

int TfrmIntroduction::ItemIndex() const
{
    return items_.checkedId();
}

void TfrmIntroduction::SetItemIndex(int index)
{
    if (QAbstractButton* button = items_.button(index)) {
        button->setChecked(true);
        rgDeviceFunctionClick();
    }
}

std::uint8_t TfrmIntroduction::PageEntered(TfrmMain&)
{
    if (ItemIndex() < 0)
        if (const auto last = remembered::Load())
            SetItemIndex(last->function - 1);
    return 0;
}

void TfrmIntroduction::rgDeviceFunctionClick()
{
    const int index = ItemIndex();
    if (index < 0 || !frmMain)
        return;
    frmMain->btnNext.setEnabled(true);
    frmMain->DeviceFunction = static_cast<std::uint8_t>(index + 1);
}

}  // namespace vtrl
