#pragma once
// The fixture of the page, hardening and end-to-end tests: the rig (simulated
// devices registered as COM ports, the wizard with short timers) walked with
// the walk-through's own steps and an operator's hands.

#include "demo/hands.h"
#include "demo/rig.h"
#include "demo/scenario.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "protocol/delivery.h"
#include "serial/portnames.h"
#include "serial/ports.h"
#include "shell/deviceaddress.h"
#include "shell/remembered.h"
#include "sim/device.h"
#include "sim/simulator.h"

#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace vtrl::testing {

using Bytes = std::vector<std::uint8_t>;
using demo::AdvancedAnswer;
using demo::Click;
using demo::PretendUsbAdapter;
using demo::Pick;
using demo::SelectItem;
using demo::Type;
using demo::WaitUntil;

enum Function { kCable = 0, kSpp = 1 };

class WizardFixture : public ::testing::Test {
protected:
    // ---- devices ------------------------------------------------------
    // A started device registered under the next free COM number.
    sim::Simulator& AddDevice(int* port = nullptr)
    {
        sim::Simulator& s = rig.AddDevice(port);
        EXPECT_TRUE(rig.Error().isEmpty()) << Error();
        return s;
    }
    // A device registered under a link of its own, which follows it when it
    // hangs up and comes back.
    sim::Simulator& AddVanishingDevice(int* port = nullptr)
    {
        sim::Simulator& s = rig.AddDevice(port, demo::Rig::Line::Stable);
        EXPECT_TRUE(rig.Error().isEmpty()) << Error();
        return s;
    }
    sim::Simulator& device() { return rig.device(); }
    // Payloads of the commands of one type the last device received.
    std::vector<Bytes> Sent(std::uint8_t type)
    {
        std::vector<Bytes> out;
        for (const sim::ReceivedFrame& f : device().received())
            if (f.crcOk && f.type == type)
                out.push_back(f.payload);
        return out;
    }

    // ---- the walk -----------------------------------------------------
    // A fresh wizard on the COM port page, with the device function chosen
    // on the first page; the machine's own ports are left out of the list.
    void OpenPage(Function function = kCable, int heartbeatMs = 300) { OpenPage(function, Timers(heartbeatMs)); }
    void OpenPage(Function function, const demo::RigTimers& timers)
    {
        ASSERT_TRUE(rig.Open(function == kSpp ? fnSppServer : fnCableReplacement, timers)) << Error();
        for (StatusPanel* panel : {&frmCommPortSel->Panel0, &frmDevDisc->Panel0, &frmConfigLocalPort->Panel0,
                                   &frmConfigRemotePort->Panel0, &frmConfigLocalDevice->Panel0, &frmFlashUpdate->Panel0})
            QObject::connect(panel, &StatusPanel::textSet, [this, panel](const QString& t) { trails[panel] << t; });
    }
    static demo::RigTimers Timers(int heartbeatMs)
    {
        demo::RigTimers t = demo::kTestTimers;
        t.heartbeat = heartbeatMs;
        return t;
    }
    // Select the port, press Set COM Port Selection, wait for the attempt to end.
    void Connect(int port)
    {
        Select(port);
        ClickSet();
        ASSERT_TRUE(WaitUntil([&] { return !frmCommPortSel->tmrHeartbeat.isActive(); }));
    }
    // One device of `function` on the COM port page, connected.
    void Connected(Function function, int* port = nullptr)
    {
        int n = 0;
        AddDevice(&n);
        if (port)
            *port = n;
        OpenPage(function);
        ASSERT_TRUE(walk.ConnectPort(n)) << Error();
    }
    // The local port page of a connected device; `adjust` changes the record
    // read from the device before the page shows it.
    void ToLocalPort(Function function = kSpp, const std::function<void(protocol::DeviceConfig&)>& adjust = {})
    {
        Connected(function);
        if (adjust)
            adjust(main().LocalConfig);
        if (function == kCable) {
            ASSERT_TRUE(walk.Next(frmDevDisc)) << Error();
            ASSERT_TRUE(walk.Discover(QString::fromStdString(sim::formatAddress(device().remotes().front().address))))
                << Error();
        }
        ASSERT_TRUE(walk.Next(frmConfigLocalPort)) << Error();
    }
    // Confirmed on the local port page, then on to the remote one.
    void ToRemotePort()
    {
        ToLocalPort(kCable);
        ASSERT_TRUE(SetAndWait(*frmConfigLocalPort));
        ASSERT_TRUE(walk.Next(frmConfigRemotePort)) << Error();
    }
    // SPP Server: confirmed on the local port page, then the device page;
    // `stored` changes what the device holds before the wizard reads it.
    void ToLocalDevicePage(const std::function<void(sim::DeviceConfig&)>& stored = {})
    {
        int port = 0;
        sim::Simulator& d = AddDevice(&port);
        if (stored) {
            sim::DeviceConfig config = *d.workingConfig({});
            stored(config);
            d.setStoredConfig({}, config);
        }
        OpenPage(kSpp);
        ASSERT_TRUE(walk.ConnectPort(port)) << Error();
        ASSERT_TRUE(walk.Next(frmConfigLocalPort)) << Error();
        ASSERT_TRUE(SetAndWait(*frmConfigLocalPort));
        ASSERT_TRUE(walk.Next(frmConfigLocalDevice)) << Error();
    }
    // ... and with a confirmed send, on to the save page.
    void ToFlashPage()
    {
        ToLocalDevicePage();
        Click(frmConfigLocalDevice->btnSetLocalDeviceConfig);
        ASSERT_TRUE(WaitUntil([] { return frmConfigLocalDevice->ConfigConfirmed; }));
        ASSERT_TRUE(walk.Next(frmFlashUpdate)) << Error();
        device().clearReceived();
    }

