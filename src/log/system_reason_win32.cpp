// Portuguese texts for the Win32 error codes a log file or a serial port can meet.
#include <windows.h>

#include "log/system_reason.hpp"

namespace Wsr37100 {

std::string system_reason(unsigned long code) {
    // Our own texts: FormatMessage answers in the system's language and code page.
    switch (code) {
        case ERROR_FILE_NOT_FOUND: return "arquivo inexistente";
        case ERROR_PATH_NOT_FOUND: return "pasta inexistente";
        case ERROR_ACCESS_DENIED: return "acesso negado";
        case ERROR_SHARING_VIOLATION: return "arquivo em uso por outro programa";
        case ERROR_LOCK_VIOLATION: return "arquivo bloqueado por outro programa";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return "sem espa\xE7o no disco";
        case ERROR_WRITE_PROTECT: return "disco protegido contra grava\xE7\xE3o";
        case ERROR_TOO_MANY_OPEN_FILES: return "arquivos abertos demais";
        case ERROR_FILENAME_EXCED_RANGE: return "nome longo demais";
        case ERROR_INVALID_NAME: return "nome inv\xE1lido";
        case ERROR_INVALID_PARAMETER: return "valor inv\xE1lido";
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST: return "dispositivo inexistente";
        default: return "erro do sistema " + std::to_string(code);
    }
}

}  // namespace Wsr37100
