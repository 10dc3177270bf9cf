#include "configlocalport.h"

namespace vtrl {

TfrmConfigLocalPort::TfrmConfigLocalPort(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 60})
{
    setObjectName(QStringLiteral("frmConfigLocalPort"));
    setWindowTitle(QStringLiteral("Configure Local Port"));
}

}  // namespace vtrl
