// Who the process runs as: its effective user, named from the user database.
#include "user.hpp"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace Wsr37100::service {

std::string process_user() {
    const uid_t uid = ::geteuid();
    std::string number = "uid " + std::to_string(uid);
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr || !found->pw_name) {
        return number;
    }
    return std::string(found->pw_name) + " (" + number + ")";
}

}  // namespace Wsr37100::service
