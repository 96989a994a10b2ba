// The sound output on Windows: PlaySoundW plays the file synchronously on a
// worker thread of its own, the shape the ALSA output has; stopping ends the
// sound with a second PlaySoundW.
#include "platform/sound/sound_os.h"

#include "platform/text_win32.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace tollander::platform::sound_os {

namespace {

class PlaySoundOutput final : public Output {
public:
    ~PlaySoundOutput() override { Halt(); }

    void Load(const std::string& path, WavSound) override { path_ = win32::Widen(path); }

    bool Start(std::string& error) override {
        if (::waveOutGetNumDevs() == 0) {
            error = "no audio device";
            return false;
        }
        playing_ = true;
        worker_ = std::thread([this, &error] {
            if (!::PlaySoundW(path_.c_str(), nullptr, SND_FILENAME | SND_SYNC | SND_NODEFAULT))
                error = "the sound could not be played";
            playing_ = false;
        });
        return true;
    }

    void Halt() override {
        if (worker_.joinable()) {
            ::PlaySoundW(nullptr, nullptr, 0); // ends the synchronous play
            worker_.join();
        }
        playing_ = false;
    }

    bool Playing() const override { return playing_; }

private:
    std::wstring path_;
    std::thread worker_;
    std::atomic<bool> playing_{false};
};

} // namespace

// Windows plays on its default device.
std::unique_ptr<Output> MakeOutput(std::optional<std::string>) {
    return std::make_unique<PlaySoundOutput>();
}

} // namespace tollander::platform::sound_os
