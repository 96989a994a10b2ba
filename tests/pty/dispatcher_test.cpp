// The dispatcher on pseudo-terminals: the input ring, data, timer and status
// triggers, notices and their order, what a wait for text holds back, a
// window handler that blocks, closing inside a notice, a device that goes
// away, and a megabyte through the ring; then on fake devices: line errors,
// short writes, and a write held up by flow control.
#include "serial/com_port.h"
#include "serial/notice_window.h"
#include "serial/port_table.h"
#include "serial/protocol.h"
#include "tests/common/forwarding_window.h"
#include "tests/pty/pty_fixture.h"
#include "tests/pty/quiet_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <utility>

namespace tollander::serial {
namespace {

using namespace std::chrono_literals;
using test::Pty;
using test::PumpUntil;

// Notices a procedure listener saw; it finds the recorder in user-data slot 1.
struct Recorder {
    struct Notice {
        std::uint16_t msg;
        std::uint32_t wparam;
        std::uint16_t low;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Notice> notices;
    platform::WindowThread* wake = nullptr; // woken at each notice

    static void Proc(NoticeWindow*, std::uint16_t msg, std::uint32_t wparam, std::uint32_t lparam) {
        void* self = nullptr;
        GetUserData(static_cast<RecordIndex>(lparam >> 16), 1, self);
        auto* rec = static_cast<Recorder*>(self);
        {
            std::lock_guard lock(rec->mutex);
            rec->notices.push_back({msg, wparam, static_cast<std::uint16_t>(lparam & 0xFFFF)});
        }
        rec->cv.notify_all();
        if (rec->wake) rec->wake->wake();
    }
    bool WaitFor(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, limit, [&] { return notices.size() >= count; });
    }
    std::size_t Count() {
        std::lock_guard lock(mutex);
        return notices.size();
    }
};

// A procedure listener that holds the first notice it gets until opened: the
// dispatcher is then in the middle of a batch. It finds itself in slot 2.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool arrived = false;
    bool open = false;

    static void Proc(NoticeWindow*, std::uint16_t, std::uint32_t, std::uint32_t lparam) {
        void* self = nullptr;
        GetUserData(static_cast<RecordIndex>(lparam >> 16), 2, self);
        auto* gate = static_cast<Gate*>(self);
        std::unique_lock lock(gate->mutex);
        if (gate->arrived) return;
        gate->arrived = true;
        gate->cv.notify_all();
        gate->cv.wait_for(lock, 10s, [&] { return gate->open; });
    }
    bool WaitArrived() {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return arrived; });
    }
    void Open() {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        cv.notify_all();
    }
};

// A record opened directly on a terminal, for the record-level tests.
class Record {
public:
    explicit Record(const Pty& pty) {
        PortSettings settings;
        settings.out_size = settings.in_size = 8192;
        settings.line = {115200, 0, 8, 1};
        index_ = OpenPortRecord(pty.Path(), settings);
        if (index_ > 0) SetUserData(Index(), 1, &recorder);
    }
    ~Record() {
        if (index_ > 0 && PortRecordLive(Index())) ClosePortRecord(Index());
    }
    RecordIndex Index() const { return static_cast<RecordIndex>(index_); }
    int Result() const { return index_; }
    Recorder recorder;

private:
    int index_ = 0;
};

// A device whose line errors, output queue and write results the test sets.
class FakeDevice final : public tollander::testing::QuietDevice {
public:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::uint32_t word = 0;
        std::uint64_t generation = 0;
        std::uint16_t errors = 0;
        std::uint32_t out_queue = 0;
        int write_result = 0; // 0: the whole block is taken
        // CTS low: a write waits until it rises (at most 5 s, standing in
        // for the device's own write limit).
        bool cts_low = false;
        bool writing = false;
        bool closed = false;
        bool closed_while_writing = false;

