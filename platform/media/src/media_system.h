#pragma once

namespace mpu::internal {

// True while at least one mpu_sys_init is in force.
bool systemInitialized();

// Called by the last mpu_sys_exit: channels nobody destroyed go with the system.
void destroyAllPictureChannels();
void destroyAllEncoderChannels();

// If `fd` is an encoder channel's event fd and a frame sent there waits for an idle encoder, encodes it on
// the calling thread (see EncoderChannel::encodeHere).
void encodeWaitingFrameOf(int fd);

}  // namespace mpu::internal
