#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "camera_test/eventually.h"
#include "media_test_support.h"

namespace {

using mpu_test::Picture;

class PictureTasksTest : public mpu_test::ChannelFixture {
  protected:
    std::int32_t cropResize(const Picture& source, Picture& destination, const mpu_vpc_crop_region& window) {
        mpu_vpc_crop_resize_region region{};
        region.dest_pic_info = destination.info;
        region.crop_region = window;
        region.resize_info = {destination.info.picture_width, destination.info.picture_height,
                              MPU_VPC_INTERPOLATION_BILINEAR};
        return run([&](std::uint32_t* id) {
            return mpu_vpc_crop_resize(channel, &source.info, &region, 1, id, -1);
        });
    }
    std::int32_t convert(const Picture& source, Picture& destination) {
        return run([&](std::uint32_t* id) {
            return mpu_vpc_convert_color(channel, &source.info, &destination.info, id, -1);
        });
    }
};

TEST_F(PictureTasksTest, CameraFrameScalesToTheOutputPictureAndConvertsToBgr) {
    // The camera's 1920 x 1080 frame, left half dark and right half bright.
    Picture frame = Picture::nv12(1920, 1080);
    ASSERT_EQ(frame.info.picture_buffer_size, 3110400u);
    frame.fill(40, 128, 128);
    for (std::uint32_t row = 0; row < 1080; ++row) {
        for (std::uint32_t x = 960; x < 1920; ++x) {
            frame.y(x, row) = 200;
        }
    }
    Picture resized = Picture::nv12(1280, 720);
    Picture bgr = Picture::packed(1280, 720, MPU_PIXEL_FORMAT_BGR_888);
    ASSERT_EQ(resized.info.picture_buffer_size, 1382400u);
    ASSERT_EQ(bgr.info.picture_width_stride, 3840u);
    ASSERT_EQ(bgr.info.picture_buffer_size, 2764800u);

    ASSERT_EQ(cropResize(frame, resized, {0, 0, 1920, 1080}), MPU_OK);
    EXPECT_EQ(resized.y(100, 360), 40);
    EXPECT_EQ(resized.y(1200, 360), 200);
    EXPECT_EQ(resized.y(638, 0), 40);  // the edge lands in the middle
    EXPECT_EQ(resized.y(641, 719), 200);

    ASSERT_EQ(convert(resized, bgr), MPU_OK);
    const std::uint8_t* right = &bgr.bytes[360 * 3840 + 1200 * 3];
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(right[c], (200 - 16) * 255 / 219, 3) << "grey stays grey";
    }
}

TEST_F(PictureTasksTest, CropWindowCutsTheRequestedPartOnly) {
    Picture frame = Picture::nv12(64, 64);
    frame.fill(50, 100, 150);
    for (std::uint32_t row = 16; row < 48; ++row) {
        for (std::uint32_t x = 16; x < 48; ++x) {
            frame.y(x, row) = 180;
        }
    }
    for (std::uint32_t j = 8; j < 24; ++j) {
        for (std::uint32_t i = 8; i < 24; ++i) {
            frame.uv(i, j, 0) = 60;
            frame.uv(i, j, 1) = 200;
        }
    }
    Picture out = Picture::nv12(16, 16);
    ASSERT_EQ(cropResize(frame, out, {16, 16, 32, 32}), MPU_OK);
    for (std::uint32_t row = 0; row < 16; ++row) {
        for (std::uint32_t x = 0; x < 16; ++x) {
            ASSERT_EQ(out.y(x, row), 180) << x << "," << row;
        }
    }
    EXPECT_EQ(out.uv(3, 3, 0), 60);
    EXPECT_EQ(out.uv(3, 3, 1), 200);
}

TEST_F(PictureTasksTest, WindowsOutsideTheSourceAreRefusedWithoutWriting) {
    Picture frame = Picture::nv12(1920, 1080);
    Picture out = Picture::nv12(1280, 720);
    out.fill(7, 7, 7);
    const Picture untouched = out;
    // Margins of 1000 on a 1920-wide picture: the width 1920 - 2000 wrapped around in 32 bits.
    EXPECT_EQ(cropResize(frame, out, {1000, 0, 1920u - 2000u, 1080}), MPU_ERR_BAD_WINDOW);
    EXPECT_EQ(cropResize(frame, out, {960, 540, 0, 0}), MPU_ERR_BAD_WINDOW);
    EXPECT_EQ(cropResize(frame, out, {1, 0, 1920, 1080}), MPU_ERR_BAD_WINDOW);
    EXPECT_EQ(cropResize(frame, out, {0, 4294967295u, 1920, 2}), MPU_ERR_BAD_WINDOW);
    EXPECT_EQ(out.bytes, untouched.bytes);
}

