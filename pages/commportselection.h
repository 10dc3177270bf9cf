#pragma once
// Choosing the COM port and connecting to the attached device.

#include "shell/childform.h"

namespace vtrl {

class TfrmCommPortSel : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmCommPortSel(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
