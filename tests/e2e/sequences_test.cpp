// Both page sequences from the first page to Finish against simulated
// devices, clicked through as an operator does; afterwards each device's
// flash holds exactly what was chosen on the pages, and nothing else changed.
#include "demo/scenario.h"
#include "demo/walk.h"
#include "serial/portnames.h"
#include "sim/device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

using namespace vtrl;

namespace {

class WizardSequence : public ::testing::Test {
protected:
    void SetUp() override
    {
        serial::ResetRegisteredPortsForTesting();
        protocol::LocalConfig = {};
        protocol::RemoteConfig = {};
        log_.reset(std::tmpfile());
        ASSERT_TRUE(log_);
    }
    void TearDown() override { serial::ResetRegisteredPortsForTesting(); }

    int Start(sim::Simulator& device)
    {
        EXPECT_TRUE(device.start()) << device.errorText();
        return static_cast<int>(serial::RegisterPortPath(device.slavePath()));
    }

    // The walk's step lines, for the failure message.
    std::string Log()
    {
        std::string text;
        std::rewind(log_.get());
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, log_.get()))
            text += buffer;
        return text;
    }

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> log_;
};

}  // namespace

TEST_F(WizardSequence, CableReplacementLeavesTheChosenSettingsInBothDevices)
{
    sim::Simulator device;
    const int port = Start(device);
    demo::CableChoices choices;
    choices.remoteAddress = QStringLiteral("001BDC0A9ABC");  // not the device bonded before
    choices.local = demo::PortChoice{8, 0, 1, 1, 1, false};   // 57600,7,O,2, software flow, DTE
    choices.remote = demo::PortChoice{8, 0, 1, 1, 1, true};   // the same line, DCE

    demo::WalkThrough walk(log_.get(), QString());
    ASSERT_TRUE(walk.WalkCableReplacement(port, choices)) << qPrintable(walk.Error()) << "\n" << Log();

    const sim::DeviceProfile local = device.local();
    const DeviceAddress remoteAddress = *sim::parseAddress("001BDC0A9ABC");
    sim::DeviceConfig expectedLocal = local.config;
    sim::DeviceConfig expectedRemote;
    for (const sim::DeviceProfile& r : device.remotes())
        if (r.address == remoteAddress)
            expectedRemote = r.config;
    demo::ApplyCableChoices(choices, expectedLocal, expectedRemote, local.address, remoteAddress);
    EXPECT_EQ(demo::CableFlashMismatch(device, choices), QString());
    EXPECT_TRUE(device.flashConfig({}) == expectedLocal);
    EXPECT_TRUE(device.flashConfig(remoteAddress) == expectedRemote);
    EXPECT_EQ(device.abortCount(), 0) << "a finished wizard tells the device nothing";
}

TEST_F(WizardSequence, SppServerLeavesTheChosenIdentityAndSecurityInTheDevice)
{
    sim::Simulator device;
    demo::SetUpSppDevice(device);
    const int port = Start(device);
    demo::SppChoices choices;
    choices.local = demo::PortChoice{7, 1, 2, 1, 0, true};  // 38400,8,E,2, no flow, DCE
    choices.device.name = QStringLiteral("Vantrel/S Loading Bay North 2");  // 29 characters
    choices.device.authentication = true;
    choices.device.encryption = false;
    choices.device.pin = QStringLiteral("135792468013579");  // 15 characters
    choices.device.linkTimeout = 40;

    demo::WalkThrough walk(log_.get(), QString());
    ASSERT_TRUE(walk.WalkSppServer(port, choices)) << qPrintable(walk.Error()) << "\n" << Log();

    sim::DeviceConfig expected = device.local().config;
    demo::ApplySppChoices(choices, expected);
    EXPECT_EQ(demo::SppFlashMismatch(device, choices), QString());
    EXPECT_TRUE(device.flashConfig({}) == expected);
    EXPECT_EQ(device.flashConfig({})->name(), "Vantrel/S Loading Bay North 2");
    EXPECT_EQ(device.linkKeyResets(), 0);
}
