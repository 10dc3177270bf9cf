#include "simulator.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace vtrl::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DeviceAddress kZeroAddress{};

struct Device {
    DeviceProfile profile;
    DeviceConfig working;
    DeviceConfig flash;

    explicit Device(DeviceProfile p) : profile(std::move(p)), working(profile.config), flash(profile.config) {}
};

struct Pending {
    std::uint8_t type = 0;
    std::vector<std::uint8_t> payload;
    std::optional<DeviceAddress> linksTo;   // a ConnectionStatus 2: the link is up once it is sent
    unsigned linkEpoch = 0;
};

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

template <std::size_t N>
void copyText(std::vector<std::uint8_t>& out, std::size_t at, const std::string& text)
{
    std::memcpy(out.data() + at, text.data(), std::min(text.size(), N));
}

std::string sysError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

DeviceProfile defaultLocalDevice()
{
    DeviceProfile p;
    p.address = *parseAddress("001BDC0A1234");
    p.appVersion = "Vantrel App V3.05";
    p.btVersion = "Vantrel BT Stack V2.1+EDR";
    p.config.deviceFunction = 1;
    p.config.baudCode = 6;
    p.config.dataBitsCode = 2;
    p.config.parityCode = 1;
    p.config.stopBitsCode = 1;
    p.config.flowControlCode = 3;
    p.config.interfaceCode = 2;
    p.config.setName("Vantrel/S Bench");
    p.config.bondRole = 1;
    p.config.bondedAddress = *parseAddress("001BDC0A5678");
    p.config.powerByte = 0x12;
    p.config.setPin("0000");
    return p;
}

std::vector<DeviceProfile> defaultRemoteDevices()
{
    auto remote = [](const char* address, const char* name, const char* version) {
        DeviceProfile p;
        p.address = *parseAddress(address);
        p.appVersion = version;
        p.config.interfaceCode = 1;
        p.config.bondRole = 2;
        p.config.setName(name);
        p.config.setPin("0000");
        return p;
    };
    std::vector<DeviceProfile> out;
    // Over the air a cable replacement unit calls itself "Vantrel/C"; one
    // whose name the radio could not read is "Unknown".
    out.push_back(remote("001BDC0A5678", "Vantrel/S Pump Room", "Vantrel App V3.05"));
    out.back().config.bondedAddress = defaultLocalDevice().address;
    out.back().inquiryName = "Vantrel/C";
    out.push_back(remote("001BDC0A9ABC", "Vantrel/S Dock 2", "Vantrel App V2.10"));
    out.back().inquiryName = "Unknown";
    out.push_back(remote("001BDC0ADEF0", "Vantrel/S Legacy", "Vantrel App V2.08"));
    out.back().inquiryName = "Vantrel/C";
    // Something else in range, which the wizard must not offer.
    out.push_back(remote("5C17A0B1C2D3", "Mobile Phone", "Phone OS 11.2"));
    return out;
}

struct Simulator::Impl {
    mutable std::mutex m;
    mutable std::condition_variable cv;

    // devices
    Device local{defaultLocalDevice()};
    std::vector<Device> remotes;

    // timing and faults
    Millis answerDelay{0};
    Millis inquiryDelay{100};
    Millis resyncTimeout{500};
    BondingScript bonding;
    bool silent = false;
    std::set<std::uint8_t> silentTypes;
    struct Refusal {
        std::uint8_t reason;
        bool once;
    };
    std::map<std::uint8_t, Refusal> refusals;
    int badCrc = 0;
    int truncate = 0;
    int wrongConfigSeq = 0;
    std::vector<std::uint8_t> noise;
    bool answerChecksumFailures = true;
    bool ignoreSettings = false;

    // port settings pages: Confirmations naming another command
    struct Renaming {
        std::uint8_t named;
        bool once;
    };
    std::map<std::uint8_t, Renaming> confirmRenames;
    std::uint8_t confirmedName(std::uint8_t command)
    {
        const auto it = confirmRenames.find(command);
        if (it == confirmRenames.end())
            return command;
        const std::uint8_t named = it->second.named;
        if (it->second.once)
            confirmRenames.erase(it);
        return named;
    }
    // discovery and pairing scripts
    InquiryScript inquiry;
    PingScript ping;
    Millis bondResultDelay{0};
    std::set<DeviceAddress> unresponsive;
    // The remote the radio link is up to. Until the first bonding or link report
    // it is the attached device's bonded partner, which a powered pair reaches
    // by itself; a bonding drops it until its ConnectionStatus 2 goes out.
    bool linkToPartner = true;
    std::optional<DeviceAddress> link;
    unsigned linkEpoch = 0;   // a bonding voids link reports still queued