        bool WaitWriting() {
            std::unique_lock lock(mutex);
            return cv.wait_for(lock, 10s, [&] { return writing; });
        }
        void RaiseCts() {
            {
                std::lock_guard lock(mutex);
                cts_low = false;
            }
            cv.notify_all();
        }
        bool Writing() {
            std::lock_guard lock(mutex);
            return writing;
        }
    };
    explicit FakeDevice(std::shared_ptr<State> s) : s_(std::move(s)) {}

    static void Inject(State& s, std::uint32_t word, std::uint16_t errors) {
        {
            std::lock_guard lock(s.mutex);
            s.word |= word;
            s.errors |= errors;
        }
        s.cv.notify_all();
    }

    int write(const std::uint8_t*, std::size_t n) override {
        std::unique_lock lock(s_->mutex);
        if (s_->cts_low) {
            s_->writing = true;
            s_->cv.notify_all();
            const bool rose = s_->cv.wait_for(lock, 5s, [&] { return !s_->cts_low; });
            s_->writing = false;
            s_->cv.notify_all();
            if (!rose) return 0;
        }
        return s_->write_result != 0 ? s_->write_result : static_cast<int>(n);
    }
    void close() override {
        {
            std::lock_guard lock(s_->mutex);
            s_->closed = true;
            s_->closed_while_writing = s_->writing;
        }
        s_->cv.notify_all();
    }
    int status(platform::DeviceStatus& st) override {
        std::lock_guard lock(s_->mutex);
        st = {};
        st.errors = std::exchange(s_->errors, 0);
        st.out_queue = s_->out_queue;
        return 0;
    }
    int set_event_mask(std::uint32_t) override {
        {
            std::lock_guard lock(s_->mutex);
            ++s_->generation;
        }
        s_->cv.notify_all();
        return 0;
    }
    int wait_event(std::uint32_t& word) override {
        std::unique_lock lock(s_->mutex);
        const auto generation = s_->generation;
        s_->cv.wait(lock,
                    [&] { return s_->word != 0 || s_->generation != generation || s_->closed; });
        word = std::exchange(s_->word, 0);
        return 0;
    }

private:
    std::shared_ptr<State> s_;
};

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        pty.MapTo(1);
        port.SetComNumber(1);
    }
    void TearDown() override {
        port.SetOpen(false);
        platform::SetComDevicePath(1, std::nullopt);
    }

    // Opens the port with an avail handler that takes what arrives, as the
    // debug echo does, and a procedure listener in front that tells when the
    // dispatcher is delivering.
    void OpenWithEchoAndRecorder(std::string& stolen, Recorder& recorder) {
        port.SetOpen(true);
        port.OnTriggerAvail = [&stolen](TCustomComPort& p, std::uint16_t count) {
            for (int i = 0; i < count; ++i)
                stolen += p.ReadChar();
        };
        ASSERT_EQ(SetUserData(port.PortIndex(), 1, &recorder), 0);
        ASSERT_EQ(AddListener(port.PortIndex(), nullptr, &Recorder::Proc, 1), 0);
    }

    platform::HeadlessWindowThread window;
    Pty pty;
    TComPort port{window};
};

TEST_F(DispatcherTest, AvailNoticeForTheTextBeforeAWatchedCharacterComesFirst) {
    port.SetOpen(true);
    const std::uint16_t cr = port.NewDataTrigger("\r", false);
    std::vector<std::string> events;
    std::string read;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        events.push_back("avail " + std::to_string(count));
        for (int i = 0; i < count; ++i)
            read += p.ReadChar();
    };
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t h) {
        events.push_back(h == cr ? "data" : "data?");
    };
    pty.Send("abc\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 3; }));
    EXPECT_EQ(events, (std::vector<std::string>{"avail 3", "data", "avail 1"}));
    EXPECT_EQ(read, "abc\r");
    EXPECT_FALSE(port.InputWaiting());
}

TEST_F(DispatcherTest, AListenerThatReadsNothingHoldsTheDataNoticeBack) {
    port.SetOpen(true);
    port.NewDataTrigger("\r", false);
    std::vector<std::string> events;
    port.OnTriggerAvail = [&](TCustomComPort&, std::uint16_t count) {
        events.push_back("avail " + std::to_string(count));
    };
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t) { events.push_back("data"); };
    pty.Send("abc\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 1; }));
    pty.Send("x");
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 3; }));
    EXPECT_EQ(events, (std::vector<std::string>{"avail 3", "data", "avail 5"}));
    EXPECT_EQ(InputCount(port.PortIndex()), 5); // nobody read: everything still waits
}

TEST_F(DispatcherTest, CharactersAWaitTookAreNeverReportedAgain) {
    port.SetOpen(true);
    port.NewDataTrigger("\r", false);
    std::vector<std::string> events;
    port.OnTriggerAvail = [&](TCustomComPort&, std::uint16_t count) {
        events.push_back("avail " + std::to_string(count));
    };
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t) { events.push_back("data"); };
    // The line arrives while the wait runs, so no notice is on its way when
    // the wait takes it: nothing the dispatcher does after this may race it.
    auto timer = window.add_timer(50ms, [&] { pty.Send("ok\r"); });
    window.start_timer(timer);
    // The wait takes everything, the carriage return the trigger saw included.
    EXPECT_EQ(port.AwaitAnyText("ok\r", 36, true, false, '^'), 1);
    window.remove_timer(timer);
    pty.Send("x");
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 1; }));
    // A second character flushes anything the dispatcher still had for "x";
    // both stay unread.
    pty.Send("y");
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"avail 1", "avail 2"}));
}

