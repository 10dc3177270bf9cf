#include "configlocaldevice.h"

namespace vtrl {

TfrmConfigLocalDevice::TfrmConfigLocalDevice(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigLocalDevice, 79})
{
    setObjectName(QStringLiteral("frmConfigLocalDevice"));
    setWindowTitle(QStringLiteral("Configure Local Device"));
}

}  // namespace vtrl
