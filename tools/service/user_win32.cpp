// Who the process runs as: the account's name, as Windows gives it.
#include "user.hpp"

#include <windows.h>

namespace Wsr37100::service {

std::string process_user() {
    char name[257];
    DWORD size = sizeof name;
    if (!::GetUserNameA(name, &size) || size == 0) return "(unknown)";
    return std::string(name, size - 1);
}

}  // namespace Wsr37100::service
