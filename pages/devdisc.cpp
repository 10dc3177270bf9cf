#include "devdisc.h"

#include "platform/messagebox.h"
#include "protocol/payloads.h"
#include "protocol/rules.h"
#include "protocol/params.h"
#include "shell/deviceaddress.h"
#include "shell/forms.h"
#include "shell/mainform.h"
#include "shell/memo.h"

#include <QHeaderView>

#include <algorithm>

namespace vtrl {

namespace {

using platform::MbButtons;
using platform::MbIcon;

constexpr int kProgressMs = 1000;
constexpr int kProgressSteps = 20;

void SetupButton(QPushButton& button, const char* name, const QRect& geometry, const QString& text)
{
    button.setObjectName(QString::fromLatin1(name));
    button.setGeometry(geometry);
    button.setText(text);
}

}  // namespace

TfrmDevDisc::TfrmDevDisc(QWidget* parent)
    : TWizardChildForm(parent), grpTaskDesc(this), txtDevDiscTaskDesc(&grpTaskDesc),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 40}), grpDeviceSelection(this),
      lstDeviceList(&grpDeviceSelection), btnSearchDevices(&grpDeviceSelection),
      btnPingSelectedDevice(&grpDeviceSelection), btnBondSelectedDevice(&grpDeviceSelection),
      btnClearList(&grpDeviceSelection), lblBonded(&grpDeviceSelection), bGetVersion(&grpDeviceSelection),
      stbDevDisc(this), Panel0(&stbDevDisc, QStringLiteral("stbDevDiscPanel0")), pbInquiry(this)
{
    setObjectName(QStringLiteral("frmDevDisc"));
    setWindowTitle(QStringLiteral("Device Discovery and Bonding"));
    resize(457, 253);

    grpTaskDesc.setObjectName(QStringLiteral("grpTaskDesc"));
    grpTaskDesc.setTitle(QStringLiteral("Task Description"));
    grpTaskDesc.setGeometry(0, 0, 457, 96);
    SetupMemo(txtDevDiscTaskDesc, "txtDevDiscTaskDesc", QRect(8, 17, 441, 74),
              {QStringLiteral("In normal operation, paired devices exchange data only with each other.  This step in the"),
               QStringLiteral("configuration process performs the pairing of two devices.  Select \"Search\" to get a list"),
               QStringLiteral("of devices that you could pair with.  If you are unsure of the remote device's address,"),
               QStringLiteral("select \"Ping\" to instruct the remote device to give a visual indication.  After selecting a"),
               QStringLiteral("device to pair with, select \"Bond\".  After successful, select \"Next\" to continue.")});

    grpDeviceSelection.setObjectName(QStringLiteral("grpDeviceSelection"));
    grpDeviceSelection.setTitle(QStringLiteral("Device Selection"));
    grpDeviceSelection.setGeometry(129, 100, 328, 129);

    lstDeviceList.setObjectName(QStringLiteral("lstDeviceList"));
    lstDeviceList.setGeometry(8, 17, 238, 104);
    lstDeviceList.setColumnCount(2);
    lstDeviceList.setHeaderLabels({QStringLiteral("Address"), QStringLiteral("Name")});
    lstDeviceList.setRootIsDecorated(false);
    lstDeviceList.setItemsExpandable(false);
    lstDeviceList.setUniformRowHeights(true);
    lstDeviceList.setSelectionMode(QAbstractItemView::SingleSelection);
    lstDeviceList.setSelectionBehavior(QAbstractItemView::SelectRows);
    lstDeviceList.setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstDeviceList.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    lstDeviceList.header()->setSectionsClickable(false);
    lstDeviceList.header()->setSectionsMovable(false);
    lstDeviceList.header()->setSortIndicatorShown(false);
    lstDeviceList.header()->setStretchLastSection(false);
    lstDeviceList.setColumnWidth(0, 105);
    lstDeviceList.setColumnWidth(1, 225);
    lstDeviceList.setSortingEnabled(true);
    lstDeviceList.sortByColumn(0, Qt::AscendingOrder);

    SetupButton(btnSearchDevices, "btnSearchDevices", QRect(254, 17, 66, 23), QStringLiteral("Search"));
    SetupButton(btnPingSelectedDevice, "btnPingSelectedDevice", QRect(254, 44, 66, 23), QStringLiteral("Ping"));
    btnPingSelectedDevice.setEnabled(false);
    SetupButton(btnBondSelectedDevice, "btnBondSelectedDevice", QRect(254, 71, 66, 23), QStringLiteral("Bond"));
    btnBondSelectedDevice.setEnabled(false);
    SetupButton(btnClearList, "btnClearList", QRect(254, 98, 66, 23), QStringLiteral("Clear List"));

    lblBonded.setObjectName(QStringLiteral("lblBonded"));
    lblBonded.setGeometry(8, 20, 312, 40);
    lblBonded.setTextFormat(Qt::PlainText);
    lblBonded.setWordWrap(true);
    lblBonded.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblBonded.hide();
    SetupButton(bGetVersion, "bGetVersion", QRect(8, 66, 62, 22), QStringLiteral("Ver Info"));
    bGetVersion.hide();

    stbDevDisc.setObjectName(QStringLiteral("stbDevDisc"));
    stbDevDisc.setGeometry(0, 233, 457, 20);
    // One panel: as the last panel of the bar it fills the whole width.

    pbInquiry.setObjectName(QStringLiteral("pbInquiry"));
    pbInquiry.setGeometry(stbDevDisc.geometry());
    pbInquiry.setRange(0, kProgressSteps);
    pbInquiry.setTextVisible(false);
    pbInquiry.hide();

    tmrInquiry.setObjectName(QStringLiteral("tmrInquiry"));
    tmrInquiry.setInterval(static_cast<int>(protocol::kTimeouts.inquiry.count()));
    tmrProgressBar.setObjectName(QStringLiteral("tmrProgressBar"));
    tmrProgressBar.setInterval(kProgressMs);
    tmrBond.setObjectName(QStringLiteral("tmrBond"));
    tmrBond.setInterval(static_cast<int>(protocol::kTimeouts.bondStep.count()));

    connect(&btnSearchDevices, &QPushButton::clicked, this, &TfrmDevDisc::btnSearchDevicesClick);
    connect(&btnPingSelectedDevice, &QPushButton::clicked, this, &TfrmDevDisc::btnPingSelectedDeviceClick);
    connect(&btnBondSelectedDevice, &QPushButton::clicked, this, &TfrmDevDisc::btnBondSelectedDeviceClick);
    connect(&btnClearList, &QPushButton::clicked, this, &TfrmDevDisc::btnClearListClick);
    connect(&bGetVersion, &QPushButton::clicked, this, &TfrmDevDisc::bGetVersionClick);
    connect(&tmrInquiry, &QTimer::timeout, this, &TfrmDevDisc::tmrInquiryTimer);
    connect(&tmrProgressBar, &QTimer::timeout, this, &TfrmDevDisc::tmrProgressBarTimer);
    connect(&tmrBond, &QTimer::timeout, this, &TfrmDevDisc::tmrBondTimer);
    connect(lstDeviceList.selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection& deselected) {
                lstDeviceListSelectItem(!selected.isEmpty() || !deselected.isEmpty());
            });
}