    // configuration and save pages
    std::map<std::uint8_t, Millis> typeDelays;
    Millis answeringExtra{0};   // extra delay of the frame being answered

    // inspection
    std::vector<ReceivedFrame> received;
    int aborts = 0;
    int linkKeyResets = 0;
    std::size_t answersWritten = 0;
    std::size_t partialDrops = 0;

    // line
    Fd master, slave, wake;
    std::string slavePath;
    std::string error;
    std::thread thread;
    bool stopping = false;
    bool started = false;
    FrameParser parser;
    Clock::time_point lastByte{};
    std::multimap<Clock::time_point, Pending> queue;
    std::vector<std::uint8_t> out;
    std::uint8_t seqOut = 0;

    Impl()
    {
        for (auto& p : defaultRemoteDevices())
            remotes.emplace_back(std::move(p));
    }

    // ---- called with m held ----
    Device* find(const DeviceAddress& a)
    {
        if (a == kZeroAddress || a == local.profile.address)
            return &local;
        for (auto& r : remotes)
            if (r.profile.address == a)
                return &r;
        return nullptr;
    }
    Device* findRemote(const DeviceAddress& a)
    {
        for (auto& r : remotes)
            if (r.profile.address == a)
                return &r;
        return nullptr;
    }

    Device* linkedRemote()
    {
        if (linkToPartner)
            return local.working.bondedAddress == kZeroAddress ? nullptr : findRemote(local.working.bondedAddress);
        return link ? findRemote(*link) : nullptr;
    }
    // The attached device, or a remote only while the link is up to it.
    Device* reachable(const DeviceAddress& a)
    {
        if (a == kZeroAddress || a == local.profile.address)
            return &local;
        Device* r = linkedRemote();
        return r && r->profile.address == a ? r : nullptr;
    }
    void dropLink()
    {
        linkToPartner = false;
        link.reset();
        ++linkEpoch;
    }

    void schedule(std::uint8_t type, std::vector<std::uint8_t> payload, Millis extra = Millis{0})
    {
        queue.emplace(Clock::now() + answerDelay + answeringExtra + extra, Pending{type, std::move(payload), std::nullopt, 0});
    }
    void scheduleLinkUp(const DeviceAddress& remote, Millis extra)
    {
        queue.emplace(Clock::now() + answerDelay + answeringExtra + extra,
                      Pending{type::ConnectionStatus, {2}, remote, linkEpoch});
    }
    void negative(std::uint8_t command, std::uint8_t why) { schedule(type::NegativeResponse, {command, why}); }
    void confirm(std::uint8_t command) { schedule(type::Confirmation, {confirmedName(command)}); }

    void handle(Frame&& f)
    {
        received.push_back(ReceivedFrame{f.type, f.seq, f.payload, f.crcOk});
        if (f.crcOk && f.type == type::Abort)
            ++aborts;
        if (silent)
            return;
        const auto extra = typeDelays.find(f.type);
        answeringExtra = extra == typeDelays.end() ? Millis{0} : extra->second;
        if (!f.crcOk) {
            if (answerChecksumFailures)
                negative(f.type, reason::ChecksumFailure);
            return;
        }
        if (silentTypes.count(f.type))
            return;
        if (ignoreSettings && ((f.type == type::SetPortConfig && f.payload.size() == 14) ||
                               (f.type == type::SetDeviceConfig && f.payload.size() == 51))) {
            confirm(f.type);
            return;
        }
        if (auto it = refusals.find(f.type); it != refusals.end()) {
            negative(f.type, it->second.reason);
            if (it->second.once)
                refusals.erase(it);
            return;
        }
        dispatch(f);
    }

    static DeviceAddress addressAt(const std::vector<std::uint8_t>& p)
    {
        DeviceAddress a{};
        std::copy_n(p.begin(), 6, a.begin());
        return a;
    }

