// The model's three tables: what the operator can do, what the device does
// with a command, and what must hold whatever both did.
#include "line_watch.h"
#include "world.h"

#include "demo/hands.h"
#include "pages/localdevicesettings.h"
#include "shell/deviceaddress.h"
#include "sim/device.h"
#include "sim/wire.h"

#include <QTest>

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

namespace vtrl::model {

namespace {

using Args = std::vector<int>;
using sim::CommandFault;

bool Usable(const QWidget& w) { return w.isEnabled() && w.isVisible(); }
TfrmConfigPort* PortPage(World& w)
{
    if (auto* p = w.Shown(frmConfigLocalPort))
        return p;
    return w.Shown(frmConfigRemotePort);
}
QComboBox& PortList(TfrmConfigPort& p, int which)
{
    std::array<QComboBox*, 5> lists{&p.cboBaudRate, &p.cboDataBits, &p.cboParity, &p.cboStopBits, &p.cboFlowControl};
    return *lists[static_cast<std::size_t>(which) % lists.size()];
}
QAbstractButton* Button(World& w, QAbstractButton* commPort, QAbstractButton* devDisc = nullptr)
{
    TWizardChildForm* shown = w.main.ShownPage();
    if (shown == frmCommPortSel)
        return commPort;
    if (shown == frmDevDisc)
        return devDisc;
    return nullptr;
}
bool Clickable(QAbstractButton* b) { return b && Usable(*b); }

// Now and then text the device's fields cannot carry: the page must not
// claim it reached the device.
const char* const kNames[] = {"Vantrel/S Bay 2", "Vantrel/S Loading Bay North 22", "", "Pump 7 spare unit, Loading Bay East",
                              "Łódź Pompa"};
const char* const kPins[] = {"1234", "135792468013579", "", "0000", "12€4"};
constexpr int kTexts = static_cast<int>(std::size(kNames));

QString Utf8(const char* text) { return QString::fromUtf8(text); }

// ---- the operator's hands, and the device's own doings ------------------

const std::vector<ActionRow> kActions = {
    // COM port page.
    {"SetCom", 8, true,
     [](World& w) {
         // The button comes on once a port is picked.
         return Clickable(Button(w, &frmCommPortSel->btnSetCommPortSel))
             || (w.Shown(frmCommPortSel) && Usable(frmCommPortSel->cboCommPort) && frmCommPortSel->cboCommPort.currentIndex() < 0);
     },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) {
         TfrmCommPortSel& p = *frmCommPortSel;
         for (int i = 0; i < p.cboCommPort.count(); ++i)
             if (TfrmCommPortSel::PortNumberOfItem(p.cboCommPort.itemText(i)) == w.port && Usable(p.cboCommPort))
                 demo::Pick(p.cboCommPort, i);
         if (Usable(p.btnSetCommPortSel))
             demo::Click(p.btnSetCommPortSel);
     }},
    {"AutoDetect", 2, true,
     [](World& w) { return Clickable(Button(w, &frmCommPortSel->btnAutoDetect)); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmCommPortSel->btnAutoDetect); }},
    {"VerInfo", 1, true,
     [](World& w) { return Clickable(Button(w, &frmCommPortSel->bGetVersion, &frmDevDisc->bGetVersion)); },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) { demo::Click(*Button(w, &frmCommPortSel->bGetVersion, &frmDevDisc->bGetVersion)); }},
    // Discovery page.
    {"Search", 4, true,
     [](World& w) { return Clickable(Button(w, nullptr, &frmDevDisc->btnSearchDevices)); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmDevDisc->btnSearchDevices); }},
    {"Select", 6, false,
     [](World& w) { return w.Shown(frmDevDisc) && Usable(frmDevDisc->lstDeviceList) && frmDevDisc->lstDeviceList.topLevelItemCount() > 0; },
     [](World&, Rng& r) { return Args{r.Below(4)}; },
     [](World&, const Args& a) {
         QTreeWidget& list = frmDevDisc->lstDeviceList;
         demo::SelectItem(list, list.topLevelItem(a[0] % list.topLevelItemCount())->text(0));
     }},
    {"Bond", 6, true,
     [](World& w) { return Clickable(Button(w, nullptr, &frmDevDisc->btnBondSelectedDevice)); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmDevDisc->btnBondSelectedDevice); }},
    {"Ping", 2, true,
     [](World& w) { return Clickable(Button(w, nullptr, &frmDevDisc->btnPingSelectedDevice)); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmDevDisc->btnPingSelectedDevice); }},
    {"ClearList", 1, true,
     [](World& w) { return Clickable(Button(w, nullptr, &frmDevDisc->btnClearList)); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmDevDisc->btnClearList); }},
    // Port settings pages.
    {"Pick", 5, true,
     [](World& w) { auto* p = PortPage(w); return p && Usable(p->cboBaudRate); },
     [](World& w, Rng& r) {
         const int which = r.Below(5);
         return Args{which, r.Below(PortList(*PortPage(w), which).count())};
     },
     [](World& w, const Args& a) {
         QComboBox& list = PortList(*PortPage(w), a[0]);
         if (Usable(list))
             demo::Pick(list, a[1] % std::max(1, list.count()));
     }},
    {"DCE", 2, true,
     [](World& w) { auto* p = PortPage(w); return p && Usable(p->chkDCE); },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) { demo::Click(PortPage(w)->chkDCE); }},
    {"PortAdvanced", 2, true,
     [](World& w) { auto* p = PortPage(w); return p && Usable(p->bAdvanced); },
     [](World&, Rng& r) { return Args{r.Below(2), r.Below(8), r.Below(2)}; },
     [](World& w, const Args& a) {
         const demo::AdvancedAnswer answer(a[0] != 0, [a](TfAdvanced& d) {
             if (d.cbPowerLevel.count() > 0)
                 d.cbPowerLevel.setCurrentIndex(a[1] % d.cbPowerLevel.count());
             if (d.cbOutOnCD.isEnabled())
                 d.cbOutOnCD.setChecked(a[2] != 0);
         });
         demo::Click(PortPage(w)->bAdvanced);
     }},
    {"Set", 10, true,
     [](World& w) {
         if (auto* p = PortPage(w))
             return Usable(p->btnSet);
         return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->btnSetLocalDeviceConfig);
     },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) {
         if (auto* p = PortPage(w))
             demo::Click(p->btnSet);
         else
             demo::Click(frmConfigLocalDevice->btnSetLocalDeviceConfig);
     }},
    // Local device page.
    {"Name", 2, true,
     [](World& w) { return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->ebDeviceName); },
     [](World&, Rng& r) { return Args{r.Below(kTexts)}; },
     [](World&, const Args& a) { demo::Type(frmConfigLocalDevice->ebDeviceName, Utf8(kNames[a[0] % kTexts])); }},
    {"Pin", 1, true,
     [](World& w) { return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->ebPinCode); },
     [](World&, Rng& r) { return Args{r.Below(kTexts)}; },
     [](World&, const Args& a) { demo::Type(frmConfigLocalDevice->ebPinCode, Utf8(kPins[a[0] % kTexts])); }},
    {"Auth", 1, true,
     [](World& w) { return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->cbAuthentication); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmConfigLocalDevice->cbAuthentication); }},
    {"Enc", 1, true,
     [](World& w) { return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->cbEncryption); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmConfigLocalDevice->cbEncryption); }},
    {"DeviceAdvanced", 2, true,
     [](World& w) { return w.Shown(frmConfigLocalDevice) && Usable(frmConfigLocalDevice->bAdvanced); },
     [](World&, Rng& r) { return Args{r.Below(2), r.Below(41), r.Below(2)}; },
     [](World&, const Args& a) {
         const demo::AdvancedAnswer answer(a[0] != 0, [a](TfAdvanced& d) {
             d.seLinkTimeout.setValue(a[1]);
             if (d.cbLKInit.isEnabled() && d.cbLKInit.isVisible())
                 d.cbLKInit.setChecked(a[2] != 0);
         });
         demo::Click(frmConfigLocalDevice->bAdvanced);
     }},
    // Save page.
    {"Save", 10, true,
     [](World& w) { return w.Shown(frmFlashUpdate) && Usable(frmFlashUpdate->btnSave); },
     [](World&, Rng&) { return Args{}; },
     [](World&, const Args&) { demo::Click(frmFlashUpdate->btnSave); }},
    // The frame's buttons.
    {"Back", 2, true,
     [](World& w) { return Usable(w.main.btnBack) && w.main.ShownPage() != frmCommPortSel; },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) { demo::Click(w.main.btnBack); }},
    {"Next", 20, true,
     [](World& w) { return Usable(w.main.btnNext); },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) {
         TWizardChildForm* before = w.main.ShownPage();
         std::optional<PortFields> port;
         std::optional<DeviceFields> device;
         if (auto* p = PortPage(w))
             port = PortShown(*p);
         if (auto* p = w.Shown(frmConfigLocalDevice))
             device = DeviceShown(*p);
         demo::Click(w.main.btnNext);
         if (w.main.ShownPage() != before && (port || device)) {
             w.leftByNext = before;
             w.leftPort = port;
             w.leftDevice = device;
         }
     }},
    {"CancelNo", 1, false,
     [](World& w) { return Usable(w.main.btnCancel); },
     [](World&, Rng&) { return Args{}; },
     [](World& w, const Args&) { demo::Click(w.main.btnCancel); }},
    // Waiting: from a glance to past the latest a late answer comes.
    {"Wait", 6, false,
     [](World&) { return true; },
     [](World& w, Rng& r) {
         const int longest = LongestTimeout(w.main.ShownPage());
         const int choices[] = {1, 1, 1, 5, 5, 5, longest / 2, longest / 2, longest + 5, 2 * longest + 10,
                                4 * longest + 5, kLateBound * longest + 10};
         return Args{choices[r.Below(static_cast<int>(std::size(choices)))]};
     },
     [](World& w, const Args& a) { w.Pump(a[0]); }},
    // The device on its own: the line drops and comes back; frames nobody
    // asked for, of kinds a device sends by itself or that carry their own
    // correlation.
    {"HangUp", 1, false,
     [](World& w) { return w.lineDrops; },
     [](World&, Rng& r) { return Args{r.Below(3 * kTimers.heartbeat)}; },
     [](World& w, const Args& a) {
         w.device.hangUp();
         w.Pump(a[0]);
         w.device.comeBack();
     }},
    {"Unasked", 1, false,
     [](World& w) { return w.chatty; },
     [](World&, Rng& r) { return Args{r.Below(5), r.Below(256)}; },
     [](World& w, const Args& a) {
         const auto v = static_cast<std::uint8_t>(a[1]);
         switch (a[0]) {
         case 0: w.device.sendUnasked(sim::type::ConnectionStatus, {static_cast<std::uint8_t>(v % 4)}); break;
         case 1:
         case 2:
             // Only outside an inquiry: inside one, no wizard can tell them
             // from the inquiry's own.
             if (frmDevDisc->PendingStep() == TfrmDevDisc::Step::Inquiry || frmDevDisc->tmrInquiry.isActive())
                 break;
             if (a[0] == 1)
                 w.device.sendUnasked(sim::type::InquiryResult, sim::inquiryFlood(2, 4)[v % 4]);
             else
                 w.device.sendUnasked(sim::type::InquiryComplete, {});
             break;
         case 3:
             // Only while nothing waits for an answer: a refusal names no send.
             // Only while nothing waits for an answer, and the operator keeps
             // still until it is in: one that crosses a command on the line
             // is that command's refusal to any wizard.
             if (w.main.Ledger().Size() == 0 && w.device.answersPending() == 0) {
                 w.device.sendUnasked(sim::type::NegativeResponse, {v, static_cast<std::uint8_t>(v % 5)});
                 const auto until = Clock::now() + Millis(50);
                 while (w.device.answersPending() > 0 && Clock::now() < until && w.Pump(1))
                     ;
                 w.Pump(3);
             }
             break;
         default: {
             // A sequence number no GetConfig carried.
             std::vector<bool> used(256);
             for (const auto& f : w.device.received())
                 if (f.type == sim::type::GetConfig)
                     used[f.seq] = true;
             std::uint8_t seq = v;
             while (used[seq])
                 ++seq;
             if (used[seq])
                 break;
             std::vector<std::uint8_t> p{seq};
             const auto block = sim::encodeParameterBlock(*w.device.workingConfig({}));
             p.insert(p.end(), block.begin(), block.end());
             w.device.sendUnasked(sim::type::ConfigReport, std::move(p));
         }
         }
     }},
};

