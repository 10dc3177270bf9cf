#pragma once
// Devices on pseudo-terminals registered as COM ports, and a wizard built
// over them and driven to the COM port page.

#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "serial/portnames.h"
#include "shell/deviceaddress.h"
#include "sim/simulator.h"

#include "qt_wait.h"

#include <QSignalSpy>
#include <QTreeWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

namespace vtrl::testing {

using test::WaitUntil;

class CommPortPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        serial::ResetRegisteredPortsForTesting();
        protocol::LocalConfig = {};
    }
    void TearDown() override
    {
        wizard.reset();
        sims.clear();
        serial::ResetRegisteredPortsForTesting();
    }

    // A started device; its port number is the next free registered one.
    sim::Simulator& AddDevice(int* port = nullptr)
    {
        sims.push_back(std::make_unique<sim::Simulator>());
        sim::Simulator& s = *sims.back();
        EXPECT_TRUE(s.start()) << s.errorText();
        const auto n = static_cast<int>(serial::RegisterPortPath(s.slavePath()));
        EXPECT_GT(n, 0);
        if (port)
            *port = n;
        return s;
    }

    // Builds the wizard (which lists the ports) and moves to the COM port page.
    void OpenPage(int choice = 0, int heartbeatMs = 300)
    {
        wizard = std::make_unique<Wizard>();
        main().show();
        frmIntroduction->SetItemIndex(choice);
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        ASSERT_EQ(main().ShownPage(), static_cast<TWizardChildForm*>(frmCommPortSel));
        page().tmrHeartbeat.setInterval(heartbeatMs);
        QObject::connect(&page(), &TfrmCommPortSel::statusChanged, [this](int panel, const QString& text) {
            if (panel == 0)
                statusTrail.push_back(text);
        });
    }

    // The machine's own ports (an on-board UART, say) are not the tests' to
    // write to: keep only the simulated ones in the list.
    int DropUnregisteredItems()
    {
        for (int i = page().cboCommPort.count() - 1; i >= 0; --i)
            if (TfrmCommPortSel::PortNumberOfItem(page().cboCommPort.itemText(i)).value_or(0)
                < static_cast<int>(serial::kFirstRegisteredPort))
                page().cboCommPort.removeItem(i);
        page().cboCommPort.setCurrentIndex(-1);
        return page().cboCommPort.count();
    }

    TfrmMain& main() { return wizard->main(); }
    TfrmCommPortSel& page() { return *frmCommPortSel; }

    int ItemOf(int port)
    {
        for (int i = 0; i < page().cboCommPort.count(); ++i)
            if (TfrmCommPortSel::PortNumberOfItem(page().cboCommPort.itemText(i)) == port)
                return i;
        return -1;
    }
    void Select(int port)
    {
        const int item = ItemOf(port);
        ASSERT_GE(item, 0) << "COM " << port << " is not listed";
        page().cboCommPort.setCurrentIndex(item);
    }
    void ClickSet() { QTest::mouseClick(&page().btnSetCommPortSel, Qt::LeftButton); }
    // Select, press Set COM Port Selection, wait for the attempt to end.
    void Connect(int port)
    {
        Select(port);
        ClickSet();
        ASSERT_TRUE(WaitUntil([&] { return !page().tmrHeartbeat.isActive(); }));
    }
    bool ConfigurationShown() const { return frmCommPortSel->ConfigurationShown; }

    // Search on the discovery page and wait for the inquiry's end.
    bool Search()
    {
        QTest::mouseClick(&frmDevDisc->btnSearchDevices, Qt::LeftButton);
        return WaitUntil([&] { return !frmDevDisc->tmrInquiry.isActive(); });
    }
    // Clicks the discovery list's item with that address; whether it is selected.
    bool SelectListed(const QString& address)
    {
        QTreeWidget& list = frmDevDisc->lstDeviceList;
        const auto found = list.findItems(address, Qt::MatchExactly, 0);
        if (found.size() != 1)
            return false;
        list.scrollToItem(found[0]);
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(found[0]).center());
        return found[0]->isSelected();
    }

    QStringList Lines()
    {
        return {page().lblFormat.text(), page().lblFlowControl.text(), page().lblDeviceType.text(),
                page().lblBondedTo.text(), page().lbPowerClass.text()};
    }

    // Auto Detect, Set COM Port Selection, Next, Ver Info: enabled or not.
    std::string Buttons()
    {
        std::string s;
        for (const QWidget* w : {static_cast<QWidget*>(&page().btnAutoDetect),
                                 static_cast<QWidget*>(&page().btnSetCommPortSel),
                                 static_cast<QWidget*>(&main().btnNext), static_cast<QWidget*>(&page().bGetVersion)})
            s += w->isEnabled() ? '1' : '0';
        return s;
    }

    platform::ScriptedMessageBoxes boxes{platform::mrYes};
    std::vector<std::unique_ptr<sim::Simulator>> sims;
    std::unique_ptr<Wizard> wizard;
    QStringList statusTrail;
};

}  // namespace vtrl::testing
