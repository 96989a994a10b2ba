#include "platform/sound.h"

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

namespace tollander::platform {

namespace {

// ALSA reports every failed lookup of a card on stderr; the reason reaches
// the caller through last_error() instead.
void quiet_alsa_errors(const char*, int, const char*, int, const char*, ...) {}

void install_quiet_handler() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(quiet_alsa_errors); });
}

} // namespace

struct MediaPlayer::Impl {
    std::string device = "default";
    std::string error;
    WavSound sound;
    bool loaded = false;
    std::thread worker;
    std::mutex mutex;
    std::condition_variable stopped;
    std::atomic<bool> stop{false};
    std::atomic<bool> playing{false};

    void halt() {
        {
            std::lock_guard lock(mutex);
            stop = true;
        }
        stopped.notify_all();
        if (worker.joinable()) worker.join();
        stop = false;
    }

    // Runs on the worker: feeds the device in short slices so that a stop
    // request is seen within one wait of at most 100 ms.
    void play_to_end(snd_pcm_t* pcm) {
        const std::size_t frame = sound.channels * (sound.bits / 8);
        const std::size_t frames = sound.samples.size() / frame;
        std::size_t done = 0;
        while (!stop && done < frames) {
            const auto slice =
                static_cast<snd_pcm_uframes_t>(std::min<std::size_t>(frames - done, 4096));
            const snd_pcm_sframes_t n =
                snd_pcm_writei(pcm, sound.samples.data() + done * frame, slice);
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
        if (!stop && snd_pcm_delay(pcm, &delay) == 0 && delay > 0) {
            const auto rest =
                std::chrono::milliseconds(static_cast<long long>(delay) * 1000 / sound.rate + 1);
            std::unique_lock lock(mutex);
            stopped.wait_for(lock, rest, [this] { return stop.load(); });
        }
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
        playing = false;
    }
};

MediaPlayer::MediaPlayer() : impl_(std::make_unique<Impl>()) {}

MediaPlayer::MediaPlayer(std::string device) : impl_(std::make_unique<Impl>()) {
    impl_->device = std::move(device);
}

MediaPlayer::~MediaPlayer() {
    impl_->halt();
}

bool MediaPlayer::open(const std::string& path) {
    close();
    WavSound sound;
    if (!read_wav_file(path, sound, impl_->error)) return false;
    impl_->sound = std::move(sound);
    impl_->loaded = true;
    impl_->error.clear();
    return true;
}

bool MediaPlayer::play() {
    if (!impl_->loaded) {
        impl_->error = "no sound opened";
        return false;
    }
    impl_->halt();
    install_quiet_handler();
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, impl_->device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (rc < 0) {
        impl_->error = "no audio device (" + impl_->device + "): " + snd_strerror(rc);
        return false;
    }
    const WavSound& s = impl_->sound;
    const snd_pcm_format_t format = s.bits == 8    ? SND_PCM_FORMAT_U8
                                    : s.bits == 16 ? SND_PCM_FORMAT_S16_LE
                                    : s.bits == 24 ? SND_PCM_FORMAT_S24_3LE
                                                   : SND_PCM_FORMAT_S32_LE;
    rc = snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED, s.channels, s.rate, 1,
                            200000);
    if (rc < 0) {
        snd_pcm_close(pcm);
        impl_->error = std::string("audio device refused the format: ") + snd_strerror(rc);
        return false;
    }
    impl_->playing = true;
    impl_->worker = std::thread([impl = impl_.get(), pcm] { impl->play_to_end(pcm); });
    return true;
}

bool MediaPlayer::playing() const {
    return impl_->playing;
}

void MediaPlayer::close() {
    impl_->halt();
    impl_->loaded = false;
    impl_->sound = WavSound{};
}

const std::string& MediaPlayer::last_error() const {
    return impl_->error;
}

} // namespace tollander::platform