TEST_F(DispatcherTest, NoticesStayHeldForAWaitThatBeganDuringANotice) {
    std::string stolen;
    Recorder recorder;
    ASSERT_NO_FATAL_FAILURE(OpenWithEchoAndRecorder(stolen, recorder));
    pty.Send("x");
    ASSERT_TRUE(recorder.WaitFor(1));
    // The avail notice for "x" now waits for the window thread, which starts
    // a wait; the notice runs inside it and must not release the suspension.
    auto timer = window.add_timer(100ms, [&] { pty.Send("OK\r\n"); });
    window.start_timer(timer);
    EXPECT_EQ(port.AwaitAnyText("OK", 36, true, true, '^'), 1);
    window.remove_timer(timer);
    EXPECT_EQ(stolen.find('O'), std::string::npos) << stolen; // the answer was the wait's
    RemoveListener(port.PortIndex(), nullptr, &Recorder::Proc);
}

TEST_F(DispatcherTest, AnAnswerInANoticeOnItsWayIsLeftForTheWait) {
    // A quick modem answers before the window thread has begun its wait: the
    // avail notice for the answer is begun already. A handler that reads
    // what arrives (the debug echo) must not take the answer from the wait.
    std::string stolen;
    Recorder recorder;
    ASSERT_NO_FATAL_FAILURE(OpenWithEchoAndRecorder(stolen, recorder));
    pty.Send("\r\nOK\r\n");
    ASSERT_TRUE(recorder.WaitFor(1)); // the notice is begun, its handler not run
    EXPECT_EQ(port.AwaitAnyText("OK", 36, true, true, '^'), 1);
    EXPECT_EQ(stolen, "");
    RemoveListener(port.PortIndex(), nullptr, &Recorder::Proc);
}

TEST_F(DispatcherTest, ABatchUnderWayWhenAWaitBeginsDeliversNothingMoreUntilItEnds) {
    // The gate holds the batch's first notice until the window thread has
    // begun its wait. That notice ends inside the wait without reaching a
    // handler; the rest of its batch must wait for the wait, whose characters
    // are then never reported.
    struct Case {
        const char* batch;
        std::uint16_t avail_level;
        std::vector<std::string> triggers;
        std::vector<std::string> then; // after the wait, for one more "\r"
    };
    const Case cases[] = {
        {"avail, then data", 1, {"\r"}, {"data 0", "avail 1"}},
        {"two data notices", 0, {"\r", "b\r"}, {"data 0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.batch);
        TComPort p(window);
        p.SetComNumber(1);
        p.SetTriggerLength(c.avail_level);
        p.SetOpen(true);
        std::vector<std::uint16_t> handles;
        for (const auto& t : c.triggers)
            handles.push_back(p.NewDataTrigger(t, false));
        bool waiting = false;
        std::vector<std::string> events;
        auto note = [&](const std::string& e) { events.push_back(waiting ? "in wait: " + e : e); };
        p.OnTriggerAvail = [&](TCustomComPort& cp, std::uint16_t count) {
            note("avail " + std::to_string(count));
            for (int i = 0; i < count; ++i)
                cp.ReadChar();
        };
        p.OnTriggerData = [&](TCustomComPort&, std::uint16_t h) {
            const auto at = std::find(handles.begin(), handles.end(), h) - handles.begin();
            note("data " + std::to_string(at));
        };
        Gate gate;
        ASSERT_EQ(SetUserData(p.PortIndex(), 2, &gate), 0);
        ASSERT_EQ(AddListener(p.PortIndex(), nullptr, &Gate::Proc, 1), 0);
        pty.Send("ab\r");
        ASSERT_TRUE(gate.WaitArrived());
        platform::WindowThread::TimerId opener = 0;
        opener = window.add_timer(1ms, [&] {
            window.stop_timer(opener);
            gate.Open();
        });
        window.start_timer(opener);
        waiting = true;
        EXPECT_EQ(p.AwaitAnyText("\r", 36, true, false, '^'), 1);
        waiting = false;
        window.remove_timer(opener);
        EXPECT_EQ(events, std::vector<std::string>{});

        events.clear();
        pty.Send("\r");
        ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= c.then.size(); }));
        EXPECT_EQ(events, c.then);
        RemoveListener(p.PortIndex(), nullptr, &Gate::Proc);
        for (auto h : handles)
            p.DeleteTrigger(h);
        p.SetOpen(false);
    }
}

