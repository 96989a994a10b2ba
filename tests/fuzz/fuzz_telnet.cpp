// Any bytes as a serial server's Telnet stream: the parser keeps to its
// bounds (no more data or events than bytes), gives the same whatever the
// pieces the stream arrives in, the negotiation answers at most one command
// per request, and escaped data comes back as it was.
#include "platform/serial/telnet.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace tollander::platform;

namespace {

struct Parsed {
    std::vector<std::uint8_t> data;
    std::vector<telnet::Event> events;
};

bool Same(const std::vector<telnet::Event>& a, const std::vector<telnet::Event>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].kind != b[i].kind || a[i].code != b[i].code || a[i].value != b[i].value)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut = bytes[0] % size;
    const std::uint8_t* stream = bytes + 1;
    const std::size_t n = size - 1;

    Parsed whole, pieces;
    telnet::Parser one, two;
    one.Feed(stream, n, whole.data, whole.events);
    two.Feed(stream, cut > n ? n : cut, pieces.data, pieces.events);
    if (cut < n) two.Feed(stream + cut, n - cut, pieces.data, pieces.events);
    if (whole.data.size() > n || whole.events.size() > n) __builtin_trap();
    if (whole.data != pieces.data || !Same(whole.events, pieces.events)) __builtin_trap();

    telnet::Negotiator negotiator;
    std::vector<std::uint8_t> answers = negotiator.Opening();
    for (const auto& e : whole.events) {
        const std::size_t before = answers.size();
        if (e.kind == telnet::Event::Kind::Negotiation) negotiator.Answer(e.code, e.value, answers);
        if (answers.size() - before > 3) __builtin_trap();
    }
    if (negotiator.ComPortAgreed() && negotiator.ComPortRefused()) __builtin_trap();

    std::vector<std::uint8_t> escaped;
    telnet::Escape(stream, n, escaped);
    Parsed back;
    telnet::Parser three;
    three.Feed(escaped.data(), escaped.size(), back.data, back.events);
    if (!back.events.empty() || back.data != std::vector<std::uint8_t>(stream, stream + n))
        __builtin_trap();
    return 0;
}