TEST_F(PictureTasksTest, MalformedPicturesAreRefusedWithoutWriting) {
    const Picture frame = Picture::nv12(64, 32);
    Picture out = Picture::nv12(32, 16);
    out.fill(7, 7, 7);
    const Picture untouched = out;
    const auto refusedAs = [&](void (*spoil)(mpu_vpc_pic_info&)) {
        Picture source = frame;
        spoil(source.info);
        return cropResize(source, out, {0, 0, 64, 32});
    };
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_address = nullptr; }), MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_format = MPU_PIXEL_FORMAT_BGR_888; }),
              MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_width_stride = 63; }), MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_height = 31; }), MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_buffer_size -= 1; }), MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(refusedAs([](mpu_vpc_pic_info& p) { p.picture_width = 9000; }), MPU_ERR_BAD_PICTURE);
    Picture bgr = Picture::packed(32, 16, MPU_PIXEL_FORMAT_BGR_888);
    bgr.info.picture_width_stride = 95;
    EXPECT_EQ(convert(out, bgr), MPU_ERR_BAD_PICTURE);
    EXPECT_EQ(out.bytes, untouched.bytes);
}

struct KnownColour {
    std::uint8_t y, u, v;
    std::uint8_t r, g, b;
};

TEST_F(PictureTasksTest, KnownColoursConvertWithTheLimitedRangeBt601Matrix) {
    const KnownColour colours[] = {
        {16, 128, 128, 0, 0, 0},         // black
        {235, 128, 128, 255, 255, 255},  // white
        {81, 90, 240, 255, 0, 0},        // red
        {145, 54, 34, 0, 255, 0},        // green
        {41, 240, 110, 0, 0, 255},       // blue
    };
    for (const KnownColour& c : colours) {
        Picture source = Picture::nv12(16, 2);
        source.fill(c.y, c.u, c.v);
        Picture bgr = Picture::packed(16, 2, MPU_PIXEL_FORMAT_BGR_888);
        Picture rgb = Picture::packed(16, 2, MPU_PIXEL_FORMAT_RGB_888);
        ASSERT_EQ(convert(source, bgr), MPU_OK);
        ASSERT_EQ(convert(source, rgb), MPU_OK);
        SCOPED_TRACE(testing::Message() << "Y " << int{c.y} << " U " << int{c.u} << " V " << int{c.v});
        EXPECT_NEAR(bgr.bytes[0], c.b, 3);
        EXPECT_NEAR(bgr.bytes[1], c.g, 3);
        EXPECT_NEAR(bgr.bytes[2], c.r, 3);
        EXPECT_NEAR(rgb.bytes[0], c.r, 3);
        EXPECT_NEAR(rgb.bytes[2], c.b, 3);
    }
}

