// Platform-neutral part of the serial driver: handles, the port list, the two
// lock levels, the monitor threads and the per-port operations. Everything
// that talks to the system goes through the backend (backend.h).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "backend.h"
#include "probe.h"
#include "serial.h"

namespace vtrl::serial {
namespace {

constexpr std::uint32_t kEventMask =
    kEvRxChar | kEvCts | kEvDsr | kEvRlsd | kEvBreak | kEvErr | kEvRing;  // 0x01F9
constexpr std::uint32_t kModemEvents = kEvCts | kEvDsr | kEvRlsd | kEvRing;
constexpr std::uint32_t kQueueSize = 4096;
constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;
constexpr std::uint32_t kWriteTimeoutMs = 10000;

// Binary semaphore guarding one port. Closing it makes every present and
// future waiter fail instead of blocking; the port's teardown relies on that
// (see TeardownPort).
class PortLock {
public:
    bool Acquire() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return !held_ || closed_; });
        if (closed_) return false;
        held_ = true;
        return true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = false;
        }
        cv_.notify_all();
    }
    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool held_ = false;
    bool closed_ = false;
};

// Manual-reset event through which a starting monitor thread reports back.
class StartEvent {
public:
    void Signal() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

struct PortRecord {
    std::int32_t handle = 0;
    std::shared_ptr<PortLock> portLock;
    std::shared_ptr<Device> device;
    std::atomic<bool> closeRequested{false};
    // Set by the monitor thread when the line hung up; read by the port's
    // operations without the port lock.
    std::atomic<bool> hungUp{false};
    // Read under the global lock by other threads while the monitor thread
    // sets it under the port lock only, hence atomic.
    std::atomic<std::thread::id> callbackThreadId{};
    std::thread::id monitorThreadId{};
    std::thread monitorThread;
    std::shared_ptr<StopEvent> stopEvent;
    SerialEventCallback eventCallback = nullptr;
    void* context = nullptr;

    ~PortRecord() {
        // Only reached with a live thread when the process ends with ports open.
        if (monitorThread.joinable()) monitorThread.detach();
    }
};

using RecordPtr = std::shared_ptr<PortRecord>;

// The global lock is a mutex plus the `started` flag: "the lock exists" is
// `started`, and a wait on a lock that does not exist fails.
struct Driver {
    std::mutex global;
    bool started = false;
    std::list<RecordPtr> portList;
    RecordPtr stagingRecord;
    std::int32_t nextHandle = 0;
    std::thread::id startedThreadId{};
    SerialBackend* testBackend = nullptr;

    std::mutex countMutex;
    std::condition_variable countCv;
    int monitorThreads = 0;
};

Driver& D() {
    static Driver driver;
    return driver;
}

thread_local PortProbe lastOpen;

void NoteOpenFailure(std::uint32_t port, const SystemError& error) {
    PortProbe probe;
    probe.port = port;
    lastOpen = ProbeFailure(std::move(probe), error);
}

SerialBackend& CurrentBackend(Driver& d) {
    return d.testBackend ? *d.testBackend : PlatformBackend();
}

// --- record list, all under the global lock ---

RecordPtr Find(Driver& d, std::int32_t handle) {
    if (handle == 0) return nullptr;
    for (const auto& rec : d.portList)
        if (rec->handle == handle) return rec;
    return nullptr;
}

bool Add(Driver& d, const RecordPtr& rec) {
    if (!rec || rec->handle == 0) return false;
    if (Find(d, rec->handle)) return false;
    d.portList.push_back(rec);
    return true;
}

RecordPtr Unlink(Driver& d, std::int32_t handle) {
    if (handle == 0) return nullptr;
    for (auto it = d.portList.begin(); it != d.portList.end(); ++it) {
        if ((*it)->handle == handle) {
            RecordPtr rec = *it;
            d.portList.erase(it);
            return rec;
        }
    }
    return nullptr;
}

std::int32_t DrawHandle(Driver& d) {
    d.nextHandle = d.nextHandle == INT32_MAX ? 1 : d.nextHandle + 1;
    return d.nextHandle;
}

// --- access protocol ---

class PortAccess {
public:
    explicit PortAccess(std::int32_t handle) {
        Driver& d = D();
        std::shared_ptr<PortLock> lock;
        {
            std::lock_guard<std::mutex> g(d.global);
            if (!d.started) return;
            RecordPtr rec = Find(d, handle);
            if (!rec) return;
            if (rec->callbackThreadId.load() == std::this_thread::get_id()) {
                // The port's own callback: its thread already holds the port lock.
                rec_ = std::move(rec);
                reentrant_ = true;
                return;
            }
            lock = rec->portLock;
            rec_ = std::move(rec);
        }
        if (!lock || !lock->Acquire()) {
            rec_.reset();
            return;
        }
        lock_ = std::move(lock);
    }
    ~PortAccess() {
        if (lock_) lock_->Release();
    }
    PortAccess(const PortAccess&) = delete;
    PortAccess& operator=(const PortAccess&) = delete;

