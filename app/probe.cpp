#include "app/probe.h"

#include "app/conversation.h"
#include "app/main_form.h"
#include "serial/comm_errors.h"

namespace tollander::app {

namespace {

constexpr char kNoModem[] = "No modem found.";

std::string PortName(int port) {
    return "COM" + std::to_string(port);
}

} // namespace

void LogPortMapping(MainForm& form, int port) {
    if (!form.sequencer().DebugMode) return;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(port));
    if (device.empty())
        form.LogLine(PortName(port) + " has no device mapped.");
    else
        form.LogLine(PortName(port) + " is mapped to " + device + ".");
}

void LogPortFailure(MainForm& form, int port, const std::exception* error) {
    if (!form.sequencer().DebugMode) return;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(port));
    // A port without a device was named as such already.
    if (device.empty()) return;
    std::string reason;
    if (const auto* comm = dynamic_cast<const serial::ECommException*>(error))
        reason = comm->OsReason;
    if (reason.empty()) reason = error ? error->what() : "unknown error";
    // The reason often repeats the path ("/dev/ttyS0: Permission denied").
    if (const auto colon = reason.rfind(": "); colon != std::string::npos)
        reason.erase(0, colon + 2);
    std::string line = PortName(port) + " (" + device + "): " + reason;
    // The usual first hurdle on Linux: serial devices belong to the dialout
    // group, and a new membership counts only after logging in again.
    if (reason.find("Permission denied") != std::string::npos &&
        reason.find("dialout") == std::string::npos)
        line += " -- add your user to the dialout group (sudo usermod -aG dialout $USER), "
                "then log out and in again.";
    else if (reason.find("temporarily unavailable") != std::string::npos ||
             reason.find("busy") != std::string::npos)
        line += " -- another program holds the port.";
    form.LogLine(line);
}

void Probe::ProbePort(std::uint8_t port) {
    auto& com = form_.ComPort1();
    com.SetComNumber(port);
    form_.Pause(300);
    LogPortMapping(form_, port);

    try {
        com.SetOpen(true);
        com.SendText("AT\r");
        switch (AwaitAnswer(com, "OK^Boot>", kAnswerTicks)) {
        case 0:
            form_.LogNumbered(MsgNoDevice, port);
            form_.SetEditText(port, kNoModem);
            form_.ModemFound[port] = false;
            break;
        case 1:
            form_.LogNumbered(MsgDevicePresent, port);
            form_.ModemFound[port] = true;
            break;
        case 2:
            form_.LogNumbered(MsgInFlashMode, port);
            form_.Pause(100);
            com.SendText("ATGM\r");
            switch (AwaitAnswer(com, "Starting Modem Code^Corrupt^Missing", kCodeStartTicks)) {
            case 1:
                form_.ModemFound[port] = true;
                form_.Pause(800);
                break;
            case 2:
                form_.ModemFound[port] = true;
                form_.ModemCodeBad[port] = true;
                form_.LogMessage(MsgCodeCorruptOn);
                break;
            case 3:
                form_.ModemFound[port] = true;
                form_.ModemCodeBad[port] = true;
                form_.LogMessage(MsgCodeMissingOn);
                break;
            default:
                break; // a silent boot loader is not identified further
            }
            break;
        }
        form_.Pause(100);

        const std::string family = form_.payload().ModelFamily();
        if (form_.ModemFound[port]) {
            com.SendText("ATI3\r");
            if (AwaitAnswer(com, family + "^Boot>", kAnswerTicks) == 0) {
                form_.SetEditText(port, "Not a " + family + " modem");
                form_.ModemFound[port] = false;
            } else {
                // The family text, or the boot prompt: a modem at its boot
                // loader counts as one of ours.
                form_.SetEditText(port, family + " modem found.");
                ++form_.ModemCount;
                form_.SetChecked(port, true);
                form_.PortFlashable[port] = true;
            }
        }
    } catch (const StepAborted&) {
        com.SetOpen(false);
        throw;
    } catch (const std::exception& e) {
        // A port that cannot be opened or written is a port without a modem.
        form_.SetEditText(port, kNoModem);
        LogPortFailure(form_, port, &e);
    } catch (...) {
        form_.SetEditText(port, kNoModem);
        LogPortFailure(form_, port, nullptr);
    }

    form_.sequencer().StepNumber = StepAfterScanOf(port);
    form_.StartTimer1();
    com.SetOpen(false);
}

} // namespace tollander::app
