#include "foxglove_protocol.h"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

namespace camera_view {

namespace {

using Json = nlohmann::json;

// Entries of one subscribe or unsubscribe beyond which it is refused: there are five channels.
constexpr std::size_t kMaxEntries = 64;
// What of a client's text goes back in a status message.
constexpr std::size_t kQuotedLimit = 40;

constexpr std::string_view kFiguresSchema =
    R"({"type":"object","description":"camera_view's figures of the last second: per camera frames per )"
    R"(second, latency, bit rate, key-frame interval, frames lost; the transport and the server"})";

void PutLittleEndian(std::uint8_t* out, std::uint64_t value, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8U * i));
    }
}

std::shared_ptr<std::vector<std::uint8_t>> WithLogTime(std::int64_t ns, std::size_t payloadSize) {
    auto message = std::make_shared<std::vector<std::uint8_t>>(8 + payloadSize);
    PutLittleEndian(message->data(), static_cast<std::uint64_t>(ns), 8);
    return message;
}

std::optional<std::uint32_t> Uint32(const Json& value) {
    if (!value.is_number_unsigned() ||
        value.get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value.get<std::uint64_t>());
}

ClientRequest Malformed(std::string problem) {
    ClientRequest request;
    request.kind = ClientRequest::Kind::kMalformed;
    request.problem = std::move(problem);
    return request;
}

}  // namespace

std::string ChannelTopic(std::uint32_t channel) {
    const int camera = ChannelCamera(channel);
    return camera >= 0 ? "/cam_" + std::to_string(8 + camera) + "/video" : "/camera_view/figures";
}

std::string ServerInfoJson(const std::string& sessionId) {
    return Json{{"op", "serverInfo"},
                {"name", "camera_view"},
                {"capabilities", Json::array()},
                {"metadata", Json::object()},
                {"sessionId", sessionId}}
        .dump();
}

std::string AdvertiseJson() {
    Json channels = Json::array();
    for (int camera = 0; camera < kCameras; ++camera) {
        channels.push_back({{"id", CameraChannel(camera)},
                            {"topic", ChannelTopic(CameraChannel(camera))},
                            {"encoding", camera_tools::kCompressedVideoMessageEncoding},
                            {"schemaName", camera_tools::kCompressedVideoSchemaName},
                            {"schema", camera_tools::CompressedVideoSchema()},
                            {"schemaEncoding", camera_tools::kCompressedVideoSchemaEncoding}});
    }
    channels.push_back({{"id", kFiguresChannel},
                        {"topic", ChannelTopic(kFiguresChannel)},
                        {"encoding", "json"},
                        {"schemaName", "camera_view.Figures"},
                        {"schema", kFiguresSchema},
                        {"schemaEncoding", "jsonschema"}});
    return Json{{"op", "advertise"}, {"channels", channels}}.dump();
}

std::string StatusJson(int level, const std::string& message) {
    // Replacement instead of an exception for bytes of a client's text that are no UTF-8.
    return Json{{"op", "status"}, {"level", level}, {"message", message}}.dump(
        -1, ' ', false, Json::error_handler_t::replace);
}

std::shared_ptr<const std::vector<std::uint8_t>> MakeVideoMessage(
    std::int64_t receiveNs, const camera_tools::CompressedVideo& video) {
    auto message = WithLogTime(receiveNs, camera_tools::CompressedVideoCdrSize(video));
    camera_tools::EncodeCompressedVideo(video, message->data() + 8);
    return message;
}

std::shared_ptr<const std::vector<std::uint8_t>> MakeFiguresMessage(std::int64_t nowNs,
                                                                    std::string_view json) {
    auto message = WithLogTime(nowNs, json.size());
    std::copy(json.begin(), json.end(), message->begin() + 8);
    return message;
}

