#include "vrt/cm/someip/someip_tp.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vrt::cm::someip {

std::size_t SegmentPayloadSize(std::size_t limit) noexcept {
    return std::max<std::size_t>(16U, limit & ~std::size_t{0xF});
}

// Indexed by DropReason.
constexpr const char* kDropReasonNames[] = {
    "truncated",   "wrongLength", "wrongProtocol", "unknownService", "unknownMethod",
    "tpBadOffset", "tpOverlap",   "tpTooLarge",    "tpTimedOut",     "tpEvicted",
    "tpDuplicate", "queueFull",   "foreignSender", "foreignOffer",
};
static_assert(std::size(kDropReasonNames) == static_cast<std::size_t>(DropReason::kCount));

const char* ToString(DropReason reason) noexcept {
    const auto index = static_cast<std::size_t>(reason);
    return index < std::size(kDropReasonNames) ? kDropReasonNames[index] : "unknown";
}

TpReassembler::Result TpReassembler::Add(const Key& key, const TpHeader& tp, const std::uint8_t* data,
                                         std::size_t size, Clock::time_point now) {
    Result result;
    const std::size_t begin = tp.offset;
    const std::size_t end = begin + size;
    // Every segment but the last carries a multiple of 16 bytes, so that the next offset is expressible.
    if (size == 0 || (tp.moreSegments && size % 16U != 0) || begin >= limits_.maxMessageSize) {
        result.outcome = Outcome::kDropped;
        result.reason = size == 0 ? DropReason::kTruncated : DropReason::kTpBadOffset;
        return result;
    }
    auto it = std::find_if(messages_.begin(), messages_.end(),
                           [&key](const Partial& partial) { return partial.key == key; });
    const auto dropMessage = [&](DropReason reason) {
        if (it != messages_.end()) {
            messages_.erase(it);
        }
        result.outcome = Outcome::kDropped;
        result.reason = reason;
        return result;
    };
    if (end > limits_.maxMessageSize) {
        return dropMessage(DropReason::kTpTooLarge);
    }
    if (it == messages_.end()) {
        if (messages_.size() >= limits_.maxMessages) {
            messages_.pop_front();  // the oldest partial message gives way
            result.alsoDroppedOther = true;
        }
        messages_.push_back(Partial{key, {}, {}, 0, false, now});
        it = std::prev(messages_.end());
    }
    Partial& partial = *it;
    if (partial.lastSeen && end > partial.total) {
        return dropMessage(DropReason::kTpBadOffset);
    }
    if (!tp.moreSegments) {
        if (partial.lastSeen && end != partial.total) {
            return dropMessage(DropReason::kTpBadOffset);
        }
        if (!partial.ranges.empty() && partial.ranges.back().end > end) {
            return dropMessage(
                DropReason::kTpBadOffset);  // data beyond what the last segment says is the end
        }
    }
    // Find where the segment goes among the disjoint ranges received so far.
    auto next = std::lower_bound(partial.ranges.begin(), partial.ranges.end(), begin,
                                 [](const Range& range, std::size_t at) { return range.end <= at; });
    if (next != partial.ranges.end() && next->begin < end) {
        if (next->begin <= begin && end <= next->end) {
            // Already have these bytes: a repeated segment. Keep the message, ignore the copy.
            partial.touched = now;
            result.outcome = Outcome::kIncomplete;
            result.reason = DropReason::kTpDuplicate;
            return result;
        }
        return dropMessage(DropReason::kTpOverlap);
    }
    if (partial.ranges.size() >= kMaxRanges) {
        return dropMessage(DropReason::kTpBadOffset);
    }
    if (partial.buffer.size() < end) {
        partial.buffer.resize(end);
    }
    std::memcpy(partial.buffer.data() + begin, data, size);
    next = partial.ranges.insert(next, Range{begin, end});
    // Merge with touching neighbours so that a complete message is one range.
    if (next + 1 != partial.ranges.end() && (next + 1)->begin == next->end) {
        next->end = (next + 1)->end;
        partial.ranges.erase(next + 1);
    }
    if (next != partial.ranges.begin() && (next - 1)->end == next->begin) {
        (next - 1)->end = next->end;
        next = partial.ranges.erase(next) - 1;
    }
    if (!tp.moreSegments) {
        partial.lastSeen = true;
        partial.total = end;
    }
    partial.touched = now;
    if (partial.lastSeen && partial.ranges.size() == 1 && partial.ranges.front().begin == 0 &&
        partial.ranges.front().end == partial.total) {
        partial.buffer.resize(partial.total);
        completed_ = std::move(partial.buffer);
        messages_.erase(it);
        result.outcome = Outcome::kComplete;
        return result;
    }
    result.outcome = Outcome::kIncomplete;
    return result;
}

std::size_t TpReassembler::Expire(Clock::time_point now) {
    std::size_t expired = 0;
    for (auto it = messages_.begin(); it != messages_.end();) {
        if (now - it->touched >= limits_.timeout) {
            it = messages_.erase(it);
            ++expired;
        } else {
            ++it;
        }
    }
    return expired;
}

std::size_t TpReassembler::BufferedBytes() const noexcept {
    std::size_t bytes = 0;
    for (const Partial& partial : messages_) {
        bytes += partial.buffer.capacity();
    }
    return bytes;
}

}  // namespace vrt::cm::someip
