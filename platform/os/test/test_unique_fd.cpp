#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

#include "vcu/os/unique_fd.h"

namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, ClosesOnceWhateverPathTheOwnershipTakes) {
    int first = -1;
    int second = -1;
    {
        vcu::os::UniqueFd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        vcu::os::UniqueFd b(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        first = a.get();
        second = b.get();
        ASSERT_TRUE(a.valid() && b.valid());

        vcu::os::UniqueFd moved(std::move(a));
        // NOLINTNEXTLINE(bugprone-use-after-move): the moved-from state is what is checked
        EXPECT_FALSE(a.valid()) << "a moved-from owner must not close the descriptor again";
        EXPECT_EQ(moved.get(), first);

        moved = std::move(b);  // closes `first`, takes `second`
        EXPECT_FALSE(IsOpen(first));
        EXPECT_EQ(moved.get(), second);

        vcu::os::UniqueFd& same = moved;
        moved = std::move(same);  // self-move keeps the descriptor
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));
}

TEST(UniqueFdTest, ReleaseHandsOverWithoutClosing) {
    vcu::os::UniqueFd owner(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const int fd = owner.release();
    owner.reset();
    EXPECT_TRUE(IsOpen(fd));
    owner.reset(fd);
    owner.reset(fd);  // the same descriptor again is not closed under the owner's feet
    EXPECT_TRUE(IsOpen(fd));
    owner.reset();
    EXPECT_FALSE(IsOpen(fd));
}

}  // namespace