    // ---- the operator -------------------------------------------------
    void Next() { Click(main().btnNext); }
    void Back() { Click(main().btnBack); }
    // Selects the port's item, once the list shows it (a port that comes back
    // is listed when the watcher sees it).
    void Select(int port)
    {
        ASSERT_TRUE(WaitUntil([&] { return rig.Select(port); }, 3000)) << "COM " << port << " is not listed";
    }
    void ClickSet() { Click(frmCommPortSel->btnSetCommPortSel); }
    // Presses Set on a port page and waits until the page stops waiting.
    bool SetAndWait(TfrmConfigPort& page)
    {
        Click(page.btnSet);
        return WaitUntil([&] { return !page.tmrConfig.isActive(); });
    }
    // Search on the discovery page and wait for the inquiry's end.
    bool Search()
    {
        Click(frmDevDisc->btnSearchDevices);
        return WaitUntil([] { return !frmDevDisc->tmrInquiry.isActive(); });
    }
    bool SelectListed(const QString& address) { return SelectItem(frmDevDisc->lstDeviceList, address); }

    // A notification as the device link hands it on: matched in the ledger
    // and posted; handled at once unless `queued`.
    void Arrive(std::uint32_t message, std::optional<Bytes> block = std::nullopt, bool queued = false)
    {
        protocol::Notification n;
        n.message = message;
        n.sequence = frame_++;
        n.block = std::move(block);
        main().Deliver(std::move(n));
        if (!queued)
            QCoreApplication::processEvents();
    }

    // ---- what shows ---------------------------------------------------
    TfrmMain& main() { return rig.main(); }
    TfrmCommPortSel& page() { return *frmCommPortSel; }
    std::string Error() const { return rig.Error().toStdString(); }
    // The walk's step lines so far, for failure messages.
    std::string Log()
    {
        std::string text;
        if (!log_)
            return text;
        std::fflush(log_.get());
        std::rewind(log_.get());
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, log_.get()))
            text += buffer;
        return text;
    }
    QStringList& Trail(const StatusPanel& panel) { return trails[&panel]; }
    int ItemOf(int port)
    {
        for (int i = 0; i < page().cboCommPort.count(); ++i)
            if (TfrmCommPortSel::PortNumberOfItem(page().cboCommPort.itemText(i)) == port)
                return i;
        return -1;
    }
    TfrmConfigLocalDevice& localDevice() { return *frmConfigLocalDevice; }
    TfrmFlashUpdate& flash() { return *frmFlashUpdate; }
    // The local device page's Set button, Next, Back.
    std::string DeviceButtons()
    {
        return Enabled({&localDevice().btnSetLocalDeviceConfig, &main().btnNext, &main().btnBack});
    }
    bool ConfigurationShown() const { return frmCommPortSel->ConfigurationShown; }
    // The five configuration lines of the COM port page.
    QStringList Lines()
    {
        return {page().lblFormat.text(), page().lblFlowControl.text(), page().lblDeviceType.text(),
                page().lblBondedTo.text(), page().lbPowerClass.text()};
    }
    // Auto Detect, Set COM Port Selection, Next, Ver Info.
    std::string ComButtons()
    {
        return Enabled({&page().btnAutoDetect, &page().btnSetCommPortSel, &main().btnNext, &page().bGetVersion});
    }
    // The enabled state of each widget, as '1' or '0'.
    static std::string Enabled(std::initializer_list<const QWidget*> widgets)
    {
        std::string s;
        for (const QWidget* w : widgets)
            s += w->isEnabled() ? '1' : '0';
        return s;
    }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> log_{std::tmpfile()};

protected:
    platform::ScriptedMessageBoxes boxes{platform::mrYes};
    demo::Rig rig{log_.get()};
    demo::WalkThrough& walk = rig.walk;
    std::map<const StatusPanel*, QStringList> trails;

private:
    std::uint8_t frame_ = 0x80;
};

}  // namespace vtrl::testing
