#include "configport.h"

#include "platform/messagebox.h"
#include "protocol/commands.h"
#include "protocol/rules.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <QSignalBlocker>

namespace vtrl {

namespace {

void SetupLabel(QLabel& label, const char* name, const QRect& geometry, const QString& text)
{
    label.setObjectName(QString::fromLatin1(name));
    label.setGeometry(geometry);
    label.setText(text);
}

void SetupList(QComboBox& list, const char* name, const QRect& geometry, const QStringList& items)
{
    list.setObjectName(QString::fromLatin1(name));
    list.setGeometry(geometry);
    list.addItems(items);
    list.setCurrentIndex(-1);
}

// The code of a list: its entry's position plus one, 0 with nothing selected.
int CodeOf(const QComboBox& list)
{
    return list.currentIndex() + 1;
}

void SelectCode(QComboBox& list, int code)
{
    list.setCurrentIndex(code >= 1 && code <= list.count() ? code - 1 : -1);
}

}  // namespace

TfrmConfigPort::TfrmConfigPort(const Design& design, QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, design.arrowY}),
      grpPortSettings(this), lblBaudRate(&grpPortSettings), lblDataBits(&grpPortSettings),
      lblParity(&grpPortSettings), lblStopBits(&grpPortSettings), lblFlowControl(&grpPortSettings),
      cboBaudRate(&grpPortSettings), cboDataBits(&grpPortSettings), cboParity(&grpPortSettings),
      cboStopBits(&grpPortSettings), cboFlowControl(&grpPortSettings), chkDCE(this), btnSet(this), bAdvanced(this),
      stb(this), Panel0(&stb, QString::fromLatin1(design.statusBarName) + QStringLiteral("Panel0")),
      timeoutText_(design.timeoutText), remote_(design.remote)
{
    setObjectName(QString::fromLatin1(design.formName));
    setWindowTitle(QString::fromLatin1(design.caption));
    resize(457, 253);

    grpTaskDesc.setObjectName(QStringLiteral("grpTaskDesc"));
    grpTaskDesc.setTitle(QStringLiteral("Task Description"));
    grpTaskDesc.setGeometry(0, 0, 457, 96);
    SetupMemo(txtTaskDesc, design.taskDescName, QRect(8, 17, 441, 74),
              {QStringLiteral("The devices are replacing a cable between two ports.  In this step, you must configure the"),
               QStringLiteral("port settings for the %1 device.  You must set the RS-232 Cable Replacement Device's")
                   .arg(QString::fromLatin1(design.device)),
               QStringLiteral("port settings as required to communicate with the device to which it is attached.  Select the"),
               QStringLiteral("appropriate settings and then select \"Set Port Configuration\".   When successful, select"),
               QStringLiteral("\"Next\" to continue.")});

    grpPortSettings.setObjectName(QStringLiteral("grpPortSettings"));
    grpPortSettings.setTitle(QStringLiteral("Port Settings"));
    grpPortSettings.setGeometry(130, 100, 182, 129);
    const auto row = [](int i) { return 17 + 22 * i; };
    SetupLabel(lblBaudRate, "lblBaudRate", QRect(8, row(0) + 3, 66, 15), QStringLiteral("Baud Rate:"));
    SetupLabel(lblDataBits, "lblDataBits", QRect(8, row(1) + 3, 66, 15), QStringLiteral("Data Bits:"));
    SetupLabel(lblParity, "lblParity", QRect(8, row(2) + 3, 66, 15), QStringLiteral("Parity:"));
    SetupLabel(lblStopBits, "lblStopBits", QRect(8, row(3) + 3, 66, 15), QStringLiteral("Stop Bits:"));
    SetupLabel(lblFlowControl, "lblFlowControl", QRect(8, row(4) + 3, 66, 15), QStringLiteral("Flow Control:"));
    SetupList(cboBaudRate, "cboBaudRate", QRect(78, row(0), 96, 21),
              {"300", "1200", "2400", "4800", "7200", "9600", "19200", "38400", "57600", "115200"});
    SetupList(cboDataBits, "cboDataBits", QRect(78, row(1), 96, 21), {"7", "8"});
    SetupList(cboParity, "cboParity", QRect(78, row(2), 96, 21), {"None", "Odd", "Even"});
    SetupList(cboStopBits, "cboStopBits", QRect(78, row(3), 96, 21), {"1", "2"});
    QStringList flow{"None", "Software", "Hardware"};
    if (design.remote)
        flow << QString();
    SetupList(cboFlowControl, "cboFlowControl", QRect(78, row(4), 96, 21), flow);
    // A screen reader names each list by the label beside it, not by the group.
    lblBaudRate.setBuddy(&cboBaudRate);
    lblDataBits.setBuddy(&cboDataBits);
    lblParity.setBuddy(&cboParity);
    lblStopBits.setBuddy(&cboStopBits);
    lblFlowControl.setBuddy(&cboFlowControl);

    chkDCE.setObjectName(QStringLiteral("chkDCE"));
    chkDCE.setText(QStringLiteral("DCE Device"));
    chkDCE.setGeometry(322, 110, 130, 17);
    bAdvanced.setObjectName(QStringLiteral("bAdvanced"));
    bAdvanced.setText(QStringLiteral("Advanced"));
    bAdvanced.setGeometry(322, 138, 131, 25);
    btnSet.setObjectName(QString::fromLatin1(design.setButtonName));
    btnSet.setText(QStringLiteral("Set Port Configuration"));
    btnSet.setGeometry(322, 200, 131, 25);
    btnSet.setEnabled(false);

    stb.setObjectName(QString::fromLatin1(design.statusBarName));
    stb.setGeometry(0, 233, 457, 20);

    tmrConfig.setObjectName(QStringLiteral("tmrConfig"));
    tmrConfig.setInterval(static_cast<int>(protocol::kTimeouts.portSettings.count()));

    for (QComboBox* list : {&cboBaudRate, &cboDataBits, &cboParity, &cboStopBits, &cboFlowControl})
        connect(list, &QComboBox::currentIndexChanged, this, [this](int) { cboParameterChange(); });
    // An operator's click only; the loading on entry decides itself whether
    // its change of the box counts as an edit.
    connect(&chkDCE, &QCheckBox::clicked, this, [this] { cboParameterChange(); });
    connect(&btnSet, &QPushButton::clicked, this, &TfrmConfigPort::SendPortConfig);
    connect(&bAdvanced, &QPushButton::clicked, this, &TfrmConfigPort::bAdvancedClick);
    connect(&tmrConfig, &QTimer::timeout, this, &TfrmConfigPort::tmrConfigTimer);
}

