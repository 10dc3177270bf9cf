#include "commportselection.h"

#include "platform/messagebox.h"
#include "platform/pump.h"
#include "protocol/payloads.h"
#include "protocol/rules.h"
#include "protocol/params.h"
#include "serial/portnames.h"
#include "shell/deviceaddress.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"
#include "shell/remembered.h"

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

constexpr int kStatusPanel0Width = 300;
const QString kNoPort = QStringLiteral("COM Port = None selected.");

TfrmCommPortSel::DatabaseSource& DatabaseForTesting()
{
    static TfrmCommPortSel::DatabaseSource source;
    return source;
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

}  // namespace

TfrmCommPortSel::TfrmCommPortSel(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtCommPortSelTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select COM Port"), FourthTask::ConfigRemotePort, 20}), cboCommPort(this),
      btnSetCommPortSel(this), btnAutoDetect(this), lblCurrentSetting(this), bGetVersion(this), lblFormat(this),
      lblFlowControl(this), lblDeviceType(this), lblBondedTo(this), lbPowerClass(this), stbCommPortSel(this),
      Panel0(&stbCommPortSel, QStringLiteral("stbCommPortSelPanel0"), QRect(0, 1, kStatusPanel0Width, 19)),
      Panel1(&stbCommPortSel, QStringLiteral("stbCommPortSelPanel1"),
             QRect(kStatusPanel0Width + 2, 1, 457 - kStatusPanel0Width - 2, 19))
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
    // No label stands beside the list: a screen reader still says what it holds.
    cboCommPort.setAccessibleName(QStringLiteral("COM Port"));
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
    Panel1.SetText(kNoPort);

    tmrHeartbeat.setObjectName(QStringLiteral("tmrHeartbeat"));
    tmrHeartbeat.setInterval(static_cast<int>(protocol::kTimeouts.portCheck.count()));

    connect(&cboCommPort, &QComboBox::currentIndexChanged, this, [this](int) { cboCommPortChange(); });
    connect(&btnSetCommPortSel, &QPushButton::clicked, this, &TfrmCommPortSel::btnSetCommPortSelClick);
    connect(&btnAutoDetect, &QPushButton::clicked, this, &TfrmCommPortSel::btnAutoDetectClick);
    connect(&bGetVersion, &QPushButton::clicked, this, &TfrmCommPortSel::bGetVersionClick);
    connect(&tmrHeartbeat, &QTimer::timeout, this, &TfrmCommPortSel::tmrHeartbeatTimer);

    watcher_ = DatabaseForTesting() ? std::make_unique<serial::PortWatcher>(DatabaseForTesting()(), false)
                                    : std::make_unique<serial::PortWatcher>();
    EnumeratePorts();
    // Adapters plugged in and pulled out while the wizard runs.
    if (watcher_->fd() >= 0) {
        plugged_ = new QSocketNotifier(watcher_->fd(), QSocketNotifier::Read, this);
        connect(plugged_, &QSocketNotifier::activated, this, [this] {
            // Auto Detect walks the items by their place: the list waits for its end.
            if (watcher_->Take().any())
                listChanged_ = true;
            if (listChanged_ && !searching_) {
                listChanged_ = false;
                EnumeratePorts();
            }
        });
    }
    Connected = false;
    tmrHeartbeat.stop();
}

TfrmCommPortSel::~TfrmCommPortSel() = default;

void TfrmCommPortSel::SetDeviceDatabaseForTesting(DatabaseSource source)
{
    DatabaseForTesting() = std::move(source);
}

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

