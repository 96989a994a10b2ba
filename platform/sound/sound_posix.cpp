// The sound output on Linux: ALSA, fed from a worker thread in short
// slices so that a stop is seen quickly.
#include "platform/sound/sound_os.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace tollander::platform::sound_os {

namespace {

// ALSA reports every failed lookup of a card on stderr; the reason reaches
// the caller through last_error() instead.
void QuietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

void InstallQuietHandler() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaErrors); });
}

class AlsaOutput final : public Output {
public:
    explicit AlsaOutput(std::string device) : device_(std::move(device)) {}
    ~AlsaOutput() override { Halt(); }

    void Load(const std::string&, WavSound sound) override { sound_ = std::move(sound); }

    bool Start(std::string& error) override {
        InstallQuietHandler();
        snd_pcm_t* pcm = nullptr;
        int rc = snd_pcm_open(&pcm, device_.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (rc < 0) {
            error = "no audio device (" + device_ + "): " + snd_strerror(rc);
            return false;
        }
        const WavSound& s = sound_;
        const snd_pcm_format_t format = s.bits == 8    ? SND_PCM_FORMAT_U8
                                        : s.bits == 16 ? SND_PCM_FORMAT_S16_LE
                                        : s.bits == 24 ? SND_PCM_FORMAT_S24_3LE
                                                       : SND_PCM_FORMAT_S32_LE;
        rc = snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, s.channels, s.rate, 1,
                                200000);
        if (rc < 0) {
            snd_pcm_close(pcm);
            error = std::string("audio device refused the format: ") + snd_strerror(rc);
            return false;
        }
        playing_ = true;
        worker_ = std::thread([this, pcm] { play_to_end(pcm); });
        return true;
    }

    void Halt() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        if (worker_.joinable()) worker_.join();
        stop_ = false;
    }

    bool Playing() const override { return playing_; }

private:
    // Runs on the worker: feeds the device in short slices so that a stop
    // request is seen within one wait of at most 100 ms.
    void play_to_end(snd_pcm_t* pcm) {
        const std::size_t frame = sound_.channels * (sound_.bits / 8);
        const std::size_t frames = sound_.samples.size() / frame;
        std::size_t done = 0;
        while (!stop_ && done < frames) {
            const auto slice =
                static_cast<snd_pcm_uframes_t>(std::min<std::size_t>(frames - done, 4096));
            const snd_pcm_sframes_t n =
                snd_pcm_writei(pcm, sound_.samples.data() + done * frame, slice);
            if (n == -EAGAIN) {
                snd_pcm_wait(pcm, 100);
            } else if (n < 0) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0) break;
            } else {
                done += static_cast<std::size_t>(n);
            }
        }
        // Let what is queued in the device play out, unless stopped first.
        snd_pcm_sframes_t delay = 0;
        if (!stop_ && snd_pcm_delay(pcm, &delay) == 0 && delay > 0) {
            const auto rest =
                std::chrono::milliseconds(static_cast<long long>(delay) * 1000 / sound_.rate + 1);
            std::unique_lock lock(mutex_);
            stopped_.wait_for(lock, rest, [this] { return stop_.load(); });
        }
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
        playing_ = false;
    }

    std::string device_;
    WavSound sound_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> playing_{false};
};

} // namespace

std::unique_ptr<Output> MakeOutput(std::optional<std::string> device) {
    return std::make_unique<AlsaOutput>(device.value_or("default"));
}

} // namespace tollander::platform::sound_os
