#pragma once

#include <cstdint>
#include <string>

#include "frame_source.h"

namespace vcu::camera::internal {

// An open file descriptor; closes it on destruction. Move-only.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

  private:
    int fd_{-1};
};

// Raw NV12 frames of the camera's size, back to back in one file, played in order and looped.
class Nv12FileSource final : public FrameSource {
  public:
    static SourceOrError open(const std::string& path, int width, int height);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;
    std::string describe() const override;

  private:
    Nv12FileSource(std::string path, FileDescriptor file, int width, int height, std::uint64_t frameCount);

    std::string path_;
    FileDescriptor file_;
    int width_;
    int height_;
    std::uint64_t frameBytes_;
    std::uint64_t frameCount_;
    std::uint64_t nextFrame_{0};
};

}  // namespace vcu::camera::internal
