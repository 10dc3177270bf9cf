#pragma once
// The wizard against a device that misbehaves: a fixture over the COM port
// page's one, with a device that can vanish and come back at the same path.

#include "../pages/pagefixture.h"

#include "protocol/params.h"
#include "sim/device.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace vtrl::testing {

// Both configuration records, field by field.
struct ConfigSnapshot {
    std::vector<std::uint8_t> local, remote;
    bool operator==(const ConfigSnapshot&) const = default;
};

inline void PrintTo(const ConfigSnapshot& s, std::ostream* os)
{
    *os << "local " << ::testing::PrintToString(s.local) << ", remote " << ::testing::PrintToString(s.remote);
}

// What an operator or a later page could notice of the wizard's state.
struct Fingerprint {
    TWizardChildForm* shown = nullptr;
    std::string widgets;  // texts, enabled states and running timers of the page and the frame
    std::string state;    // what the page keeps for later: connected, bonded, confirmed
    ConfigSnapshot configs;
    std::vector<std::uint8_t> localVersion, remoteVersion;
    DeviceAddress localAddress{};
    std::size_t boxes = 0;
    bool operator==(const Fingerprint&) const = default;
};

class HardeningTest : public CommPortPageTest {
public:
    using CommPortPageTest::ClickSet;
    using CommPortPageTest::ConfigurationShown;
    using CommPortPageTest::main;
    using CommPortPageTest::page;
    using CommPortPageTest::Search;
    using CommPortPageTest::Select;
    using CommPortPageTest::SelectListed;

    int port = 0;
    sim::Simulator& device() { return *sims.back(); }

    void TearDown() override
    {
        CommPortPageTest::TearDown();
        if (!linkDir_.empty())
            std::filesystem::remove_all(linkDir_);
    }

    // A device registered under a link of its own, which follows it when it
    // vanishes and comes back.
    sim::Simulator& AddVanishingDevice()
    {
        char dir[] = "/tmp/vtrl-vanish-XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        linkDir_ = dir;
        sims.push_back(std::make_unique<sim::Simulator>());
        sim::Simulator& s = *sims.back();
        EXPECT_TRUE(s.start()) << s.errorText();
        const std::string link = linkDir_ + "/device";
        EXPECT_TRUE(s.setStablePath(link));
        port = static_cast<int>(serial::RegisterPortPath(link));
        EXPECT_GT(port, 0);
        return s;
    }

    static ConfigSnapshot Snapshot()
    {
        const auto bytes = [](const protocol::ParameterDescriptor* row) {
            std::vector<std::uint8_t> out;
            for (; row->tag != 0; ++row)
                out.insert(out.end(), row->field, row->field + row->width);
            return out;
        };
        return {bytes(protocol::LocalDescriptors()), bytes(protocol::RemoteDescriptors())};
    }

    Fingerprint Take()
    {
        Fingerprint f;
        f.shown = main().ShownPage();
        std::ostringstream w;
        const auto describe = [&w](QWidget* root) {
            for (QWidget* child : root->findChildren<QWidget*>()) {
                w << child->objectName().toStdString() << (child->isEnabled() ? "+" : "-");
                if (auto* label = qobject_cast<QLabel*>(child))
                    w << "[" << label->text().toStdString() << "]";
                else if (auto* edit = qobject_cast<QLineEdit*>(child))
                    w << "[" << edit->text().toStdString() << "]";
                else if (auto* combo = qobject_cast<QComboBox*>(child))
                    w << "[" << combo->currentIndex() << "/" << combo->count() << "]";
                else if (auto* button = qobject_cast<QAbstractButton*>(child))
                    w << "[" << button->isChecked() << "]";
                w << "\n";
            }
            for (QTimer* timer : root->findChildren<QTimer*>())
                w << timer->objectName().toStdString() << (timer->isActive() ? " running\n" : " stopped\n");
        };
        if (f.shown)
            describe(f.shown);
        for (QWidget* b : {&main().btnBack, &main().btnNext, &main().btnFinish, &main().btnCancel})
            w << b->objectName().toStdString() << (b->isEnabled() ? "+" : "-") << (b->isVisible() ? "v" : "h");
        f.widgets = w.str();
        std::ostringstream state;
        state << "connected " << frmCommPortSel->Connected << frmCommPortSel->ConfigurationShown << " bonded "
              << frmDevDisc->Bonded << " to " << FormatDeviceAddress(frmDevDisc->BondTargetAddress).toStdString()
              << " step " << static_cast<int>(frmDevDisc->PendingStep()) << " confirmed "
              << frmConfigLocalPort->ConfigConfirmed << frmConfigRemotePort->ConfigConfirmed
              << frmConfigLocalDevice->ConfigConfirmed << " saved " << frmFlashUpdate->FlashSaved;
        f.state = state.str();
        f.configs = Snapshot();
        f.localVersion.assign(main().LocalVersion.block.begin(), main().LocalVersion.block.end());
        f.remoteVersion.assign(main().RemoteVersion.block.begin(), main().RemoteVersion.block.end());
        f.localAddress = main().LocalDeviceAddress;
        f.boxes = boxes.boxes().size();
        return f;
    }

