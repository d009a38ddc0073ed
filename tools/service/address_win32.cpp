// SO_EXCLUSIVEADDRUSE: no other program can bind the service's port beside it.
#include "address.hpp"

#include <winsock2.h>

namespace Wsr37100::service {

bool claim_address(std::uintptr_t native_socket) {
    const BOOL on = TRUE;
    return ::setsockopt(static_cast<SOCKET>(native_socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                        reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

}  // namespace Wsr37100::service