    void dispatch(const Frame& f)
    {
        const auto& p = f.payload;
        auto expect = [&](std::size_t n) {
            if (p.size() == n)
                return true;
            negative(f.type, reason::ErrorExecuting);
            return false;
        };
        switch (f.type) {
        case type::GetLocalAddress:
            if (expect(0))
                schedule(type::LocalAddress, {local.profile.address.begin(), local.profile.address.end()});
            return;
        case type::GetVersion:
            if (expect(6) && !unresponsive.count(addressAt(p)))
                answerVersion(addressAt(p));
            return;
        case type::GetConfig:
            if (expect(6) && !unresponsive.count(addressAt(p)))
                answerConfig(f.seq, addressAt(p));
            return;
        case type::InitiateInquiry:
            if (expect(2))
                runInquiry();
            return;
        case type::InitiateBonding:
            if (expect(6))
                runBonding(addressAt(p));
            return;
        case type::PingRequest:
            if (!expect(6))
                return;
            if (findRemote(addressAt(p)))
                answerPing(addressAt(p));
            else
                negative(type::PingRequest, reason::ProcessTimedOut);
            return;
        case type::SetPortConfig:
            if (expect(14) && !unresponsive.count(addressAt(p)))
                setPortConfig(p);
            return;
        case type::SetDeviceConfig:
            if (expect(51))
                setDeviceConfig(p);
            return;
        case type::UpdateFlash:
            if (!expect(0))
                return;
            local.flash = local.working;
            if (Device* r = linkedRemote())
                r->flash = r->working;
            confirm(type::UpdateFlash);
            return;
        case type::Abort:
            return;   // counted in handle(); the device does not answer it
        default:
            negative(f.type, reason::UnknownCommand);
            return;
        }
    }

    void answerVersion(const DeviceAddress& a)
    {
        const Device* d = reachable(a);
        if (!d) {
            negative(type::GetVersion, reason::ProcessTimedOut);
            return;
        }
        std::vector<std::uint8_t> v(102, 0);
        std::copy(d->profile.versionKept.begin(), d->profile.versionKept.end(), v.begin());
        copyText<32>(v, 6, d->profile.appVersion);
        copyText<62>(v, 38, d->profile.btVersion);
        v[100] = static_cast<std::uint8_t>(d->profile.versionValue & 0xFF);
        v[101] = static_cast<std::uint8_t>(d->profile.versionValue >> 8);
        schedule(type::VersionInfo, std::move(v));
    }

    void answerConfig(std::uint8_t seq, const DeviceAddress& a)
    {
        const Device* d = reachable(a);
        if (!d) {
            negative(type::GetConfig, reason::ProcessTimedOut);
            return;
        }
        std::vector<std::uint8_t> v;
        v.push_back(seq);
        if (wrongConfigSeq > 0) {
            --wrongConfigSeq;
            v[0] = static_cast<std::uint8_t>(seq + 1);
        }
        auto block = encodeParameterBlock(d->working);
        v.insert(v.end(), block.begin(), block.end());
        schedule(type::ConfigReport, std::move(v));
    }

    void runInquiry()
    {
        Millis at{0};
        for (const auto& r : remotes) {
            if (!r.profile.discoverable)
                continue;
            std::vector<std::uint8_t> v(r.profile.address.begin(), r.profile.address.end());
            v.insert(v.end(), r.profile.inquiryExtra.begin(), r.profile.inquiryExtra.end());
            std::string name = r.profile.inquiryName.empty() ? r.working.name() : r.profile.inquiryName;
            name.resize(std::min<std::size_t>(name.size(), 247));   // 248-byte field with its zero
            v.insert(v.end(), name.begin(), name.end());
            v.push_back(0);
            for (int i = 0; i <= std::max(inquiry.duplicates, 0); ++i) {
                at += inquiryDelay;
                schedule(type::InquiryResult, v, at);
            }
        }
        if (!inquiry.completeMissing)
            schedule(type::InquiryComplete, {}, inquiry.completeAfter.value_or(at + inquiryDelay));
    }

