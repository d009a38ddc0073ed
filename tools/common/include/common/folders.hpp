// Where the tool and the service write their daily logs when no log folder is given.
#pragma once

#include <string>

namespace Wsr37100::common {

// True when the folder dados exists beside this program: there the library
// logs by default, as it does for any host.
bool dados_beside_program();

// The user's own log folder for the tool ($XDG_STATE_HOME/wsr37100 or
// ~/.local/state/wsr37100; %LOCALAPPDATA%\wsr37100 on Windows), created when
// missing, as 8-bit text for WsrOpcoes.pasta_log. Throws std::runtime_error
// with a message for the user when it cannot be had.
std::string user_log_folder();

// The rule above in words, for --help.
const char* default_log_help();

}  // namespace Wsr37100::common
