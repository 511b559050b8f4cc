#include "camera_test/files.h"

#include <gtest/gtest.h>

#include "camera_test/gtest_support.h"

namespace camera_test {
namespace {

class FilesTest : public ::testing::Test {
  protected:
    TemporaryDirectory directory_ = NewTestDirectory("files_test_");
};

TEST_F(FilesTest, WriteThenReadKeepsEveryByte) {
    const std::string content("one\0two\r\nthree", 14);
    ASSERT_TRUE(WriteFile(directory_.File("data"), content));
    const auto read = ReadFile(directory_.File("data"));
    ASSERT_TRUE(read) << read.Error().message;
    EXPECT_EQ(read.Value(), content);
    EXPECT_EQ(ReadLines(directory_.File("data")),
              (std::vector<std::string>{std::string("one\0two\r", 8), "three"}));
}

TEST_F(FilesTest, MissingFilesAndDirectoriesAreErrorsNamingThePath) {
    const auto read = ReadFile(directory_.File("missing"));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.Error().code, SupportErrc::kIo);
    EXPECT_NE(read.Error().message.find(directory_.File("missing")), std::string::npos);
    EXPECT_EQ(ReadText(directory_.File("missing")), "");

    const auto written = WriteFile(directory_.File("no/such/dir"), "x");
    ASSERT_FALSE(written);
    EXPECT_NE(written.Error().message.find("no/such/dir"), std::string::npos);
}

TEST_F(FilesTest, TailKeepsTheEndWithoutTrailingLineEnds) {
    ASSERT_TRUE(WriteFile(directory_.File("log"), "first line\nlast line\n\n"));
    EXPECT_EQ(FileTail(directory_.File("log"), 9), "...st line");
    EXPECT_EQ(FileTail(directory_.File("log"), 100), "first line\nlast line");
}

TEST_F(FilesTest, FindExecutableSearchesThePath) {
    const auto shell = FindExecutable("sh");
    ASSERT_TRUE(shell) << shell.Error().message;
    EXPECT_EQ(shell.Value().back(), 'h');
    EXPECT_EQ(shell.Value().front(), '/');
    EXPECT_FALSE(FindExecutable("no-such-program-here"));
    EXPECT_FALSE(FindExecutable(directory_.File("log")));
}

}  // namespace
}  // namespace camera_test
