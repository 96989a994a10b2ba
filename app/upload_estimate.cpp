#include "app/upload_estimate.h"

#include <algorithm>
#include <cstdio>

namespace tollander::app {

namespace {
// A rate measured over less than this says more about the first block's
// trip into the queue than about the line.
constexpr std::int64_t kMeasureFromMs = 500;

std::string Duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}
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

std::string ProgressText(int image, std::int64_t sent, std::int64_t total, double rate) {
    std::string line = image == 1 ? "Boot code (1): " : "Main code (2): ";
    const int percent = total > 0 ? static_cast<int>(sent * 100 / total) : 0;
    line += std::to_string(sent) + " of " + std::to_string(total) + " bytes, " +
            std::to_string(percent) + "%";
    if (rate > 0) {
        char text[32];
        std::snprintf(text, sizeof text, ", %.1f kB/s, ", rate / 1000);
        line += text + Duration(static_cast<double>(total - sent) / rate) + " left";
    }
    return line;
}

} // namespace tollander::app