TEST_F(DispatcherTest, AHandlerThatBlocksHoldsThePortsDispatcherNoLongerThanTheLimit) {
    port.SetOpen(true);
    const RecordIndex index = port.PortIndex();
    Recorder recorder;
    recorder.wake = &window;
    ASSERT_EQ(SetUserData(index, 1, &recorder), 0);
    ASSERT_EQ(AddListener(index, nullptr, &Recorder::Proc, 1), 0);
    using Clock = std::chrono::steady_clock;
    bool first = true;
    bool done = false;
    bool released = false;
    Clock::duration held{};
    std::string read;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        if (!first) { // the next notice, inside the loop below or after it
            for (int i = 0; i < count; ++i)
                read += p.ReadChar();
            return;
        }
        first = false;
        // Like a message box: a loop of its own until the user answers, here
        // until the dispatcher has gone on to the next notice meanwhile.
        const auto start = Clock::now();
        pty.Send("y");
        const auto guard = start + 10s;
        while (recorder.Count() < 2 && Clock::now() < guard)
            window.wait(std::chrono::duration_cast<std::chrono::milliseconds>(guard - Clock::now()));
        held = Clock::now() - start;
        released = recorder.Count() >= 2;
        done = true;
    };
    pty.Send("x");
    ASSERT_TRUE(PumpUntil(window, [&] { return done; }, 20s));
    EXPECT_TRUE(released) << "the dispatcher waited for the handler to return";
    // The notice's limit, neither cut short nor overrun.
    EXPECT_GE(held, 800ms);
    EXPECT_LE(held, 3000ms);
    // Both characters reach the handler once: the first notice, given up on,
    // took none; the one that followed it took both.
    ASSERT_TRUE(PumpUntil(window, [&] { return read.size() >= 2; }));
    EXPECT_EQ(read, "xy");
    EXPECT_EQ(InputCount(index), 0);
    RemoveListener(index, nullptr, &Recorder::Proc);
}

TEST_F(DispatcherTest, EachPortKeepsItsOwnAvailPosition) {
    Pty second;
    second.MapTo(3);
    TComPort other(window);
    other.SetComNumber(3);
    port.SetOpen(true);
    other.SetOpen(true);
    std::string first_read, second_read;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        for (int i = 0; i < count; ++i)
            first_read += p.ReadChar();
    };
    other.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        for (int i = 0; i < count; ++i)
            second_read += p.ReadChar();
    };
    pty.Send("abc");
    ASSERT_TRUE(PumpUntil(window, [&] { return first_read == "abc"; }));
    // The second port reaches the same ring position: it is told all the same.
    second.Send("xyz");
    EXPECT_TRUE(PumpUntil(
        window, [&] { return second_read == "xyz"; }, 5s))
        << second_read;
    other.SetOpen(false);
}

TEST_F(DispatcherTest, DataTriggersMatchAtTheRightCharacters) {
    struct Case {
        const char* text;
        bool ignore_case;
        const char* input;
        std::vector<int> fires_at; // 1-based character numbers
    };
    const Case cases[] = {
        {"aa", false, "aaaa", {2, 3}},
        {"aab", false, "aaab", {4}}, // a repeated beginning is still
                                     // found
        {"ok", true, "xOkoK", {3, 5}},
        {"ok", false, "xOkok", {5}},
        {"\r", false, "a\rb\r", {2, 4}},
    };
    port.SetOpen(true);
    int avail = 0;
    int sent = 0;
    std::vector<int> fired;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        for (int i = 0; i < count; ++i)
            p.ReadChar();
        ++avail;
    };
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t) { fired.push_back(sent); };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " in " + c.input);
        const std::uint16_t handle = port.NewDataTrigger(c.text, c.ignore_case);
        fired.clear();
        sent = 0;
        // One character at a time; each ends with one avail notice.
        for (const char* p = c.input; *p; ++p) {
            const int before = avail;
            ++sent;
            pty.Send(std::string(1, *p));
            ASSERT_TRUE(PumpUntil(window, [&] { return avail > before; }));
        }
        EXPECT_EQ(fired, c.fires_at);
        port.DeleteTrigger(handle);
    }
}

TEST_F(DispatcherTest, TriggerLimitsAndHandles) {
    port.SetOpen(true);
    EXPECT_THROW(port.NewDataTrigger(std::string(22, 'x'), false), ETriggerTooLong);
    EXPECT_EQ(serial::NewDataTrigger(port.PortIndex(), "0123456789012345678901", false, 22),
              ecTriggerTooLong);
    std::vector<std::uint16_t> handles;
    for (int i = 0; i < 20; ++i)
        handles.push_back(port.NewDataTrigger(std::string(21, 'a'), false));
    EXPECT_EQ(handles.front(), 2);
    EXPECT_EQ(handles.back(), 21);
    EXPECT_THROW(port.NewDataTrigger("z", false), ENoMoreTriggers);
    // Timer and status triggers share the remaining handles.
    const int timer = NewTimerTrigger(port.PortIndex());
    EXPECT_EQ(timer, 22);
    EXPECT_EQ(ArmTimerTrigger(port.PortIndex(), handles[0], 1, true), ecBadTriggerHandle);
    EXPECT_EQ(NewStatusTrigger(port.PortIndex(), 6), ecBadArgument);

    // Handle 1 is the avail notice; a handle never given out changes nothing.
    EXPECT_EQ(GetAvailLevel(port.PortIndex()), 1);
    port.DeleteTrigger(1);
    EXPECT_EQ(GetAvailLevel(port.PortIndex()), 0);
    port.DeleteTrigger(37);
    EXPECT_EQ(serial::DeleteTrigger(port.PortIndex(), 500), 0);
    EXPECT_THROW(port.NewDataTrigger("z", false), ENoMoreTriggers);
    port.DeleteTrigger(handles[5]);
    EXPECT_EQ(port.NewDataTrigger("z", false), handles[5]); // the lowest free handle
}

