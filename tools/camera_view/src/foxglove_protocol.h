#pragma once

// camera_view's side of the Foxglove WebSocket protocol (subprotocol foxglove.websocket.v1), apart from the
// sockets: what the server says (serverInfo, advertise, status), the message-data frames it sends, what a
// client may ask (subscribe, unsubscribe) and each client's subscriptions. Five channels: the four cameras as
// foxglove_msgs/msg/CompressedVideo in CDR (schema ros2msg), ids 1 to 4 for cameras 8 to 11, and the
// figures as JSON, id 5. Everything a client sends is untrusted: requests are parsed without exceptions and
// checked field by field.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "compressed_video.h"
#include "viewer_queue.h"

namespace camera_view {

inline constexpr std::string_view kFoxgloveSubprotocol = "foxglove.websocket.v1";
inline constexpr std::uint32_t kFiguresChannel = kCameras + 1;  // after the cameras' 1..4
inline constexpr int kFoxgloveChannels = kCameras + 1;
// The bytes of a client's message beyond which it is refused (a subscribe of every channel takes 200).
inline constexpr std::size_t kFoxgloveClientMessageLimit = 16384;

// The channel of camera index 0..3, and back (-1 for the figures and unknown ids).
constexpr std::uint32_t CameraChannel(int camera) noexcept {
    return static_cast<std::uint32_t>(camera) + 1U;
}
constexpr int ChannelCamera(std::uint32_t channel) noexcept {
    return channel >= 1 && channel <= static_cast<std::uint32_t>(kCameras) ? static_cast<int>(channel) - 1
                                                                           : -1;
}
// The topic of a channel: /cam_<id>/video, /camera_view/figures.
std::string ChannelTopic(std::uint32_t channel);

// The server's first two messages to every client.
std::string ServerInfoJson(const std::string& sessionId);
std::string AdvertiseJson();
// A status message: level 0 info, 1 warning, 2 error.
std::string StatusJson(int level, const std::string& message);

// The part of a message-data frame that every client shares: the log time (here the receive time, ns since
// the epoch, little endian) and the payload. Each client puts its own opcode and subscription id in front
// (MessageDataHeader).
std::shared_ptr<const std::vector<std::uint8_t>> MakeVideoMessage(std::int64_t receiveNs,
                                                                  const camera_tools::CompressedVideo& video);
std::shared_ptr<const std::vector<std::uint8_t>> MakeFiguresMessage(std::int64_t nowNs,
                                                                    std::string_view json);
// Opcode 0x01 and the subscription id, little endian.
std::array<std::uint8_t, 5> MessageDataHeader(std::uint32_t subscriptionId) noexcept;

// What a client asked, read from one of its text messages.
struct ClientRequest {
    enum class Kind {
        kSubscribe,
        kUnsubscribe,
        kUnsupported,  // a well-formed request of an operation this server does not offer
        kMalformed,
    };
    struct Subscription {
        std::uint32_t id;
        std::uint32_t channel;
    };
    Kind kind{Kind::kMalformed};
    std::vector<Subscription> subscribe;
    std::vector<std::uint32_t> unsubscribe;
    std::string problem;  // why it is malformed or unsupported, for the status message
};

ClientRequest ParseClientRequest(std::string_view text);

// One client's subscriptions: at most one per channel, ids unique among them. Not thread-safe.
class FoxgloveSubscriptions {
  public:
    // Empty when done, else why not (the id is in use, the channel unknown or taken).
    std::string Subscribe(std::uint32_t id, std::uint32_t channel);
    // The channel it was on; nullopt when no subscription has that id.
    std::optional<std::uint32_t> Unsubscribe(std::uint32_t id);
    // The subscription on a channel.
    std::optional<std::uint32_t> On(std::uint32_t channel) const;
    // Every channel with a subscription.
    std::vector<std::uint32_t> Channels() const;

  private:
    std::array<std::optional<std::uint32_t>, kFoxgloveChannels> byChannel_{};  // index: channel - 1
};

}  // namespace camera_view
