// Every notification the device can send arrives unasked on every device
// page, through the line: nothing moves but what that page does with it on
// purpose (refusals are shown; a settings page forgets what the device holds
// when the device confirms a command of its kind that nobody sent).
#include "hardening.h"

#include "platform/windowmessage.h"

#include <functional>
#include <sstream>

using namespace vtrl;
using namespace vtrl::testing;

namespace {

// Counts the notifications that reach a page.
class NotificationCounter : public QObject {
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() >= platform::FirstNotification && e->type() <= platform::LastNotification)
            ++count;
        return false;
    }
};

struct Stray {
    const char* name;
    std::uint8_t type;
    std::vector<std::uint8_t> payload;
};

// A VersionInfo of a device too old for the wizard: taken as an answer, it
// would show the refusal box.
std::vector<std::uint8_t> OldVersion()
{
    std::vector<std::uint8_t> v(102, 0);
    const std::string text = "Vantrel App V1.00";
    std::copy(text.begin(), text.end(), v.begin() + 6);
    return v;
}

std::vector<Stray> Notifications()
{
    return {
        {"ConfirmationSetPortConfig", sim::type::Confirmation, {10}},
        {"ConfirmationSetDeviceConfig", sim::type::Confirmation, {11}},
        {"ConfirmationPing", sim::type::Confirmation, {12}},
        {"ConfirmationUpdateFlash", sim::type::Confirmation, {14}},
        {"BondResultDone", sim::type::BondResult, {0}},
        {"BondResultFailed", sim::type::BondResult, {1}},
        {"ConnectionStatusUp", sim::type::ConnectionStatus, {2}},
        {"ConfigReportForeignSequence", sim::type::ConfigReport, {0xEE, 3, 1, 1, 2, 1, 15, 0}},
        {"VersionInfo", sim::type::VersionInfo, OldVersion()},
        {"NegativeResponseWithReason", sim::type::NegativeResponse, {16, 2}},
        {"NegativeResponseUnknownReason", sim::type::NegativeResponse, {16, 0xFF}},
    };
}

// What a notification may change on a page, all else staying put.
struct Allowed {
    bool box = false;
    const char* control = nullptr;  // whose enabled state the notification may set
};

// A Confirmation no send explains says the device carried out that command:
// the pages of its settings forget what they believed the device holds. The
// state with those pages' confirmed marks taken out.
std::string WithoutForgotten(std::string state, const Stray& stray)
{
    if (stray.type != sim::type::Confirmation)
        return state;
    const std::size_t at = state.find("confirmed ") + 10;
    if (stray.payload[0] == sim::type::SetPortConfig)
        state.replace(at, 2, "--");
    if (stray.payload[0] == sim::type::SetDeviceConfig)
        state.replace(at + 2, 1, "-");
    return state;
}

// The widget lines without those of `control`.
std::string Without(const std::string& widgets, const char* control)
{
    if (!control)
        return widgets;
    std::istringstream in(widgets);
    std::string out, line;
    while (std::getline(in, line))
        if (line.rfind(control, 0) != 0)
            out += line + "\n";
    return out;
}

struct PageState {
    const char* name;
    int choice;  // on the Introduction page
    std::function<bool(HardeningTest&)> reach;
    std::function<Allowed(const Stray&)> allowed;
};

bool IsRefusal(const Stray& s) { return s.type == sim::type::NegativeResponse; }

