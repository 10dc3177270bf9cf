#pragma once
// Serial port settings of the attached device.

#include "pages/configport.h"

namespace vtrl {

class TfrmConfigLocalPort : public TfrmConfigPort {
    Q_OBJECT
public:
    explicit TfrmConfigLocalPort(QWidget* parent = nullptr);

    QPlainTextEdit& txtConfigLocalPortTaskDesc = txtTaskDesc;
    QPushButton& btnSetLocalPortConfig = btnSet;
    QFrame& stbConfigLocalPort = stb;

    std::uint8_t PageEntered(TfrmMain& main) override;
    // Never keeps the operator; hands the local settings to the remote
    // record, with the opposite interface role.
    std::uint8_t PageLeaving(QPushButton* pressed) override;

    void btnSetLocalPortConfigClick() { SendPortConfig(); }

protected:
    protocol::DeviceConfig* Record() const override;
    QString NegativeResponseText(const Reply& reply) const override;
    DeviceAddress Unit() const override;
};

}  // namespace vtrl