TfrmDevDisc::~TfrmDevDisc() = default;

QStringList TfrmDevDisc::ItemAddresses() const
{
    QStringList out;
    for (int i = 0; i < lstDeviceList.topLevelItemCount(); ++i)
        out << lstDeviceList.topLevelItem(i)->text(0);
    return out;
}

bool TfrmDevDisc::IsListed(const QString& address) const
{
    return listed_.contains(address);
}

int TfrmDevDisc::PairingStageOf(const QString& address) const
{
    const QTreeWidgetItem* item = ItemOf(address);
    return item ? item->data(1, Qt::UserRole).toInt() : -1;
}

QTreeWidgetItem* TfrmDevDisc::ItemOf(const QString& address) const
{
    for (int i = 0; i < lstDeviceList.topLevelItemCount(); ++i)
        if (lstDeviceList.topLevelItem(i)->text(0) == address)
            return lstDeviceList.topLevelItem(i);
    return nullptr;
}

QTreeWidgetItem* TfrmDevDisc::ItemOf(const DeviceAddress& unit) const
{
    return ItemOf(FormatDeviceAddress(unit));
}

void TfrmDevDisc::AddItem(const QString& address)
{
    auto* item = new QTreeWidgetItem({address, QString::fromLatin1(kListedName)});
    item->setData(1, Qt::UserRole, 0);
    lstDeviceList.addTopLevelItem(item);
    listed_.insert(address);
}

