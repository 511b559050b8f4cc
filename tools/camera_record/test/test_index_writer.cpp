#include <gtest/gtest.h>

#include "camera_test/files.h"
#include "camera_test/gtest_support.h"
#include "index_writer.h"
#include "record_test_support.h"

namespace camera_record {
namespace {

TEST(IndexWriterTest, FormatsEveryColumnWithNineDigitNanosecondsAndAnEmptyMissingCode) {
    IndexRow row;
    row.frame = 12;
    row.sec = 1700000000;
    row.nsec = 5000;
    row.keyFlag = true;
    row.bytes = 45678;
    row.latencyMs = 4.25;

    EXPECT_EQ(IndexWriter::Format(row), "12,1700000000.000005000,1,45678,4.250,,0,0");

    row.keyFlag = false;
    row.frameCode = 65535;
    row.latencyMs = -0.5;  // a publisher clock ahead of ours shows as it is
    row.lostBefore = 3;
    row.damaged = true;
    EXPECT_EQ(IndexWriter::Format(row), "12,1700000000.000005000,0,45678,-0.500,65535,3,1");
}

TEST(IndexWriterTest, WritesTheHeaderAndOneLinePerRow) {
    camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("camera_record_test_");
    const std::string path = directory.Path() + "/cam_8_index.csv";
    auto opened = IndexWriter::Open(path);
    ASSERT_TRUE(opened.HasValue()) << opened.Error().message;
    IndexWriter sut = std::move(opened).Value();

    IndexRow row;
    row.sec = 10;
    row.nsec = 999999999;
    row.bytes = 3;
    row.frameCode = 7;
    EXPECT_TRUE(sut.Write(row));
    row.frame = 1;
    row.frameCode.reset();
    EXPECT_TRUE(sut.Write(row));
    EXPECT_TRUE(sut.Close());

    EXPECT_EQ(camera_test::ReadLines(path),
              (std::vector<std::string>{"frame,stamp,key,bytes,latency_ms,frame_code,lost_before,damaged",
                                        "0,10.999999999,0,3,0.000,7,0,0", "1,10.999999999,0,3,0.000,,0,0"}));
}

}  // namespace
}  // namespace camera_record
