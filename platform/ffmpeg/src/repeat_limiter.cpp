#include "repeat_limiter.h"

#include <algorithm>
#include <cctype>

namespace ffmpeg::internal {

namespace {

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::string RepeatKey(ara::log::LogLevel level, std::string_view text) {
    std::string key;
    key.reserve(text.size() + 2);
    key.push_back(static_cast<char>('0' + static_cast<int>(level)));
    key.push_back(' ');
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '0' && i + 2 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
            IsHexDigit(text[i + 2])) {
            i += 2;
            while (i < text.size() && IsHexDigit(text[i])) {
                ++i;
            }
            key.push_back('#');
        } else if (IsDigit(text[i])) {
            while (i < text.size() && IsDigit(text[i])) {
                ++i;
            }
            key.push_back('#');
        } else {
            key.push_back(text[i]);
            ++i;
        }
    }
    return key;
}

bool RepeatLimiter::Admit(std::string_view key, ara::log::LogLevel level, std::string_view text,
                          Clock::time_point now, std::vector<Summary>& due) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (now - lastSweep_ >= settings_.window) {
        Sweep(now, due);
        lastSweep_ = now;
    }
    Window* window = nullptr;
    if (auto found = windows_.find(std::string(key)); found != windows_.end()) {
        window = &found->second;
    } else if (windows_.size() < settings_.maxKeys) {
        window = &windows_[std::string(key)];
        window->start = now;
    } else {
        window = &overflow_;
        if (!overflowUsed_) {
            overflowUsed_ = true;
            overflow_.start = now;
            overflow_.admitted = 0;
        }
    }
    if (now - window->start >= settings_.window) {
        TakeSummary(*window, due);
        window->start = now;
        window->admitted = 0;
    }
    if (window->admitted < settings_.maxPerWindow) {
        ++window->admitted;
        return true;
    }
    // Lower values are more severe: a shared window reports the worst it held back.
    window->level = window->heldBack == 0 ? level : std::min(window->level, level);
    ++window->heldBack;
    window->lastHeldBack.assign(text);
    return false;
}

void RepeatLimiter::TakeSummaries(std::vector<Summary>& due) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : windows_) {
        TakeSummary(entry.second, due);
    }
    windows_.clear();
    TakeSummary(overflow_, due);
    overflowUsed_ = false;
}

void RepeatLimiter::TakeSummary(Window& window, std::vector<Summary>& due) {
    if (window.heldBack == 0) {
        return;
    }
    due.push_back(Summary{window.level, std::move(window.lastHeldBack), window.heldBack});
    window.heldBack = 0;
    window.lastHeldBack.clear();
}

void RepeatLimiter::Sweep(Clock::time_point now, std::vector<Summary>& due) {
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now - it->second.start >= settings_.window) {
            TakeSummary(it->second, due);
            it = windows_.erase(it);
        } else {
            ++it;
        }
    }
    if (overflowUsed_ && now - overflow_.start >= settings_.window) {
        TakeSummary(overflow_, due);
        overflowUsed_ = false;
    }
}

}  // namespace ffmpeg::internal
