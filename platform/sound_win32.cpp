// The media player on Windows: PlaySoundW plays the file synchronously on a
// worker thread of its own, the shape the ALSA player has; stopping ends the
// sound with a second PlaySoundW.
#include "platform/sound.h"

#include "platform/text_win32.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tollander::platform {

struct MediaPlayer::Impl {
    std::string error;
    std::wstring path;
    bool loaded = false;
    std::thread worker;
    std::atomic<bool> playing{false};

    void halt() {
        if (worker.joinable()) {
            ::PlaySoundW(nullptr, nullptr, 0); // ends the synchronous play
            worker.join();
        }
        playing = false;
    }
};

MediaPlayer::MediaPlayer() : impl_(std::make_unique<Impl>()) {}

// Windows plays on its default device.
MediaPlayer::MediaPlayer(std::string) : impl_(std::make_unique<Impl>()) {}

MediaPlayer::~MediaPlayer() {
    impl_->halt();
}

bool MediaPlayer::open(const std::string& path) {
    close();
    // The same check as everywhere: a file we cannot play is refused here.
    WavSound sound;
    if (!read_wav_file(path, sound, impl_->error)) return false;
    impl_->path = win32::Widen(path);
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
    if (::waveOutGetNumDevs() == 0) {
        impl_->error = "no audio device";
        return false;
    }
    impl_->playing = true;
    impl_->worker = std::thread([impl = impl_.get()] {
        if (!::PlaySoundW(impl->path.c_str(), nullptr, SND_FILENAME | SND_SYNC | SND_NODEFAULT))
            impl->error = "the sound could not be played";
        impl->playing = false;
    });
    return true;
}

bool MediaPlayer::playing() const {
    return impl_->playing;
}

void MediaPlayer::close() {
    impl_->halt();
    impl_->loaded = false;
    impl_->path.clear();
}

const std::string& MediaPlayer::last_error() const {
    return impl_->error;
}

} // namespace tollander::platform
