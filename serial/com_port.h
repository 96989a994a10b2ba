// The serial port object: the application's handle on one numbered port. It
// keeps the settings as properties, opens and closes the port record, turns
// the record's result codes into exceptions and its notices into events.
//
// All of it runs on the window thread. Setters only store while the object is
// being loaded (BeginLoading()..EndLoading()); on an open port they apply the
// value at once.
#pragma once

#include "platform/thread/window_thread.h"
#include "serial/comm_errors.h"
#include "serial/notice_window.h"
#include "serial/port_table.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tollander::serial {

enum TDeviceLayer { dlNone, dlComm, dlFossil, dlWin32, dlOther };
enum TParity { pNone, pOdd, pEven, pMark, pSpace };
enum TDispatcherMode { dNone, dTimer, dCommEvents, dAuto, dWin32 };
enum THWFlowOptions { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };

// A set of THWFlowOptions as a bit set (bit n = member n).
class THWFlowOptionSet {
public:
    THWFlowOptionSet() = default;
    THWFlowOptionSet(std::initializer_list<THWFlowOptions> members) {
        for (auto m : members)
            bits_ |= 1u << m;
    }
    bool Has(THWFlowOptions m) const { return bits_ & (1u << m); }
    bool Empty() const { return bits_ == 0; }
    // The record's options word: 1 use DTR, 2 use RTS, 4 require DSR, 8 require CTS.
    std::uint16_t Word() const { return static_cast<std::uint16_t>(bits_); }
    bool operator==(const THWFlowOptionSet&) const = default;

private:
    unsigned bits_ = 0;
};

class TCustomComPort {
public:
    using TTriggerEvent = std::function<void(TCustomComPort& CP, std::uint16_t Msg,
                                             std::uint16_t TriggerHandle, std::uint16_t Data)>;
    using TTriggerAvailEvent = std::function<void(TCustomComPort& CP, std::uint16_t Count)>;
    using TTriggerHandleEvent =
        std::function<void(TCustomComPort& CP, std::uint16_t TriggerHandle)>;
    using TTriggerLineErrorEvent =
        std::function<void(TCustomComPort& CP, std::uint16_t Error, bool LineBreak)>;
    using TTriggerPortEvent = std::function<void(TCustomComPort& CP)>;
    using TWaitCharEvent = std::function<void(TCustomComPort& CP, char C)>;

    explicit TCustomComPort(platform::WindowThread& window);
    virtual ~TCustomComPort();
    TCustomComPort(const TCustomComPort&) = delete;
    TCustomComPort& operator=(const TCustomComPort&) = delete;

    // ---- Loading from the form: setters only store; EndLoading() opens the
    // port when Open was set to True meanwhile.
    void BeginLoading();
    void EndLoading();
    bool Loading() const { return loading_; }