std::vector<PageState> Pages()
{
    const auto refusalBox = [](const Stray& s) { return Allowed{IsRefusal(s)}; };
    // A refusal also offers Bond again.
    const auto discovery = [](const Stray& s) {
        return Allowed{IsRefusal(s), IsRefusal(s) ? "btnBondSelectedDevice" : nullptr};
    };
    const auto commPort = refusalBox;
    return {
        // The port is open but no step is pending: the attempt timed out.
        {"CommPortTimedOut", 0,
         [](HardeningTest& t) {
             t.device().setSilent(true);
             t.Select(t.port);
             t.ClickSet();
             const bool ended = WaitUntil([&] { return !t.page().tmrHeartbeat.isActive(); });
             t.device().setSilent(false);
             return ended && t.main().PortHandle > 0;
         },
         commPort},
        {"CommPortConnected", 0, [](HardeningTest& t) { return t.Connect(); }, commPort},
        {"LocalPortEntered", 1, [](HardeningTest& t) { return t.ReachLocalPort(); }, refusalBox},
        {"LocalPortConfirmed", 1,
         [](HardeningTest& t) { return t.ReachLocalPort() && t.ConfirmPortPage(*frmConfigLocalPort); }, refusalBox},
        {"RemotePortEntered", 0, [](HardeningTest& t) { return t.ReachRemotePort(); }, refusalBox},
        {"LocalDeviceEntered", 1, [](HardeningTest& t) { return t.ReachLocalDevice(); }, refusalBox},
        {"LocalDeviceConfirmed", 1, [](HardeningTest& t) { return t.ReachLocalDevice() && t.ConfirmLocalDevice(); },
         refusalBox},
        {"FlashEntered", 1, [](HardeningTest& t) { return t.ReachFlash(); }, refusalBox},
        {"DiscoverySearched", 0, [](HardeningTest& t) { return t.ReachDiscovery() && t.Search(); }, discovery},
        {"DiscoveryBonded", 0,
         [](HardeningTest& t) { return t.ReachDiscovery() && t.Search() && t.Bond(QStringLiteral("001BDC0A5678")); },
         discovery},
    };
}

void PrintTo(const PageState& page, std::ostream* os) { *os << page.name; }

}  // namespace

// One page state per case; every notification in turn on it, each judged
// against the state the one before it left.
class StrayAnswer : public HardeningTest, public ::testing::WithParamInterface<PageState> {};

TEST_P(StrayAnswer, MovesNothingButWhatThePageDoesWithItOnPurpose)
{
    const PageState& page = GetParam();
    sim::Simulator& device = AddVanishingDevice();
    OpenPage(page.choice ? kSpp : kCable);
    ASSERT_TRUE(page.reach(*this));
    // Whatever the page still runs (a heartbeat, a repeating timer) settles first.
    ASSERT_TRUE(WaitUntil([&] { return device.waitIdle(sim::Millis(0)) && main().ReceiverState() == 0; }));

    for (const Stray& stray : Notifications()) {
        SCOPED_TRACE(stray.name);
        const Fingerprint before = Take();
        NotificationCounter counter;
        main().NotifyWindow()->installEventFilter(&counter);
        device.sendUnasked(stray.type, stray.payload);
        // Counted as it reaches the page; handled before the wait returns.
        ASSERT_TRUE(WaitUntil([&] { return counter.count == 1; }));
        main().NotifyWindow()->removeEventFilter(&counter);
        Fingerprint after = Take();

        const Allowed allowed = page.allowed(stray);
        EXPECT_EQ(after.boxes, before.boxes + (allowed.box ? 1 : 0));
        EXPECT_EQ(after.shown, before.shown);
        // A page that forgot shows it: the change is to be sent again.
        const bool forgot = WithoutForgotten(after.state, stray) != after.state
            && after.state != before.state;
        if (!forgot) {
            EXPECT_EQ(Without(after.widgets, allowed.control), Without(before.widgets, allowed.control));
        }
        EXPECT_EQ(WithoutForgotten(after.state, stray), WithoutForgotten(before.state, stray));
        EXPECT_EQ(after.configs, before.configs);
        EXPECT_EQ(after.localVersion, before.localVersion);
        EXPECT_EQ(after.remoteVersion, before.remoteVersion);
        EXPECT_EQ(after.localAddress, before.localAddress);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPage, StrayAnswer, ::testing::ValuesIn(Pages()),
                         [](const ::testing::TestParamInfo<PageState>& info) { return std::string(info.param.name); });
