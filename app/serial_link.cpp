// The real ComPort1 and Protocol1 behind the form's interfaces, with the
// settings the main window gives them, and MakeSystemDevices().
#include "app/devices.h"
#include "app/modem_dialogue.h"
#include "app/payload_link.h"
#include "platform/serial/port_map.h"
#include "serial/com_port.h"
#include "serial/port_table.h"
#include "serial/protocol.h"

namespace tollander::app {
namespace {

class PortLink final : public ModemPort {
public:
    explicit PortLink(platform::WindowThread& window) : port_(window) {
        port_.BeginLoading();
        port_.SetComNumber(1);
        port_.SetBaud(115200);
        port_.SetInSize(8192);
        port_.SetOutSize(8192);
        port_.SetHWFlowOptions({serial::hwfUseRTS, serial::hwfRequireCTS});
        port_.SetBufferFull(7372);
        port_.SetBufferResume(818);
        port_.SetTraceName("COMM.TRC");
        port_.SetTraceHex(false);
        port_.SetLogName("COMM.LOG");
        port_.SetTapiMode(serial::tmNone);
        port_.EndLoading();
        port_.OnTriggerAvail = [this](serial::TCustomComPort&, std::uint16_t count) {
            if (OnTriggerAvail) OnTriggerAvail(count);
        };
        port_.OnTriggerData = [this](serial::TCustomComPort&, std::uint16_t handle) {
            if (OnTriggerData) OnTriggerData(handle);
        };
        port_.OnWaitChar = [this](serial::TCustomComPort&, char c) {
            if (answer_.size() == kAnswerKept) answer_.erase(0, 1);
            answer_ += c;
        };
        window_ = &window;
    }

    serial::TComPort& Port() { return port_; }

    void SetComNumber(std::uint16_t n) override { port_.SetComNumber(n); }
    std::uint16_t ComNumber() const override { return port_.ComNumber(); }
    void SetBaud(std::int32_t baud) override { port_.SetBaud(baud); }
    void SetOpen(bool open) override { port_.SetOpen(open); }
    bool Open() const override { return port_.Open(); }

    void SendText(const std::string& text) override {
        // Once the window closes nothing more goes to the modem.
        if (window_->terminating()) throw StepAborted{};
        port_.SendText(text);
    }

    int AwaitAnyText(const std::string& alternatives, std::int32_t timeout_ticks, bool yield,
                     bool ignore_case, char separator) override {
        answer_.clear();
        const int found =
            port_.AwaitAnyText(alternatives, timeout_ticks, yield, ignore_case, separator);
        // A wait cut short by the closing window is not a time-out: the step
        // must not go on as if the modem had stayed silent.
        if (window_->terminating()) throw StepAborted{};
        return found;
    }

    std::string LastAnswer() const override { return answer_; }

    std::uint16_t NewDataTrigger(const std::string& text, bool ignore_case) override {
        return port_.NewDataTrigger(text, ignore_case);
    }
    void DeleteTrigger(std::uint16_t handle) override { port_.DeleteTrigger(handle); }
    char ReadChar() override { return port_.ReadChar(); }
    void ReadChars(std::uint16_t count, std::string& text) override {
        port_.ReadChars(count, text);
    }
    std::int64_t OutputQueued() const override {
        return port_.ReallyOpen() ? serial::OutputCount(port_.PortIndex()) : 0;
    }

    std::string DeviceName(std::uint16_t n) const override { return platform::ComDevicePath(n); }
    std::string LastWriteFailure() const override { return port_.LastWriteFailure(); }
    std::string LineClosure() const override { return port_.LineClosure(); }

private:
    static constexpr std::size_t kAnswerKept = 256;
    serial::TComPort port_;
    platform::WindowThread* window_ = nullptr;
    std::string answer_; // read by the last wait
};

class ProtocolLink final : public Uploader {
public:
    ProtocolLink(platform::WindowThread& window, serial::TComPort& port)
        : protocol_(window, &port) {
        protocol_.SetProtocolType(serial::ptAscii);
        protocol_.SetBlockCheckMethod(serial::bcmNone);
        protocol_.Other.HandshakeWait = 1092;
        protocol_.Other.Overhead = 20;
        // Paths are case-sensitive here: the temporary file is opened by
        // its path as it is.
        protocol_.SetUpcaseFileNames(false);
        protocol_.OnProtocolStatus = [this](serial::TCustomProtocol&, std::uint16_t options) {
            if (OnProtocolStatus) OnProtocolStatus(options);
        };
        protocol_.OnProtocolFinish = [this](serial::TCustomProtocol&, int code) {
            if (OnProtocolFinish) OnProtocolFinish(code);
        };
        protocol_.OnProtocolError = [this](serial::TCustomProtocol&, int code) {
            if (OnProtocolError) OnProtocolError(code);
        };
    }

    void StartAsciiSend(const std::string& file, const BlockCheck& check) override {
        protocol_.SetProtocolType(serial::ptAscii);
        protocol_.SetFileName(file);
        protocol_.SetBlockVerifier(check);
        protocol_.BeginSend();
    }
    void WatchSender() override { protocol_.WatchSender(); }
    std::uint16_t BlockSize() const override { return protocol_.BlockSize(); }
    std::int64_t BytesHanded() const override { return protocol_.BytesTransferred(); }

private:
    serial::TProtocol protocol_;
};

} // namespace

Devices MakeSystemDevices(platform::WindowThread& window, const platform::SelfFile& self,
                          payload::VendorKeys keys) {
    Devices devices;
    auto port = std::make_unique<PortLink>(window);
    devices.protocol = std::make_unique<ProtocolLink>(window, port->Port());
    devices.port = std::move(port);
    devices.payload = MakePayloadLink(self, keys);
    devices.make_player = [] { return MakeSystemPlayer(); };
    devices.make_dialogue = [](MainForm& form) { return MakeStandardDialogue(form); };
    return devices;
}

} // namespace tollander::app
