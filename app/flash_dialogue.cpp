#include "app/flash_dialogue.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "app/conversation.h"
#include "app/main_form.h"
#include "app/probe.h"
#include "payload/config_record.h"

namespace tollander::app {

namespace {

constexpr std::int32_t kCountryTicks = 12; // about 0.66 s per allowed country
constexpr std::int32_t kModelTicks = 27;   // about 1.5 s
constexpr int kAskedCountries = 25;        // only indices 0..24 are ever asked about
constexpr int kCountries = 50;

std::string CountryCodeText(int index) {
    char text[8];
    std::snprintf(text, sizeof text, "%03d", index);
    return text;
}

// The country in a modem's answer to "ATY14": the lines that are neither
// the command's echo nor its "OK", with the table's name for a code.
std::string AnsweredCountry(const std::string& answer) {
    std::string country;
    std::size_t from = 0;
    while (from < answer.size()) {
        std::size_t end = answer.find_first_of("\r\n", from);
        if (end == std::string::npos) end = answer.size();
        const std::string line = answer.substr(from, end - from);
        from = end + 1;
        if (line.empty() || line == "OK" || line.rfind("AT", 0) == 0) continue;
        country += (country.empty() ? "" : " ") + line;
    }
    if (country.size() == 3 && std::all_of(country.begin(), country.end(), [](char c) {
            return c >= '0' && c <= '9';
        })) {
        const std::string_view name = payload::CountryName(std::stoi(country));
        if (!name.empty()) country += " (" + std::string(name) + ")";
    }
    return country;
}

} // namespace

void FlashDialogue::CheckCountry() {
    auto& com = form_.ComPort1();
    auto& payload = form_.Payload();
    com.SetComNumber(form_.Fields().FlashPort);
    form_.Pause(200);

    // One "ATY14" per allowed index below 25, until an answer holds its code.
    // The port is closed here; the first command opens it.
    int i = 0;
    bool asked = false;
    std::string answer;
    for (;;) {
        while (i <= kAskedCountries && !payload.CountryFlag(i))
            ++i;
        if (i >= kAskedCountries) {
            form_.Fields().CountryMismatch = true;
            break;
        }
        const std::string code = CountryCodeText(i);
        com.SendText("ATY14\r");
        ++i;
        form_.Fields().CountryMismatch = AwaitAnswer(com, code, kCountryTicks) == 0;
        asked = true;
        answer = com.LastAnswer();
        if (!form_.Fields().CountryMismatch || i > kAskedCountries - 1) break;
    }

    // An upgrade built for country 0 alone fits every modem.
    if (form_.Fields().CountryMismatch && payload.CountryFlag(0)) {
        bool other = false;
        for (int c = 1; c < kCountries; ++c)
            other = other || payload.CountryFlag(c);
        if (!other) form_.Fields().CountryMismatch = false;
    }

    // Words for the user and the run record: what the modem gave, and what
    // would have fitted.
    std::string& why = form_.MutableOutcome().wrong_country;
    why.clear();
    if (!form_.Fields().CountryMismatch) return;
    std::array<bool, payload::kCountryCount> accepted{};
    for (int c = 0; c < kCountries; ++c)
        accepted[static_cast<std::size_t>(c)] = payload.CountryFlag(c);
    const std::string country = AnsweredCountry(answer);
    if (!asked)
        why = "the modem was not asked for its country, as only countries 0 to 24 can be asked for";
    else if (country.empty())
        why = "the modem gave no country in its answer to ATY14";
    else
        why = "the modem gave country " + country;
    why += "; this flasher accepts " + payload::CountryList(accepted);
}

bool FlashDialogue::EnterFlashMode() {
    auto& com = form_.ComPort1();
    const int port = form_.Fields().FlashPort;
    com.SetComNumber(form_.Fields().FlashPort);
    form_.Pause(500);
    try {
        com.SetOpen(true);
        // Programs that opened the device since the scan, before the flash.
        NoteOtherHolders(form_, port);
        if (form_.Fields().ModemCodeBad[port]) {
            // Its main code is bad, so the modem is sitting at its boot prompt.
            form_.LogNumbered(MsgEnteringFlashMode, port);
            return true;
        }
        form_.Pause(500);
        com.SendText("ATGLOAD7\r");
        if (AwaitAnswer(com, "ERROR^Boot>", kAnswerTicks) == 2) {
            form_.LogNumbered(MsgEnteringFlashMode, port);
            return true;
        }
        form_.LogMessage(MsgNoFlashSupport);
        com.SetOpen(false);
        return false;
    } catch (const StepAborted&) {
        throw;
    } catch (const std::exception& e) {
        form_.LogMessage(MsgCannotOpenPort);
        LogPortFailure(form_, port, &e);
        return false;
    } catch (...) {
        form_.LogMessage(MsgCannotOpenPort);
        LogPortFailure(form_, port, nullptr);
        return false;
    }
}

bool FlashDialogue::CheckUpdateNeeded(const std::string& model_code, Image image) {
    auto& com = form_.ComPort1();
    // An empty model code leaves "ERROR^", whose only alternative is "ERROR".
    const std::string search = "ERROR^" + model_code;
    form_.Pause(200);
    form_.Pause(500);
    com.SendText("ATI0\r");
    if (AwaitAnswer(com, search, kModelTicks) >= 2) {
        form_.LogSuffixed(MsgUpdateNeeded, image);
        return true;
    }
    form_.LogSuffixed(MsgUpdateNotNeeded, image);
    return false;
}

bool FlashDialogue::CheckBootUpdateNeeded() {
    return CheckUpdateNeeded(form_.Payload().ModelCode1(), Image::Boot);
}

bool FlashDialogue::CheckMainUpdateNeeded() {
    if (form_.Payload().IgnoreModel()) return true;
    return CheckUpdateNeeded(form_.Payload().ModelCode2(), Image::Main);
}

void FlashDialogue::SkipBootUpdate() {
    auto& com = form_.ComPort1();
    form_.Pause(500);
    com.SendText("ATGM\r");
    // Whatever the modem says to this stays for the next wait.
    form_.Pause(2000);
}

bool FlashDialogue::StartHexProgramming() {
    auto& com = form_.ComPort1();
    const int port = form_.Fields().FlashPort;
    form_.Pause(500);
    // From its "Prog HEX" on the modem waits for data: a stall of ours from
    // here to the first block counts as one in the middle of the image.
    form_.Protocol1().WatchSender();
    com.SendText("AT{A}\r");
    switch (AwaitAnswer(com, "ERROR^Prog HEX", kAnswerTicks)) {
    case 0:
        form_.LogMessage(MsgNotRespondingAbort);
        form_.SetEditText(port, kNoModemFound);
        com.SetOpen(false);
        return false;
    case 1:
        form_.LogMessage(MsgNoFlashSupport);
        com.SetOpen(false);
        return false;
    default:
        form_.LogNumbered(MsgProgrammingRom, port);
        return true;
    }
}

void FlashDialogue::AwaitProgramResult(std::uint16_t pause_ms) {
    auto& com = form_.ComPort1();
    // No verdict at all counts as success; the answer to "ATGM" decides.
    if (AwaitAnswer(com, "Program was successful^No RX data timeout", kAnswerTicks) == 2)
        form_.LogMessage(MsgProgrammingFailed);
    else
        form_.LogMessage(MsgCheckingModem);
    form_.Pause(pause_ms);
    CheckModemAfterUpload();
}

void FlashDialogue::CheckModemAfterUpload() {
    auto& com = form_.ComPort1();
    form_.Pause(1000);
    com.SendText("ATGM\r");
    switch (AwaitAnswer(com, "OK^Starting^Corrupt", kCodeStartTicks)) {
    case 0:
        form_.LogMessage(MsgNotResponding);
        form_.Fields().ModemAlive = false;
        break;
    case 1:
        form_.LogMessage(MsgCommandMode);
        form_.Fields().ModemAlive = false;
        break;
    case 2:
        form_.Pause(800);
        form_.LogMessage(MsgStartingModemCode);
        form_.Fields().ModemAlive = true;
        break;
    default:
        // The boot loader answered: it is alive, and the main code follows.
        form_.LogMessage(MsgCodeCorrupt);
        form_.Fields().ModemAlive = true;
        break;
    }
}

void FlashDialogue::RewriteNvram() {
    auto& com = form_.ComPort1();
    form_.Pause(200);
    try {
        com.SetOpen(true);
        form_.Pause(500);
        com.SendText("AT&F1S0=0&W&F2S0=0&W1YZ\r");
        form_.Pause(500);
    } catch (const StepAborted&) {
        throw;
    } catch (const std::exception& e) {
        form_.LogMessage(MsgCannotOpenPort);
        LogPortFailure(form_, form_.Fields().FlashPort, &e);
    } catch (...) {
        form_.LogMessage(MsgCannotOpenPort);
        LogPortFailure(form_, form_.Fields().FlashPort, nullptr);
    }
}

} // namespace tollander::app
