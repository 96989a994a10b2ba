// ASCII send: the file window, then whole runs through a port object, first
// over a fake line (to see each write and the output queue behind it, and to
// stall, fail or drop the carrier) and then over a pseudo-terminal with a
// reader at the far end.
#include "platform/thread/headless_window_thread.h"
#include "platform/serial/port_map.h"
#include "platform/serial/serial_device.h"
#include "serial/com_port.h"
#include "serial/protocol.h"
#include "tests/pty/pty_fixture.h"
#include "tests/pty/quiet_device.h"
#include "tools/mkfirmware/sample_firmware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tollander;
using namespace tollander::serial;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string TestDir() {
    auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = fs::temp_directory_path() /
                   ("tollander-protocol-" + std::to_string(::getpid()) + "-" + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::string WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// Text of `size` bytes: HEX-like lines with CR LF and the byte 26 inside.
std::string SampleText(std::size_t size) {
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i) {
        text += ":10" + std::to_string(1000 + i % 9000) +
                "00AB\x1A"
                "CDEF0123\r\n";
    }
    text.resize(size);
    return text;
}

// ---- The file window ----

TEST(AsciiFileWindow, BlocksEndAtTheEndOfTheDataAndNeverCarryPadding) {
    const std::string dir = TestDir();
    struct Case {
        std::size_t size;
        std::vector<int> blocks;
    };
    const std::vector<Case> cases = {
        {21417, {8191, 8191, 5035}}, {8191, {8191}},           {8192, {8191, 1}},
        {16382, {8191, 8191}},       {16383, {8191, 8191, 1}}, {1, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string text = SampleText(c.size);
        AsciiFileWindow window;
        ASSERT_EQ(window.Open(WriteFile(dir + "/f", text)), 0);
        EXPECT_EQ(window.FileSize(), c.size);
        std::vector<int> blocks;
        std::string sent;
        std::uint8_t block[kProtocolBufferSize];
        bool last = false;
        for (std::uint32_t pos = 0; !last; pos += kSendBlockSize) {
            const int n = window.ReadBlock(pos, block, kSendBlockSize, last);
            ASSERT_GE(n, 0);
            blocks.push_back(n);
            sent.append(reinterpret_cast<const char*>(block), static_cast<std::size_t>(n));
        }
        EXPECT_EQ(blocks, c.blocks);
        EXPECT_TRUE(sent == text);
        window.Close();
    }
    AsciiFileWindow window;
    EXPECT_EQ(window.Open(""), -2);
    EXPECT_EQ(window.Open(dir + "/missing"), -2);
    EXPECT_FALSE(window.IsOpen());
    fs::remove_all(dir);
}

// ---- A fake line ----

// What the fake device saw and how it behaves; shared with the test.
struct LineState {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> writes;
    std::vector<std::uint32_t> queued_at_write;
    std::uint32_t queued = 0; // bytes not yet "on the wire"
    std::uint32_t drain_per_status = 4096;
    std::size_t stall_after_writes = SIZE_MAX; // the queue stops emptying then
    int write_result = 0;                      // 0: take the block; else give this
    bool carrier = true;
    std::uint32_t pending_events = 0;
    bool closed = false;
    platform::WindowThread* wake = nullptr;
    std::string incoming; // what the modem said, not read yet
    // Runs in each write, under the mutex, with the number of writes so far.
    std::function<void(std::size_t)> after_write;
    // A listening write that the modem cuts short: write number `cut_write`
    // (1-based) takes `cut_at` bytes, then the modem says `cut_says` while
    // the line holds the rest back.
    std::size_t cut_write = 0;
    std::size_t cut_at = 0;
    std::string cut_says;

    // The modem says `text` (the mutex held).
    void Say(const std::string& text) {
        incoming += text;
        pending_events |= platform::kEvRxChar;
        Notify();
    }
    void Notify() {
        changed.notify_all();
        if (wake) wake->wake();
    }
    void DropCarrier() {
        std::lock_guard lock(mutex);
        carrier = false;
        pending_events |= platform::kEvCarrier;
        Notify();
    }
};

class FakeLine final : public tollander::testing::QuietDevice {
public:
    explicit FakeLine(std::shared_ptr<LineState> s) : s_(std::move(s)) {}

    int open(const std::string&) override {
        std::lock_guard lock(s_->mutex);
        s_->closed = false;
        return 0;
    }
    void close() override {
        std::lock_guard lock(s_->mutex);
        s_->closed = true;
        s_->Notify();
    }
    bool is_open() const override { return !s_->closed; }
    int write(const std::uint8_t* bytes, std::size_t n) override {
        std::lock_guard lock(s_->mutex);
        if (s_->write_result != 0) return s_->write_result;
        s_->writes.emplace_back(reinterpret_cast<const char*>(bytes), n);
        s_->queued_at_write.push_back(s_->queued);
        s_->queued += static_cast<std::uint32_t>(n);
        if (s_->after_write) s_->after_write(s_->writes.size());
        s_->Notify();
        return static_cast<int>(n);
    }
    int write_listening(const std::uint8_t* bytes, std::size_t n, bool& heard) override {
        heard = false;
        {
            std::lock_guard lock(s_->mutex);
            if (s_->cut_write != 0 && s_->writes.size() + 1 == s_->cut_write) {
                s_->cut_write = 0;
                heard = true;
                if (s_->cut_at > 0) {
                    s_->writes.emplace_back(reinterpret_cast<const char*>(bytes), s_->cut_at);
                    s_->queued_at_write.push_back(s_->queued);
                    s_->queued += static_cast<std::uint32_t>(s_->cut_at);
                }
                s_->Say(s_->cut_says);
                return -static_cast<int>(s_->cut_at);
            }
        }
        return write(bytes, n);
    }
    int read(std::uint8_t* buffer, std::size_t n) override {
        std::lock_guard lock(s_->mutex);
        n = std::min(n, s_->incoming.size());
        std::copy_n(s_->incoming.begin(), n, buffer);
        s_->incoming.erase(0, n);
        return static_cast<int>(n);
    }
    int status(platform::DeviceStatus& st) override {
        std::lock_guard lock(s_->mutex);
        if (s_->writes.size() < s_->stall_after_writes)
            s_->queued -= std::min(s_->queued, s_->drain_per_status);
        st = {};
        st.out_queue = s_->queued;
        st.in_queue = static_cast<std::uint32_t>(s_->incoming.size());
        return 0;
    }
    int purge(platform::PurgeQueue which) override {
        std::lock_guard lock(s_->mutex);
        if (which == platform::PurgeQueue::output) s_->queued = 0;
        return 0;
    }
    int modem_lines(std::uint8_t& states) override {
        std::lock_guard lock(s_->mutex);
        states =
            platform::kLineCts | platform::kLineDsr | (s_->carrier ? platform::kLineCarrier : 0);
        return 0;
    }
    int set_event_mask(std::uint32_t mask) override {
        std::lock_guard lock(s_->mutex);
        mask_ = mask;
        ++mask_changes_;
        s_->changed.notify_all();
        return 0;
    }
    int wait_event(std::uint32_t& word) override {
        std::unique_lock lock(s_->mutex);
        const auto changes = mask_changes_;
        s_->changed.wait(lock, [&] {
            return s_->closed || mask_changes_ != changes || (s_->pending_events & mask_) != 0;
        });
        if (s_->closed) return -platform::kDevNotOpen;
        word = s_->pending_events & mask_;
        s_->pending_events &= ~word;
        return 0;
    }

private:
    std::shared_ptr<LineState> s_;
    std::uint32_t mask_ = 0;
    std::uint64_t mask_changes_ = 0;
};

// What the protocol's events reported, in order.
struct Recorder {
    std::vector<std::string> events; // "S1", "S0", "S2", "E-2", "F0", "L4" ...
    int finishes = 0;
    int finish_code = 1;
    std::int64_t gauge = 0;

    void Attach(TCustomProtocol& p) {
        p.OnProtocolStatus = [this](TCustomProtocol& cp, std::uint16_t o) {
            events.push_back("S" + std::to_string(o));
            gauge += cp.BlockSize();
        };
        p.OnProtocolLog = [this](TCustomProtocol&, std::uint16_t l) {
            events.push_back("L" + std::to_string(l));
        };
        p.OnProtocolError = [this](TCustomProtocol&, int e) {
            events.push_back("E" + std::to_string(e));
        };
        p.OnProtocolFinish = [this](TCustomProtocol&, int e) {
            events.push_back("F" + std::to_string(e));
            ++finishes;
            finish_code = e;
        };
    }
    std::vector<std::string> Only(char kind) const {
        std::vector<std::string> out;
        for (const auto& e : events)
            if (e[0] == kind) out.push_back(e);
        return out;
    }
};

// Port and protocol as the main window sets them up, on a window thread that
// is the test's own thread.
class ProtocolRun {
public:
    explicit ProtocolRun(const DeviceLayer& layer = {}) : port_(wt_), protocol_(wt_, &port_) {
        if (layer) {
            port_.SetDeviceLayer(dlOther);
            port_.DeviceLayerHook = layer;
        }
        port_.SetComNumber(1);
        port_.SetBaud(115200);
        port_.SetInSize(8192);
        port_.SetOutSize(8192);
        port_.SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
        port_.SetBufferFull(7372);
        port_.SetBufferResume(818);
        protocol_.SetProtocolType(ptAscii);
        recorder_.Attach(protocol_);
    }
    ~ProtocolRun() { port_.SetOpen(false); }

    platform::HeadlessWindowThread& Wt() { return wt_; }
    TComPort& Port() { return port_; }
    TProtocol& Protocol() { return protocol_; }
    Recorder& Rec() { return recorder_; }

    // Starts the run and keeps the window thread going until its finish.
    void SendAndFinish(const std::string& path, std::chrono::seconds guard = 60s) {
        protocol_.SetFileName(path);
        protocol_.BeginSend();
        WaitFor([&] { return recorder_.finishes > 0; }, guard);
        ASSERT_EQ(recorder_.finishes, 1) << "no finish event in time";
        EXPECT_FALSE(protocol_.InProgress());
    }
    template <class Pred> void WaitFor(Pred done, std::chrono::seconds guard = 60s) {
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            wt_.wait(200ms);
    }

private:
    platform::HeadlessWindowThread wt_;
    TComPort port_;
    TProtocol protocol_;
    Recorder recorder_;
};

class FakeLineRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = TestDir();
        Reset();
    }
    void TearDown() override {
        run_.reset();
        fs::remove_all(dir_);
    }
    // A fresh line, port and protocol for the next case of a table.
    void Reset() {
        run_.reset();
        line_ = std::make_shared<LineState>();
        run_ = std::make_unique<ProtocolRun>(
            [line = line_] { return std::make_unique<FakeLine>(line); });
        line_->wake = &run_->Wt();
    }
    std::vector<std::size_t> WriteSizes() {
        std::lock_guard lock(line_->mutex);
        std::vector<std::size_t> sizes;
        for (const auto& w : line_->writes)
            sizes.push_back(w.size());
        return sizes;
    }
    std::string Written() {
        std::lock_guard lock(line_->mutex);
        std::string all;
        for (const auto& w : line_->writes)
            all += w;
        return all;
    }

    std::string dir_;
    std::shared_ptr<LineState> line_;
    std::unique_ptr<ProtocolRun> run_;
};