TEST_F(DispatcherTest, AFullRingHoldsExactly8192AndTakesTheRestWhenThereIsRoom) {
    Record rec(pty);
    ASSERT_GT(rec.Result(), 0);
    SetWakeTarget(rec.Index(), &window);
    std::string sent(10000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>(i * 7 % 251);
    std::thread writer([&] { pty.Send(sent); });
    ASSERT_TRUE(PumpUntil(window, [&] { return InputCount(rec.Index()) == 8192; }));
    EXPECT_TRUE(InputWaiting(rec.Index()));
    EXPECT_EQ(InputRoom(rec.Index()), 0);
    std::string got;
    while (got.size() < sent.size()) {
        // The rest waits in the driver; no new character is needed to fetch it.
        ASSERT_TRUE(PumpUntil(window, [&] { return InputWaiting(rec.Index()); })) << got.size();
        char c;
        while (ReadChar(rec.Index(), c) == 0)
            got += c;
    }
    writer.join();
    EXPECT_EQ(got, sent);
    char c;
    EXPECT_EQ(ReadChar(rec.Index(), c), ecBufferIsEmpty);
}

TEST_F(DispatcherTest, ATimerTriggerFiresOnceUntilArmedAgain) {
    Record rec(pty);
    ASSERT_GT(rec.Result(), 0);
    ASSERT_EQ(AddListener(rec.Index(), nullptr, &Recorder::Proc, 1), 0);
    const int handle = NewTimerTrigger(rec.Index());
    ASSERT_GT(handle, 1);
    ASSERT_EQ(ArmTimerTrigger(rec.Index(), handle, 1, true), 0);
    ASSERT_TRUE(rec.recorder.WaitFor(1));
    // A second timer of 18 ticks is the witness: a first timer that repeated
    // would have fired many times before it.
    const int witness = NewTimerTrigger(rec.Index());
    ASSERT_EQ(ArmTimerTrigger(rec.Index(), witness, 18, true), 0);
    ASSERT_TRUE(rec.recorder.WaitFor(2));
    // Armed again, it fires again, and not before its time.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ArmTimerTrigger(rec.Index(), handle, 36, true), 0);
    ASSERT_TRUE(rec.recorder.WaitFor(3));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 36 * 55ms - 55ms);
    std::lock_guard lock(rec.recorder.mutex);
    std::vector<std::uint32_t> fired;
    for (const auto& n : rec.recorder.notices) {
        EXPECT_EQ(n.msg, kNoticeTimer);
        fired.push_back(n.wparam);
    }
    const auto h = static_cast<std::uint32_t>(handle);
    EXPECT_EQ(fired, (std::vector<std::uint32_t>{h, static_cast<std::uint32_t>(witness), h}));
}

TEST_F(DispatcherTest, StatusTriggersReportOutputRoomAndSentData) {
    Record rec(pty);
    ASSERT_GT(rec.Result(), 0);
    ASSERT_EQ(AddListener(rec.Index(), nullptr, &Recorder::Proc, 1), 0);
    const int room = NewStatusTrigger(rec.Index(), kStatusOutRoom);
    const int sent = NewStatusTrigger(rec.Index(), kStatusOutSent);
    ASSERT_EQ(ArmStatusTrigger(rec.Index(), room, 8192, true), 0);
    ASSERT_TRUE(rec.recorder.WaitFor(1));
    ASSERT_EQ(ArmStatusTrigger(rec.Index(), sent, 0, true), 0);
    const std::uint8_t byte = 'A';
    ASSERT_EQ(WriteBlock(rec.Index(), &byte, 1), 0);
    ASSERT_TRUE(rec.recorder.WaitFor(2));
    std::lock_guard lock(rec.recorder.mutex);
    EXPECT_EQ(rec.recorder.notices[0].msg, kNoticeStatus);
    EXPECT_EQ(rec.recorder.notices[0].wparam, static_cast<std::uint32_t>(room));
    EXPECT_EQ(rec.recorder.notices[0].low, 8192); // a pty's output queue is always empty
    EXPECT_EQ(rec.recorder.notices[1].wparam, static_cast<std::uint32_t>(sent));
}

