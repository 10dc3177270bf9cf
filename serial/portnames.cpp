#include "portnames.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace vtrl::serial {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::string> paths;  // index 0 is COM97
};

Registry& R() {
    static Registry registry;
    return registry;
}

struct Range {
    std::uint32_t first;
    const char* prefix;
};
constexpr Range kRanges[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
constexpr std::uint32_t kRangeSize = 32;

}  // namespace

std::string PortDevicePath(std::uint32_t port) {
    for (const Range& range : kRanges) {
        if (port >= range.first && port < range.first + kRangeSize)
            return range.prefix + std::to_string(port - range.first);
    }
    if (port < kFirstRegisteredPort || port > kLastPort) return "";
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    const std::size_t index = port - kFirstRegisteredPort;
    return index < r.paths.size() ? r.paths[index] : "";
}

std::uint32_t TablePortNumber(const std::string& devicePath) {
    for (const Range& range : kRanges) {
        const std::size_t prefix = std::strlen(range.prefix);
        if (devicePath.size() <= prefix || devicePath.compare(0, prefix, range.prefix) != 0) continue;
        const std::string digits = devicePath.substr(prefix);
        if (digits.size() > 2 || (digits.size() == 2 && digits[0] == '0')) return 0;
        std::uint32_t n = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return 0;
            n = n * 10 + static_cast<std::uint32_t>(c - '0');
        }
        return n < kRangeSize ? range.first + n : 0;
    }
    return 0;
}

std::uint32_t RegisterPortPath(const std::string& path) {
    if (path.empty()) return 0;
    if (const std::uint32_t table = TablePortNumber(path)) return table;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        const std::uint32_t table = TablePortNumber(real);
        std::free(real);
        if (table != 0) return table;
    }
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (std::size_t i = 0; i < r.paths.size(); ++i)
        if (r.paths[i] == path) return kFirstRegisteredPort + static_cast<std::uint32_t>(i);
    if (r.paths.size() > kLastPort - kFirstRegisteredPort) return 0;
    r.paths.push_back(path);
    return kFirstRegisteredPort + static_cast<std::uint32_t>(r.paths.size() - 1);
}

std::size_t RegisterPortsFromEnvironment() {
    const char* value = std::getenv("VTRLCFG_PORTS");
    if (value == nullptr) return 0;
    const std::string list(value);
    std::size_t registered = 0;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find(':', begin);
        if (end == std::string::npos) end = list.size();
        const std::string path = list.substr(begin, end - begin);
        if (!path.empty() && RegisterPortPath(path) != 0) ++registered;
        begin = end + 1;
    }
    return registered;
}

void ResetRegisteredPortsForTesting() {
    Registry& r = R();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.paths.clear();
}

}  // namespace vtrl::serial
