#pragma once

// The page and its assets, built into the binary from tools/camera_view/web (generated web_assets.cpp), so
// that the browser needs nothing but camera_view.

#include <cstddef>
#include <string_view>

namespace camera_view {

struct WebAsset {
    std::string_view path;  // as requested, e.g. "/" or "/view.js"
    std::string_view contentType;
    std::string_view body;
};

// Every asset; "/" is the page.
const WebAsset* WebAssets(std::size_t* count) noexcept;

// The asset served at `path` (without query), nullptr when there is none.
const WebAsset* FindWebAsset(std::string_view path) noexcept;

}  // namespace camera_view
