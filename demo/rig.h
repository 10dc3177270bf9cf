#pragma once
// One rig for everything that drives the real wizard against simulated
// devices: the page, hardening, end-to-end and model tests, the benches and
// the walk-through's scenes. Devices on pseudo-terminals, each registered as
// a COM port (on a stable link of its own when it is to vanish and come
// back), and the wizard with the timers the caller chose, listing none of
// the machine's own ports and asking no device database about its adapters.

#include "wait.h"
#include "walk.h"

#include "sim/simulator.h"

#include <QString>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace vtrl::demo {

// The pages' timers in ms; 0 leaves a page's own.
struct RigTimers {
    int drain = 0;  // TfrmMain::DrainMs
    int heartbeat = 0;
    int bond = 0;
    int inquiry = 0;
    int inquiryProgress = 0;
    int portConfig = 0;
    int deviceTick = 0;  // the local device page, repeating
    int flash = 0;
    int flashProgress = 0;
};

// Short enough that a test's wait ends soon, long enough for a loaded machine.
inline constexpr RigTimers kTestTimers{.drain = 20, .heartbeat = 300, .bond = 400, .portConfig = 400,
                                       .deviceTick = 50, .flash = 400, .flashProgress = 20};

class Rig {
public:
    // `log` receives the walk's steps (none when null); pictures go to
    // `shotDir` (none when empty). Starts from a clean slate: no ports
    // registered, nothing remembered of an earlier device.
    explicit Rig(std::FILE* log = nullptr, QString shotDir = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    enum class Line { Pty, Stable };
    // A device, started and registered under the next free COM number (in
    // `port`). With Line::Stable it is registered under a link that follows
    // it when it hangs up and comes back. Error() says why it did not start.
    sim::Simulator& AddDevice(int* port = nullptr, Line line = Line::Pty);
    sim::Simulator& device() { return *devices.back(); }

    // A fresh wizard on the COM port page with `deviceFunction` chosen on
    // the first page, `timers` set, no port selected.
    bool Open(int deviceFunction, const RigTimers& timers = {});
    static void SetTimers(TfrmMain& main, const RigTimers& timers);
    // Selects COM `port` in the list; false while it is not listed.
    bool Select(int port);

    TfrmMain& main() { return walk.wizard()->main(); }
    QString Error() const { return error_.isEmpty() ? walk.Error() : error_; }

    WalkThrough walk;
    std::vector<std::unique_ptr<sim::Simulator>> devices;

private:
    QString error_;
    std::unique_ptr<QTemporaryDir> linkDir_;  // the stable links, removed with the rig
};

}  // namespace vtrl::demo