TEST_F(FakeLineRun, BlocksAreWrittenOnlyIntoAnEmptyQueue) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> writes;
    };
    for (const Case& c :
         {Case{21417, {8191, 8191, 5035}}, Case{8191, {8191}}, Case{8192, {8191, 1}}}) {
        SCOPED_TRACE(c.size);
        Reset();
        const std::string text = SampleText(c.size);
        run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
        EXPECT_EQ(run_->Rec().finish_code, 0);
        EXPECT_EQ(WriteSizes(), c.writes);
        EXPECT_TRUE(Written() == text);
        for (auto queued : line_->queued_at_write)
            EXPECT_EQ(queued, 0u);
    }
}

TEST_F(FakeLineRun, EventsOfOneFileComeInOrder) {
    const std::string text = tools::MakeBootHex();
    run_->Protocol().SetStatusInterval(1); // interval reports between blocks too
    run_->SendAndFinish(WriteFile(dir_ + "/FLS0228.HEX", text));
    const auto& ev = run_->Rec().events;
    const auto status = run_->Rec().Only('S');
    ASSERT_GE(status.size(), 5u);
    EXPECT_EQ(status.front(), "S1");
    EXPECT_EQ(status.back(), "S2");
    for (std::size_t i = 1; i + 1 < status.size(); ++i)
        EXPECT_EQ(status[i], "S0");
    EXPECT_EQ(run_->Rec().Only('L'), (std::vector<std::string>{"L4", "L5"}));
    EXPECT_TRUE(run_->Rec().Only('E').empty());
    EXPECT_EQ(ev.back(), "F0");
    EXPECT_EQ(ev[ev.size() - 2], "S2");
    // One report per block at least, and the gauge gets to the file size.
    EXPECT_GE(status.size() - 2, 3u);
    EXPECT_GE(run_->Rec().gauge, static_cast<std::int64_t>(text.size()));
    EXPECT_EQ(run_->Protocol().BytesTransferred(), static_cast<std::int32_t>(text.size()));
    EXPECT_EQ(run_->Protocol().BlockNum(), 3);
}

