// The port table: up to 50 open port records, each with its device, its
// 8192-byte input ring, its triggers, its listeners and its two dispatcher
// threads (CommEventThread waits for device events, DispatchThread moves
// bytes into the ring, runs the triggers and delivers notices). The record
// operations are here; the threads live in serial/dispatcher, the trigger
// tables in serial/triggers, the record they share in serial/port_record.h.
//
// Every operation takes the record index first. It returns 0 or a negative
// result code (comm_errors.h) unless said otherwise; an index that names no
// live record gives ecBadHandle, or 0/false for the operations that give a
// count or a flag. Operations never raise.
#pragma once

#include "platform/serial/serial_device.h"
#include "platform/thread/window_thread.h"
#include "serial/comm_errors.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tollander::serial {

class NoticeWindow;

using RecordIndex = std::uint16_t;
using TriggerHandle = std::uint16_t;

inline constexpr RecordIndex kMaxPortRecords = 50;

// Notices: message number; the first parameter is the count or the trigger
// handle; the second parameter's high word is the record index.
inline constexpr std::uint16_t kNoticeAvail = 0x7E01;  // count waiting
inline constexpr std::uint16_t kNoticeData = 0x7E02;   // handle; low word: text length
inline constexpr std::uint16_t kNoticeTimer = 0x7E03;  // handle
inline constexpr std::uint16_t kNoticeStatus = 0x7E04; // handle; low word: room or count

inline constexpr TriggerHandle kAvailHandle = 1;
inline constexpr TriggerHandle kMaxTriggerHandle = 41;
inline constexpr int kTimerSlots = 10;
inline constexpr int kDataSlots = 20;
inline constexpr int kStatusSlots = 10;
inline constexpr std::uint16_t kMaxDataTriggerLength = 21;
inline constexpr int kUserDataSlots = 10;

// Status trigger kinds.
inline constexpr std::uint16_t kStatusModem = 1; // value: low byte expected lines, high byte mask
inline constexpr std::uint16_t kStatusLineError =
    2;                                             // value: 1 overrun, 2 parity, 4 framing, 8 break
inline constexpr std::uint16_t kStatusOutRoom = 3; // fires when output room >= level
inline constexpr std::uint16_t kStatusOutCount = 4; // fires when output count <= level
inline constexpr std::uint16_t kStatusOutSent = 5;  // fires after a write

// Record option bits; bit 2 set: reads inside notices take characters instead
// of peeking (set on a new record, cleared by the port object's open).
inline constexpr std::uint16_t kOptionNoPeek = 2;

// Flow option bits of SetHardwareFlow and SetSoftwareFlow.
inline constexpr std::uint16_t kHwUseDtr = 1, kHwUseRts = 2, kHwRequireDsr = 4, kHwRequireCts = 8;
inline constexpr std::uint16_t kSwTransmit = 1, kSwReceive = 2;

// The trigger tables as the port object keeps them across a close: avail
// level, 41 handle entries, 10 timer, 20 data and 10 status slots.
inline constexpr std::size_t kTriggerImageSize = 2126;
using TriggerImage = std::array<std::uint8_t, kTriggerImageSize>;

// A procedure listener, called on DispatchThread with an empty window.
using NoticeProc = void (*)(NoticeWindow* window, std::uint16_t msg, std::uint32_t wparam,
                            std::uint32_t lparam);

// Makes the device operations of a new record (the device layer).
using DeviceLayer = std::function<std::unique_ptr<platform::SerialDevice>()>;
// The platform's own serial devices.
DeviceLayer PlatformDeviceLayer();

// ---- Opening and closing ----

// The line a record runs with, as the port object's properties give it. A
// field left empty keeps what the device has; so do the values the line has
// never taken from the properties (a bit rate of 0, parity 5, data bits 9,
// stop bits 3).
struct LineParams {
    std::optional<std::int32_t> baud = {};
    std::optional<std::uint8_t> parity = {}; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<std::uint16_t> data_bits = {};
    std::optional<std::uint16_t> stop_bits = {}; // 1 or 2 (0 counts as 1, above 3 as 2)
};

