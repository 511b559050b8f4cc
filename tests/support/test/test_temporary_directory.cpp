#include "camera_test/temporary_directory.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "camera_test/files.h"

namespace camera_test {
namespace {

TEST(TemporaryDirectoryTest, RemovesItselfWithEverythingInItOnlyOnce) {
    std::string path;
    {
        auto made = TemporaryDirectory::Make("temporary_directory_test_");
        ASSERT_TRUE(made) << made.Error().message;
        TemporaryDirectory sut = std::move(made).Value();
        path = sut.Path();
        const auto nested = sut.Subdirectory("nested");
        ASSERT_TRUE(nested) << nested.Error().message;
        ASSERT_TRUE(WriteFile(nested.Value() + "/file", "x"));
        ASSERT_TRUE(sut.Write("top", "y"));
        EXPECT_EQ(ReadText(sut.File("top")), "y");

        // A moved-from owner removes nothing; the new owner keeps the directory.
        TemporaryDirectory moved = std::move(sut);
        EXPECT_FALSE(sut.Valid());  // NOLINT(bugprone-use-after-move): checked on purpose
        EXPECT_TRUE(std::filesystem::is_directory(path));
        EXPECT_EQ(moved.Path(), path);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(TemporaryDirectoryTest, AForkedChildLeavesItToItsParent) {
    auto made = TemporaryDirectory::Make("temporary_directory_test_");
    ASSERT_TRUE(made) << made.Error().message;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        { TemporaryDirectory copy = std::move(made).Value(); }
        ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(std::filesystem::is_directory(made.Value().Path()));
}

}  // namespace
}  // namespace camera_test
