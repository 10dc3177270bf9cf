#include "flashupdate.h"

namespace vtrl {

TfrmFlashUpdate::TfrmFlashUpdate(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 100})
{
    setObjectName(QStringLiteral("frmFlashUpdate"));
    setWindowTitle(QStringLiteral("Save Configuration Settings"));
}

}  // namespace vtrl
