#include "attached.h"
#include "impl.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

namespace vtrl::sim {

namespace {

template <std::size_t N>
void copyText(std::vector<std::uint8_t>& out, std::size_t at, const std::string& text)
{
    std::memcpy(out.data() + at, text.data(), std::min(text.size(), N));
}

DeviceAddress addressAt(const std::vector<std::uint8_t>& p)
{
    DeviceAddress a{};
    std::copy_n(p.begin(), std::min(p.size(), a.size()), a.begin());
    return a;
}

}  // namespace

AttachedDevice::AttachedDevice(Device& self, Radio& radio, AnswerQueue& answers, Faults& faults)
    : self_(self), radio_(radio), answers_(answers), faults_(faults)
{
}

Device* AttachedDevice::find(const DeviceAddress& a)
{
    if (a == kZeroAddress || a == self_.profile.address)
        return &self_;
    return radio_.findRemote(a);
}

void AttachedDevice::confirm(std::uint8_t command)
{
    answers_.push(type::Confirmation, {faults_.confirmedName(command)});
}

void AttachedDevice::negative(std::uint8_t command, std::uint8_t why)
{
    answers_.push(type::NegativeResponse, {command, why});
}

void AttachedDevice::handle(const Frame& f)
{
    const auto& p = f.payload;
    auto expect = [&](std::size_t n) {
        if (p.size() == n)
            return true;
        negative(f.type, reason::ErrorExecuting);
        return false;
    };
    const auto answers = [&] { return !radio_.unresponsive.count(addressAt(p)); };
    switch (f.type) {
    case type::GetLocalAddress:
        if (expect(0))
            answers_.push(type::LocalAddress, {self_.profile.address.begin(), self_.profile.address.end()});
        return;
    case type::GetVersion:
        if (expect(6) && answers())
            answerVersion(addressAt(p));
        return;
    case type::GetConfig:
        if (expect(6) && answers())
            answerConfig(f.seq, addressAt(p));
        return;
    case type::InitiateInquiry:
        if (expect(2))
            radio_.inquire();
        return;
    case type::InitiateBonding:
        if (expect(6))
            radio_.bond(addressAt(p));
        return;
    case type::PingRequest:
        if (expect(6))
            radio_.pingUnit(addressAt(p));
        return;
    case type::SetPortConfig:
        if (expect(14) && answers())
            setPortConfig(p);
        return;
    case type::SetDeviceConfig:
        if (expect(51))
            setDeviceConfig(p);
        return;
    case type::UpdateFlash:
        if (!expect(0))
            return;
        self_.flash = self_.working;
        if (Device* r = radio_.linked())
            r->flash = r->working;
        confirm(type::UpdateFlash);
        return;
    case type::Abort:
        return;   // the device does not answer it
    default:
        negative(f.type, reason::UnknownCommand);
        return;
    }
}

void AttachedDevice::answerVersion(const DeviceAddress& a)
{
    const Device* d = radio_.reachable(a);
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
    answers_.push(type::VersionInfo, std::move(v));
}

void AttachedDevice::answerConfig(std::uint8_t seq, const DeviceAddress& a)
{
    const Device* d = radio_.reachable(a);
    if (!d) {
        negative(type::GetConfig, reason::ProcessTimedOut);
        return;
    }
    std::vector<std::uint8_t> v;
    v.push_back(faults_.takeWrongConfigSeq() ? static_cast<std::uint8_t>(seq + 1) : seq);
    auto block = encodeParameterBlock(d->working);
    v.insert(v.end(), block.begin(), block.end());
    answers_.push(type::ConfigReport, std::move(v));
}

void AttachedDevice::setPortConfig(const std::vector<std::uint8_t>& p)
{
    Device* d = radio_.reachable(addressAt(p));
    if (!d) {
        negative(type::SetPortConfig, reason::ProcessTimedOut);
        return;
    }
    auto in = [](std::uint8_t v, int lo, int hi) { return v >= lo && v <= hi; };
    if (!in(p[6], 1, 10) || !in(p[7], 1, 2) || !in(p[8], 1, 2) || !in(p[9], 1, 3) || !in(p[10], 1, 2) ||
        !in(p[11], 1, 3) || !in(p[13], 0, 1)) {
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

void AttachedDevice::setDeviceConfig(const std::vector<std::uint8_t>& p)
{
    if (p[32] > 1 || p[33] > 1 || p[50] > 1) {
        negative(type::SetDeviceConfig, reason::ErrorExecuting);
        return;
    }
    DeviceConfig& c = self_.working;
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

// ---- scripting and inspection ---------------------------------------------------

void Simulator::setLocal(const DeviceProfile& profile)
{
    std::lock_guard lock(d_->m);
    d_->local = Device(profile);
    d_->radio.linkToPartner();
}

DeviceProfile Simulator::local() const
{
    std::lock_guard lock(d_->m);
    return d_->local.profile;
}

void Simulator::setLocalAddress(const DeviceAddress& address)
{
    std::lock_guard lock(d_->m);
    for (auto& r : d_->radio.remotes) {
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
    if (Device* dev = d_->attached.find(device))
        dev->profile.appVersion = text;
}

void Simulator::setBtVersion(const DeviceAddress& device, const std::string& text)
{
    std::lock_guard lock(d_->m);
    if (Device* dev = d_->attached.find(device))
        dev->profile.btVersion = text;
}

bool Simulator::setStoredConfig(const DeviceAddress& device, const DeviceConfig& config)
{
    std::lock_guard lock(d_->m);
    Device* dev = d_->attached.find(device);
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
    if (const Device* dev = d_->attached.find(device))
        return dev->working;
    return std::nullopt;
}

std::optional<DeviceConfig> Simulator::flashConfig(const DeviceAddress& device) const
{
    std::lock_guard lock(d_->m);
    if (const Device* dev = d_->attached.find(device))
        return dev->flash;
    return std::nullopt;
}

int Simulator::linkKeyResets() const
{
    std::lock_guard lock(d_->m);
    return d_->attached.linkKeyResets;
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
    for (const Device& r : d_->radio.remotes) {
        if (r.flash != r.profile.config || r.working != r.flash)
            add(r, "remote");
        else
            untouched += (untouched.empty() ? "" : ", ") + formatAddress(r.profile.address);
    }
    if (!untouched.empty())
        s += "Remote devices whose flash is as it was: " + untouched + "\n";
    return s;
}

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

}  // namespace vtrl::sim