// ---- what the device does with one command ------------------------------

// How late: mostly within one and a half time-outs, now and then far past
// them, never more than kLateBound time-outs after the device received the
// command (its own millisecond included). A wizard keeps a send it gave up
// on as a possible owner of answers for twelve time-outs: the last two are
// left to the line and a loaded machine.
Millis Lateness(Rng& r, int timeout)
{
    if (r.Chance(75))
        return Millis(1 + r.Below(timeout + timeout / 2));
    const int from = timeout + timeout / 2;
    return Millis(from + r.Below(kLateBound * timeout - from - 1));
}

const std::vector<BehaviourRow> kBehaviours = {
    {"at once", 70, [](Rng&, int) { return CommandFault{}; }},
    {"late", 10,
     [](Rng& r, int timeout) {
         CommandFault f{CommandFault::Kind::Late};
         f.lateBy = Lateness(r, timeout);
         return f;
     }},
    {"never (lost on the way in)", 4, [](Rng&, int) { return CommandFault{CommandFault::Kind::Drop}; }},
    {"never (answer lost)", 4, [](Rng&, int) { return CommandFault{CommandFault::Kind::Mute}; }},
    {"twice", 6, [](Rng&, int) { return CommandFault{CommandFault::Kind::Twice}; }},
    {"refused", 6,
     [](Rng& r, int timeout) {
         CommandFault f{CommandFault::Kind::Refuse};
         f.reason = static_cast<std::uint8_t>(r.Below(5));
         f.refusalByte0 = static_cast<std::uint8_t>(r.Below(256));  // undefined: anything
         if (r.Chance(30))
             f.lateBy = Lateness(r, timeout);
         return f;
     }},
};

