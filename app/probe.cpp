#include "app/probe.h"

#include "app/conversation.h"
#include "app/main_form.h"
#include "platform/serial/port_info.h"
#include "serial/comm_errors.h"

namespace tollander::app {

namespace {

std::string PortName(int port) {
    return "COM" + std::to_string(port);
}

// "COMn (<device>): ", or "COMn: " for a port without one.
std::string NotePrefix(int port, const std::string& device) {
    return PortName(port) + (device.empty() ? "" : " (" + device + ")") + ": ";
}

// The row's note, shown by the front ends on every run; with /ud also a line
// of the event log (the row's text and the log's fixed lines stay as they
// are).
void SetNote(MainForm& form, int port, std::string note, bool log) {
    form.Fields().PortNote[port] = std::move(note);
    form.Changed();
    if (log && form.TheSequencer().DebugMode) form.LogLine(form.Fields().PortNote[port]);
}

std::string PortFailureText(int port, const std::string& device, platform::DeviceFault fault,
                            std::string os_text) {
    // The system's words often repeat the path ("/dev/ttyS0: I/O error").
    if (const auto colon = os_text.find(": "); colon != std::string::npos)
        os_text.erase(0, colon + 2);
    std::string text = NotePrefix(port, device) + platform::FaultSentence(fault, device, os_text);
    if (fault == platform::DeviceFault::Busy) {
        if (const auto holders = platform::DeviceHolders(device); !holders.empty())
            text += " (open in " + platform::HoldersText(holders) + ")";
    }
    return text;
}

} // namespace

void LogPortMapping(MainForm& form, int port) {
    if (!form.TheSequencer().DebugMode) return;
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(port));
    if (device.empty())
        form.LogLine(PortName(port) + " has no device mapped.");
    else
        form.LogLine(PortName(port) + " is mapped to " + device + ".");
}

void LogPortFailure(MainForm& form, int port, const std::exception* error) {
    platform::DeviceFault fault = platform::DeviceFault::Other;
    std::string os_text;
    if (const auto* comm = dynamic_cast<const serial::ECommException*>(error)) {
        fault = comm->OsFault;
        os_text = comm->OsReason;
    }
    if (os_text.empty()) os_text = error ? error->what() : "unknown error";
    LogPortFailure(form, port, fault, os_text);
}

void LogPortFailure(MainForm& form, int port, platform::DeviceFault fault,
                    const std::string& os_text) {
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(port));
    // The log named a port without a device as such already.
    SetNote(form, port, PortFailureText(port, device, fault, os_text), !device.empty());
}

void NoteOtherHolders(MainForm& form, int port) {
    const std::string device = form.ComPort1().DeviceName(static_cast<std::uint16_t>(port));
    if (device.empty()) return;
    const auto holders = platform::DeviceHolders(device);
    if (holders.empty()) return;
    // Our exclusive open keeps out only the programs that come after it.
    SetNote(form, port,
            NotePrefix(port, device) + "also open in " + platform::HoldersText(holders) +
                ", which may write to the modem during the flash",
            true);
}

void Probe::ProbePort(std::uint8_t port) {
    auto& com = form_.ComPort1();
    com.SetComNumber(port);
    form_.Pause(300);
    LogPortMapping(form_, port);
    form_.Fields().PortNote[port].clear();

    bool silent = false; // nothing answered AT
    try {
        com.SetOpen(true);
        NoteOtherHolders(form_, port);
        com.SendText("AT\r");
        switch (AwaitAnswer(com, "OK^Boot>", kAnswerTicks)) {
        case 0:
            form_.LogNumbered(MsgNoDevice, port);
            form_.SetEditText(port, kNoModemFound);
            form_.Fields().ModemFound[port] = false;
            silent = true;
            break;
        case 1:
            form_.LogNumbered(MsgDevicePresent, port);
            form_.Fields().ModemFound[port] = true;
            break;
        case 2:
            form_.LogNumbered(MsgInFlashMode, port);
            form_.Pause(100);
            com.SendText("ATGM\r");
            switch (AwaitAnswer(com, "Starting Modem Code^Corrupt^Missing", kCodeStartTicks)) {
            case 1:
                form_.Fields().ModemFound[port] = true;
                form_.Pause(800);
                break;
            case 2:
                form_.Fields().ModemFound[port] = true;
                form_.Fields().ModemCodeBad[port] = true;
                form_.LogMessage(MsgCodeCorruptOn);
                break;
            case 3:
                form_.Fields().ModemFound[port] = true;
                form_.Fields().ModemCodeBad[port] = true;
                form_.LogMessage(MsgCodeMissingOn);
                break;
            default:
                break; // a silent boot loader is not identified further
            }
            break;
        }
        form_.Pause(100);

        const std::string family = form_.Payload().ModelFamily();
        if (form_.Fields().ModemFound[port]) {
            com.SendText("ATI3\r");
            if (AwaitAnswer(com, family + "^Boot>", kAnswerTicks) == 0) {
                form_.SetEditText(port, "Not a " + family + " modem");
                form_.Fields().ModemFound[port] = false;
            } else {
                // The family text, or the boot prompt: a modem at its boot
                // loader counts as one of ours.
                form_.SetEditText(port, family + " modem found.");
                ++form_.Fields().ModemCount;
                form_.SetChecked(port, true);
                form_.Fields().PortFlashable[port] = true;
            }
        }
        // A line the far end closed says why, whether the close came before
        // the AT went out (the write failed with it) or after: a serial
        // server that gives the port to another client says so, then closes.
        if (const std::string closure = com.LineClosure(); !closure.empty())
            LogPortFailure(form_, port, platform::DeviceFault::Closed, closure);
        else if (silent)
            SetNote(form_, port,
                    NotePrefix(port, com.DeviceName(port)) + "the device opened, but nothing "
                        "answered AT within " + std::to_string(kAnswerTicks * kTickMillis) + " ms",
                    true);
    } catch (const StepAborted&) {
        com.SetOpen(false);
        throw;
    } catch (const std::exception& e) {
        // A port that cannot be opened or written is a port without a modem.
        form_.SetEditText(port, kNoModemFound);
        LogPortFailure(form_, port, &e);
    } catch (...) {
        form_.SetEditText(port, kNoModemFound);
        LogPortFailure(form_, port, nullptr);
    }

    form_.TheSequencer().StepNumber = StepAfterScanOf(port);
    form_.StartTimer1();
    com.SetOpen(false);
}

} // namespace tollander::app
