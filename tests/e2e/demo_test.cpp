// vtrlcfg --demo: the simulated devices are the only ports, and the window
// title says it is a demonstration.

#include "pages/simulated.h"
#include "pages/wizard.h"

#include <QComboBox>

#include <gtest/gtest.h>

namespace vtrl {
namespace {

TEST(Demonstration, ListsOnlyTheSimulatedDevicesAndSaysSoInTheTitle)
{
    SimulatedDevices devices;
    ASSERT_TRUE(devices.Error().isEmpty()) << qPrintable(devices.Error());
    Wizard wizard;
    wizard.main().TitleNote = SimulatedDevices::TitleNote();
    wizard.main().show();
    EXPECT_TRUE(wizard.main().windowTitle().endsWith(QStringLiteral("(demonstration: simulated devices, no serial port)")))
        << qPrintable(wizard.main().windowTitle());
    QStringList ports;
    for (int i = 0; i < frmCommPortSel->cboCommPort.count(); ++i)
        ports << frmCommPortSel->cboCommPort.itemText(i).section(QLatin1Char(' '), 0, 2);
    EXPECT_EQ(ports, QStringList({QStringLiteral("COM Port 1"), QStringLiteral("COM Port 2")}));
}

}  // namespace
}  // namespace vtrl
