// What a screen reader says for each field: the label beside it, not the
// title of the group the field sits in.

#include "pages/localdevicesettings.h"
#include "pages/wizard.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace vtrl {
namespace {

QString SpokenName(QWidget& field)
{
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(&field);
    return a ? a->text(QAccessible::Name) : QStringLiteral("(no accessible interface)");
}

TEST(Accessibility, EveryFieldIsNamedByTheLabelBesideIt)
{
    Wizard wizard;
    TfAdvanced advanced(&wizard.main());
    const struct {
        QWidget* field;
        const char* name;
    } rows[] = {
        {&frmCommPortSel->cboCommPort, "COM Port"},
        {&frmConfigLocalDevice->ebDeviceName, "Device Name"},
        {&frmConfigLocalDevice->ebPinCode, "Pin Code"},
        {&frmConfigLocalPort->cboBaudRate, "Baud Rate:"},
        {&frmConfigLocalPort->cboDataBits, "Data Bits:"},
        {&frmConfigLocalPort->cboParity, "Parity:"},
        {&frmConfigLocalPort->cboStopBits, "Stop Bits:"},
        {&frmConfigLocalPort->cboFlowControl, "Flow Control:"},
        {&frmConfigRemotePort->cboBaudRate, "Baud Rate:"},
        {&frmConfigRemotePort->cboFlowControl, "Flow Control:"},
        {&advanced.cbPowerLevel, "PowerLevel"},
        {&advanced.seLinkTimeout, "Link Timeout"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(SpokenName(*row.field), QString::fromLatin1(row.name)) << qPrintable(row.field->objectName());

    // Whatever fields a page gains: none goes unnamed.
    QList<QWidget*> roots{&wizard.main(), &advanced};
    for (TWizardChildForm* page : {static_cast<TWizardChildForm*>(frmCommPortSel), static_cast<TWizardChildForm*>(frmDevDisc),
                                   static_cast<TWizardChildForm*>(frmConfigLocalPort),
                                   static_cast<TWizardChildForm*>(frmConfigRemotePort),
                                   static_cast<TWizardChildForm*>(frmConfigLocalDevice),
                                   static_cast<TWizardChildForm*>(frmFlashUpdate)})
        roots << page;
    const auto isField = [](const QWidget* w) {
        return qobject_cast<const QLineEdit*>(w) || qobject_cast<const QComboBox*>(w) ||
               qobject_cast<const QAbstractSpinBox*>(w);
    };
    for (QWidget* root : roots)
        for (QWidget* field : root->findChildren<QWidget*>()) {
            // The edit inside a list or spin box is part of it.
            if (isField(field) && !isField(field->parentWidget())) {
                EXPECT_FALSE(SpokenName(*field).isEmpty()) << qPrintable(field->objectName());
            }
        }
}

}  // namespace
}  // namespace vtrl
