#pragma once
// Walks the real wizard through a whole page sequence against a device, the
// way an operator does it: clicks on the buttons, keys typed into the edits
// and lists. Prints every step, and saves a picture of each page when it is
// done. Used by the headless walk-through and by the end-to-end tests.

#include "pages/wizard.h"

#include <QString>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace vtrl::demo {

// Entries as the lists show them, counted from 0.
struct PortChoice {
    int baud = 5;      // "9600"
    int dataBits = 1;  // "8"
    int parity = 0;    // "None"
    int stopBits = 0;  // "1"
    int flow = 0;      // "None"
    bool dce = false;
};

struct DeviceChoice {
    QString name;
    bool authentication = false;
    bool encryption = false;
    QString pin;
    int linkTimeout = 20;  // in the Advanced dialog
};

struct CableChoices {
    QString remoteAddress;  // 12 hex digits, as the device list shows it
    PortChoice local;
    PortChoice remote;
};

struct SppChoices {
    PortChoice local;
    DeviceChoice device;
};

class WalkThrough {
public:
    // `out` receives the step lines (none when null); pictures go to
    // `shotDir` (none when empty) with names starting with the sequence's prefix.
    WalkThrough(std::FILE* out, QString shotDir);

    // Each walk builds a fresh wizard, connects to COM `port` and goes to
    // the Finish page and through it. False, with Error(), where a step did
    // not come about in time.
    bool WalkCableReplacement(int port, const CableChoices& choices);
    bool WalkSppServer(int port, const SppChoices& choices);

    QString Error() const { return error_; }
    // Time from the first page to the Finish page of the last walk.
    std::chrono::milliseconds Elapsed() const { return elapsed_; }
    // Time spent on each page of the last walk, in the order shown.
    QStringList PageTimes() const { return pageTimes_; }
    QStringList Shots() const { return shots_; }
    // Fixed texts that did not fit their boxes on a page pictured, with the
    // picture's name.
    QStringList Unfit() const { return unfit_; }

    // The steps the walks are made of, for tests that go part of the way or
    // act between them. Each is false, with Error(), where it did not come
    // about. Start builds a fresh wizard and goes to the COM port page.
    bool Start(int deviceFunction);
    bool ConnectPort(int port);
    bool Discover(const QString& address);
    bool PortSettings(bool remote, const PortChoice& choice);
    bool DeviceSettings(const DeviceChoice& choice);
    bool SaveToFlash();
    bool Next(TWizardChildForm* expected);
    bool Back(TWizardChildForm* expected);
    bool Finish();
    bool WaitFor(const std::function<bool()>& condition, const QString& what, int ms);

    // The wizard of the walk under way; null between walks.
    Wizard* wizard() { return wizard_.get(); }

private:
    void Step(const QString& text);
    // A picture of the main window, or of `window`.
    void Shoot(const QString& name, QWidget* window = nullptr);
    bool Fail(const QString& what);
    bool OnPage(TWizardChildForm* page);
    // Notes the page now shown, and how long the one before it was.
    void PageShown(const QString& caption);

    std::FILE* out_;
    QString shotDir_;
    QString prefix_;
    int shotNumber_ = 0;
    std::unique_ptr<Wizard> wizard_;
    QString error_;
    std::chrono::milliseconds elapsed_{0};
    QStringList shots_;
    QStringList unfit_;
    QStringList pageTimes_;
    QString pageShown_;
    std::chrono::steady_clock::time_point pageSince_;
};

}  // namespace vtrl::demo