void TfrmCommPortSel::EnumeratePorts()
{
    const std::optional<int> selected = cboCommPort.currentIndex() >= 0
        ? PortNumberOfItem(cboCommPort.currentText())
        : std::nullopt;
    std::vector<serial::PortEntry> refused;
    {
        // Filling the list is not a selection by the operator.
        const QSignalBlocker quiet(cboCommPort);
        cboCommPort.clear();
        for (const serial::PortEntry& entry : watcher_->ports()) {
            if (!entry.listed()) {
                if (entry.state == serial::PortEntry::State::Denied || entry.state == serial::PortEntry::State::InUse)
                    refused.push_back(entry);
                continue;
            }
            const QString path = QString::fromStdString(entry.path);
            cboCommPort.addItem(PortItemText(static_cast<int>(entry.port), serial::PathsNameDevices() ? path : QString()));
            // What the adapter says it is, where it says anything.
            QString tip = QString::fromStdString(serial::IdentityDetails(entry.identity));
            if (serial::PathsNameDevices())
                tip = tip.isEmpty() ? QStringLiteral("Device: ") + path : tip + QStringLiteral("\nDevice: ") + path;
            if (!tip.isEmpty())
                cboCommPort.setItemData(cboCommPort.count() - 1, tip, Qt::ToolTipRole);
        }
        cboCommPort.setCurrentIndex(-1);
        // The port chosen, or, before any choice, the one of the last device
        // connected to, if it names the same device: offered, not connected.
        std::optional<int> wanted = selected;
        if (!wanted && !everListed_)
            if (const auto last = remembered::Load())
                for (const serial::PortEntry& entry : watcher_->ports())
                    if (static_cast<int>(entry.port) == last->port && QString::fromStdString(entry.path) == last->path)
                        wanted = last->port;
        for (int i = 0; wanted && i < cboCommPort.count(); ++i)
            if (PortNumberOfItem(cboCommPort.itemText(i)) == wanted)
                cboCommPort.setCurrentIndex(i);
        everListed_ = true;
    }
    // Set needs a port to connect to; during an attempt the attempt decides.
    if (Idle() && !searching_)
        cboCommPortChange();
    // Said only while nothing else is: an attempt's texts are the operator's.
    if (serial::PathsNameDevices() && Idle() && !searching_ && !ConfigurationShown)
        ShowRefusedPorts(std::move(refused));
}

void TfrmCommPortSel::ShowRefusedPorts(std::vector<serial::PortEntry> refused)
{
    if (refused.empty())
        return;
    // The port the operator named in VTRLCFG_PORTS is the one meant, not
    // the on-board ports of the fixed table that most machines have.
    std::stable_partition(refused.begin(), refused.end(),
                          [](const serial::PortEntry& p) { return p.port >= serial::kFirstRegisteredPort; });
    QStringList details;
    for (const serial::PortEntry& entry : refused) {
        // A path can be both in the table and in VTRLCFG_PORTS.
        const QString detail = QString::fromStdString(entry.detail);
        if (!details.contains(detail))
            details << detail;
    }
    const serial::PortEntry& first = refused.front();
    QString prefix = QStringLiteral("No access to ");
    QString suffix = QStringLiteral(": ") + (first.joinGroup.empty()
                                                 ? QStringLiteral("check its permissions")
                                                 : QString::fromStdString(serial::JoinGroupText(first.joinGroup)));
    if (first.state == serial::PortEntry::State::InUse) {
        // Who holds it, where that can be found: close that program first.
        prefix.clear();
        suffix = QStringLiteral(" is ") + QString::fromStdString(serial::InUseText(first.holder));
    }
    const QFontMetrics metrics = Panel0.fontMetrics();
    const int room = Panel0.contentsRect().width() - Panel0.indent();
    // A long path gives way in its middle, keeping the device's own name.
    const QString path = metrics.elidedText(QString::fromStdString(first.path), Qt::ElideMiddle,
                                            room - metrics.horizontalAdvance(prefix + suffix));
    Panel0.SetText(metrics.elidedText(prefix + path + suffix, Qt::ElideRight, room));
    Panel0.setToolTip(QStringLiteral("Ports not listed:\n") + details.join(QLatin1Char('\n')));
}

void TfrmCommPortSel::cboCommPortChange()
{
    btnSetCommPortSel.setEnabled(cboCommPort.currentIndex() >= 0);
}

