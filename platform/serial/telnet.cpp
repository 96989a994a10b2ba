// The Telnet stream of a serial server: see telnet.h.
#include "platform/serial/telnet.h"

namespace tollander::platform::telnet {

void Parser::feed(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& data,
                  std::vector<Event>& events) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[i];
        switch (state_) {
        case State::data:
            if (b == kIac)
                state_ = State::iac;
            else
                data.push_back(b);
            break;
        case State::iac:
            state_ = State::data;
            if (b == kIac) {
                data.push_back(kIac);
            } else if (b >= kWill) { // WILL, WONT, DO, DONT
                verb_ = b;
                state_ = State::verb;
            } else if (b == kSb) {
                state_ = State::sb_option;
            } else if (b <= kSe) { // SE with no SB, or no command at all
                events.push_back({Event::Kind::malformed, b});
            } // NOP, data mark, break, interrupt, go-ahead ...: nothing to do
            break;
        case State::verb:
            events.push_back({Event::Kind::negotiation, verb_, b});
            state_ = State::data;
            break;
        case State::sb_option:
            sb_option_ = b;
            sb_.clear();
            sb_overflow_ = false;
            state_ = b == kIac ? State::sb_iac : State::sb_data;
            break;
        case State::sb_data:
            if (b == kIac) {
                state_ = State::sb_iac;
            } else if (sb_.size() < kMaxSubnegotiation) {
                sb_.push_back(b);
            } else {
                sb_overflow_ = true;
            }
            break;
        case State::sb_iac:
            if (b == kIac) {
                if (sb_.size() < kMaxSubnegotiation)
                    sb_.push_back(kIac);
                else
                    sb_overflow_ = true;
                state_ = State::sb_data;
            } else if (b == kSe) {
                end_subnegotiation(events);
                state_ = State::data;
            } else { // an unescaped IAC inside: the subnegotiation is dropped
                events.push_back({Event::Kind::malformed, b});
                state_ = State::data;
            }
            break;
        }
    }
}

void Parser::end_subnegotiation(std::vector<Event>& events) {
    if (sb_overflow_) {
        events.push_back({Event::Kind::malformed, sb_option_});
        return;
    }
    if (sb_option_ != kComPort) return; // no other option is agreed to
    if (sb_.empty()) {
        events.push_back({Event::Kind::malformed, sb_option_});
        return;
    }
    events.push_back({Event::Kind::com_port, sb_[0], sb_.size() > 1 ? sb_[1] : std::uint8_t{0}});
}

bool Negotiator::wanted(std::uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}

std::vector<std::uint8_t> Negotiator::opening() {
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

void Negotiator::answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& out) {
    auto say = [&](std::uint8_t v) { out.insert(out.end(), {kIac, v, option}); };
    switch (verb) {
    case kDo:
        if (!wanted(option)) {
            if (!refused_[option]) say(kWont);
            refused_[option] = true;
            return;
        }
        if (!ours_[option] && !ours_asked_[option]) say(kWill);
        ours_[option] = true;
        ours_asked_[option] = false;
        if (option == kComPort) com_port_ = Agreement::agreed;
        return;
    case kDont:
        if (ours_[option] && !ours_asked_[option]) say(kWont);
        ours_[option] = false;
        ours_asked_[option] = false;
        if (option == kComPort) com_port_ = Agreement::refused;
        return;
    case kWill:
        if (!wanted(option) || option == kComPort) {
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

void escape(const std::uint8_t* bytes, std::size_t n, std::vector<std::uint8_t>& out) {
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) out.push_back(kIac);
    }
}

void com_port_command(std::uint8_t command, const std::vector<std::uint8_t>& value,
                      std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kComPort, command});
    escape(value.data(), value.size(), out);
    out.insert(out.end(), {kIac, kSe});
}

} // namespace tollander::platform::telnet
