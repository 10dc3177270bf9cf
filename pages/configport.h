#pragma once
// The one design behind the local and the remote port settings pages: the
// serial settings a device uses towards the equipment wired to it, sent with
// SetPortConfig and kept in the page's record once the device confirms them.

#include "pages/localdevicesettings.h"
#include "protocol/params.h"
#include "pages/pagekit.h"
#include "shell/childform.h"

#include <QCheckBox>
#include <QDeadlineTimer>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <cstdint>
#include <deque>
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
    QTimer tmrConfig;    // confirmation time-out, 5000 ms

    // The device confirmed the last SetPortConfig this page sent. Cleared
    // only when a send goes unanswered.
    bool ConfigConfirmed = false;
    PortSettings PendingPortSettings;

    QString StatusText() const;

    void cboParameterChange();
    void tmrConfigTimer();
    void bAdvancedClick();

signals:
    // Every text written to the status panel, in order (also repeats).
    void statusChanged(const QString& text);

protected:
    struct Design {
        const char* formName;
        const char* caption;
        const char* setButtonName;
        const char* statusBarName;
        const char* taskDescName;
        const char* device;  // "local" or "remote", in the task description
        int arrowY;
        bool emptyFourthFlowControl;
        const char* timeoutText;
    };
    TfrmConfigPort(const Design& design, QWidget* parent);
    ~TfrmConfigPort() override;

    // The record this page reads and writes; null without a main window.
    virtual protocol::DeviceConfig* Record() const = 0;
    // Sends PendingPortSettings: 0 when written, -1 when not.
    virtual int SendPendingSettings() = 0;
    virtual QString NegativeResponseText(const std::optional<std::vector<std::uint8_t>>& payload) const = 0;

    // The Set button's handler.
    void SendPortConfig();
    // Selects the lists, loads the power and CD values and chkDCE from the
    // record (a changed chkDCE counts as an edit) and registers the page.
    void LoadFromRecord(TfrmMain& main);
    void SetSetAndNextFromConfirmed(TfrmMain& main);
    // The wait ends without an answer when the page is left: the sent
    // values may or may not have been taken, so the page asks for a resend.
    void AbandonWait();

    bool event(QEvent* event) override;

private:
    enum class Awaiting { Nothing, PortConfig };

    // The codes the controls show with the pending power and CD values.
    PortSettings ShownSettings() const;
    void EnablePortControls(bool editable);
    void SetListsEnabled(bool enabled);
    void EndUnanswered();
    void ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void SetStatus(const QString& text);
    // Whether this answer is one owed to a port page left while waiting.
    static bool TakeOwedAnswer(const std::optional<std::vector<std::uint8_t>>& payload);

    // Answers to sends of a port page that was left while waiting: the device
    // sends them whichever page is shown by then, and the other port page
    // must not take one for its own. Shared by both pages; owed until the
    // deadline, after which they count as lost.
    static inline int owedAnswers_ = 0;
    static inline QDeadlineTimer owedUntil_;

    StatusPanel statusPanel0_;
    const char* timeoutText_;
    Awaiting awaiting_ = Awaiting::Nothing;
    // The sends of this wait still unanswered, oldest first. A confirmation
    // answers the oldest: the device holds that, whatever the page shows now.
    std::deque<PortSettings> sent_;
};

}  // namespace vtrl