    bool ok() const { return rec_ != nullptr && rec_->device != nullptr; }
    Device& device() const { return *rec_->device; }
    // The monitor reported a hang-up, or the device's last failure says it is gone.
    bool gone() const {
        return rec_->hungUp.load() || rec_->device->LastError().kind == SystemError::Kind::Gone;
    }

private:
    RecordPtr rec_;
    std::shared_ptr<PortLock> lock_;
    bool reentrant_ = false;
};

void TeardownPort(PortRecord& rec) {
    if (rec.portLock) {
        // Waits for an operation or callback in progress; never given back.
        rec.portLock->Acquire();
        // Closed before the thread is awaited: a monitor thread that found the
        // record just before it was unlinked may be queued on this lock, and
        // would otherwise never get it and never end.
        rec.portLock->Close();
    }
    if (rec.stopEvent && rec.monitorThread.joinable()) {
        rec.stopEvent->Signal();
        if (rec.monitorThread.get_id() == std::this_thread::get_id())
            rec.monitorThread.detach();  // deferred close: the thread ends right after
        else
            rec.monitorThread.join();
    }
    if (rec.device) rec.device->Close();
    rec.device.reset();
    rec.stopEvent.reset();
    rec.portLock.reset();
    rec.callbackThreadId.store(std::thread::id{});
    rec.monitorThreadId = std::thread::id{};
}

// --- monitor thread ---

class ThreadCount {
public:
    ThreadCount() { Change(+1); }
    ~ThreadCount() { Change(-1); }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

private:
    static void Change(int delta) {
        Driver& d = D();
        // Notified under the lock: a thread whose port was closed from its own
        // callback is detached, and must be done with the driver's state once a
        // waiter has seen the count.
        std::lock_guard<std::mutex> lock(d.countMutex);
        d.monitorThreads += delta;
        d.countCv.notify_all();
    }
};

struct MonitorState {
    std::int32_t handle = 0;
    std::shared_ptr<Device> device;
    SerialEventCallback callback = nullptr;
    void* context = nullptr;
    std::shared_ptr<StopEvent> stop;
};

std::uint32_t ErrorDetail(std::uint32_t errors) {
    std::uint32_t detail = 0;
    if (errors & kCeOverrun) detail |= SERIAL_RX_OVERRUN;
    if (errors & kCeRxParity) detail |= SERIAL_RX_PARITY;
    if (errors & kCeFrame) detail |= SERIAL_RX_FRAMING;
    return detail;
}

std::uint32_t ModemBits(std::uint32_t status) {
    std::uint32_t bits = 0;
    if (status & kMsCtsOn) bits |= SERIAL_MODEM_CTS;
    if (status & kMsDsrOn) bits |= SERIAL_MODEM_DSR;
    if (status & kMsRingOn) bits |= SERIAL_MODEM_RING;
    if (status & kMsRlsdOn) bits |= SERIAL_MODEM_RLSD;
    return bits;
}

// Returns true when the callback closed its own port (now done).
bool Deliver(const MonitorState& me, const SerialEvent& event) {
    Driver& d = D();
    RecordPtr rec;
    std::shared_ptr<PortLock> lock;
    {
        std::lock_guard<std::mutex> g(d.global);
        if (!d.started) return false;
        rec = Find(d, me.handle);
        // A failed open whose number is still held by a live port (after the
        // counter wrapped) must not hand its events to that port.
        if (!rec || rec->stopEvent != me.stop) return false;
        lock = rec->portLock;
        // Before the callback runs, so that what it reads or writes fails as gone.
        if (event.kind == SERIAL_EVENT_HANGUP) rec->hungUp.store(true);
    }
    if (!lock || !lock->Acquire()) return false;
    rec->callbackThreadId.store(std::this_thread::get_id());
    try {
        me.callback(me.handle, &event, me.context);
    } catch (...) {
        // The callback's failure is its own; the port keeps reporting.
    }
    rec->callbackThreadId.store(std::thread::id{});
    const bool deferred = rec->closeRequested.load();
    lock->Release();
    if (deferred) SerialClose(me.handle);
    return deferred;
}

// Works through one wait's mask in the order break, error, modem, data.
bool WorkThroughMask(const MonitorState& me, std::uint32_t mask) {
    while (mask != 0) {
        SerialEvent event{};
        event.handle = me.handle;
        bool deliver = false;
        if (mask & kEvBreak) {
            mask &= ~kEvBreak;
            event.kind = SERIAL_EVENT_BREAK;
            event.detail = 1;
            deliver = true;
        } else if (mask & kEvErr) {
            mask &= ~kEvErr;
            std::uint32_t errors = 0;
            if (me.device->ClearError(errors, nullptr)) {
                event.kind = SERIAL_EVENT_ERROR;
                event.detail = ErrorDetail(errors);
                deliver = true;
            }
        } else if (mask & kModemEvents) {
            mask &= ~kModemEvents;
            std::uint32_t status = 0;
            if (me.device->GetModemStatus(status)) {
                event.kind = SERIAL_EVENT_MODEM;
                event.detail = ModemBits(status);
                deliver = true;
            }
        } else if (mask & kEvRxChar) {
            mask &= ~kEvRxChar;
            std::uint32_t errors = 0;
            std::uint32_t queued = 0;
            if (me.device->ClearError(errors, &queued) && queued > 0) {
                event.kind = SERIAL_EVENT_DATA;
                event.detail = queued;
                deliver = true;
            }
        } else {
            mask = 0;
        }
        if (deliver && Deliver(me, event)) return true;
    }
    return false;
}

void MonitorThread(std::shared_ptr<StartEvent> start) {
    ThreadCount counted;
    Driver& d = D();
    MonitorState me;
    bool ok = false;
    {
        // SerialOpen holds the global lock on this thread's behalf until the
        // start event is signalled.
        const PortRecord* staging = d.stagingRecord.get();
        if (staging && staging->eventCallback && staging->device && staging->handle != 0 &&
            staging->stopEvent) {
            me.handle = staging->handle;
            me.device = staging->device;
            me.callback = staging->eventCallback;
            me.context = staging->context;
            me.stop = staging->stopEvent;
            ok = me.device->SetEventMask(kEventMask);
        }
        d.startedThreadId = ok ? std::this_thread::get_id() : std::thread::id{};
    }
    start->Signal();
    if (!ok) return;

    for (;;) {
        std::uint32_t mask = 0;
        const WaitOutcome outcome = me.device->WaitEvent(*me.stop, mask);
        if (outcome == WaitOutcome::HungUp) {
            // A dead line would report the same at once for ever: one event,
            // and the thread ends. Delivery also carries out a deferred close.
            if (!me.stop->IsSignalled()) Deliver(me, SerialEvent{SERIAL_EVENT_HANGUP, me.handle, 0});
            return;
        }
        if (outcome != WaitOutcome::Ready) break;
        if (me.stop->IsSignalled()) break;
        // After a deferred close the record, device and stop event are gone;
        // nothing of them may be touched again.
        if (WorkThroughMask(me, mask)) return;
        if (me.stop->IsSignalled()) break;
    }
}

// Steps after the handle is drawn; on failure the caller tears the record down.
std::int32_t OpenStaged(Driver& d, PortRecord& rec, std::uint32_t port, std::uint32_t baud,
                        std::uint8_t handshake) {
    rec.portLock = std::make_shared<PortLock>();

    SerialBackend& backend = CurrentBackend(d);
    SystemError error;
    rec.device = backend.Open(port, error);
    if (!rec.device) {
        NoteOpenFailure(port, error);
        return SERIAL_ERR_SYSTEM;
    }
    Device& dev = *rec.device;
    const auto failed = [&] {
        NoteOpenFailure(port, dev.LastError());
        return SERIAL_ERR_SYSTEM;
    };
    if (!dev.SetupQueues(kQueueSize, kQueueSize)) return failed();

    LineSettings s;
    if (!dev.GetState(s)) return failed();
    const bool hs = handshake != 0;
    s.baudRate = baud;
    s.byteSize = 8;
    s.parity = 0;
    s.stopBits = 0;
    s.fBinary = true;
    s.fParity = false;
    s.fOutX = false;
    s.fInX = false;
    s.fErrorChar = false;
    s.fNull = false;
    s.fAbortOnError = false;
    s.fOutxCtsFlow = hs;
    s.fOutxDsrFlow = hs;
    s.fDtrControl = hs ? kDtrControlEnable : kDtrControlDisable;
    s.fDsrSensitivity = hs;
    s.fRtsControl = hs ? kRtsControlEnable : kRtsControlDisable;
    if (!dev.SetState(s)) return failed();

    CommTimeouts t;
    t.readIntervalTimeout = kMaxDword;
    t.readTotalTimeoutMultiplier = 0;
    t.readTotalTimeoutConstant = 0;
    t.writeTotalTimeoutMultiplier = 0;
    t.writeTotalTimeoutConstant = kWriteTimeoutMs;
    if (!dev.SetTimeouts(t)) return failed();

    rec.stopEvent = backend.CreateStopEvent();
    if (!rec.stopEvent) return SERIAL_ERR_SYSTEM;
    auto start = std::make_shared<StartEvent>();

    d.startedThreadId = std::thread::id{};
    try {
        rec.monitorThread = std::thread(MonitorThread, start);
    } catch (const std::system_error&) {
        return SERIAL_ERR_SYSTEM;
    }
    start->Wait();
    if (d.startedThreadId == std::thread::id{}) return SERIAL_ERR_SYSTEM;
    rec.monitorThreadId = d.startedThreadId;
    return rec.handle;
}

}  // namespace

