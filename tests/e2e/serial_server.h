// Serial servers on the loopback address for the end-to-end tests: a real
// ser2net in front of a virtual modem's pseudo-terminal, and the servers
// that misbehave (one that never accepts, one that never negotiates, one
// that sends broken Telnet). Nothing leaves 127.0.0.1.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tests/e2e/fixture.h"

namespace tollander::e2e {

// A loopback TCP port (of ::1 with `ipv6`) that was free a moment ago (the
// kernel's choice).
int FreeLoopbackPort(bool ipv6 = false);
// Whether this machine has the IPv6 loopback address.
bool HasIpv6Loopback();

// ser2net serving `device` on two ports of a loopback address (127.0.0.1 or
// ::1), one client at a time each: RFC 2217 and the raw byte stream. Its
// configuration file is the one the README shows, with the address, the
// ports and the device filled in.
class Ser2net {
public:
    Ser2net(const std::string& work_dir, const std::string& device,
            const std::string& address = "127.0.0.1");
    std::string Rfc2217() const { return "rfc2217://" + host_ + ":" + std::to_string(telnet_port_); }
    std::string Raw() const { return "socket://" + host_ + ":" + std::to_string(raw_port_); }
    int TelnetPort() const { return telnet_port_; }
    int RawPort() const { return raw_port_; }
    // SIGKILL: every connection ends at once, as a server that lost power.
    void Kill() { child_->Kill(); }

private:
    bool ipv6_ = false;
    std::string host_; // as a port name writes it: an IPv6 address in brackets
    int telnet_port_ = 0;
    int raw_port_ = 0;
    std::unique_ptr<Child> child_;
};

// A listening socket on 127.0.0.1. `Fill()` takes its only backlog place,
// so that a further connection is never answered.
class Listener {
public:
    Listener();
    ~Listener();
    int Port() const { return port_; }
    void Fill();

private:
    int port_ = 0; // before fd_, which is made with it
    int fd_ = -1;
    int filler_ = -1;
};

// Accepts one connection and answers whatever comes with a stream of
// malformed Telnet commands until the client goes (within 60 s and 10 s).
class MalformedTelnetServer {
public:
    MalformedTelnetServer();
    ~MalformedTelnetServer();
    int Port() const { return port_; }

private:
    int port_ = 0; // before fd_, which is made with it
    int fd_ = -1;
    std::thread thread_;
};

// Refuses its one connection as ser2net refuses a second client of a raw
// port, "Port already in use" and the close, in an order the test chooses
// against the client's first bytes (ser2net's own order is chance): the
// words before them or after, the close after them (within 60 s and 10 s).
class RefusingServer {
public:
    static constexpr char kWords[] = "Port already in use";
    explicit RefusingServer(bool words_first);
    ~RefusingServer();
    int Port() const { return port_; }

private:
    int port_ = 0; // before fd_, which is made with it
    int fd_ = -1;
    std::thread thread_;
};

} // namespace tollander::e2e
