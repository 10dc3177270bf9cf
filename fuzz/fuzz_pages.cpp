// Received bytes -> PacketReceiver -> DeliverPacket -> the notification
// posted to a page, as the main window's link posts it -> the page's handlers
// and the texts it shows. The first input byte picks the page and the step it
// waits for; the rest is what arrives on the line.
//
// Checked: no crash or sanitizer report; a page takes a configuration only
// from a ConfigReport, settings only from a Confirmation, and the save page
// reports "saved" only on one; the COM port page's configuration lines are
// whole.
//
// The main window holds a real port, a pseudo-terminal whose other end takes
// what the pages write and is emptied after every input.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <QApplication>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "fuzz/fuzz_check.h"
#include "pages/wizard.h"
#include "platform/messagebox.h"
#include "platform/windowmessage.h"
#include "protocol/delivery.h"
#include "protocol/packet.h"
#include "protocol/params.h"
#include "serial/portnames.h"

namespace {

using namespace vtrl;
using namespace vtrl::protocol;

// One page as the target of notifications: put it in a waiting state chosen
// by `mode`, and check what it shows afterwards.
struct PageRow {
    std::function<QWidget*()> page;
    std::function<void(TfrmMain&, std::uint8_t mode)> arm;
    std::function<void(TfrmMain&, int configReports, int confirmations)> check;
};

std::vector<std::uint8_t> Bytes(const DeviceConfig& c) {
    std::vector<std::uint8_t> out;
    for (const ParameterDescriptor* row = &c == &LocalConfig ? LocalDescriptors() : RemoteDescriptors(); row->tag;
         ++row)
        out.insert(out.end(), row->field, row->field + row->width);
    return out;
}

// A port settings page, freshly entered, with a SetPortConfig awaiting its
// answer when `mode` says so.
template <typename Page>
PageRow PortRow(Page*& form, DeviceConfig& record) {
    static std::vector<std::uint8_t> armed;
    return {
        [&form] { return static_cast<QWidget*>(form); },
        [&form, &record](TfrmMain& main, std::uint8_t mode) {
            form->PageLeaving(&main.btnBack);  // ends a wait left by the last input
            form->PageEntered(main);
            if (mode & 1) {
                form->cboBaudRate.setCurrentIndex((mode >> 1) % form->cboBaudRate.count());
                form->btnSet.click();  // sends only after an edit
            }
            armed = Bytes(record);
        },
        [&record](TfrmMain&, int, int confirmations) {
            if (confirmations == 0) FUZZ_CHECK(Bytes(record) == armed);
        },
    };
}

bool Untouched(const DeviceConfig& c) {
    return c.BaudCode == 0 && c.DeviceFunction == 0 && c.DeviceName[0] == 0 && c.PowerByte == 0 && c.LinkTimeout == 0;
}

std::vector<PageRow> Rows() {
    std::vector<PageRow> rows;
    rows.push_back({
        [] { return static_cast<QWidget*>(frmCommPortSel); },
        [](TfrmMain& main, std::uint8_t mode) {
            TfrmCommPortSel& p = *frmCommPortSel;
            p.PageLeaving(&main.btnBack);  // ends a step left by the last input
            p.PageEntered(main);
            p.Connected = false;
            p.ConfigurationShown = false;
            if (mode & 1) p.StartConnectionSequence();
        },
        [](TfrmMain& main, int configReports, int) {
            TfrmCommPortSel& p = *frmCommPortSel;
            if (configReports == 0) FUZZ_CHECK(Untouched(main.LocalConfig));
            if (p.ConfigurationShown) {
                FUZZ_CHECK(p.lblFormat.text().startsWith(QStringLiteral("Data Format  : ")));
                FUZZ_CHECK(p.lblFlowControl.text().startsWith(QStringLiteral("Flow Control  : ")));
                FUZZ_CHECK(p.lblDeviceType.text().startsWith(QStringLiteral("Device Type : ")));
                FUZZ_CHECK(p.lbPowerClass.text().startsWith(QStringLiteral("Power Class: ")));
            }
        },
    });
    rows.push_back(PortRow(frmConfigLocalPort, LocalConfig));
    rows.push_back(PortRow(frmConfigRemotePort, RemoteConfig));
    // The discovery page searching (even modes) or bonding with the unit the
    // local device names (odd modes): the chain runs on as answers arrive.
    static std::vector<std::uint8_t> remoteArmed;
    rows.push_back({
        [] { return static_cast<QWidget*>(frmDevDisc); },
        [](TfrmMain& main, std::uint8_t mode) {
            TfrmDevDisc& p = *frmDevDisc;
            if (p.PendingStep() != TfrmDevDisc::Step::None) p.tmrBondTimer();
            p.PageLeaving(&main.btnBack);
            p.btnClearListClick();  // the list must not grow from input to input
            p.Bonded = false;
            p.BondTargetAddress = {};
            main.LocalConfig.BondedAddress = {mode, 0x12, 0x0A, 0xDC, 0x1B, 0x00};
            p.PageEntered(main);
            if (mode & 1) {
                p.lstDeviceList.topLevelItem(0)->setSelected(true);
                p.btnBondSelectedDeviceClick();
            } else {
                p.btnSearchDevicesClick();
            }
            remoteArmed = Bytes(RemoteConfig);
        },
        [](TfrmMain&, int configReports, int) {
            TfrmDevDisc& p = *frmDevDisc;
            if (configReports == 0) FUZZ_CHECK(Bytes(RemoteConfig) == remoteArmed);
            const QStringList items = p.ItemAddresses();
            FUZZ_CHECK(QSet<QString>(items.begin(), items.end()).size() == items.size());  // each unit once
        },
    });
    // The local device page freshly entered, or with a SetDeviceConfig out.
    static std::vector<std::uint8_t> deviceArmed;
    rows.push_back({
        [] { return static_cast<QWidget*>(frmConfigLocalDevice); },
        [](TfrmMain& main, std::uint8_t mode) {
            TfrmConfigLocalDevice& p = *frmConfigLocalDevice;
            p.PageLeaving(&main.btnBack);
            p.PageEntered(main);
            if (mode & 1) {
                p.ebDeviceName.setText(QStringLiteral("Unit %1").arg(mode));
                p.btnSetLocalDeviceConfigClick();
            }
            deviceArmed = Bytes(LocalConfig);
        },
        [](TfrmMain&, int, int confirmations) {
            if (confirmations == 0) FUZZ_CHECK(Bytes(LocalConfig) == deviceArmed);
        },
    });
    // The save page freshly entered, or with an UpdateFlash out. A save
    // confirmed by an earlier input stays saved; only a Confirmation may make
    // an unsaved page saved.
    static bool savedBefore = false;
    rows.push_back({
        [] { return static_cast<QWidget*>(frmFlashUpdate); },
        [](TfrmMain& main, std::uint8_t mode) {
            TfrmFlashUpdate& p = *frmFlashUpdate;
            p.PageLeaving(&main.btnBack);
            p.PageEntered(main);
            if (mode & 1) p.btnSaveClick();
            savedBefore = p.FlashSaved;
        },
        [](TfrmMain&, int, int confirmations) {
            if (confirmations == 0) FUZZ_CHECK(savedBefore || !frmFlashUpdate->FlashSaved);
        },
    });
    return rows;
}

struct World {
    World() : app(argc, argv) {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        FUZZ_CHECK(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        const int port = static_cast<int>(serial::RegisterPortPath(::ptsname(master)));
        FUZZ_CHECK(wizard.main().OpenPort(port) == 0);
    }
    // What the pages wrote is not looked at; it must not fill the line.
    void Drain() const {
        std::uint8_t sink[4096];
        while (::read(master, sink, sizeof sink) > 0) {
        }
    }
    int master = -1;
    int argc = 1;
    char name[16] = "fuzz_pages";
    char* argv[2] = {name, nullptr};
    QApplication app;
    platform::ScriptedMessageBoxes boxes;
    Wizard wizard;
    std::vector<PageRow> rows = Rows();
};

World& TheWorld() {
    // Never destroyed: the fuzzer may exit from anywhere, and Qt objects
    // must not outlive the application object at exit.
    static World* world = [] {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        return new World;
    }();
    return *world;
}

// Hands each notification on as the main window's link does, and has it
// handled at once.
class PageSink final : public NotificationSink {
public:
    explicit PageSink(TfrmMain& main) : main_(main) {}
    bool Post(Notification n) override {
        if (n.message == MsgConfigReport) ++configReports;
        if (n.message == MsgConfirmation) ++confirmations;
        const bool posted = main_.Deliver(std::move(n));
        QCoreApplication::sendPostedEvents();
        return posted;
    }
    int configReports = 0;
    int confirmations = 0;

private:
    TfrmMain& main_;
};

}  // namespace

// The font library keeps a cache it never frees once text is first laid out.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    World& w = TheWorld();
    TfrmMain& main = w.wizard.main();
    // 0 COM port, 1 local port, 2 remote port, 3 discovery, 4 local device, 5 save
    const PageRow& row = w.rows[(data[0] >> 5) % w.rows.size()];

    LocalConfig = {};
    RemoteConfig = {};
    // Each input starts with nothing sent: answers are matched to this input's sends only.
    main.Ledger().Clear();
    QWidget* page = row.page();
    FUZZ_CHECK(page != nullptr);
    if (main.NotifyWindow() != page) FUZZ_CHECK(main.SetNotifyWindow(page) == 0);
    row.arm(main, static_cast<std::uint8_t>(data[0] & 0x1F));
    w.boxes.clear();  // leaving a page may ask something; that is not the input's doing

    PageSink sink(main);
    int frames = 0;
    PacketReceiver receiver([&](const Packet& p) {
        ++frames;
        DeliverPacket(&p, sink);
    });
    for (std::size_t at = 1; at < size; at += 0xFFFF) {
        const std::size_t n = size - at < 0xFFFF ? size - at : 0xFFFF;
        receiver.ReceiveBytes(data + at, static_cast<std::uint16_t>(n));
    }
    row.check(main, sink.configReports, sink.confirmations);
    w.Drain();
    // Every box answers one notification at most.
    FUZZ_CHECK(static_cast<int>(w.boxes.boxes().size()) <= frames);
    return 0;
}
