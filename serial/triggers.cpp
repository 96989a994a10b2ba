#include "serial/triggers.h"

#include "platform/serial/serial_device.h"

#include <algorithm>
#include <cassert>

namespace tollander::serial {

namespace {

// The upper-case mapping of the 8-bit character set the modem dialogue uses.
std::uint8_t Upper(std::uint8_t c) {
    if (c >= 'a' && c <= 'z') return c - 32;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
    switch (c) {
    case 0x9A:
        return 0x8A;
    case 0x9C:
        return 0x8C;
    case 0x9E:
        return 0x8E;
    case 0xFF:
        return 0x9F;
    default:
        return c;
    }
}

// One received character offered to one data trigger; true on a match. The
// counters are partial matches in progress, so a text whose beginning repeats
// inside it is still found.
bool MatchStep(DataSlot& slot, std::uint8_t ch) {
    if (slot.ignore_case) ch = Upper(ch);
    const int length = slot.length;
    bool matched = false;
    bool one_seen = false;
    for (int i = 0; i < length; ++i) {
        const std::uint16_t k = slot.state[i];
        const bool work = i == 0 || k != 0 || (ch == slot.text[0] && !one_seen);
        if (!work) continue;
        if (slot.text[k] == ch) {
            if (k == length - 1) {
                std::fill(slot.state, slot.state + length, 0);
                matched = true;
                one_seen = false;
                continue;
            }
            slot.state[i] = k + 1;
        } else {
            slot.state[i] = ch == slot.text[0] ? 1 : 0;
        }
        if (slot.state[i] == 1) one_seen = true;
    }
    return matched;
}

bool IsOutputKind(std::uint16_t kind) {
    return kind == kStatusOutRoom || kind == kStatusOutCount || kind == kStatusOutSent;
}

// The image is little-endian with fixed slot sizes, whatever the compiler's
// layout of the tables.
class ImageWriter {
public:
    explicit ImageWriter(TriggerImage& image) : image_(image) { image_.fill(0); }
    void U8(std::uint8_t v) { image_[pos_++] = v; }
    void U16(std::uint16_t v) {
        U8(v & 0xFF);
        U8(v >> 8);
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Skip(std::size_t n) { pos_ += n; }
    std::size_t Pos() const { return pos_; }

private:
    TriggerImage& image_;
    std::size_t pos_ = 0;
};

class ImageReader {
public:
    explicit ImageReader(const TriggerImage& image) : image_(image) {}
    std::uint8_t U8() { return image_[pos_++]; }
    std::uint16_t U16() {
        const std::uint16_t lo = U8();
        return static_cast<std::uint16_t>(lo | (U8() << 8));
    }
    std::uint32_t U32() {
        const std::uint32_t lo = U16();
        return lo | (std::uint32_t{U16()} << 16);
    }
    void Skip(std::size_t n) { pos_ += n; }

private:
    const TriggerImage& image_;
    std::size_t pos_ = 0;
};

} // namespace

// ---- Handles and slots ----

int TriggerTables::NewHandle(std::uint8_t kind, std::uint16_t slot) {
    for (TriggerHandle h = 2; h <= kMaxTriggerHandle; ++h) {
        if (handles_[h].slot == 0) {
            handles_[h] = {slot, kind};
            reissued.set(h);
            return h;
        }
    }
    return ecNoMoreTriggers;
}

void TriggerTables::FreeSlotOf(TriggerHandle h) {
    const auto entry = handles_[h];
    if (entry.slot == 0) return;
    const int s = entry.slot - 1;
    if (entry.kind == kKindTimer) timers_[s] = {};
    if (entry.kind == kKindData) data_[s] = {};
    if (entry.kind == kKindStatus) {
        status_[s] = {};
        fired_[s] = false;
    }
    handles_[h] = {};
}

const HandleEntry* TriggerTables::Entry(TriggerHandle handle, std::uint8_t kind) const {
    if (handle < 2 || handle > kMaxTriggerHandle) return nullptr;
    const auto& entry = handles_[handle];
    return entry.kind == kind && entry.slot != 0 ? &entry : nullptr;
}

int TriggerTables::NewData(const char* text, bool ignore_case, std::uint16_t length) {
    if (length > kMaxDataTriggerLength) return ecTriggerTooLong;
    if (length == 0) return ecBadArgument;
    for (int s = 0; s < kDataSlots; ++s) {
        auto& slot = data_[s];
        if (slot.length != 0) continue;
        const int handle = NewHandle(kKindData, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.length = length;
        slot.ignore_case = ignore_case;
        for (int i = 0; i < length; ++i) {
            const auto c = static_cast<std::uint8_t>(text[i]);
            slot.text[i] = ignore_case ? Upper(c) : c;
        }
        return handle;
    }
    return ecNoMoreTriggers;
}

int TriggerTables::NewTimer() {
    for (int s = 0; s < kTimerSlots; ++s) {
        auto& slot = timers_[s];
        if (slot.in_use) continue;
        const int handle = NewHandle(kKindTimer, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.in_use = 1;
        return handle;
    }
    return ecNoMoreTriggers;
}

int TriggerTables::NewStatus(std::uint16_t kind) {
    if (kind == 0 || kind > kStatusOutSent) return ecBadArgument;
    for (int s = 0; s < kStatusSlots; ++s) {
        auto& slot = status_[s];
        if (slot.kind != 0) continue;
        const int handle = NewHandle(kKindStatus, static_cast<std::uint16_t>(s + 1));
        if (handle < 0) return handle;
        slot = {};
        slot.handle = static_cast<TriggerHandle>(handle);
        slot.kind = kind;
        fired_[s] = false;
        return handle;
    }
    return ecNoMoreTriggers;
}

int TriggerTables::ArmTimer(TriggerHandle handle, std::int32_t ticks, bool on) {
    const auto* entry = Entry(handle, kKindTimer);
    if (!entry) return ecBadTriggerHandle;
    auto& slot = timers_[entry->slot - 1];
    if (!on) {
        slot.active = 0;
        return 0;
    }
    if (ticks == 0)
        ticks = slot.ticks;
    else
        slot.ticks = ticks;
    slot.timer.Start(ticks);
    slot.active = 1;
    return 0;
}

int TriggerTables::ArmStatus(TriggerHandle handle, std::uint16_t value, bool on,
                             std::uint8_t modem_status) {
    const auto* entry = Entry(handle, kKindStatus);
    if (!entry) return ecBadTriggerHandle;
    auto& slot = status_[entry->slot - 1];
    if (!on) {
        slot.active = 0;
        return 0;
    }
    switch (slot.kind) {
    case kStatusModem: {
        const std::uint8_t mask = value & 0xFF;
        slot.value = static_cast<std::uint16_t>((mask << 8) | (mask & modem_status));
        break;
    }
    case kStatusLineError: {
        std::uint16_t bits = 0;
        if (value & 1) bits |= platform::kErrHwOverrun;
        if (value & 2) bits |= platform::kErrParity;
        if (value & 4) bits |= platform::kErrFraming;
        if (value & 8) bits |= platform::kErrBreak;
        slot.value = bits;
        break;
    }
    case kStatusOutRoom:
    case kStatusOutCount:
        slot.value = value;
        break;
    default:
        break;
    }
    slot.active = 1;
    return 0;
}

void TriggerTables::Delete(TriggerHandle handle) {
    if (handle == kAvailHandle)
        avail_level = 0;
    else if (handle >= 2 && handle <= kMaxTriggerHandle)
        FreeSlotOf(handle);
}

std::uint16_t TriggerTables::StatusKind(TriggerHandle handle) const {
    const auto* entry = Entry(handle, kKindStatus);
    return entry ? status_[entry->slot - 1].kind : 0;
}

bool TriggerTables::IsOutputTrigger(TriggerHandle handle) const {
    return IsOutputKind(StatusKind(handle));
}

void TriggerTables::Clear() {
    avail_level = 0;
    std::fill(std::begin(handles_), std::end(handles_), HandleEntry{});
    std::fill(std::begin(timers_), std::end(timers_), TimerSlot{});
    std::fill(std::begin(data_), std::end(data_), DataSlot{});
    std::fill(std::begin(status_), std::end(status_), StatusSlot{});
    std::fill(std::begin(fired_), std::end(fired_), false);
}

// ---- Matching ----

std::uint16_t TriggerTables::Offer(std::uint8_t ch, bool step) {
    std::uint16_t longest = 0;
    for (auto& slot : data_) {
        if (slot.length == 0) continue;
        if (step && MatchStep(slot, ch)) slot.matched = 1;
        if (slot.matched) longest = std::max(longest, slot.length);
    }
    return longest;
}

bool TriggerTables::FirstMatched(TriggerHandle& handle, std::uint16_t& length) const {
    for (const auto& slot : data_) {
        if (slot.length != 0 && slot.matched) {
            handle = slot.handle;
            length = slot.length;
            return true;
        }
    }
    return false;
}

void TriggerTables::Unmatch(TriggerHandle handle) {
    if (const auto* entry = Entry(handle, kKindData)) data_[entry->slot - 1].matched = 0;
}

void TriggerTables::ForgetMatches() {
    for (auto& slot : data_)
        slot.matched = 0;
}

void TriggerTables::ClearMatchState() {
    for (auto& slot : data_) {
        std::fill(std::begin(slot.state), std::end(slot.state), 0);
        slot.matched = 0;
    }
}

// ---- Timer and status triggers ----

TriggerHandle TriggerTables::TakeRunOutTimer() {
    for (auto& slot : timers_) {
        if (slot.active && slot.timer.RunOut()) {
            slot.active = 0;
            return slot.handle;
        }
    }
    return 0;
}

bool TriggerTables::WantsOutputCounts() const {
    for (int i = 0; i < kStatusSlots; ++i) {
        const auto& slot = status_[i];
        if (slot.active && !fired_[i] &&
            (slot.kind == kStatusOutRoom || slot.kind == kStatusOutCount))
            return true;
    }
    return false;
}

TriggerHandle TriggerTables::FireStatus(LineView& line, std::uint16_t& low) {
    for (int i = 0; i < kStatusSlots; ++i) {
        auto& slot = status_[i];
        if (!slot.active || fired_[i]) continue;
        bool fire = false;
        low = 0;
        switch (slot.kind) {
        case kStatusModem: {
            const std::uint8_t expected = slot.value & 0xFF;
            const std::uint8_t mask = slot.value >> 8;
            fire = ((line.modem_status ^ expected) & mask) != 0;
            break;
        }
        case kStatusLineError:
            fire = (slot.value & line.line_errors) != 0;
            if (fire) slot.value = line.line_errors;
            break;
        case kStatusOutRoom:
            fire = line.out_room >= slot.value;
            low = static_cast<std::uint16_t>(line.out_room);
            break;
        case kStatusOutCount:
            fire = line.out_count <= slot.value;
            low = static_cast<std::uint16_t>(line.out_count);
            break;
        case kStatusOutSent:
            fire = line.output_sent;
            if (fire) line.output_sent = false;
            break;
        default:
            break;
        }
        if (!fire) continue;
        slot.active = 0;
        fired_[i] = true;
        any_fired_ = true;
        return slot.handle;
    }
    low = 0;
    return 0;
}

void TriggerTables::ClearFired() {
    std::fill(std::begin(fired_), std::end(fired_), false);
    any_fired_ = false;
}

bool TriggerTables::OutputArmed() const {
    for (const auto& slot : status_)
        if (slot.active && IsOutputKind(slot.kind)) return true;
    return false;
}

int TriggerTables::OutputLevel(int out_size) const {
    int level = -1;
    for (const auto& slot : status_) {
        if (!slot.active) continue;
        if (slot.kind == kStatusOutRoom && slot.value <= out_size)
            level = std::max(level, out_size - slot.value);
        else if (slot.kind == kStatusOutCount)
            level = std::max(level, static_cast<int>(slot.value));
        else if (slot.kind == kStatusOutSent)
            level = std::max(level, 0);
    }
    return level;
}

// ---- The image ----

void TriggerTables::Save(TriggerImage& image) const {
    ImageWriter w(image);
    w.U16(avail_level);
    for (TriggerHandle h = 1; h <= kMaxTriggerHandle; ++h) {
        w.U16(h == 1 ? 0 : handles_[h].slot);
        w.U8(h == 1 ? 0 : handles_[h].kind);
        w.Skip(1);
    }
    for (const auto& t : timers_) { // 24 bytes
        w.U16(t.handle);
        w.Skip(2);
        w.U32(static_cast<std::uint32_t>(t.timer.StartTicks));
        w.U32(static_cast<std::uint32_t>(t.timer.EndTicks));
        w.U32(static_cast<std::uint32_t>(t.ticks));
        w.U32(t.in_use);
        w.U32(t.active);
    }
    for (const auto& d : data_) { // 80 bytes
        w.U16(d.handle);
        w.U16(d.length);
        for (auto s : d.state)
            w.U16(s);
        w.U32(d.matched);
        w.U32(d.ignore_case);
        for (auto c : d.text)
            w.U8(c);
        w.Skip(3);
    }
    for (const auto& s : status_) { // 12 bytes
        w.U16(s.handle);
        w.U16(s.kind);
        w.U32(s.active);
        w.U16(s.value);
        w.Skip(2);
    }
    assert(w.Pos() == kTriggerImageSize);
}

void TriggerTables::Restore(const TriggerImage& image) {
    ImageReader r(image);
    avail_level = r.U16();
    for (TriggerHandle h = 1; h <= kMaxTriggerHandle; ++h) {
        const std::uint16_t slot = r.U16();
        const std::uint8_t kind = r.U8();
        r.Skip(1);
        const std::uint16_t limit = kind == kKindData ? kDataSlots : kTimerSlots;
        const bool valid = h != 1 && slot != 0 && slot <= limit &&
                           (kind == kKindTimer || kind == kKindData || kind == kKindStatus);
        handles_[h] = valid ? HandleEntry{slot, kind} : HandleEntry{};
    }
    for (auto& t : timers_) {
        t.handle = r.U16();
        r.Skip(2);
        t.timer.StartTicks = static_cast<std::int32_t>(r.U32());
        t.timer.EndTicks = static_cast<std::int32_t>(r.U32());
        t.ticks = static_cast<std::int32_t>(r.U32());
        t.in_use = r.U32();
        t.active = r.U32();
    }
    for (auto& d : data_) {
        d.handle = r.U16();
        d.length = std::min<std::uint16_t>(r.U16(), kMaxDataTriggerLength);
        for (auto& s : d.state)
            s = std::min<std::uint16_t>(r.U16(), kMaxDataTriggerLength - 1);
        d.matched = r.U32();
        d.ignore_case = r.U32();
        for (auto& c : d.text)
            c = r.U8();
        r.Skip(3);
    }
    for (auto& s : status_) {
        s.handle = r.U16();
        s.kind = r.U16();
        s.active = r.U32();
        s.value = r.U16();
        r.Skip(2);
    }
    std::fill(std::begin(fired_), std::end(fired_), false);
}

} // namespace tollander::serial