QTreeWidgetItem* TfrmDevDisc::SelectedItem() const
{
    const QList<QTreeWidgetItem*> selected = lstDeviceList.selectedItems();
    return selected.isEmpty() ? nullptr : selected.front();
}

void TfrmDevDisc::SetPairingButtonsEnabled(bool enabled)
{
    // While an inquiry runs, only its end gives the buttons back.
    enabled = enabled && !tmrInquiry.isActive();
    for (QPushButton* b : {&btnClearList, &btnSearchDevices, &btnPingSelectedDevice, &btnBondSelectedDevice})
        b->setEnabled(enabled);
}

TfrmDevDisc::Step TfrmDevDisc::PendingStep() const
{
    return inquiry_.Idle() ? PairingStep() : Step::Inquiry;
}

TfrmDevDisc::Step TfrmDevDisc::PairingStep() const
{
    switch (pairing_.step()) {
    case core::Pairing::Step::Ping: return Step::Ping;
    case core::Pairing::Step::PingLink: return Step::PingLink;
    case core::Pairing::Step::Bond: return Step::Bond;
    case core::Pairing::Step::Connection: return Step::Connection;
    case core::Pairing::Step::Version: return Step::Version;
    case core::Pairing::Step::Config: return Step::Config;
    case core::Pairing::Step::None: break;
    }
    return Step::None;
}

std::chrono::milliseconds TfrmDevDisc::Guard() const
{
    return tmrBond.intervalAsDuration();
}

void TfrmDevDisc::RestartGuard()
{
    tmrBond.stop();
    tmrBond.start();
}

void TfrmDevDisc::EndStep()
{
    tmrBond.stop();
    pairing_.GiveUp(Ledger());
}

bool TfrmDevDisc::ReadyToLeave() const
{
    // The whole chain: bonded, the remote's version accepted and its
    // configuration read, for the unit the remote settings go to.
    return Bonded && BondTargetAddress != DeviceAddress{} && paired_ == BondTargetAddress;
}

void TfrmDevDisc::SetSearchingLook(bool searching)
{
    QPalette palette = lstDeviceList.palette();
    palette.setColor(QPalette::Base, searching ? palette.color(QPalette::Button) : QPalette().color(QPalette::Base));
    lstDeviceList.setPalette(palette);
    lstDeviceList.setEnabled(!searching);
    stbDevDisc.setVisible(!searching);
    pbInquiry.setVisible(searching);
}

