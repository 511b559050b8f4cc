#include "cap_rate_control.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mpu::internal {
namespace {

// Predictions miss by a few per cent; the window is filled to this share of the cap.
constexpr double kHeadroom = 0.96;
// Before a key frame and another frame were both seen, a key frame is taken to be this many times the size
// of another; after, their ratio as seen, within the bounds.
constexpr double kAssumedKeyToOtherRatio = 4.0;
constexpr double kLeastKeyToOtherRatio = 1.0;
constexpr double kMostKeyToOtherRatio = 30.0;
constexpr int kMostStepsDown = 2;
// How far from its share a frame at the last quantiser may be predicted before the quantiser moves one step.
constexpr double kTolerance = 0.15;
// The weight of a frame in the average of its kind: others over about the last four frames; a key frame,
// one a GOP, as much as those before it.
constexpr double kOtherWeight = 0.25;
constexpr double kKeyWeight = 0.5;

double atQp(double bytes, int fromQp, int toQp) {
    return bytes * std::exp2((fromQp - toQp) / 6.0);
}

}  // namespace

CapRateControl::CapRateControl(const CapRateSettings& settings)
    : settings_(settings),
      recent_(std::max<std::uint32_t>(1, settings.windowFrames) - 1, 0),
      framesSinceKey_(settings.windowFrames) {}

double CapRateControl::predictedBytes(bool keyFrame, int qp) const {
    const Model& own = keyFrame ? key_ : other_;
    const Model& other = keyFrame ? other_ : key_;
    double steadyBytes = 0;
    if (own.known) {
        steadyBytes = own.steadyBytes;
    } else if (other.known) {
        steadyBytes = keyFrame ? other.steadyBytes * kAssumedKeyToOtherRatio
                               : other.steadyBytes / kAssumedKeyToOtherRatio;
    } else {
        return 0;  // nothing to go by: the first frame takes the steady quantiser
    }
    return atQp(steadyBytes, settings_.steadyQp, qp);
}

double CapRateControl::keyToOtherRatio() const {
    if (!key_.known || !other_.known || other_.steadyBytes <= 0) {
        return kAssumedKeyToOtherRatio;
    }
    return std::clamp(key_.steadyBytes / other_.steadyBytes, kLeastKeyToOtherRatio, kMostKeyToOtherRatio);
}

int CapRateControl::steadyQp(bool keyFrame) const {
    return std::clamp(settings_.steadyQp - (keyFrame ? settings_.keyQpDelta : 0), settings_.minQp,
                      settings_.maxQp);
}

std::pair<int, int> CapRateControl::quantiserRange() const {
    return {std::min(steadyQp(true), steadyQp(false)), settings_.maxQp};
}

int CapRateControl::nextQp(bool keyFrame) const {
    const int steady = steadyQp(keyFrame);
    const double cap = static_cast<double>(settings_.capBytes) * kHeadroom;
    // A steady share of the window for each frame, a key frame counted as the others it is worth: what a
    // window of such frames may take without passing the cap.
    const double keyShares = keyToOtherRatio();
    const double share = cap / (settings_.windowFrames - 1 + keyShares);
    double target = keyFrame ? share * keyShares : share;
    // A key frame in the window leaves the others what it did not take, more or less than its shares.
    if (!keyFrame && framesSinceKey_ + 1 < settings_.windowFrames) {
        target = std::max(0.0, cap - static_cast<double>(lastKeyBytes_)) / (settings_.windowFrames - 1);
    }
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
    // One step either way is not taken while the last quantiser's frame is predicted within kTolerance of the
    // share (and the window has room for it): a quantiser that flips between two neighbours gives frames of
    // alternating quality, each costing more after a coarser one.
    if (!keyFrame && own.known && std::abs(qp - own.qp) == 1) {
        const double kept = predictedBytes(keyFrame, own.qp);
        if (kept <= room && kept <= target * (1.0 + kTolerance) && kept >= target * (1.0 - kTolerance)) {
            qp = own.qp;
        }
    }
    return std::clamp(qp, steady, settings_.maxQp);
}

void CapRateControl::frameDone(bool keyFrame, int qp, std::uint64_t bytes) {
    Model& model = keyFrame ? key_ : other_;
    const double steadyBytes = atQp(static_cast<double>(bytes), qp, settings_.steadyQp);
    const double weight = keyFrame ? kKeyWeight : kOtherWeight;
    model.steadyBytes =
        model.known ? model.steadyBytes + weight * (steadyBytes - model.steadyBytes) : steadyBytes;
    model.qp = qp;
    model.known = true;
    if (keyFrame) {
        lastKeyBytes_ = bytes;
        framesSinceKey_ = 0;
    } else if (framesSinceKey_ < settings_.windowFrames) {
        ++framesSinceKey_;
    }
    if (recent_.empty()) {
        return;
    }
    recentBytes_ -= recent_[next_];
    recent_[next_] = bytes;
    recentBytes_ += bytes;
    next_ = (next_ + 1) % recent_.size();
}

}  // namespace mpu::internal
