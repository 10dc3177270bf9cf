#pragma once
// Finding, pinging and bonding the remote device.

#include "shell/childform.h"

namespace vtrl {

class TfrmDevDisc : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmDevDisc(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
