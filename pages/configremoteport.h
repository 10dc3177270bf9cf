#pragma once
// Serial port settings of the bonded remote device, sent through the
// attached one.

#include "pages/configport.h"

namespace vtrl {

class TfrmConfigRemotePort : public TfrmConfigPort {
    Q_OBJECT
public:
    explicit TfrmConfigRemotePort(QWidget* parent = nullptr);

    QPlainTextEdit& txtConfigRemotePortTaskDesc = txtTaskDesc;
    QPushButton& btnSetRemotePortConfig = btnSet;
    QFrame& stbConfigRemotePort = stb;

    std::uint8_t PageEntered(TfrmMain& main) override;
    // Keeps the operator on Next until the device confirmed.
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void btnSetRemotePortConfigClick() { SendPortConfig(); }

protected:
    protocol::DeviceConfig* Record() const override;
    QString NegativeResponseText(const Reply& reply) const override;
    DeviceAddress Unit() const override;
};

}  // namespace vtrl
