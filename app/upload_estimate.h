// Where an upload stands on the line, not in the queues before it: the bytes
// the device has really sent, the rate and the time left. The driver's
// output queue (TIOCOUTQ, or the Windows port's queue) says how many of the
// bytes handed to it are still waiting; where it never reports any (a
// pseudo-terminal), the line is taken to send at its nominal 11520 bytes a
// second since the first block was handed over.
#pragma once

#include <cstdint>
#include <string>

namespace tollander::app {

// 115200 baud, ten bits a character.
inline constexpr double kLineBytesPerSecond = 11520.0;

class UploadEstimate {
public:
    // An upload of `total` bytes begins at `now_ms` (a monotonic clock).
    void Start(std::int64_t total, std::int64_t now_ms);
    // A reading: `handed` bytes given to the driver so far, `queued` of them
    // still in its output queue (0 when it does not say), at `now_ms`.
    void Update(std::int64_t handed, std::int64_t queued, std::int64_t now_ms);

    std::int64_t Total() const { return total_; }
    // Bytes sent on the line.
    std::int64_t Sent() const { return sent_; }
    // Bytes a second; 0 while not known yet.
    double Rate() const { return rate_; }
    // Seconds left at that rate; negative while not known.
    double SecondsLeft() const;

private:
    std::int64_t total_ = 0;
    std::int64_t start_ms_ = 0;
    std::int64_t sent_ = 0;
    double rate_ = 0.0;
    bool queue_reported_ = false; // the driver has shown a queue: its 0 means empty
};

// "Main code (2): 245730 of 491460 bytes, 50%, 11.5 kB/s, 0:21 left": the
// image (1 boot, 2 main), bytes sent of the total, and, once it is known
// (`rate` in bytes a second, 0 before), the rate and the time left.
std::string ProgressText(int image, std::int64_t sent, std::int64_t total, double rate);

} // namespace tollander::app
