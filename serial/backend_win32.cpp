// Win32 backend: COM devices opened for overlapped I/O, comm events through
// WaitCommEvent, stop events as manual-reset event objects.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "backend.h"

namespace vtrl::serial {
namespace {

std::string DevicePath(std::uint32_t port) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(port));
    return name;
}

// The one place where GetLastError becomes a classified error with the
// system's text.
SystemError ErrorFromLastError(DWORD err, const std::string& path) {
    SystemError e;
    e.code = static_cast<long>(err);
    char text[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, err, 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    e.detail = path + ": " + message;
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            e.kind = SystemError::Kind::Missing;
            break;
        // A COM port held by another program answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            e.kind = SystemError::Kind::InUse;
            e.detail = path + " is in use by another program";
            break;
        default:
            e.kind = SystemError::Kind::Other;
            break;
    }
    return e;
}

// What calls on an open port fail with once its device is gone: a removed USB
// adapter fails everything with access denied or a bad-command error, and the
// wait pending at the removal is aborted.
bool IsRemovalError(DWORD err) {
    switch (err) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_FILE_NOT_FOUND:
            return true;
        default:
            return false;
    }
}

class Win32StopEvent final : public StopEvent {
public:
    Win32StopEvent() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Win32StopEvent() override {
        if (event_) CloseHandle(event_);
    }
    Win32StopEvent(const Win32StopEvent&) = delete;
    Win32StopEvent& operator=(const Win32StopEvent&) = delete;

    bool valid() const { return event_ != nullptr; }
    HANDLE handle() const { return event_; }
    void Signal() override { SetEvent(event_); }
    bool IsSignalled() override { return WaitForSingleObject(event_, 0) != WAIT_TIMEOUT; }

private:
    HANDLE event_;
};

// An event for one overlapped call, closed with the call.
class CallEvent {
public:
    CallEvent() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CallEvent() {
        if (event_) CloseHandle(event_);
    }
    CallEvent(const CallEvent&) = delete;
    CallEvent& operator=(const CallEvent&) = delete;
    HANDLE get() const { return event_; }

private:
    HANDLE event_;
};

class Win32Device final : public Device {
public:
    Win32Device(HANDLE device, std::string path) : device_(device), path_(std::move(path)) {}
    ~Win32Device() override {
        Close();
        if (overlapEvent_) CloseHandle(overlapEvent_);
    }
    Win32Device(const Win32Device&) = delete;
    Win32Device& operator=(const Win32Device&) = delete;