TfrmConfigPort::~TfrmConfigPort() = default;

TfrmConfigPort::Wire TfrmConfigPort::WireOf(const PortSettings& p)
{
    const auto code = [](int value) { return static_cast<std::uint8_t>(value); };
    return {code(p.BaudCode),      code(p.DataBitsCode),    code(p.StopBitsCode), code(p.ParityCode),
            code(p.InterfaceCode), code(p.FlowControlCode), p.PowerByte(),        p.OutputOnCD};
}

void TfrmConfigPort::SetListsEnabled(bool enabled)
{
    for (QComboBox* list : {&cboBaudRate, &cboFlowControl, &cboParity, &cboDataBits, &cboStopBits})
        list->setEnabled(enabled);
}

void TfrmConfigPort::EnablePortControls(bool editable)
{
    // While a send waits for its answer nothing can be changed or sent again:
    // a second answer could not be told from the first.
    const bool waiting = !settings_.Idle();
    btnSet.setEnabled(!editable && !waiting);
    if (frmMain)
        frmMain->btnNext.setEnabled(ConfigConfirmed);
    SetListsEnabled(editable && !waiting);
    chkDCE.setEnabled(!waiting);
    bAdvanced.setEnabled(!waiting);
}

bool TfrmConfigPort::DeviceHoldsShown()
{
    return settings_.Holds(Unit(), WireOf(ShownSettings()));
}

bool TfrmConfigPort::KnowsUnit() const
{
    const auto& held = settings_.Held();
    return held && held->unit == Unit();
}

void TfrmConfigPort::ShowWhetherHeld(TfrmMain& main)
{
    ConfigConfirmed = DeviceHoldsShown();
    main.btnNext.setEnabled(ConfigConfirmed);
    btnSet.setEnabled(!ConfigConfirmed);
    // What the page shows now is not what it last had confirmed on this unit,
    // e.g. the local page's settings handed to the remote record.
    if (!ConfigConfirmed && KnowsUnit())
        cboParameterChange();
}

