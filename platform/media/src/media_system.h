#pragma once

namespace mpu::internal {

// True while at least one mpu_sys_init is in force.
bool systemInitialized();

// Called by the last mpu_sys_exit: channels nobody destroyed go with the system.
void destroyAllPictureChannels();
void destroyAllEncoderChannels();

}  // namespace mpu::internal