TEST_F(FakeLineRun, FilesThatCannotBeSentEndWithErrorAndFinish) {
    WriteFile(dir_ + "/present.hex", "x");
    struct Case {
        std::string path;
        int code;
    };
    const std::vector<Case> cases = {
        {"", ecNoSearchMask},
        {dir_ + "/nodir/*.hex", ecDirNotFound},
        {dir_ + "/*.hex", ecFileNotFound}, // no pattern: present.hex is not sent
        {dir_ + "/absent.hex", ecFileNotFound},
        {dir_, ecFileNotFound},                     // a directory
        {dir_ + "/present.hex/x", ecDirNotFound},   // a file is no directory
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Reset();
        run_->SendAndFinish(c.path);
        const std::vector<std::string> expected = {"S1", "E" + std::to_string(c.code), "S2",
                                                   "F" + std::to_string(c.code)};
        EXPECT_EQ(run_->Rec().events, expected);
        EXPECT_TRUE(WriteSizes().empty());
    }
}

TEST_F(FakeLineRun, AFileThatIsThereButDoesNotOpenEndsTheRunOnceItStarted) {
    // A socket is there as a file, but it does not open for reading. It is
    // bound through the directory's descriptor: a socket's path is short.
    const int dir = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    const std::string bound = "/proc/self/fd/" + std::to_string(dir) + "/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bound.c_str(), bound.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(dir);
    run_->SendAndFinish(dir_ + "/socket");
    ::close(fd);
    const int code = run_->Rec().finish_code;
    EXPECT_LT(code, 0);
    const std::string e = std::to_string(code);
    EXPECT_EQ(run_->Rec().events,
              (std::vector<std::string>{"S1", "S0", "L4", "E" + e, "L6", "S2", "F" + e}));
    EXPECT_TRUE(WriteSizes().empty());
}

