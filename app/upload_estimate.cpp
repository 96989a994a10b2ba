#include "app/upload_estimate.h"

#include <algorithm>

namespace tollander::app {

namespace {
// A rate measured over less than this says more about the first block's
// trip into the queue than about the line.
constexpr std::int64_t kMeasureFromMs = 500;
} // namespace

void UploadEstimate::Start(std::int64_t total, std::int64_t now_ms) {
    *this = UploadEstimate{};
    total_ = total;
    start_ms_ = now_ms;
}

void UploadEstimate::Update(std::int64_t handed, std::int64_t queued, std::int64_t now_ms) {
    const std::int64_t elapsed = std::max<std::int64_t>(0, now_ms - start_ms_);
    queue_reported_ = queue_reported_ || queued > 0;
    if (queue_reported_) {
        sent_ = std::clamp<std::int64_t>(handed - std::max<std::int64_t>(queued, 0), 0, handed);
        rate_ = elapsed >= kMeasureFromMs && sent_ > 0
                    ? static_cast<double>(sent_) * 1000.0 / static_cast<double>(elapsed)
                    : 0.0;
    } else {
        const auto on_line = static_cast<std::int64_t>(kLineBytesPerSecond *
                                                       static_cast<double>(elapsed) / 1000.0);
        sent_ = std::clamp<std::int64_t>(on_line, 0, handed);
        rate_ = kLineBytesPerSecond;
    }
    sent_ = std::min(sent_, total_);
}

double UploadEstimate::SecondsLeft() const {
    if (rate_ <= 0.0) return -1.0;
    return static_cast<double>(total_ - sent_) / rate_;
}

} // namespace tollander::app
