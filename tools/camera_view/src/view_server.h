#pragma once

// camera_view's HTTP and WebSocket server on Boost.Beast: serves the page and its assets, at "/ws" a
// WebSocket per viewer over which every received frame and the figures go out, and at "/" the Foxglove
// WebSocket protocol (subprotocol foxglove.websocket.v1, see foxglove_protocol.h) for Foxglove and other
// tools, whose clients get the channels they subscribe to. One thread of its own runs
// every connection; Publish* may be called from any thread and never waits for a viewer: each viewer has a
// bounded ViewerQueue, and a viewer that cannot keep up skips ahead to key frames. It answers only requests
// that name it in their Host, viewers from its own page (see HostPolicy) and Foxglove clients that send no
// Origin or one it was told to allow, and caps its connections and viewers (Foxglove clients included)
// exactly; everything it refuses is counted.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ara/core/result.h"
#include "viewer_queue.h"

namespace camera_view {

enum class ViewErrc {
    kAddress,  // the address is no IP address
    kListen,   // the address and port cannot be listened on (taken, not ours)
};

// Why the server did not start, and a message that names the address.
struct ViewError {
    ViewErrc code;
    std::string message;
};

struct ServerOptions {
    std::string address{"127.0.0.1"};
    std::uint16_t port{8090};  // 0: any free port (see ViewServer::Port)
    // Names a request's Host (and a viewer page's Origin) may give besides the loopback names and `address`:
    // host names or IP addresses (see NormalizeHostName).
    std::vector<std::string> allowedHosts;
    // Origins (see NormalizeOrigin) whose pages may open the Foxglove WebSocket besides this server's own,
    // e.g. https://app.foxglove.dev; a client that sends no Origin is no browser page and is served anyway.
    std::vector<std::string> allowedOrigins;
    ViewerQueue::Limits queueLimits;
    std::size_t maxViewers{32};      // WebSocket viewers at once, those still in their handshake included
    std::size_t maxConnections{64};  // TCP connections at once, page requests and viewers together
    std::size_t headerLimit{8192};   // bytes of a request's start line and headers
    int idleTimeoutSeconds{10};      // a viewer that answers no ping for this long is dropped
    // After a failed accept (out of descriptors, mostly) the server stops accepting for this long.
    std::chrono::milliseconds acceptPause{250};
};

struct ServerCounters {
    std::size_t viewers{0};           // upgrades accepted, counted from the moment they are (the cap's count)
    std::size_t streamingViewers{0};  // viewers whose handshake is done: they get every frame published now
    std::size_t connections{0};       // open now, viewers included
    std::size_t queuedBytes{0};       // now, over every viewer
    std::size_t peakQueuedBytes{0};   // the most ever queued at once
    std::uint64_t skippedFrames{0};   // frames some viewer did not get (see ViewerQueue)
    // Refused since the start, by reason.
    std::uint64_t refusedViewers{0};      // upgrades beyond maxViewers: 503
    std::uint64_t refusedConnections{0};  // connections beyond maxConnections: 503, then closed
    std::uint64_t refusedHosts{0};        // requests whose Host names no name of this server: 403
    std::uint64_t refusedOrigins{0};      // upgrades from another origin's page: 403
    std::uint64_t failedAccepts{0};       // accepts that failed, each followed by a pause
    std::size_t foxgloveClients{0};       // Foxglove WebSocket clients now (counted among the viewers)
    std::uint64_t refusedRequests{0};  // Foxglove client requests refused: malformed, unsupported, wrong ids
};

class ViewServer {
  public:
    // Binds and listens, then serves on its own thread until destroyed. The error names the address.
    static ara::core::Result<std::unique_ptr<ViewServer>, ViewError> Start(const ServerOptions& options);
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    std::uint16_t Port() const;

    // A frame message (see frame_message.h) of camera `camera` (0..3) for every viewer.
    void PublishFrame(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera, bool key);
    // A text message (the figures) for every viewer, and for every Foxglove client on the figures channel.
    void PublishText(std::string text);
    // Whether a Foxglove client subscribes to camera `camera`'s channel: only then need its messages be made.
    bool FoxgloveSubscribed(int camera) const noexcept;
    // A video message (see MakeVideoMessage) of camera `camera` for every Foxglove client subscribed to it.
    void PublishFoxgloveVideo(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera, bool key);

    ServerCounters Counters() const noexcept;

    struct Impl;

  private:
    explicit ViewServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace camera_view