void TfrmCommPortSel::btnSetCommPortSelClick()
{
    // Possible after Back, which enables the button with nothing selected.
    if (searching_ || opening_ || cboCommPort.currentIndex() < 0)
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
    // OpenPort pumps events: the earlier attempt's step ends first, so that
    // nothing still queued passes for an answer of this port.
    check_.GiveUp(Ledger());
    tmrHeartbeat.stop();
    Connected = false;
    ConfigurationShown = false;
    ConfigRequestSeq = -1;
    Panel0.SetText(QStringLiteral("COM Port selection command sent. COM %1").arg(port));
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    // A report carries only the tags the device has; the gaps must not be
    // filled by whichever device answered before.
    main.LocalConfig = protocol::DeviceConfig{};
    lblBondedTo.clear();
    opening_ = true;
    const int opened = main.OpenPort(port);
    opening_ = false;
    if (leave_ != Leave::Stay) {
        // Back or closing came during the drain: the attempt is over.
        if (leave_ == Leave::Closed)
            main.ClosePort();
        return;
    }
    if (opened != 0) {
        Panel0.SetText(QStringLiteral("COM Port could not be opened.  It may already be in use.%1").arg(opened));
        Panel1.SetText(kNoPort);
        // No attempt runs any more, whatever the earlier one had disabled.
        EnableConnectButtons(true, true);
        return;
    }
    Panel1.SetText(QStringLiteral("COM Port = %1").arg(port));
    Panel0.SetText(QStringLiteral("Establishing connection with device..."));
    if (StartConnectionSequence())
        return;
    Panel0.SetText(QStringLiteral("Could not write to the COM port.  Please reopen it."));
    EnableConnectButtons(true, true);
}

bool TfrmCommPortSel::StartConnectionSequence()
{
    protocol::CommandSender* send = Commands();
    if (!send || check_.Start(*send, Ledger(), tmrHeartbeat.intervalAsDuration()) != 0)
        return false;
    RestartHeartbeat();
    btnAutoDetect.setEnabled(false);
    btnSetCommPortSel.setEnabled(false);
    frmMain->btnNext.setEnabled(false);
    return true;
}

void TfrmCommPortSel::btnAutoDetectClick()
{
    if (searching_ || opening_)
        return;
    Connected = false;
    ConfigurationShown = false;
    leave_ = Leave::Stay;
    if (cboCommPort.count() == 0)
        return;
    {
        // Both buttons stay off until the search ends, also across time-outs.
        const QScopedValueRollback busy(searching_, true);
        EnableConnectButtons(false, false);
        for (int i = 0; i < cboCommPort.count() && !Connected && leave_ == Leave::Stay; ++i) {
            {
                const QSignalBlocker quiet(cboCommPort);
                cboCommPort.setCurrentIndex(i);
            }
            ConnectToPort(PortNumberOfItem(cboCommPort.itemText(i)).value_or(0));
            platform::PumpMessagesWhile([this] { return tmrHeartbeat.isActive(); });
        }
    }
    if (listChanged_) {
        listChanged_ = false;
        EnumeratePorts();
    }
    if (leave_ != Leave::Stay)
        return;  // Back enabled them; closing needs nothing
    // A device that answered but was refused leaves Auto Detect off, as a
    // single attempt does.
    EnableConnectButtons(!Connected || ConfigurationShown, true);
}

void TfrmCommPortSel::PortGone(int port, bool)
{
    check_.GiveUp(nullptr);
    tmrHeartbeat.stop();
    Connected = false;
    ConfigurationShown = false;
    Panel0.SetText(QStringLiteral("The device on COM Port %1 was disconnected. Reconnect it, then select the port again.")
                       .arg(port));
    Panel1.SetText(kNoPort);
    EnableConnectButtons(true, cboCommPort.currentIndex() >= 0);
    if (frmMain && frmMain->ShownPage() == this)
        frmMain->btnNext.setEnabled(false);
}

void TfrmCommPortSel::AbandonAttempt()
{
    check_.GiveUp(Ledger());
    tmrHeartbeat.stop();
    leave_ = Leave::Closed;
}

void TfrmCommPortSel::tmrHeartbeatTimer()
{
    check_.GiveUp(Ledger());
    Panel0.SetText(QStringLiteral("Connection not established. Please retry."));
    Connected = false;
    ConfigurationShown = false;
    tmrHeartbeat.stop();
    EnableConnectButtons(true, true);
    if (frmMain)
        frmMain->btnNext.setEnabled(false);
}

void TfrmCommPortSel::LocalAddressReceived(const Reply& reply)
{
    if (!frmMain || !Commands()
        || check_.Answer(reply.Notice(), reply.tag, *Commands(), Ledger()) != core::PortCheck::Outcome::AddressKnown)
        return;
    TfrmMain& main = *frmMain;
    main.LocalDeviceAddress = check_.Address();
    main.DeviceIdentified(main.LocalDeviceAddress);
    Panel0.SetText(QStringLiteral("Connect established correctly.  Retreiving Information"));
    Connected = true;
    tmrHeartbeat.stop();
    EnableConnectButtons(false, true);
    // The version is asked; a failed write ends in the heartbeat time-out.
    tmrHeartbeat.start();
}

