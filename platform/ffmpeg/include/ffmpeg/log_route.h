#pragma once

// FFmpeg's own messages through ara::log, and the damage a decoder concealed. The FFmpeg headers stay out of
// this header.

#include <atomic>
#include <cstdint>

struct AVCodecContext;

namespace ffmpeg {

// The log context of FFmpeg's messages.
inline constexpr const char* kLogContextId = "FFMP";

// Sends every libav message to the log context "FFMP" (default level warn) instead of standard error:
// libav's panic, fatal and error become error, warning warn, info info, verbose debug, debug and trace
// verbose. A line keeps libav's "[h264 @ 0x55…] " prefix; pieces of one line are joined per thread; the same
// line (numbers and addresses aside) is let through at most 3 times a second, and the lines held back come
// out afterwards as one "<last line> (repeated N times)". Messages of a level the context does not emit are
// not formatted.
//
// Installed once per process by the first call, and by the FFmpeg owners' library when the process starts:
// every later call does nothing. Thread-safe.
void RouteLogToAra();

// Emits the summaries of the lines held back so far, without waiting for their second to end.
void FlushLogRepeats();

// Counts the pictures a decoder had to conceal damage in, from the decoder's "concealing N DC, N AC, N MV
// errors" reports. Attach it to the decoder's context before avcodec_open2; it takes the context's `opaque`
// (the decoder's worker threads inherit it). It must outlive the context: declare it before the context's
// owner. The counts may be read from any thread.
class ConcealmentWatch {
  public:
    ConcealmentWatch();
    ~ConcealmentWatch();
    ConcealmentWatch(const ConcealmentWatch&) = delete;
    ConcealmentWatch& operator=(const ConcealmentWatch&) = delete;

    void Attach(AVCodecContext* decoder);

    // Pictures the decoder concealed damage in.
    std::uint64_t Pictures() const noexcept { return pictures_.load(std::memory_order_relaxed); }
    // The damage concealed: the DC, AC and MV errors of every report, added up (a damaged macroblock usually
    // counts once for each).
    std::uint64_t Errors() const noexcept { return errors_.load(std::memory_order_relaxed); }

    // Called by the log route.
    void Count(std::uint64_t errors) noexcept;

  private:
    std::atomic<std::uint64_t> pictures_{0};
    std::atomic<std::uint64_t> errors_{0};
};

}  // namespace ffmpeg
