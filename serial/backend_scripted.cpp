#include "backend_scripted.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <set>
#include <string>

namespace vtrl::serial {

struct ScriptedBackend::PortState {
    bool open = false;
    std::deque<std::uint8_t> queue;
    std::uint32_t pendingEvents = 0;
    std::uint32_t errors = 0;
    std::uint32_t modem = 0;
    std::set<Fail> failures;
    std::optional<std::uint32_t> writeLimit;
    std::vector<std::uint8_t> written;
    std::vector<std::uint32_t> escapes;
    std::optional<LineSettings> settings;
    std::optional<CommTimeouts> timeouts;
    std::uint32_t eventMask = 0;
    int breaks = 0;
    bool breakOn = false;
    bool hungUp = false;
    std::uint64_t generation = 0;  // which open the state belongs to
};

// One lock and one condition for every port and stop event of the backend:
// a stop event only has to wake the waits of this backend.
struct ScriptedBackend::Shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::uint32_t, PortState> ports;
    std::uint64_t opens = 0;
};

namespace {

using Shared = ScriptedBackend::Shared;
using Fail = ScriptedBackend::Fail;
using PortState = ScriptedBackend::PortState;

class ScriptedStop final : public StopEvent {
public:
    explicit ScriptedStop(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    void Signal() override {
        {
            std::lock_guard<std::mutex> lock(shared_->mutex);
            set_ = true;
        }
        shared_->cv.notify_all();
    }
    bool IsSignalled() override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return set_;
    }
    bool SetLocked() const { return set_; }  // shared mutex held
    const Shared* owner() const { return shared_.get(); }

private:
    std::shared_ptr<Shared> shared_;
    bool set_ = false;
};

class ScriptedDevice final : public Device {
public:
    ScriptedDevice(std::shared_ptr<Shared> shared, std::uint32_t port, std::uint64_t generation)
        : shared_(std::move(shared)), port_(port), generation_(generation) {}
    ~ScriptedDevice() override { Close(); }