TEST_F(FakeLineRun, APathIsTakenAsItIsWritten) {
    std::string deep = "a directory [of] the path*";
    while (deep.size() < 300)
        deep += "/a directory [of] the path*";
    fs::create_directories(dir_ + "/" + deep);
    // Each beside a file that its characters, read as a pattern, match first.
    struct Case {
        std::string name;
        std::string decoy;
    };
    const std::vector<Case> cases = {
        {"fls[1].hex", "fls1.hex"},
        {"f*.hex", "f!.hex"},
        {"f?.hex", "f1.hex"},
        {deep + "/image.hex", ""}, // longer than 255 characters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        if (!c.decoy.empty()) WriteFile(dir_ + "/" + c.decoy, "decoy");
        const std::string text = SampleText(9000);
        run_->SendAndFinish(WriteFile(dir_ + "/" + c.name, text));
        EXPECT_EQ(run_->Rec().finish_code, 0);
        EXPECT_TRUE(Written() == text);
    }
}

TEST_F(FakeLineRun, AnEmptyFileEndsWellWithNothingWritten) {
    run_->SendAndFinish(WriteFile(dir_ + "/empty.hex", ""));
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(run_->Rec().Only('E').empty());
    EXPECT_TRUE(WriteSizes().empty());
}

TEST_F(FakeLineRun, QueueThatNeverEmptiesAfterTheLastBlockIsAFatalTimeout) {
    line_->stall_after_writes = 1;
    run_->Protocol().SetTransmitTimeout(4);
    run_->SendAndFinish(WriteFile(dir_ + "/small.hex", SampleText(100)));
    EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E-6006"}));
    EXPECT_EQ(run_->Rec().finish_code, ecFatalTimeout);
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{100}));
}

TEST_F(FakeLineRun, NoOutputRoomInTimeEndsTheRunWithAnError) {
    line_->stall_after_writes = 1;
    run_->Protocol().SetTransmitTimeout(4);
    run_->SendAndFinish(WriteFile(dir_ + "/image.hex", SampleText(21417)));
    EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E-6020"}));
    EXPECT_EQ(run_->Rec().finish_code, ecNoOutputRoom);
    EXPECT_EQ(run_->Rec().Only('L').back(), "L6");
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{8191}));
}

TEST_F(FakeLineRun, ABlockTheVerifierRefusesNeverReachesTheLine) {
    struct Seen {
        std::uint32_t index;
        std::size_t size;
        bool last;
        bool operator==(const Seen&) const = default;
    };
    const std::vector<Seen> all = {{0, 8191, false}, {1, 8191, false}, {2, 5035, true}};
    // -1: every block accepted.
    for (int refused : {-1, 0, 1, 2}) {
        SCOPED_TRACE(refused);
        Reset();
        const std::string text = SampleText(21417);
        std::mutex mutex;
        std::vector<Seen> seen;
        run_->Protocol().SetBlockVerifier(
            [&](std::uint32_t index, const std::uint8_t* data, std::size_t size, bool last) {
                std::lock_guard lock(mutex);
                seen.push_back({index, size, last});
                return static_cast<int>(index) != refused &&
                       std::equal(data, data + size, text.begin() + index * 8191);
            });
        run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
        const std::size_t sent = refused < 0 ? 3 : static_cast<std::size_t>(refused);
        std::vector<std::size_t> sizes;
        for (std::size_t i = 0; i < sent; ++i)
            sizes.push_back(all[i].size);
        EXPECT_EQ(WriteSizes(), sizes);
        std::lock_guard lock(mutex);
        EXPECT_EQ(seen, std::vector<Seen>(all.begin(), all.begin() + std::min<std::size_t>(
                                                                         sent + 1, all.size())));
        if (refused < 0) {
            EXPECT_EQ(run_->Rec().finish_code, 0);
            EXPECT_TRUE(Written() == text);
        } else {
            EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E-6021"}));
            EXPECT_EQ(run_->Rec().finish_code, ecBlockMismatch);
        }
    }
    // Not while a run is in progress.
    Reset();
    line_->stall_after_writes = 1;
    run_->Protocol().SetFileName(WriteFile(dir_ + "/image.hex", SampleText(21417)));
    run_->Protocol().BeginSend();
    EXPECT_THROW(run_->Protocol().SetBlockVerifier({}), EBadArgument);
}

