#pragma once
// Finding, pinging and bonding the remote device, and reading its version and
// configuration.

#include "pages/pagekit.h"
#include "shell/childform.h"
#include "core/procedures.h"
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

    // The one answer the page waits for: the inquiry's (tmrInquiry runs), or
    // a pairing step's (tmrBond runs). PingLink: the ping was confirmed and
    // the link it may bring up is still reported within the ping's guard.
    enum class Step { None, Inquiry, Ping, PingLink, Bond, Connection, Version, Config };

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
    StatusPanel Panel0;
    QProgressBar pbInquiry;
    QTimer tmrInquiry;      // 20000 ms: the longest an inquiry runs
    QTimer tmrProgressBar;  // 1000 ms: one step of pbInquiry
    QTimer tmrBond;         // 5000 ms: guards the ping and every pairing step
    // Kept with tmrBond: 1 once a ping was written on this page, never reset.
    int tmrBondTag = 0;

    std::int32_t NewDeviceCount = 0;
    bool Bonded = false;
    DeviceAddress BondTargetAddress{};

    // The inquiry while it runs, else the pairing's step.
    Step PendingStep() const;
    // The pairing's step alone: a bonding may run while a refused inquiry
    // waits for its end.
    Step PairingStep() const;
    // A PingRequest was written and its Confirmation has not come.
    bool PingPending() const { return PendingStep() == Step::Ping; }
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
    void PortGone(int port, bool shown) override;

protected:
    void InquiryResultReceived(const Reply& reply) override;
    void InquiryCompleteReceived(const Reply& reply) override;
    void ConfirmationReceived(const Reply& reply) override;
    void BondResultReceived(const Reply& reply) override;
    void ConnectionStatusReceived(const Reply& reply) override;
    void VersionInfoReceived(const Reply& reply) override;
    void ConfigReportReceived(const Reply& reply) override;
    void NegativeResponseReceived(const Reply& reply) override;

private:
    void EndInquiry();
    void SetStatus(const QString& text) { Panel0.SetText(text); }
    void AddItem(const QString& address);
    void SetSearchingLook(bool searching);
    void SetPairingButtonsEnabled(bool enabled);
    // The chain's step for that item, whatever is selected now.
    void ContinuePairing(QTreeWidgetItem& item);
    QTreeWidgetItem* SelectedItem() const;
    QTreeWidgetItem* ItemOf(const QString& address) const;
    // The item of the unit a send went to.
    QTreeWidgetItem* ItemOf(const DeviceAddress& unit) const;
    // The step's answer may be another send's: the step ends as unanswered.
    void StepInDoubt(Step step);
    // Back to unpaired, with the list and its buttons shown, as on a first entry.
    void ForgetPairing();
    // tmrBond guards every pairing step, and the ping's.
    std::chrono::milliseconds Guard() const;
    void RestartGuard();
    void EndStep();
    // Next may pass only with a device bonded whose address the remote
    // settings can be sent to.
    bool ReadyToLeave() const;

    // The address texts of the items, kept with the list: an inquiry in a
    // crowded room repeats the same units thousands of times, and reading the
    // items for each one keeps the user-interface thread busy for half a
    // second (every read also re-sorts the list after an insertion).
    QSet<QString> listed_;
    // The search, and the pairing chain's step: one of them at a time.
    core::Inquiry inquiry_;
    core::Pairing pairing_;
    // The local device the last InitiateBonding went through; zero if none.
    DeviceAddress bondedThrough_{};
    // The target before the InitiateBonding waited for: a refused bonding
    // leaves the device as it was.
    DeviceAddress targetBefore_{};
    // The unit the chain finished for: its version accepted, its
    // configuration read. Zero until then.
    DeviceAddress paired_{};
};

}  // namespace vtrl
