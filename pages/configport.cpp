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
    return held_ && held_->unit == Unit() && held_->wire == WireOf(ShownSettings()) && !SendsOpen();
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
    if (!MaySend(protocol::SetPortConfig)) {
        SetStatus(WaitForEarlierAnswerText());
        return;
    }
    protocol::CommandSender* send = Commands();
    if (!send || SendPendingSettings(*send) != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    wait_.Begin(Step::PortConfig, send->LastExchange(), Ledger(), tmrConfig.intervalAsDuration());
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    tmrConfig.start();
    ConfigConfirmed = false;
    EnablePortControls(false);
}

void TfrmConfigPort::EndWaitUnanswered()
{
    // Unanswered, the send may or may not have been taken; refused, it was not.
    if (Ledger() && Ledger()->Open(wait_.send()))
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

void TfrmConfigPort::PortGone(int port, bool shown)
{
    // The device may have restarted: what it holds is to be sent again.
    held_.reset();
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
    // Unasked, or naming another command: not this send's answer, which may
    // still come. A SetPortConfig carried out that no send of the wizard
    // explains leaves what the device holds unknown.
    if (!reply.Credited() || reply.Misnamed()) {
        if (reply.Byte(0) == protocol::SetPortConfig && held_) {
            held_.reset();
            ConfigConfirmed = false;
            if (isVisible() && wait_.Idle()) {
                EnablePortControls(true);
                cboParameterChange();
            }
        }
        return;
    }
    const bool waited = wait_.Answers(reply);
    if (waited) {
        tmrConfig.stop();
        wait_.End(nullptr);
    }
    // The device holds what that send carried, whatever the page shows now.
    const std::vector<std::uint8_t>& sent = reply.tag.exchange->payload;
    if (sent.size() < 6 + std::tuple_size_v<Wire>)
        return;
    Wire wire{};
    std::copy_n(sent.begin() + 6, wire.size(), wire.begin());
    if (protocol::DeviceConfig* record = Record()) {
        record->BaudCode = wire[0];
        record->DataBitsCode = wire[1];
        record->StopBitsCode = wire[2];
        record->ParityCode = wire[3];
        record->InterfaceCode = wire[4];
        record->FlowControlCode = wire[5];
        record->PowerByte = wire[6];
        record->OutputOnCD = wire[7];
    }
    held_ = Held{remote_ ? reply.tag.exchange->unit : Unit(), wire};
    if (!wait_.Idle())
        return;  // an older send's answer: the one waited for may change it again
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

void TfrmConfigPort::NegativeResponseReceived(const Reply& reply)
{
    // The refused send is over in the ledger; the wait runs out as before.
    if (reply.Credited() && !wait_.Answers(reply))
        return;
    if (!isVisible())
        return;
    platform::ShowMessageBox(this, NegativeResponseText(reply), QStringLiteral("Warning"), platform::MbButtons::Ok,
                             platform::MbIcon::Error);
}

}  // namespace vtrl
