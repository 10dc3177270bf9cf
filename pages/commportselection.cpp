#include "commportselection.h"

#include "pages/versioncheck.h"
#include "platform/messagebox.h"
#include "platform/pump.h"
#include "platform/windowmessage.h"
#include "protocol/delivery.h"
#include "protocol/params.h"
#include "serial/portnames.h"
#include "serial/probe.h"
#include "shell/deviceaddress.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <QFontMetrics>
#include <QScopedValueRollback>
#include <QSignalBlocker>

#include <algorithm>
#include <array>
#include <cstring>

namespace vtrl {

namespace {

using platform::MbButtons;
using platform::MbIcon;

constexpr int kHeartbeatMs = 2000;
constexpr int kStatusPanel0Width = 300;
const QString kNoPort = QStringLiteral("COM Port = None selected.");

// A NUL-terminated text field of a device block, never read past `size`.
QString FieldText(const std::uint8_t* field, std::size_t size)
{
    const auto* end = std::find(field, field + size, std::uint8_t{0});
    return QString::fromLatin1(reinterpret_cast<const char*>(field), static_cast<qsizetype>(end - field));
}

void SetupLabel(QLabel& label, const char* name, const QRect& geometry, const QString& text = QString())
{
    label.setObjectName(QString::fromLatin1(name));
    label.setGeometry(geometry);
    // Plain text keeps the double blanks of the configuration lines.
    label.setTextFormat(Qt::PlainText);
    label.setText(text);
}

void SetupButton(QPushButton& button, const char* name, const QRect& geometry, const QString& text)
{
    button.setObjectName(QString::fromLatin1(name));
    button.setGeometry(geometry);
    button.setText(text);
}

void SetupPanel(QLabel& panel, const char* name, const QRect& geometry)
{
    panel.setObjectName(QString::fromLatin1(name));
    panel.setGeometry(geometry);
    panel.setFrameShape(QFrame::Panel);
    panel.setFrameShadow(QFrame::Sunken);
    panel.setTextFormat(Qt::PlainText);
    panel.setIndent(2);
}

}  // namespace

TfrmCommPortSel::TfrmCommPortSel(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtCommPortSelTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select COM Port"), FourthTask::ConfigRemotePort, 20}), cboCommPort(this),
      btnSetCommPortSel(this), btnAutoDetect(this), lblCurrentSetting(this), bGetVersion(this), lblFormat(this),
      lblFlowControl(this), lblDeviceType(this), lblBondedTo(this), lbPowerClass(this), stbCommPortSel(this),
      statusPanel0_(&stbCommPortSel), statusPanel1_(&stbCommPortSel)
{
    setObjectName(QStringLiteral("frmCommPortSel"));
    setWindowTitle(QStringLiteral("COM Port Selection"));
    resize(457, 253);

    grpTaskDesc.setObjectName(QStringLiteral("grpTaskDesc"));
    grpTaskDesc.setTitle(QStringLiteral("Task Description"));
    grpTaskDesc.setGeometry(0, 0, 457, 96);
    SetupMemo(txtCommPortSelTaskDesc, "txtCommPortSelTaskDesc", QRect(8, 17, 441, 74),
              {QStringLiteral("Specify which COM port to which the device is attached.  Select the port below and then"),
               QStringLiteral("select \"Set COM Port Selection\" to verify communication to the attached device."),
               QString(),
               QStringLiteral("Alternately, click the \"Auto Detect\" button to have the port detected for you.  When"),
               QStringLiteral("successful, select \"Next\" to continue.")});

    cboCommPort.setObjectName(QStringLiteral("cboCommPort"));
    cboCommPort.setGeometry(133, 106, 150, 22);
    SetupButton(btnSetCommPortSel, "btnSetCommPortSel", QRect(291, 105, 162, 24),
                QStringLiteral("Set COM Port Selection"));
    btnSetCommPortSel.setEnabled(false);
    SetupButton(btnAutoDetect, "btnAutoDetect", QRect(291, 133, 162, 24), QStringLiteral("Auto Detect"));

    SetupLabel(lblCurrentSetting, "lblCurrentSetting", QRect(133, 139, 150, 16),
               QStringLiteral("Current Configuration:"));
    lblCurrentSetting.setEnabled(false);
    SetupButton(bGetVersion, "bGetVersion", QRect(391, 163, 62, 22), QStringLiteral("Ver Info"));
    bGetVersion.setEnabled(false);
    SetupLabel(lblFormat, "lblFormat", QRect(141, 160, 245, 14));
    SetupLabel(lblFlowControl, "lblFlowControl", QRect(141, 174, 245, 14));
    SetupLabel(lblDeviceType, "lblDeviceType", QRect(141, 188, 245, 14));
    SetupLabel(lblBondedTo, "lblBondedTo", QRect(141, 202, 245, 14));
    SetupLabel(lbPowerClass, "lbPowerClass", QRect(141, 216, 245, 14));

    stbCommPortSel.setObjectName(QStringLiteral("stbCommPortSel"));
    stbCommPortSel.setGeometry(0, 233, 457, 20);
    SetupPanel(statusPanel0_, "stbCommPortSelPanel0", QRect(0, 1, kStatusPanel0Width, 19));
    SetupPanel(statusPanel1_, "stbCommPortSelPanel1", QRect(kStatusPanel0Width + 2, 1, 457 - kStatusPanel0Width - 2, 19));
    statusPanel1_.setText(kNoPort);
    statusPanel1_.setToolTip(kNoPort);

    tmrHeartbeat.setObjectName(QStringLiteral("tmrHeartbeat"));
    tmrHeartbeat.setInterval(kHeartbeatMs);

    connect(&cboCommPort, &QComboBox::currentIndexChanged, this, [this](int) { cboCommPortChange(); });
    connect(&btnSetCommPortSel, &QPushButton::clicked, this, &TfrmCommPortSel::btnSetCommPortSelClick);
    connect(&btnAutoDetect, &QPushButton::clicked, this, &TfrmCommPortSel::btnAutoDetectClick);
    connect(&bGetVersion, &QPushButton::clicked, this, &TfrmCommPortSel::bGetVersionClick);
    connect(&tmrHeartbeat, &QTimer::timeout, this, &TfrmCommPortSel::tmrHeartbeatTimer);

    EnumeratePorts();
    Connected = false;
    tmrHeartbeat.stop();
    localTarget_.fill(0);
}

TfrmCommPortSel::~TfrmCommPortSel() = default;

QString TfrmCommPortSel::PortItemText(int port, const QString& devicePath)
{
    QString text = QString::asprintf(PortNameFormat, port);
    if (!devicePath.isEmpty())
        text += QStringLiteral(" (%1)").arg(devicePath);
    return text;
}

std::optional<int> TfrmCommPortSel::PortNumberOfItem(const QString& text)
{
    const QString prefix = QString::fromLatin1(PortNameFormat).section(QLatin1Char('%'), 0, 0);
    if (!text.startsWith(prefix))
        return std::nullopt;
    qsizetype end = prefix.size();
    while (end < text.size() && end - prefix.size() < 4 && text.at(end).isDigit())
        ++end;
    bool ok = false;
    const int port = text.mid(prefix.size(), end - prefix.size()).toInt(&ok);
    if (!ok)
        return std::nullopt;
    return port;
}

QString TfrmCommPortSel::StatusText(int panel) const
{
    return panel == 0 ? statusPanel0_.text() : statusPanel1_.text();
}

void TfrmCommPortSel::SetStatus(int panel, const QString& text)
{
    QLabel& label = panel == 0 ? statusPanel0_ : statusPanel1_;
    label.setText(text);
    // Panel 0 is narrower than its longer texts.
    label.setToolTip(text);
    emit statusChanged(panel, text);
}

void TfrmCommPortSel::EnumeratePorts()
{
    std::vector<serial::PortProbe> refused;
    // Filling the list is not a selection by the operator.
    const QSignalBlocker quiet(cboCommPort);
    for (int n = 1; n <= 256; ++n) {
        const serial::PortProbe probe = serial::ProbePort(static_cast<std::uint32_t>(n));
        if (probe.outcome == serial::PortProbe::Outcome::Opened) {
#ifdef _WIN32
            cboCommPort.addItem(PortItemText(n));
#else
            cboCommPort.addItem(PortItemText(n, QString::fromStdString(probe.path)));
#endif
        } else if (probe.outcome == serial::PortProbe::Outcome::Denied) {
            refused.push_back(probe);
        }
    }
    cboCommPort.setCurrentIndex(-1);
#ifndef _WIN32
    // A port hidden for lack of permission is the usual first-day problem
    // on these systems; say which device and why instead of showing nothing.
    // (Windows refuses a port in use with the same error, so not there.)
    ShowRefusedPorts(std::move(refused));
#endif
}

void TfrmCommPortSel::ShowRefusedPorts(std::vector<serial::PortProbe> refused)
{
    if (refused.empty())
        return;
    // The port the operator named in VTRLCFG_PORTS is the one meant, not
    // the on-board ports of the fixed table that most machines have.
    std::stable_partition(refused.begin(), refused.end(),
                          [](const serial::PortProbe& p) { return p.port >= serial::kFirstRegisteredPort; });
    QStringList details;
    for (const serial::PortProbe& probe : refused) {
        // A path can be both in the table and in VTRLCFG_PORTS.
        const QString detail = QString::fromStdString(probe.detail);
        if (!details.contains(detail))
            details << detail;
    }
    const serial::PortProbe& first = refused.front();
    const QString cure = first.joinGroup.empty()
        ? QStringLiteral("check its permissions")
        : QStringLiteral("join group %1").arg(QString::fromStdString(first.joinGroup));
    const QString prefix = QStringLiteral("No access to ");
    const QString suffix = QStringLiteral(": ") + cure;
    const QFontMetrics metrics = statusPanel0_.fontMetrics();
    const int room = statusPanel0_.contentsRect().width() - statusPanel0_.indent();
    // A long path gives way in its middle, keeping the device's own name.
    const QString path = metrics.elidedText(QString::fromStdString(first.path), Qt::ElideMiddle,
                                            room - metrics.horizontalAdvance(prefix + suffix));
    SetStatus(0, metrics.elidedText(prefix + path + suffix, Qt::ElideRight, room));
    statusPanel0_.setToolTip(QStringLiteral("Ports not listed:\n") + details.join(QLatin1Char('\n')));
}

void TfrmCommPortSel::cboCommPortChange()
{
    btnSetCommPortSel.setEnabled(cboCommPort.currentIndex() >= 0);
}

void TfrmCommPortSel::btnSetCommPortSelClick()
{
    // Possible after Back, which enables the button with nothing selected.
    if (searching_ || connecting_ || cboCommPort.currentIndex() < 0)
        return;
    Connected = false;
    ConnectToPort(PortNumberOfItem(cboCommPort.currentText()).value_or(0));
}

void TfrmCommPortSel::RestartHeartbeat()
{
    tmrHeartbeat.stop();
    tmrHeartbeat.start();
}

void TfrmCommPortSel::EnableConnectButtons(bool autoDetect, bool set)
{
    btnAutoDetect.setEnabled(autoDetect && !searching_);
    btnSetCommPortSel.setEnabled(set && !searching_);
}

void TfrmCommPortSel::ConnectToPort(int port)
{
    // OpenPort pumps events: an answer of the earlier attempt still queued
    // then must find no step pending, or it would pass for this port's.
    tmrHeartbeat.stop();
    Connected = false;
    ConfigurationShown = false;
    VersionCheckPending = false;
    // A late report from an earlier attempt must not match this one.
    ConfigRequestSeq = -1;
    SetStatus(0, QStringLiteral("COM Port selection command sent. COM %1").arg(port));
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    // A report carries only the tags the device has; the gaps must not be
    // filled by whichever device answered before.
    main.LocalConfig = protocol::DeviceConfig{};
    lblBondedTo.clear();
    int opened = -1;
    {
        // OpenPort lets the old port's events drain, and clicks with them.
        const QScopedValueRollback busy(connecting_, true);
        opened = main.OpenPort(port);
    }
    if (leftPage_) {
        // Back or closing came during the drain: the attempt is over.
        if (abandoned_ && main.PortHandle > 0) {
            SerialClose(main.PortHandle);
            main.PortHandle = -1;
        }
        return;
    }
    if (opened != 0) {
        SetStatus(0, QStringLiteral("COM Port could not be opened.  It may already be in use.%1").arg(opened));
        SetStatus(1, kNoPort);
        // No attempt runs any more, whatever the earlier one had disabled.
        EnableConnectButtons(true, true);
        return;
    }
    SetStatus(1, QStringLiteral("COM Port = %1").arg(port));
    SetStatus(0, QStringLiteral("Establishing connection with device..."));
    if (main.SendGetLocalAddress() >= 0) {
        RestartHeartbeat();
        btnAutoDetect.setEnabled(false);
        btnSetCommPortSel.setEnabled(false);
        main.btnNext.setEnabled(false);
        return;
    }
    SetStatus(0, QStringLiteral("Could not write to the COM port.  Please reopen it."));
    EnableConnectButtons(true, true);
}

void TfrmCommPortSel::btnAutoDetectClick()
{
    if (searching_ || connecting_)
        return;
    Connected = false;
    ConfigurationShown = false;
    leftPage_ = false;
    if (cboCommPort.count() == 0)
        return;
    {
        // Both buttons stay off until the search ends, also across time-outs.
        const QScopedValueRollback busy(searching_, true);
        EnableConnectButtons(false, false);
        for (int i = 0; i < cboCommPort.count() && !Connected && !leftPage_; ++i) {
            {
                const QSignalBlocker quiet(cboCommPort);
                cboCommPort.setCurrentIndex(i);
            }
            ConnectToPort(PortNumberOfItem(cboCommPort.itemText(i)).value_or(0));
            platform::PumpMessagesWhile([this] { return tmrHeartbeat.isActive(); });
        }
    }
    if (leftPage_)
        return;  // Back enabled them; closing needs nothing
    // A device that answered but was refused leaves Auto Detect off, as a
    // single attempt does.
    EnableConnectButtons(!Connected || ConfigurationShown, true);
}

void TfrmCommPortSel::AbandonAttempt()
{
    tmrHeartbeat.stop();
    leftPage_ = true;
    abandoned_ = true;
    VersionCheckPending = false;
}

void TfrmCommPortSel::tmrHeartbeatTimer()
{
    SetStatus(0, QStringLiteral("Connection not established. Please retry."));
    Connected = false;
    ConfigurationShown = false;
    tmrHeartbeat.stop();
    EnableConnectButtons(true, true);
    if (frmMain)
        frmMain->btnNext.setEnabled(false);
}

bool TfrmCommPortSel::event(QEvent* e)
{
    auto* message = dynamic_cast<platform::WindowMessage*>(e);
    if (!message)
        return TWizardChildForm::event(e);
    // The block is ours from here and goes with `payload` on every path.
    switch (message->message()) {
    case protocol::MsgLocalAddress:
        LocalAddressReceived(message->takePayload());
        return true;
    case protocol::MsgVersionInfo:
        VersionInfoReceived(message->takePayload());
        return true;
    case protocol::MsgConfigReport:
        ConfigReportReceived(message->takePayload());
        return true;
    case protocol::MsgNegativeResponse:
        NegativeResponseReceived(message->takePayload());
        return true;
    default:
        return TWizardChildForm::event(e);
    }
}

void TfrmCommPortSel::LocalAddressReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (!tmrHeartbeat.isActive() || !payload || payload->size() < 6 || !frmMain)
        return;
    TfrmMain& main = *frmMain;
    std::copy_n(payload->begin(), 6, main.LocalDeviceAddress.begin());
    SetStatus(0, QStringLiteral("Connect established correctly.  Retreiving Information"));
    Connected = true;
    tmrHeartbeat.stop();
    EnableConnectButtons(false, true);
    VersionCheckPending = true;
    tmrHeartbeat.start();
    // A failed write ends in the heartbeat time-out.
    main.SendGetVersion(localTarget_);
}

void TfrmCommPortSel::VersionInfoReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (!payload || !frmMain)
        return;
    TfrmMain& main = *frmMain;
    const std::vector<std::uint8_t>& block = *payload;
    main.LocalVersion = VersionRecord{};
    std::copy_n(block.begin(), std::min(block.size(), main.LocalVersion.block.size()), main.LocalVersion.block.begin());
    if (block.size() >= protocol::kVersionInfoBlock)
        main.LocalVersion.value = static_cast<std::uint16_t>(block[100] | (block[101] << 8));
    if (!VersionCheckPending)
        return;
    VersionCheckPending = false;
    tmrHeartbeat.stop();
    if (!CheckApplicationVersion(block)) {
        platform::ShowMessageBox(this, QStringLiteral("VtrlCfg requires application version V2.09 or greater"),
                                 QStringLiteral("Version Mismatch"), MbButtons::Ok, MbIcon::None);
        SetStatus(0, QStringLiteral("Invalid Application Version."));
        return;
    }
    ConfigRequestSeq = main.SendGetConfig(localTarget_);
    if (ConfigRequestSeq >= 0)
        tmrHeartbeat.start();
}

