#pragma once
// The one design behind the local and the remote port settings pages: the
// serial settings a device uses towards the equipment wired to it, sent with
// SetPortConfig and kept in the page's record once the device confirms them.

#include "pages/localdevicesettings.h"
#include "protocol/params.h"
#include "protocol/payloads.h"
#include "pages/pagekit.h"
#include "shell/childform.h"
#include "core/settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <array>
#include <optional>
#include <vector>

namespace vtrl {

// The values of the SetPortConfig being prepared or awaited. The six codes
// come from the controls at Set; the power level, class and CD output from
// the record on entry and from the Advanced dialog.
struct PortSettings : PortAdvancedValues {
    int InterfaceCode = 0;
    int BaudCode = 0;
    int DataBitsCode = 0;
    int StopBitsCode = 0;
    int ParityCode = 0;
    int FlowControlCode = 0;

    std::uint8_t PowerByte() const { return static_cast<std::uint8_t>((PowerLevel | PowerClass) & 0xFF); }
    bool operator==(const PortSettings&) const = default;
};

class TfrmConfigPort : public TWizardChildForm {
    Q_OBJECT
public:
    QGroupBox grpTaskDesc;
    QPlainTextEdit txtTaskDesc;  // txtConfigLocalPortTaskDesc / txtConfigRemotePortTaskDesc
    TasksPanel Tasks;
    QGroupBox grpPortSettings;
    QLabel lblBaudRate;
    QLabel lblDataBits;
    QLabel lblParity;
    QLabel lblStopBits;
    QLabel lblFlowControl;
    QComboBox cboBaudRate;
    QComboBox cboDataBits;
    QComboBox cboParity;
    QComboBox cboStopBits;
    QComboBox cboFlowControl;
    QCheckBox chkDCE;
    QPushButton btnSet;  // btnSetLocalPortConfig / btnSetRemotePortConfig
    QPushButton bAdvanced;
    QFrame stb;          // stbConfigLocalPort / stbConfigRemotePort
    StatusPanel Panel0;
    QTimer tmrConfig;    // confirmation time-out, 5000 ms

    // The device holds what the page shows: a send of this page was
    // confirmed with these values, and none is on its way.
    bool ConfigConfirmed = false;
    PortSettings PendingPortSettings;

    void cboParameterChange();
    void tmrConfigTimer();
    void bAdvancedClick();
    void PortGone(int port, bool shown) override;

protected:
    // SetPortConfig's settings, as the device takes them.
    using Wire = protocol::PortSettings;
    static Wire WireOf(const PortSettings& settings);

    struct Design {
        const char* formName;
        const char* caption;
        const char* setButtonName;
        const char* statusBarName;
        const char* taskDescName;
        const char* device;  // "local" or "remote", in the task description
        int arrowY;
        bool remote;
        const char* timeoutText;
    };
    TfrmConfigPort(const Design& design, QWidget* parent);
    ~TfrmConfigPort() override;

    // The record this page reads and writes; null without a main window.
    virtual protocol::DeviceConfig* Record() const = 0;
    virtual QString NegativeResponseText(const Reply& reply) const = 0;
    // The unit the page configures now.
    virtual DeviceAddress Unit() const = 0;

    // The Set button's handler.
    void SendPortConfig();
    // Asks the device what it holds (GetConfig to the page's unit), after an
    // answer that may have been another send's. False when nothing went out.
    bool ReadBack();
    // Selects the lists, loads the power and CD values and chkDCE from the
    // record (a changed chkDCE counts as an edit) and registers the page.
    void LoadFromRecord(TfrmMain& main);
    // Next and Set from whether the device holds what the page shows.
    void ShowWhetherHeld(TfrmMain& main);
    bool DeviceHoldsShown();
    // Leaving ends the wait: the sent values may or may not have been
    // taken, so the page asks for a resend.
    void AbandonWait();

    void ConfirmationReceived(const Reply& reply) override;
    void NegativeResponseReceived(const Reply& reply) override;
    void ConfigReportReceived(const Reply& reply) override;

private:
    // Where the page's commands go: zero for the attached device.
    DeviceAddress Address() const;
    // What the page knows the device holds is of the unit it shows.
    bool KnowsUnit() const;
    // The record takes what the device is proven to hold.
    void KeepHeld();
    // Shows `wire` in the lists, chkDCE and the pending power and CD values.
    void Show(const Wire& wire);
    // An answer of this page's sends was ambiguous: what the device holds
    // is to be read back, now (`waited`: it may have been the answer waited
    // for) or when the page can.
    void InDoubt(bool waited);

    // The codes the controls show with the pending power and CD values.
    PortSettings ShownSettings() const;
    void EnablePortControls(bool editable);
    void SetListsEnabled(bool enabled);
    // The wait ends without an answer (its time-out, or the page left).
    void EndWaitUnanswered();
    void SetStatus(const QString& text) { Panel0.SetText(text); }

    const char* timeoutText_;
    bool remote_;
    // What the device holds of these settings, and the send or read-back
    // the page waits for.
    core::PortSettingsExchange settings_;
};

}  // namespace vtrl
