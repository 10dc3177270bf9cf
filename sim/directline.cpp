#include "directline.h"

#include "line.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace vtrl::sim {

namespace {

using serial::IoResult;
using serial::IoStatus;
using serial::SystemError;
using serial::WaitOutcome;

// Both ends of one line. The device's end is up while its simulator runs;
// each open of the PC's end and each start of the device is a generation,
// so that an end left over from before sees the line as gone.
struct Wire {
    bool deviceUp = false;
    std::uint64_t deviceGeneration = 0;
    bool pcOpen = false;
    std::uint64_t pcGeneration = 0;
    std::deque<std::uint8_t> toDevice;
    std::deque<std::uint8_t> toPc;
    bool received = false;   // bytes came for the PC since its last event
    bool wake = false;       // the device's wait is to look again
};

constexpr std::size_t kReadChunk = 4096;

std::string PortName(std::uint32_t port)
{
    return "COM" + std::to_string(port);
}

}  // namespace

// One lock and one condition for every line and stop event: a stop or a byte
// only has to wake the waits of this backend.
struct DirectBackend::Hub {
    std::mutex mutex;
    std::condition_variable cv;
    std::map<std::uint32_t, Wire> wires;
    std::uint64_t generations = 0;
};

namespace {

using Hub = DirectBackend::Hub;

class DirectStop final : public serial::StopEvent {
public:
    explicit DirectStop(std::shared_ptr<Hub> hub) : hub_(std::move(hub)) {}
    void Signal() override
    {
        {
            std::lock_guard lock(hub_->mutex);
            set_ = true;
        }
        hub_->cv.notify_all();
    }
    bool IsSignalled() override
    {
        std::lock_guard lock(hub_->mutex);
        return set_;
    }
    bool SetLocked() const { return set_; }
    const Hub* owner() const { return hub_.get(); }

private:
    std::shared_ptr<Hub> hub_;
    bool set_ = false;
};

// The device's end, run by the simulator's thread.
class DirectLine final : public Transport {
public:
    DirectLine(std::shared_ptr<Hub> hub, std::uint32_t port) : hub_(std::move(hub)), port_(port) {}

    bool open(std::string&) override
    {
        {
            std::lock_guard lock(hub_->mutex);
            Wire& w = hub_->wires[port_];
            w.deviceUp = true;
            w.deviceGeneration = ++hub_->generations;
            w.toDevice.clear();
            w.wake = false;
        }
        hub_->cv.notify_all();
        return true;
    }
    void close() override
    {
        {
            std::lock_guard lock(hub_->mutex);
            Wire& w = hub_->wires[port_];
            w.deviceUp = false;
            w.toDevice.clear();
        }
        hub_->cv.notify_all();
    }
    std::string path() const override { return {}; }
    void wakeUp() override
    {
        {
            std::lock_guard lock(hub_->mutex);
            hub_->wires[port_].wake = true;
        }
        hub_->cv.notify_all();
    }
    bool wait(std::optional<Millis> timeout, bool, std::vector<std::uint8_t>& in, std::string&) override
    {
        std::unique_lock lock(hub_->mutex);
        Wire& w = hub_->wires[port_];
        const auto ready = [&] { return w.wake || !w.toDevice.empty(); };
        if (timeout)
            hub_->cv.wait_for(lock, *timeout, ready);
        else
            hub_->cv.wait(lock, ready);
        w.wake = false;
        const std::size_t n = std::min(w.toDevice.size(), kReadChunk);
        in.insert(in.end(), w.toDevice.begin(), w.toDevice.begin() + static_cast<std::ptrdiff_t>(n));
        w.toDevice.erase(w.toDevice.begin(), w.toDevice.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
    }
    void write(std::vector<std::uint8_t>& out) override
    {
        if (out.empty())
            return;
        {
            std::lock_guard lock(hub_->mutex);
            Wire& w = hub_->wires[port_];
            // With the port closed nobody listens: what the device says is lost.
            if (w.pcOpen) {
                w.toPc.insert(w.toPc.end(), out.begin(), out.end());
                w.received = true;
            }
        }
        out.clear();
        hub_->cv.notify_all();
    }

private:
    std::shared_ptr<Hub> hub_;
    std::uint32_t port_;
};

// The PC's end, as the driver opened it.
class DirectDevice final : public serial::Device {
public:
    DirectDevice(std::shared_ptr<Hub> hub, std::uint32_t port, std::uint64_t pc, std::uint64_t device)
        : hub_(std::move(hub)), port_(port), pcGeneration_(pc), deviceGeneration_(device) {}
    ~DirectDevice() override { Close(); }

