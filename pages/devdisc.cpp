#include "devdisc.h"

namespace vtrl {

TfrmDevDisc::TfrmDevDisc(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select Comm Port"), FourthTask::ConfigRemotePort, 40})
{
    setObjectName(QStringLiteral("frmDevDisc"));
    setWindowTitle(QStringLiteral("Device Discovery and Bonding"));
}

}  // namespace vtrl
