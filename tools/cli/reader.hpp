// One reading through BuscaPesoEx on a thread of its own, so that an interrupt need not wait for it (the demo).
#pragma once

#include <future>
#include <optional>
#include <string>
#include <thread>

#include "common/interrupts.hpp"
#include "wsr37100.h"

namespace Wsr37100::cli {

// What a reading asks the library for: the port, the baud text and the options.
struct ReadRequest {
    std::string port;
    std::string baud;
    uint32_t log = WSR_LOG_PADRAO;
    std::string log_folder;  // with WSR_LOG_PASTA
    unsigned gap_ms = 0;
};

// BuscaPesoEx cannot be cancelled: a reading polls for up to five seconds.
// This one runs on its own thread from construction; wait() returns early
// when an interrupt comes. Destruction waits for the reading's end, so a
// caller that must not wait ends the process instead (std::_Exit).
class BackgroundReading {
public:
    explicit BackgroundReading(ReadRequest request);
    ~BackgroundReading();
    BackgroundReading(const BackgroundReading&) = delete;
    BackgroundReading& operator=(const BackgroundReading&) = delete;

    // The reading, or nothing when interrupted first.
    std::optional<WsrLeitura> wait(const common::Interrupts& interrupts);

private:
    std::future<WsrLeitura> result_;
    std::thread worker_;
};

}  // namespace Wsr37100::cli