TEST_F(PictureTasksTest, ResultsAreCollectedOncePerTaskId) {
    Picture source = Picture::nv12(16, 16);
    Picture bgr = Picture::packed(16, 16, MPU_PIXEL_FORMAT_BGR_888);
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    ASSERT_EQ(mpu_vpc_convert_color(channel, &source.info, &bgr.info, &first, -1), MPU_OK);
    ASSERT_EQ(mpu_vpc_convert_color(channel, &source.info, &bgr.info, &second, -1), MPU_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(mpu_vpc_get_process_result(channel, second, -1), MPU_OK);
    EXPECT_EQ(mpu_vpc_get_process_result(channel, first, -1), MPU_OK);
    EXPECT_EQ(mpu_vpc_get_process_result(channel, first, -1), MPU_ERR_UNKNOWN_TASK);
    EXPECT_EQ(mpu_vpc_get_process_result(channel + 1000, first, -1), MPU_ERR_INVALID_CHANNEL);
}

// A caller that waits for the first of two tasks may run it itself; the second, which reads the first's
// result, still runs only after it, whichever thread runs it.
TEST_F(PictureTasksTest, TasksKeepTheirOrderWhenTheCallerRunsOne) {
    Picture frame = Picture::nv12(1920, 1080);
    Picture resized = Picture::nv12(1280, 720);
    Picture bgr = Picture::packed(1280, 720, MPU_PIXEL_FORMAT_BGR_888);
    mpu_vpc_crop_resize_region region{};
    region.dest_pic_info = resized.info;
    region.crop_region = {0, 0, 1920, 1080};
    region.resize_info = {1280, 720, MPU_VPC_INTERPOLATION_BILINEAR};
    for (int round = 0; round < 60; ++round) {
        const auto grey = static_cast<std::uint8_t>(round % 2 == 0 ? 40 : 200);
        frame.fill(grey, 128, 128);
        std::uint32_t scaled = 0;
        std::uint32_t converted = 0;
        ASSERT_EQ(mpu_vpc_crop_resize(channel, &frame.info, &region, 1, &scaled, -1), MPU_OK);
        ASSERT_EQ(mpu_vpc_convert_color(channel, &resized.info, &bgr.info, &converted, -1), MPU_OK);
        ASSERT_EQ(mpu_vpc_get_process_result(channel, scaled, -1), MPU_OK);
        ASSERT_EQ(mpu_vpc_get_process_result(channel, converted, -1), MPU_OK);
        const int expected = (grey - 16) * 255 / 219;
        std::size_t wrong = 0;
        for (const std::uint8_t byte : bgr.bytes) {
            wrong += std::abs(byte - expected) > 3 ? 1 : 0;
        }
        ASSERT_EQ(wrong, 0u) << "round " << round << ": converted before the scaling ended";
    }
}

// A channel of one slot, and a tiny task for it.
class PictureChannelSlotsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(mpu_sys_init(), MPU_OK);
        const mpu_vpc_chn_attr oneSlot{1, {0, 0, 0}};
        ASSERT_EQ(mpu_vpc_sys_create_chn(&channel, &oneSlot), MPU_OK);
    }
    void TearDown() override {
        mpu_vpc_destroy_chn(channel);
        EXPECT_EQ(mpu_sys_exit(), MPU_OK);
    }

    std::int32_t submit(std::uint32_t* id, std::int32_t timeoutMs) {
        return mpu_vpc_convert_color(channel, &source.info, &bgr.info, id, timeoutMs);
    }
    // Whether submissions come to be refused at once: the task in the slot has run, and its result holds it.
    bool refusedOnceTheTaskHasRun() {
        std::uint32_t refused = 0;
        return camera_test::Eventually([&] { return submit(&refused, 0) == MPU_ERR_QUEUE_FULL; });
    }

    std::int32_t channel{-1};
    Picture source = Picture::nv12(16, 16);
    Picture bgr = Picture::packed(16, 16, MPU_PIXEL_FORMAT_BGR_888);
};

TEST_F(PictureChannelSlotsTest, SlotsFullOfUncollectedResultsRefuseAtOnce) {
    std::uint32_t id = 0;
    ASSERT_EQ(submit(&id, -1), MPU_OK);
    // While the tiny task runs, a submission without waiting times out; once it has finished, its result
    // holds the only slot until it is collected, and a submission is refused at once, however long it would
    // wait.
    EXPECT_TRUE(refusedOnceTheTaskHasRun());
    std::uint32_t refused = 0;
    EXPECT_EQ(submit(&refused, -1), MPU_ERR_QUEUE_FULL);
    EXPECT_EQ(mpu_vpc_get_process_result(channel, id, -1), MPU_OK);
    EXPECT_EQ(submit(&id, -1), MPU_OK);
    EXPECT_EQ(mpu_vpc_destroy_chn(channel), MPU_OK);  // drops the uncollected result
    EXPECT_EQ(mpu_vpc_destroy_chn(channel), MPU_ERR_INVALID_CHANNEL);
}

// A channel whose caller has collected every task at once leaves a lone task to its caller rather than waking
// its worker; a task whose caller then never comes must still run once a submission needs its slot.
TEST_F(PictureChannelSlotsTest, ATaskLeftByACallerWhoUsedToWaitStillRuns) {
    std::uint32_t id = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(submit(&id, -1), MPU_OK);
        ASSERT_EQ(mpu_vpc_get_process_result(channel, id, -1), MPU_OK);
    }
    ASSERT_EQ(submit(&id, -1), MPU_OK);
    // Nobody waits for it: only the worker can run it.
    EXPECT_TRUE(refusedOnceTheTaskHasRun());
    EXPECT_EQ(mpu_vpc_get_process_result(channel, id, -1), MPU_OK);
}

}  // namespace
