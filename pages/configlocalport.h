#pragma once
// Serial port settings of the attached device.

#include "shell/childform.h"

namespace vtrl {

class TfrmConfigLocalPort : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmConfigLocalPort(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
