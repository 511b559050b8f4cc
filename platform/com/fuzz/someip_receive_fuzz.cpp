#include "someip_receive_fuzz.h"

#include <algorithm>
#include <cstdlib>

#include "vrt/cm/someip/someip_receive_path.h"
#include "vrt/cm/someip/someip_sd.h"

namespace vrt::cm::someip::fuzz {

namespace {

constexpr std::size_t kMaxMessage = 16U * 1024U;
constexpr std::size_t kMaxMessages = 4U;

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
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

}  // namespace

int FuzzSomeipReceive(const std::uint8_t* data, std::size_t size) {
    ReceivePath path(0x1001, 0x88E5,
                     ReassemblyLimits{kMaxMessage, kMaxMessages, std::chrono::milliseconds(50)},
                     [](const Header& header, const std::uint8_t*, std::size_t bytes) {
                         Check(!header.IsTp() && header.BodySize() == bytes);
                     });
    TpReassembler::Clock::time_point now{};
    while (size >= 3) {
        const std::size_t length =
            std::min<std::size_t>(static_cast<std::size_t>(data[0] << 8U | data[1]), size - 3);
        now += std::chrono::milliseconds(data[2]);
        const std::uint8_t* datagram = data + 3;
        path.OnDatagram(datagram, length, 0x7F000001, 40000, now);
        path.Expire(now);
        Check(path.PartialMessages() <= kMaxMessages);
        // A buffer grows to at most twice what its segments reach.
        Check(path.BufferedBytes() <= kMaxMessages * 2U * kMaxMessage);

        const DecodedSd decoded = DecodeSd(datagram, length);
        if (decoded.message) {
            const std::vector<std::uint8_t> again = EncodeSd(*decoded.message, 1);
            const DecodedSd back = DecodeSd(again.data(), again.size());
            Check(back.message.has_value() && SameEntries(*decoded.message, *back.message));
        }
        data += 3 + length;
        size -= 3 + length;
    }
    return 0;
}

}  // namespace vrt::cm::someip::fuzz
