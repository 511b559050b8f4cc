#include "dlt_output.h"

#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "log_render.h"

namespace ara::log::internal {

namespace {

// DLT ids are at most four characters.
std::string DltId(const std::string& id) {
    return id.substr(0, 4);
}

// The DLT calls that write an integer of one width, signed, unsigned and in hexadecimal digits.
template <typename Signed, typename Unsigned>
struct IntegerWriters {
    DltReturnValue (*writeSigned)(DltContextData*, Signed);
    DltReturnValue (*writeUnsigned)(DltContextData*, Unsigned);
    DltReturnValue (*writeFormatted)(DltContextData*, Unsigned, DltFormatType);
    DltFormatType hexFormat;
};

template <typename Signed, typename Unsigned>
void WriteInteger(DltContextData& data, const LogArgument& argument,
                  const IntegerWriters<Signed, Unsigned>& writers) noexcept {
    if (argument.type == LogArgument::Type::kSigned) {
        writers.writeSigned(&data, static_cast<Signed>(argument.signedValue));
    } else if (argument.type == LogArgument::Type::kHex) {
        writers.writeFormatted(&data, static_cast<Unsigned>(argument.unsignedValue), writers.hexFormat);
    } else {
        writers.writeUnsigned(&data, static_cast<Unsigned>(argument.unsignedValue));
    }
}

// A signed, unsigned or hexadecimal argument, as the integer type of its width.
void WriteInteger(DltContextData& data, const LogArgument& argument) noexcept {
    switch (argument.width) {
        case 1:
            WriteInteger<std::int8_t, std::uint8_t>(data, argument,
                                                    {dlt_user_log_write_int8, dlt_user_log_write_uint8,
                                                     dlt_user_log_write_uint8_formatted, DLT_FORMAT_HEX8});
            break;
        case 2:
            WriteInteger<std::int16_t, std::uint16_t>(
                data, argument,
                {dlt_user_log_write_int16, dlt_user_log_write_uint16, dlt_user_log_write_uint16_formatted,
                 DLT_FORMAT_HEX16});
            break;
        case 4:
            WriteInteger<std::int32_t, std::uint32_t>(
                data, argument,
                {dlt_user_log_write_int32, dlt_user_log_write_uint32, dlt_user_log_write_uint32_formatted,
                 DLT_FORMAT_HEX32});
            break;
        default:
            WriteInteger<std::int64_t, std::uint64_t>(
                data, argument,
                {dlt_user_log_write_int64, dlt_user_log_write_uint64, dlt_user_log_write_uint64_formatted,
                 DLT_FORMAT_HEX64});
            break;
    }
}

}  // namespace

bool RegisterRemoteApplication(const std::string& applicationId, const std::string& description) {
    // The library's own notices go to standard error, which is ours; standard output is reserved.
    dlt_log_init(DLT_LOG_TO_STDERR);
    dlt_log_set_level(LOG_WARNING);
    if (dlt_register_app(DltId(applicationId).c_str(), description.c_str()) < DLT_RETURN_OK) {
        std::fprintf(stderr, "ara::log: DLT registration of application \"%s\" failed\n",
                     applicationId.c_str());
        return false;
    }
    // Without a daemon the library would retry buffered messages at exit for ten seconds.
    dlt_set_resend_timeout_atexit(0);
    // The console output is ours; DLT's own local print would go to standard output.
    dlt_disable_local_print();
    return true;
}

std::unique_ptr<RemoteContext> RegisterRemoteContext(const std::string& contextId,
                                                     const std::string& description, LogLevel level) {
    auto remote = std::make_unique<RemoteContext>();
    if (dlt_register_context_ll_ts(&remote->context, DltId(contextId).c_str(), description.c_str(),
                                   static_cast<int>(level), DLT_TRACE_STATUS_OFF) < DLT_RETURN_OK) {
        std::fprintf(stderr, "ara::log: DLT registration of context \"%s\" failed\n", contextId.c_str());
        return nullptr;
    }
    return remote;
}

void EmitRemote(RemoteContext& remote, LogLevel level, const SourceLocation& location,
                const LogArgument* arguments, std::size_t count) noexcept {
    DltContextData data{};
    if (dlt_user_log_write_start(&remote.context, &data, static_cast<DltLogLevelType>(level)) <=
        DLT_RETURN_OK) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const LogArgument& argument = arguments[i];
        switch (argument.type) {
            case LogArgument::Type::kText:
                dlt_user_log_write_sized_utf8_string(&data, argument.text.data(),
                                                     static_cast<std::uint16_t>(argument.text.size()));
                break;
            case LogArgument::Type::kBool:
                dlt_user_log_write_bool(&data, static_cast<std::uint8_t>(argument.unsignedValue));
                break;
            case LogArgument::Type::kSigned:
            case LogArgument::Type::kUnsigned:
            case LogArgument::Type::kHex:
                WriteInteger(data, argument);
                break;
            case LogArgument::Type::kFloat:
                if (argument.width == sizeof(float)) {
                    dlt_user_log_write_float32(&data, static_cast<float>(argument.floatValue));
                } else {
                    dlt_user_log_write_float64(&data, argument.floatValue);
                }
                break;
        }
    }
    char where[256];
    const std::string_view file = BaseName(location.file);
    const int n =
        std::snprintf(where, sizeof(where), "(%.*s:%d %s)", static_cast<int>(file.size()), file.data(),
                      location.line, location.function == nullptr ? "?" : location.function);
    if (n > 0) {
        dlt_user_log_write_sized_utf8_string(&data, where,
                                             static_cast<std::uint16_t>(std::min<int>(n, sizeof(where) - 1)));
    }
    dlt_user_log_write_finish(&data);
}

}  // namespace ara::log::internal
