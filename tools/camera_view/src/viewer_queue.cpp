#include "viewer_queue.h"

#include <algorithm>
#include <utility>

namespace camera_view {

bool ViewerQueue::OfferFrame(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera, bool key) {
    if (camera < 0 || camera >= kCameras || !message) {
        ++skippedFrames_;
        return false;
    }
    const auto index = static_cast<std::size_t>(camera);
    if (!Fits(message->size())) {
        // Too slow for the stream: drop what is pending and start every camera again at a key frame.
        for (const Outgoing& outgoing : pending_) {
            if (outgoing.frame) {
                ++skippedFrames_;
            }
        }
        pending_.clear();
        bytes_ = 0;
        waitingForKey_.fill(true);
        ++overflows_;
    }
    if (waitingForKey_[index] && !key) {
        ++skippedFrames_;
        return false;
    }
    if (!Fits(message->size())) {  // a single key frame larger than the whole budget
        ++skippedFrames_;
        waitingForKey_[index] = true;
        return false;
    }
    waitingForKey_[index] = false;
    bytes_ += message->size();
    pending_.push_back(Outgoing{std::move(message), nullptr, camera});
    return true;
}

bool ViewerQueue::OfferText(std::shared_ptr<const std::string> text) {
    if (!text || !Fits(text->size())) {
        return false;
    }
    bytes_ += text->size();
    pending_.push_back(Outgoing{nullptr, std::move(text), -1});
    return true;
}

void ViewerQueue::Restart(int camera) {
    if (camera < 0 || camera >= kCameras) {
        return;
    }
    const auto end =
        std::remove_if(pending_.begin(), pending_.end(), [this, camera](const Outgoing& outgoing) {
            if (outgoing.frame && outgoing.camera == camera) {
                bytes_ -= outgoing.Size();
                ++skippedFrames_;
                return true;
            }
            return false;
        });
    pending_.erase(end, pending_.end());
    waitingForKey_[static_cast<std::size_t>(camera)] = true;
}

Outgoing ViewerQueue::Take() {
    Outgoing front = std::move(pending_.front());
    pending_.pop_front();
    bytes_ -= front.Size();
    return front;
}

}  // namespace camera_view