// ---- the oracle ----------------------------------------------------------

std::string Mismatch(const std::string& what, const std::string& claimed, const std::string& held)
{
    return what + ": the page has " + claimed + ", the device holds " + held;
}

// Where a page stands in the walk: a page's claim is relied on from there on.
int Rank(TWizardChildForm* page)
{
    if (page == frmDevDisc)
        return 1;
    if (page == frmConfigLocalPort)
        return 2;
    if (page == frmConfigRemotePort || page == frmConfigLocalDevice)
        return 3;
    if (page == frmFlashUpdate)
        return 4;
    if (page == frmFinish)
        return 5;
    return 0;
}

std::string Unit(const DeviceAddress& a) { return FormatDeviceAddress(a).toStdString(); }

const std::vector<OracleRow> kOracle = {
    {"confirmed means held",
     [](World& w) -> std::string {
         // A confirmed page's record is what the device it names runs now,
         // while the wizard relies on it: from that page on.
         const int shown = Rank(w.main.ShownPage());
         const auto local = w.device.workingConfig({});
         if (frmConfigLocalPort->ConfigConfirmed && shown >= Rank(frmConfigLocalPort)
             && PortOf(w.main.LocalConfig) != PortOf(*local))
             return Mismatch("local port page confirmed", PortOf(w.main.LocalConfig).Text(), PortOf(*local).Text());
         if (frmConfigLocalDevice->ConfigConfirmed && shown >= Rank(frmConfigLocalDevice)
             && DeviceOf(w.main.LocalConfig) != DeviceOf(*local))
             return Mismatch("local device page confirmed", DeviceOf(w.main.LocalConfig).Text(),
                             DeviceOf(*local).Text());
         // Next open on the local device page says the device holds what the
         // page shows, as text: a name it cannot carry is not held.
         const auto* devicePage = w.Shown(frmConfigLocalDevice);
         if (devicePage && Usable(w.main.btnNext) && DeviceShown(*devicePage) != DeviceOf(*local))
             return Mismatch("local device page lets Next through", DeviceShown(*devicePage).Text(),
                             DeviceOf(*local).Text());
         // (Bonded without a unit is no claim: Next stays shut.)
         if (frmDevDisc->Bonded && frmDevDisc->PendingStep() == TfrmDevDisc::Step::None && shown >= Rank(frmDevDisc)
             && frmDevDisc->BondTargetAddress != DeviceAddress{} && local->bondedAddress != frmDevDisc->BondTargetAddress)
             return "the discovery page shows a bond with " + Unit(frmDevDisc->BondTargetAddress)
                 + ", the device is bonded to " + Unit(local->bondedAddress);
         if (frmConfigRemotePort->ConfigConfirmed && shown >= Rank(frmConfigRemotePort)) {
             const DeviceAddress unit = frmDevDisc->BondTargetAddress;
             const auto remote = w.device.workingConfig(unit);
             if (!remote)
                 return "remote port page confirmed for " + Unit(unit) + ", which is no remote unit";
             if (PortOf(w.main.RemoteConfig) != PortOf(*remote))
                 return Mismatch("remote port page confirmed for " + Unit(unit), PortOf(w.main.RemoteConfig).Text(),
                                 PortOf(*remote).Text());
         }
         return {};
     }},
    {"Next only when held",
     [](World& w) -> std::string {
         if (!w.leftByNext)
             return {};
         TWizardChildForm* page = std::exchange(w.leftByNext, nullptr);
         const bool remote = page == frmConfigRemotePort;
         const DeviceAddress unit = remote ? frmDevDisc->BondTargetAddress : DeviceAddress{};
         const auto held = w.device.workingConfig(unit);
         if (!held)
             return "Next passed the remote port page for " + Unit(unit) + ", which is no remote unit";
         const std::string what = "Next passed " + page->Caption().toStdString();
         if (w.leftPort && *w.leftPort != PortOf(*held))
             return Mismatch(what, w.leftPort->Text(), PortOf(*held).Text());
         if (w.leftDevice && *w.leftDevice != DeviceOf(*held))
             return Mismatch(what, w.leftDevice->Text(), DeviceOf(*held).Text());
         return {};
     }},
    {"saved means in flash",
     [](World& w) -> std::string {
         if (w.savedClaims == 0)
             return {};
         w.savedClaims = 0;
         const auto flash = w.device.flashConfig({});
         if (PortOf(*flash) != PortOf(w.main.LocalConfig))
             return Mismatch("saved: local port", PortOf(w.main.LocalConfig).Text(), PortOf(*flash).Text() + " in flash");
         if (w.function == 2 && DeviceOf(*flash) != DeviceOf(w.main.LocalConfig))
             return Mismatch("saved: local device", DeviceOf(w.main.LocalConfig).Text(),
                             DeviceOf(*flash).Text() + " in flash");
         if (w.function == 1) {
             const DeviceAddress unit = frmDevDisc->BondTargetAddress;
             const auto remote = w.device.flashConfig(unit);
             if (!remote)
                 return "saved with " + Unit(unit) + " as the remote, which is no remote unit";
             if (PortOf(*remote) != PortOf(w.main.RemoteConfig))
                 return Mismatch("saved: remote port of " + Unit(unit), PortOf(w.main.RemoteConfig).Text(),
                                 PortOf(*remote).Text() + " in flash");
         }
         return {};
     }},
    {"remote commands go to the bonded unit",
     [](World& w) -> std::string {
         if (w.device.receivedCount() == w.framesSeen)
             return {};
         const auto frames = w.device.received();
         // The unit the attached device is bonded to, now or at the last look.
         const DeviceAddress bond = w.device.workingConfig({})->bondedAddress;
         TWizardChildForm* page = w.main.ShownPage();
         // A command counts as the discovery or remote page's when that page
         // was on show before it came and still is. A local page reads back
         // what its device holds after an answer it cannot place, wherever
         // the wizard is: a GetConfig to address zero is the discovery
         // page's only while its chain reads.
         const auto onShow = [&](TWizardChildForm* p) { return page == p && w.pageBefore == p; };
         const auto chainReads = [] {
             const auto step = frmDevDisc->PendingStep();
             return step == TfrmDevDisc::Step::Version || step == TfrmDevDisc::Step::Config;
         };
         std::string out;
         for (std::size_t i = w.framesSeen; i < frames.size() && out.empty(); ++i) {
             const sim::ReceivedFrame& f = frames[i];
             const bool addressed = f.type == sim::type::GetVersion || f.type == sim::type::GetConfig
                 || f.type == sim::type::SetPortConfig;
             if (!addressed || f.payload.size() < 6)
                 continue;
             DeviceAddress a{};
             std::copy_n(f.payload.begin(), 6, a.begin());
             const std::string kind = f.type == sim::type::SetPortConfig ? "SetPortConfig"
                 : f.type == sim::type::GetConfig                     ? "GetConfig"
                                                                      : "GetVersion";
             if (a != DeviceAddress{} && a != bond && a != w.bondBefore)
                 out = kind + " to " + Unit(a) + " while the device is bonded to " + Unit(bond);
             else if (a == DeviceAddress{}
                      && (f.type == sim::type::SetPortConfig ? onShow(frmConfigRemotePort)
                                                             : onShow(frmDevDisc) && (f.type == sim::type::GetVersion || chainReads())))
                 out = kind + " to address zero from " + page->Caption().toStdString();
         }
         w.framesSeen = frames.size();
         return out;
     }},
    {"on from discovery only with an accepted remote read",
     [](World& w) -> std::string {
         // Past the discovery page the wizard configures the unit the device
         // is bonded to: one whose application it accepts (V2.09 or later)
         // and whose configuration it read. A read before a later bonding to
         // the same unit still tells what that unit holds.
         if (w.pageBefore != frmDevDisc || Rank(w.main.ShownPage()) <= Rank(frmDevDisc))
             return {};
         const DeviceAddress bond = w.device.workingConfig({})->bondedAddress;
         const std::string went = "went on from the discovery page bonded to " + Unit(bond);
         std::optional<std::string> version;
         for (const sim::DeviceProfile& r : w.device.remotes())
             if (r.address == bond)
                 version = r.appVersion;
         if (!version)
             return went + ", which is no remote unit";
         const std::string& t = *version;
         const auto digit = [&](std::size_t i) { return i < t.size() && t[i] >= '0' && t[i] <= '9' ? t[i] - '0' : -1; };
         if (digit(13) < 0 || digit(15) < 0 || digit(16) < 0 || digit(13) * 100 + digit(15) * 10 + digit(16) < 209)
             return went + ", whose application \"" + t + "\" the wizard does not accept";
         if (w.line->ConfigRead(bond))
             return {};
         return went + ", whose configuration it never read";
     }},
    {"a way on",
     [](World& w) -> std::string {
         // Within the longest time-out of the page, Back or some control
         // leads on: after a wizard's own time-out it may wait out a send
         // given up on for as long as that send's answer may still come
         // (twelve time-outs), and a loaded machine needs some more.
         const auto now = Clock::now();
         // On the Finish page its button is the way on.
         const bool finishing = w.main.ShownPage() == frmFinish && w.main.btnFinish.isVisible()
             && w.main.btnFinish.isEnabled();
         const auto& rows = ActionTable();
         const auto leadsOn = [&](const ActionRow& row) { return row.leadsOn && row.possible(w); };
         if (finishing || std::any_of(rows.begin(), rows.end(), leadsOn)) {
             w.wayOnSince = now;
             return {};
         }
         const int bound = (kLateBound + 3) * LongestTimeout(w.main.ShownPage()) + 500;
         if (now - w.wayOnSince > Millis(bound))
             return "no way on from " + w.main.ShownPage()->Caption().toStdString() + " for " + std::to_string(bound)
                 + " ms: only Cancel";
         return {};
     }},
};

