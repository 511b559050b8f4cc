#include "view_server.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>
#include <unordered_set>
#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "ara/log/logging.h"
#include "foxglove_protocol.h"
#include "host_policy.h"
#include "web_assets.h"

namespace camera_view {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr std::size_t kViewerMessageLimit = 4096;  // viewers send nothing but control frames
constexpr const char kViewerPath[] = "/ws";
constexpr const char kFoxglovePath[] = "/";
// Messages a Foxglove client's control queue holds (status, figures) beyond which figures are dropped.
constexpr std::size_t kFoxgloveControlLimit = 32;
constexpr const char kFaviconPath[] = "/favicon.ico";
constexpr const char kServerName[] = "camera_view";
// Failed accepts are logged once, then at most once per this interval with their count.
constexpr auto kAcceptLogInterval = std::chrono::seconds(10);
// What a connection beyond the cap gets before it is closed: written at once, no request read.
constexpr std::string_view kTooManyConnections =
    "HTTP/1.1 503 Service Unavailable\r\nServer: camera_view\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 21\r\nConnection: close\r\n\r\ntoo many connections\n";

class ViewerSession;
class FoxgloveSession;

std::int64_t RealtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Whether the upgrade offers `protocol` among its Sec-WebSocket-Protocol values (comma-separated).
bool OffersSubprotocol(const http::request<http::empty_body>& request, std::string_view protocol) {
    const auto fields = request.equal_range(http::field::sec_websocket_protocol);
    for (auto field = fields.first; field != fields.second; ++field) {
        std::string_view values(field->value().data(), field->value().size());
        while (!values.empty()) {
            const std::size_t comma = values.find(',');
            std::string_view value = values.substr(0, comma);
            values = comma == std::string_view::npos ? std::string_view() : values.substr(comma + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            if (value == protocol) {
                return true;
            }
        }
    }
    return false;
}

// Holds one unit of a server-wide count (a connection, a viewer) and gives it back when destroyed, however
// the session that holds it ends. Used on the server's thread only; the count is atomic for Counters().
class CountedSlot {
  public:
    CountedSlot() = default;
    explicit CountedSlot(std::atomic<std::size_t>& count) : count_(&count) { count_->fetch_add(1); }
    CountedSlot(CountedSlot&& other) noexcept : count_(std::exchange(other.count_, nullptr)) {}
    CountedSlot& operator=(CountedSlot&& other) noexcept {
        if (this != &other) {
            Release();
            count_ = std::exchange(other.count_, nullptr);
        }
        return *this;
    }
    CountedSlot(const CountedSlot&) = delete;
    CountedSlot& operator=(const CountedSlot&) = delete;
    ~CountedSlot() { Release(); }

  private:
    void Release() noexcept {
        if (count_ != nullptr) {
            count_->fetch_sub(1);
            count_ = nullptr;
        }
    }
    std::atomic<std::size_t>* count_{nullptr};
};

}  // namespace

// Everything below runs on the server's thread, except the atomics read by Counters().
struct ViewServer::Impl {
    Impl(const ServerOptions& o, ara::log::Logger& l) : options(o), logger(l) {}

    ServerOptions options;
    ara::log::Logger& logger;
    std::optional<HostPolicy> hosts;  // set once the port is known
    std::string where;                // address:port, for the log
    std::unordered_set<ViewerSession*> viewers;
    std::atomic<std::size_t> streamingViewers{0};  // viewers.size(), for other threads
    std::unordered_set<FoxgloveSession*> foxgloveClients;
    std::string sessionId;  // the serverInfo's: when this server started, ns
    // Foxglove subscriptions per channel (index: channel - 1), read by the publishing thread.
    std::array<std::atomic<int>, kFoxgloveChannels> foxgloveSubscribers{};
    std::atomic<std::size_t> foxgloveClientCount{0};
    std::atomic<std::uint64_t> refusedRequests{0};
    std::atomic<std::size_t> viewerCount{0};
    std::atomic<std::size_t> connectionCount{0};
    std::atomic<std::size_t> queuedBytes{0};
    std::atomic<std::size_t> peakQueuedBytes{0};
    std::atomic<std::uint64_t> skippedFrames{0};
    std::atomic<std::uint64_t> refusedViewers{0};
    std::atomic<std::uint64_t> refusedConnections{0};
    std::atomic<std::uint64_t> refusedHosts{0};
    std::atomic<std::uint64_t> refusedOrigins{0};
    std::atomic<std::uint64_t> failedAccepts{0};
    std::uint64_t failedAcceptsUnlogged{0};
    std::chrono::steady_clock::time_point acceptLoggedAt{};
    // Declared after everything a session uses: destroying the io_context destroys the pending handlers and
    // the sessions they hold, which give their counts back to the members above.
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer acceptPause{io};
    std::thread thread;

