#include "someip_receive_fuzz.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "someip_receive_path.h"
#include "someip_sd.h"

namespace vrt::cm::someip::fuzz {

namespace {

constexpr std::uint16_t kService = 0x1001;
constexpr std::uint16_t kEvent = 0x88E5;
constexpr std::uint32_t kSource = 0x7F000001;
constexpr std::uint16_t kFirstPort = 40000;
constexpr std::size_t kMaxSegment = 16U * 1024U;
// Enough to fill the total limit (32 MiB) and then some, while an input stays quick to run.
constexpr std::size_t kMaxGenerated = 40U * 1024U * 1024U;

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// The byte at each offset of a generated message: a pattern with a period that is no multiple of 16, so
// that a segment stored at the wrong offset shows. Kept long enough to copy a whole segment from any phase.
constexpr std::size_t kPeriod = 4093;

const std::vector<std::uint8_t>& Pattern() {
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> bytes(kPeriod + kMaxSegment);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<std::uint8_t>(((i % kPeriod) * 131U) ^ ((i % kPeriod) >> 5U));
        }
        return bytes;
    }();
    return pattern;
}

bool MatchesPattern(const std::uint8_t* payload, std::size_t size) {
    for (std::size_t at = 0; at < size; at += kPeriod) {
        if (std::memcmp(payload + at, Pattern().data(), std::min(kPeriod, size - at)) != 0) {
            return false;
        }
    }
    return true;
}

bool SameEntries(const SdMessage& a, const SdMessage& b) {
    if (a.entries.size() != b.entries.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
        const SdEntry& x = a.entries[i];
        const SdEntry& y = b.entries[i];
        if (x.type != y.type || x.serviceId != y.serviceId || x.instanceId != y.instanceId ||
            x.majorVersion != y.majorVersion || x.ttl != y.ttl || x.minorVersion != y.minorVersion ||
            x.eventgroupId != y.eventgroupId || x.counter != y.counter || x.endpoint != y.endpoint ||
            x.multicast != y.multicast) {
            return false;
        }
    }
    return true;
}

class Run {
  public:
    Run()
        : path_(kService, kEvent, ReassemblyLimits{},
                [this](const Header& header, const std::uint8_t* payload, std::size_t size) {
                    OnDelivered(header, payload, size);
                }) {}

    void Raw(std::uint16_t port, const std::uint8_t* datagram, std::size_t size) {
        onlyGenerated_ = false;
        Feed(port, datagram, size);
        const DecodedSd decoded = DecodeSd(datagram, size);
        if (decoded.message) {
            const std::vector<std::uint8_t> again = EncodeSd(*decoded.message, 1);
            const DecodedSd back = DecodeSd(again.data(), again.size());
            Check(back.message.has_value() && SameEntries(*decoded.message, *back.message));
        }
    }

    struct Segments {
        std::uint16_t port;
        std::uint16_t session;
        std::size_t offset;
        std::size_t length;
        std::size_t count;
        bool last;
        bool reverse;
        bool fixedOffset;
        bool newSessions;
    };

    void Generate(const Segments& s) {
        const std::size_t largest = path_.Reassembler().Limits().maxMessageSize;
        std::size_t pastTheEnd = 0;
        for (std::size_t n = 0; n < s.count && generated_ < kMaxGenerated; ++n) {
            const std::size_t i = s.reverse ? s.count - 1U - n : n;
            // The TP header carries offsets in units of 16 bytes.
            const std::size_t offset = (s.offset + (s.fixedOffset ? 0U : i * s.length)) & ~std::size_t{15};
            // Beyond what the TP header can say; and a few segments past the largest message say all.
            if (offset > 0xFFFFFFF0U || (offset >= largest && ++pastTheEnd > 2U)) {
                continue;
            }
            const bool last = s.last && (s.fixedOffset || i + 1U == s.count);
            const auto session = static_cast<std::uint16_t>(s.session + (s.newSessions ? i : 0U));
            Header header;
            header.serviceId = kService;
            header.methodId = kEvent;
            header.sessionId = session;
            header.messageType = static_cast<std::uint8_t>(MessageType::kNotification) | kTpFlag;
            header.length = static_cast<std::uint32_t>(kLengthCoveredHeader + kTpHeaderSize + s.length);
            datagram_.resize(kHeaderSize + kTpHeaderSize + s.length);
            EncodeHeader(header, datagram_.data());
            EncodeTpHeader(TpHeader{static_cast<std::uint32_t>(offset), !last},
                           datagram_.data() + kHeaderSize);
            std::memcpy(datagram_.data() + kHeaderSize + kTpHeaderSize, Pattern().data() + offset % kPeriod,
                        s.length);
            generated_ += datagram_.size();
            Feed(s.port, datagram_.data(), datagram_.size());
        }
    }

