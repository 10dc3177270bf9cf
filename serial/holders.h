#pragma once
// Who holds a serial device on Linux, found without opening it: UUCP lock
// files (the convention of terminal programs) and the processes that have the
// device open (/proc/*/fd).
//
// Lock files are LCK..<name> in /run/lock (or /var/lock where that is the
// folder), holding the locker's PID in ten characters and a newline. <name>
// is the device's real path below /dev with '/' turned into '_', so a
// symbolic link (a /dev/serial/by-id path, the simulator's link) locks the
// device it points to: LCK..ttyUSB0, LCK..pts_3.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "probe.h"

namespace vtrl::serial {

// The device a path names, symbolic links resolved; the path itself when it
// does not resolve. (On Windows, portnames_win32.cpp: the \\.\COMn a COM
// name stands for.)
std::string RealDevice(const std::string& path);

// "" when neither folder exists.
std::string LockDirectory();
// Tests: lock files go to `dir` instead; "" restores the system's folder.
void SetLockDirectoryForTesting(const std::string& dir);
std::string LockFilePath(const std::string& device);

// The live holder of the device's lock file when that is another process.
// A lock whose process is gone, or was started after the lock was written
// (its PID used again), is stale and holds nothing.
std::optional<PortHolder> LockHolder(const std::string& device);

// Running processes other than this one that have the devices open; a device
// nobody else has open has no entry. Only the processes whose descriptors
// this user may see are found. The process holding a pseudo-terminal's master
// is its other end, not a holder.
std::map<std::string, std::vector<PortHolder>> OpenersOf(const std::set<std::string>& devices);

// The process other than this one that holds the device's flock, from
// /proc/locks. A pseudo-terminal is also open in the program at its other
// end; the lock tells which of the openers refused us.
std::optional<PortHolder> FlockHolder(const std::string& device);

// What this process holds while it has a device open: the device's lock file
// (where the folder lets us write one) and the mark that the device is ours.
class DeviceClaim {
public:
    enum class Result { Claimed, Held };
    // Held: another live process has the device locked; `holder` says who.
    // A stale lock is removed and taken over.
    static Result Take(const std::string& device, std::unique_ptr<DeviceClaim>& claim,
                       PortHolder& holder);
    ~DeviceClaim();  // removes the lock file if it is still ours
    DeviceClaim(const DeviceClaim&) = delete;
    DeviceClaim& operator=(const DeviceClaim&) = delete;

    bool locked() const { return !lockFile_.empty(); }

private:
    DeviceClaim(std::string device, std::string lockFile);
    std::string device_;
    std::string lockFile_;  // "" when no lock file could be written
};

// The devices the kernel writes its console to (/proc/consoles: "ttyS0"
// becomes "/dev/ttyS0"). Frames sent there would land on the console.
std::set<std::string> ConsoleDevices();
// Tests: read `file` instead of /proc/consoles; "" restores it.
void SetConsolesFileForTesting(const std::string& file);

// Whether a port of this process holds the device now.
bool ClaimedHere(const std::string& device);

}  // namespace vtrl::serial