void TfrmCommPortSel::ConfigReportReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    if (!payload || payload->empty() || !frmMain)
        return;
    const std::vector<std::uint8_t>& block = *payload;
    if (static_cast<std::int32_t>(block[0]) != ConfigRequestSeq || !tmrHeartbeat.isActive())
        return;
    TfrmMain& main = *frmMain;
    tmrHeartbeat.stop();
    SetStatus(0, QStringLiteral("Information retreived from %1").arg(FormatDeviceAddress(main.LocalDeviceAddress)));
    // A bad element still leaves what was decoded before it.
    protocol::DecodeConfigReport(true, block.data() + 1, block.size() - 1);
    ShowCurrentConfiguration();
    Connected = true;
    ConfigurationShown = true;
    EnableConnectButtons(true, true);
    bGetVersion.setEnabled(true);
    main.btnNext.setEnabled(true);
}

void TfrmCommPortSel::NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload)
{
    QString text = QStringLiteral("An error response was received");
    if (payload) {
        // ReasonText has a text for every code, also those past its table.
        const int reason = payload->size() >= 2 ? (*payload)[1] : -1;
        text += QStringLiteral(" with reason ") + QString::fromStdString(protocol::ReasonText(reason));
    }
    text += QStringLiteral(".  Please try again.");
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
}

