#pragma once

#include <array>
#include <cstddef>
#include <memory>

namespace mpu::internal {

class EncoderChannel;

// True while at least one mpu_sys_init is in force.
bool systemInitialized();

// Called by the last mpu_sys_exit: channels nobody destroyed go with the system.
void destroyAllPictureChannels();
void destroyAllEncoderChannels();

// A thread's wait in mpu_sys_wait_epoll on descriptors among which encoder channels' event fds may be: for
// each such channel, a frame sent there that waits for an idle encoder is encoded on the calling thread
// first, and frames sent while the thread waits go to the channel's encoder thread (see EncoderChannel).
class StreamWait {
  public:
    StreamWait(const int* fds, std::size_t count);
    ~StreamWait();
    StreamWait(const StreamWait&) = delete;
    StreamWait& operator=(const StreamWait&) = delete;

  private:
    static constexpr std::size_t kMostChannels = 16;
    std::array<std::shared_ptr<EncoderChannel>, kMostChannels> channels_;
    std::size_t count_{0};
};

}  // namespace mpu::internal
