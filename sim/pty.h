#pragma once
// The pseudo-terminal the PC talks to. Internal to the simulator; POSIX only.

#include "line.h"

#include <utility>

namespace vtrl::sim {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

class PtyTransport final : public Transport {
public:
    bool open(std::string& error) override;
    void close() override;
    std::string path() const override { return path_; }
    void wakeUp() override;
    bool wait(std::optional<Millis> timeout, bool wantWrite, std::vector<std::uint8_t>& in,
              std::string& error) override;
    void write(std::vector<std::uint8_t>& out) override;

private:
    Fd master_, slave_, wake_;
    std::string path_;
};

}  // namespace vtrl::sim