    void Accept();
    void PauseAccepting(const beast::error_code& error);
    void RefuseConnection(tcp::socket& socket);
    void AddQueued(std::size_t bytes) {
        const std::size_t now = queuedBytes.fetch_add(bytes) + bytes;
        std::size_t peak = peakQueuedBytes.load();
        while (now > peak && !peakQueuedBytes.compare_exchange_weak(peak, now)) {
        }
    }
    // Keeps the server's totals in step with a session's queue, which held `bytesBefore` and had skipped
    // `skippedBefore` frames before its last change.
    void Account(const ViewerQueue& queue, std::size_t bytesBefore, std::uint64_t skippedBefore) {
        const std::size_t after = queue.QueuedBytes();
        if (after > bytesBefore) {
            AddQueued(after - bytesBefore);
        } else {
            queuedBytes.fetch_sub(bytesBefore - after);
        }
        skippedFrames.fetch_add(queue.SkippedFrames() - skippedBefore);
    }
};

namespace {

// One viewer's WebSocket: a read that only notices the close, and one write at a time from its queue.
class ViewerSession : public std::enable_shared_from_this<ViewerSession> {
  public:
    // `connection` and `viewer` are the slots this viewer takes until it ends.
    ViewerSession(tcp::socket&& socket, ViewServer::Impl& server, CountedSlot connection, CountedSlot viewer)
        : ws_(std::move(socket)),
          server_(server),
          connection_(std::move(connection)),
          viewer_(std::move(viewer)),
          queue_(server.options.queueLimits) {}

    ~ViewerSession() {
        Detach();
        server_.queuedBytes.fetch_sub(queue_.QueuedBytes() + inFlight_.Size());
    }

    void Accept(const http::request<http::empty_body>& request) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = std::chrono::seconds(10);
        timeout.idle_timeout = std::chrono::seconds(server_.options.idleTimeoutSeconds);
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, kServerName); }));
        ws_.read_message_max(kViewerMessageLimit);
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
            if (!error) {
                self->Open();
            }
        });
    }

    void Deliver(const std::shared_ptr<const std::vector<std::uint8_t>>& frame, int camera, bool key) {
        const std::size_t before = queue_.QueuedBytes();
        const std::uint64_t skipped = queue_.SkippedFrames();
        queue_.OfferFrame(frame, camera, key);
        Account(before, skipped);
        Pump();
    }

    void Deliver(const std::shared_ptr<const std::string>& text) {
        const std::size_t before = queue_.QueuedBytes();
        queue_.OfferText(text);
        Account(before, queue_.SkippedFrames());
        Pump();
    }

  private:
    void Open() {
        if (server_.viewers.insert(this).second) {
            server_.streamingViewers.fetch_add(1);
        }
        Read();
    }

    void Detach() {
        if (server_.viewers.erase(this) != 0) {
            server_.streamingViewers.fetch_sub(1);
        }
    }

    void Read() {
        ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->Close();
                return;
            }
            self->readBuffer_.consume(self->readBuffer_.size());
            self->Read();
        });
    }

    void Pump() {
        if (writing_ || queue_.Empty() || closed_) {
            return;
        }
        inFlight_ = queue_.Take();
        writing_ = true;
        ws_.binary(inFlight_.frame != nullptr);
        const net::const_buffer bytes =
            inFlight_.frame ? net::buffer(*inFlight_.frame) : net::buffer(*inFlight_.text);
        ws_.async_write(bytes, [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->writing_ = false;
            self->server_.queuedBytes.fetch_sub(self->inFlight_.Size());
            self->inFlight_ = Outgoing{};
            if (error) {
                self->Close();
                return;
            }
            self->Pump();
        });
    }

    void Account(std::size_t bytesBefore, std::uint64_t skippedBefore) {
        server_.Account(queue_, bytesBefore, skippedBefore);
    }

    // Stops taking frames; the pending operations end with errors and release the session.
    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        Detach();
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

    websocket::stream<beast::tcp_stream> ws_;
    ViewServer::Impl& server_;
    CountedSlot connection_;
    CountedSlot viewer_;
    ViewerQueue queue_;
    Outgoing inFlight_;
    beast::flat_buffer readBuffer_;
    bool writing_{false};
    bool closed_{false};
};

