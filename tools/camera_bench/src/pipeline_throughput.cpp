#include "pipeline_throughput.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cam_preprocess.h"
#include "process_usage.h"

namespace camera_bench {

using camera_tools::monotonicSeconds;
using camera_tools::processCpuSeconds;

namespace {

constexpr unsigned char kSectionOffset = 8;  // camera index 0 reads section cam_8
constexpr int kGop = 30;                     // a key frame every 30 frames, the first one included

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t, FreeDeleter>;

AlignedBuffer allocateFrame(std::size_t bytes) {
    void* memory = nullptr;
    if (posix_memalign(&memory, 64, bytes) != 0) {
        return nullptr;
    }
    return AlignedBuffer(static_cast<std::uint8_t*>(memory));
}

// The frames of the file, either in place (the file mapped read-only, its pages mapped before any timing)
// or copied one at a time into a buffer.
class FrameSource {
  public:
    FrameSource(const FrameFile& file, FrameInput input)
        : file_(file), input_(input), fd_(open(file.path.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) {
            return;
        }
        mappedBytes_ = file.frameBytes() * static_cast<std::size_t>(file.frames);
        if (input == FrameInput::kInPlace) {
            void* mapped = mmap(nullptr, mappedBytes_, PROT_READ, MAP_SHARED | MAP_POPULATE, fd_, 0);
            mapping_ = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
        } else {
            buffer_ = allocateFrame(file.frameBytes());
        }
    }
    ~FrameSource() {
        if (mapping_ != nullptr) {
            munmap(mapping_, mappedBytes_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    bool valid() const { return mapping_ != nullptr || buffer_ != nullptr; }

    // The picture of frame `index`; null when it cannot be read.
    void* frame(int index) {
        const std::size_t bytes = file_.frameBytes();
        const std::size_t offset = static_cast<std::size_t>(index) * bytes;
        if (input_ == FrameInput::kInPlace) {
            return mapping_ + offset;
        }
        std::size_t done = 0;
        while (done < bytes) {
            const ssize_t count =
                pread(fd_, buffer_.get() + done, bytes - done, static_cast<off_t>(offset + done));
            if (count <= 0) {
                return nullptr;
            }
            done += static_cast<std::size_t>(count);
        }
        return buffer_.get();
    }

  private:
    const FrameFile& file_;
    FrameInput input_;
    int fd_;
    std::size_t mappedBytes_{0};
    std::uint8_t* mapping_{nullptr};
    AlignedBuffer buffer_;
};

// Without undistortion: no map keys.
boost::property_tree::ptree preprocessorConfig(int section, const FrameFile& file, int cropTop,
                                               int cropLeft) {
    const std::string name = "cam_" + std::to_string(section) + ".";
    boost::property_tree::ptree config;
    config.put(name + "inputImageWidth", file.width);
    config.put(name + "inputImageHeight", file.height);
    config.put(name + "outputImageWidth", kOutputWidth);
    config.put(name + "outputImageHeight", kOutputHeight);
    config.put(name + "cropTopOffset", cropTop);
    config.put(name + "cropLeftOffset", cropLeft);
    config.put(name + "encoderGopNumber", kGop);
    return config;
}

using Measured = BenchResult<ThroughputRun>;
using Started = BenchResult<std::unique_ptr<CamPreprocess>>;

// Creates and starts a preprocessor for camera `index`; the error says why it did not come up.
Started startPreprocessor(unsigned char index, boost::property_tree::ptree& config) {
    auto preprocess = std::make_unique<CamPreprocess>(index);
    try {
        if (preprocess->init(config, kSectionOffset) != 0 || preprocess->allocateMemory() != 0) {
            return Started::FromError(
                {BenchErrc::kPlatform, "the preprocessor did not start (see the log above)"});
        }
    } catch (const std::exception& failure) {
        return Started::FromError(
            {BenchErrc::kPlatform,
             std::string("the preprocessor refused its configuration: ") + failure.what()});
    }
    return Started::FromValue(std::move(preprocess));
}

}  // namespace

BenchResult<ThroughputRun> runPipeline(const FrameFile& file, FrameInput input) {
    FrameSource frames(file, input);
    if (!frames.valid()) {
        return Measured::FromError({BenchErrc::kIo, "cannot read " + file.path});
    }
    const double setupStart = processCpuSeconds();
    boost::property_tree::ptree config = preprocessorConfig(kSectionOffset, file, kCropTop, kCropLeft);
    auto started = startPreprocessor(0, config);
    if (!started) {
        return Measured::FromError(started.Error());
    }
    std::unique_ptr<CamPreprocess> preprocess = std::move(started).Value();
    double setupCpu = processCpuSeconds() - setupStart;

    const double wallStart = monotonicSeconds();
    const double cpuStart = processCpuSeconds();
    for (int i = 0; i < file.frames; ++i) {
        void* frame = frames.frame(i);
        if (frame == nullptr) {
            return Measured::FromError(
                {BenchErrc::kIo, "cannot read frame " + std::to_string(i) + " of " + file.path});
        }
        *preprocess->getInputAddress() = frame;
        preprocess->changeResizeSize(kOutputWidth, kOutputHeight);
        if (preprocess->runPreprocessPipeline(false) != 0) {
            return Measured::FromError(
                {BenchErrc::kPlatform,
                 "the preprocessing of frame " + std::to_string(i) + " failed (see the log above)"});
        }
        std::shared_ptr<mpu_venc_stream> stream;
        if (preprocess->runEncoderPipeline(&stream) != 0) {
            return Measured::FromError({BenchErrc::kPlatform, "the encoding of frame " + std::to_string(i) +
                                                                  " failed (see the log above)"});
        }
    }
    ThroughputRun run;
    run.cpuSeconds = processCpuSeconds() - cpuStart;
    run.wallSeconds = monotonicSeconds() - wallStart;
    run.frames = file.frames;

    const double teardownStart = processCpuSeconds();
    preprocess.reset();
    setupCpu += processCpuSeconds() - teardownStart;
    run.setupCpuSeconds = setupCpu;
    return Measured::FromValue(run);
}

}  // namespace camera_bench