    // The driver closes a device only after its monitor thread has left
    // WaitEvent, or from that thread itself.
    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
        device_ = INVALID_HANDLE_VALUE;
    }

    bool SetupQueues(std::uint32_t inQueue, std::uint32_t outQueue) override {
        return Check(SetupComm(device_, inQueue, outQueue));
    }

    bool GetState(LineSettings& s) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(device_, &dcb)) return Check(FALSE);
        s.baudRate = dcb.BaudRate;
        s.byteSize = dcb.ByteSize;
        s.parity = dcb.Parity;
        s.stopBits = dcb.StopBits;
        s.fBinary = dcb.fBinary;
        s.fParity = dcb.fParity;
        s.fOutxCtsFlow = dcb.fOutxCtsFlow;
        s.fOutxDsrFlow = dcb.fOutxDsrFlow;
        s.fDtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
        s.fDsrSensitivity = dcb.fDsrSensitivity;
        s.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
        s.fOutX = dcb.fOutX;
        s.fInX = dcb.fInX;
        s.fErrorChar = dcb.fErrorChar;
        s.fNull = dcb.fNull;
        s.fRtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
        s.fAbortOnError = dcb.fAbortOnError;
        s.xonLim = dcb.XonLim;
        s.xoffLim = dcb.XoffLim;
        s.xonChar = dcb.XonChar;
        s.xoffChar = dcb.XoffChar;
        s.errorChar = dcb.ErrorChar;
        s.eofChar = dcb.EofChar;
        s.evtChar = dcb.EvtChar;
        return true;
    }

    bool SetState(const LineSettings& s) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(device_, &dcb)) return Check(FALSE);
        dcb.BaudRate = s.baudRate;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.fBinary = s.fBinary;
        dcb.fParity = s.fParity;
        dcb.fOutxCtsFlow = s.fOutxCtsFlow;
        dcb.fOutxDsrFlow = s.fOutxDsrFlow;
        dcb.fDtrControl = s.fDtrControl;
        dcb.fDsrSensitivity = s.fDsrSensitivity;
        dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
        dcb.fOutX = s.fOutX;
        dcb.fInX = s.fInX;
        dcb.fErrorChar = s.fErrorChar;
        dcb.fNull = s.fNull;
        dcb.fRtsControl = s.fRtsControl;
        dcb.fAbortOnError = s.fAbortOnError;
        dcb.XonLim = s.xonLim;
        dcb.XoffLim = s.xoffLim;
        dcb.XonChar = s.xonChar;
        dcb.XoffChar = s.xoffChar;
        dcb.ErrorChar = s.errorChar;
        dcb.EofChar = s.eofChar;
        dcb.EvtChar = s.evtChar;
        return Check(SetCommState(device_, &dcb));
    }

    bool SetTimeouts(const CommTimeouts& t) override {
        COMMTIMEOUTS ct{};
        ct.ReadIntervalTimeout = t.readIntervalTimeout;
        ct.ReadTotalTimeoutMultiplier = t.readTotalTimeoutMultiplier;
        ct.ReadTotalTimeoutConstant = t.readTotalTimeoutConstant;
        ct.WriteTotalTimeoutMultiplier = t.writeTotalTimeoutMultiplier;
        ct.WriteTotalTimeoutConstant = t.writeTotalTimeoutConstant;
        return Check(SetCommTimeouts(device_, &ct));
    }

    bool SetEventMask(std::uint32_t mask) override {
        if (!overlapEvent_) overlapEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!overlapEvent_) return Check(FALSE);
        return Check(SetCommMask(device_, mask));
    }

    WaitOutcome WaitEvent(StopEvent& stop, std::uint32_t& mask) override {
        auto* winStop = dynamic_cast<Win32StopEvent*>(&stop);
        if (winStop == nullptr || !overlapEvent_) return WaitOutcome::Failed;
        DWORD events = 0;
        OVERLAPPED ov{};
        ov.hEvent = overlapEvent_;
        ResetEvent(overlapEvent_);
        if (WaitCommEvent(device_, &events, &ov)) return Completed(events, mask);
        const DWORD err = GetLastError();
        if (err != ERROR_IO_PENDING) return WaitFailed(err);
        HANDLE handles[2] = {winStop->handle(), overlapEvent_};
        const DWORD w = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        DWORD unused = 0;
        if (w == WAIT_OBJECT_0 + 1) {
            if (!GetOverlappedResult(device_, &ov, &unused, FALSE)) return WaitFailed(GetLastError());
            return Completed(events, mask);
        }
        // The wait is still pending, and the system will write `events` and
        // `ov` -- both in this frame -- when it completes. Cancel it and wait
        // for that completion before the frame (and perhaps the thread) goes.
        CancelIoEx(device_, &ov);
        GetOverlappedResult(device_, &ov, &unused, TRUE);
        return w == WAIT_OBJECT_0 ? WaitOutcome::Stopped : WaitOutcome::Failed;
    }

    bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) override {
        DWORD e = 0;
        COMSTAT status{};
        if (!ClearCommError(device_, &e, inQueue ? &status : nullptr)) return Check(FALSE);
        errors = e;
        if (inQueue) *inQueue = status.cbInQue;
        return true;
    }

    bool GetModemStatus(std::uint32_t& status) override {
        DWORD s = 0;
        if (!GetCommModemStatus(device_, &s)) return Check(FALSE);
        status = s;
        return true;
    }

    IoResult Read(std::uint8_t* buffer, std::uint32_t count) override {
        return Transfer([&](DWORD* done, OVERLAPPED* ov) {
            return ReadFile(device_, buffer, count, done, ov);
        });
    }

    IoResult Write(const std::uint8_t* buffer, std::uint32_t count) override {
        return Transfer([&](DWORD* done, OVERLAPPED* ov) {
            return WriteFile(device_, buffer, count, done, ov);
        });
    }

    bool SetBreak() override { return Check(SetCommBreak(device_)); }
    bool ClearBreak() override { return Check(ClearCommBreak(device_)); }
    bool Escape(std::uint32_t function) override {
        return Check(EscapeCommFunction(device_, function));
    }

    SystemError LastError() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastError_;
    }

