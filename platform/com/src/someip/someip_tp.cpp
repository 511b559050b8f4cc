#include "someip_tp.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>

namespace vrt::cm::someip {

std::size_t SegmentPayloadSize(std::size_t limit) noexcept {
    return std::max<std::size_t>(16U, limit & ~std::size_t{0xF});
}

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

template <typename Run>
std::size_t End(const Run& run) noexcept {
    return run.first + run.second.size();
}

std::size_t SaturatingProduct(std::size_t a, std::size_t b) noexcept {
    return b != 0 && a > std::numeric_limits<std::size_t>::max() / b ? std::numeric_limits<std::size_t>::max()
                                                                     : a * b;
}

ReassemblyLimits WithDefaults(ReassemblyLimits limits) noexcept {
    limits.maxMessages = std::max<std::size_t>(1U, limits.maxMessages);
    if (limits.maxMessagesPerSender == 0) {
        limits.maxMessagesPerSender = std::max<std::size_t>(1U, limits.maxMessages / 2U);
    }
    limits.maxMessagesPerSender = std::min(limits.maxMessagesPerSender, limits.maxMessages);
    if (limits.maxBufferedBytes == 0) {
        limits.maxBufferedBytes = SaturatingProduct(limits.maxMessages, limits.maxMessageSize);
    }
    if (limits.maxBytesPerSender == 0) {
        limits.maxBytesPerSender = SaturatingProduct(2U, limits.maxMessageSize);
    }
    limits.maxBytesPerSender = std::min(limits.maxBytesPerSender, limits.maxBufferedBytes);
    return limits;
}

// Makes room for `needed` bytes, at least doubling (so that appending stays cheap) but never past `limit`,
// the most the buffer can ever have to hold; `needed` <= `limit`.
void Reserve(std::vector<std::uint8_t>& buffer, std::size_t needed, std::size_t limit) {
    if (needed > buffer.capacity()) {
        buffer.reserve(std::min(std::max(needed, 2U * buffer.capacity()), limit));
    }
}

}  // namespace

TpReassembler::TpReassembler(ReassemblyLimits limits) : limits_(WithDefaults(limits)) {
    messages_.reserve(std::min<std::size_t>(limits_.maxMessages, 64U));
    spare_.reserve(kSpareBuffers);
}

