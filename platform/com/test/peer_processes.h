#pragma once

// The transport tests' pair of shm_peer processes: a subscriber, and a publisher once it listens.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"

namespace vrt::cm::test {

// Starts `subscriber` and waits until its output says "ready", then starts `publisher`; both must end with
// status 0 within `timeout`. Each failure shows the output of the process concerned.
inline void RunSubscriberThenPublisher(const std::vector<std::string>& subscriber,
                                       const std::string& subscriberOutput,
                                       const std::vector<std::string>& publisher,
                                       const std::string& publisherOutput, std::chrono::seconds timeout) {
    camera_test::ChildProcess receiving = camera_test::StartChild(subscriber, subscriberOutput);
    ASSERT_TRUE(camera_test::WaitForText(subscriberOutput, "ready", std::chrono::seconds(10)))
        << camera_test::ReadText(subscriberOutput);
    camera_test::ChildProcess sending = camera_test::StartChild(publisher, publisherOutput);
    EXPECT_EQ(receiving.Wait(timeout), 0) << camera_test::ReadText(subscriberOutput);
    EXPECT_EQ(sending.Wait(timeout), 0) << camera_test::ReadText(publisherOutput);
}

}  // namespace vrt::cm::test