void TfrmCommPortSel::ShowCurrentConfiguration()
{
    if (!frmMain)
        return;
    const protocol::DeviceConfig& config = frmMain->LocalConfig;
    const auto code = [](std::uint8_t value) { return static_cast<std::int8_t>(value); };
    static const std::array<const char*, 10> baud = {"300",  "1200",  "2400",  "4800",  "7200",
                                                     "9600", "19200", "38400", "57600", "115200"};
    static const std::array<const char*, 2> dataBits = {",7", ",8"};
    static const std::array<const char*, 3> parity = {",N", ",O", ",E"};
    static const std::array<const char*, 2> stopBits = {",1", ",2"};
    const auto inRange = [](int value, std::size_t count) { return value >= 1 && value <= static_cast<int>(count); };

    lblCurrentSetting.setEnabled(true);

    QString format = QStringLiteral("Unknown");
    const int b = code(config.BaudCode), d = code(config.DataBitsCode), p = code(config.ParityCode),
              s = code(config.StopBitsCode);
    if (inRange(b, baud.size()) && inRange(d, dataBits.size()) && inRange(p, parity.size())
        && inRange(s, stopBits.size())) {
        format = QString::fromLatin1(baud[b - 1]) + QLatin1String(dataBits[d - 1]) + QLatin1String(parity[p - 1])
            + QLatin1String(stopBits[s - 1]);
    }
    lblFormat.setText(QStringLiteral("Data Format  : ") + format);

    QString flow = QStringLiteral("Unknown");
    switch (code(config.FlowControlCode)) {
    case 1: flow = QStringLiteral("None"); break;
    case 2: flow = QStringLiteral("Software"); break;
    case 3: flow = QStringLiteral("Hardware"); break;
    default: break;
    }
    lblFlowControl.setText(QStringLiteral("Flow Control  : ") + flow);

    switch (config.PowerByte & 0xF0) {
    case 0x10: lbPowerClass.setText(QStringLiteral("Power Class: 1")); break;
    case 0x20: lbPowerClass.setText(QStringLiteral("Power Class: 2")); break;
    default: lbPowerClass.setText(QStringLiteral("Power Class: Unknown")); break;
    }

    const QString role = code(config.InterfaceCode) == 2 ? QStringLiteral("DCE") : QStringLiteral("DTE");
    switch (code(config.DeviceFunction)) {
    case 1:
        lblDeviceType.setText(QStringLiteral("Device Type : %1 Cable Replacement").arg(role));
        lblBondedTo.setText(QStringLiteral("Bonded To    : %1 as %2")
                                .arg(FormatDeviceAddress(config.BondedAddress),
                                     code(config.BondRole) == 1 ? QStringLiteral("Master") : QStringLiteral("Slave")));
        break;
    case 2:
        lblDeviceType.setText(QStringLiteral("Device Type : %1 SPP Server").arg(role));
        break;
    default:
        lblDeviceType.setText(QStringLiteral("Device Type : Unknown"));
        break;
    }
}

