// The media player the same on every system: a sound is read and checked
// when it is opened, and played by the system's output (sound_os.h).
#include "platform/sound/sound.h"

#include "platform/sound/sound_os.h"

namespace tollander::platform {

struct MediaPlayer::Impl {
    std::string error;
    bool loaded = false;
    std::unique_ptr<sound_os::Output> output; // after error: it may write there until it ends
};

MediaPlayer::MediaPlayer() : impl_(std::make_unique<Impl>()) {
    impl_->output = sound_os::MakeOutput(std::nullopt);
}

MediaPlayer::MediaPlayer(std::string device) : impl_(std::make_unique<Impl>()) {
    impl_->output = sound_os::MakeOutput(std::move(device));
}

MediaPlayer::~MediaPlayer() {
    impl_->output->Halt();
}

bool MediaPlayer::open(const std::string& path) {
    close();
    WavSound sound;
    if (!ReadWavFile(path, sound, impl_->error)) return false;
    impl_->output->Load(path, std::move(sound));
    impl_->loaded = true;
    impl_->error.clear();
    return true;
}

bool MediaPlayer::play() {
    if (!impl_->loaded) {
        impl_->error = "no sound opened";
        return false;
    }
    impl_->output->Halt();
    return impl_->output->Start(impl_->error);
}

bool MediaPlayer::playing() const {
    return impl_->output->Playing();
}

void MediaPlayer::close() {
    impl_->output->Halt();
    impl_->loaded = false;
    impl_->output->Load({}, {});
}

const std::string& MediaPlayer::last_error() const {
    return impl_->error;
}

} // namespace tollander::platform