    void Close() override
    {
        {
            std::lock_guard lock(hub_->mutex);
            if (Wire* w = Mine())
                w->pcOpen = false;
            closed_ = true;
        }
        hub_->cv.notify_all();
    }
    bool SetupQueues(std::uint32_t, std::uint32_t) override { return Usable(); }
    bool GetState(serial::LineSettings& settings) override
    {
        std::lock_guard lock(hub_->mutex);
        if (!Mine())
            return false;
        settings = settings_;
        return true;
    }
    bool SetState(const serial::LineSettings& settings) override
    {
        std::lock_guard lock(hub_->mutex);
        if (!Mine())
            return false;
        settings_ = settings;
        return true;
    }
    bool SetTimeouts(const serial::CommTimeouts&) override { return Usable(); }
    bool SetEventMask(std::uint32_t mask) override
    {
        std::lock_guard lock(hub_->mutex);
        if (!Mine())
            return false;
        mask_ = mask;
        return true;
    }
    WaitOutcome WaitEvent(serial::StopEvent& stop, std::uint32_t& mask) override
    {
        auto* s = dynamic_cast<DirectStop*>(&stop);
        if (!s || s->owner() != hub_.get())
            return WaitOutcome::Failed;
        std::unique_lock lock(hub_->mutex);
        for (;;) {
            if (s->SetLocked())
                return WaitOutcome::Stopped;
            Wire* w = Mine();
            if (!w)
                return WaitOutcome::Failed;
            if (w->received && (mask_ & serial::kEvRxChar)) {
                w->received = false;
                mask = serial::kEvRxChar;
                return WaitOutcome::Ready;
            }
            if (Gone(*w))
                return WaitOutcome::HungUp;
            hub_->cv.wait(lock);
        }
    }
    bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) override
    {
        std::lock_guard lock(hub_->mutex);
        Wire* w = Mine();
        if (!w)
            return false;
        errors = 0;
        if (inQueue)
            *inQueue = static_cast<std::uint32_t>(w->toPc.size());
        return true;
    }
    bool GetModemStatus(std::uint32_t& status) override
    {
        std::lock_guard lock(hub_->mutex);
        Wire* w = Mine();
        if (!w)
            return false;
        // A powered device holds its outputs up.
        status = Gone(*w) ? 0 : serial::kMsCtsOn | serial::kMsDsrOn;
        return true;
    }
    IoResult Read(std::uint8_t* buffer, std::uint32_t count) override
    {
        std::lock_guard lock(hub_->mutex);
        IoResult r;
        Wire* w = Mine();
        if (!w)
            return r;
        const std::size_t n = std::min<std::size_t>(count, w->toPc.size());
        std::copy_n(w->toPc.begin(), n, buffer);
        w->toPc.erase(w->toPc.begin(), w->toPc.begin() + static_cast<std::ptrdiff_t>(n));
        r.status = IoStatus::Ok;
        r.count = static_cast<std::uint32_t>(n);
        return r;
    }
    IoResult Write(const std::uint8_t* buffer, std::uint32_t count) override
    {
        IoResult r;
        {
            std::lock_guard lock(hub_->mutex);
            Wire* w = Mine();
            if (!w || Gone(*w))
                return r;
            w->toDevice.insert(w->toDevice.end(), buffer, buffer + count);
            r.status = IoStatus::Ok;
            r.count = count;
        }
        hub_->cv.notify_all();
        return r;
    }
    bool SetBreak() override { return Usable(); }
    bool ClearBreak() override { return Usable(); }
    bool Escape(std::uint32_t) override { return Usable(); }
    SystemError LastError() const override
    {
        std::lock_guard lock(hub_->mutex);
        SystemError e;
        const Wire* w = Mine();
        const bool gone = w && Gone(*w);
        e.kind = gone ? SystemError::Kind::Gone : SystemError::Kind::Other;
        e.detail = gone ? "the simulated device went away" : "the port is closed";
        return e;
    }

private:
    // All with the hub's lock held.
    Wire* Mine() const
    {
        if (closed_)
            return nullptr;
        auto it = hub_->wires.find(port_);
        if (it == hub_->wires.end() || !it->second.pcOpen || it->second.pcGeneration != pcGeneration_)
            return nullptr;
        return &it->second;
    }
    bool Gone(const Wire& w) const { return !w.deviceUp || w.deviceGeneration != deviceGeneration_; }
    bool Usable()
    {
        std::lock_guard lock(hub_->mutex);
        return Mine() != nullptr;
    }

    std::shared_ptr<Hub> hub_;
    std::uint32_t port_;
    std::uint64_t pcGeneration_;
    std::uint64_t deviceGeneration_;
    bool closed_ = false;
    std::uint32_t mask_ = 0;
    serial::LineSettings settings_{};
};

}  // namespace

DirectBackend::DirectBackend() : hub_(std::make_shared<Hub>()) {}
DirectBackend::~DirectBackend() = default;

bool DirectBackend::attach(std::uint32_t port, Simulator& device)
{
    return device.start(std::make_unique<DirectLine>(hub_, port));
}

std::shared_ptr<serial::Device> DirectBackend::Open(std::uint32_t port, SystemError& error)
{
    std::lock_guard lock(hub_->mutex);
    error = SystemError{};
    auto it = hub_->wires.find(port);
    if (it == hub_->wires.end() || !it->second.deviceUp) {
        error.kind = SystemError::Kind::Missing;
        error.detail = PortName(port) + ": no simulated device there";
        return nullptr;
    }
    Wire& w = it->second;
    if (w.pcOpen) {
        error.kind = SystemError::Kind::InUse;
        error.detail = PortName(port) + " is in use";
        return nullptr;
    }
    w.pcOpen = true;
    w.pcGeneration = ++hub_->generations;
    w.toPc.clear();
    w.received = false;
    return std::make_shared<DirectDevice>(hub_, port, w.pcGeneration, w.deviceGeneration);
}

std::shared_ptr<serial::StopEvent> DirectBackend::CreateStopEvent()
{
    return std::make_shared<DirectStop>(hub_);
}

serial::PortProbe DirectBackend::Probe(std::uint32_t port)
{
    serial::PortProbe probe;
    probe.port = port;
    probe.path = kDirectPortPath;
    SystemError error;
    if (auto device = Open(port, error)) {
        device->Close();
        probe.outcome = serial::PortProbe::Outcome::Opened;
        return probe;
    }
    probe.detail = error.detail;
    probe.outcome = error.kind == SystemError::Kind::Missing ? serial::PortProbe::Outcome::Missing
                    : error.kind == SystemError::Kind::InUse ? serial::PortProbe::Outcome::InUse
                                                             : serial::PortProbe::Outcome::Failed;
    return probe;
}

}  // namespace vtrl::sim