void TfrmCommPortSel::bGetVersionClick()
{
    if (!frmMain)
        return;
    const auto& block = frmMain->LocalVersion.block;
    const QString application = FieldText(block.data() + 6, 32);
    const QString bluetooth = FieldText(block.data() + 38, 62);
    platform::ShowMessageBox(this,
                             QStringLiteral("Application Version: %1\n\rBluetooth Version  : %2").arg(application, bluetooth),
                             QStringLiteral("Local Version Information"), MbButtons::Ok, MbIcon::None);
}

std::uint8_t TfrmCommPortSel::PageEntered(TfrmMain& main)
{
    VersionCheckPending = false;
    leftPage_ = false;
    abandoned_ = false;
    main.SetNotifyWindow(this);
    // A device that answered but was refused, or whose configuration never
    // came, keeps Connected (it is told to abort on closing) but must not
    // let the wizard on.
    main.btnNext.setEnabled(Connected && ConfigurationShown);
    Tasks.AdaptToDeviceFunction(main.DeviceFunction);
    if (main.DeviceFunction == 1)
        Tasks.lblFourth.setEnabled(true);
    return 0;
}

std::uint8_t TfrmCommPortSel::PageLeaving(QPushButton* pressed)
{
    if (frmMain && pressed == &frmMain->btnNext) {
        if (Connected && ConfigurationShown)
            return 0;
        platform::ShowMessageBox(this, QStringLiteral("Please properly establish a connection first."),
                                 QStringLiteral("Error"), MbButtons::Ok, MbIcon::Error);
        return 2;
    }
    leftPage_ = true;
    lblCurrentSetting.setEnabled(false);
    bGetVersion.setEnabled(false);
    for (QLabel* line : {&lblFormat, &lblFlowControl, &lblDeviceType, &lblBondedTo, &lbPowerClass})
        line->clear();
    tmrHeartbeat.stop();
    // An answer still on its way must not restart the abandoned attempt
    // while another page is shown.
    VersionCheckPending = false;
    if (frmMain)
        frmMain->btnNext.setEnabled(true);
    btnAutoDetect.setEnabled(true);
    btnSetCommPortSel.setEnabled(true);
    return 0;
}

}  // namespace vtrl
