#include "localdevicesettings.h"

#include "protocol/rules.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/uifont.h"

#include <algorithm>

namespace vtrl {

TfAdvanced* fAdvanced = nullptr;

namespace {

constexpr int kLowPowerLevels = 5;   // "0".."4"
constexpr int kClass2PowerLevels = 8;  // "0".."7"
constexpr int kPowerClass2 = 0x20;

}  // namespace

TfAdvanced::TfAdvanced(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      cbLKInit(this), lbPowerLevel(this), cbPowerLevel(this), lbLinkTimeout(this), seLinkTimeout(this),
      gbCDOutputSelect(this), cbOutOnCD(&gbCDOutputSelect), bOK(this), bCancel(this)
{
    setObjectName(QStringLiteral("fAdvanced"));
    setWindowTitle(QStringLiteral("Advanced"));
    setFont(WizardFont());
    setFixedSize(185, 173);

    cbLKInit.setObjectName(QStringLiteral("cbLKInit"));
    cbLKInit.setText(QStringLiteral("Reset Link Keys"));
    cbLKInit.setGeometry(12, 8, 160, 17);

    lbPowerLevel.setObjectName(QStringLiteral("lbPowerLevel"));
    lbPowerLevel.setText(QStringLiteral("PowerLevel"));
    lbPowerLevel.setGeometry(12, 36, 76, 15);
    cbPowerLevel.setObjectName(QStringLiteral("cbPowerLevel"));
    cbPowerLevel.setGeometry(96, 32, 77, 22);
    cbPowerLevel.addItem(QString());

    lbLinkTimeout.setObjectName(QStringLiteral("lbLinkTimeout"));
    lbLinkTimeout.setText(QStringLiteral("Link Timeout"));
    lbLinkTimeout.setGeometry(12, 64, 76, 15);
    seLinkTimeout.setObjectName(QStringLiteral("seLinkTimeout"));
    seLinkTimeout.setGeometry(96, 60, 77, 22);
    seLinkTimeout.setRange(0, protocol::kLinkTimeoutOffered);
    seLinkTimeout.setSingleStep(1);
    seLinkTimeout.setValue(20);
    // A screen reader names the list and the spin box by the labels beside them.
    lbPowerLevel.setBuddy(&cbPowerLevel);
    lbLinkTimeout.setBuddy(&seLinkTimeout);
    // Text left outside the range or unfinished is pulled back on focus loss.
    seLinkTimeout.setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);

    gbCDOutputSelect.setObjectName(QStringLiteral("gbCDOutputSelect"));
    gbCDOutputSelect.setTitle(QStringLiteral("SPP Connect Output Select"));
    gbCDOutputSelect.setGeometry(8, 88, 169, 44);
    cbOutOnCD.setObjectName(QStringLiteral("cbOutOnCD"));
    cbOutOnCD.setText(QStringLiteral("Output Signal on CD"));
    cbOutOnCD.setGeometry(10, 20, 150, 17);

    bOK.setObjectName(QStringLiteral("bOK"));
    bOK.setText(QStringLiteral("OK"));
    bOK.setGeometry(12, 140, 75, 25);
    bOK.setDefault(true);
    bCancel.setObjectName(QStringLiteral("bCancel"));
    bCancel.setText(QStringLiteral("Cancel"));
    bCancel.setGeometry(98, 140, 75, 25);

    connect(&bOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(&bCancel, &QPushButton::clicked, this, &QDialog::reject);
    fAdvanced = this;
}

TfAdvanced::~TfAdvanced()
{
    if (fAdvanced == this)
        fAdvanced = nullptr;
}

bool TfAdvanced::ShowModal()
{
    const QWidget* centre = frmMain ? static_cast<QWidget*>(frmMain) : parentWidget();
    if (centre) {
        const QRect area = centre->window()->frameGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
    return exec() == QDialog::Accepted;
}

bool RunPortAdvanced(QWidget* page, bool dce, PortAdvancedValues& values)
{
    TfAdvanced dialog(page);
    dialog.seLinkTimeout.hide();
    dialog.lbLinkTimeout.hide();
    dialog.cbLKInit.hide();

    if (dce) {
        dialog.cbOutOnCD.setChecked(values.OutputOnCD != 0);
    } else {
        dialog.cbOutOnCD.setChecked(false);
        dialog.cbOutOnCD.setEnabled(false);
    }

    dialog.cbPowerLevel.clear();
    const int levels = values.PowerClass == kPowerClass2 ? kClass2PowerLevels : kLowPowerLevels;
    for (int level = 0; level < levels; ++level)
        dialog.cbPowerLevel.addItem(QString::number(level));
    if (values.PowerClass != kPowerClass2 && values.PowerLevel > kLowPowerLevels - 1)
        values.PowerLevel = kLowPowerLevels - 1;
    dialog.cbPowerLevel.setCurrentIndex(values.PowerLevel >= 0 && values.PowerLevel < levels ? values.PowerLevel : -1);

    if (!dialog.ShowModal())
        return false;
    values.OutputOnCD = dialog.cbOutOnCD.isChecked() ? 1 : 0;
    // With no entry chosen the level must still fit the power byte's low
    // nibble and be one the dialog offers: keep it, pulled into the list.
    const int chosen = dialog.cbPowerLevel.currentIndex();
    values.PowerLevel = chosen >= 0 ? chosen : std::clamp(values.PowerLevel, 0, levels - 1);
    return true;
}

bool RunDeviceAdvanced(QWidget* page, bool authentication, std::uint16_t& linkTimeout, bool& resetLinkKeys)
{
    TfAdvanced dialog(page);
    dialog.gbCDOutputSelect.hide();
    dialog.seLinkTimeout.setValue(std::min<int>(linkTimeout, protocol::kLinkTimeoutOffered));
    dialog.cbLKInit.setVisible(authentication);
    dialog.lbPowerLevel.hide();
    dialog.cbPowerLevel.hide();
    dialog.cbLKInit.setChecked(resetLinkKeys);

    if (!dialog.ShowModal())
        return false;
    // OK takes what the dialog showed, also a value the device held beyond
    // what it offers: the operator saw that value and accepted it. Text
    // still being typed counts as far as it reads as a number in range;
    // anything else leaves the last valid value.
    dialog.seLinkTimeout.interpretText();
    linkTimeout = static_cast<std::uint16_t>(dialog.seLinkTimeout.value());
    resetLinkKeys = dialog.cbLKInit.isVisibleTo(&dialog) && dialog.cbLKInit.isChecked();
    return true;
}

}  // namespace vtrl
