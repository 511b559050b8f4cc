#pragma once

// Clients of the view server for its tests: blocking loopback sockets that give up instead of hanging, a
// request, raw bytes, and polling for a condition.

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "view_server.h"

namespace camera_view::test {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;

inline std::unique_ptr<ViewServer> StartServer(ServerOptions options = {}) {
    options.port = 0;
    auto started = ViewServer::Start(options);
    return started.HasValue() ? std::move(started).Value() : nullptr;
}

// An open socket whose reads give up after a while instead of hanging the test; not yet connected.
inline tcp::socket OpenSocket(net::io_context& io, int receiveBufferBytes = 0) {
    tcp::socket socket(io);
    socket.open(tcp::v4());
    if (receiveBufferBytes > 0) {
        socket.set_option(net::socket_base::receive_buffer_size(receiveBufferBytes));
    }
    const timeval timeout{5, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    return socket;
}

inline tcp::endpoint Loopback(std::uint16_t port) {
    return tcp::endpoint(net::ip::make_address("127.0.0.1"), port);
}

inline tcp::socket Connect(net::io_context& io, std::uint16_t port, int receiveBufferBytes = 0) {
    tcp::socket socket = OpenSocket(io, receiveBufferBytes);
    socket.connect(Loopback(port));
    return socket;
}

// One request on a connection of its own; `host` is its Host header.
inline http::response<http::string_body> Request(std::uint16_t port, http::verb method,
                                                 const std::string& target,
                                                 const std::string& host = "127.0.0.1") {
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    http::request<http::empty_body> request(method, target, 11);
    request.set(http::field::host, host);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.skip(method == http::verb::head);
    http::read(socket, buffer, parser);
    return parser.release();
}

// The status of the response to `bytes` sent on `socket`; 0 when none came (closed, reset, timed out).
inline unsigned RawStatus(tcp::socket& socket, const std::string& bytes) {
    beast::error_code error;
    net::write(socket, net::buffer(bytes), error);
    beast::flat_buffer buffer;
    http::response_parser<http::empty_body> parser;
    parser.skip(true);  // the status is all that counts
    http::read_header(socket, buffer, parser, error);
    return error ? 0U : parser.get().result_int();
}

inline unsigned RawStatus(std::uint16_t port, const std::string& bytes) {
    net::io_context io;
    tcp::socket socket = Connect(io, port);
    return RawStatus(socket, bytes);
}

// A WebSocket upgrade of "/ws" as a browser sends it; no Origin header when `origin` is empty.
inline std::string UpgradeRequest(const std::string& host, const std::string& origin) {
    std::string text = "GET /ws HTTP/1.1\r\nHost: " + host +
                       "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    if (!origin.empty()) {
        text += "Origin: " + origin + "\r\n";
    }
    return text + "\r\n";
}

inline bool WaitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace camera_view::test
