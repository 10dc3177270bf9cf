// A script of sends, give-ups, arrivals, closed ports and the passing of time
// -> the exchange ledger. Checked: an answer is credited to a send that went
// out and was not over yet, never after its end, and only when it is the one
// send it can answer; every candidate of an ambiguous answer is such a send;
// the ledger stays bounded.

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <set>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/exchange.h"

using namespace vtrl::protocol;

namespace {

constexpr CommandType kCommands[] = {GetLocalAddress, InitiateInquiry, InitiateBonding, SetPortConfig, SetDeviceConfig,
                                     PingRequest,     Abort,           UpdateFlash,     GetConfig,     GetVersion};
constexpr std::uint32_t kMessages[] = {MsgNegativeResponse, MsgConfirmation,    MsgLocalAddress,
                                       MsgInquiryResult,    MsgInquiryComplete, MsgBondResult,
                                       MsgConfigReport,     MsgConnectionStatus, MsgVersionInfo};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ExchangeLedger ledger;
    Clock::time_point now{};
    std::vector<ExchangeId> sent;
    std::set<ExchangeId> ended;
    std::size_t at = 0;
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    while (at < size) {
        const std::uint8_t op = next();
        switch (op % 5) {
        case 0: {
            const CommandType command = kCommands[next() % std::size(kCommands)];
            std::vector<std::uint8_t> payload(next() % 20, next());
            const ExchangeId id = ledger.Sent(command, next(), payload, next() % 4, now);
            if (id != 0) {
                FUZZ_CHECK(ended.count(id) == 0 && (sent.empty() || id > sent.back()));
                sent.push_back(id);
                FUZZ_CHECK(ledger.Open(id) && ledger.Waiting(id) && !ledger.InDoubt(id));
            }
            break;
        }
        case 1:
            if (!sent.empty())
                ledger.GiveUp(sent[next() % sent.size()], now);
            break;
        case 2: {
            Notification n;
            n.message = kMessages[next() % std::size(kMessages)];
            n.sequence = next();
            if (n.message != MsgInquiryComplete)
                n.block = std::vector<std::uint8_t>(next() % 4, next());
            const Tag tag = ledger.Match(n, now);
            if (tag.exchange) {
                FUZZ_CHECK(tag.verdict != Verdict::Unasked && tag.verdict != Verdict::Repeat);
                FUZZ_CHECK(std::find(sent.begin(), sent.end(), tag.exchange->id) != sent.end());
                FUZZ_CHECK(ended.count(tag.exchange->id) == 0);
                if (tag.ends)
                    ended.insert(tag.exchange->id);
                FUZZ_CHECK(ledger.Open(tag.exchange->id) == !tag.ends);
                FUZZ_CHECK(tag.candidates.empty());
            }
            for (const Exchange& c : tag.candidates) {
                FUZZ_CHECK(tag.verdict == Verdict::Ambiguous || tag.verdict == Verdict::Misnamed);
                FUZZ_CHECK(std::find(sent.begin(), sent.end(), c.id) != sent.end());
                FUZZ_CHECK(ended.count(c.id) == 0);
            }
            if (tag.verdict == Verdict::Ambiguous)
                FUZZ_CHECK(!tag.candidates.empty());
            // A group of sends in doubt ends once each has had an answer.
            for (const Exchange& c : tag.candidates)
                if (!ledger.Open(c.id))
                    ended.insert(c.id);
            break;
        }
        case 3:
            ledger.Clear();
            break;
        case 4:
            now += std::chrono::milliseconds(next() * 100);
            break;
        }
        FUZZ_CHECK(ledger.Size() <= 256);
    }
    return 0;
}