void SetBackend(SerialBackend* backend) {
    Driver& d = D();
    std::lock_guard<std::mutex> g(d.global);
    d.testBackend = backend;
}

void SetBackendForTesting(SerialBackend* backend) { SetBackend(backend); }

void SetNextHandleForTesting(std::int32_t value) {
    Driver& d = D();
    std::lock_guard<std::mutex> g(d.global);
    d.nextHandle = value;
}

int MonitorThreadCount() {
    Driver& d = D();
    std::lock_guard<std::mutex> lock(d.countMutex);
    return d.monitorThreads;
}

bool WaitForMonitorThreadCount(int count, int timeoutMs) {
    Driver& d = D();
    std::unique_lock<std::mutex> lock(d.countMutex);
    return d.countCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return d.monitorThreads == count; });
}

PortProbe ProbePort(std::uint32_t port) {
    Driver& d = D();
    SerialBackend* backend = nullptr;
    {
        std::lock_guard<std::mutex> g(d.global);
        backend = &CurrentBackend(d);
    }
    PortProbe probe = backend->Probe(port);
    probe.port = port;
    return probe;
}

PortProbe LastOpenFailure() { return lastOpen; }

}  // namespace vtrl::serial

using namespace vtrl::serial;

std::int32_t SerialOpen(std::uint32_t port, std::uint32_t baud, std::uint8_t handshake,
                        SerialEventCallback callback, void* context) {
    if (port == 0 || baud == 0) return SERIAL_ERR_ARGUMENT;
    lastOpen = PortProbe{};
    lastOpen.port = port;
    lastOpen.outcome = PortProbe::Outcome::Opened;
    Driver& d = D();
    std::unique_lock<std::mutex> g(d.global);
    if (!d.started) {
        d.portList.clear();
        d.started = true;
    }
    if (!callback) return SERIAL_ERR_NO_CALLBACK;

    RecordPtr rec;
    std::int32_t result = SERIAL_ERR_SYSTEM;
    try {
        rec = std::make_shared<PortRecord>();
        rec->handle = DrawHandle(d);
        rec->eventCallback = callback;
        rec->context = context;
        d.stagingRecord = rec;
        result = OpenStaged(d, *rec, port, baud, handshake);
        if (result > 0 && !Add(d, rec)) result = SERIAL_ERR_SYSTEM;
    } catch (const std::bad_alloc&) {
        result = SERIAL_ERR_SYSTEM;
    }
    d.stagingRecord.reset();
    if (result > 0) return result;
    if (lastOpen.outcome == PortProbe::Outcome::Opened) {
        lastOpen.outcome = PortProbe::Outcome::Failed;
        lastOpen.detail = "COM" + std::to_string(port) + ": the driver could not set the port up";
    }

    // The failed port is unreachable for everyone else, so the global lock is
    // given up before its teardown waits for the monitor thread: that thread
    // may be queued on the global lock to deliver an event, and would never
    // end if the lock were kept.
    g.unlock();
    if (rec) TeardownPort(*rec);
    return result;
}