    void runBonding(const DeviceAddress& a)
    {
        dropLink();
        Device* remote = findRemote(a);
        if (!remote) {
            schedule(type::BondResult, {bonding.failCode ? bonding.failCode : std::uint8_t{1}});
            return;
        }
        if (bonding.failBonds > 0) {
            --bonding.failBonds;
            schedule(type::BondResult, {bonding.failCode}, bondResultDelay);
            return;
        }
        // The previous partner forgets the local device.
        if (Device* old = findRemote(local.working.bondedAddress);
            old && old != remote && old->working.bondedAddress == local.profile.address)
            old->working.bondedAddress = {};
        local.working.bondedAddress = a;
        local.working.bondRole = 1;
        remote->working.bondedAddress = local.profile.address;
        remote->working.bondRole = 2;
        schedule(type::BondResult, {0}, bondResultDelay);
        Millis at = bondResultDelay;
        while (bonding.connectionDownReports > 0) {
            --bonding.connectionDownReports;
            at += bonding.stepDelay;
            schedule(type::ConnectionStatus, {bonding.downStatus}, at);
        }
        if (bonding.linkComesUp)
            scheduleLinkUp(a, at + bonding.stepDelay);
    }

    void answerPing(const DeviceAddress& a)
    {
        if (ping.confirm)
            confirm(type::PingRequest);
        if (ping.connectionStatus == 2)
            scheduleLinkUp(a, ping.connectionDelay);
        else if (ping.connectionStatus)
            schedule(type::ConnectionStatus, {*ping.connectionStatus}, ping.connectionDelay);
    }

    void setPortConfig(const std::vector<std::uint8_t>& p)
    {
        Device* d = reachable(addressAt(p));
        if (!d) {
            negative(type::SetPortConfig, reason::ProcessTimedOut);
            return;
        }
        auto in = [](std::uint8_t v, int lo, int hi) { return v >= lo && v <= hi; };
        if (!in(p[6], 1, 10) || !in(p[7], 1, 2) || !in(p[8], 1, 2) || !in(p[9], 1, 3) ||
            !in(p[10], 1, 2) || !in(p[11], 1, 3) || !in(p[13], 0, 1)) {
            negative(type::SetPortConfig, reason::ErrorExecuting);
            return;
        }
        DeviceConfig& c = d->working;
        c.baudCode = p[6];
        c.dataBitsCode = p[7];
        c.stopBitsCode = p[8];   // stop bits come before parity in this command
        c.parityCode = p[9];
        c.interfaceCode = p[10];
        c.flowControlCode = p[11];
        c.powerByte = p[12];
        c.outputOnCD = p[13];
        confirm(type::SetPortConfig);
    }

    void setDeviceConfig(const std::vector<std::uint8_t>& p)
    {
        if (p[32] > 1 || p[33] > 1 || p[50] > 1) {
            negative(type::SetDeviceConfig, reason::ErrorExecuting);
            return;
        }
        DeviceConfig& c = local.working;
        std::copy_n(p.begin(), 30, c.deviceName.begin());
        c.deviceName[29] = 0;   // an unterminated name is cut, never read past
        c.linkTimeout = static_cast<std::uint16_t>(p[30] | (p[31] << 8));
        c.encryption = p[32];
        c.authentication = p[33];
        std::copy_n(p.begin() + 34, 16, c.pinCode.begin());
        c.pinCode[15] = 0;
        if (p[50] == 1)
            ++linkKeyResets;
        confirm(type::SetDeviceConfig);
    }

    // Moves due answers into the output buffer, with the scripted faults.
    void release(Clock::time_point now)
    {
        while (!queue.empty() && queue.begin()->first <= now) {
            Pending a = std::move(queue.begin()->second);
            queue.erase(queue.begin());
            if (a.linksTo && a.linkEpoch == linkEpoch) {
                linkToPartner = false;
                link = a.linksTo;
            }
            auto frame = encodeFrame(a.type, seqOut++, a.payload);
            if (truncate > 0) {
                --truncate;
                frame.resize(frame.size() - kCrcSize);
            } else if (badCrc > 0) {
                --badCrc;
                frame.back() ^= 0xA5;
            }
            out.insert(out.end(), noise.begin(), noise.end());
            out.insert(out.end(), frame.begin(), frame.end());
            ++answersWritten;
        }
    }