    void Advance(std::uint8_t ms) {
        now_ += std::chrono::milliseconds(ms);
        path_.Expire(now_);
    }

    // The bounds that take a walk over every buffer: once per record.
    void CheckMemory() const {
        const TpReassembler& reassembler = path_.Reassembler();
        const ReassemblyLimits& limits = reassembler.Limits();
        // Every buffer holds at most a message, and grows at most to twice what it holds; those handed back
        // for reuse came from messages that were fed in full.
        Check(reassembler.HeldBytes() <=
              (limits.maxMessages + 2U) * limits.maxMessageSize + 2U * reassembler.BufferedBytes());
        Check(reassembler.HeldBytes() <= 8U * fed_ + 4096U);
    }

  private:
    void Feed(std::uint16_t port, const std::uint8_t* datagram, std::size_t size) {
        fed_ += size;
        path_.OnDatagram(datagram, size, kSource, port, now_);
        const TpReassembler& reassembler = path_.Reassembler();
        const ReassemblyLimits& limits = reassembler.Limits();
        Check(reassembler.InProgress() <= limits.maxMessages);
        Check(reassembler.BufferedBytes() <= limits.maxBufferedBytes);
        // Received bytes plus a fixed cost per run past a gap, each run from a datagram of at least 21 bytes.
        Check(reassembler.BufferedBytes() <= 5U * fed_);
        // Only the sender of this datagram gained; the others can only have lost.
        Check(reassembler.MessagesOf(kSource, port) <= limits.maxMessagesPerSender);
        Check(reassembler.BufferedBytesOf(kSource, port) <= limits.maxBytesPerSender);
    }

    void OnDelivered(const Header& header, const std::uint8_t* payload, std::size_t size) {
        Check(!header.IsTp() && header.BodySize() == size);
        Check(size <= path_.Reassembler().Limits().maxMessageSize + 0xFFFFU);  // a plain one fits a datagram
        Check(!onlyGenerated_ || MatchesPattern(payload, size));
        const std::uint64_t before = tracker_.Sequence();
        const SessionTracker::Step step = tracker_.Advance(header.sessionId);
        switch (step.order) {
            case SessionTracker::Order::kNext:
                Check(tracker_.Sequence() == (delivered_ ? before + step.lost + 1U : 0U));
                delivered_ = true;
                break;
            case SessionTracker::Order::kRestart:
                Check(tracker_.Sequence() == 0 && step.lost == 0);
                break;
            case SessionTracker::Order::kLate:
            case SessionTracker::Order::kDuplicate:
                Check(tracker_.Sequence() == before && step.lost == 0);
                break;
        }
    }

    ReceivePath path_;
    SessionTracker tracker_;
    TpReassembler::Clock::time_point now_{};
    std::vector<std::uint8_t> datagram_;
    std::size_t fed_{0};
    std::size_t generated_{0};
    bool onlyGenerated_{true};
    bool delivered_{false};
};

}  // namespace

int FuzzSomeipReceive(const std::uint8_t* data, std::size_t size) {
    Run run;
    while (size >= 2) {
        const std::uint8_t op = data[0];
        const auto port = static_cast<std::uint16_t>(kFirstPort + (op & 0x7U));
        run.Advance(data[1]);
        data += 2;
        size -= 2;
        if ((op & 0x80U) == 0) {
            if (size < 2) {
                break;
            }
            const std::size_t length = std::min<std::size_t>(Load16(data), size - 2);
            run.Raw(port, data + 2, length);
            data += 2 + length;
            size -= 2 + length;
        } else {
            if (size < 9) {
                break;
            }
            const std::uint16_t lengthField = Load16(data + 5);
            std::size_t length = std::min<std::size_t>(lengthField & 0x7FFFU, kMaxSegment);
            if ((lengthField & 0x8000U) == 0) {
                length = std::max<std::size_t>(16U, (length + 15U) & ~std::size_t{15});
            }
            const std::size_t offset = 16U * (static_cast<std::size_t>(data[2]) << 16U |
                                              static_cast<std::size_t>(data[3]) << 8U | data[4]);
            run.Generate(Run::Segments{port, Load16(data), offset, length, Load16(data + 7),
                                       (op & 0x08U) != 0, (op & 0x10U) != 0, (op & 0x20U) != 0,
                                       (op & 0x40U) != 0});
            data += 9;
            size -= 9;
        }
        run.CheckMemory();
    }
    return 0;
}

}  // namespace vrt::cm::someip::fuzz