// What a record opens with.
struct PortSettings {
    std::uint8_t dispatcher_mode = 4; // stored only: the threads always run
    std::uint16_t out_size = 4096;    // driver queue sizes
    std::uint16_t in_size = 4096;
    LineParams line;
};

// Opens the named device on a new record and starts its threads. Gives the
// new index (1 to 50) or a negative code: ecNoHandles with every slot in use,
// the device's error negated (for example -2 no such device, -5 access
// denied), or the line settings' ecNotSupported. `os_reason` and `os_fault`,
// when given, receive the operating system's own words for a failed open and
// the device's cause.
int OpenPortRecord(const std::string& device_name, const PortSettings& settings,
                   const DeviceLayer& layer = PlatformDeviceLayer(),
                   std::string* os_reason = nullptr,
                   platform::DeviceFault* os_fault = nullptr);
// Discards pending output, releases the device, stops the threads and frees
// the record. It never waits for a write, nor for a notice that may be
// waiting for the caller (a window notice, or one on the dispatcher itself):
// the record is then marked close-pending and DispatchThread frees it when
// that is over (a write in progress releases the device when it ends).
int ClosePortRecord(RecordIndex index);
bool PortRecordLive(RecordIndex index);
// Waits until `index` names no record (a close-pending record freed by its
// thread); false when `limit` passed first.
bool WaitPortRecordFreed(RecordIndex index, platform::Millis limit);

// ---- Line settings and lines ----

int SetLineParams(RecordIndex index, const LineParams& params);
int SetHardwareFlow(RecordIndex index, std::uint16_t full, std::uint16_t resume,
                    std::uint16_t options);
int ClearHardwareFlow(RecordIndex index);
int SetSoftwareFlow(RecordIndex index, std::uint16_t full, std::uint16_t resume,
                    std::uint16_t options);
int ClearSoftwareFlow(RecordIndex index);
int SetFlowChars(RecordIndex index, char xon, char xoff);
// Input and output queue sizes (output room is the output size minus the
// bytes the driver still holds).
int SetQueueSizes(RecordIndex index, std::uint16_t in_size, std::uint16_t out_size);
int SetDtrLine(RecordIndex index, bool on);
int SetRtsLine(RecordIndex index, bool on);
// The line settings the record last wrote (or read) and its DTR/RTS states.
int GetLineSettings(RecordIndex index, platform::LineSettings& settings);
bool DtrState(RecordIndex index);
bool RtsState(RecordIndex index);
// Refreshed modem-status byte: high nibble the line states, low nibble the
// change bits (1 CTS, 2 DSR, 4 ring ended, 8 carrier); the stored byte is
// then ANDed with keep_mask.
std::uint8_t ReadModemStatus(RecordIndex index, std::uint8_t keep_mask);
// Accumulated line errors (platform::kErr* bits); ClearLineErrors removes bits.
std::uint16_t GetLineErrors(RecordIndex index);
int ClearLineErrors(RecordIndex index, std::uint16_t bits);

// ---- Output ----

// 0; ecOutputBufferTooSmall when the output queue has no room for the whole
// block or another write is in progress (nothing written); ecPutBlockFail when
// the device took less or the record was closed during the write. The write
// holds no lock other operations need while the device takes the block.
int WriteBlock(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count);
// As WriteBlock, for a sender that listens to the modem: a wait for output
// room also ends, with 0, once received bytes wait in the driver (while the
// ring has room to take them), so they are looked at before the rest goes.
// `taken` is the part of the block the device took, in every outcome.
int WriteBlockListening(RecordIndex index, const std::uint8_t* bytes, std::uint16_t count,
                        std::uint16_t& taken);