    void flush()
    {
        while (!out.empty()) {
            const ssize_t n = ::write(master.get(), out.data(), out.size());
            if (n > 0) {
                out.erase(out.begin(), out.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            return;   // EAGAIN: nobody reads the slave; poll tells when there is room
        }
    }

    void serve()
    {
        std::unique_lock lock(m);
        while (!stopping) {
            auto now = Clock::now();
            release(now);
            flush();
            if (parser.midFrame() && resyncTimeout.count() > 0 && now - lastByte >= resyncTimeout) {
                parser.reset();
                ++partialDrops;
            }
            cv.notify_all();

            int timeout = -1;
            auto consider = [&](Clock::time_point t) {
                auto ms = std::chrono::ceil<Millis>(t - now).count();
                ms = std::max<decltype(ms)>(ms, 0);
                if (timeout < 0 || ms < timeout)
                    timeout = static_cast<int>(std::min<decltype(ms)>(ms, 60'000));
            };
            if (!queue.empty())
                consider(queue.begin()->first);
            if (parser.midFrame() && resyncTimeout.count() > 0)
                consider(lastByte + resyncTimeout);

            pollfd fds[2] = {{master.get(), static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                             {wake.get(), POLLIN, 0}};
            lock.unlock();
            const int rc = ::poll(fds, 2, timeout);
            lock.lock();
            if (rc < 0 && errno != EINTR) {
                error = sysError("poll");
                break;
            }
            if (fds[1].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] auto r = ::read(wake.get(), &v, sizeof v);
            }
            if (fds[0].revents & POLLIN) {
                std::uint8_t buf[4096];
                const ssize_t n = ::read(master.get(), buf, sizeof buf);
                if (n > 0) {
                    lastByte = Clock::now();
                    std::vector<Frame> frames;
                    parser.feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), frames);
                    for (auto& f : frames)
                        handle(std::move(f));
                }
            }
        }
        cv.notify_all();
    }

    void wakeUp() const
    {
        if (wake) {
            const std::uint64_t one = 1;
            [[maybe_unused]] auto r = ::write(wake.get(), &one, sizeof one);
        }
    }

    bool open()
    {
        master = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master) {
            error = sysError("posix_openpt");
            return false;
        }
        if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
            error = sysError("grantpt/unlockpt");
            return false;
        }
        char name[256];
        if (::ptsname_r(master.get(), name, sizeof name) != 0) {
            error = sysError("ptsname_r");
            return false;
        }
        slavePath = name;
        // Held open for the whole run: when the wizard closes the port the
        // master would otherwise see a hang-up and lose the line settings.
        slave = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!slave) {
            error = sysError("open slave");
            return false;
        }
        termios t{};
        if (::tcgetattr(slave.get(), &t) == 0) {
            ::cfmakeraw(&t);   // no echo: our answers must not come back to us as commands
            ::cfsetispeed(&t, B115200);
            ::cfsetospeed(&t, B115200);
            ::tcsetattr(slave.get(), TCSANOW, &t);
        }
        const int flags = ::fcntl(master.get(), F_GETFL);
        ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK);
        wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake) {
            error = sysError("eventfd");
            return false;
        }
        return true;
    }
};

Simulator::Simulator() : d_(std::make_unique<Impl>()) {}

Simulator::~Simulator() { stop(); }

bool Simulator::start()
{
    std::lock_guard lock(d_->m);
    if (d_->started)
        return true;
    d_->error.clear();
    if (!d_->open()) {
        d_->master.reset();
        d_->slave.reset();
        d_->wake.reset();
        d_->slavePath.clear();
        return false;
    }
    d_->stopping = false;
    d_->started = true;
    d_->thread = std::thread([this] { d_->serve(); });
    return true;
}

void Simulator::stop()
{
    {
        std::lock_guard lock(d_->m);
        if (!d_->started)
            return;
        d_->stopping = true;
    }
    d_->wakeUp();
    d_->thread.join();
    std::lock_guard lock(d_->m);
    d_->started = false;
    d_->queue.clear();
    d_->out.clear();
    d_->parser.reset();
    d_->wake.reset();
    d_->slave.reset();
    d_->master.reset();
    d_->slavePath.clear();
    d_->cv.notify_all();
}

bool Simulator::running() const
{
    std::lock_guard lock(d_->m);
    return d_->started && !d_->stopping;
}

std::string Simulator::slavePath() const
{
    std::lock_guard lock(d_->m);
    return d_->slavePath;
}

std::string Simulator::errorText() const
{
    std::lock_guard lock(d_->m);
    return d_->error;
}

void Simulator::setLocal(const DeviceProfile& profile)
{
    std::lock_guard lock(d_->m);
    d_->local = Device(profile);
    d_->linkToPartner = true;   // a fresh attached device reaches its own partner
    ++d_->linkEpoch;
}

DeviceProfile Simulator::local() const
{
    std::lock_guard lock(d_->m);
    return d_->local.profile;
}

