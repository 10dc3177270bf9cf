#pragma once
// Device simulator: plays the attached radio device, and the remote devices
// it reaches over the air, on a pseudo-terminal, or on a line inside this
// process that the serial driver reaches as a COM port (directline.h), where
// there are no pseudo-terminals.
//
// Usage (tests):
//     vtrl::sim::Simulator sim;                  // default demo devices
//     sim.setAnswerDelay(std::chrono::milliseconds(5));
//     sim.start();                               // opens the pty, starts the thread
//     open(sim.slavePath().c_str(), ...)         // talk to it like a serial port
//     sim.waitForCommand(vtrl::sim::type::GetConfig, 1, 2s);
//     sim.flashConfig(vtrl::DeviceAddress{})     // what the device would keep
//
// Every scripting and inspection call is thread-safe and may be made before
// or after start(). The destructor stops the thread and closes the pty.
//
// Device behaviour worth knowing:
// - Address zero in GetVersion, GetConfig and SetPortConfig means the attached
//   device; any other address must be the remote the radio link is up to, else
//   NegativeResponse [type, 3 "Process Timed Out"] (the radio found nobody there).
// - The link is up to the attached device's bonded partner from the start, if
//   that unit is a simulated remote. An InitiateBonding drops it; it comes up to
//   the target when the ConnectionStatus 2 of a bonding, or of a ping, is sent.
// - A frame with a bad CRC is answered by NegativeResponse [its type byte,
//   0 "Checksum Failure"] unless setAnswerChecksumFailures(false); an unknown
//   type by [type, 1]; a known type with a wrong payload length, and a
//   SetPortConfig with a code out of range, by [type, 4].
// - Answers carry the device's own 8-bit sequence counter; a ConfigReport
//   also carries the GetConfig's sequence number in its payload byte 0.
// - SetPortConfig and SetDeviceConfig change the working configuration;
//   UpdateFlash copies the working configuration of the attached device and
//   of the linked remote to their flash configuration. Bonding writes the
//   bond into both devices' working config.
// - A partial frame is dropped after resyncTimeout of silence on the line, so
//   a port closed mid-frame does not swallow the next command.

#include "device.h"
#include "wire.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vtrl::sim {

using Millis = std::chrono::milliseconds;

class Transport;   // line.h

// One simulated device. The attached device is the one reached at address zero.
struct DeviceProfile {
    DeviceAddress address{};
    std::string appVersion = "Vantrel App V3.05";        // 32-byte field, digits at text 13, 15, 16
    std::string btVersion = "Vantrel BT Stack V2.1+EDR"; // 62-byte field
    std::array<std::uint8_t, 6> versionKept{};          // VersionInfo bytes 0..5
    std::uint16_t versionValue = 0x0305;                 // VersionInfo bytes 100..101
    std::array<std::uint8_t, 3> inquiryExtra{0x00, 0x1F, 0x00};  // InquiryResult bytes 6..8
    std::string inquiryName;           // name in InquiryResult; empty: the config's device name
    bool discoverable = true;          // answers an inquiry (remotes only)
    DeviceConfig config;               // working and flash both start from this
};

// A command as it arrived from the PC.
struct ReceivedFrame {
    std::uint8_t type = 0;
    std::uint8_t seq = 0;
    std::vector<std::uint8_t> payload;
    bool crcOk = false;
    bool dropped = false;   // lost on the way in by the fault plan: never acted on
    // It came while a late answer of an older command was still due: a busy
    // device refuses it (see AnswerOrder). The fault plan sees this.
    bool busy = false;
};

// What the line and the device do with one command (see setFaultPlan). The
// fault switches below are plans of this kind too, prebuilt.
struct CommandFault {
    enum class Kind {
        Normal,       // as without a plan
        Late,         // acted on at once; every answer written lateBy later
        Drop,         // lost before the device: not acted on, never answered
        Mute,         // acted on; its answers are lost on the way back
        Twice,        // acted on; every answer written twice, byte for byte (a retransmission)
        Refuse,       // not acted on; NegativeResponse [refusalByte0, reason], lateBy late
        Ignore,       // reaches the device, which neither acts on it nor answers
        ConfirmOnly,  // confirmed, not acted on (settings that silently fail)
    } kind = Kind::Normal;
    Millis lateBy{0};   // Late and Refuse
    std::uint8_t reason = 2;
    std::uint8_t refusalByte0 = 0;   // a device may put anything there
    // With any kind: the device takes this long before it answers, busy
    // with the command meanwhile (what it reports takes effect then).
    Millis slowBy{0};
    // A Confirmation of it names this type instead of its own.
    std::optional<std::uint8_t> confirmAs{};
};

// How the device orders its answers when some are late.
enum class AnswerOrder {
    Overtaking,   // each answer goes at its own time: quick ones overtake a late one
    InOrder,      // in the order the commands came, as by a device that handles one
                  // command at a time: a late answer holds back every answer after it
    Busy,         // as Overtaking, but while a late answer of an older command is
                  // still due, a new command is refused at once with
                  // NegativeResponse [its type, 2 "Device Busy"] and not carried out:
                  // the refusal overtakes the late answer. Abort, which the device
                  // never answers, is not refused.
};

