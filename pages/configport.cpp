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
    const bool waiting = !wait_.Idle();
    btnSet.setEnabled(!editable && !waiting);
    if (frmMain)
        frmMain->btnNext.setEnabled(ConfigConfirmed);
    SetListsEnabled(editable && !waiting);
    chkDCE.setEnabled(!waiting);
    bAdvanced.setEnabled(!waiting);
}

bool TfrmConfigPort::DeviceHoldsShown()
{
    // A send given up on that is still unanswered was carried out, if at
    // all, before what proved the holding: the device takes commands in the
    // order they reach it, only its answers may come late or out of order.
    return held_ && held_->unit == Unit() && held_->wire == WireOf(ShownSettings()) && wait_.Idle();
}

void TfrmConfigPort::ShowWhetherHeld(TfrmMain& main)
{
    ConfigConfirmed = DeviceHoldsShown();
    main.btnNext.setEnabled(ConfigConfirmed);
    btnSet.setEnabled(!ConfigConfirmed);
    // What the page shows now is not what it last had confirmed on this unit,
    // e.g. the local page's settings handed to the remote record.
    if (!ConfigConfirmed && held_ && held_->unit == Unit())
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
    if (settle_ && wait_.Idle())
        ReadBack();
}

void TfrmConfigPort::cboParameterChange()
{
    btnSet.setEnabled(wait_.Idle());
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
    if (!wait_.Idle())
        return;
    protocol::CommandSender* send = Commands();
    if (!send || SendPendingSettings(*send) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    sent_ = Held{Unit(), WireOf(PendingPortSettings)};
    wait_.Begin(Step::PortConfig, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    tmrConfig.start();
    ConfigConfirmed = false;
    EnablePortControls(false);
}

void TfrmConfigPort::EndWaitUnanswered()
{
    // Unanswered, the send may or may not have been taken; refused, it was
    // not. A read-back unanswered is tried again when the page can.
    if (wait_.Is(Step::ReadBack))
        settle_ = true;
    else if (Ledger() && Ledger()->Open(wait_.send()))
        held_.reset();
    wait_.End(Ledger());
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
    if (wait_.Idle())
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
    const DeviceAddress unit = Unit();
    // The remote without a bonded unit has nobody to ask.
    if (!send || (remote_ && unit == DeviceAddress{}))
        return false;
    if (send->SendGetConfig(remote_ ? unit : DeviceAddress{}) < 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return false;
    }
    settle_ = false;
    wait_.Begin(Step::ReadBack, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    tmrConfig.stop();
    tmrConfig.start();
    ConfigConfirmed = false;
    EnablePortControls(false);
    SetStatus(QStringLiteral("The device's answer may be for an earlier command.  Reading its settings back..."));
    return true;
}

void TfrmConfigPort::Hold(const DeviceAddress& unit, const Wire& wire)
{
    if (protocol::DeviceConfig* record = Record())
        wire.Into(*record);
    held_ = Held{unit, wire};
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

void TfrmConfigPort::InDoubt(const Reply& reply)
{
    held_.reset();
    ConfigConfirmed = false;
    if (wait_.Is(Step::PortConfig) && wait_.MayAnswer(reply)) {
        tmrConfig.stop();
        wait_.End(Ledger());
        if (!ReadBack()) {
            EnablePortControls(true);
            SetStatus(QString::fromLatin1(timeoutText_));
        }
        return;
    }
    settle_ = true;
    if (wait_.Idle() && isVisible())
        ReadBack();
}

void TfrmConfigPort::PortGone(int port, bool shown)
{
    // The device may have restarted: what it holds is to be sent again.
    held_.reset();
    settle_ = false;
    ConfigConfirmed = false;
    if (!wait_.Idle()) {
        wait_.End(nullptr);
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
    const protocol::Exchange* answered = reply.Send();
    if (reply.Ambiguous() && (!answered || answered->command != protocol::SetPortConfig)) {
        InDoubt(reply);
        return;
    }
    // Unasked, or naming another command: not this send's answer, which may
    // still come. A SetPortConfig carried out that no send of the wizard
    // explains leaves what the device holds unknown.
    if (!answered) {
        if (reply.block && protocol::FirstByte(*reply.block) == protocol::SetPortConfig && held_) {
            held_.reset();
            ConfigConfirmed = false;
            if (isVisible() && wait_.Idle()) {
                EnablePortControls(true);
                cboParameterChange();
            }
        }
        return;
    }
    if (wait_.Is(Step::PortConfig) && wait_.Answers(reply)) {
        tmrConfig.stop();
        wait_.End(nullptr);
    }
    // The device holds what that send carried (or every candidate, which
    // carried the same), whatever the page shows now.
    const auto sent = protocol::PortConfigCommand::Decode(answered->payload);
    if (!sent)
        return;
    Hold(remote_ ? answered->unit : Unit(), sent->settings);
    if (!wait_.Idle())
        return;  // an older send's answer: the read-back waited for tells more
    ConfigConfirmed = DeviceHoldsShown();
    if (!isVisible())
        return;  // shown again on entry
    if (ConfigConfirmed) {
        SetStatus(QStringLiteral("Configuration confirmation received."));
        EnablePortControls(true);
        return;
    }
    // Changed while the device was answering: the change has not reached it.
    EnablePortControls(true);
    cboParameterChange();
}

void TfrmConfigPort::ConfigReportReceived(const Reply& reply)
{
    if (!wait_.Is(Step::ReadBack) || !wait_.Answers(reply) || !reply.block || reply.block->empty())
        return;
    tmrConfig.stop();
    wait_.End(nullptr);
    const auto report = protocol::ConfigReportPayload::Decode(*reply.block);
    const Wire wire = protocol::PortSettings::Of(report->config);
    Hold(Unit(), wire);
    const Wire shown = WireOf(ShownSettings());
    // Nothing edited since the last send: the page shows what the device
    // holds, whether or not that send took.
    const bool edited = sent_ && sent_->wire != shown;
    if (shown != wire && !edited)
        Show(wire);
    ConfigConfirmed = DeviceHoldsShown();
    EnablePortControls(true);
    if (!ConfigConfirmed) {
        cboParameterChange();
        return;
    }
    SetStatus(sent_ && sent_->wire != wire
                  ? QStringLiteral("The device did not take the settings sent last.  It holds the settings shown.")
                  : QStringLiteral("Configuration confirmed by reading it back from the device."));
}

void TfrmConfigPort::NegativeResponseReceived(const Reply& reply)
{
    // A refused send was not carried out; one that may be the refused one
    // leaves what the device holds unknown. A wait runs out as before.
    if (reply.Ambiguous()) {
        held_.reset();
        ConfigConfirmed = false;
        if (!isVisible()) {
            settle_ = settle_ || wait_.Idle();
            return;
        }
    } else if (reply.Credited() && !wait_.Answers(reply)) {
        return;
    }
    if (!isVisible())
        return;
    platform::ShowMessageBox(this, NegativeResponseText(reply), QStringLiteral("Warning"), platform::MbButtons::Ok,
                             platform::MbIcon::Error);
    if (reply.Ambiguous() && wait_.Idle())
        ReadBack();
}

}  // namespace vtrl
