#pragma once
// The system interface under the driver. The driver's locking, numbering and
// event logic is written once against these classes; each platform supplies
// one implementation file, chosen by CMake.

#include <cstdint>
#include <memory>
#include <string>

#include "probe.h"

namespace vtrl::serial {

// Device events, with the values the comm API uses so the mask means the same
// on every backend.
enum : std::uint32_t {
    kEvRxChar = 0x0001,
    kEvCts = 0x0008,
    kEvDsr = 0x0010,
    kEvRlsd = 0x0020,
    kEvBreak = 0x0040,
    kEvErr = 0x0080,
    kEvRing = 0x0100,
};

// Error-state bits of an error query.
enum : std::uint32_t {
    kCeRxOver = 0x0001,
    kCeOverrun = 0x0002,
    kCeRxParity = 0x0004,
    kCeFrame = 0x0008,
    kCeBreak = 0x0010,
};

// Modem input lines of a status query.
enum : std::uint32_t {
    kMsCtsOn = 0x0010,
    kMsDsrOn = 0x0020,
    kMsRingOn = 0x0040,
    kMsRlsdOn = 0x0080,
};

// Escape functions for the RTS and DTR outputs.
enum : std::uint32_t {
    kEscSetRts = 3,
    kEscClrRts = 4,
    kEscSetDtr = 5,
    kEscClrDtr = 6,
};

enum : std::uint8_t {
    kDtrControlDisable = 0,
    kDtrControlEnable = 1,
    kRtsControlDisable = 0,
    kRtsControlEnable = 1,
    kRtsControlHandshake = 2,
};

// The fields of a device control block that the driver reads and writes.
struct LineSettings {
    std::uint32_t baudRate = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none
    std::uint8_t stopBits = 0;  // 0 one stop bit
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    std::uint8_t fDtrControl = kDtrControlDisable;
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    std::uint8_t fRtsControl = kRtsControlDisable;
    bool fAbortOnError = false;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    char xonChar = 0x11;
    char xoffChar = 0x13;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
};

struct CommTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;
};

// What went wrong in a system call, classified, with the system's own text.
struct SystemError {
    // Gone: the device of an open port went away (hang-up, removal).
    enum class Kind { None, Missing, InUse, Denied, Gone, Other };
    Kind kind = Kind::None;
    long code = 0;  // errno or GetLastError
    std::string detail;
    std::string joinGroup;  // Denied: a group that may use the device, when this user is not in it
    PortHolder holder{};    // InUse: who holds the device, where that can be found
};

// What a failed exclusive open means for the port list.
inline PortProbe ProbeFailure(PortProbe probe, const SystemError& error) {
    switch (error.kind) {
        case SystemError::Kind::Missing: probe.outcome = PortProbe::Outcome::Missing; break;
        case SystemError::Kind::InUse: probe.outcome = PortProbe::Outcome::InUse; break;
        case SystemError::Kind::Denied: probe.outcome = PortProbe::Outcome::Denied; break;
        default: probe.outcome = PortProbe::Outcome::Failed; break;
    }
    probe.detail = error.detail;
    probe.joinGroup = error.joinGroup;
    probe.holder = error.holder;
    return probe;
}

// Manual-reset event that ends the monitor thread's waits.
class StopEvent {
public:
    virtual ~StopEvent() = default;
    virtual void Signal() = 0;
    // true when signalled; a failed look counts as signalled.
    virtual bool IsSignalled() = 0;
};

// HungUp: the device went away; every later wait would report the same at
// once, so the caller must not wait again.
enum class WaitOutcome { Ready, Stopped, Failed, HungUp };

enum class IoStatus { Ok, NoEvent, Failed };
struct IoResult {
    IoStatus status = IoStatus::Failed;
    std::uint32_t count = 0;
};

// One opened device. Close() gives the system device back at once; the object
// may outlive it (the monitor thread holds a reference) and then fails every
// call.
class Device {
public:
    virtual ~Device() = default;
    virtual void Close() = 0;
    virtual bool SetupQueues(std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool GetState(LineSettings& settings) = 0;
    virtual bool SetState(const LineSettings& settings) = 0;
    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual bool SetEventMask(std::uint32_t mask) = 0;
    // Blocks until a watched event occurs (mask filled) or stop is signalled.
    // Nothing of the wait is left outstanding when it returns. Events that
    // arrived before a hang-up are reported (Ready) before HungUp is.
    virtual WaitOutcome WaitEvent(StopEvent& stop, std::uint32_t& mask) = 0;
    // Reads and clears the error state; inQueue (may be null) gets the number
    // of bytes waiting in the receive queue, including what the system holds
    // and the monitor has not yet taken in. After a hang-up the queue can
    // still be read empty.
    virtual bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) = 0;
    virtual bool GetModemStatus(std::uint32_t& status) = 0;
    virtual IoResult Read(std::uint8_t* buffer, std::uint32_t count) = 0;
    // Ends after the write time-out at most; a time-out reports the count the
    // system wrote.
    virtual IoResult Write(const std::uint8_t* buffer, std::uint32_t count) = 0;
    virtual bool SetBreak() = 0;
    virtual bool ClearBreak() = 0;
    virtual bool Escape(std::uint32_t function) = 0;
    virtual SystemError LastError() const = 0;
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;
    // Opens COM `port` exclusively for overlapped use; null with `error` set
    // when that fails.
    virtual std::shared_ptr<Device> Open(std::uint32_t port, SystemError& error) = 0;
    virtual std::shared_ptr<StopEvent> CreateStopEvent() = 0;
    virtual PortProbe Probe(std::uint32_t port) = 0;
};

// The backend of the platform this library was built for.
SerialBackend& PlatformBackend();

// The backend the driver opens ports through from now on instead of the
// platform's (null: the platform's again): simulated devices in this process
// (sim/directline.h), or a test's. It must outlive every port opened through it.
void SetBackend(SerialBackend* backend);

// Test hooks. SetBackendForTesting is SetBackend.
void SetBackendForTesting(SerialBackend* backend);
// The next handle drawn is value + 1 (wrapping as usual).
void SetNextHandleForTesting(std::int32_t value);
// Number of monitor threads that have started and not yet ended.
int MonitorThreadCount();
// Waits until MonitorThreadCount() == count or the time-out (ms) runs out.
bool WaitForMonitorThreadCount(int count, int timeoutMs);

}  // namespace vtrl::serial
