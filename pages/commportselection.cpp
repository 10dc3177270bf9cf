#include "commportselection.h"

namespace vtrl {

TfrmCommPortSel::TfrmCommPortSel(QWidget* parent)
    : TWizardChildForm(parent),
      Tasks(this, {QStringLiteral("Select COM Port"), FourthTask::ConfigRemotePort, 20})
{
    setObjectName(QStringLiteral("frmCommPortSel"));
    setWindowTitle(QStringLiteral("COM Port Selection"));
}

}  // namespace vtrl
