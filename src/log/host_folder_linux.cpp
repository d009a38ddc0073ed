// Where the host program lies, from the link the kernel keeps to it.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "wsr37100_falha.hpp"
#include "log/daily_log.hpp"
#include "log/system_reason.hpp"

namespace Wsr37100 {

std::string host_executable_folder() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            throw Falha("N\xE3o foi poss\xEDvel localizar o programa hospedeiro: " + system_reason(errno));
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<size_t>(length));
            return path.substr(0, path.find_last_of('/'));
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace Wsr37100