// One Foxglove WebSocket client: serverInfo and advertise first, then the message-data frames of the channels
// it subscribes to. Video goes through a ViewerQueue as the page's frames do (each subscription starts at its
// camera's next key frame, a client too slow for its queue skips ahead); status messages and figures wait in
// a small queue of their own and go first.
class FoxgloveSession : public std::enable_shared_from_this<FoxgloveSession> {
  public:
    FoxgloveSession(tcp::socket&& socket, ViewServer::Impl& server, CountedSlot connection,
                    CountedSlot viewer)
        : ws_(std::move(socket)),
          server_(server),
          connection_(std::move(connection)),
          viewer_(std::move(viewer)),
          queue_(server.options.queueLimits) {}

    ~FoxgloveSession() {
        server_.foxgloveClients.erase(this);
        if (opened_) {
            server_.foxgloveClientCount.fetch_sub(1);
        }
        for (const std::uint32_t channel : subscriptions_.Channels()) {
            server_.foxgloveSubscribers[channel - 1U].fetch_sub(1);
        }
        server_.queuedBytes.fetch_sub(queue_.QueuedBytes() + inFlight_.Size());
    }

    void Accept(const http::request<http::empty_body>& request) {
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = std::chrono::seconds(10);
        timeout.idle_timeout = std::chrono::seconds(server_.options.idleTimeoutSeconds);
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, kServerName);
            response.set(http::field::sec_websocket_protocol,
                         beast::string_view(kFoxgloveSubprotocol.data(), kFoxgloveSubprotocol.size()));
        }));
        ws_.read_message_max(kFoxgloveClientMessageLimit);
        ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
            if (!error) {
                self->Open();
            }
        });
    }

    void DeliverVideo(const std::shared_ptr<const std::vector<std::uint8_t>>& message, int camera, bool key) {
        if (!subscriptions_.On(CameraChannel(camera))) {
            return;
        }
        const std::size_t before = queue_.QueuedBytes();
        const std::uint64_t skipped = queue_.SkippedFrames();
        queue_.OfferFrame(message, camera, key);
        Account(before, skipped);
        Pump();
    }

    void DeliverFigures(const std::shared_ptr<const std::vector<std::uint8_t>>& message) {
        if (subscriptions_.On(kFiguresChannel) && control_.size() < kFoxgloveControlLimit) {
            control_.push_back(Control{nullptr, message});
            Pump();
        }
    }

  private:
    struct Control {
        std::shared_ptr<const std::string> text;                   // a JSON message, or
        std::shared_ptr<const std::vector<std::uint8_t>> figures;  // the figures channel's message data
    };

    void Open() {
        opened_ = true;
        server_.foxgloveClientCount.fetch_add(1);
        server_.foxgloveClients.insert(this);
        control_.push_back(
            Control{std::make_shared<const std::string>(ServerInfoJson(server_.sessionId)), nullptr});
        control_.push_back(Control{std::make_shared<const std::string>(AdvertiseJson()), nullptr});
        Read();
        Pump();
    }

    void Read() {
        ws_.async_read(readBuffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->Close();
                return;
            }
            self->OnRequest();
            self->readBuffer_.consume(self->readBuffer_.size());
            self->Read();
        });
    }

    void OnRequest() {
        if (!ws_.got_text()) {
            Refuse(2, "binary messages are not taken here: this server offers no client publishing");
            return;
        }
        const auto bytes = readBuffer_.cdata();
        const ClientRequest request =
            ParseClientRequest(std::string_view(static_cast<const char*>(bytes.data()), bytes.size()));
        switch (request.kind) {
            case ClientRequest::Kind::kSubscribe:
                for (const ClientRequest::Subscription& wanted : request.subscribe) {
                    const std::string problem = subscriptions_.Subscribe(wanted.id, wanted.channel);
                    if (!problem.empty()) {
                        Refuse(2, problem);
                        continue;
                    }
                    server_.foxgloveSubscribers[wanted.channel - 1U].fetch_add(1);
                    Restart(ChannelCamera(wanted.channel));
                }
                break;
            case ClientRequest::Kind::kUnsubscribe:
                for (const std::uint32_t id : request.unsubscribe) {
                    const auto channel = subscriptions_.Unsubscribe(id);
                    if (!channel) {
                        Refuse(1, "unsubscribe: no subscription " + std::to_string(id));
                        continue;
                    }
                    server_.foxgloveSubscribers[*channel - 1U].fetch_sub(1);
                    Restart(ChannelCamera(*channel));
                }
                break;
            case ClientRequest::Kind::kUnsupported:
                Refuse(1, request.problem);
                break;
            case ClientRequest::Kind::kMalformed:
                Refuse(2, request.problem);
                break;
        }
        Pump();
    }

    // A camera whose subscription began or ended: nothing pending of it goes out, and it (re)starts at its
    // next key frame.
    void Restart(int camera) {
        if (camera < 0) {
            return;
        }
        const std::size_t before = queue_.QueuedBytes();
        const std::uint64_t skipped = queue_.SkippedFrames();
        queue_.Restart(camera);
        Account(before, skipped);
    }

    // Counted, and answered with a status message while there is room for one.
    void Refuse(int level, const std::string& problem) {
        server_.refusedRequests.fetch_add(1);
        if (control_.size() < kFoxgloveControlLimit) {
            control_.push_back(
                Control{std::make_shared<const std::string>(StatusJson(level, problem)), nullptr});
        }
    }

    void Pump() {
        while (!writing_ && !closed_) {
            if (!control_.empty()) {
                inFlightControl_ = std::move(control_.front());
                control_.pop_front();
                if (inFlightControl_.text) {
                    Write(false, {net::buffer(*inFlightControl_.text), net::const_buffer()});
                    return;
                }
                const auto subscription = subscriptions_.On(kFiguresChannel);
                if (!subscription) {
                    inFlightControl_ = Control{};
                    continue;
                }
                header_ = MessageDataHeader(*subscription);
                Write(true, {net::buffer(header_), net::buffer(*inFlightControl_.figures)});
                return;
            }
            if (queue_.Empty()) {
                return;
            }
            inFlight_ = queue_.Take();
            const auto subscription = subscriptions_.On(CameraChannel(inFlight_.camera));
            if (!inFlight_.frame || !subscription) {
                server_.queuedBytes.fetch_sub(inFlight_.Size());
                inFlight_ = Outgoing{};
                continue;
            }
            header_ = MessageDataHeader(*subscription);
            Write(true, {net::buffer(header_), net::buffer(*inFlight_.frame)});
        }
    }

    void Write(bool binary, std::array<net::const_buffer, 2> buffers) {
        writing_ = true;
        ws_.binary(binary);
        ws_.async_write(buffers, [self = shared_from_this()](beast::error_code error, std::size_t) {
            self->writing_ = false;
            self->server_.queuedBytes.fetch_sub(self->inFlight_.Size());
            self->inFlight_ = Outgoing{};
            self->inFlightControl_ = Control{};
            if (error) {
                self->Close();
                return;
            }
            self->Pump();
        });
    }

    void Account(std::size_t bytesBefore, std::uint64_t skippedBefore) {
        server_.Account(queue_, bytesBefore, skippedBefore);
    }

    void Close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        server_.foxgloveClients.erase(this);
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

    websocket::stream<beast::tcp_stream> ws_;
    ViewServer::Impl& server_;
    CountedSlot connection_;
    CountedSlot viewer_;
    FoxgloveSubscriptions subscriptions_;
    ViewerQueue queue_;
    std::deque<Control> control_;
    Outgoing inFlight_;
    Control inFlightControl_;
    std::array<std::uint8_t, 5> header_{};
    beast::flat_buffer readBuffer_;
    bool writing_{false};
    bool closed_{false};
    bool opened_{false};
};