TEST_F(DispatcherTest, ACarrierTriggerFiresWhenTheDeviceGoesAway) {
    Record rec(pty);
    ASSERT_GT(rec.Result(), 0);
    ASSERT_EQ(AddListener(rec.Index(), nullptr, &Recorder::Proc, 1), 0);
    const int carrier = NewStatusTrigger(rec.Index(), kStatusModem);
    // A terminal without modem lines reports the carrier present.
    EXPECT_EQ(ReadModemStatus(rec.Index(), 0xF0) & platform::kLineCarrier, platform::kLineCarrier);
    ASSERT_EQ(ArmStatusTrigger(rec.Index(), carrier, platform::kLineCarrier, true), 0);
    pty.HangUp();
    ASSERT_TRUE(rec.recorder.WaitFor(1));
    std::lock_guard lock(rec.recorder.mutex);
    EXPECT_EQ(rec.recorder.notices[0].msg, kNoticeStatus);
    EXPECT_EQ(rec.recorder.notices[0].wparam, static_cast<std::uint32_t>(carrier));
}

TEST_F(DispatcherTest, ClosingThePortInsideADataNoticeEndsTheNotice) {
    port.SetTriggerLength(0);
    port.SetOpen(true);
    port.NewDataTrigger("\r", false);
    const RecordIndex index = port.PortIndex();
    int data = 0;
    port.OnTriggerData = [&](TCustomComPort& p, std::uint16_t) {
        ++data;
        p.SetOpen(false);
    };
    pty.Send("ATZ\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return data == 1; }));
    EXPECT_FALSE(port.Open());
    EXPECT_TRUE(WaitPortRecordFreed(index, 5s));
    // The port opens again and still knows its trigger.
    port.SetOpen(true);
    pty.Send("\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return data == 2; }));
}

TEST_F(DispatcherTest, ClosingInsideANoticeSkipsTheListenersBehind) {
    Record rec(pty);
    ASSERT_GT(rec.Result(), 0);
    const RecordIndex index = rec.Index();
    ASSERT_EQ(AddListener(index, nullptr, &Recorder::Proc, 1), 0); // last in the walk
    NoticeWindow closer(
        window, kComNoticeWindowClass,
        [&](std::uint16_t, std::uint32_t, std::uint32_t) { EXPECT_EQ(ClosePortRecord(index), 0); });
    ASSERT_EQ(AddListener(index, &closer, nullptr, 1), 0);
    ASSERT_GT(serial::NewDataTrigger(index, "\r", false, 1), 1);
    pty.Send("\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return !PortRecordLive(index); }));
    EXPECT_TRUE(WaitPortRecordFreed(index, 5s));
    EXPECT_EQ(rec.recorder.Count(), 0u);
}

TEST_F(DispatcherTest, ADeviceThatGoesAwayLeavesTheProgramResponsive) {
    port.SetOpen(true);
    int avail = 0;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        for (int i = 0; i < count; ++i)
            p.ReadChar();
        ++avail;
    };
    pty.Send("OK\r\n");
    ASSERT_TRUE(PumpUntil(window, [&] { return avail > 0; }));
    pty.HangUp();

    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < start + 1s)
        window.wait(200ms);
    const auto wall_us = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    ::getrusage(RUSAGE_SELF, &after);
    const auto cpu_us = [](const rusage& r) {
        return r.ru_utime.tv_sec * 1'000'000L + r.ru_utime.tv_usec +
               r.ru_stime.tv_sec * 1'000'000L + r.ru_stime.tv_usec;
    };
    // A thread spinning on the hang-up would take a whole core: about all
    // of the time that passed, where waiting threads take a small share.
    EXPECT_LT(cpu_us(after) - cpu_us(before), wall_us * 3 / 10);

    try {
        port.SendText("AT\r");
        FAIL() << "wrote to a device that is gone";
    } catch (const EPutBlockFail& e) {
        EXPECT_EQ(e.ErrorCode, ecPutBlockFail);
    }
    EXPECT_EQ(port.AwaitAnyText("OK", 1, true, true, '^'), 0);
    bool ran = false;
    window.post([&] { ran = true; });
    window.process_pending();
    EXPECT_TRUE(ran);
    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
}

TEST_F(DispatcherTest, AMegabyteArrivesThroughTheRingUnchanged) {
    port.SetOpen(true);
    std::string received;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        for (int i = 0; i < count; ++i)
            received += p.ReadChar();
    };
    std::string sent(1 << 20, '\0');
    std::mt19937 random(20261210);
    for (auto& c : sent)
        c = static_cast<char>(random());
    std::thread writer([&] { pty.Send(sent); });
    const bool complete = PumpUntil(
        window, [&] { return received.size() >= sent.size(); }, 120s);
    writer.join();
    ASSERT_TRUE(complete) << received.size();
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_EQ(std::hash<std::string>{}(received), std::hash<std::string>{}(sent));
    EXPECT_TRUE(received == sent);
}

