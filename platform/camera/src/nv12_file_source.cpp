#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "frame_source.h"
#include "vcu/os/unique_fd.h"

namespace vcu::camera::internal {
namespace {

// Plays the frames of an open file whose size is a whole number of frames.
class Nv12FileSource final : public FrameSource {
  public:
    Nv12FileSource(const std::string& path, vcu::os::UniqueFd file, int width, int height,
                   std::uint64_t frameCount);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;

  private:
    vcu::os::UniqueFd file_;
    int width_;
    int height_;
    std::uint64_t frameBytes_;
    std::uint64_t frameCount_;
    std::uint64_t nextFrame_{0};
};

}  // namespace

SourceResult OpenNv12File(const std::string& path, int width, int height) {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise block here; it is refused below.
    vcu::os::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!file.valid()) {
        return SourceFailure("nv12 file " + path + " cannot be opened: " + std::strerror(errno));
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return SourceFailure("nv12 file " + path + " is not a regular file");
    }
    const auto fileBytes = static_cast<std::uint64_t>(status.st_size);
    const auto frameBytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 3U / 2U;
    if (fileBytes == 0 || fileBytes % frameBytes != 0) {
        return SourceFailure("nv12 file " + path + " holds " + std::to_string(fileBytes) +
                             " bytes, which is not a whole number of " + std::to_string(width) + "x" +
                             std::to_string(height) + " NV12 frames of " + std::to_string(frameBytes) +
                             " bytes");
    }
    return std::unique_ptr<FrameSource>(
        new Nv12FileSource(path, std::move(file), width, height, fileBytes / frameBytes));
}

Nv12FileSource::Nv12FileSource(const std::string& path, vcu::os::UniqueFd file, int width, int height,
                               std::uint64_t frameCount)
    : FrameSource("nv12 file " + path + " (" + std::to_string(frameCount) + " frames)"),
      file_(std::move(file)),
      width_(width),
      height_(height),
      frameBytes_(static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * 3U / 2U),
      frameCount_(frameCount) {}

bool Nv12FileSource::fill(std::uint8_t* nv12, int width, int height, std::uint64_t /*frameNumber*/) {
    if (nv12 == nullptr || width != width_ || height != height_) {
        return false;
    }
    // The file plays at the camera's rate whatever the frame numbers are, like a scene in front of a camera.
    const auto offset = static_cast<off_t>(nextFrame_ * frameBytes_);
    nextFrame_ = (nextFrame_ + 1) % frameCount_;
    std::uint64_t done = 0;
    while (done < frameBytes_) {
        const ssize_t count =
            ::pread(file_.get(), nv12 + done, frameBytes_ - done, offset + static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::uint64_t>(count);
    }
    return true;
}

}  // namespace vcu::camera::internal