std::string Join(std::initializer_list<std::pair<const char*, int>> parts)
{
    std::ostringstream s;
    for (const auto& [name, value] : parts)
        s << name << value << ' ';
    std::string out = s.str();
    if (!out.empty())
        out.pop_back();
    return out;
}

std::string Text(const std::array<std::uint8_t, 30>& name)
{
    return std::string(reinterpret_cast<const char*>(name.data()), strnlen(reinterpret_cast<const char*>(name.data()), 29));
}
std::string Pin(const std::array<std::uint8_t, 16>& pin)
{
    return std::string(reinterpret_cast<const char*>(pin.data()), strnlen(reinterpret_cast<const char*>(pin.data()), 15));
}

}  // namespace

const std::vector<ActionRow>& ActionTable() { return kActions; }
const std::vector<BehaviourRow>& BehaviourTable() { return kBehaviours; }
const std::vector<OracleRow>& OracleTable() { return kOracle; }

std::string PortFields::Text() const
{
    return Join({{"baud ", baud}, {"data ", dataBits}, {"parity ", parity}, {"stop ", stopBits}, {"flow ", flow},
                 {"interface ", interface}, {"power ", power}, {"cd ", cd}});
}

std::string DeviceFields::Text() const
{
    return "name \"" + name + "\" pin \"" + pin + "\" "
        + Join({{"link time-out ", linkTimeout}, {"authentication ", authentication}, {"encryption ", encryption}});
}

