// A scale behind a raw TCP serial device server, with the faults a network adds.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "scale_emulator.hpp"

namespace Wsr37100 {

class TcpScale {
public:
    enum class Face {
        Answer,    // accepts and answers each ENQ with the next scripted reply (hang_up: drops the connection)
        Refuse,    // nothing listens: a connection is refused
        Unanswered, // a listener whose queue is full: a connection gets no answer
        Flood,      // accepts and sends bytes without pause, answering nothing, until the client goes
        EndlessSubnegotiation,  // opens a COM port subnegotiation and fills it with escaped 0xFF bytes without end
        // RFC 2217 servers: DO to the client's WILL COM-PORT-OPTION, each COM port command
        // acknowledged with command + 100 and the same value, then ENQs answered as Answer
        // does (0xFF in a reply doubled). The others differ from it in one thing each:
        Rfc2217,
        Rfc2217Refusing,        // DONT to the COM port option
        Rfc2217OtherRate,       // acknowledges the baud rate with another one
        Rfc2217Unacknowledged,  // agrees to the option, never acknowledges a command
        Rfc2217Streaming        // once its port is set and purged, sends bytes without pause (a scale that talks
                                // on its own), answering nothing
    };
    // On 127.0.0.1, a port of the system's choosing. `greeting`: what the server
    // sends each connection as soon as it accepts it, before any poll (a reply it
    // kept from an earlier client).
    explicit TcpScale(std::vector<ScaleReply> script, bool repeat = false, Face face = Face::Answer,
                      std::optional<ScaleReply> greeting = std::nullopt);
    TcpScale(const TcpScale&) = delete;
    TcpScale& operator=(const TcpScale&) = delete;
    ~TcpScale();

    // "tcp://127.0.0.1:PORT"
    std::string address() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    // "rfc2217://127.0.0.1:PORT": the same server, named as a Telnet one.
    std::string rfc2217_address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    int polls() const { return polls_.load(); }
    // The scale's own line speed behind the server: a Telnet face answers as
    // scripted only while the client has set this rate (SET-BAUDRATE), and
    // garbled otherwise (see garbled()). 0 (default): any rate. Call before
    // any client connects.
    void line_speed(unsigned baud) { line_speed_ = baud; }

private:
    void run();
    void serve(int connection);
    void flood(int connection);
    bool play(int connection, const ScaleReply& reply);
    // What a Telnet face answers to the client's negotiation in `incoming`; ENQs found in its data are counted in `enqs`.
    std::string negotiate(const unsigned char* incoming, std::size_t size, int& enqs);


    std::vector<ScaleReply> script_;
    bool repeat_;
    std::string flood_;  // what a flooding face sends, over and over
    std::string flood_opening_;
    bool purged_ = false;  // a Telnet face: the connected client purged the port's receive buffer
    std::optional<ScaleReply> greeting_;
    Face face_;
    bool telnet_ = false;
    // A Telnet face's reading of the client's bytes: where it is, and the subnegotiation so far.
    int telnet_state_ = 0;
    std::string sub_;
    std::size_t next_ = 0;
    int listener_ = -1;
    std::vector<int> fillers_;  // the connections that fill an unanswered listener's queue
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> polls_{0};
    std::atomic<unsigned> line_speed_{0};
    unsigned set_rate_ = 0;  // the rate the connected client set, 0 before it set one
    std::thread thread_;
};

}  // namespace Wsr37100