// One HTTP connection: requests for the page and its assets, or the upgrade to a viewer's or a
// Foxglove client's WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket&& socket, ViewServer::Impl& server, CountedSlot connection)
        : stream_(std::move(socket)), server_(server), connection_(std::move(connection)) {}

    void Start() {
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->Read(); });
    }

  private:
    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.options.headerLimit));
        parser_->body_limit(0);
        stream_.expires_after(kRequestTimeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code error, std::size_t) { self->OnRead(error); });
    }

    void OnRead(beast::error_code error) {
        if (error == http::error::end_of_stream) {
            stream_.socket().shutdown(tcp::socket::shutdown_send, error);
            return;
        }
        if (error == http::error::header_limit) {
            Reply(http::status::request_header_fields_too_large, "request header fields too large\n", false);
            return;
        }
        if (error == http::error::body_limit || error == http::error::unexpected_body) {
            Reply(http::status::payload_too_large, "requests carry no body here\n", false);
            return;
        }
        if (error.category() ==
            beast::error_code(http::error::bad_target).category()) {  // any other malformed request
            Reply(http::status::bad_request, "bad request\n", false);
            return;
        }
        if (error) {
            return;  // time-out or reset: nothing to answer
        }
        request_ = parser_->release();
        // A name not ours is a page of another site that reached this server through its own name (DNS
        // rebinding), or a request meant for someone else: nothing here is for it.
        const auto host = request_[http::field::host];
        if (!server_.hosts->HostAllowed(std::string_view(host.data(), host.size()))) {
            server_.refusedHosts.fetch_add(1);
            Reply(http::status::forbidden, "this server does not answer to that host name\n", false);
            return;
        }
        const std::string_view target(request_.target().data(), request_.target().size());
        const std::string_view path = target.substr(0, target.find('?'));
        if (websocket::is_upgrade(request_)) {
            Upgrade(path);
            return;
        }
        if (request_.method() != http::verb::get && request_.method() != http::verb::head) {
            Reply(http::status::method_not_allowed, "only GET and HEAD\n", request_.keep_alive());
            return;
        }
        if (path == kFaviconPath) {
            Send(http::status::no_content, {}, {}, request_.keep_alive());
            return;
        }
        const WebAsset* asset = FindWebAsset(path);
        if (asset == nullptr) {
            Reply(http::status::not_found, "not found\n", request_.keep_alive());
            return;
        }
        Send(http::status::ok, asset->contentType, std::string(asset->body), request_.keep_alive());
    }

    void Upgrade(std::string_view path) {
        const bool foxglove = path == kFoxglovePath;
        if (path != kViewerPath && !foxglove) {
            Reply(http::status::not_found, "not found\n", false);
            return;
        }
        if (foxglove && !OffersSubprotocol(request_, kFoxgloveSubprotocol)) {
            Reply(http::status::bad_request, "the WebSocket at / speaks foxglove.websocket.v1 only\n", false);
            return;
        }
        // A browser always names the page that opens the socket; a tool that is no browser sends no Origin
        // and cannot be made to act for another site. A Foxglove page of another origin is served only when
        // named (--allow-origin).
        const auto found = request_.find(http::field::origin);
        if (found != request_.end()) {
            const std::string_view origin(found->value().data(), found->value().size());
            if (!server_.hosts->OriginAllowed(origin) && !(foxglove && OriginListed(origin))) {
                server_.refusedOrigins.fetch_add(1);
                Reply(http::status::forbidden,
                      foxglove ? "this origin's pages are not served here\n"
                               : "viewers come from this server's own page\n",
                      false);
                return;
            }
        }
        // Counted from here, before the handshake completes, so that a burst of upgrades cannot pass the cap.
        if (server_.viewerCount.load() >= server_.options.maxViewers) {
            server_.refusedViewers.fetch_add(1);
            Reply(http::status::service_unavailable, "too many viewers\n", false);
            return;
        }
        CountedSlot viewer(server_.viewerCount);
        stream_.expires_never();
        if (foxglove) {
            std::make_shared<FoxgloveSession>(stream_.release_socket(), server_, std::move(connection_),
                                              std::move(viewer))
                ->Accept(request_);
            return;
        }
        std::make_shared<ViewerSession>(stream_.release_socket(), server_, std::move(connection_),
                                        std::move(viewer))
            ->Accept(request_);
    }

    bool OriginListed(std::string_view origin) const {
        const auto normalized = NormalizeOrigin(origin);
        const auto& allowed = server_.options.allowedOrigins;
        return normalized && std::find(allowed.begin(), allowed.end(), *normalized) != allowed.end();
    }

    void Reply(http::status status, const char* text, bool keepAlive) {
        Send(status, "text/plain; charset=utf-8", text, keepAlive);
    }

    // An empty `contentType` sends no body at all (204).
    void Send(http::status status, std::string_view contentType, std::string body, bool keepAlive) {
        response_.emplace(status, 11);
        response_->set(http::field::server, kServerName);
        if (!contentType.empty()) {
            response_->set(http::field::content_type,
                           beast::string_view(contentType.data(), contentType.size()));
        }
        response_->set(http::field::cache_control, "no-store");
        const bool head = request_.method() == http::verb::head;
        response_->body() = std::move(body);
        response_->keep_alive(keepAlive);
        response_->prepare_payload();
        if (head) {
            response_->body().clear();
        }
        http::async_write(stream_, *response_,
                          [self = shared_from_this(), keepAlive](beast::error_code error, std::size_t) {
                              if (!error && keepAlive) {
                                  self->Read();
                                  return;
                              }
                              beast::error_code ignored;
                              self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          });
    }

    beast::tcp_stream stream_;
    ViewServer::Impl& server_;
    CountedSlot connection_;  // moves to the viewer's session on an upgrade
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    http::request<http::empty_body> request_;
    std::optional<http::response<http::string_body>> response_;
};

}  // namespace