int WriteByte(RecordIndex index, std::uint8_t byte);
// The operating system's words for the last write that the device ended
// short (ecPutBlockFail), path first: "/dev/ttyUSB0: Input/output error",
// "\\.\COM5: <Windows' text> (error 22)"; "" when none did.
std::string WriteFailure(RecordIndex index);
// Why the far end closed the line (a serial server's connection), path
// first: "socket://127.0.0.1:4002: the serial server closed the connection
// ..."; "" while the line stands.
std::string LineClosure(RecordIndex index);
int OutputCount(RecordIndex index);
int OutputRoom(RecordIndex index);
int DiscardOutput(RecordIndex index);

// ---- Input ----

// 0 or ecBufferIsEmpty. Inside an avail or data notice a read peeks: the
// characters are removed when the notice is over (unless kOptionNoPeek).
int ReadChar(RecordIndex index, char& ch);
// Up to `count` characters appended to `text` in one hold of the record, as
// that many ReadChar calls would read them; ecBufferIsEmpty when fewer were
// waiting (those there were are appended).
int ReadChars(RecordIndex index, std::uint16_t count, std::string& text);
bool InputWaiting(RecordIndex index);
// The characters in the ring that arrived at or after `from` (a running
// total of received characters) and have not been taken, without taking
// them: a later read or wait still gets them. `from` moves past them.
std::string PeekInput(RecordIndex index, std::uint64_t& from);
// Received bytes wait in the driver, not yet moved into the ring.
bool InputInDriver(RecordIndex index);
int InputCount(RecordIndex index);
int InputRoom(RecordIndex index);
int DiscardInput(RecordIndex index);
// Blocks until input is waiting, the record closes or `max` passes; gives
// InputWaiting(). For a reader that must not process window messages.
bool WaitForInput(RecordIndex index, platform::Millis max);
// Waits up to `max` for a notice being delivered on the record to end; true
// when none is being delivered (or the record is gone).
bool WaitNoticeDelivered(RecordIndex index, platform::Millis max);

// ---- Triggers ----

int SetAvailLevel(RecordIndex index, std::uint16_t level);
std::uint16_t GetAvailLevel(RecordIndex index);
// Gives the handle, ecTriggerTooLong (length > 21) or ecNoMoreTriggers.
int NewDataTrigger(RecordIndex index, const char* text, bool ignore_case, std::uint16_t length);
int NewTimerTrigger(RecordIndex index);
int NewStatusTrigger(RecordIndex index, std::uint16_t kind);
// ticks 0 re-uses the last tick count given.
int ArmTimerTrigger(RecordIndex index, TriggerHandle handle, std::int32_t ticks, bool on);
int ArmStatusTrigger(RecordIndex index, TriggerHandle handle, std::uint16_t value, bool on);
int DeleteTrigger(RecordIndex index, TriggerHandle handle);
// The kind (1 to 5) of the status trigger behind a handle, 0 when none.
std::uint16_t StatusTriggerKind(RecordIndex index, TriggerHandle handle);
int ClearTriggers(RecordIndex index);
int SaveTriggers(RecordIndex index, TriggerImage& image);
int RestoreTriggers(RecordIndex index, const TriggerImage& image);

// ---- Listeners and notices ----

// A window listener (window set, proc null) gets notices through
// window->Send() with the 1000 ms limit; a procedure listener (proc set) is
// called on DispatchThread. pass_on 0 ends the walk after this listener.
int AddListener(RecordIndex index, NoticeWindow* window, NoticeProc proc, std::uint32_t pass_on);
int RemoveListener(RecordIndex index, NoticeWindow* window, NoticeProc proc);
// Suspends (on) or resumes notices; gives the previous suspended state.
int SuspendNotices(RecordIndex index, bool on, bool& previous);
// The window thread to wake() whenever received bytes reach the ring.
int SetWakeTarget(RecordIndex index, platform::WindowThread* thread);
int SetRecordOption(RecordIndex index, std::uint16_t option, bool on);

// ---- User data ----

// Slots 1 to 10; ecBadArgument outside.
int SetUserData(RecordIndex index, int slot, void* data);
int GetUserData(RecordIndex index, int slot, void*& data);

} // namespace tollander::serial
