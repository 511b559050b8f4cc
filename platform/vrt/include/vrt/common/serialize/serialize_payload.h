#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

namespace vrt::common::serialize {

// Write cursor over the caller's buffer: the offset of the next byte and the padding still to skip before
// the next write. A cursor without a buffer counts instead of writing: every reservation succeeds and the
// final offset is the payload size. Not thread-safe; one per serialization.
class SerializePayload {
  public:
    SerializePayload(std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
    static SerializePayload Counter() noexcept {
        return SerializePayload(nullptr, std::numeric_limits<std::size_t>::max() / 2U);
    }

    bool IsCounting() const noexcept { return data_ == nullptr; }
    std::uint8_t* Data() const noexcept { return data_; }
    std::size_t Size() const noexcept { return size_; }
    std::size_t SizeInBits() const noexcept { return size_ * 8U; }
    std::size_t Offset() const noexcept { return offset_; }
    std::size_t PendingPadding() const noexcept { return padding_; }

    void SetOffset(std::size_t offset) noexcept { offset_ = offset; }
    void SetPendingPadding(std::size_t padding) noexcept { padding_ = padding; }

    // Claims n > 0 bytes for writing, following the copy rules: with no more bytes left than the pending
    // padding it fails and the padding stays pending; otherwise the padding is skipped (its bytes are left
    // as they are) and cleared, and the n bytes must fit in what is left. On success returns the offset of
    // the claimed bytes and advances past them.
    std::optional<std::size_t> Reserve(std::size_t n) noexcept {
        const std::size_t left = size_ - offset_;
        if (left <= padding_) {
            return std::nullopt;
        }
        offset_ += padding_;
        padding_ = 0;
        if (n > size_ - offset_) {
            return std::nullopt;
        }
        const std::size_t at = offset_;
        offset_ += n;
        return at;
    }

    // The copy primitive: n = 0 succeeds without touching anything.
    bool Copy(const void* source, std::size_t n) noexcept {
        if (n == 0) {
            return true;
        }
        const std::optional<std::size_t> at = Reserve(n);
        if (!at) {
            return false;
        }
        if (data_ != nullptr) {
            std::memcpy(data_ + *at, source, n);
        }
        return true;
    }

    // Address of a claimed byte; null while counting.
    std::uint8_t* At(std::size_t offset) const noexcept {
        return data_ == nullptr ? nullptr : data_ + offset;
    }

  private:
    std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_{0};
    std::size_t padding_{0};
};

// Read cursor over received bytes, with an end that nested length-prefixed items narrow. Every read is
// checked against that end; nothing is ever read past it.
class DeserializePayload {
  public:
    DeserializePayload(const std::uint8_t* data, std::size_t size) noexcept : data_(data), end_(size) {}

    std::size_t Offset() const noexcept { return offset_; }
    std::size_t End() const noexcept { return end_; }
    std::size_t Remaining() const noexcept { return end_ - offset_; }
    std::size_t PendingPadding() const noexcept { return padding_; }
    const std::uint8_t* Data() const noexcept { return data_; }

    void SetPendingPadding(std::size_t padding) noexcept { padding_ = padding; }
    void SetOffset(std::size_t offset) noexcept { offset_ = offset; }
    void SetEnd(std::size_t end) noexcept { end_ = end; }

    // Mirror of SerializePayload::Reserve: skips pending padding, then takes n > 0 bytes and returns where
    // they start; null when they are not there.
    const std::uint8_t* Take(std::size_t n) noexcept {
        if (Remaining() < padding_) {
            return nullptr;
        }
        offset_ += padding_;
        padding_ = 0;
        if (n > Remaining()) {
            return nullptr;
        }
        const std::uint8_t* at = data_ + offset_;
        offset_ += n;
        return at;
    }

  private:
    const std::uint8_t* data_;
    std::size_t end_;
    std::size_t offset_{0};
    std::size_t padding_{0};
};

}  // namespace vrt::common::serialize
