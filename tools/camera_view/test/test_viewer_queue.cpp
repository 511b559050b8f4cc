#include <gtest/gtest.h>

#include "viewer_queue.h"

namespace camera_view {
namespace {

std::shared_ptr<const std::vector<std::uint8_t>> Frame(std::size_t size, std::uint8_t tag = 0) {
    return std::make_shared<const std::vector<std::uint8_t>>(size, tag);
}

TEST(ViewerQueueTest, EachCameraStartsAtItsFirstKeyFrame) {
    ViewerQueue sut(ViewerQueue::Limits{});
    EXPECT_FALSE(sut.OfferFrame(Frame(10), 0, false));
    EXPECT_TRUE(sut.OfferFrame(Frame(10), 0, true));
    EXPECT_TRUE(sut.OfferFrame(Frame(10), 0, false));
    EXPECT_FALSE(sut.OfferFrame(Frame(10), 1, false));  // camera 1 has had no key frame yet
    EXPECT_FALSE(sut.OfferFrame(Frame(10), 4, true));   // no such camera
    EXPECT_EQ(sut.QueuedMessages(), 2U);
    EXPECT_EQ(sut.SkippedFrames(), 3U);
}

TEST(ViewerQueueTest, MessagesLeaveInOrderAndFreeTheirBytes) {
    ViewerQueue sut(ViewerQueue::Limits{});
    sut.OfferFrame(Frame(100, 1), 2, true);
    sut.OfferText(std::make_shared<const std::string>("figures"));
    sut.OfferFrame(Frame(50, 2), 2, false);
    EXPECT_EQ(sut.QueuedBytes(), 157U);
    EXPECT_EQ(sut.Take().frame->front(), 1);
    EXPECT_EQ(*sut.Take().text, "figures");
    EXPECT_EQ(sut.Take().frame->front(), 2);
    EXPECT_TRUE(sut.Empty());
    EXPECT_EQ(sut.QueuedBytes(), 0U);
}

TEST(ViewerQueueTest, ASlowViewerDropsWhatIsPendingAndSkipsToTheNextKeyFrameOfEachCamera) {
    ViewerQueue sut(ViewerQueue::Limits{4, 1000});
    sut.OfferFrame(Frame(100), 0, true);
    sut.OfferFrame(Frame(100), 1, true);
    sut.OfferFrame(Frame(100), 0, false);
    sut.OfferFrame(Frame(100), 1, false);
    // The fifth message does not fit: the queue empties, and a delta frame has nothing to follow.
    EXPECT_FALSE(sut.OfferFrame(Frame(100), 0, false));
    EXPECT_TRUE(sut.Empty());
    EXPECT_EQ(sut.Overflows(), 1U);
    EXPECT_EQ(sut.SkippedFrames(), 5U);
    EXPECT_FALSE(sut.OfferFrame(Frame(100), 1, false));
    EXPECT_TRUE(sut.OfferFrame(Frame(100, 7), 1, true));  // the newest key frame starts camera 1 again
    EXPECT_FALSE(sut.OfferFrame(Frame(100), 0, false));   // camera 0 still waits for its own
    EXPECT_EQ(sut.Take().frame->front(), 7);
}

TEST(ViewerQueueTest, AnOverflowingKeyFrameIsKeptAsTheNewStart) {
    ViewerQueue sut(ViewerQueue::Limits{10, 250});
    sut.OfferFrame(Frame(100), 0, true);
    sut.OfferFrame(Frame(100), 0, false);
    EXPECT_TRUE(sut.OfferFrame(Frame(200, 9), 0, true));
    EXPECT_EQ(sut.QueuedMessages(), 1U);
    EXPECT_EQ(sut.Take().frame->front(), 9);
}

TEST(ViewerQueueTest, BytesStayWithinTheLimitWhateverIsOffered) {
    ViewerQueue sut(ViewerQueue::Limits{8, 4096});
    std::size_t peak = 0;
    for (int i = 0; i < 1000; ++i) {
        sut.OfferFrame(Frame(static_cast<std::size_t>(100 + (i * 37) % 3000)), i % 4, i % 10 == 0);
        if (i % 3 == 0) {
            sut.OfferText(std::make_shared<const std::string>(std::string(200, 'x')));
        }
        peak = std::max(peak, sut.QueuedBytes());
        EXPECT_LE(sut.QueuedMessages(), 8U);
    }
    EXPECT_LE(peak, 4096U);
    EXPECT_FALSE(sut.OfferFrame(Frame(5000), 0, true));  // larger than the whole budget
    EXPECT_LE(sut.QueuedBytes(), 4096U);
}

TEST(ViewerQueueTest, FiguresNeverPushFramesOut) {
    ViewerQueue sut(ViewerQueue::Limits{2, 1000});
    sut.OfferFrame(Frame(100), 0, true);
    sut.OfferFrame(Frame(100), 0, false);
    EXPECT_FALSE(sut.OfferText(std::make_shared<const std::string>("figures")));
    EXPECT_EQ(sut.QueuedMessages(), 2U);
    EXPECT_EQ(sut.Overflows(), 0U);
}

TEST(ViewerQueueTest, ARestartedCameraLosesItsPendingFramesAndWaitsForItsNextKeyFrame) {
    ViewerQueue sut(ViewerQueue::Limits{});
    sut.OfferFrame(Frame(100, 1), 0, true);
    sut.OfferFrame(Frame(10, 2), 1, true);
    sut.OfferFrame(Frame(100, 3), 0, false);
    sut.Restart(0);
    EXPECT_EQ(sut.QueuedMessages(), 1U);
    EXPECT_EQ(sut.QueuedBytes(), 10U);
    EXPECT_EQ(sut.SkippedFrames(), 2U);
    EXPECT_FALSE(sut.OfferFrame(Frame(100), 0, false));
    EXPECT_TRUE(sut.OfferFrame(Frame(100, 4), 0, true));
    const Outgoing first = sut.Take();
    EXPECT_EQ(first.frame->front(), 2);
    EXPECT_EQ(first.camera, 1);
    EXPECT_EQ(sut.Take().camera, 0);
}

}  // namespace
}  // namespace camera_view
