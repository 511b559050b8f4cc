#include "output_directory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "mcap_recording.h"
#include "recorder.h"

namespace camera_record {
namespace {

namespace fs = std::filesystem;

}  // namespace

bool IsRecordingFile(const std::string& name) {
    if (name == Recorder::kSummaryFile || name == Recorder::kContactSheetFile ||
        name == McapRecording::kFile) {
        return true;
    }
    for (int id = kFirstPlatformId; id < kFirstPlatformId + kCameraCount; ++id) {
        const std::string camera = "cam_" + std::to_string(id);
        for (const char* suffix : {".h264", ".h265", ".mp4", "_index.csv"}) {
            if (name == camera + suffix) {
                return true;
            }
        }
    }
    return false;
}

RecordResult<std::vector<std::string>> PrepareOutputDirectory(const std::string& path, bool overwrite) {
    using R = RecordResult<std::vector<std::string>>;
    std::error_code error;
    fs::create_directories(path, error);
    if (error || !fs::is_directory(path)) {
        return R::FromError({RecordErrc::kOpen, "output directory " + path + " cannot be created" +
                                                    (error ? ": " + error.message() : std::string())});
    }
    std::vector<std::string> entries;
    for (fs::directory_iterator entry(path, error), end; !error && entry != end; entry.increment(error)) {
        entries.push_back(entry->path().filename().string());
    }
    if (error) {
        return R::FromError(
            {RecordErrc::kOpen, "output directory " + path + " cannot be read: " + error.message()});
    }
    std::sort(entries.begin(), entries.end());
    if (!overwrite) {
        if (!entries.empty()) {
            return R::FromError(
                {RecordErrc::kOpen, "output directory " + path + " is not empty (" +
                                        std::to_string(entries.size()) + " entries, e.g. " + entries.front() +
                                        "): a recording there would overwrite what it holds; choose another "
                                        "--output or pass --overwrite"});
        }
        return R::FromValue({});
    }
    std::vector<std::string> removed;
    for (const std::string& name : entries) {
        if (!IsRecordingFile(name)) {
            continue;
        }
        const fs::path file = fs::path(path) / name;
        if (!fs::remove(file, error) || error) {
            return R::FromError({RecordErrc::kOpen, file.string() +
                                                        " of the previous recording cannot be removed" +
                                                        (error ? ": " + error.message() : std::string())});
        }
        removed.push_back(name);
    }
    return R::FromValue(std::move(removed));
}

}  // namespace camera_record