    void Close() override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (PortState* p = Mine()) p->open = false;
        closed_ = true;
    }
    bool SetupQueues(std::uint32_t, std::uint32_t) override { return Simple(Fail::SetupQueues); }
    bool GetState(LineSettings& s) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::GetState);
        if (!p) return false;
        s = p->settings.value_or(LineSettings{});
        return true;
    }
    bool SetState(const LineSettings& s) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::SetState);
        if (!p) return false;
        p->settings = s;
        return true;
    }
    bool SetTimeouts(const CommTimeouts& t) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::SetTimeouts);
        if (!p) return false;
        p->timeouts = t;
        return true;
    }
    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::EventMask);
        if (!p) return false;
        p->eventMask = mask;
        return true;
    }
    WaitOutcome WaitEvent(StopEvent& stop, std::uint32_t& mask) override {
        auto* s = dynamic_cast<ScriptedStop*>(&stop);
        if (s == nullptr || s->owner() != shared_.get()) return WaitOutcome::Failed;
        std::unique_lock<std::mutex> lock(shared_->mutex);
        for (;;) {
            if (s->SetLocked()) return WaitOutcome::Stopped;
            PortState* p = Usable(Fail::Wait);
            if (!p) return WaitOutcome::Failed;
            const std::uint32_t events = p->pendingEvents & p->eventMask;
            if (events != 0) {
                p->pendingEvents = 0;
                mask = events;
                return WaitOutcome::Ready;
            }
            if (p->hungUp) return WaitOutcome::HungUp;
            shared_->cv.wait(lock);
        }
    }
    bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::ClearError);
        if (!p) return false;
        errors = p->errors;
        p->errors = 0;
        if (inQueue) *inQueue = static_cast<std::uint32_t>(p->queue.size());
        return true;
    }
    bool GetModemStatus(std::uint32_t& status) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::ModemStatus);
        if (!p) return false;
        status = p->modem;
        return true;
    }
    IoResult Read(std::uint8_t* buffer, std::uint32_t count) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        IoResult r;
        PortState* p = Usable(Fail::Read);
        if (!p) return r;
        if (p->failures.count(Fail::ReadNoEvent)) {
            r.status = IoStatus::NoEvent;
            return r;
        }
        const std::size_t n = std::min<std::size_t>(count, p->queue.size());
        std::copy_n(p->queue.begin(), n, buffer);
        p->queue.erase(p->queue.begin(), p->queue.begin() + static_cast<std::ptrdiff_t>(n));
        r.status = IoStatus::Ok;
        r.count = static_cast<std::uint32_t>(n);
        return r;
    }
    IoResult Write(const std::uint8_t* buffer, std::uint32_t count) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        IoResult r;
        PortState* p = Usable(Fail::Write);
        if (!p || p->hungUp) return r;
        if (p->failures.count(Fail::WriteNoEvent)) {
            r.status = IoStatus::NoEvent;
            return r;
        }
        std::uint32_t n = count;
        if (p->writeLimit) {
            const std::size_t room = *p->writeLimit > p->written.size()
                                         ? *p->writeLimit - p->written.size()
                                         : 0;
            n = static_cast<std::uint32_t>(std::min<std::size_t>(n, room));
        }
        if (n == 0) return r;  // timed out with nothing written
        p->written.insert(p->written.end(), buffer, buffer + n);
        r.status = IoStatus::Ok;
        r.count = n;
        return r;
    }
    bool SetBreak() override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Usable(Fail::Break);
        if (!p) return false;
        p->breakOn = true;
        ++p->breaks;
        return true;
    }
    bool ClearBreak() override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Mine();
        if (!p) return false;
        p->breakOn = false;
        return true;
    }
    bool Escape(std::uint32_t function) override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState* p = Mine();
        if (!p) return false;
        p->escapes.push_back(function);
        return true;
    }
    SystemError LastError() const override {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        SystemError e;
        auto it = shared_->ports.find(port_);
        const bool gone = !closed_ && it != shared_->ports.end() &&
                          it->second.generation == generation_ && it->second.hungUp;
        e.kind = gone ? SystemError::Kind::Gone : SystemError::Kind::Other;
        e.detail = gone ? "scripted hang-up" : "scripted failure";
        return e;
    }

private:
    PortState* Mine() {  // shared mutex held
        if (closed_) return nullptr;
        auto it = shared_->ports.find(port_);
        if (it == shared_->ports.end() || it->second.generation != generation_) return nullptr;
        return &it->second;
    }
    PortState* Usable(Fail what) {
        PortState* p = Mine();
        if (p && p->failures.count(what)) return nullptr;
        return p;
    }
    bool Simple(Fail what) {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return Usable(what) != nullptr;
    }

    std::shared_ptr<Shared> shared_;
    std::uint32_t port_;
    std::uint64_t generation_;
    bool closed_ = false;
};

}  // namespace

ScriptedBackend::ScriptedBackend() : shared_(std::make_shared<Shared>()) {}
ScriptedBackend::~ScriptedBackend() = default;

void ScriptedBackend::AddPort(std::uint32_t port) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->ports[port];
}

void ScriptedBackend::Inject(std::uint32_t port, const Injection& in) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState& p = shared_->ports[port];
        if (!in.bytes.empty()) {
            p.queue.insert(p.queue.end(), in.bytes.begin(), in.bytes.end());
            p.pendingEvents |= kEvRxChar;
        }
        if (in.lineErrors != 0) {
            p.errors |= in.lineErrors;
            p.pendingEvents |= kEvErr;
        }
        if (in.lineBreak) {
            p.errors |= kCeBreak;
            p.pendingEvents |= kEvBreak;
        }
        if (in.modemStatus) {
            const std::uint32_t changed = p.modem ^ *in.modemStatus;
            if (changed & kMsCtsOn) p.pendingEvents |= kEvCts;
            if (changed & kMsDsrOn) p.pendingEvents |= kEvDsr;
            if (changed & kMsRingOn) p.pendingEvents |= kEvRing;
            if (changed & kMsRlsdOn) p.pendingEvents |= kEvRlsd;
            p.modem = *in.modemStatus;
        }
    }
    shared_->cv.notify_all();
}

