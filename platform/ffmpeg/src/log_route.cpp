#include "ffmpeg/log_route.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ara/log/logging.h"
#include "repeat_limiter.h"

namespace ffmpeg {

namespace {

using ara::log::LogLevel;

constexpr std::size_t kLineCapacity = 1024;
constexpr std::string_view kConcealmentReport = "concealing ";

ara::log::Logger& RouteLogger() {
    static ara::log::Logger& logger =
        ara::log::CreateLogger(kLogContextId, "FFmpeg libraries", LogLevel::kWarn);
    return logger;
}

// The route's state lives until the process ends: FFmpeg's threads and the destructors of static owners of
// decoders may still log while other static objects are being destroyed.
internal::RepeatLimiter& Limiter() {
    static auto* limiter = new internal::RepeatLimiter(internal::RepeatLimiter::Settings{});
    return *limiter;
}

// The watches alive, so that a context's opaque is followed only when it is one of them.
struct WatchRegistry {
    std::mutex mutex;
    std::unordered_set<ConcealmentWatch*> watches;
};

WatchRegistry& Watches() {
    static auto* registry = new WatchRegistry;
    return *registry;
}

// The line a thread is assembling from libav's pieces.
struct PendingLine {
    char text[kLineCapacity];
    std::size_t size;
    bool continuing;  // the last piece did not end its line: the next one gets no prefix
    LogLevel level;   // the most severe of the line's pieces
};
thread_local PendingLine tPending;

LogLevel MapLevel(int level) {
    if (level <= AV_LOG_ERROR) {
        return LogLevel::kError;
    }
    if (level <= AV_LOG_WARNING) {
        return LogLevel::kWarn;
    }
    if (level <= AV_LOG_INFO) {
        return LogLevel::kInfo;
    }
    if (level <= AV_LOG_VERBOSE) {
        return LogLevel::kDebug;
    }
    return LogLevel::kVerbose;
}

bool IsConcealmentReport(void* context, const char* format) {
    return context != nullptr && *static_cast<const AVClass* const*>(context) == avcodec_get_class() &&
           std::strncmp(format, kConcealmentReport.data(), kConcealmentReport.size()) == 0;
}

// The format is libavcodec's own concealment report, recognized by IsConcealmentReport.
__attribute__((format(printf, 2, 0))) void CountConcealment(void* context, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof(text), format, args);
    int dc = 0;
    int ac = 0;
    int mv = 0;
    std::uint64_t errors = 1;  // a report that cannot be read still tells of some damage
    if (std::sscanf(text, "concealing %d DC, %d AC, %d MV errors", &dc, &ac, &mv) == 3 && dc >= 0 &&
        ac >= 0 && mv >= 0) {
        errors =
            static_cast<std::uint64_t>(dc) + static_cast<std::uint64_t>(ac) + static_cast<std::uint64_t>(mv);
    }
    auto* watch = static_cast<ConcealmentWatch*>(static_cast<AVCodecContext*>(context)->opaque);
    WatchRegistry& registry = Watches();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.watches.count(watch) != 0) {
        watch->Count(errors);
    }
}

void EmitSummaries(const ara::log::Logger& logger, const std::vector<internal::RepeatLimiter::Summary>& due) {
    for (const auto& summary : due) {
        logger.WithLevel(summary.level, ARA_LOG_HERE)
            << summary.text << " (repeated " << summary.count << " times)";
    }
}

void EmitLine(const ara::log::Logger& logger, LogLevel level, std::string_view text) {
    std::vector<internal::RepeatLimiter::Summary> due;
    const bool admitted = Limiter().Admit(internal::RepeatKey(level, text), level, text,
                                          internal::RepeatLimiter::Clock::now(), due);
    EmitSummaries(logger, due);
    if (admitted) {
        logger.WithLevel(level, ARA_LOG_HERE) << text;
    }
}

// One message per line of the text; control characters (a file's metadata may hold any) become '?'.
void EmitLines(const ara::log::Logger& logger, LogLevel level, char* text, std::size_t size) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i == size || text[i] == '\n') {
            std::size_t end = i;
            while (end > start && (text[end - 1] == '\r' || text[end - 1] == ' ')) {
                --end;
            }
            if (end > start) {
                EmitLine(logger, level, std::string_view(text + start, end - start));
            }
            start = i + 1;
        } else if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f) {
            text[i] = text[i] == '\t' || text[i] == '\r' ? text[i] : '?';
        }
    }
}

void EmitPending(const ara::log::Logger& logger, PendingLine& line) {
    const std::size_t size = line.size;
    line.size = 0;
    EmitLines(logger, line.level, line.text, size);
}

__attribute__((format(printf, 3, 0))) void LogCallback(void* context, int level, const char* format,
                                                       va_list args) {
    if (format == nullptr || level < 0) {
        return;
    }
    level &= 0xff;  // the bits above carry a colour
    if (IsConcealmentReport(context, format)) {
        va_list copy;
        va_copy(copy, args);
        CountConcealment(context, format, copy);
        va_end(copy);
    }

    const ara::log::Logger& logger = RouteLogger();
    const LogLevel mapped = MapLevel(level);
    PendingLine& line = tPending;
    if (!logger.IsEnabled(mapped)) {
        // Not formatted, as libav's own callback skips it: its text is taken to end where its format does.
        if (const std::size_t length = std::strlen(format); length > 0) {
            line.continuing = format[length - 1] != '\n';
        }
        if (!line.continuing && line.size > 0) {
            EmitPending(logger, line);  // what was shown of the line ends here
        }
        return;
    }

    char piece[kLineCapacity];
    int printPrefix = line.continuing ? 0 : 1;
    const int length = av_log_format_line2(context, level, format, args, piece, sizeof(piece), &printPrefix);
    line.continuing = printPrefix == 0;
    const std::size_t pieceSize =
        length > 0 ? std::min(static_cast<std::size_t>(length), sizeof(piece) - 1) : 0;
    line.level = line.size == 0 ? mapped : std::min(line.level, mapped);
    const std::size_t taken = std::min(pieceSize, sizeof(line.text) - line.size);
    std::memcpy(line.text + line.size, piece, taken);
    line.size += taken;
    if (!line.continuing || line.size == sizeof(line.text)) {
        EmitPending(logger, line);
    }
}

}  // namespace

void RouteLogToAra() {
    static const bool installed = [] {
        av_log_set_callback(&LogCallback);
        return true;
    }();
    (void)installed;
}

void FlushLogRepeats() {
    std::vector<internal::RepeatLimiter::Summary> due;
    Limiter().TakeSummaries(due);
    if (!due.empty()) {
        EmitSummaries(RouteLogger(), due);
    }
}

ConcealmentWatch::ConcealmentWatch() {
    WatchRegistry& registry = Watches();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.watches.insert(this);
}

ConcealmentWatch::~ConcealmentWatch() {
    WatchRegistry& registry = Watches();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.watches.erase(this);
}

void ConcealmentWatch::Attach(AVCodecContext* decoder) {
    decoder->opaque = this;
}

void ConcealmentWatch::Count(std::uint64_t errors) noexcept {
    pictures_.fetch_add(1, std::memory_order_relaxed);
    errors_.fetch_add(errors, std::memory_order_relaxed);
}

}  // namespace ffmpeg
