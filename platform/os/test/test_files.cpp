#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "camera_test/gtest_support.h"
#include "vcu/os/files.h"

namespace {

TEST(RegularFileProblemTest, NamesWhatIsNotARegularFileWithoutOpeningIt) {
    const camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_os_files_");
    const std::string& dir = directory.Path();
    const std::string regular = dir + "/plain.ini";
    std::ofstream(regular) << "[cam_8]\n";
    const std::string fifo = dir + "/fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = dir + "/link.ini";
    ASSERT_EQ(::symlink(regular.c_str(), link.c_str()), 0);

    EXPECT_EQ(vcu::os::RegularFileProblem(regular), "");
    EXPECT_EQ(vcu::os::RegularFileProblem(link), "") << "a link to a regular file is followed";
    // A FIFO without a writer would block an open for reading: the check must not open it.
    EXPECT_EQ(vcu::os::RegularFileProblem(fifo), "is a FIFO, not a regular file");
    EXPECT_EQ(vcu::os::RegularFileProblem(dir), "is a directory, not a regular file");
    EXPECT_EQ(vcu::os::RegularFileProblem("/dev/zero"), "is a character device, not a regular file");
    EXPECT_EQ(vcu::os::RegularFileProblem(dir + "/missing"), "cannot open file: No such file or directory");
}

// In a child started with its standard output and error closed, the next file opened must not become
// descriptor 1 or 2.
TEST(OpenStandardDescriptorsTest, FillsClosedStandardDescriptorsWithDevNull) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
        if (!vcu::os::OpenStandardDescriptors()) {
            ::_exit(10);
        }
        struct stat out {};
        struct stat null {};
        if (::fstat(STDOUT_FILENO, &out) != 0 || ::stat("/dev/null", &null) != 0 ||
            out.st_rdev != null.st_rdev || ::fcntl(STDERR_FILENO, F_GETFD) == -1) {
            ::_exit(11);
        }
        const int next = ::open("/dev/zero", O_RDONLY);
        ::_exit(next > STDERR_FILENO ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: refused, 11: not /dev/null, 12: a later file took fd 1 or 2";
}

}  // namespace
