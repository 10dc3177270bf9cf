#pragma once
// Identity and security of an SPP Server.

#include "pages/pagekit.h"
#include "shell/childform.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <array>
#include <deque>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vtrl {

class TfrmMain;

class TfrmConfigLocalDevice : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmConfigLocalDevice(QWidget* parent = nullptr);
    ~TfrmConfigLocalDevice() override;

    // The name must fit its 30-byte field with the terminating zero.
    static constexpr int kDeviceNameMax = 29;
    static constexpr int kPinCodeMax = 15;

    QGroupBox grpTaskDesc;
    QPlainTextEdit txtConfigLocalPortTaskDesc;
    TasksPanel Tasks;
    QGroupBox grpDeviceSettings;
    QLabel lblDeviceName;
    QLineEdit ebDeviceName;
    QLabel lPinCode;
    QLineEdit ebPinCode;
    QCheckBox cbAuthentication;
    QCheckBox cbEncryption;
    QPushButton bAdvanced;
    QPushButton btnSetLocalDeviceConfig;
    QFrame stbConfigLocalPort;
    QTimer tmrConfig;  // repeats every 1000 ms until an answer stops it

    // The device confirmed a SetDeviceConfig of this page.
    bool ConfigConfirmed = false;
    std::uint16_t PendingLinkTimeout = 0;
    bool ResetLinkKeysRequested = false;

    QString StatusText() const;

    std::uint8_t PageEntered(TfrmMain& main) override;
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void cboParameterChange();
    void cbAuthenticationClick();
    void btnSetLocalDeviceConfigClick();
    void tmrConfigTimer();
    void bAdvancedClick();

signals:
    // Every text written to the status panel, in order (also repeats).
    void statusChanged(const QString& text);

protected:
    bool event(QEvent* event) override;

private:
    // What one SetDeviceConfig carries, in the form the record keeps it.
    struct Settings {
        std::string name;  // at most 29 bytes
        std::uint8_t linkTimeout = 0;
        bool encryption = false;
        bool authentication = false;
        std::array<std::uint8_t, 16> pin{};
        bool resetLinkKeys = false;
        bool operator==(const Settings&) const = default;
    };
    Settings ShownSettings() const;

    void ConfirmationReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void NegativeResponseReceived(const std::optional<std::vector<std::uint8_t>>& payload);
    void SetStatus(const QString& text);

    StatusPanel statusPanel0_;
    // Sends still waiting for their answers, oldest first: the device answers
    // in order, so each answer belongs to the front one. The device stores
    // what was sent, whatever the controls show when it confirms.
    std::deque<Settings> sent_;
    // A time-out was shown since the last send: its answer may never come.
    bool timedOut_ = false;
};

}  // namespace vtrl
