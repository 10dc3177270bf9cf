#pragma once
// Finding, pinging and bonding the remote device.

#include "protocol/types.h"
#include "shell/childform.h"

namespace vtrl {

class TfrmDevDisc : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmDevDisc(QWidget* parent = nullptr);

    TasksPanel Tasks;

    // The remote device chosen for bonding; the remote port page sends to it.
    DeviceAddress BondTargetAddress{};
};

}  // namespace vtrl
