#include "configremoteport.h"

namespace vtrl {

TfrmConfigRemotePort::TfrmConfigRemotePort(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 80})
{
    setObjectName(QStringLiteral("frmConfigRemotePort"));
    setWindowTitle(QStringLiteral("Configure Remote Port"));
}

}  // namespace vtrl
