#pragma once
// Saving the settings in the device's flash memory.

#include "shell/childform.h"

namespace vtrl {

class TfrmFlashUpdate : public TWizardChildForm {
    Q_OBJECT
public:
    explicit TfrmFlashUpdate(QWidget* parent = nullptr);

    TasksPanel Tasks;
};

}  // namespace vtrl
