#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "ara/core/result.h"

#include "source_config.h"

namespace vcu::camera::internal {

// Where a camera's pictures come from. A source is opened for one picture size at CameraInit and then used by
// that camera's capture thread only.
class FrameSource {
  public:
    virtual ~FrameSource() = default;

    // Writes one packed NV12 picture (luma, then interleaved chroma, stride = width) of the size the source
    // was opened for. False when no picture could be produced; the caller then drops the frame.
    virtual bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) = 0;

    // What the source's decoder concealed since it was opened: pictures with damage and the errors in them
    // (FFmpeg's DC, AC and MV counts added up). Zero for sources that do not decode. Any thread.
    virtual std::uint64_t concealedPictures() const { return 0; }
    virtual std::uint64_t concealedErrors() const { return 0; }

    // A short description for log lines.
    const std::string& describe() const { return description_; }

  protected:
    explicit FrameSource(std::string description) : description_(std::move(description)) {}
    FrameSource(const FrameSource&) = default;
    FrameSource& operator=(const FrameSource&) = default;

  private:
    std::string description_;
};

// Why a source cannot be opened, for the log line that names the camera.
struct SourceError {
    std::string message;
};

using SourceResult = ara::core::Result<std::unique_ptr<FrameSource>, SourceError>;

inline SourceResult SourceFailure(std::string message) {
    return SourceResult::FromError(SourceError{std::move(message)});
}

// Raw NV12 frames of the camera's size, back to back in one file, played in order and looped.
SourceResult OpenNv12File(const std::string& path, int width, int height);

// Any video file FFmpeg can read: its first video stream, decoded picture by picture, scaled to the camera's
// size as NV12 and started again at the end. One decoded picture per captured frame, so the video plays at
// the camera's rate. The file is opened and its first picture decoded here, so that a file that cannot be
// played fails at once.
SourceResult OpenVideoFile(const std::string& path, int width, int height);

// Opens the source the settings name for one camera of the given picture size.
SourceResult openFrameSource(const SourceSettings& settings, unsigned int cameraId, int width, int height);

}  // namespace vcu::camera::internal
