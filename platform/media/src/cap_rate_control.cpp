#include "cap_rate_control.h"

#include <algorithm>
#include <cmath>

namespace mpu::internal {
namespace {

// Predictions miss by a few per cent; the window is filled to this share of the cap.
constexpr double kHeadroom = 0.92;
// Before any key frame was seen, one is taken to be this many times the size of another frame; and a key
// frame's share of the window is this many frames' shares.
constexpr double kKeyToOtherRatio = 4.0;
constexpr int kMostStepsDown = 2;

}  // namespace

CapRateControl::CapRateControl(const CapRateSettings& settings)
    : settings_(settings), recent_(std::max<std::uint32_t>(1, settings.windowFrames) - 1, 0) {}

double CapRateControl::predictedBytes(bool keyFrame, int qp) const {
    const Model& own = keyFrame ? key_ : other_;
    const Model& other = keyFrame ? other_ : key_;
    double bytes = 0;
    int at = qp;
    if (own.known) {
        bytes = own.bytes;
        at = own.qp;
    } else if (other.known) {
        bytes = keyFrame ? other.bytes * kKeyToOtherRatio : other.bytes / kKeyToOtherRatio;
        at = other.qp;
    } else {
        return 0;  // nothing to go by: the first frame takes the steady quantiser
    }
    return bytes * std::exp2((at - qp) / 6.0);
}

int CapRateControl::nextQp(bool keyFrame) const {
    const int steady = std::clamp(settings_.steadyQp - (keyFrame ? settings_.keyQpDelta : 0), settings_.minQp,
                                  settings_.maxQp);
    const double cap = static_cast<double>(settings_.capBytes) * kHeadroom;
    // A steady share of the window for each frame, a key frame counted as kKeyToOtherRatio others: what a
    // window of such frames may take without passing the cap.
    const double share = cap / (settings_.windowFrames - 1 + kKeyToOtherRatio);
    const double target = keyFrame ? share * kKeyToOtherRatio : share;
    // The window that ends with this frame must stay within the cap, whatever the share says.
    const double room = cap - static_cast<double>(recentBytes_);
    int qp = steady;
    while (qp < settings_.maxQp && predictedBytes(keyFrame, qp) > std::min(target, room)) {
        ++qp;
    }
    // A frame that fits its share alone comes down only a few steps at a time towards the steady quantiser,
    // so that a model off by a few per cent does not make the quantiser swing.
    const Model& own = keyFrame ? key_ : other_;
    if (own.known && qp < own.qp - kMostStepsDown) {
        qp = own.qp - kMostStepsDown;
    }
    return std::clamp(qp, steady, settings_.maxQp);
}

void CapRateControl::frameDone(bool keyFrame, int qp, std::uint64_t bytes) {
    Model& model = keyFrame ? key_ : other_;
    model = Model{true, qp, static_cast<double>(bytes)};
    if (recent_.empty()) {
        return;
    }
    recentBytes_ -= recent_[next_];
    recent_[next_] = bytes;
    recentBytes_ += bytes;
    next_ = (next_ + 1) % recent_.size();
}

}  // namespace mpu::internal
