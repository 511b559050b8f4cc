#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vcu::os {

// The first bytes of a regular file as memory of the process, mapped privately (copy-on-write): the pages
// it reads are the file's own in the page cache, so that once `dropResident` lets them go they no longer
// count as the process's memory and can be reclaimed like any clean file page. Touched again, they are read
// back from the file. Meant for data read once at start-up and kept for the process's life (a lens's
// undistortion maps): nothing of it is pinned in memory that no one reads.
//
// What is read after `dropResident` is the file as it is then. Files such data comes from are replaced by
// renaming a new file over them, which leaves the mapped one untouched; a file changed in place changes what
// is read again, and reading past the end of one cut short faults (SIGBUS). Move-only; unmaps on
// destruction.
class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(MappedFile&& other) noexcept;
    MappedFile& operator=(MappedFile&& other) noexcept;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps the first `bytes` bytes of the regular file at `path`. Empty on failure, with
    // the reason in `problem` ("holds 12 bytes, fewer than 16", "is a FIFO, not a regular file",
    // "cannot open file: ...").
    static std::optional<MappedFile> map(const std::string& path, std::size_t bytes, std::string* problem);

    void* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Gives the pages back to the page cache; the contents stay readable (see above).
    void dropResident() const noexcept;

  private:
    MappedFile(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    void reset() noexcept;

    void* data_{nullptr};
    std::size_t size_{0};
};

}  // namespace vcu::os