void SerialClose(std::int32_t handle) {
    if (handle == 0) return;
    Driver& d = D();
    RecordPtr rec;
    {
        std::lock_guard<std::mutex> g(d.global);
        if (!d.started) return;
        rec = Find(d, handle);
        if (!rec) return;
        if (rec->callbackThreadId.load() == std::this_thread::get_id()) {
            rec->closeRequested.store(true);
            return;
        }
        Unlink(d, handle);
    }
    TeardownPort(*rec);
    rec.reset();
    std::lock_guard<std::mutex> g(d.global);
    // Checked again under the lock: a port opened meanwhile keeps the driver up.
    if (d.started && d.portList.empty()) d.started = false;
}

std::int32_t SerialRead(std::int32_t handle, std::uint32_t maxCount, std::uint8_t* buffer) {
    if (handle == 0) return SERIAL_ERR_HANDLE;
    if (maxCount == 0 || buffer == nullptr) return SERIAL_ERR_BUFFER;
    PortAccess access(handle);
    if (!access.ok()) return SERIAL_ERR_HANDLE;
    Device& dev = access.device();
    std::uint32_t errors = 0;
    std::uint32_t queued = 0;
    if (!dev.ClearError(errors, &queued)) return access.gone() ? SERIAL_ERR_GONE : SERIAL_ERR_SYSTEM;
    // What came before a hang-up is read first.
    if (queued == 0) return access.gone() ? SERIAL_ERR_GONE : 0;
    const std::uint32_t n =
        std::min({maxCount, queued, static_cast<std::uint32_t>(INT32_MAX)});
    const IoResult r = dev.Read(buffer, n);
    if (r.status == IoStatus::NoEvent) return SERIAL_ERR_SYSTEM;
    if (r.status != IoStatus::Ok) return access.gone() ? SERIAL_ERR_GONE : SERIAL_ERR_READ;
    return static_cast<std::int32_t>(std::min(r.count, n));
}

