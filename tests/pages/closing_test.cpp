// Leaving the wizard: the device is told to abort only when it is connected
// and the wizard was not finished, and the port is released afterwards.
#include "support/wizard_fixture.h"

#include "serial/backend.h"
#include "serial/backend_scripted.h"
#include "serial/probe.h"
#include "sim/device.h"

#include <functional>

using namespace vtrl;
using namespace vtrl::testing;
using platform::MbButtons;
using platform::MbIcon;

using CommPortPageTest = WizardFixture;

namespace {

constexpr std::chrono::milliseconds kNothingSent{300};

std::vector<platform::ScriptedMessageBoxes::Box> AbortBoxes(const platform::ScriptedMessageBoxes& boxes)
{
    std::vector<platform::ScriptedMessageBoxes::Box> found;
    for (const auto& box : boxes.boxes())
        if (box.text == "Abort message not sent.")
            found.push_back(box);
    return found;
}

}  // namespace

TEST_F(CommPortPageTest, QuittingAfterConnectingSendsOneAbortAndReleasesThePort)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    OpenPage();
    Connect(port);
    ASSERT_TRUE(page().Connected);
    device.clearReceived();

    QTest::mouseClick(&main().btnCancel, Qt::LeftButton);
    ASSERT_TRUE(device.waitForCommand(sim::type::Abort, 1, std::chrono::seconds(5)));
    EXPECT_FALSE(device.waitForCommand(sim::type::Abort, 2, kNothingSent));
    const auto frames = device.received();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, 13);
    EXPECT_EQ(frames[0].payload, std::vector<std::uint8_t>{3});
    EXPECT_TRUE(frames[0].crcOk);
    EXPECT_EQ(main().PortHandle, -1);
    EXPECT_EQ(serial::ProbePort(static_cast<std::uint32_t>(port)).outcome, serial::PortProbe::Outcome::Opened)
        << "the port must be free for others";
    EXPECT_EQ(boxes.boxes().size(), 1u) << "only the quit question";
}

TEST_F(CommPortPageTest, AbortGoesOutAfterARefusedVersionToo)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setAppVersion({}, "Vantrel App V2.08");
    OpenPage();
    Connect(port);
    ASSERT_FALSE(ConfigurationShown());
    main().close();
    EXPECT_TRUE(device.waitForCommand(sim::type::Abort, 1, std::chrono::seconds(5)));
}

TEST_F(CommPortPageTest, QuittingBeforeAConnectionSendsNothing)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    device.setSilent(true);
    OpenPage();
    Connect(port);  // opened, but never answered
    ASSERT_FALSE(page().Connected);
    device.clearReceived();
    main().close();
    EXPECT_FALSE(device.waitForFrames(1, kNothingSent));
    EXPECT_TRUE(AbortBoxes(boxes).empty());
}

TEST_F(CommPortPageTest, FinishingSendsNothing)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    OpenPage();
    Connect(port);
    ASSERT_TRUE(page().Connected);
    device.clearReceived();
    main().btnFinishClick();
    EXPECT_FALSE(device.waitForFrames(1, kNothingSent));
    EXPECT_TRUE(boxes.boxes().empty()) << "Finish asks nothing";
}

TEST_F(CommPortPageTest, DecliningTheQuitQuestionSendsNothing)
{
    int port = 0;
    sim::Simulator& device = AddDevice(&port);
    OpenPage();
    Connect(port);
    device.clearReceived();
    boxes.queue(platform::mrNo);
    main().close();
    EXPECT_TRUE(main().isVisible());
    EXPECT_FALSE(device.waitForFrames(1, kNothingSent));
}

// Answers every box as told and runs a hook before answering, so a test can
// change the port between tries.
class HookedBoxes final : public platform::MessageBoxService {
public:
    HookedBoxes() : previous_(platform::SetMessageBoxService(this)) {}
    ~HookedBoxes() override { platform::SetMessageBoxService(previous_); }
    int show(QWidget*, const QString& text, const QString& caption, MbButtons buttons, MbIcon icon) override
    {
        shown.push_back({text, caption, buttons, icon});
        return answer(static_cast<int>(shown.size()));
    }
    struct Shown {
        QString text, caption;
        MbButtons buttons;
        MbIcon icon;
    };
    std::vector<Shown> shown;
    std::function<int(int)> answer;

private:
    platform::MessageBoxService* previous_;
};

class FailingWrites : public ::testing::Test {
protected:
    static constexpr std::uint32_t kPort = 5;
    void SetUp() override
    {
        serial::SetBackendForTesting(&backend);
        backend.AddPort(kPort);
        wizard = std::make_unique<Wizard>();
        main().show();
        ASSERT_EQ(main().OpenPort(kPort), 0);
        frmCommPortSel->Connected = true;  // the device had answered
        backend.SetFailure(kPort, serial::ScriptedBackend::Fail::Write);
    }
    void TearDown() override
    {
        wizard.reset();
        serial::SetBackendForTesting(nullptr);
    }
    TfrmMain& main() { return wizard->main(); }
    std::size_t AbortFramesWritten()
    {
        std::size_t n = 0;
        const auto bytes = backend.Written(kPort);
        for (std::size_t i = 0; i + 5 < bytes.size(); ++i)
            if (bytes[i] == 0x5D && bytes[i + 1] == 13 && bytes[i + 3] == 1 && bytes[i + 4] == 0 && bytes[i + 5] == 3)
                ++n;
        return n;
    }

    serial::ScriptedBackend backend;
    HookedBoxes boxes;
    std::unique_ptr<Wizard> wizard;
};

TEST_F(FailingWrites, AskOncePerTryUntilCancel)
{
    // 1: quit question; 2..4: the failure box, Retry twice, then Cancel.
    boxes.answer = [](int n) {
        return n == 1 ? platform::mrYes : n < 4 ? platform::mrRetry : platform::mrCancel;
    };
    main().close();
    ASSERT_EQ(boxes.shown.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(boxes.shown[i].text, "Abort message not sent.");
        EXPECT_EQ(boxes.shown[i].caption, "Error");
        EXPECT_EQ(boxes.shown[i].buttons, MbButtons::RetryCancel);
        EXPECT_EQ(boxes.shown[i].icon, MbIcon::None);
    }
    EXPECT_EQ(AbortFramesWritten(), 0u);
}

TEST_F(FailingWrites, RetryThatSucceedsSendsAbortAndClosesThePort)
{
    boxes.answer = [this](int n) {
        if (n == 1)
            return int(platform::mrYes);
        backend.SetFailure(kPort, serial::ScriptedBackend::Fail::Write, false);  // the cable is back
        return int(platform::mrRetry);
    };
    main().close();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(AbortFramesWritten(), 1u);
    EXPECT_EQ(main().PortHandle, -1);
    EXPECT_FALSE(backend.IsOpen(kPort));
}
