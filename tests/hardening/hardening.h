#pragma once
// The wizard against a device that misbehaves: the page tests' fixture with
// a device that can vanish and come back at the same path, and the walks to
// each page.

#include "support/wizard_fixture.h"

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

class HardeningTest : public WizardFixture {
public:
    using WizardFixture::ClickSet;
    using WizardFixture::ConfigurationShown;
    using WizardFixture::device;
    using WizardFixture::main;
    using WizardFixture::page;
    using WizardFixture::Search;
    using WizardFixture::Select;
    using WizardFixture::SelectListed;

    int port = 0;
    sim::Simulator& AddVanishingDevice() { return WizardFixture::AddVanishingDevice(&port); }
    // Longer than the page tests': a device that vanishes and comes back
    // takes its time, and so does a burst.
    static constexpr demo::RigTimers kTimers{.drain = 20, .heartbeat = 300, .bond = 1000, .inquiry = 3000,
                                             .inquiryProgress = 50, .portConfig = 400, .deviceTick = 300,
                                             .flash = 600, .flashProgress = 20};
    void OpenPage(Function function) { WizardFixture::OpenPage(function, kTimers); }

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

    // Connects on the COM port page and moves on to the discovery page.
    bool ReachDiscovery()
    {
        return Connect() && walk.Next(frmDevDisc);
    }

    // Selects the unit and bonds with it: the whole chain to the remote
    // configuration.
    bool Bond(const QString& address)
    {
        if (!SelectListed(address))
            return false;
        Click(frmDevDisc->btnBondSelectedDevice);
        return WaitUntil([&] { return frmDevDisc->PendingStep() == TfrmDevDisc::Step::None; }, 10000)
            && frmDevDisc->Bonded;
    }

    // An SPP Server connected and on to the local port page.
    bool ReachLocalPort() { return Connect() && walk.Next(frmConfigLocalPort); }

    // A Cable Replacement pair bonded with the local device's partner, the
    // local page confirmed, on to the remote port page.
    bool ReachRemotePort()
    {
        return ReachDiscovery() && Search() && Bond(QStringLiteral("001BDC0A5678")) && walk.Next(frmConfigLocalPort)
            && ConfirmPortPage(*frmConfigLocalPort) && walk.Next(frmConfigRemotePort);
    }

    // SPP Server: the local port page confirmed, then the local device page.
    bool ReachLocalDevice()
    {
        return ReachLocalPort() && ConfirmPortPage(*frmConfigLocalPort) && walk.Next(frmConfigLocalDevice);
    }

    // A new name, Set, and the device's confirmation.
    bool ConfirmLocalDevice()
    {
        TfrmConfigLocalDevice& p = *frmConfigLocalDevice;
        Type(p.ebDeviceName, p.ebDeviceName.text().left(20) + QString::number(++edits_));
        Click(p.btnSetLocalDeviceConfig);
        return WaitUntil([&] { return p.ConfigConfirmed && !p.tmrConfig.isActive(); });
    }

    // On from a confirmed local device page to the save page.
    bool ReachFlash()
    {
        return ReachLocalDevice() && ConfirmLocalDevice() && walk.Next(frmFlashUpdate);
    }

    // An edit (the page asks for one before a resend), Set, and the device's
    // confirmation.
    bool ConfirmPortPage(TfrmConfigPort& p)
    {
        p.cboBaudRate.setCurrentIndex((p.cboBaudRate.currentIndex() + 1) % p.cboBaudRate.count());
        Click(p.btnSet);
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
    int edits_ = 0;
};

}  // namespace vtrl::testing