// The upload listens: the modem giving the file up ends the run at once, and
// nothing more of the file goes out; what it said is left for the verdict
// wait. Echo and flow-control bytes are no answer, nor is a verdict after
// the last block.
TEST_F(FakeLineRun, AModemThatAnswersBeforeTheEndGetsNothingMore) {
    const std::string text = SampleText(4 * 8191 + 100);
    const std::string answers = "No RX data timeout^Boot>^ERROR";
    struct Case {
        std::string said;
        std::size_t after_write;
        int code;        // of the finish
        int verdict;     // what the verdict wait then finds
        std::size_t writes;
    };
    const std::vector<Case> cases = {
        {"\r\nNo RX data timeout\r\n", 1, ecModemAnswered, 1, 1},
        {"\r\nBoot>", 2, ecModemAnswered, 2, 2},
        {"\r\nERROR\r\n", 1, ecModemAnswered, 3, 1},
        {"\r\nno rx DATA timeout", 3, ecModemAnswered, 1, 3},
        // Echo of the records and flow-control characters.
        {text.substr(0, 300) + "\x11\x13\x11", 1, 0, 0, 5},
        // The verdict on the whole file, while the last block drains.
        {"\r\nNo RX data timeout\r\n", 5, 0, 1, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.said.substr(0, 40) + " after write " + std::to_string(c.after_write));
        Reset();
        line_->after_write = [&](std::size_t writes) {
            if (writes == c.after_write) line_->Say(c.said);
        };
        run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
        EXPECT_EQ(run_->Rec().finish_code, c.code);
        EXPECT_EQ(WriteSizes().size(), c.writes);
        EXPECT_TRUE(text.starts_with(Written()));
        if (c.code != 0) {
            EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E" + std::to_string(c.code)}));
            EXPECT_EQ(run_->Rec().Only('L').back(), "L6");
        }
        EXPECT_EQ(run_->Port().AwaitAnyText(answers, 2, true, true, '^'), c.verdict);
    }
}

// A write that waits for room ends when the modem speaks: an answer ends the
// run with the rest of the block unsent, anything else (echo, flow-control
// bytes) lets the rest go on from where the write stopped.
TEST_F(FakeLineRun, AWriteTheModemCutShortGoesOnOnlyWhenItHeardNoAnswer) {
    const std::string text = SampleText(4 * 8191 + 100);
    struct Case {
        std::string says;
        std::size_t cut_write;
        std::size_t cut_at;
        int code;
        std::vector<std::size_t> writes;
    };
    const std::vector<Case> cases = {
        {"\x13\x11", 2, 3000, 0, {8191, 3000, 5191, 8191, 8191, 100}},
        {"\r\nERROR\r\n", 2, 3000, ecModemAnswered, {8191, 3000}},
        {"\r\nNo RX data timeout\r\n", 1, 0, ecModemAnswered, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says + " in write " + std::to_string(c.cut_write));
        Reset();
        line_->cut_write = c.cut_write;
        line_->cut_at = c.cut_at;
        line_->cut_says = c.says;
        run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
        EXPECT_EQ(run_->Rec().finish_code, c.code);
        EXPECT_EQ(WriteSizes(), c.writes);
        if (c.code == 0)
            EXPECT_TRUE(Written() == text);
        else
            EXPECT_TRUE(text.starts_with(Written()));
    }
}

// The sender stood still (stopped, suspended) for longer than the limit:
// nothing more of the file goes out. A stall between the modem's go-ahead
// and the first block (WatchSender, then the pause before the upload) sends
// nothing at all. Shorter stills, and waiting for a line that holds the file
// back, are no stall.
TEST_F(FakeLineRun, ASenderThatStoodStillSendsNothingMore) {
    const std::string text = SampleText(3 * 8191 + 100);
    struct Case {
        std::int64_t still_ms;
        std::size_t after_writes; // 0: after WatchSender, before BeginSend
        int code;
        std::size_t writes;
    };
    const std::int64_t limit = kSenderStallLimit.count();
    for (const Case& c : {Case{limit + 1500, 1, ecSenderStalled, 1},
                          Case{limit - 200, 1, 0, 4},
                          Case{limit + 1500, 0, ecSenderStalled, 0},
                          Case{limit - 200, 0, 0, 4}}) {
        SCOPED_TRACE(std::to_string(c.still_ms) + " ms after write " +
                     std::to_string(c.after_writes));
        Reset();
        std::atomic<std::int64_t> clock{1'000'000};
        run_->Protocol().SetStallClock([&] { return clock.load(); });
        line_->after_write = [&](std::size_t writes) {
            if (writes == c.after_writes) clock += c.still_ms;
        };
        if (c.after_writes == 0) {
            run_->Protocol().WatchSender();
            clock += c.still_ms;
        }
        run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
        EXPECT_EQ(run_->Rec().finish_code, c.code);
        EXPECT_EQ(WriteSizes().size(), c.writes);
        if (c.code != 0)
            EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E" + std::to_string(c.code)}));
        else
            EXPECT_TRUE(Written() == text);
    }
    // On the real clock: the line holds the first block back for well over
    // the limit (the status timer reports every tick meanwhile), then lets it
    // go; the sender waited, it did not stand still.
    Reset();
    line_->stall_after_writes = 1;
    run_->Protocol().SetStatusInterval(1);
    run_->Protocol().SetFileName(WriteFile(dir_ + "/image.hex", text));
    run_->Protocol().BeginSend();
    const std::size_t held_reports = 3 * kSenderStallLimit.count() / 55;
    run_->WaitFor([&] { return run_->Rec().Only('S').size() > held_reports; });
    ASSERT_EQ(WriteSizes().size(), 1u);
    {
        std::lock_guard lock(line_->mutex);
        line_->stall_after_writes = SIZE_MAX;
    }
    run_->WaitFor([&] { return run_->Rec().finishes > 0; });
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == text);
    // Changing the clock mid-run is refused.
    Reset();
    line_->stall_after_writes = 1;
    run_->Protocol().SetFileName(dir_ + "/image.hex");
    run_->Protocol().BeginSend();
    EXPECT_THROW(run_->Protocol().SetStallClock({}), EBadArgument);
    EXPECT_THROW(run_->Protocol().WatchSender(), EBadArgument);
}