    // Connects on the COM port page and moves on to the discovery page, with
    // its timers shortened.
    bool ReachDiscovery()
    {
        if (!Connect())
            return false;
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        if (main().ShownPage() != static_cast<TWizardChildForm*>(frmDevDisc))
            return false;
        frmDevDisc->tmrInquiry.setInterval(3000);
        frmConfigLocalPort->tmrConfig.setInterval(1500);
        frmConfigRemotePort->tmrConfig.setInterval(1500);
        frmDevDisc->tmrProgressBar.setInterval(50);
        frmDevDisc->tmrBond.setInterval(1000);
        return true;
    }

    // Selects the unit and bonds with it: the whole chain to the remote
    // configuration.
    bool Bond(const QString& address)
    {
        if (!SelectListed(address))
            return false;
        QTest::mouseClick(&frmDevDisc->btnBondSelectedDevice, Qt::LeftButton);
        return WaitUntil([&] { return frmDevDisc->PendingStep() == TfrmDevDisc::Step::None; }, 10000)
            && frmDevDisc->Bonded;
    }

    // Connects on the COM port page (an SPP Server goes straight on) and
    // moves on to the local port page, its time-out shortened.
    bool ReachLocalPort()
    {
        if (!Connect())
            return false;
        frmConfigLocalPort->tmrConfig.setInterval(1500);
        frmConfigRemotePort->tmrConfig.setInterval(1500);
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        return main().ShownPage() == static_cast<TWizardChildForm*>(frmConfigLocalPort);
    }

    // The local page confirmed, then on as a Cable Replacement pair bonded
    // with the simulator's first remote, to the remote port page.
    bool ReachRemotePort()
    {
        if (!ReachLocalPort() || !ConfirmPortPage(*frmConfigLocalPort))
            return false;
        main().DeviceFunction = 1;
        frmDevDisc->BondTargetAddress = device().remotes().front().address;
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        return main().ShownPage() == static_cast<TWizardChildForm*>(frmConfigRemotePort);
    }

    // SPP Server: the local port page confirmed, then on to the local device
    // page, its timer shortened.
    bool ReachLocalDevice()
    {
        if (!ReachLocalPort() || !ConfirmPortPage(*frmConfigLocalPort))
            return false;
        frmConfigLocalDevice->tmrConfig.setInterval(300);
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        return main().ShownPage() == static_cast<TWizardChildForm*>(frmConfigLocalDevice);
    }

    // A new name, Set, and the device's confirmation.
    bool ConfirmLocalDevice()
    {
        TfrmConfigLocalDevice& p = *frmConfigLocalDevice;
        p.ebDeviceName.setText(p.ebDeviceName.text().left(20) + QString::number(++edits_));
        QTest::mouseClick(&p.btnSetLocalDeviceConfig, Qt::LeftButton);
        return WaitUntil([&] { return p.ConfigConfirmed && !p.tmrConfig.isActive(); });
    }

    // On from a confirmed local device page to the save page.
    bool ReachFlash()
    {
        if (!ReachLocalDevice() || !ConfirmLocalDevice())
            return false;
        frmFlashUpdate->tmrFlashUpdate.setInterval(600);
        QTest::mouseClick(&main().btnNext, Qt::LeftButton);
        return main().ShownPage() == static_cast<TWizardChildForm*>(frmFlashUpdate);
    }

    // An edit (the page asks for one before a resend), Set, and the device's
    // confirmation.
    bool ConfirmPortPage(TfrmConfigPort& p)
    {
        p.cboBaudRate.setCurrentIndex((p.cboBaudRate.currentIndex() + 1) % p.cboBaudRate.count());
        QTest::mouseClick(&p.btnSet, Qt::LeftButton);
        return WaitUntil([&] { return p.ConfigConfirmed && !p.tmrConfig.isActive(); });
    }

    // Select the device, Set, and wait for its configuration.
    bool Connect()
    {
        Select(port);
        ClickSet();
        return WaitUntil([&] { return ConfigurationShown(); });
    }

    // Back until the COM port page is shown.
    bool BackToCommPort()
    {
        for (int i = 0; i < 8 && main().ShownPage() != static_cast<TWizardChildForm*>(frmCommPortSel); ++i)
            QTest::mouseClick(&main().btnBack, Qt::LeftButton);
        return main().ShownPage() == static_cast<TWizardChildForm*>(frmCommPortSel);
    }

    // Panel 0 of the status bar of the page on show.
    QString Status()
    {
        QWidget* shown = main().ShownPage();
        if (!shown)
            return {};
        for (QLabel* label : shown->findChildren<QLabel*>())
            if (label->objectName().endsWith(QLatin1String("Panel0")))
                return label->text();
        return {};
    }

private:
    std::string linkDir_;
    int edits_ = 0;
};

}  // namespace vtrl::testing