    // ---- Published properties (defaults in the constructor).
    TDeviceLayer DeviceLayer() const { return device_layer_; }
    void SetDeviceLayer(TDeviceLayer v);
    std::uint16_t ComNumber() const { return com_number_; }
    void SetComNumber(std::uint16_t v);
    std::int32_t Baud() const { return baud_; }
    void SetBaud(std::int32_t v);
    TParity Parity() const { return parity_; }
    void SetParity(TParity v);
    std::uint16_t DataBits() const { return data_bits_; }
    void SetDataBits(std::uint16_t v);
    std::uint16_t StopBits() const { return stop_bits_; }
    void SetStopBits(std::uint16_t v);
    std::uint16_t InSize() const { return in_size_; }
    void SetInSize(std::uint16_t v);
    std::uint16_t OutSize() const { return out_size_; }
    void SetOutSize(std::uint16_t v);
    bool AutoOpen() const { return auto_open_; }
    void SetAutoOpen(bool v) { auto_open_ = v; }
    TDispatcherMode DispatcherMode() const { return dispatcher_mode_; }
    void SetDispatcherMode(TDispatcherMode v);
    bool Open() const { return open_; }
    void SetOpen(bool v);
    bool DTR() const { return dtr_; }
    void SetDTR(bool v);
    bool RTS() const { return rts_; }
    void SetRTS(bool v);
    THWFlowOptionSet HWFlowOptions() const { return hw_flow_; }
    void SetHWFlowOptions(THWFlowOptionSet v);
    TSWFlowOptions SWFlowOptions() const { return sw_flow_; }
    void SetSWFlowOptions(TSWFlowOptions v);
    char XOnChar() const { return xon_char_; }
    void SetXOnChar(char v);
    char XOffChar() const { return xoff_char_; }
    void SetXOffChar(char v);
    std::uint16_t BufferFull() const { return buffer_full_; }
    void SetBufferFull(std::uint16_t v);
    std::uint16_t BufferResume() const { return buffer_resume_; }
    void SetBufferResume(std::uint16_t v);
    TTraceLogState Tracing() const { return tracing_; }
    void SetTracing(TTraceLogState v);
    std::uint16_t TraceSize() const { return trace_size_; }
    void SetTraceSize(std::uint16_t v);
    const std::string& TraceName() const { return trace_name_; }
    void SetTraceName(const std::string& v);
    bool TraceHex() const { return trace_hex_; }
    void SetTraceHex(bool v) { trace_hex_ = v; }
    TTraceLogState Logging() const { return logging_; }
    void SetLogging(TTraceLogState v);
    std::uint16_t LogSize() const { return log_size_; }
    void SetLogSize(std::uint16_t v);
    const std::string& LogName() const { return log_name_; }
    void SetLogName(const std::string& v);
    bool LogHex() const { return log_hex_; }
    void SetLogHex(bool v) { log_hex_ = v; }
    bool UseMSRShadow() const { return use_msr_shadow_; }
    void SetUseMSRShadow(bool v) { use_msr_shadow_ = v; }
    bool UseEventWord() const { return use_event_word_; }
    void SetUseEventWord(bool v) { use_event_word_ = v; }
    std::uint16_t TriggerLength() const { return trigger_length_; }
    void SetTriggerLength(std::uint16_t v);
    std::uint16_t CommNotificationLevel() const { return comm_notification_level_; }
    void SetCommNotificationLevel(std::uint16_t v) { comm_notification_level_ = v; }
    TTapiMode TapiMode() const { return tapi_mode_; }
    void SetTapiMode(TTapiMode v) { tapi_mode_ = v; }

    // ---- Events (run on the window thread).
    TTriggerEvent OnTrigger;
    TTriggerAvailEvent OnTriggerAvail;
    TTriggerHandleEvent OnTriggerData;
    TTriggerHandleEvent OnTriggerStatus;
    TTriggerHandleEvent OnTriggerTimer;
    TTriggerLineErrorEvent OnTriggerLineError;
    TTriggerPortEvent OnTriggerModemStatus;
    TTriggerPortEvent OnTriggerOutbuffFree;
    TTriggerPortEvent OnTriggerOutbuffUsed;
    TTriggerPortEvent OnTriggerOutSent;
    TWaitCharEvent OnWaitChar;

    // The device layer that dlOther installs (by default the platform's).
    serial::DeviceLayer DeviceLayerHook;

    // ---- Operations. Each opens the port first when AutoOpen is set.

    // The record index, opening the port on demand.
    std::uint16_t ActivePort();
    // Writes all of S as one block; an empty S writes nothing. A block the
    // device ended short raises EPutBlockFail with the system's words for it.
    void SendText(const std::string& S);
    // 1-based number of the alternative of S (split at SepChar) that arrived
    // first, or 0 after Timeout ticks, for an empty S or when the program is
    // terminating. Characters after the match stay in the ring. Notices of
    // this port are suspended while it waits.
    int AwaitAnyText(const std::string& S, std::int32_t Timeout, bool Yield, bool IgnoreCase,
                     char SepChar);
    // Text up to 255 characters (the record takes at most 21).
    std::uint16_t NewDataTrigger(const std::string& Text, bool IgnoreCase);
    // Does nothing on a port that is not really open (never opens it).
    void DeleteTrigger(std::uint16_t Handle);
    char ReadChar();
    // Appends Count received characters to Text under one hold of the
    // record, as Count ReadChar calls would read them; raises EBufferIsEmpty
    // when fewer were waiting, after appending those there were.
    void ReadChars(std::uint16_t Count, std::string& Text);
    bool InputWaiting();