private:
    WaitOutcome WaitFailed(DWORD err) {
        Record(err);
        return IsRemovalError(err) ? WaitOutcome::HungUp : WaitOutcome::Failed;
    }
    // Some adapters' drivers end the pending wait with no event at removal;
    // the error query then tells a removed device from a changed mask.
    WaitOutcome Completed(DWORD events, std::uint32_t& mask) {
        if (events == 0) {
            DWORD errors = 0;
            if (!ClearCommError(device_, &errors, nullptr)) {
                const DWORD err = GetLastError();
                if (IsRemovalError(err)) return WaitFailed(err);
            }
        }
        mask = events;
        return WaitOutcome::Ready;
    }

    template <typename Start>
    IoResult Transfer(Start start) {
        IoResult r;
        CallEvent event;
        if (!event.get()) {
            Record(GetLastError());
            r.status = IoStatus::NoEvent;
            return r;
        }
        OVERLAPPED ov{};
        ov.hEvent = event.get();
        DWORD done = 0;
        if (!start(&done, &ov)) {
            const DWORD err = GetLastError();
            if (err != ERROR_IO_PENDING || !GetOverlappedResult(device_, &ov, &done, TRUE)) {
                Record(err != ERROR_IO_PENDING ? err : GetLastError());
                return r;
            }
        }
        r.status = IoStatus::Ok;
        r.count = done;
        return r;
    }

    bool Check(BOOL ok) {
        if (!ok) Record(GetLastError());
        return ok != FALSE;
    }
    void Record(DWORD err) {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = ErrorFromLastError(err, path_);
        if (IsRemovalError(err)) {
            lastError_.kind = SystemError::Kind::Gone;
            lastError_.detail = path_ + ": the device went away";
        }
    }

    mutable std::mutex mutex_;
    HANDLE device_;
    HANDLE overlapEvent_ = nullptr;  // used by the monitor thread's waits only
    const std::string path_;
    SystemError lastError_;
};

HANDLE OpenDevice(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

class Win32Backend final : public SerialBackend {
public:
    std::shared_ptr<Device> Open(std::uint32_t port, SystemError& error) override {
        const std::string path = DevicePath(port);
        HANDLE device = OpenDevice(path);
        if (device == nullptr || device == INVALID_HANDLE_VALUE) {
            error = ErrorFromLastError(GetLastError(), path);
            return nullptr;
        }
        return std::make_shared<Win32Device>(device, path);
    }

    std::shared_ptr<StopEvent> CreateStopEvent() override {
        auto stop = std::make_shared<Win32StopEvent>();
        if (!stop->valid()) return nullptr;
        return stop;
    }

    PortProbe Probe(std::uint32_t port) override {
        PortProbe probe;
        probe.path = DevicePath(port);
        HANDLE device = OpenDevice(probe.path);
        if (device != nullptr && device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
            probe.outcome = PortProbe::Outcome::Opened;
            return probe;
        }
        const SystemError error = ErrorFromLastError(GetLastError(), probe.path);
        return ProbeFailure(std::move(probe), error);
    }
};

}  // namespace

SerialBackend& PlatformBackend() {
    static Win32Backend backend;
    return backend;
}

}  // namespace vtrl::serial
