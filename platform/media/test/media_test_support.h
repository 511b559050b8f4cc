#pragma once

// Pictures and a picture channel for the media unit's tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mpu/mpu_sys.h"
#include "mpu/mpu_vpc.h"

namespace mpu_test {

// An NV12 or packed picture in its own memory, with the record that describes it.
struct Picture {
    std::vector<std::uint8_t> bytes;
    mpu_vpc_pic_info info{};

    static Picture nv12(std::uint32_t width, std::uint32_t height, std::uint32_t stride = 0) {
        Picture p;
        stride = stride == 0 ? width : stride;
        p.bytes.assign(std::size_t{stride} * height * 3 / 2, 0);
        p.info = {p.bytes.data(), static_cast<std::uint32_t>(p.bytes.size()), width, height, stride,
                  height,         MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420};
        return p;
    }
    static Picture packed(std::uint32_t width, std::uint32_t height, std::uint32_t format) {
        Picture p;
        p.bytes.assign(std::size_t{width} * 3 * height, 0);
        p.info = {
            p.bytes.data(), static_cast<std::uint32_t>(p.bytes.size()), width, height, width * 3, height,
            format};
        return p;
    }
    Picture(const Picture& other) : bytes(other.bytes), info(other.info) {
        info.picture_address = bytes.data();
    }
    Picture(Picture&& other) noexcept : bytes(std::move(other.bytes)), info(other.info) {
        info.picture_address = bytes.data();
    }
    Picture& operator=(const Picture&) = delete;

    std::uint8_t& y(std::uint32_t x, std::uint32_t row) {
        return bytes[std::size_t{row} * info.picture_width_stride + x];
    }
    // Chroma sample (i, j): U, then V at +1.
    std::uint8_t& uv(std::uint32_t i, std::uint32_t j, int component) {
        return bytes[std::size_t{info.picture_width_stride} * info.picture_height_stride +
                     std::size_t{j} * info.picture_width_stride + 2 * i + component];
    }
    void fill(std::uint8_t luma, std::uint8_t u, std::uint8_t v) {
        for (std::uint32_t row = 0; row < info.picture_height; ++row) {
            for (std::uint32_t x = 0; x < info.picture_width; ++x) {
                y(x, row) = luma;
            }
        }
        for (std::uint32_t j = 0; j < info.picture_height / 2; ++j) {
            for (std::uint32_t i = 0; i < info.picture_width / 2; ++i) {
                uv(i, j, 0) = u;
                uv(i, j, 1) = v;
            }
        }
    }

  private:
    Picture() = default;
};

// A picture channel of a running media system.
class ChannelFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mpu_sys_init(), MPU_OK);
        const mpu_vpc_chn_attr attr{};
        ASSERT_EQ(mpu_vpc_sys_create_chn(&channel, &attr), MPU_OK);
    }
    void TearDown() override {
        mpu_vpc_destroy_chn(channel);
        mpu_sys_exit();
    }

    // Submits with `submit` and waits; the status of whichever step failed.
    template <class Submit>
    std::int32_t run(Submit submit) {
        std::uint32_t taskId = 0;
        const std::int32_t status = submit(&taskId);
        return status != MPU_OK ? status : mpu_vpc_get_process_result(channel, taskId, MPU_WAIT_FOREVER);
    }

    std::int32_t channel{-1};
};

}  // namespace mpu_test
