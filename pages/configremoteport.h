#pragma once
// Serial port settings of the bonded remote device.

#include "shell/childform.h"

namespace vtrl {

class TfrmConfigRemotePort : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmConfigRemotePort(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
