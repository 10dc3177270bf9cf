#include "configport.h"

#include "platform/messagebox.h"
#include "platform/windowmessage.h"
#include "protocol/commands.h"
#include "protocol/delivery.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <QSignalBlocker>

namespace vtrl {

namespace {

constexpr int kConfigMs = 5000;

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
      stb(this), statusPanel0_(&stb, QString::fromLatin1(design.statusBarName) + QStringLiteral("Panel0")), timeoutText_(design.timeoutText)
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
    if (design.emptyFourthFlowControl)
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
    tmrConfig.setInterval(kConfigMs);
    // A new wizard owes nothing to the pages of an earlier one.
    owedAnswers_ = 0;

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

QString TfrmConfigPort::StatusText() const
{
    return statusPanel0_.text();
}

void TfrmConfigPort::SetStatus(const QString& text)
{
    statusPanel0_.SetText(text);
    emit statusChanged(text);
}

void TfrmConfigPort::SetListsEnabled(bool enabled)
{
    for (QComboBox* list : {&cboBaudRate, &cboFlowControl, &cboParity, &cboDataBits, &cboStopBits})
        list->setEnabled(enabled);
}

void TfrmConfigPort::EnablePortControls(bool editable)
{
    btnSet.setEnabled(!editable);
    if (frmMain)
        frmMain->btnNext.setEnabled(ConfigConfirmed);
    SetListsEnabled(editable);
}

void TfrmConfigPort::SetSetAndNextFromConfirmed(TfrmMain& main)
{
    main.btnNext.setEnabled(ConfigConfirmed);
    btnSet.setEnabled(!ConfigConfirmed);
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
    btnSet.setEnabled(true);
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
    // Answers to sends of an earlier, ended wait are taken as lost, so that
    // one of them is never credited to this send.
    if (awaiting_ == Awaiting::Nothing)
        sent_.clear();
    if (SendPendingSettings() != 0) {
        SetStatus(QStringLiteral("Error writing configuration to comm port.  Please retry."));
        return;
    }
    sent_.push_back(PendingPortSettings);
    SetStatus(QStringLiteral("Configuration sent correctly. Waiting on confirmation..."));
    // A second send while waiting keeps the first deadline.
    if (!tmrConfig.isActive())
        tmrConfig.start();
    awaiting_ = Awaiting::PortConfig;
    EnablePortControls(false);
}

void TfrmConfigPort::EndUnanswered()
{
    tmrConfig.stop();
    awaiting_ = Awaiting::Nothing;
    sent_.clear();
    ConfigConfirmed = false;
    SetStatus(QString::fromLatin1(timeoutText_));
}

void TfrmConfigPort::tmrConfigTimer()
{
    EndUnanswered();
    EnablePortControls(true);
}

void TfrmConfigPort::AbandonWait()
{
    if (awaiting_ == Awaiting::Nothing)
        return;
    owedAnswers_ = static_cast<int>(sent_.size());
    owedUntil_ = QDeadlineTimer(tmrConfig.interval());
    EndUnanswered();
    // btnNext now belongs to the page being entered.
    btnSet.setEnabled(false);
    SetListsEnabled(true);
}

void TfrmConfigPort::bAdvancedClick()
{
    if (RunPortAdvanced(this, chkDCE.isChecked(), PendingPortSettings))
        cboParameterChange();
}

bool TfrmConfigPort::event(QEvent* e)
{
    auto* message = dynamic_cast<platform::WindowMessage*>(e);
    if (!message)
        return TWizardChildForm::event(e);
    // The block is ours from here and goes with `payload` on every path.
    switch (message->message()) {
    case protocol::MsgConfirmation:
        ConfirmationReceived(message->takePayload());
        return true;
    case protocol::MsgNegativeResponse:
        NegativeResponseReceived(message->takePayload());
        return true;
    default:
        return TWizardChildForm::event(e);
    }
}

bool TfrmConfigPort::TakeOwedAnswer(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (owedAnswers_ == 0 || owedUntil_.hasExpired())
        return false;
    if (payload && !payload->empty() && (*payload)[0] != protocol::SetPortConfig)
        return false;
    --owedAnswers_;
    return true;
}

void TfrmConfigPort::ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (TakeOwedAnswer(payload) || awaiting_ != Awaiting::PortConfig)
        return;
    tmrConfig.stop();
    awaiting_ = Awaiting::Nothing;
    if (!payload || payload->empty() || (*payload)[0] != protocol::SetPortConfig)
        return;
    // Without a send of ours there is nothing the answer could confirm.
    if (sent_.empty())
        return;
    const PortSettings confirmed = sent_.front();
    sent_.pop_front();
    if (protocol::DeviceConfig* record = Record()) {
        record->BaudCode = static_cast<std::uint8_t>(confirmed.BaudCode);
        record->DataBitsCode = static_cast<std::uint8_t>(confirmed.DataBitsCode);
        record->StopBitsCode = static_cast<std::uint8_t>(confirmed.StopBitsCode);
        record->ParityCode = static_cast<std::uint8_t>(confirmed.ParityCode);
        record->FlowControlCode = static_cast<std::uint8_t>(confirmed.FlowControlCode);
        record->InterfaceCode = static_cast<std::uint8_t>(confirmed.InterfaceCode);
        record->PowerByte = confirmed.PowerByte();
        record->OutputOnCD = confirmed.OutputOnCD;
    }
    if (!sent_.empty()) {
        // A later send is still on its way and may change what the device holds.
        tmrConfig.start();
        awaiting_ = Awaiting::PortConfig;
        return;
    }
    ConfigConfirmed = true;
    EnablePortControls(true);
    if (ShownSettings() != confirmed) {
        // Changed while the device was answering: the change has not reached it.
        cboParameterChange();
        return;
    }
    SetStatus(QStringLiteral("Configuration confirmation received."));
}

void TfrmConfigPort::NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    // The refusal of a send from a page left since: not this page's to show.
    if (TakeOwedAnswer(payload))
        return;
    // The wait goes on: the time-out follows the refusal. The refused send
    // is done with, so a later confirmation belongs to the next one.
    if (awaiting_ == Awaiting::PortConfig && !sent_.empty()
        && (!payload || payload->empty() || (*payload)[0] == protocol::SetPortConfig))
        sent_.pop_front();
    platform::ShowMessageBox(this, NegativeResponseText(payload), QStringLiteral("Warning"), platform::MbButtons::Ok,
                             platform::MbIcon::Error);
}

}  // namespace vtrl