TEST_F(FakeLineRun, AFailedWriteIsReportedAndStopsTheRun) {
    {
        std::lock_guard lock(line_->mutex);
        line_->write_result = -1; // the device took one byte of the block
    }
    run_->SendAndFinish(WriteFile(dir_ + "/image.hex", SampleText(21417)));
    EXPECT_EQ(run_->Rec().Only('E'), (std::vector<std::string>{"E-3004"}));
    EXPECT_EQ(run_->Rec().finish_code, ecPutBlockFail);
}

TEST_F(FakeLineRun, CarrierLossWithAbortNoCarrierEndsTheRun) {
    run_->Protocol().SetAbortNoCarrier(true);
    line_->stall_after_writes = 1; // the line holds the first block
    run_->Protocol().SetFileName(WriteFile(dir_ + "/image.hex", SampleText(21417)));
    run_->Protocol().BeginSend();
    run_->WaitFor([&] { return !WriteSizes().empty(); });
    ASSERT_EQ(WriteSizes().size(), 1u);
    line_->DropCarrier();
    run_->WaitFor([&] { return run_->Rec().finishes > 0; });
    EXPECT_EQ(run_->Rec().finish_code, ecCarrierLost);
    EXPECT_TRUE(run_->Rec().Only('E').empty()); // derived from the status: finish only
    EXPECT_EQ(run_->Rec().Only('L').back(), "L6");
    EXPECT_EQ(WriteSizes().size(), 1u);
}

TEST_F(FakeLineRun, NoCarrierAtTheStartSendsNothing) {
    line_->carrier = false;
    run_->Protocol().SetAbortNoCarrier(true);
    run_->SendAndFinish(WriteFile(dir_ + "/image.hex", SampleText(1000)));
    EXPECT_EQ(run_->Rec().finish_code, ecCarrierLost);
    EXPECT_TRUE(WriteSizes().empty());
    // The object runs again once the carrier is back.
    {
        std::lock_guard lock(line_->mutex);
        line_->carrier = true;
    }
    run_->Rec().events.clear();
    run_->Rec().finishes = 0;
    run_->SendAndFinish(run_->Protocol().FileName());
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == SampleText(1000));
}

TEST_F(FakeLineRun, SelectingAsciiAgainChangesNothingEvenDuringARun) {
    auto& p = run_->Protocol();
    p.SetAsciiEOLChar('X');
    p.SetProtocolType(ptAscii);
    EXPECT_EQ(p.BlockSize(), kSendBlockSize);
    EXPECT_EQ(p.AsciiEOLChar(), 'X');
    int reselected = 0;
    p.OnProtocolStatus = [&](TCustomProtocol& cp, std::uint16_t) {
        cp.SetProtocolType(ptAscii);
        if (cp.InProgress()) {
            EXPECT_THROW(cp.SetProtocolType(ptXmodem), EBadArgument);
        }
        ++reselected;
    };
    const std::string text = SampleText(21417);
    run_->SendAndFinish(WriteFile(dir_ + "/image.hex", text));
    EXPECT_GT(reselected, 3);
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == text);
    p.SetProtocolType(ptNoProtocol); // between runs any type may be chosen
    EXPECT_EQ(p.ProtocolType(), ptNoProtocol);
}

TEST_F(FakeLineRun, UpperCaseNamesOpenTheFileAsNamed) {
    const std::string text = SampleText(3000);
    WriteFile(dir_ + "/fls0228.hex", text);
    run_->Protocol().SetUpcaseFileNames(true);
    run_->SendAndFinish(dir_ + "/fls0228.hex");
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == text);
    EXPECT_EQ(run_->Protocol().FileName(), dir_ + "/fls0228.hex");
}