TpReassembler::Result TpReassembler::Add(const Key& key, const TpHeader& tp, const std::uint8_t* data,
                                         std::size_t size, Clock::time_point now) {
    Result result;
    const std::size_t begin = tp.offset;
    const std::size_t end = begin + size;
    const auto drop = [&result](DropReason reason) {
        result.outcome = Outcome::kDropped;
        result.reason = reason;
        return result;
    };
    // Every segment but the last carries a multiple of 16 bytes, so that the next offset is expressible.
    if (size == 0 || (tp.moreSegments && size % 16U != 0) || begin >= limits_.maxMessageSize) {
        return drop(size == 0 ? DropReason::kTruncated : DropReason::kTpBadOffset);
    }
    std::size_t index = Find(key);
    const auto dropMessage = [&](DropReason reason) {
        if (index != kNone) {
            Release(index);
        }
        return drop(reason);
    };
    if (end > limits_.maxMessageSize) {
        return dropMessage(DropReason::kTpTooLarge);
    }
    if (index == kNone) {
        // A new message: the sender gives up its own oldest one when it is at its limit or all are taken;
        // a sender with nothing to give up waits until the others' messages finish or time out.
        if (MessagesOf(key.sourceAddress, key.sourcePort) >= limits_.maxMessagesPerSender ||
            messages_.size() >= limits_.maxMessages) {
            const std::size_t oldest = OldestOf(key, kNone);
            if (oldest == kNone) {
                return drop(DropReason::kTpRefused);
            }
            Release(oldest);
            ++result.evicted;
        }
        messages_.push_back(Partial{key, {}, {}, 0, false, 0, now});
        index = messages_.size() - 1U;
    }
    {
        const Partial& partial = messages_[index];
        const std::size_t received =
            partial.runs.empty() ? partial.prefix.size() : End(*partial.runs.rbegin());
        if (partial.lastSeen && end > partial.total) {
            return dropMessage(DropReason::kTpBadOffset);
        }
        // The last segment says where the message ends: it must agree with any earlier last segment and
        // with everything received so far.
        if (!tp.moreSegments && ((partial.lastSeen && end != partial.total) || received > end)) {
            return dropMessage(DropReason::kTpBadOffset);
        }
        switch (Covered(partial, begin, end)) {
            case Cover::kAll:
                // Already have these bytes: a repeated segment. Keep the message, ignore the copy.
                messages_[index].touched = now;
                result.reason = DropReason::kTpDuplicate;
                return result;
            case Cover::kPart:
                return dropMessage(DropReason::kTpOverlap);
            case Cover::kNone:
                break;
        }
        if (begin != partial.prefix.size() && partial.runs.size() >= kMaxRuns) {
            return dropMessage(DropReason::kTpBadOffset);
        }
    }
    // Make room within the sender's and the total budget, at the cost of the sender's own older messages.
    const std::size_t cost = size + (begin == messages_[index].prefix.size() ? 0U : kRunCost);
    const std::size_t own = messages_[index].charged;
    const std::size_t others = BufferedBytesOf(key.sourceAddress, key.sourcePort) - own;
    if (own + cost > limits_.maxBytesPerSender || buffered_ - others + cost > limits_.maxBufferedBytes) {
        return dropMessage(DropReason::kTpRefused);  // not even giving up all its others would make room
    }
    while (BufferedBytesOf(key.sourceAddress, key.sourcePort) + cost > limits_.maxBytesPerSender ||
           buffered_ + cost > limits_.maxBufferedBytes) {
        const std::size_t oldest = OldestOf(key, index);
        if (oldest == kNone) {
            return dropMessage(DropReason::kTpRefused);
        }
        Release(oldest);
        ++result.evicted;
        index -= oldest < index ? 1U : 0U;
    }
    Partial& partial = messages_[index];
    Store(partial, begin, data, size);
    if (!tp.moreSegments) {
        partial.lastSeen = true;
        partial.total = end;
    }
    partial.touched = now;
    if (partial.lastSeen && partial.prefix.size() == partial.total) {
        buffered_ -= partial.charged;
        completed_ = std::move(partial.prefix);
        messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(index));
        result.outcome = Outcome::kComplete;
    }
    return result;
}

void TpReassembler::Store(Partial& partial, std::size_t begin, const std::uint8_t* data, std::size_t size) {
    const std::size_t end = begin + size;  // within the limit: Add checked it
    const std::size_t limit = partial.lastSeen ? partial.total : limits_.maxMessageSize;
    if (begin == partial.prefix.size()) {
        // In order: append, then take in the runs that now follow without a gap.
        auto next = partial.runs.begin();
        std::size_t reach = end;
        for (; next != partial.runs.end() && next->first == reach; ++next) {
            reach = End(*next);
        }
        if (partial.prefix.capacity() == 0 && !spare_.empty()) {
            partial.prefix = std::move(spare_.back());
            spare_.pop_back();
        }
        Reserve(partial.prefix, reach, std::max(limit, reach));
        partial.prefix.insert(partial.prefix.end(), data, data + size);
        std::size_t absorbed = 0;
        for (auto run = partial.runs.begin(); run != next; ++run, ++absorbed) {
            partial.prefix.insert(partial.prefix.end(), run->second.begin(), run->second.end());
        }
        partial.runs.erase(partial.runs.begin(), next);
        Charge(partial, size);
        partial.charged -= absorbed * kRunCost;
        buffered_ -= absorbed * kRunCost;
        return;
    }
    // Past a gap: continue the run it follows, or start one.
    const auto next = partial.runs.lower_bound(begin);
    if (next != partial.runs.begin() && End(*std::prev(next)) == begin) {
        const auto run = std::prev(next);
        Reserve(run->second, run->second.size() + size, limit - run->first);
        run->second.insert(run->second.end(), data, data + size);
        Charge(partial, size);
        return;
    }
    partial.runs.emplace_hint(next, begin, std::vector<std::uint8_t>(data, data + size));
    Charge(partial, size + kRunCost);
}