std::uint8_t TfrmDevDisc::PageEntered(TfrmMain& main)
{
    // A pairing belongs to the local device it was made through.
    if (bondedThrough_ != DeviceAddress{} && bondedThrough_ != main.LocalDeviceAddress)
        ForgetPairing();
    main.btnNext.setEnabled(ReadyToLeave());
    main.btnBack.setEnabled(true);
    btnBondSelectedDevice.setEnabled(false);
    btnPingSelectedDevice.setEnabled(false);
    btnSearchDevices.setEnabled(true);
    const DeviceAddress bondedTo = main.LocalConfig.BondedAddress;
    if (lstDeviceList.topLevelItemCount() == 0 && bondedTo != DeviceAddress{}) {
        // LocalConfig was read before any bonding here: once this page has
        // bonded, its own target is the one the remote settings go to.
        if (!Bonded)
            BondTargetAddress = bondedTo;
        AddItem(FormatDeviceAddress(bondedTo));
    }
    main.SetNotifyWindow(this);
    return 0;
}

void TfrmDevDisc::ForgetPairing()
{
    Bonded = false;
    paired_ = DeviceAddress{};
    BondTargetAddress = DeviceAddress{};
    bondedThrough_ = DeviceAddress{};
    for (int i = 0; i < lstDeviceList.topLevelItemCount(); ++i)
        lstDeviceList.topLevelItem(i)->setData(1, Qt::UserRole, 0);
    lstDeviceList.clearSelection();
    lblBonded.hide();
    bGetVersion.hide();
    SetPairingButtonsEnabled(true);
    for (QWidget* w : std::initializer_list<QWidget*>{&lstDeviceList, &btnClearList, &btnSearchDevices,
                                                      &btnBondSelectedDevice, &btnPingSelectedDevice})
        w->show();
}

std::uint8_t TfrmDevDisc::PageLeaving(QPushButton* pressed)
{
    const bool searching = tmrInquiry.isActive();
    tmrInquiry.stop();
    tmrProgressBar.stop();
    if (searching) {
        inquiry_.End(Ledger());
        SetSearchingLook(false);
    }
    if (frmMain && pressed == &frmMain->btnNext && !ReadyToLeave()) {
        platform::ShowMessageBox(this,
                                 QStringLiteral("Before proceeding, the Vantrel/S device must be properly bonded "
                                                "with another device."),
                                 QStringLiteral("Device not Bonded"), MbButtons::Ok, MbIcon::None);
        return 2;
    }
    // An answer still on its way must not act on a page no longer shown.
    EndStep();
    return 0;
}

void TfrmDevDisc::btnSearchDevicesClick()
{
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    NewDeviceCount = 0;
    SetStatus(QStringLiteral("Sending InitiateInquiry packet."));
    if (inquiry_.Start(*Commands(), Ledger(), tmrInquiry.intervalAsDuration()) != 0) {
        SetStatus(QStringLiteral("Error - could not write inquiry command packet."));
        return;
    }
    // Whatever step was pending is over: the inquiry takes the page.
    EndStep();
    main.btnBack.setEnabled(false);
    main.btnNext.setEnabled(false);
    for (QPushButton* b : {&btnClearList, &btnSearchDevices, &btnBondSelectedDevice, &btnPingSelectedDevice})
        b->setEnabled(false);
    tmrInquiry.start();
    tmrProgressBar.start();
    pbInquiry.setValue(0);
    SetSearchingLook(true);
    SetStatus(QStringLiteral("Inquiry in progress..."));
}

void TfrmDevDisc::tmrProgressBarTimer()
{
    pbInquiry.setValue(std::min(pbInquiry.value() + 1, pbInquiry.maximum()));
}

void TfrmDevDisc::InquiryResultReceived(const Reply& reply)
{
    if (inquiry_.Answer(reply.Notice(), reply.tag) != core::Inquiry::Outcome::Found)
        return;
    const DeviceAddress address = inquiry_.Unit();
    const QString name = QString::fromLatin1(inquiry_.Name());
    if (!name.contains(QLatin1String("Vantrel/C")) && !name.contains(QLatin1String("Unknown")))
        return;
    const QString text = FormatDeviceAddress(address);
    if (IsListed(text))
        return;
    ++NewDeviceCount;
    AddItem(text);
}

