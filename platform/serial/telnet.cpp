// The Telnet stream of a serial server: see telnet.h.
#include "platform/serial/telnet.h"

namespace tollander::platform::telnet {

void Parser::Feed(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& data,
                  std::vector<Event>& events) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[i];
        switch (state_) {
        case State::Data:
            if (b == kIac)
                state_ = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == kIac) {
                data.push_back(kIac);
            } else if (b >= kWill) { // WILL, WONT, DO, DONT
                verb_ = b;
                state_ = State::Verb;
            } else if (b == kSb) {
                state_ = State::SbOption;
            } else if (b <= kSe) { // SE with no SB, or no command at all
                events.push_back({Event::Kind::Malformed, b});
            } // NOP, data mark, break, interrupt, go-ahead ...: nothing to do
            break;
        case State::Verb:
            events.push_back({Event::Kind::Negotiation, verb_, b});
            state_ = State::Data;
            break;
        case State::SbOption:
            sb_option_ = b;
            sb_.clear();
            sb_overflow_ = false;
            state_ = b == kIac ? State::SbIac : State::SbData;
            break;
        case State::SbData:
            if (b == kIac) {
                state_ = State::SbIac;
            } else if (sb_.size() < kMaxSubnegotiation) {
                sb_.push_back(b);
            } else {
                sb_overflow_ = true;
            }
            break;
        case State::SbIac:
            if (b == kIac) {
                if (sb_.size() < kMaxSubnegotiation)
                    sb_.push_back(kIac);
                else
                    sb_overflow_ = true;
                state_ = State::SbData;
            } else if (b == kSe) {
                EndSubnegotiation(events);
                state_ = State::Data;
            } else { // an unescaped IAC inside: the subnegotiation is dropped
                events.push_back({Event::Kind::Malformed, b});
                state_ = State::Data;
            }
            break;
        }
    }
}

void Parser::EndSubnegotiation(std::vector<Event>& events) {
    if (sb_overflow_) {
        events.push_back({Event::Kind::Malformed, sb_option_});
        return;
    }
    if (sb_option_ != kComPort) return; // no other option is agreed to
    if (sb_.empty()) {
        events.push_back({Event::Kind::Malformed, sb_option_});
        return;
    }
    events.push_back({Event::Kind::ComPort, sb_[0], sb_.size() > 1 ? sb_[1] : std::uint8_t{0}});
}

bool Negotiator::Wanted(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::vector<std::uint8_t> Negotiator::Opening() {
    std::vector<std::uint8_t> out;
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
        out.insert(out.end(), {kIac, kWill, option});
        ours_asked_[option] = true;
    }
    for (const std::uint8_t option : {kBinary, kSuppressGoAhead}) {
        out.insert(out.end(), {kIac, kDo, option});
        theirs_asked_[option] = true;
    }
    return out;
}

void Negotiator::Answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    auto say = [&](std::uint8_t v) { out.insert(out.end(), {kIac, v, option}); };
    switch (verb) {
    case kDo:
        if (!Wanted(option)) {
            if (!refused_[option]) say(kWont);
            refused_[option] = true;
            return;
        }
        if (!ours_[option] && !ours_asked_[option]) say(kWill);
        ours_[option] = true;
        ours_asked_[option] = false;
        if (option == kComPort) com_port_ = Agreement::Agreed;
        return;
    case kDont:
        if (ours_[option] && !ours_asked_[option]) say(kWont);
        ours_[option] = false;
        ours_asked_[option] = false;
        if (option == kComPort) com_port_ = Agreement::Refused;
        return;
    case kWill:
        if (!Wanted(option) || option == kComPort) {
            if (!refused_[option]) say(kDont);
            refused_[option] = true;
            return;
        }
        if (!theirs_[option] && !theirs_asked_[option]) say(kDo);
        theirs_[option] = true;
        theirs_asked_[option] = false;
        return;
    case kWont:
        if (theirs_[option] && !theirs_asked_[option]) say(kDont);
        theirs_[option] = false;
        theirs_asked_[option] = false;
        return;
    default:
        return;
    }
}

void Escape(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& out) {
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) out.push_back(kIac);
    }
}

void AppendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value,
                      std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kComPort, command});
    Escape(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

} // namespace tollander::platform::telnet