std::array<std::uint8_t, 5> MessageDataHeader(std::uint32_t subscriptionId) noexcept {
    std::array<std::uint8_t, 5> header{};
    header[0] = 0x01;
    PutLittleEndian(header.data() + 1, subscriptionId, 4);
    return header;
}

ClientRequest ParseClientRequest(std::string_view text) {
    const Json message = Json::parse(text.begin(), text.end(), nullptr, false);
    if (message.is_discarded() || !message.is_object()) {
        return Malformed("a request is a JSON object");
    }
    const auto op = message.find("op");
    if (op == message.end() || !op->is_string()) {
        return Malformed("a request names its operation in \"op\"");
    }
    const std::string name = op->get<std::string>();
    ClientRequest request;
    if (name == "subscribe") {
        const auto entries = message.find("subscriptions");
        if (entries == message.end() || !entries->is_array() || entries->size() > kMaxEntries) {
            return Malformed("subscribe takes \"subscriptions\": an array of at most 64 {id, channelId}");
        }
        for (const Json& entry : *entries) {
            const auto id = entry.is_object() && entry.contains("id") ? Uint32(entry["id"]) : std::nullopt;
            const auto channel =
                entry.is_object() && entry.contains("channelId") ? Uint32(entry["channelId"]) : std::nullopt;
            if (!id || !channel) {
                return Malformed("a subscription is {\"id\": uint32, \"channelId\": uint32}");
            }
            request.subscribe.push_back({*id, *channel});
        }
        request.kind = ClientRequest::Kind::kSubscribe;
        return request;
    }
    if (name == "unsubscribe") {
        const auto ids = message.find("subscriptionIds");
        if (ids == message.end() || !ids->is_array() || ids->size() > kMaxEntries) {
            return Malformed("unsubscribe takes \"subscriptionIds\": an array of at most 64 uint32");
        }
        for (const Json& entry : *ids) {
            const auto id = Uint32(entry);
            if (!id) {
                return Malformed("a subscription id is a uint32");
            }
            request.unsubscribe.push_back(*id);
        }
        request.kind = ClientRequest::Kind::kUnsubscribe;
        return request;
    }
    request.kind = ClientRequest::Kind::kUnsupported;
    request.problem = "operation '" + name.substr(0, kQuotedLimit) +
                      "' is not offered here: only subscribe and unsubscribe (no capabilities)";
    return request;
}

std::string FoxgloveSubscriptions::Subscribe(std::uint32_t id, std::uint32_t channel) {
    if (channel < 1 || channel > static_cast<std::uint32_t>(kFoxgloveChannels)) {
        return "subscription " + std::to_string(id) + ": no channel " + std::to_string(channel);
    }
    if (On(channel)) {
        return "subscription " + std::to_string(id) + ": channel " + std::to_string(channel) +
               " is subscribed already";
    }
    if (std::any_of(byChannel_.begin(), byChannel_.end(), [id](const auto& held) { return held == id; })) {
        return "subscription " + std::to_string(id) + ": the id is in use";
    }
    byChannel_[channel - 1U] = id;
    return "";
}

std::optional<std::uint32_t> FoxgloveSubscriptions::Unsubscribe(std::uint32_t id) {
    for (std::size_t i = 0; i < byChannel_.size(); ++i) {
        if (byChannel_[i] == id) {
            byChannel_[i].reset();
            return static_cast<std::uint32_t>(i + 1);
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> FoxgloveSubscriptions::On(std::uint32_t channel) const {
    if (channel < 1 || channel > static_cast<std::uint32_t>(kFoxgloveChannels)) {
        return std::nullopt;
    }
    return byChannel_[channel - 1U];
}

std::vector<std::uint32_t> FoxgloveSubscriptions::Channels() const {
    std::vector<std::uint32_t> channels;
    for (std::size_t i = 0; i < byChannel_.size(); ++i) {
        if (byChannel_[i]) {
            channels.push_back(static_cast<std::uint32_t>(i + 1));
        }
    }
    return channels;
}

}  // namespace camera_view