void TfrmConfigPort::LoadFromRecord(TfrmMain& main)
{
    const protocol::DeviceConfig* record = Record();
    if (record) {
        {
            // Showing the record is not an edit.
            const QSignalBlocker b1(cboBaudRate), b2(cboDataBits), b3(cboStopBits), b4(cboParity),
                b5(cboFlowControl);
            SelectCode(cboBaudRate, record->BaudCode);
            SelectCode(cboDataBits, record->DataBitsCode);
            SelectCode(cboStopBits, record->StopBitsCode);
            SelectCode(cboParity, record->ParityCode);
            SelectCode(cboFlowControl, record->FlowControlCode);
        }
        PendingPortSettings.PowerLevel = record->PowerByte & 0x0F;
        PendingPortSettings.PowerClass = record->PowerByte & 0xF0;
        PendingPortSettings.OutputOnCD = record->OutputOnCD;
        const bool dce = record->InterfaceCode == 2;
        if (chkDCE.isChecked() != dce) {
            chkDCE.setChecked(dce);
            cboParameterChange();
        }
    }
    main.SetNotifyWindow(this);
    if (settings_.SettleDue() && settings_.Idle())
        ReadBack();
}

void TfrmConfigPort::cboParameterChange()
{
    btnSet.setEnabled(settings_.Idle());
    if (frmMain)
        frmMain->btnNext.setEnabled(false);
    SetStatus(QStringLiteral("The Port Configuration has been changed.  (Re)send Configuration when ready to proceed."));
}

PortSettings TfrmConfigPort::ShownSettings() const
{
    PortSettings p = PendingPortSettings;
    p.BaudCode = CodeOf(cboBaudRate);
    p.DataBitsCode = CodeOf(cboDataBits);
    p.StopBitsCode = CodeOf(cboStopBits);
    p.ParityCode = CodeOf(cboParity);
    p.FlowControlCode = CodeOf(cboFlowControl);
    p.InterfaceCode = chkDCE.isChecked() ? 2 : 1;
    return p;
}

