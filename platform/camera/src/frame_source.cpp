#include "frame_source.h"

#include "pattern_source.h"

namespace vcu::camera::internal {

SourceResult openFrameSource(const SourceSettings& settings, unsigned int cameraId, int width, int height) {
    switch (settings.kind) {
        case SourceKind::kPattern:
            return std::unique_ptr<FrameSource>(
                std::make_unique<PatternSource>(cameraId, width, height, settings.lens));
        case SourceKind::kNv12File:
            return OpenNv12File(settings.path, width, height);
        case SourceKind::kVideoFile:
            return OpenVideoFile(settings.path, width, height);
    }
    return SourceFailure("unknown source kind");
}

}  // namespace vcu::camera::internal