TEST_F(FakeLineRun, DestroyingTheObjectMidRunEndsItSilently) {
    line_->stall_after_writes = 1;
    int finishes = 0;
    {
        TProtocol p(run_->Wt(), &run_->Port());
        p.SetProtocolType(ptAscii);
        p.SetStatusInterval(1); // the dispatcher keeps calling the engine
        p.OnProtocolFinish = [&](TCustomProtocol&, int) { ++finishes; };
        p.SetFileName(WriteFile(dir_ + "/image.hex", SampleText(21417)));
        p.BeginSend();
        run_->WaitFor([&] { return !WriteSizes().empty(); });
    }
    // The port lives on: the run's triggers and listener are gone, the
    // object's events never come.
    run_->Protocol().SetFileName(dir_ + "/image.hex");
    {
        std::lock_guard lock(line_->mutex);
        line_->stall_after_writes = SIZE_MAX;
    }
    run_->SendAndFinish(dir_ + "/image.hex");
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_EQ(finishes, 0);
    EXPECT_EQ(WriteSizes(), (std::vector<std::size_t>{8191, 8191, 8191, 5035}));
}

TEST_F(FakeLineRun, ARunCutShortByClosingThePortDoesNotBlockTheNext) {
    line_->stall_after_writes = 1;
    const std::string text = SampleText(21417);
    run_->Protocol().SetFileName(WriteFile(dir_ + "/image.hex", text));
    run_->Protocol().BeginSend();
    run_->WaitFor([&] { return !WriteSizes().empty(); });
    run_->Protocol().BeginSend(); // the same run goes on: nothing happens
    run_->Port().SetOpen(false);
    EXPECT_TRUE(run_->Protocol().InProgress());
    {
        std::lock_guard lock(line_->mutex);
        line_->stall_after_writes = SIZE_MAX;
        line_->writes.clear();
        line_->queued = 0;
    }
    run_->SendAndFinish(dir_ + "/image.hex"); // opens the port again
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == text);
}

TEST_F(FakeLineRun, AWindowThreadThatDoesNotAnswerOnlySlowsTheEngine) {
    const std::string text = SampleText(21417);
    run_->Protocol().SetFileName(WriteFile(dir_ + "/image.hex", text));
    run_->Protocol().BeginSend();
    {
        // The window thread is busy elsewhere: every status notice of the
        // engine goes unanswered, and after its limit the engine goes on.
        std::unique_lock lock(line_->mutex);
        EXPECT_TRUE(line_->changed.wait_for(lock, 30s, [&] { return line_->writes.size() == 3; }));
    }
    run_->WaitFor([&] { return run_->Rec().finishes > 0; });
    EXPECT_EQ(run_->Rec().finish_code, 0);
    EXPECT_TRUE(Written() == text);
}

TEST_F(FakeLineRun, WithoutAPortObjectBeginSendRaises) {
    TProtocol lone(run_->Wt());
    lone.SetProtocolType(ptAscii);
    EXPECT_THROW(lone.BeginSend(), EPortNotAssigned);
    TProtocol idle(run_->Wt(), &run_->Port());
    idle.BeginSend(); // ptNoProtocol: nothing
    EXPECT_FALSE(idle.InProgress());
}

// ---- A line that sends at 115200 bit/s on a clock of its own ----

// The line takes 11520 bytes a second (ten bits a byte). Its clock moves only
// while the event thread waits with a time limit, by that limit, so what the
// test sees does not depend on how busy the machine is.
struct PacedState {
    static constexpr std::int64_t kPerByte = 1000; // clock units one byte takes
    static constexpr std::int64_t kPerMs = 11520;  // clock units in a millisecond
    std::mutex mutex;
    std::condition_variable changed;
    std::int64_t now = 0;
    std::int64_t empty_at = 0; // when the last queued byte has left
    std::uint64_t generation = 0, seen = 0;
    bool closed = false;
    std::string written;
    std::vector<std::size_t> writes;
    std::vector<std::uint32_t> queued_at_write;
    std::vector<std::int64_t> idle_before_write; // clock units the line stood empty
    std::vector<std::uint32_t> limits;           // of the timed waits, in ms
    bool untimed_since_write = false;
    int writes_after_untimed_wait = 0; // the drain went unnoticed until an idle pass

    std::uint32_t Queued() const {
        return empty_at > now
                   ? static_cast<std::uint32_t>((empty_at - now + kPerByte - 1) / kPerByte)
                   : 0;
    }
};

class PacedLine final : public tollander::testing::QuietDevice {
public:
    explicit PacedLine(std::shared_ptr<PacedState> s) : s_(std::move(s)) {}