PortFields PortOf(const sim::DeviceConfig& c)
{
    return {c.baudCode, c.dataBitsCode, c.parityCode, c.stopBitsCode, c.flowControlCode, c.interfaceCode, c.powerByte,
            c.outputOnCD};
}
PortFields PortOf(const protocol::DeviceConfig& c)
{
    return {c.BaudCode, c.DataBitsCode, c.ParityCode, c.StopBitsCode, c.FlowControlCode, c.InterfaceCode, c.PowerByte,
            c.OutputOnCD};
}
PortFields PortShown(const TfrmConfigPort& p)
{
    return {p.cboBaudRate.currentIndex() + 1,
            p.cboDataBits.currentIndex() + 1,
            p.cboParity.currentIndex() + 1,
            p.cboStopBits.currentIndex() + 1,
            p.cboFlowControl.currentIndex() + 1,
            p.chkDCE.isChecked() ? 2 : 1,
            p.PendingPortSettings.PowerByte(),
            p.PendingPortSettings.OutputOnCD};
}
// Names and PINs as text (UTF-8 here): the device's bytes read as Latin-1,
// the page's as the operator sees them.
std::string AsText(const std::string& latin1) { return QString::fromLatin1(latin1.data(), static_cast<qsizetype>(latin1.size())).toStdString(); }

