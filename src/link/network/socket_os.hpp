// What each platform supplies beneath Socket::connect: a look-up held to the
// time limit, one connect attempt to one of its addresses, and the options of
// a connected socket. The order of the attempts and the failures told from
// them are written once, in socket.cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "link/deadline.hpp"
#include "link/interrupt.hpp"

namespace Wsr37100 {

class Socket;

// The addresses a look-up gave, in the order to try them; freed with it.
class AddressList;
struct AddressListDeleter {
    void operator()(AddressList* list) const;
};
using Addresses = std::unique_ptr<AddressList, AddressListDeleter>;

struct LookUp {
    Addresses addresses;       // none: the name is unknown
    unsigned long error = 0;   // without addresses: the system's code, for the message
};

// Looks host:port up within the limit. Nullopt when the limit passed or the
// interrupt was raised first.
std::optional<LookUp> look_up(const std::string& host, const std::string& port, const Deadline& limit,
                              const Interrupt* interrupt);

std::size_t address_count(const AddressList& list);

// One attempt at the address `index` of the list; a socket that connects has
// Nagle's delay off (a poll is one byte).
struct ConnectAttempt {
    std::unique_ptr<Socket> connected;          // set when it took the connection
    int error = 0;                              // else the platform's code of the failure
    bool gave_up = false;                       // the time ran out or the interrupt came: no further address
};
ConnectAttempt connect_to(const AddressList& list, std::size_t index, const Deadline& limit,
                          const Interrupt* interrupt);

// The platform's code for a connect that got no answer in time.
int connect_timed_out();

}  // namespace Wsr37100