void Simulator::clearRemotes()
{
    std::lock_guard lock(d_->m);
    d_->remotes.clear();
}

void Simulator::addRemote(const DeviceProfile& profile)
{
    std::lock_guard lock(d_->m);
    if (Device* r = d_->findRemote(profile.address))
        *r = Device(profile);
    else
        d_->remotes.emplace_back(profile);
}

std::vector<DeviceProfile> Simulator::remotes() const
{
    std::lock_guard lock(d_->m);
    std::vector<DeviceProfile> out;
    for (const auto& r : d_->remotes)
        out.push_back(r.profile);
    return out;
}

void Simulator::setLocalAddress(const DeviceAddress& address)
{
    std::lock_guard lock(d_->m);
    for (auto& r : d_->remotes) {
        if (r.working.bondedAddress == d_->local.profile.address)
            r.working.bondedAddress = address;
        if (r.flash.bondedAddress == d_->local.profile.address)
            r.flash.bondedAddress = address;
    }
    d_->local.profile.address = address;
}

void Simulator::setAppVersion(const DeviceAddress& device, const std::string& text)
{
    std::lock_guard lock(d_->m);
    if (Device* dev = d_->find(device))
        dev->profile.appVersion = text;
}

void Simulator::setBtVersion(const DeviceAddress& device, const std::string& text)
{
    std::lock_guard lock(d_->m);
    if (Device* dev = d_->find(device))
        dev->profile.btVersion = text;
}

bool Simulator::setStoredConfig(const DeviceAddress& device, const DeviceConfig& config)
{
    std::lock_guard lock(d_->m);
    Device* dev = d_->find(device);
    if (!dev)
        return false;
    dev->profile.config = config;
    dev->working = config;
    dev->flash = config;
    return true;
}

std::optional<DeviceConfig> Simulator::workingConfig(const DeviceAddress& device) const
{
    std::lock_guard lock(d_->m);
    if (const Device* dev = d_->find(device))
        return dev->working;
    return std::nullopt;
}

std::optional<DeviceConfig> Simulator::flashConfig(const DeviceAddress& device) const
{
    std::lock_guard lock(d_->m);
    if (const Device* dev = d_->find(device))
        return dev->flash;
    return std::nullopt;
}

void Simulator::setAnswerDelay(Millis delay)
{
    std::lock_guard lock(d_->m);
    d_->answerDelay = std::max(delay, Millis{0});
}

void Simulator::setInquiryDelay(Millis spacing)
{
    std::lock_guard lock(d_->m);
    d_->inquiryDelay = std::max(spacing, Millis{0});
}

void Simulator::setResyncTimeout(Millis timeout)
{
    {
        std::lock_guard lock(d_->m);
        d_->resyncTimeout = std::max(timeout, Millis{0});
    }
    d_->wakeUp();
}

void Simulator::setBonding(const BondingScript& script)
{
    std::lock_guard lock(d_->m);
    d_->bonding = script;
}

void Simulator::setSilent(bool silent)
{
    std::lock_guard lock(d_->m);
    d_->silent = silent;
}

void Simulator::setSilentFor(std::uint8_t commandType, bool silent)
{
    std::lock_guard lock(d_->m);
    if (silent)
        d_->silentTypes.insert(commandType);
    else
        d_->silentTypes.erase(commandType);
}

void Simulator::refuse(std::uint8_t commandType, std::uint8_t reasonCode, bool once)
{
    std::lock_guard lock(d_->m);
    d_->refusals[commandType] = Impl::Refusal{reasonCode, once};
}

void Simulator::accept(std::uint8_t commandType)
{
    std::lock_guard lock(d_->m);
    d_->refusals.erase(commandType);
}

void Simulator::setBadCrc(int answers)
{
    std::lock_guard lock(d_->m);
    d_->badCrc = std::max(answers, 0);
}

void Simulator::setTruncate(int answers)
{
    std::lock_guard lock(d_->m);
    d_->truncate = std::max(answers, 0);
}

void Simulator::setWrongConfigSeq(int reports)
{
    std::lock_guard lock(d_->m);
    d_->wrongConfigSeq = std::max(reports, 0);
}

void Simulator::setNoise(std::vector<std::uint8_t> bytes)
{
    std::lock_guard lock(d_->m);
    d_->noise = std::move(bytes);
}

void Simulator::setAnswerChecksumFailures(bool answer)
{
    std::lock_guard lock(d_->m);
    d_->answerChecksumFailures = answer;
}