void ScriptedBackend::InjectBytes(std::uint32_t port, const std::vector<std::uint8_t>& bytes) {
    Injection in;
    in.bytes = bytes;
    Inject(port, in);
}

void ScriptedBackend::SetFailure(std::uint32_t port, Fail what, bool on) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        PortState& p = shared_->ports[port];
        if (on)
            p.failures.insert(what);
        else
            p.failures.erase(what);
    }
    shared_->cv.notify_all();
}

void ScriptedBackend::HangUp(std::uint32_t port) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->ports[port].hungUp = true;
    }
    shared_->cv.notify_all();
}

void ScriptedBackend::LimitWrites(std::uint32_t port, std::uint32_t bytes) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->ports[port].writeLimit = bytes;
}

#define VTRL_SCRIPTED_GETTER(type, name, expr)              \
    type ScriptedBackend::name(std::uint32_t port) {        \
        std::lock_guard<std::mutex> lock(shared_->mutex);   \
        const PortState& p = shared_->ports[port];          \
        return expr;                                        \
    }
VTRL_SCRIPTED_GETTER(bool, IsOpen, p.open)
VTRL_SCRIPTED_GETTER(std::vector<std::uint8_t>, Written, p.written)
VTRL_SCRIPTED_GETTER(std::vector<std::uint32_t>, Escapes, p.escapes)
VTRL_SCRIPTED_GETTER(std::optional<LineSettings>, Settings, p.settings)
VTRL_SCRIPTED_GETTER(std::optional<CommTimeouts>, Timeouts, p.timeouts)
VTRL_SCRIPTED_GETTER(std::uint32_t, EventMask, p.eventMask)
VTRL_SCRIPTED_GETTER(int, BreakCount, p.breaks)
VTRL_SCRIPTED_GETTER(bool, BreakOn, p.breakOn)
VTRL_SCRIPTED_GETTER(std::uint32_t, QueuedBytes, static_cast<std::uint32_t>(p.queue.size()))
#undef VTRL_SCRIPTED_GETTER

std::shared_ptr<Device> ScriptedBackend::Open(std::uint32_t port, SystemError& error) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto it = shared_->ports.find(port);
    error = SystemError{};
    if (it == shared_->ports.end()) {
        error.kind = SystemError::Kind::Missing;
        error.detail = "COM" + std::to_string(port) + " does not exist";
        return nullptr;
    }
    PortState& p = it->second;
    if (p.open) {
        error.kind = SystemError::Kind::InUse;
        error.detail = "COM" + std::to_string(port) + " is in use";
        return nullptr;
    }
    if (p.failures.count(Fail::Open)) {
        error.kind = SystemError::Kind::Other;
        error.detail = "scripted open failure";
        return nullptr;
    }
    p.open = true;
    p.hungUp = false;  // plugged in again
    p.generation = ++shared_->opens;
    return std::make_shared<ScriptedDevice>(shared_, port, p.generation);
}

std::shared_ptr<StopEvent> ScriptedBackend::CreateStopEvent() {
    return std::make_shared<ScriptedStop>(shared_);
}

PortProbe ScriptedBackend::Probe(std::uint32_t port) {
    PortProbe probe;
    probe.path = "COM" + std::to_string(port);
    SystemError error;
    auto device = Open(port, error);
    if (device) {
        device->Close();
        probe.outcome = PortProbe::Outcome::Opened;
        return probe;
    }
    probe.detail = error.detail;
    probe.outcome = error.kind == SystemError::Kind::Missing ? PortProbe::Outcome::Missing
                    : error.kind == SystemError::Kind::InUse ? PortProbe::Outcome::InUse
                                                             : PortProbe::Outcome::Failed;
    return probe;
}

}  // namespace vtrl::serial
