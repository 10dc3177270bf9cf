#pragma once
// Finding, pinging and bonding the remote device, and reading its version and
// configuration.

#include "pages/pagekit.h"
#include "shell/childform.h"
#include "protocol/types.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSet>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <cstdint>
#include <optional>
#include <vector>

namespace vtrl {

class TfrmMain;

class TfrmDevDisc : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmDevDisc(QWidget* parent = nullptr);
    ~TfrmDevDisc() override;

    // The one answer the page waits for. tmrBond runs exactly while it is not
    // None; a notification that does not answer it is ignored.
    enum class Step { None, Ping, Bond, Connection, Version, Config };

    // Every item's "Name" column reads this, whatever the device reported.
    static constexpr const char* kListedName = "Vantrel/S";

    QGroupBox grpTaskDesc;
    QPlainTextEdit txtDevDiscTaskDesc;
    TasksPanel Tasks;
    QGroupBox grpDeviceSelection;
    QTreeWidget lstDeviceList;
    QPushButton btnSearchDevices;
    QPushButton btnPingSelectedDevice;
    QPushButton btnBondSelectedDevice;
    QPushButton btnClearList;
    QLabel lblBonded;
    QPushButton bGetVersion;
    QFrame stbDevDisc;
    QProgressBar pbInquiry;
    QTimer tmrInquiry;      // 20000 ms: the longest an inquiry runs
    QTimer tmrProgressBar;  // 1000 ms: one step of pbInquiry
    QTimer tmrBond;         // 5000 ms: guards the ping and every pairing step
    // Kept with tmrBond: 1 once a ping was written on this page, never reset.
    int tmrBondTag = 0;

    std::int32_t NewDeviceCount = 0;
    bool Bonded = false;
    bool PingPending = false;
    DeviceAddress BondTargetAddress{};

    Step PendingStep() const { return step_; }
    QString StatusText() const;
    // Address texts of the items in list order.
    QStringList ItemAddresses() const;
    // Whether an item has that address text.
    bool IsListed(const QString& address) const;
    // PairingStage of the item with that address text, or -1 when not listed.
    int PairingStageOf(const QString& address) const;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void btnSearchDevicesClick();
    void tmrInquiryTimer();
    void tmrProgressBarTimer();
    void lstDeviceListSelectItem(bool namesItem);
    void btnClearListClick();
    void btnPingSelectedDeviceClick();
    void btnBondSelectedDeviceClick();
    void ContinuePairing();
    void tmrBondTimer();
    void bGetVersionClick();

signals:
    // Every text written to the status panel, in order (also repeats).
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    using Payload = std::optional<std::vector<std::uint8_t>>;
    void InquiryResultReceived(const Payload& payload);
    void EndInquiry();
    void ConfirmationReceived();
    void BondResultReceived(const Payload& payload);
    void ConnectionStatusReceived(const Payload& payload);
    void VersionInfoReceived(const Payload& payload);
    void ConfigReportReceived(const Payload& payload);
    void NegativeResponseReceived(const Payload& payload);

    void SetStatus(const QString& text);
    void AddItem(const QString& address);
    void SetSearchingLook(bool searching);
    void SetPairingButtonsEnabled(bool enabled);
    // The chain's step for that item, whatever is selected now.
    void ContinuePairing(QTreeWidgetItem& item);
    QTreeWidgetItem* SelectedItem() const;
    QTreeWidgetItem* ItemOf(const QString& address) const;
    QTreeWidgetItem* ChainItem() const;
    // Back to unpaired, with the list and its buttons shown, as on a first entry.
    void ForgetPairing();
    void BeginStep(Step step);
    void EndStep();
    // Next may pass only with a device bonded whose address the remote
    // settings can be sent to.
    bool ReadyToLeave() const;

    StatusPanel statusPanel0_;
    // The address texts of the items, kept with the list: an inquiry in a
    // crowded room repeats the same units thousands of times, and reading the
    // items for each one keeps the user-interface thread busy for half a
    // second (every read also re-sorts the list after an insertion).
    QSet<QString> listed_;
    Step step_ = Step::None;
    // The device the last InitiateBonding went to, for a success reported
    // after the time-out gave up on it.
    DeviceAddress lastBondAttempt_{};
    // An InitiateBonding went out and its BondResult has not come yet.
    bool bondAnswerDue_ = false;
    // The unit the pending step was sent to (pinged or being paired): its
    // answers act on its item, not on whatever the list selects by then.
    DeviceAddress chainAddress_{};
    // The local device the last InitiateBonding went through; zero if none.
    DeviceAddress bondedThrough_{};
};

}  // namespace vtrl
