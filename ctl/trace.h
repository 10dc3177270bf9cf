#pragma once
// The frame trace of vtrlctl (--trace): one line per frame sent or received,
// kept apart from the link that feeds it.

#include "protocol/packet.h"

#include <QElapsedTimer>
#include <QString>
#include <QTextStream>

#include <cstdint>
#include <span>

namespace vtrl::ctl {

// One line per frame: time, direction, type name, sequence, payload in hex
// and the decoded fields. PINs are shown only when asked for.
class Trace {
public:
    Trace() = default;
    Trace(QTextStream* out, bool showPin) : out_(out), showPin_(showPin) { clock_.start(); }

    bool enabled() const { return out_ != nullptr; }
    void Frame(bool sent, std::uint8_t type, std::uint8_t sequence, std::span<const std::uint8_t> payload);
    // A received frame dropped for its CRC, with the bytes it carried.
    void Refused(const protocol::Packet& frame);
    // A line could not be written (full disk): the first error, empty while none.
    const QString& WriteError() const { return writeError_; }

private:
    void Line(const QString& text);

    QTextStream* out_ = nullptr;
    bool showPin_ = false;
    QElapsedTimer clock_;
    QString writeError_;
};

// Name of a frame type in its direction ("GetConfig", "ConfigReport").
QString FrameTypeName(bool sent, std::uint8_t type);
// The decoded fields of a frame, and its payload in hex with PIN bytes
// masked unless `showPin`.
QString FrameFields(bool sent, std::uint8_t type, std::span<const std::uint8_t> payload, bool showPin);
QString PayloadHex(bool sent, std::uint8_t type, std::span<const std::uint8_t> payload, bool showPin);

}  // namespace vtrl::ctl