void TfrmConfigPort::SendPortConfig()
{
    PendingPortSettings = ShownSettings();
    if (!settings_.Idle())
        return;
    protocol::CommandSender* send = Commands();
    // Without the bonded device's address there is nobody to send to.
    const bool addressed = !remote_ || Unit() != DeviceAddress{};
    if (!send || !addressed
        || settings_.SendValues(*send, Ledger(), Unit(), Address(), WireOf(PendingPortSettings), tmrConfig.intervalAsDuration())
            != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    tmrConfig.start();
    ConfigConfirmed = false;
    EnablePortControls(false);
}

DeviceAddress TfrmConfigPort::Address() const
{
    return remote_ ? Unit() : DeviceAddress{};
}

void TfrmConfigPort::EndWaitUnanswered()
{
    // Unanswered, the send may or may not have been taken; refused, it was
    // not. A read-back unanswered is tried again when the page can.
    settings_.GiveUp(Ledger());
    tmrConfig.stop();
    ConfigConfirmed = false;
    SetStatus(QString::fromLatin1(timeoutText_));
}

void TfrmConfigPort::tmrConfigTimer()
{
    EndWaitUnanswered();
    EnablePortControls(true);
}

void TfrmConfigPort::AbandonWait()
{
    if (settings_.Idle())
        return;
    EndWaitUnanswered();
    // btnNext now belongs to the page being entered.
    btnSet.setEnabled(false);
    SetListsEnabled(true);
    chkDCE.setEnabled(true);
    bAdvanced.setEnabled(true);
}

bool TfrmConfigPort::ReadBack()
{
    protocol::CommandSender* send = Commands();
    // The remote without a bonded unit has nobody to ask.
    if (!send || (remote_ && Unit() == DeviceAddress{}))
        return false;
    if (settings_.ReadBack(*send, Ledger(), Unit(), Address(), tmrConfig.intervalAsDuration()) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return false;
    }
    tmrConfig.stop();
    tmrConfig.start();
    ConfigConfirmed = false;
    EnablePortControls(false);
    SetStatus(QStringLiteral("The device's answer may be for an earlier command.  Reading its settings back..."));
    return true;
}

void TfrmConfigPort::KeepHeld()
{
    if (const auto& held = settings_.Held())
        if (protocol::DeviceConfig* record = Record())
            held->values.Into(*record);
}

void TfrmConfigPort::Show(const Wire& wire)
{
    {
        const QSignalBlocker b1(cboBaudRate), b2(cboDataBits), b3(cboStopBits), b4(cboParity), b5(cboFlowControl);
        SelectCode(cboBaudRate, wire.baud);
        SelectCode(cboDataBits, wire.dataBits);
        SelectCode(cboStopBits, wire.stopBits);
        SelectCode(cboParity, wire.parity);
        SelectCode(cboFlowControl, wire.flowControl);
    }
    chkDCE.setChecked(wire.interfaceCode == 2);
    PendingPortSettings.PowerLevel = wire.powerByte & 0x0F;
    PendingPortSettings.PowerClass = wire.powerByte & 0xF0;
    PendingPortSettings.OutputOnCD = wire.cdOutput;
}

void TfrmConfigPort::InDoubt(bool waited)
{
    ConfigConfirmed = false;
    if (waited) {
        // The answer waited for may be another send's: only a read-back tells.
        tmrConfig.stop();
        if (!ReadBack()) {
            EnablePortControls(true);
            SetStatus(QString::fromLatin1(timeoutText_));
        }
        return;
    }
    if (settings_.Idle() && isVisible())
        ReadBack();
}

void TfrmConfigPort::PortGone(int port, bool shown)
{
    // The device may have restarted: what it holds is to be sent again.
    const bool waiting = !settings_.Idle();
    settings_.Forget();
    ConfigConfirmed = false;
    if (waiting) {
        tmrConfig.stop();
        EnablePortControls(true);
    }
    if (shown) {
        SetStatus(DisconnectedText(port));
        if (frmMain)
            frmMain->btnNext.setEnabled(false);
    }
}

void TfrmConfigPort::bAdvancedClick()
{
    // Cancel too may leave a level lowered to one the class offers: then the
    // page wants to send what the device does not hold.
    const PortSettings before = PendingPortSettings;
    if (RunPortAdvanced(this, chkDCE.isChecked(), PendingPortSettings) || PendingPortSettings != before)
        cboParameterChange();
}

void TfrmConfigPort::ConfirmationReceived(const Reply& reply)
{
    const bool waited = settings_.step() == core::PortSettingsExchange::Step::Send;
    switch (settings_.Confirmation(reply.Notice(), reply.tag)) {
    case core::PortSettingsExchange::Outcome::InDoubt:
        InDoubt(waited && settings_.Idle());
        return;
    case core::PortSettingsExchange::Outcome::Forgotten:
        // A SetPortConfig carried out that no send of the wizard explains.
        ConfigConfirmed = false;
        if (isVisible() && settings_.Idle()) {
            EnablePortControls(true);
            cboParameterChange();
        }
        return;
    case core::PortSettingsExchange::Outcome::Proved:
        break;
    default:
        return;
    }
    if (waited && settings_.Idle())
        tmrConfig.stop();
    KeepHeld();
    if (!settings_.Idle())
        return;  // an older send's answer: the read-back waited for tells more
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;  // shown again on entry
    EnablePortControls(true);
    if (ConfigConfirmed) {
        SetStatus(QStringLiteral("Configuration confirmation received."));
        return;
    }
    // Changed while the device was answering: the change has not reached it.
    cboParameterChange();
}

void TfrmConfigPort::ConfigReportReceived(const Reply& reply)
{
    if (settings_.Report(reply.Notice(), reply.tag) != core::PortSettingsExchange::Outcome::Proved)
        return;
    tmrConfig.stop();
    KeepHeld();
    const Wire held = settings_.Held()->values;
    const Wire shown = WireOf(ShownSettings());
    // Nothing edited since the last send: the page shows what the device
    // holds, whether or not that send took.
    const auto& sent = settings_.LastSent();
    const bool edited = sent && sent->values != shown;
    if (shown != held && !edited)
        Show(held);
    ConfigConfirmed = DeviceHoldsShown();
    EnablePortControls(true);
    if (!ConfigConfirmed) {
        cboParameterChange();
        return;
    }
    SetStatus(sent && sent->values != held
                  ? QStringLiteral("The device did not take the settings sent last.  It holds the settings shown.")
                  : QStringLiteral("Configuration confirmed by reading it back from the device."));
}

void TfrmConfigPort::NegativeResponseReceived(const Reply& reply)
{
    // A refused send was not carried out; one that may be the refused one
    // leaves what the device holds unknown. A wait runs out as before.
    const auto outcome = settings_.Refusal(reply.tag);
    if (outcome == core::PortSettingsExchange::Outcome::InDoubt)
        ConfigConfirmed = false;
    else if (reply.Credited() && outcome != core::PortSettingsExchange::Outcome::Refused)
        return;
    if (!isVisible())
        return;
    platform::ShowMessageBox(this, NegativeResponseText(reply), QStringLiteral("Warning"), platform::MbButtons::Ok,
                             platform::MbIcon::Error);
    if (outcome == core::PortSettingsExchange::Outcome::InDoubt && settings_.Idle())
        ReadBack();
}

}  // namespace vtrl