    // Unpublished state.
    std::uint16_t PortIndex() const { return index_; }
    bool ReallyOpen() const { return really_open_; }
    bool HasSavedTriggers() const { return saved_triggers_valid_; }
    // The operating system's reason for the last failed open ("" if none).
    const std::string& LastOsReason() const { return last_os_reason_; }
    platform::DeviceFault LastOsFault() const { return last_os_fault_; }
    // The operating system's words for the last write the device ended
    // short on this open ("" if none).
    std::string LastWriteFailure() const;
    // Why the far end closed the open port's line ("<path>: <words>"; "" while
    // it stands).
    std::string LineClosure() const;

    // A negative code raises its exception (except while loading); other
    // codes come back unchanged.
    int RaiseOnError(int code);

    // ---- Overridable event operations; each fires the event of its name.
    virtual void DoTrigger(std::uint16_t Msg, std::uint16_t TriggerHandle, std::uint16_t Data);
    virtual void DoTriggerAvail(std::uint16_t Count);
    virtual void DoTriggerData(std::uint16_t TriggerHandle);
    virtual void DoTriggerStatus(std::uint16_t TriggerHandle);
    virtual void DoTriggerTimer(std::uint16_t TriggerHandle);
    virtual void DoTriggerLineError(std::uint16_t Error, bool LineBreak);
    virtual void DoTriggerModemStatus();
    virtual void DoTriggerOutbuffFree();
    virtual void DoTriggerOutbuffUsed();
    virtual void DoTriggerOutSent();
    virtual void DoWaitChar(char C);
    // Opens the port on demand and does nothing more.
    virtual void Poll();

protected:
    // Bound operations of the open and close sequences.
    virtual void PortOpen();
    virtual void PortClose();

private:
    void HandleNotice(std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam);
    void ApplyHWFlow();
    void ApplySWFlow();
    void ApplyTraceLog(TTraceLogState v, bool tracing);
    bool Applying() const { return really_open_ && !loading_; }

    platform::WindowThread& window_;
    std::unique_ptr<NoticeWindow> notice_window_;

    TDeviceLayer device_layer_ = dlWin32;
    std::uint16_t com_number_ = 2;
    std::int32_t baud_ = 19200;
    TParity parity_ = pNone;
    std::uint16_t data_bits_ = 8;
    std::uint16_t stop_bits_ = 1;
    std::uint16_t in_size_ = 4096;
    std::uint16_t out_size_ = 4096;
    bool auto_open_ = true;
    TDispatcherMode dispatcher_mode_ = dWin32;
    bool open_ = false;
    bool dtr_ = true;
    bool rts_ = true;
    THWFlowOptionSet hw_flow_;
    TSWFlowOptions sw_flow_ = swfNone;
    char xon_char_ = 17;
    char xoff_char_ = 19;
    std::uint16_t buffer_full_ = 0;
    std::uint16_t buffer_resume_ = 0;
    TTraceLogState tracing_ = tlOff;
    std::uint16_t trace_size_ = 10000;
    std::string trace_name_ = "COMM.TRC";
    bool trace_hex_ = true;
    TTraceLogState logging_ = tlOff;
    std::uint16_t log_size_ = 10000;
    std::string log_name_ = "COMM.LOG";
    bool log_hex_ = true;
    bool use_msr_shadow_ = true;
    bool use_event_word_ = true;
    std::uint16_t trigger_length_ = 1;
    std::uint16_t comm_notification_level_ = 10;
    TTapiMode tapi_mode_ = tmAuto;

    std::uint16_t index_ = 0;
    bool really_open_ = false;
    bool loading_ = false;
    bool open_after_load_ = false;
    bool force_apply_ = false;
    bool peek_option_ = false;
    bool saved_triggers_valid_ = false;
    int notice_depth_ = 0; // notices of this port running on the window thread
    // A wait for text runs outside any notice of this port: a notice that
    // reaches the window thread now was begun before the wait and is held
    // back, so no handler takes a character of the answer the wait is for.
    bool holding_notices_ = false;
    TriggerImage saved_triggers_{};
    std::string last_os_reason_;
    platform::DeviceFault last_os_fault_ = platform::DeviceFault::None;
};

// The port object as the form publishes it.
class TComPort : public TCustomComPort {
public:
    using TCustomComPort::TCustomComPort;
};

} // namespace tollander::serial