void TfrmDevDisc::InquiryCompleteReceived(const Reply& reply)
{
    if (inquiry_.Answer(reply.Notice(), reply.tag) == core::Inquiry::Outcome::Complete && tmrInquiry.isActive())
        EndInquiry();
}

void TfrmDevDisc::tmrInquiryTimer()
{
    EndInquiry();
}

void TfrmDevDisc::EndInquiry()
{
    // The device may still report units; they are not asked for any more.
    inquiry_.End(Ledger());
    SetStatus(QStringLiteral("Inquiry complete. %1 new device(s) found.").arg(NewDeviceCount));
    tmrInquiry.stop();
    tmrProgressBar.stop();
    if (frmMain)
        frmMain->btnBack.setEnabled(true);
    SetSearchingLook(false);
    if (SelectedItem()) {
        btnPingSelectedDevice.setEnabled(true);
        btnBondSelectedDevice.setEnabled(true);
    }
    btnClearList.setEnabled(true);
    btnSearchDevices.setEnabled(true);
}

void TfrmDevDisc::lstDeviceListSelectItem(bool namesItem)
{
    // Not while a step waits: a second Bond's answer could be taken for the first's.
    const Step pending = PendingStep();
    const bool stepPending = pending != Step::None && pending != Step::PingLink;
    // Bonded without the chain done (a late BondResult, a version or
    // configuration unanswered), Bond takes it on.
    const bool enable = namesItem && !tmrInquiry.isActive() && !ReadyToLeave() && !stepPending;
    btnBondSelectedDevice.setEnabled(enable);
    btnPingSelectedDevice.setEnabled(enable);
}

void TfrmDevDisc::btnClearListClick()
{
    lstDeviceList.clear();
    listed_.clear();
    btnBondSelectedDevice.setEnabled(false);
    btnPingSelectedDevice.setEnabled(false);
}

void TfrmDevDisc::btnPingSelectedDeviceClick()
{
    QTreeWidgetItem* item = SelectedItem();
    if (!item) {
        platform::ShowMessageBox(this, QStringLiteral("Please select a device first."), QStringLiteral("Ping"),
                                 MbButtons::Ok, MbIcon::None);
        return;
    }
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    SetStatus(QStringLiteral("Attempting to send ping command."));
    lstDeviceList.setFocus();
    const std::optional<DeviceAddress> address = ParseDeviceAddress(item->text(0));
    if (!address || pairing_.Ping(*Commands(), Ledger(), *address, Guard()) != 0) {
        SetStatus(QStringLiteral("Ping command not sent correctly."));
        return;
    }
    tmrBondTag = 1;
    RestartGuard();
    main.btnBack.setEnabled(false);
    for (QPushButton* b : {&btnClearList, &btnSearchDevices, &btnBondSelectedDevice, &btnPingSelectedDevice})
        b->setEnabled(false);
    SetStatus(QStringLiteral("Opening a connection to the device."));
}

void TfrmDevDisc::ConfirmationReceived(const Reply& reply)
{
    // Only the ping is answered by a Confirmation here, whatever command it names.
    if (pairing_.Answer(reply.Notice(), reply.tag) != core::Pairing::Outcome::PingConfirmed)
        return;
    SetStatus(QStringLiteral("Ping Request sent. Look for an indication on the remote device."));
    // The guard runs on for the link the ping may bring up: Back comes back
    // with its time-out.
    SetPairingButtonsEnabled(true);
}

void TfrmDevDisc::btnBondSelectedDeviceClick()
{
    ContinuePairing();
}

void TfrmDevDisc::ContinuePairing()
{
    QTreeWidgetItem* item = SelectedItem();
    if (!item) {
        platform::ShowMessageBox(this, QStringLiteral("Please select a device first."), QStringLiteral("Bonding"),
                                 MbButtons::Ok, MbIcon::None);
        return;
    }
    ContinuePairing(*item);
}