// ---- discovery and pairing ----------------------------------------------

void Simulator::setInquiry(const InquiryScript& script)
{
    std::lock_guard lock(d_->m);
    d_->inquiry = script;
}

void Simulator::setPing(const PingScript& script)
{
    std::lock_guard lock(d_->m);
    d_->ping = script;
}

void Simulator::setBondResultDelay(Millis delay)
{
    std::lock_guard lock(d_->m);
    d_->bondResultDelay = std::max(delay, Millis{0});
}

bool Simulator::setInquiryName(const DeviceAddress& remote, const std::string& name)
{
    std::lock_guard lock(d_->m);
    Device* r = d_->findRemote(remote);
    if (!r)
        return false;
    r->profile.inquiryName = name;
    return true;
}

bool Simulator::setUnresponsive(const DeviceAddress& remote, bool unresponsive)
{
    std::lock_guard lock(d_->m);
    if (!d_->findRemote(remote))
        return false;
    if (unresponsive)
        d_->unresponsive.insert(remote);
    else
        d_->unresponsive.erase(remote);
    return true;
}

// ---- inspection -----------------------------------------------------------

std::vector<ReceivedFrame> Simulator::received() const
{
    std::lock_guard lock(d_->m);
    return d_->received;
}

std::size_t Simulator::receivedCount() const
{
    std::lock_guard lock(d_->m);
    return d_->received.size();
}

int Simulator::abortCount() const
{
    std::lock_guard lock(d_->m);
    return d_->aborts;
}

int Simulator::linkKeyResets() const
{
    std::lock_guard lock(d_->m);
    return d_->linkKeyResets;
}

std::size_t Simulator::answersWritten() const
{
    std::lock_guard lock(d_->m);
    return d_->answersWritten;
}

std::size_t Simulator::partialFramesDropped() const
{
    std::lock_guard lock(d_->m);
    return d_->partialDrops;
}

bool Simulator::waitForPartialDrops(std::size_t dropped, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->partialDrops >= dropped; });
}

void Simulator::clearReceived()
{
    std::lock_guard lock(d_->m);
    d_->received.clear();
}

// ---- port settings pages ---------------------------------------------------

void Simulator::confirmAs(std::uint8_t commandType, std::uint8_t namedType, bool once)
{
    std::lock_guard lock(d_->m);
    d_->confirmRenames[commandType] = Impl::Renaming{namedType, once};
}

bool Simulator::waitForFrames(std::size_t count, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->received.size() >= count; });
}

bool Simulator::waitForCommand(std::uint8_t commandType, std::size_t occurrences, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(d_->received.begin(), d_->received.end(), [&](const ReceivedFrame& f) {
                   return f.crcOk && f.type == commandType;
               })) >= occurrences;
    });
}

bool Simulator::waitForAnswers(std::size_t written, Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->answersWritten >= written; });
}

bool Simulator::waitIdle(Millis timeout) const
{
    std::unique_lock lock(d_->m);
    return d_->cv.wait_for(lock, timeout, [&] { return d_->queue.empty() && d_->out.empty(); });
}

// ---- configuration and save pages ------------------------------------------

void Simulator::setAnswerDelayFor(std::uint8_t commandType, Millis extra)
{
    std::lock_guard lock(d_->m);
    if (extra.count() > 0)
        d_->typeDelays[commandType] = extra;
    else
        d_->typeDelays.erase(commandType);
}