void TfrmCommPortSel::VersionInfoReceived(const Reply& reply)
{
    if (!frmMain || !Commands())
        return;
    const auto outcome = check_.Answer(reply.Notice(), reply.tag, *Commands(), Ledger());
    if (outcome == core::PortCheck::Outcome::Ignored)
        return;
    // Any answer to a GetVersion of this page is the attached device's.
    frmMain->LocalVersion = check_.Version();
    if (outcome == core::PortCheck::Outcome::Noted)
        return;
    tmrHeartbeat.stop();
    if (outcome == core::PortCheck::Outcome::VersionRefused) {
        platform::ShowMessageBox(this, QStringLiteral("VtrlCfg requires application version V2.09 or greater"),
                                 QStringLiteral("Version Mismatch"), MbButtons::Ok, MbIcon::None);
        Panel0.SetText(QStringLiteral("Invalid Application Version."));
        return;
    }
    ConfigRequestSeq = check_.ConfigSequence();
    if (outcome == core::PortCheck::Outcome::ConfigAsked)
        tmrHeartbeat.start();
}

void TfrmCommPortSel::ConfigReportReceived(const Reply& reply)
{
    if (!frmMain || !Commands()
        || check_.Answer(reply.Notice(), reply.tag, *Commands(), Ledger()) != core::PortCheck::Outcome::Checked)
        return;
    TfrmMain& main = *frmMain;
    tmrHeartbeat.stop();
    Panel0.SetText(QStringLiteral("Information retreived from %1").arg(FormatDeviceAddress(main.LocalDeviceAddress)));
    main.LocalConfig = check_.Config();
    ShowCurrentConfiguration();
    Connected = true;
    ConfigurationShown = true;
    if (const std::optional<int> port = PortNumberOfItem(cboCommPort.currentText()))
        remembered::Save({main.DeviceFunction, *port, QString::fromStdString(serial::PortDevicePath(static_cast<std::uint32_t>(*port)))});
    EnableConnectButtons(true, true);
    bGetVersion.setEnabled(true);
    main.btnNext.setEnabled(true);
}

void TfrmCommPortSel::NegativeResponseReceived(const Reply& reply)
{
    // Any refusal is shown, asked for or not; a running heartbeat goes on.
    QString text = QStringLiteral("An error response was received");
    if (reply.block)
        text += QStringLiteral(" with reason ") + QString::fromStdString(protocol::RefusalReason(reply.block));
    text += QStringLiteral(".  Please try again.");
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
}

void TfrmCommPortSel::ShowCurrentConfiguration()
{
    if (!frmMain)
        return;
    const protocol::ConfigurationLines lines = protocol::DescribeConfiguration(frmMain->LocalConfig);
    lblCurrentSetting.setEnabled(true);
    lblFormat.setText(QString::fromStdString(lines.format));
    lblFlowControl.setText(QString::fromStdString(lines.flowControl));
    lbPowerClass.setText(QString::fromStdString(lines.powerClass));
    lblDeviceType.setText(QString::fromStdString(lines.deviceType));
    // Only a Cable Replacement unit is bonded; otherwise the line keeps what it showed.
    if (lines.bondedTo)
        lblBondedTo.setText(QString::fromStdString(*lines.bondedTo));
}

void TfrmCommPortSel::bGetVersionClick()
{
    if (!frmMain)
        return;
    platform::ShowMessageBox(this, QString::fromLatin1(protocol::VersionBoxText(frmMain->LocalVersion)),
                             QStringLiteral("Local Version Information"), MbButtons::Ok, MbIcon::None);
}

std::uint8_t TfrmCommPortSel::PageEntered(TfrmMain& main)
{
    leave_ = Leave::Stay;
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
    leave_ = Leave::Back;
    lblCurrentSetting.setEnabled(false);
    bGetVersion.setEnabled(false);
    for (QLabel* line : {&lblFormat, &lblFlowControl, &lblDeviceType, &lblBondedTo, &lbPowerClass})
        line->clear();
    tmrHeartbeat.stop();
    // An answer still on its way must not restart the abandoned attempt
    // while another page is shown.
    check_.GiveUp(Ledger());
    if (frmMain)
        frmMain->btnNext.setEnabled(true);
    btnAutoDetect.setEnabled(true);
    btnSetCommPortSel.setEnabled(true);
    return 0;
}

}  // namespace vtrl
