#pragma once
// Identity and security of an SPP Server.

#include "shell/childform.h"

namespace vtrl {

class TfrmConfigLocalDevice : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmConfigLocalDevice(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