void ViewServer::Impl::Accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) {
            return;
        }
        if (error) {
            PauseAccepting(error);
            return;
        }
        if (connectionCount.load() >= options.maxConnections) {
            RefuseConnection(socket);
        } else {
            // Frames go out as they come: no waiting for the previous write's acknowledgement (Nagle).
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<HttpSession>(std::move(socket), *this, CountedSlot(connectionCount))->Start();
        }
        Accept();
    });
}

// A failed accept leaves the connection waiting in the backlog, so accepting again at once fails again at
// once (out of descriptors: EMFILE, ENFILE) and spins. Pausing instead leaves the queued connections waiting
// until descriptors are free again.
void ViewServer::Impl::PauseAccepting(const beast::error_code& error) {
    const bool first = failedAccepts.fetch_add(1) == 0;
    ++failedAcceptsUnlogged;
    const auto now = std::chrono::steady_clock::now();
    if (first || now - acceptLoggedAt >= kAcceptLogInterval) {
        logger.LogWarn(ARA_LOG_HERE) << "accepting a connection on " << where << " failed "
                                     << static_cast<std::uint64_t>(failedAcceptsUnlogged)
                                     << " time(s) since the last report: " << error.message()
                                     << "; accepting again in "
                                     << static_cast<std::int64_t>(options.acceptPause.count()) << " ms";
        failedAcceptsUnlogged = 0;
        acceptLoggedAt = now;
    }
    acceptPause.expires_after(options.acceptPause);
    acceptPause.async_wait([this](beast::error_code waited) {
        if (!waited) {
            Accept();
        }
    });
}