void TpReassembler::Charge(Partial& partial, std::size_t bytes) noexcept {
    partial.charged += bytes;
    buffered_ += bytes;
}

TpReassembler::Cover TpReassembler::Covered(const Partial& partial, std::size_t begin,
                                            std::size_t end) noexcept {
    if (begin < partial.prefix.size()) {
        return end <= partial.prefix.size() ? Cover::kAll : Cover::kPart;
    }
    // The run holding `begin` or else the first after it, then those that follow it without a gap.
    auto run = partial.runs.upper_bound(begin);
    if (run != partial.runs.begin() && End(*std::prev(run)) > begin) {
        --run;
    }
    if (run == partial.runs.end() || run->first >= end) {
        return Cover::kNone;
    }
    if (run->first > begin) {
        return Cover::kPart;
    }
    std::size_t reach = End(*run);
    for (++run; reach < end && run != partial.runs.end() && run->first == reach; ++run) {
        reach = End(*run);
    }
    return reach >= end ? Cover::kAll : Cover::kPart;
}

std::size_t TpReassembler::Find(const Key& key) const noexcept {
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (messages_[i].key == key) {
            return i;
        }
    }
    return kNone;
}

std::size_t TpReassembler::OldestOf(const Key& sender, std::size_t except) const noexcept {
    for (std::size_t i = 0; i < messages_.size(); ++i) {
        if (i != except && messages_[i].key.SameSender(sender)) {
            return i;
        }
    }
    return kNone;
}

void TpReassembler::Release(std::size_t index) {
    Partial& partial = messages_[index];
    buffered_ -= partial.charged;
    Recycle(std::move(partial.prefix));
    messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(index));
}

void TpReassembler::Recycle(std::vector<std::uint8_t>&& buffer) {
    if (buffer.capacity() != 0 && spare_.size() < kSpareBuffers) {
        buffer.clear();
        spare_.push_back(std::move(buffer));
    }
}

std::size_t TpReassembler::Expire(Clock::time_point now) {
    std::size_t expired = 0;
    for (std::size_t i = 0; i < messages_.size();) {
        if (now - messages_[i].touched >= limits_.timeout) {
            Release(i);
            ++expired;
        } else {
            ++i;
        }
    }
    return expired;
}

std::size_t TpReassembler::BufferedBytesOf(std::uint32_t sourceAddress,
                                           std::uint16_t sourcePort) const noexcept {
    std::size_t bytes = 0;
    for (const Partial& partial : messages_) {
        if (partial.key.sourceAddress == sourceAddress && partial.key.sourcePort == sourcePort) {
            bytes += partial.charged;
        }
    }
    return bytes;
}

std::size_t TpReassembler::MessagesOf(std::uint32_t sourceAddress, std::uint16_t sourcePort) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(messages_.begin(), messages_.end(), [&](const Partial& partial) {
            return partial.key.sourceAddress == sourceAddress && partial.key.sourcePort == sourcePort;
        }));
}

std::size_t TpReassembler::HeldBytes() const noexcept {
    std::size_t bytes = 0;
    for (const Partial& partial : messages_) {
        bytes += partial.prefix.capacity();
        for (const auto& run : partial.runs) {
            bytes += run.second.capacity() + kRunCost;
        }
    }
    for (const auto& buffer : spare_) {
        bytes += buffer.capacity();
    }
    return bytes;
}

}  // namespace vrt::cm::someip