// Picks the fault for each command. Called on the simulator's thread with its
// lock held: it must not call the Simulator, or it deadlocks.
using FaultPlan = std::function<CommandFault(const ReceivedFrame&)>;

// Outcome of the next bondings. Counters count down as bondings are tried.
struct BondingScript {
    int failBonds = 0;               // the next N InitiateBonding get BondResult failCode
    std::uint8_t failCode = 1;
    int connectionDownReports = 0;   // before the link comes up, N ConnectionStatus downStatus
    std::uint8_t downStatus = 0;
    bool linkComesUp = true;         // false: never a ConnectionStatus 2, no link
    Millis stepDelay{50};            // between BondResult and each ConnectionStatus
};

// How the next inquiries go, beyond the devices they find.
struct InquiryScript {
    int duplicates = 0;                  // every InquiryResult is written this many extra times
    std::optional<Millis> completeAfter; // InquiryComplete this long after InitiateInquiry;
                                         // none: one spacing after the last result
    bool completeMissing = false;        // no InquiryComplete at all
};

// How the next pings go.
struct PingScript {
    bool confirm = true;                          // Confirmation for a ping to a known remote
    std::optional<std::uint8_t> connectionStatus; // then this ConnectionStatus, if any;
                                                  // 2 brings the link up to the pinged unit
    Millis connectionDelay{50};                   // after the Confirmation
};

class Simulator {
public:
    // Starts with the default demo: a Cable Replacement device at
    // 00:1B:DC:0A:12:34 (9600,8,N,1, hardware flow, DCE, Master bonded to the
    // first remote, power class 1), three remotes that an inquiry reports as
    // "Vantrel/C" or "Unknown", the last one with an application version too
    // old for the wizard (V2.08), and a phone in range.
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pty and starts the service thread. False (with errorText())
    // when the pty could not be set up. Calling it twice is harmless.
    bool start();
    // The same on `line` instead of a pseudo-terminal; the line is kept for
    // comeBack(). DirectBackend (directline.h) makes one.
    bool start(std::unique_ptr<Transport> line);
    void stop();
    bool running() const;
    std::string slavePath() const;
    std::string errorText() const;

    // ---- devices -------------------------------------------------------
    void setLocal(const DeviceProfile& profile);     // resets its working and flash config
    DeviceProfile local() const;
    void clearRemotes();
    void addRemote(const DeviceProfile& profile);    // replaces one with the same address
    std::vector<DeviceProfile> remotes() const;
    void setLocalAddress(const DeviceAddress& address);
    void setAppVersion(const DeviceAddress& device, const std::string& text);   // zero = local
    void setBtVersion(const DeviceAddress& device, const std::string& text);
    // Replaces the working and the flash configuration of a device.
    bool setStoredConfig(const DeviceAddress& device, const DeviceConfig& config);
    // Working config (what the device runs now) and flash config (kept over a restart).
    std::optional<DeviceConfig> workingConfig(const DeviceAddress& device) const;
    std::optional<DeviceConfig> flashConfig(const DeviceAddress& device) const;

    // ---- timing --------------------------------------------------------
    void setAnswerDelay(Millis delay);              // before every answer
    void setInquiryDelay(Millis spacing);           // between InquiryResults and before Complete
    void setResyncTimeout(Millis timeout);          // 0: partial frames wait forever
    void setBonding(const BondingScript& script);

    // ---- faults --------------------------------------------------------
    void setSilent(bool silent);                     // no answers at all
    void setSilentFor(std::uint8_t commandType, bool silent);
    // NegativeResponse [commandType, reasonCode] instead of the answer, once or always.
    void refuse(std::uint8_t commandType, std::uint8_t reasonCode, bool once = false);
    void accept(std::uint8_t commandType);           // undoes refuse()
    void setBadCrc(int answers);                     // the next N answers get a wrong CRC
    void setTruncate(int answers);                   // the next N answers lose their CRC bytes
    void setWrongConfigSeq(int reports);             // the next N ConfigReports carry seq + 1
    // Bytes written before every answer; empty: none. Default noise has no 0x5D.
    void setNoise(std::vector<std::uint8_t> bytes);
    void setAnswerChecksumFailures(bool answer);
    // Asks `plan` about every command with a valid CRC, Abort included, while
    // the device is not silent; the switches above (plans too, prebuilt) then
    // apply to a command the plan lets through (Normal, Late, Mute, Twice),
    // and their answers travel as the plan says; a slowBy adds to a switch's. A Late, Mute or Twice applies to every answer
    // of the command, the later InquiryResults and ConnectionStatus too; a
    // link still comes up when its ConnectionStatus is due, even if that
    // report is late or lost. A Refuse with a lateBy is a late refusal. A
    // busy device's refusal (AnswerOrder::Busy) goes at once whatever the
    // plan said, unless the plan dropped the command. An empty plan: none.
    void setFaultPlan(FaultPlan plan);
    // Overtaking by default. Answers late by the plan, or by
    // setAnswerDelayFor, are the late ones a busy device is busy with. The
    // answers of one command keep their own order in every mode.
    void setAnswerOrder(AnswerOrder order);
    AnswerOrder answerOrder() const;
    // setAnswerOrder(InOrder) or (Overtaking).
    void setInOrder(bool inOrder);
    // Called on the simulator's thread for each answer as it is written, with
    // how far past its due time; for timelines. An empty watch: none.
    void setAnswerWatch(std::function<void(std::uint8_t type, Millis late)> watch);