void TfrmDevDisc::ContinuePairing(QTreeWidgetItem& item)
{
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    lstDeviceList.setFocus();
    const DeviceAddress address = ParseDeviceAddress(item.text(0)).value_or(DeviceAddress{});
    protocol::CommandSender& send = *Commands();
    tmrBond.stop();
    // A chain resumes only on the unit the device is bonded to; any other
    // starts with a bonding.
    int stage = item.data(1, Qt::UserRole).toInt();
    if (!Bonded || address != BondTargetAddress)
        stage = 0;
    switch (stage) {
    case 1:
        SetStatus(QStringLiteral("Retrieving Version Information."));
        // A failed write ends in the time-out.
        pairing_.AskVersion(send, Ledger(), address, Guard());
        RestartGuard();
        break;
    case 2:
        SetStatus(QStringLiteral("Retrieving Configuration Information."));
        pairing_.AskConfig(send, Ledger(), address, Guard());
        RestartGuard();
        break;
    default:
        if (pairing_.StartBond(send, Ledger(), address, Guard()) != 0) {
            // Nothing went out: the page stays as it was, Back and Bond usable.
            if (!pairing_.Idle())
                tmrBond.start();
            SetStatus(QStringLiteral("Error sending InitiateBonding Packet."));
            return;
        }
        targetBefore_ = BondTargetAddress;
        BondTargetAddress = address;
        paired_ = DeviceAddress{};
        bondedThrough_ = main.LocalDeviceAddress;
        // A bonding drops whatever link the device had: no other unit's
        // chain can go on without a bonding of its own.
        for (int i = 0; i < lstDeviceList.topLevelItemCount(); ++i)
            if (lstDeviceList.topLevelItem(i) != &item)
                lstDeviceList.topLevelItem(i)->setData(1, Qt::UserRole, 0);
        RestartGuard();
        SetStatus(QStringLiteral("Bonding with the selected device..."));
        break;
    }
    main.btnBack.setEnabled(false);
    main.btnNext.setEnabled(false);
    for (QPushButton* b : {&btnPingSelectedDevice, &btnBondSelectedDevice, &btnSearchDevices, &btnClearList})
        b->setEnabled(false);
}

void TfrmDevDisc::StepInDoubt(Step step)
{
    // As on no answer, with the reason: the answer may be another send's.
    EndStep();
    if (step == Step::Bond) {
        Bonded = false;
        BondTargetAddress = DeviceAddress{};
    }
    SetStatus(AnswerInDoubtText());
    if (frmMain && !tmrInquiry.isActive())
        frmMain->btnBack.setEnabled(true);
    SetPairingButtonsEnabled(true);
}

void TfrmDevDisc::BondResultReceived(const Reply& reply)
{
    // Only a bonding this page started is answered, in time or late: one
    // nobody asked for would mark the wizard bonded without the remote's
    // version and configuration, or undo a finished pairing. One that may
    // be an older bonding's tells nothing of now: that one was carried out
    // before whatever the page knows.
    const Step step = PairingStep();
    switch (pairing_.Answer(reply.Notice(), reply.tag)) {
    case core::Pairing::Outcome::InDoubt:
        StepInDoubt(step);
        return;
    case core::Pairing::Outcome::LateBond:
        // Success reported after the time-out gave up on the device: it is
        // bonded all the same, and the remote settings need its address.
        // The chain is still to run for it.
        Bonded = pairing_.LastBond().bonded;
        if (Bonded)
            BondTargetAddress = pairing_.LastBond().unit;
        return;
    case core::Pairing::Outcome::Bonded:
    case core::Pairing::Outcome::BondFailed:
        break;
    default:
        return;
    }
    Bonded = pairing_.LastBond().bonded;
    tmrBond.stop();
    SetPairingButtonsEnabled(!Bonded);
    if (!frmMain)
        return;
    TfrmMain& main = *frmMain;
    if (Bonded) {
        const QString address = FormatDeviceAddress(BondTargetAddress);
        SetStatus(QStringLiteral("Bonded to: %1.  Connecting to Remote Device.").arg(address));
        lblBonded.setText(QStringLiteral("Bonding successful with device: ") + address);
        lblBonded.hide();
        main.btnBack.setEnabled(false);
        main.btnNext.setEnabled(false);
        // The same send reports the link.
        RestartGuard();
        if (QTreeWidgetItem* item = ItemOf(pairing_.LastBond().unit))
            item->setData(1, Qt::UserRole, 1);
        return;
    }
    SetStatus(QStringLiteral("Bonding has failed.  Please retry."));
    BondTargetAddress = DeviceAddress{};
    main.btnBack.setEnabled(true);
}

