// The serial device contract on the POSIX device: a pseudo-terminal whose
// master side the test plays.
#include "tests/pty/pty_fixture.h"
#include "tests/serial_contract/serial_contract.h"

#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace tollander::test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

class PosixLine {
public:
    static constexpr const char* kNoPermissions = nullptr;
    static constexpr const char* kSharesHeldPorts = nullptr;
    static constexpr const char* kNoModemLines = "a pseudo-terminal has no modem lines";

    std::string Unavailable() const { return ""; }
    std::string Port() const { return pty_.Path(); }
    void Send(std::string_view bytes) { pty_.Send(bytes); }
    std::string Receive(std::size_t n, std::chrono::milliseconds limit) {
        return pty_.Receive(n, limit);
    }
    void HangUp() { pty_.HangUp(); }

    static std::vector<Unopenable> unopenable_ports() {
        const std::string file = (fs::temp_directory_path() / "plain-file").string();
        std::ofstream(file) << "x";
        return {{(fs::temp_directory_path() / "no-tty").string(), platform::DeviceFault::Missing, ""},
                {file, platform::DeviceFault::NotSerial, "not a serial device"}};
    }
    static std::string UnmappedPort() {
        platform::SetComDevicePath(4, "");
        return "COM4";
    }

    // As an ordinary user (root's child gives itself up for nobody, no
    // groups: a terminal is its owner's and the tty group's), or, run as
    // one, on a device whose mode lets nobody in.
    static OpenResult OpenAsStranger(const PosixLine& line) {
        if (::geteuid() != 0) {
            struct stat st {};
            ::stat(line.Port().c_str(), &st);
            ::chmod(line.Port().c_str(), 0);
            auto device = platform::MakeSerialDevice();
            OpenResult r{device->open(line.Port()), device->last_fault(),
                         device->last_error_text(), {}};
            ::chmod(line.Port().c_str(), st.st_mode & 07777);
            return r;
        }
        int out[2];
        if (::pipe(out) != 0) return {0, {}, {}, "no pipe"};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(out[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                ::setresuid(kNobody, kNobody, kNobody) != 0)
                ::_exit(2);
            auto device = platform::MakeSerialDevice();
            const int rc = device->open(line.Port());
            const std::string report = std::to_string(rc) + " " +
                                       std::to_string(static_cast<int>(device->last_fault())) +
                                       " " + device->last_error_text();
            [[maybe_unused]] const auto w = ::write(out[1], report.data(), report.size());
            ::_exit(0);
        }
        ::close(out[1]);
        std::string report;
        char buffer[512];
        for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
            report.append(buffer, static_cast<std::size_t>(n));
        ::close(out[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return {0, {}, {}, "could not become an ordinary user"};
        OpenResult r;
        const auto first = report.find(' ');
        const auto second = first == std::string::npos ? first : report.find(' ', first + 1);
        if (second == std::string::npos) return {0, {}, {}, "the ordinary user's open said nothing"};
        r.rc = std::stoi(report.substr(0, first));
        r.fault = static_cast<platform::DeviceFault>(
            std::stoi(report.substr(first + 1, second - first - 1)));
        r.text = report.substr(second + 1);
        return r;
    }

private:
    Pty pty_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(PosixDevice, SerialContract, PosixLine);

} // namespace
} // namespace tollander::test