    // ---- port settings pages -------------------------------------------
    // The device acts on `commandType` as usual but its Confirmation names
    // `namedType` instead; `once` undoes this after one such answer.
    void confirmAs(std::uint8_t commandType, std::uint8_t namedType, bool once = false);
    // ---- discovery and pairing ------------------------------------------
    // Switches for the discovery page and for a person trying it at vtrlsim.
    // Defaults keep the behaviour above.
    void setInquiry(const InquiryScript& script);
    void setPing(const PingScript& script);
    void setBondResultDelay(Millis delay);           // InitiateBonding to BondResult
    // The name a remote reports in an inquiry (empty: its device name).
    bool setInquiryName(const DeviceAddress& remote, const std::string& name);
    // A remote that never answers what is addressed to it (GetVersion,
    // GetConfig, SetPortConfig): no answer, not even a refusal.
    bool setUnresponsive(const DeviceAddress& remote, bool unresponsive);

    // ---- inspection ----------------------------------------------------
    std::vector<ReceivedFrame> received() const;
    std::size_t receivedCount() const;
    int abortCount() const;                          // Aborts that reached the device
    int linkKeyResets() const;                       // SetDeviceConfig with the reset flag
    std::size_t answersWritten() const;              // frames written to the pty
    std::size_t answersPending() const;              // decided on, not yet written
    // The remote the radio link is up to now, if it is a simulated one.
    std::optional<DeviceAddress> linkedRemote() const;
    std::size_t partialFramesDropped() const;        // by the idle resynchronisation
    // The longest the device was held up at once: its thread ready and not
    // run by a loaded machine, or kept waiting for its lock. A device held up
    // for long answers later than it decided to.
    Millis longestHold() const;
    void clearReceived();                            // the frame list only, not the counters

    // Block until the condition holds or the deadline passes; true if it holds.
    bool waitForFrames(std::size_t count, Millis timeout) const;
    bool waitForCommand(std::uint8_t commandType, std::size_t occurrences, Millis timeout) const;
    bool waitForAnswers(std::size_t written, Millis timeout) const;
    bool waitForPartialDrops(std::size_t dropped, Millis timeout) const;
    // No answer is waiting to be written.
    bool waitIdle(Millis timeout) const;

    // ---- configuration and save pages -----------------------------------
    // Answers to one command type come `extra` later than the others (a late
    // confirmation); zero removes the extra delay.
    void setAnswerDelayFor(std::uint8_t commandType, Millis extra);
    // What the devices keep in flash, as text for a person: a block for the
    // attached device and for each remote whose flash or working settings
    // changed, with a note where settings were received but never saved;
    // the other remotes by address only.
    std::string flashImage() const;
    // ---- settings that do not take -------------------------------------
    // Confirms SetPortConfig and SetDeviceConfig without changing any
    // configuration, as a device whose settings silently failed would.
    void setIgnoreSettings(bool ignore);

    // ---- vanishing -----------------------------------------------------
    // The device unplugged and plugged in again. Devices, their stored
    // configuration and the counters stay; answers not yet written are lost.
    //
    // Keeps `path` a symbolic link to the current pseudo-terminal (replacing
    // whatever is there), so that the PC finds the device where it was.
    bool setStablePath(const std::string& path);
    // Closes the pseudo-terminal, so the PC's side sees a hang-up, and takes
    // the link away: opening the port then fails as for a missing device.
    void hangUp();
    // A new pseudo-terminal with the link pointing at it.
    bool comeBack();

    // ---- unasked frames ------------------------------------------------
    // Sends a frame of `type` with `payload` now, as if something had asked
    // for it (answer delay, noise and faults apply as to any answer).
    void sendUnasked(std::uint8_t type, std::vector<std::uint8_t> payload);
    // Many at once: one answer each, in order.
    void sendUnaskedMany(std::uint8_t type, const std::vector<std::vector<std::uint8_t>>& payloads);

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
    std::string stablePath_;  // vanishing; guarded by stableMutex_
    mutable std::mutex stableMutex_;
};

// InquiryResult payloads of a crowded room, `total` in all: `wanted` distinct
// units named "Vantrel/C nnnn" at addresses 02:00:00:00:nn:nn, each several
// times, and between them foreign devices ("Phone nnnn", 06:00:...) that
// repeat too. Every wanted unit is in the first `wanted` payloads.
std::vector<std::vector<std::uint8_t>> inquiryFlood(int wanted, int total);

// Default demo devices (also used by Simulator()).
DeviceProfile defaultLocalDevice();
std::vector<DeviceProfile> defaultRemoteDevices();

}  // namespace vtrl::sim
