// The real payload operations: the payload of the running program's file.
#include "app/payload_link.h"

#include "payload/payload.h"
#include "platform/sound/sound.h"

namespace tollander::app {
namespace {

payload::Image ToPayload(Image image) {
    return image == Image::Boot ? payload::Image::Boot : payload::Image::Main;
}

class PayloadLink final : public PayloadOps {
public:
    PayloadLink(const platform::SelfFile& self, payload::VendorKeys keys) {
        state_.SetVendorKeys(keys);
        if (self.file) state_.SetExeFile(self.path, self.file);
    }
    void SetExePath(const std::string& path) override { state_.SetExePath(path); }
    void DeleteTempFiles() override { state_.DeleteTempFiles(); }
    bool ReadConfigRecord(const IntegrityFn& damaged) override {
        const bool read = state_.ReadConfigRecord();
        if (state_.RecordFault() != 0) damaged(false, state_.RecordFault());
        return read;
    }
    void ParseConfigRecord() override { state_.ParseConfigRecord(); }
    void ApplyConfigRecord() override { state_.ApplyConfigRecord(); }

    void DumpConfigRecord(const LogFn& log) override {
        state_.SetSink({log, {}});
        state_.DumpConfigRecord();
        state_.SetSink({});
        // Debug start-up also tells whether the images will be checked.
        log(state_.DescribeIntegrityBlock());
    }

    void ExtractAlertSound(bool debug, const LogFn& log) override {
        state_.SetDebugMode(debug);
        state_.SetSink({log, {}});
        state_.ExtractAlertSound();
        state_.SetSink({});
    }

    bool ExtractImage(Image image, const IntegrityFn& integrity) override {
        bool passed = false;
        const auto outcome =
            Reporting(integrity, passed, [&] { return state_.ExtractImage(ToPayload(image)); });
        return passed && outcome == payload::ImageOutcome::Done;
    }

    bool ExpandImage(Image image, const IntegrityFn& integrity) override {
        bool passed = false; // reported only on a failure
        return Reporting(integrity, passed, [&] { return state_.ExpandImage(ToPayload(image)); }) ==
               payload::ImageOutcome::Done;
    }

    BlockCheck UploadCheck() const override {
        // No expanded file: nothing may go out.
        auto blocks = state_.UploadCheck();
        if (!blocks)
            return [](std::uint32_t, const std::uint8_t*, std::size_t, bool) { return false; };
        return [blocks](std::uint32_t index, const std::uint8_t* data, std::size_t size,
                        bool last) { return blocks->Matches(index, data, size, last); };
    }
    void DeleteTempFile(const std::string& name) override { payload::DeleteTempFile(name); }
    std::string TempFilePath(const std::string& name) const override {
        return payload::TempFilePath(name);
    }

    int LanguageIndex() const override { return state_.Language() + 1; }
    std::string ModelFamily() const override { return state_.ModelFamily(); }
    std::string ModelCode1() const override { return state_.ModelCode1(); }
    std::string ModelCode2() const override { return state_.ModelCode2(); }
    std::int32_t BootLength() const override { return state_.Config().BootLength; }
    std::string BootModel() const override { return state_.Config().BootModel; }
    bool IgnoreModel() const override { return state_.Config().IgnoreModel; }
    bool CountryFlag(int code) const override {
        return code >= 0 && code < payload::kCountryCount && state_.Config().CountryFlags[code];
    }
    std::int32_t UploadSize() const override { return state_.UploadSize(); }
    std::string CurrentHexFile() const override { return state_.CurrentHexFile(); }
    std::string SoundFile() const override { return payload::SoundFile; }

private:
    // Runs `work` (a step of the payload) with its integrity verdict going
    // to `integrity`; how it ended.
    template <class Work>
    payload::ImageOutcome Reporting(const IntegrityFn& integrity, bool& passed, Work work) {
        state_.SetSink({{}, [&](const payload::IntegrityResult& r) {
                            passed = r.passed;
                            integrity(r.passed, r.open_result);
                        }});
        struct Unhook {
            payload::PayloadState& s;
            ~Unhook() { s.SetSink({}); }
        } unhook{state_};
        return work();
    }

    payload::PayloadState state_{""};
};

class PlayerLink final : public AlertPlayer {
public:
    bool Open(const std::string& path) override { return player_.open(path); }
    bool Play() override { return player_.play(); }
    std::string LastError() const override { return player_.last_error(); }

private:
    platform::MediaPlayer player_;
};

} // namespace

std::unique_ptr<PayloadOps> MakePayloadLink(const platform::SelfFile& self,
                                            payload::VendorKeys keys) {
    return std::make_unique<PayloadLink>(self, keys);
}

std::unique_ptr<AlertPlayer> MakeSystemPlayer() {
    return std::make_unique<PlayerLink>();
}

} // namespace tollander::app
