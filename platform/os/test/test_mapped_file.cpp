#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camera_test/gtest_support.h"
#include "vcu/os/mapped_file.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    for (std::size_t i = 0; i < bytes; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 4096);
    }
    return data;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The process's resident kilobytes in the mapping that starts at `address`, from /proc/self/smaps.
long ResidentKilobytesOf(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    const auto start = reinterpret_cast<std::uintptr_t>(address);
    while (std::getline(smaps, line)) {
        std::uintptr_t low = 0;
        std::uintptr_t high = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> low >> dash >> high && dash == '-') {
            inside = low <= start && start < high;
        } else if (inside && line.rfind("Rss:", 0) == 0) {
            return std::stol(line.substr(4));
        }
    }
    return -1;
}

TEST(MappedFileTest, HoldsTheFilesBytesPrivatelyAndKeepsThemAfterLettingThePagesGo) {
    const camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_os_mapped_");
    const std::string path = directory.Path() + "/map.bin";
    constexpr std::size_t kBytes = 8u << 20;
    const std::vector<std::uint8_t> content = Pattern(kBytes + 3);
    WriteFile(path, content);

    std::string problem;
    std::optional<vcu::os::MappedFile> mapped = vcu::os::MappedFile::map(path, kBytes, &problem);
    ASSERT_TRUE(mapped) << problem;
    ASSERT_EQ(mapped->size(), kBytes);
    const auto* bytes = static_cast<std::uint8_t*>(mapped->data());
    EXPECT_EQ(std::memcmp(bytes, content.data(), kBytes), 0);
    EXPECT_GE(ResidentKilobytesOf(bytes), static_cast<long>(kBytes / 1024)) << "all of it read";

    // Private: a write stays in the process, the file keeps its bytes.
    static_cast<std::uint8_t*>(mapped->data())[100] ^= 0xFF;
    EXPECT_EQ(ReadFile(path), content);

    mapped->dropResident();
    EXPECT_LT(ResidentKilobytesOf(bytes), 64) << "the pages no longer count as the process's";
    EXPECT_EQ(std::memcmp(bytes, content.data(), kBytes), 0) << "read back from the file, the write undone";

    // Moved: one owner, one unmapping.
    vcu::os::MappedFile moved = std::move(*mapped);
    EXPECT_EQ(moved.data(), bytes);
    EXPECT_EQ(mapped->data(), nullptr);
    EXPECT_EQ(moved.size(), kBytes);
}

TEST(MappedFileTest, RefusesWhatCannotBeMappedWithTheReason) {
    const camera_test::TemporaryDirectory directory = camera_test::NewTestDirectory("vcu_os_mapped_");
    const std::string shortFile = directory.Path() + "/short.bin";
    WriteFile(shortFile, Pattern(12));
    const std::string fifo = directory.Path() + "/fifo.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string empty = directory.Path() + "/empty.bin";
    WriteFile(empty, {});

    std::string problem;
    EXPECT_FALSE(vcu::os::MappedFile::map(shortFile, 16, &problem));
    EXPECT_EQ(problem, "holds 12 bytes, fewer than 16");
    EXPECT_FALSE(vcu::os::MappedFile::map(fifo, 16, &problem)) << "a FIFO is refused, not opened";
    EXPECT_EQ(problem, "is a FIFO, not a regular file");
    EXPECT_FALSE(vcu::os::MappedFile::map(directory.Path() + "/missing", 16, &problem));
    EXPECT_EQ(problem, "cannot open file: No such file or directory");
    EXPECT_FALSE(vcu::os::MappedFile::map(empty, 0, &problem));
    EXPECT_EQ(problem, "nothing to map");
}

}  // namespace