// Beyond the cap a connection costs one small write and is closed: nothing of it is read or kept.
void ViewServer::Impl::RefuseConnection(tcp::socket& socket) {
    refusedConnections.fetch_add(1);
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(net::buffer(kTooManyConnections.data(), kTooManyConnections.size()), ignored);
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

ara::core::Result<std::unique_ptr<ViewServer>, ViewError> ViewServer::Start(const ServerOptions& options) {
    using R = ara::core::Result<std::unique_ptr<ViewServer>, ViewError>;
    auto impl = std::make_unique<Impl>(options, ara::log::CreateLogger("VIEW", "live view"));
    beast::error_code error;
    const auto address = net::ip::make_address(options.address, error);
    if (error) {
        return R::FromError({ViewErrc::kAddress, "address " + options.address + ": " + error.message() +
                                                     "; expected an IPv4 or IPv6 address such as 127.0.0.1"});
    }
    const tcp::endpoint endpoint(address, options.port);
    const std::string where = options.address + ":" + std::to_string(options.port);
    impl->acceptor.open(endpoint.protocol(), error);
    if (!error) {
        impl->acceptor.set_option(net::socket_base::reuse_address(true), error);
    }
    if (!error) {
        impl->acceptor.bind(endpoint, error);
    }
    if (!error) {
        impl->acceptor.listen(net::socket_base::max_listen_connections, error);
    }
    if (error) {
        return R::FromError({ViewErrc::kListen, "cannot listen on " + where + ": " + error.message()});
    }
    const std::uint16_t port = impl->acceptor.local_endpoint(error).port();
    impl->hosts.emplace(options.address, options.allowedHosts, port);
    impl->sessionId = std::to_string(RealtimeNs());
    impl->where = options.address + ":" + std::to_string(port);
    impl->Accept();
    Impl& running = *impl;
    impl->thread = std::thread([&running] { running.io.run(); });
    return R::FromValue(std::unique_ptr<ViewServer>(new ViewServer(std::move(impl))));
}

ViewServer::ViewServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ViewServer::~ViewServer() {
    net::post(impl_->io, [impl = impl_.get()] {
        beast::error_code ignored;
        impl->acceptor.close(ignored);
        impl->acceptPause.cancel();
    });
    impl_->io.stop();
    if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

std::uint16_t ViewServer::Port() const {
    beast::error_code error;
    const auto endpoint = impl_->acceptor.local_endpoint(error);
    return error ? 0 : endpoint.port();
}

void ViewServer::PublishFrame(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera,
                              bool key) {
    net::post(impl_->io, [impl = impl_.get(), message = std::move(message), camera, key] {
        for (ViewerSession* viewer : impl->viewers) {
            viewer->Deliver(message, camera, key);
        }
    });
}

void ViewServer::PublishText(std::string text) {
    std::shared_ptr<const std::vector<std::uint8_t>> figures;
    if (impl_->foxgloveSubscribers[kFiguresChannel - 1U].load() > 0) {
        figures = MakeFiguresMessage(RealtimeNs(), text);
    }
    auto shared = std::make_shared<const std::string>(std::move(text));
    net::post(impl_->io, [impl = impl_.get(), shared = std::move(shared), figures = std::move(figures)] {
        for (ViewerSession* viewer : impl->viewers) {
            viewer->Deliver(shared);
        }
        if (figures) {
            for (FoxgloveSession* client : impl->foxgloveClients) {
                client->DeliverFigures(figures);
            }
        }
    });
}

bool ViewServer::FoxgloveSubscribed(int camera) const noexcept {
    return camera >= 0 && camera < kCameras &&
           impl_->foxgloveSubscribers[CameraChannel(camera) - 1U].load() > 0;
}

void ViewServer::PublishFoxgloveVideo(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera,
                                      bool key) {
    net::post(impl_->io, [impl = impl_.get(), message = std::move(message), camera, key] {
        for (FoxgloveSession* client : impl->foxgloveClients) {
            client->DeliverVideo(message, camera, key);
        }
    });
}

ServerCounters ViewServer::Counters() const noexcept {
    ServerCounters counters;
    counters.viewers = impl_->viewerCount.load();
    counters.streamingViewers = impl_->streamingViewers.load();
    counters.connections = impl_->connectionCount.load();
    counters.queuedBytes = impl_->queuedBytes.load();
    counters.peakQueuedBytes = impl_->peakQueuedBytes.load();
    counters.skippedFrames = impl_->skippedFrames.load();
    counters.refusedViewers = impl_->refusedViewers.load();
    counters.refusedConnections = impl_->refusedConnections.load();
    counters.refusedHosts = impl_->refusedHosts.load();
    counters.refusedOrigins = impl_->refusedOrigins.load();
    counters.failedAccepts = impl_->failedAccepts.load();
    counters.foxgloveClients = impl_->foxgloveClientCount.load();
    counters.refusedRequests = impl_->refusedRequests.load();
    return counters;
}

}  // namespace camera_view
