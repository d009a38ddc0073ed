// The weighing service over HTTP: the API, the event streams and the status page, on one network thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config.hpp"
#include "journal.hpp"

namespace Wsr37100::service {

// True for an address that only this computer reaches: localhost, 127.0.0.0/8, ::1.
bool loopback(const std::string& address);

// The descriptors a service of these settings wants: its connections, the refused ones
// it is still answering, what each scale's monitor opens (its port, its daily log) and the program's own.
std::size_t descriptors_wanted(const ServeSettings& settings);

class Server {
public:
    // log_folders: one per scale, in order: the folder for WSR_LOG_PASTA, or
    // "" for the module's default (ignored for a scale without a log).
    // journal: where its warnings and errors go (its event log outlives the server).
    Server(ServeSettings settings, std::vector<std::string> log_folders, Journal journal);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Listens, starts every scale's monitor and the network thread. Returns
    // the address it serves, "http://127.0.0.1:8370/". Throws
    // std::runtime_error when the address cannot be had or a monitor cannot start.
    std::string start();
    // Stops within a second: no new connection, waiting requests answered
    // 503, event streams ended, monitors stopped, the thread joined.
    void stop();
    // True once the network thread has ended without being stopped: the
    // service answers no more, and the process should exit and be restarted.
    bool failed() const;

    // Opaque; public only so that the implementation's own classes can name it.
    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Wsr37100::service