    void close() override {
        std::lock_guard lock(s_->mutex);
        s_->closed = true;
        s_->changed.notify_all();
    }
    int write(const std::uint8_t* bytes, std::size_t n) override {
        std::lock_guard lock(s_->mutex);
        s_->queued_at_write.push_back(s_->Queued());
        if (!s_->writes.empty()) {
            s_->idle_before_write.push_back(s_->now - s_->empty_at);
            if (s_->untimed_since_write) ++s_->writes_after_untimed_wait;
        }
        s_->untimed_since_write = false;
        s_->empty_at =
            std::max(s_->now, s_->empty_at) + static_cast<std::int64_t>(n) * s_->kPerByte;
        s_->writes.push_back(n);
        s_->written.append(reinterpret_cast<const char*>(bytes), n);
        return static_cast<int>(n);
    }
    int status(platform::DeviceStatus& st) override {
        std::lock_guard lock(s_->mutex);
        st = {};
        st.out_queue = s_->Queued();
        return 0;
    }
    int purge(platform::PurgeQueue which) override {
        std::lock_guard lock(s_->mutex);
        if (which == platform::PurgeQueue::output) s_->empty_at = s_->now;
        return 0;
    }
    int set_event_mask(std::uint32_t) override {
        std::lock_guard lock(s_->mutex);
        ++s_->generation;
        s_->changed.notify_all();
        return 0;
    }
    int wait_event(std::uint32_t& word) override {
        std::unique_lock lock(s_->mutex);
        s_->untimed_since_write = true;
        s_->changed.wait(lock, [&] { return s_->closed || s_->generation != s_->seen; });
        return Woken(word);
    }
    int wait_event_for(std::uint32_t& word, std::uint32_t ms) override {
        std::lock_guard lock(s_->mutex);
        s_->limits.push_back(ms);
        if (!s_->closed && s_->generation == s_->seen) s_->now += ms * s_->kPerMs;
        return Woken(word);
    }

private:
    int Woken(std::uint32_t& word) {
        word = 0;
        s_->seen = s_->generation;
        return s_->closed ? -platform::kDevNotOpen : 0;
    }

    std::shared_ptr<PacedState> s_;
};

TEST(PacedLineRun, EachBlockFollowsTheDrainWithinAboutACharacterTime) {
    const std::string dir = TestDir();
    const std::string text = SampleText(6 * kSendBlockSize + 1000);
    auto line = std::make_shared<PacedState>();
    {
        ProtocolRun run([line] { return std::make_unique<PacedLine>(line); });
        run.SendAndFinish(WriteFile(dir + "/image.hex", text));
        EXPECT_EQ(run.Rec().finish_code, 0);
    }
    std::lock_guard lock(line->mutex);
    ASSERT_EQ(line->writes.size(), 7u);
    EXPECT_TRUE(line->written == text);
    for (auto queued : line->queued_at_write)
        EXPECT_EQ(queued, 0u);
    // A terminal never says the queue ran empty: the event thread's waits,
    // timed to the queued bytes and never longer than an idle pass, told the
    // dispatcher about a millisecond after the last byte left.
    for (auto idle : line->idle_before_write) {
        EXPECT_GE(idle, 0);
        EXPECT_LE(idle, 2 * PacedState::kPerMs);
    }
    ASSERT_FALSE(line->limits.empty());
    for (auto ms : line->limits)
        EXPECT_LE(ms, 50u);
    // The next block was written from the drain event, not from the idle pass
    // the dispatcher runs when it has heard nothing for 50 ms (one allowed for
    // an idle pass that came in between).
    EXPECT_LE(line->writes_after_untimed_wait, 1);
    fs::remove_all(dir);
}

// ---- Over a pseudo-terminal ----

TEST(PtyRun, TheFarEndReceivesTheFileByteForByte) {
    test::Pty pty;
    pty.MapTo(1);
    const std::string dir = TestDir();
    // HEX text with CR LF, plus the byte 26 inside and a bare CR and LF.
    std::string text = tools::MakeBootHex();
    text.insert(100, "\x1A\x1A");
    text.insert(9000, "\r");
    text.insert(17000, "\n");
    const std::string path = WriteFile(dir + "/FLS0228.HEX", text);
    {
        ProtocolRun run;
        auto& p = run.Protocol();
        p.SetAsciiCRTranslation(aetStrip);
        p.SetAsciiLFTranslation(aetAddCRBefore);
        p.SetAsciiEOLChar('\n');
        p.SetAsciiCharDelay(5);
        p.SetAsciiLineDelay(50);
        p.SetAsciiSuppressCtrlZ(true);
        std::string far_end;
        std::thread reader([&] { far_end = pty.Receive(text.size(), 60s); });
        run.SendAndFinish(path);
        reader.join();
        EXPECT_EQ(run.Rec().finish_code, 0);
        EXPECT_EQ(far_end.size(), text.size());
        EXPECT_TRUE(far_end == text);
        // Nothing follows the last byte (the finish comes after the drain).
        pollfd more{pty.Master(), POLLIN, 0};
        EXPECT_EQ(::poll(&more, 1, 300), 0);
    }
    platform::SetComDevicePath(1, std::nullopt);
    fs::remove_all(dir);
}

} // namespace
