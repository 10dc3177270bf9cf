#pragma once
// When each of the wizard's frames went onto the line. The machine's own
// pseudo-terminal can hold a written frame up before the device reads it; on
// a loaded machine that takes longer than a late answer has to spare, as no
// real line does. Installed as the serial backend for one play; it passes
// everything through to the platform's and notes the writes, and the
// configuration reports the wizard read.

#include "serial/backend.h"
#include "sim/device.h"
#include "sim/wire.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace vtrl::model {

class LineWatch final : public serial::SerialBackend {
public:
    using Clock = std::chrono::steady_clock;

    LineWatch() { serial::SetBackendForTesting(this); }
    ~LineWatch() { serial::SetBackendForTesting(nullptr); }
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;

    // When these bytes last went to be written, if lately.
    std::optional<Clock::time_point> WrittenAt(const std::vector<std::uint8_t>& frame) const
    {
        std::lock_guard lock(log_->m);
        for (auto it = log_->writes.rbegin(); it != log_->writes.rend(); ++it)
            if (it->second == frame)
                return it->first;
        return std::nullopt;
    }

    // Whether the wizard read a ConfigReport answering a GetConfig it wrote
    // to `unit` (the report carries the request's sequence number).
    bool ConfigRead(const DeviceAddress& unit) const
    {
        std::lock_guard lock(log_->m);
        for (const Ask& ask : log_->asks)
            if (ask.unit == unit)
                for (const auto& [at, seq] : log_->reports)
                    if (seq == ask.seq && at >= ask.at)
                        return true;
        return false;
    }

    std::shared_ptr<serial::Device> Open(std::uint32_t port, serial::SystemError& error) override
    {
        auto device = serial::PlatformBackend().Open(port, error);
        return device ? std::make_shared<Noted>(std::move(device), log_) : nullptr;
    }
    std::shared_ptr<serial::StopEvent> CreateStopEvent() override { return serial::PlatformBackend().CreateStopEvent(); }
    serial::PortProbe Probe(std::uint32_t port) override { return serial::PlatformBackend().Probe(port); }

private:
    struct Ask {
        Clock::time_point at;
        std::uint8_t seq;
        DeviceAddress unit;
    };
    struct Log {
        mutable std::mutex m;
        std::deque<Ask> asks;  // GetConfigs written
        std::deque<std::pair<Clock::time_point, std::vector<std::uint8_t>>> writes;
        std::deque<std::pair<Clock::time_point, std::uint8_t>> reports;  // ConfigReports read, by request
    };

    class Noted final : public serial::Device {
    public:
        Noted(std::shared_ptr<serial::Device> d, std::shared_ptr<Log> log) : d_(std::move(d)), log_(std::move(log)) {}
        void Close() override { d_->Close(); }
        bool SetupQueues(std::uint32_t in, std::uint32_t out) override { return d_->SetupQueues(in, out); }
        bool GetState(serial::LineSettings& s) override { return d_->GetState(s); }
        bool SetState(const serial::LineSettings& s) override { return d_->SetState(s); }
        bool SetTimeouts(const serial::CommTimeouts& t) override { return d_->SetTimeouts(t); }
        bool SetEventMask(std::uint32_t mask) override { return d_->SetEventMask(mask); }
        serial::WaitOutcome WaitEvent(serial::StopEvent& stop, std::uint32_t& mask) override
        {
            return d_->WaitEvent(stop, mask);
        }
        bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) override { return d_->ClearError(errors, inQueue); }
        bool GetModemStatus(std::uint32_t& status) override { return d_->GetModemStatus(status); }
        serial::IoResult Read(std::uint8_t* buffer, std::uint32_t count) override
        {
            const serial::IoResult r = d_->Read(buffer, count);
            if (r.status != serial::IoStatus::Ok || r.count == 0)
                return r;
            std::vector<sim::Frame> frames;
            std::lock_guard lock(log_->m);
            parser_.feed(std::span<const std::uint8_t>(buffer, std::min(r.count, count)), frames);
            for (const sim::Frame& f : frames)
                if (f.crcOk && f.type == sim::type::ConfigReport && !f.payload.empty()) {
                    log_->reports.emplace_back(Clock::now(), f.payload[0]);
                    if (log_->reports.size() > 256)
                        log_->reports.pop_front();
                }
            return r;
        }
        serial::IoResult Write(const std::uint8_t* buffer, std::uint32_t count) override
        {
            // Noted before it is written: the device may read it before the
            // write returns.
            {
                std::lock_guard lock(log_->m);
                log_->writes.emplace_back(Clock::now(), std::vector<std::uint8_t>(buffer, buffer + count));
                if (log_->writes.size() > 64)
                    log_->writes.pop_front();
                constexpr std::uint32_t kGetConfigFrame = sim::kHeaderSize + 6 + sim::kCrcSize;
                if (count == kGetConfigFrame && buffer[0] == sim::kStartByte && buffer[1] == sim::type::GetConfig) {
                    Ask ask{Clock::now(), buffer[2], {}};
                    std::copy_n(buffer + sim::kHeaderSize, ask.unit.size(), ask.unit.begin());
                    log_->asks.push_back(ask);
                    if (log_->asks.size() > 256)
                        log_->asks.pop_front();
                }
            }
            return d_->Write(buffer, count);
        }
        bool SetBreak() override { return d_->SetBreak(); }
        bool ClearBreak() override { return d_->ClearBreak(); }
        bool Escape(std::uint32_t function) override { return d_->Escape(function); }
        serial::SystemError LastError() const override { return d_->LastError(); }

    private:
        std::shared_ptr<serial::Device> d_;
        std::shared_ptr<Log> log_;
        sim::FrameParser parser_;  // under the log's lock
    };

    std::shared_ptr<Log> log_ = std::make_shared<Log>();
};

}  // namespace vtrl::model