// The debug echo's read: each avail notice's characters in one read, in the
// order they came, across notices and the data notices between them; an
// empty ring raises and appends nothing.
TEST_F(DispatcherTest, AvailHandlersReadTheirBatchAtOnceInOrder) {
    port.SetOpen(true);
    port.NewDataTrigger("\r\n", false);
    std::string read;
    std::vector<std::string> read_at_data;
    port.OnTriggerAvail = [&](TCustomComPort& p, std::uint16_t count) {
        p.ReadChars(count, read);
    };
    port.OnTriggerData = [&](TCustomComPort&, std::uint16_t) { read_at_data.push_back(read); };
    pty.Send("Prog HEX\r");
    ASSERT_TRUE(PumpUntil(window, [&] { return read.size() >= 9; }));
    pty.Send("\nOK\r\n");
    ASSERT_TRUE(PumpUntil(window, [&] { return read_at_data.size() >= 2 && read.size() >= 14; }));
    EXPECT_EQ(read, "Prog HEX\r\nOK\r\n");
    // A data notice follows the text before its match: all of it when the
    // match began in an earlier batch, up to the match's start otherwise.
    EXPECT_EQ(read_at_data, (std::vector<std::string>{"Prog HEX\r", "Prog HEX\r\nOK"}));
    ASSERT_TRUE(WaitNoticeDelivered(port.PortIndex(), 5s));
    EXPECT_FALSE(port.InputWaiting());
    std::string rest = "x";
    EXPECT_THROW(port.ReadChars(2, rest), EBufferIsEmpty);
    EXPECT_EQ(rest, "x");
}

// A window thread that tells when a task was posted to it, so a test can
// hold a notice queued: the thread that built it runs nothing until it asks.
class PostWatchingWindow final : public tollander::testing::ForwardingWindow {
public:
    void post(Task task) override {
        inner.post(std::move(task));
        {
            std::lock_guard lock(mutex_);
            ++posted_;
        }
        cv_.notify_all();
    }
    bool WaitPosted(int count) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, 10s, [&] { return posted_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int posted_ = 0;
};

// A notice reaches the port object its window belongs to. One already
// queued for the window thread when its port closes is dropped: it reaches
// neither the closed port, nor the object once destroyed, nor the port that
// opens the same record number next.
TEST(NoticeLifetime, ANoticeQueuedWhenItsPortClosesReachesNoPort) {
    PostWatchingWindow window;
    Pty pty;
    pty.MapTo(1);
    int old_avail = 0, new_avail = 0;
    auto old_port = std::make_unique<TComPort>(window);
    old_port->SetComNumber(1);
    old_port->SetOpen(true);
    const RecordIndex index = old_port->PortIndex();
    old_port->OnTriggerAvail = [&](TCustomComPort&, std::uint16_t) { ++old_avail; };
    pty.Send("x");
    ASSERT_TRUE(window.WaitPosted(1)); // queued: this thread runs nothing meanwhile
    old_port.reset();
    ASSERT_TRUE(WaitPortRecordFreed(index, 5s));
    TComPort new_port(window);
    new_port.SetComNumber(1);
    new_port.SetOpen(true);
    ASSERT_EQ(new_port.PortIndex(), index);
    new_port.OnTriggerAvail = [&](TCustomComPort&, std::uint16_t) { ++new_avail; };
    window.process_pending();
    EXPECT_EQ(old_avail, 0);
    EXPECT_EQ(new_avail, 0);
    // The new port's own notices reach it.
    pty.Send("y");
    EXPECT_TRUE(PumpUntil(window, [&] { return new_avail == 1; }));
    EXPECT_EQ(old_avail, 0);
    new_port.SetOpen(false);
    platform::SetComDevicePath(1, std::nullopt);
}

} // namespace
} // namespace tollander::serial