void TfrmDevDisc::ConnectionStatusReceived(const Reply& reply)
{
    // The link comes up after a bonding, or after a ping opened it.
    const auto outcome = pairing_.Answer(reply.Notice(), reply.tag);
    if (outcome != core::Pairing::Outcome::LinkUp && outcome != core::Pairing::Outcome::LinkDown)
        return;
    const bool up = outcome == core::Pairing::Outcome::LinkUp;
    QTreeWidgetItem* item = ItemOf(pairing_.Unit());
    if (up && !item) {
        // The unit's item is gone: nothing to go on with, give up as on no answer.
        tmrBondTimer();
        return;
    }
    tmrBond.stop();
    if (up) {
        pairing_.GiveUp(nullptr);
        SetStatus(QStringLiteral("Remote Device Connected... Attempting to Retreive Config Data."));
        ContinuePairing(*item);
        return;
    }
    SetStatus(QStringLiteral("Connection Error.. Retrying."));
    pairing_.WaitOn(Ledger(), Guard());
    RestartGuard();
}

void TfrmDevDisc::VersionInfoReceived(const Reply& reply)
{
    if (!frmMain)
        return;
    const auto outcome = pairing_.Answer(reply.Notice(), reply.tag);
    if (outcome == core::Pairing::Outcome::InDoubt) {
        // Maybe another unit's version: asked again, it is told apart.
        StepInDoubt(Step::Version);
        return;
    }
    if (outcome != core::Pairing::Outcome::VersionAccepted && outcome != core::Pairing::Outcome::VersionRefused)
        return;
    QTreeWidgetItem* item = ItemOf(pairing_.Unit());
    const bool accepted = outcome == core::Pairing::Outcome::VersionAccepted;
    if (accepted && !item) {
        tmrBondTimer();
        return;
    }
    tmrBond.stop();
    TfrmMain& main = *frmMain;
    main.RemoteVersion = pairing_.Version();
    if (accepted) {
        item->setData(1, Qt::UserRole, 2);
        ContinuePairing(*item);
        return;
    }
    if (item)
        item->setData(1, Qt::UserRole, 0);
    platform::ShowMessageBox(this, QStringLiteral("VtrlCfg requires application version V2.09 or greater"),
                             QStringLiteral("Version Mismatch"), MbButtons::Ok, MbIcon::None);
    Commands()->SendAbort();
    Bonded = false;
    paired_ = DeviceAddress{};
    SetPairingButtonsEnabled(true);
    for (QWidget* w : std::initializer_list<QWidget*>{&lstDeviceList, &btnClearList, &btnSearchDevices,
                                                      &btnBondSelectedDevice, &btnPingSelectedDevice})
        w->show();
    SetStatus(QString());
}

