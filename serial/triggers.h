// The trigger tables of one port record: the avail level, the handle table
// and the 10 timer, 20 data and 10 status slots; the matching of received
// characters against the data triggers; which timer or status trigger fires;
// and the image the port object keeps across a close.
//
// Locking: the tables belong to their record and are used only under the
// record's state lock (see serial/port_record.h), by the record operations and
// by DispatchThread alike. Nothing here locks, waits or touches the device:
// what a status trigger is checked against is handed in.
#pragma once

#include "serial/port_table.h"
#include "serial/tick_timer.h"

#include <bitset>
#include <cstdint>

namespace tollander::serial {

struct HandleEntry {
    std::uint16_t slot = 0; // 0: the handle is free
    std::uint8_t kind = 0;  // 2 timer, 3 data, 4 status
};
inline constexpr std::uint8_t kKindTimer = 2, kKindData = 3, kKindStatus = 4;

struct TimerSlot {
    std::uint16_t handle = 0;
    TickTimer timer;
    std::int32_t ticks = 0;
    std::uint32_t in_use = 0;
    std::uint32_t active = 0;
};

struct DataSlot {
    std::uint16_t handle = 0;
    std::uint16_t length = 0; // 0: slot free
    std::uint16_t state[kMaxDataTriggerLength + 1] = {};
    std::uint32_t matched = 0;
    std::uint32_t ignore_case = 0;
    std::uint8_t text[kMaxDataTriggerLength] = {};
};

struct StatusSlot {
    std::uint16_t handle = 0;
    std::uint16_t kind = 0; // 0: slot free
    std::uint32_t active = 0;
    std::uint16_t value = 0;
};

// The line as the status triggers see it.
struct LineView {
    std::uint8_t modem_status = 0;
    std::uint16_t line_errors = 0;
    bool output_sent = false; // taken by an output-sent trigger that fires
    int out_count = 0;
    int out_room = 0;
};

class TriggerTables {
public:
    // 0: no avail notices.
    std::uint16_t avail_level = 0;
    // Handles given out since the current notice began (the dispatcher
    // clears them when a notice begins).
    std::bitset<kMaxTriggerHandle + 1> reissued;

    // ---- The record operations' part; results as in port_table.h.
    int NewData(const char* text, bool ignore_case, std::uint16_t length);
    int NewTimer();
    int NewStatus(std::uint16_t kind);
    int ArmTimer(TriggerHandle handle, std::int32_t ticks, bool on);
    // `modem_status` gives a modem-line trigger the states it expects.
    int ArmStatus(TriggerHandle handle, std::uint16_t value, bool on, std::uint8_t modem_status);
    void Delete(TriggerHandle handle);
    std::uint16_t StatusKind(TriggerHandle handle) const;
    bool IsOutputTrigger(TriggerHandle handle) const;
    void Clear();
    void Save(TriggerImage& image) const;
    void Restore(const TriggerImage& image);

    // ---- Matching. Offers one received character to every data trigger
    // (the match step runs only when `step`: once per character); gives the
    // longest text among the matched triggers, 0 when none is matched.
    std::uint16_t Offer(std::uint8_t ch, bool step);
    // The first matched trigger, without taking it; false when none is.
    bool FirstMatched(TriggerHandle& handle, std::uint16_t& length) const;
    void Unmatch(TriggerHandle handle);
    // Matched flags off (characters a reader took are never reported).
    void ForgetMatches();
    // Matched flags and partial matches off (the input was discarded).
    void ClearMatchState();

    // ---- Timer and status triggers. The first active timer that ran out,
    // deactivated; 0 when none.
    TriggerHandle TakeRunOutTimer();
    // An active status trigger not fired in this pass needs the output counts.
    bool WantsOutputCounts() const;
    // The first status trigger that fires on `line`, deactivated and marked
    // as fired in this pass; `low` gets the room or count it reports. 0 when
    // none fires.
    TriggerHandle FireStatus(LineView& line, std::uint16_t& low);
    bool AnyFired() const { return any_fired_; }
    void ResetAnyFired() { any_fired_ = false; }
    void ClearFired();

    // ---- Output triggers (room, count, sent): armed at all, and the highest
    // output count at which one fires (-1 when none is armed).
    bool OutputArmed() const;
    int OutputLevel(int out_size) const;

private:
    int NewHandle(std::uint8_t kind, std::uint16_t slot);
    void FreeSlotOf(TriggerHandle handle);
    const HandleEntry* Entry(TriggerHandle handle, std::uint8_t kind) const;

    HandleEntry handles_[kMaxTriggerHandle + 1];
    TimerSlot timers_[kTimerSlots];
    DataSlot data_[kDataSlots];
    StatusSlot status_[kStatusSlots];
    bool fired_[kStatusSlots] = {};
    bool any_fired_ = false;
};

} // namespace tollander::serial
