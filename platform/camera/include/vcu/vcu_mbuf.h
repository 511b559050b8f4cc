#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vcu {

namespace internal {
class FramePool;
struct MbufBinding;
}  // namespace internal

// Prepares the platform buffer system for camera frames. Idempotent; returns 0.
int VcuMbufSysInit();

// A named reference to one frame buffer of a camera's fixed buffer pool, or to nothing (unbound).
//
// Copies share the buffer: each bound copy holds one reference, and the buffer goes back to its pool when the
// last one is destroyed, so a frame stays intact for as long as any record refers to it. The pool itself
// lives as long as any of its buffers is referenced, even after the camera service has stopped. A moved-from
// object is unbound. Like std::shared_ptr, distinct objects may be used from different threads; one object
// must not be changed concurrently.
class VcuMbuf {
  public:
    explicit VcuMbuf(std::string name);
    ~VcuMbuf();
    VcuMbuf(const VcuMbuf& other);
    VcuMbuf& operator=(const VcuMbuf& other);
    VcuMbuf(VcuMbuf&& other) noexcept;
    VcuMbuf& operator=(VcuMbuf&& other) noexcept;

    // The buffer's address and its size in bytes (for a camera frame: width * height * 3 / 2 NV12 bytes,
    // luma plane then interleaved chroma, stride = width, 64-byte aligned). False, with both arguments left
    // alone, when the object is unbound.
    bool GetBuffData(void*& data, unsigned long& size) const;

    bool IsBound() const noexcept { return pool_ != nullptr; }
    const std::string& Name() const noexcept { return name_; }

  private:
    friend struct internal::MbufBinding;
    void Reset() noexcept;

    std::string name_;
    std::shared_ptr<internal::FramePool> pool_;
    std::uint32_t slot_{0};
};

}  // namespace vcu