DeviceFields DeviceOf(const sim::DeviceConfig& c)
{
    return {AsText(c.name()), AsText(c.pin()), c.linkTimeout, c.authentication, c.encryption};
}
DeviceFields DeviceOf(const protocol::DeviceConfig& c)
{
    return {AsText(Text(c.DeviceName)), AsText(Pin(c.PinCode)), c.LinkTimeout, c.Authentication, c.Encryption};
}
DeviceFields DeviceShown(const TfrmConfigLocalDevice& p)
{
    return {p.ebDeviceName.text().left(29).toStdString(), p.ebPinCode.text().left(15).toStdString(), p.PendingLinkTimeout,
            p.cbAuthentication.isChecked() ? 1 : 0, p.cbEncryption.isChecked() ? 1 : 0};
}

const char* DeviceModelName(sim::AnswerOrder order)
{
    switch (order) {
    case sim::AnswerOrder::InOrder: return "answers in order, however late";
    case sim::AnswerOrder::Busy: return "refuses a new command as busy while an answer is late";
    case sim::AnswerOrder::Overtaking: return "lets quick answers overtake a late one";
    }
    return "?";
}

int LongestTimeout(TWizardChildForm* page)
{
    if (page == frmCommPortSel)
        return 3 * kTimers.heartbeat;  // address, version, configuration
    if (page == frmDevDisc)
        return std::max(kTimers.inquiry, 5 * kTimers.bond);  // bond, connection, version, configuration
    if (page == frmConfigLocalPort || page == frmConfigRemotePort)
        return kTimers.portConfig;
    if (page == frmConfigLocalDevice)
        return kTimers.deviceTick;
    if (page == frmFlashUpdate)
        return kTimers.flash;
    return kTimers.heartbeat;
}

int TimeoutOf(const sim::ReceivedFrame& c)
{
    const bool remote = c.payload.size() >= 6 && std::any_of(c.payload.begin(), c.payload.begin() + 6, [](auto b) { return b != 0; });
    switch (c.type) {
    case sim::type::InitiateInquiry: return kTimers.inquiry;
    case sim::type::InitiateBonding:
    case sim::type::PingRequest: return kTimers.bond;
    case sim::type::GetVersion:
    case sim::type::GetConfig: return remote ? kTimers.bond : kTimers.heartbeat;
    case sim::type::SetPortConfig: return kTimers.portConfig;
    case sim::type::SetDeviceConfig: return kTimers.deviceTick;
    case sim::type::UpdateFlash: return kTimers.flash;
    default: return kTimers.heartbeat;
    }
}

}  // namespace vtrl::model