std::int32_t SerialWrite(std::int32_t handle, std::uint32_t count, const std::uint8_t* buffer) {
    if (handle == 0) return SERIAL_ERR_HANDLE;
    if (count == 0 || buffer == nullptr) return SERIAL_ERR_BUFFER;
    PortAccess access(handle);
    if (!access.ok()) return SERIAL_ERR_HANDLE;
    if (access.gone()) return SERIAL_ERR_GONE;
    // The result is a signed count, so one call writes at most INT32_MAX bytes.
    const std::uint32_t n = std::min(count, static_cast<std::uint32_t>(INT32_MAX));
    const IoResult r = access.device().Write(buffer, n);
    if (r.status == IoStatus::NoEvent) return SERIAL_ERR_SYSTEM;
    if (r.status != IoStatus::Ok) return access.gone() ? SERIAL_ERR_GONE : SERIAL_ERR_WRITE;
    return static_cast<std::int32_t>(std::min(r.count, n));
}

std::int32_t SerialSendBreak(std::int32_t handle) {
    if (handle == 0) return SERIAL_ERR_HANDLE;
    PortAccess access(handle);
    if (!access.ok()) return SERIAL_ERR_HANDLE;
    if (!access.device().SetBreak()) return SERIAL_ERR_WRITE;
    access.device().ClearBreak();
    return 0;
}

std::int32_t SerialSetLines(std::int32_t handle, std::uint32_t lines) {
    if (handle == 0) return SERIAL_ERR_HANDLE;
    PortAccess access(handle);
    if (!access.ok()) return SERIAL_ERR_HANDLE;
    access.device().Escape((lines & SERIAL_LINE_RTS) ? kEscSetRts : kEscClrRts);
    access.device().Escape((lines & SERIAL_LINE_DTR) ? kEscSetDtr : kEscClrDtr);
    return 0;
}

std::int32_t SerialGetModemStatus(std::int32_t handle, std::uint32_t* status) {
    if (handle == 0) return SERIAL_ERR_HANDLE;
    if (status == nullptr) return SERIAL_ERR_BUFFER;
    PortAccess access(handle);
    if (!access.ok()) return SERIAL_ERR_HANDLE;
    std::uint32_t ms = 0;
    if (!access.device().GetModemStatus(ms)) return SERIAL_ERR_READ;
    *status = ModemBits(ms);
    return 0;
}