namespace tollander::serial {
namespace {

TEST(FakeDeviceTest, LineErrorsAndShortWritesReachTheirEventsAndExceptions) {
    platform::HeadlessWindowThread window;
    auto state = std::make_shared<FakeDevice::State>();
    TComPort port(window);
    port.SetDeviceLayer(dlOther);
    port.DeviceLayerHook = [state] { return std::make_unique<FakeDevice>(state); };
    port.SetOutSize(8192);
    port.SetOpen(true);
    std::vector<std::string> events;
    port.OnTriggerStatus = [&](TCustomComPort&, std::uint16_t h) {
        events.push_back("status " + std::to_string(h));
    };
    port.OnTriggerLineError = [&](TCustomComPort&, std::uint16_t code, bool line_break) {
        events.push_back("error " + std::to_string(code) + (line_break ? " break" : ""));
    };
    const int handle = NewStatusTrigger(port.PortIndex(), kStatusLineError);
    ASSERT_EQ(ArmStatusTrigger(port.PortIndex(), handle, 2 | 8, true), 0); // parity, break
    FakeDevice::Inject(*state, platform::kEvError | platform::kEvBreak,
                       platform::kErrParity | platform::kErrBreak);
    ASSERT_TRUE(PumpUntil(window, [&] { return events.size() >= 2; }));
    EXPECT_EQ(events,
              (std::vector<std::string>{"status " + std::to_string(handle), "error 3 break"}));
    EXPECT_EQ(GetLineErrors(port.PortIndex()), 0);

    {
        std::lock_guard lock(state->mutex);
        state->out_queue = 8190; // two places left
    }
    EXPECT_THROW(port.SendText("ATZ\r"), EOutputBufferTooSmall);
    {
        std::lock_guard lock(state->mutex);
        state->out_queue = 0;
        state->write_result = -2; // the device took two bytes and gave up
    }
    EXPECT_THROW(port.SendText("ATZ\r"), EPutBlockFail);
    port.SetOpen(false);
}

// A port on the fake device for the tests of writes held up by flow control.
class HeldWrite : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDeviceLayer(dlOther);
        port.DeviceLayerHook = [s = state] { return std::make_unique<FakeDevice>(s); };
        port.SetOutSize(8192);
        port.SetOpen(true);
        index = port.PortIndex();
        std::lock_guard lock(state->mutex);
        state->cts_low = true;
    }
    void TearDown() override {
        state->RaiseCts();
        port.SetOpen(false);
    }

    platform::HeadlessWindowThread window;
    std::shared_ptr<FakeDevice::State> state = std::make_shared<FakeDevice::State>();
    TComPort port{window};
    RecordIndex index = 0;
};

TEST_F(HeldWrite, TheWindowThreadReadsSetsLinesAndClosesWhileAnotherThreadWrites) {
    int result = 1;
    std::thread writer([&] {
        const std::uint8_t block[] = {'A', 'T', '\r'};
        result = WriteBlock(index, block, sizeof block);
    });
    ASSERT_TRUE(state->WaitWriting());
    EXPECT_FALSE(port.InputWaiting());
    port.SetDTR(false);
    port.SetOpen(false);
    EXPECT_TRUE(state->Writing()) << "the window thread waited for the write";
    {
        std::lock_guard lock(state->mutex);
        EXPECT_FALSE(state->closed); // not under a write in progress
    }
    state->RaiseCts();
    writer.join();
    // Closed under it, the block may never have gone out whole.
    EXPECT_EQ(result, ecPutBlockFail);
    EXPECT_TRUE(WaitPortRecordFreed(index, 10s));
    std::lock_guard lock(state->mutex);
    EXPECT_TRUE(state->closed);
    EXPECT_FALSE(state->closed_while_writing);
}

TEST_F(HeldWrite, TheProtocolGoesAwayWhileItsEngineWrites) {
    namespace fs = std::filesystem;
    const fs::path file =
        fs::temp_directory_path() / ("tollander-held-write-" + std::to_string(::getpid()));
    std::ofstream(file, std::ios::binary) << std::string(100, 'h');
    {
        TProtocol protocol(window, &port);
        protocol.SetProtocolType(ptAscii);
        protocol.SetFileName(file.string());
        protocol.BeginSend();
        // The engine writes its first block on the dispatcher; CTS stays low.
        ASSERT_TRUE(state->WaitWriting());
        ASSERT_EQ(StatusTriggerKind(index, 4), kStatusOutRoom);
    }
    EXPECT_TRUE(state->Writing()) << "the window thread waited for the engine's write";
    // A new run on the port begins while the old engine still writes; what
    // the old one leaves behind when it ends is its own only.
    TProtocol next(window, &port);
    next.SetProtocolType(ptAscii);
    next.SetFileName(file.string());
    int finish = 1;
    bool finished = false;
    next.OnProtocolFinish = [&](TCustomProtocol&, int code) {
        finish = code;
        finished = true;
    };
    next.BeginSend();
    state->RaiseCts();
    // The old engine ends its run by itself: its triggers go.
    EXPECT_TRUE(PumpUntil(window, [&] { return StatusTriggerKind(index, 4) == 0; }));
    EXPECT_TRUE(PumpUntil(window, [&] { return finished; }));
    EXPECT_EQ(finish, 0);
    fs::remove(file);
}

} // namespace
} // namespace tollander::serial
