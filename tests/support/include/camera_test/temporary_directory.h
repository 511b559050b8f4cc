#pragma once

#include <sys/types.h>

#include <string>

#include "camera_test/support_error.h"

namespace camera_test {

// A new directory "<TMPDIR or /tmp>/<prefix>XXXXXX" (mkdtemp), removed with everything in it when the owner
// is destroyed in the process that made it (a forked child leaves it alone). Move-only; a default-constructed
// or moved-from owner holds no directory. ctest runs test processes in parallel: nothing uses a fixed path.
class TemporaryDirectory {
  public:
    static SupportResult<TemporaryDirectory> Make(const std::string& prefix);

    TemporaryDirectory() = default;
    ~TemporaryDirectory();
    TemporaryDirectory(TemporaryDirectory&& other) noexcept;
    TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    bool Valid() const noexcept { return !path_.empty(); }
    const std::string& Path() const noexcept { return path_; }
    // "<path>/<name>"; nothing is created.
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    // "<path>/<name>", created.
    SupportResult<std::string> Subdirectory(const std::string& name) const;
    // "<path>/<name>" holding `content`.
    SupportResult<std::string> Write(const std::string& name, const std::string& content) const;

  private:
    void Remove() noexcept;

    std::string path_;
    pid_t owner_{0};
};

}  // namespace camera_test