void TfrmDevDisc::ConfigReportReceived(const Reply& reply)
{
    if (!frmMain)
        return;
    const auto outcome = pairing_.Answer(reply.Notice(), reply.tag);
    if (outcome == core::Pairing::Outcome::InDoubt) {
        StepInDoubt(Step::Config);
        return;
    }
    if (outcome != core::Pairing::Outcome::Paired)
        return;
    tmrBond.stop();
    TfrmMain& main = *frmMain;
    SetStatus(QStringLiteral("Information retreived from ") + FormatDeviceAddress(BondTargetAddress));
    // A bad element still leaves what was decoded before it.
    main.RemoteConfig = pairing_.Config();
    paired_ = pairing_.Unit();
    for (QWidget* w : std::initializer_list<QWidget*>{&btnBondSelectedDevice, &btnPingSelectedDevice,
                                                      &btnSearchDevices, &btnClearList, &lstDeviceList})
        w->hide();
    lblBonded.show();
    bGetVersion.show();
    main.btnBack.setEnabled(true);
    main.btnNext.setEnabled(ReadyToLeave());
}

void TfrmDevDisc::NegativeResponseReceived(const Reply& reply)
{
    QString text = QStringLiteral("A error response was received");
    if (reply.block)
        text += QStringLiteral(" with reason: ") + QString::fromStdString(protocol::RefusalReason(reply.block));
    text += QStringLiteral(".  Please try again.");
    // One that may be the step's own leaves the step waiting: its answer,
    // if it comes, tells.
    const Step step = PairingStep();
    const bool refusedStep = pairing_.Answer(reply.Notice(), reply.tag) == core::Pairing::Outcome::Refused
        || (!inquiry_.Idle() && reply.Answers(inquiry_.Send()));
    // A refused bonding changed nothing on the device: it is bonded as before.
    if (refusedStep && step == Step::Bond)
        BondTargetAddress = targetBefore_;
    platform::ShowMessageBox(this, text, QStringLiteral("Warning"), MbButtons::Ok, MbIcon::Error);
    // Bond again only when nothing else of this page waits for an answer.
    if (refusedStep || step == Step::None || step == Step::PingLink)
        btnBondSelectedDevice.setEnabled(true);
}

void TfrmDevDisc::tmrBondTimer()
{
    // The pairing's guard: its step, also while a refused inquiry runs out
    // (Bond is open again after a refusal).
    const Step expired = PairingStep();
    // A bonding unanswered may or may not have taken: the device's bond is
    // unknown until a BondResult says, late or after another try.
    if (expired == Step::Bond)
        Bonded = false;
    EndStep();
    if (expired == Step::Version || expired == Step::Config) {
        // Bonded, target and stage stay: Bond retries the step that failed.
        SetStatus(QStringLiteral("Remote device did not answer. Please retry."));
    } else if (tmrBondTag != 0) {
        SetStatus(QStringLiteral("Unable to connect to Remote Device. Please retry."));
    } else {
        // Once the bonding succeeded the target is kept for the retry.
        if (expired != Step::Connection)
            BondTargetAddress = DeviceAddress{};
        SetStatus(QStringLiteral("Bonding has timed out. Please retry."));
    }
    if (frmMain && !tmrInquiry.isActive())
        frmMain->btnBack.setEnabled(true);
    SetPairingButtonsEnabled(true);
}

void TfrmDevDisc::PortGone(int port, bool shown)
{
    const bool searching = tmrInquiry.isActive();
    tmrInquiry.stop();
    tmrProgressBar.stop();
    if (searching)
        SetSearchingLook(false);
    inquiry_.End(nullptr);
    // A bonding cut off with the line may or may not have taken, as one
    // whose time ran out: the unit it was for is no bond to go on with.
    if (pairing_.step() == core::Pairing::Step::Bond)
        Bonded = false;
    EndStep();
    SetPairingButtonsEnabled(true);
    if (shown) {
        SetStatus(DisconnectedText(port));
        if (frmMain)
            frmMain->btnNext.setEnabled(false);
    }
}

void TfrmDevDisc::bGetVersionClick()
{
    if (!frmMain)
        return;
    platform::ShowMessageBox(this, QString::fromLatin1(protocol::VersionBoxText(frmMain->RemoteVersion)),
                             QStringLiteral("Remote Version Information"), MbButtons::Ok, MbIcon::None);
}

}  // namespace vtrl
