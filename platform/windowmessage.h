#pragma once
// Posted window messages: a QEvent whose type() is the message number and
// that owns an optional payload block. The block is freed with the event on
// every path: handled, ignored, target destroyed, or never posted.

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <optional>
#include <vector>

namespace vtrl::platform {

using Payload = std::vector<std::uint8_t>;

// Port events from the driver's monitor thread.
inline constexpr int WM_COMEVENT = 1124;
// Protocol notifications to the page on show.
inline constexpr int FirstNotification = 32769;
inline constexpr int LastNotification = 32781;

class WindowMessage final : public QEvent {
public:
    WindowMessage(int message, std::optional<Payload> payload);

    int message() const { return static_cast<int>(type()); }
    bool hasPayload() const { return payload_.has_value(); }
    const std::optional<Payload>& payload() const { return payload_; }
    // Moves the block out; the event is left without one.
    std::optional<Payload> takePayload();

private:
    std::optional<Payload> payload_;
};

// Reserves 1124 and 32769..32781 with Qt so registerEventType() never hands
// them to anyone else. Idempotent; called by WindowMessage too.
void RegisterWindowMessageTypes();

// Posts `message` with `payload` to `target`; safe from any thread. Returns
// false when there is no target (null, or a QPointer that went null); the
// payload is then freed here.
bool PostWindowMessage(QObject* target, int message, std::optional<Payload> payload = std::nullopt);

}  // namespace vtrl::platform