namespace {

std::string describe(const DeviceConfig& c)
{
    static const char* const rates[] = {"300", "1200", "2400", "4800", "7200", "9600", "19200", "38400", "57600", "115200"};
    const auto pick = [](std::uint8_t code, std::initializer_list<const char*> names) -> std::string {
        if (code >= 1 && code <= names.size())
            return names.begin()[code - 1];
        return "?" + std::to_string(code);
    };
    const std::string baud = c.baudCode >= 1 && c.baudCode <= 10 ? rates[c.baudCode - 1] : "?" + std::to_string(c.baudCode);
    std::string s;
    s += "  function      " + pick(c.deviceFunction, {"Cable Replacement", "SPP Server"}) + "\n";
    s += "  serial        " + baud + "," + pick(c.dataBitsCode, {"7", "8"}) + "," + pick(c.parityCode, {"N", "O", "E"})
        + "," + pick(c.stopBitsCode, {"1", "2"}) + ", flow " + pick(c.flowControlCode, {"None", "Software", "Hardware"})
        + ", " + pick(c.interfaceCode, {"DTE", "DCE"}) + "\n";
    s += "  power         class " + std::to_string(c.powerByte >> 4) + ", level " + std::to_string(c.powerByte & 0x0F)
        + ", output on CD " + std::to_string(c.outputOnCD) + "\n";
    s += "  bonded to     " + formatAddress(c.bondedAddress) + (c.bondRole == 1 ? " as Master" : " as Slave") + "\n";
    s += "  device name   \"" + c.name() + "\"\n";
    s += "  link timeout  " + std::to_string(c.linkTimeout) + "\n";
    s += "  encryption " + std::to_string(c.encryption) + ", authentication " + std::to_string(c.authentication)
        + ", PIN \"" + c.pin() + "\"\n";
    return s;
}

}  // namespace

std::string Simulator::flashImage() const
{
    std::lock_guard lock(d_->m);
    std::string s;
    const auto add = [&](const Device& dev, const char* role) {
        s += std::string("Flash of ") + role + " device " + formatAddress(dev.profile.address) + ":\n";
        s += describe(dev.flash);
        if (dev.working != dev.flash)
            s += "  (settings received since the last save are not in flash)\n";
    };
    add(d_->local, "the attached");
    // Remotes the session never touched would only bury the ones it did.
    std::string untouched;
    for (const Device& r : d_->remotes) {
        if (r.flash != r.profile.config || r.working != r.flash)
            add(r, "remote");
        else
            untouched += (untouched.empty() ? "" : ", ") + formatAddress(r.profile.address);
    }
    if (!untouched.empty())
        s += "Remote devices whose flash is as it was: " + untouched + "\n";
    return s;
}

// ---- settings that do not take -------------------------------------------

void Simulator::setIgnoreSettings(bool ignore)
{
    std::lock_guard lock(d_->m);
    d_->ignoreSettings = ignore;
}

// ---- vanishing ---------------------------------------------------------------

namespace {

bool pointLink(const std::string& link, const std::string& target)
{
    ::unlink(link.c_str());
    return target.empty() || ::symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace

bool Simulator::setStablePath(const std::string& path)
{
    std::lock_guard lock(stableMutex_);
    stablePath_ = path;
    return path.empty() || pointLink(path, slavePath());
}

void Simulator::hangUp()
{
    std::lock_guard lock(stableMutex_);
    if (!stablePath_.empty())
        ::unlink(stablePath_.c_str());
    stop();
}

bool Simulator::comeBack()
{
    std::lock_guard lock(stableMutex_);
    if (!start())
        return false;
    return stablePath_.empty() || pointLink(stablePath_, slavePath());
}

// ---- unasked frames ------------------------------------------------------------

void Simulator::sendUnasked(std::uint8_t type, std::vector<std::uint8_t> payload)
{
    {
        std::lock_guard lock(d_->m);
        d_->schedule(type, std::move(payload));
    }
    d_->wakeUp();
}

void Simulator::sendUnaskedMany(std::uint8_t type, const std::vector<std::vector<std::uint8_t>>& payloads)
{
    {
        std::lock_guard lock(d_->m);
        for (const auto& payload : payloads)
            d_->schedule(type, payload);
    }
    d_->wakeUp();
}

std::vector<std::vector<std::uint8_t>> inquiryFlood(int wanted, int total)
{
    const auto result = [](std::uint8_t top, int n, const char* label) {
        std::vector<std::uint8_t> p = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), 0, 0, 0, top,
                                       0x00, 0x1F, 0x00};
        char name[32];
        std::snprintf(name, sizeof name, "%s %04d", label, n);
        p.insert(p.end(), name, name + std::strlen(name) + 1);
        return p;
    };
    std::vector<std::vector<std::uint8_t>> out;
    const int foreign = std::max(1, wanted / 5);
    for (int i = 0; out.size() < static_cast<std::size_t>(std::max(total, 0)); ++i) {
        // Wanted units first, then every third result a foreign one.
        if (i < wanted || i % 3 != 0)
            out.push_back(result(0x02, i % std::max(wanted, 1), "Vantrel/C"));
        else
            out.push_back(result(0x06, i % foreign, "Phone"));
    }
    return out;
}

}  // namespace vtrl::sim
