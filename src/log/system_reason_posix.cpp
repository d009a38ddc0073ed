// Portuguese texts for the errno values a log file or a serial port can meet.
#include "log/system_reason.hpp"

#include <cerrno>

namespace Wsr37100 {

std::string system_reason(unsigned long code) {
    // Our own texts: strerror follows LC_MESSAGES and may answer in UTF-8,
    // which has no place in an 8-bit log.
    switch (code) {
        case ENOENT: return "arquivo ou pasta inexistente";
        case EACCES:
        case EPERM: return "permiss\xE3o negada";
        case EISDIR: return "\xE9 uma pasta";
        case ELOOP: return "link simb\xF3lico n\xE3o seguido";
        case ENOTDIR: return "parte do caminho n\xE3o \xE9 uma pasta";
        case ENOSPC: return "sem espa\xE7o no dispositivo";
        case EDQUOT: return "cota de disco excedida";
        case EROFS: return "sistema de arquivos somente para leitura";
        case EIO: return "erro de entrada e sa\xED" "da";
        case EMFILE:
        case ENFILE: return "arquivos abertos demais";
        case ENAMETOOLONG: return "nome longo demais";
        case EBUSY: return "recurso ocupado";
        case EWOULDBLOCK: return "recurso em uso por outro programa";
        case EINVAL: return "valor inv\xE1lido";
        case ENXIO:
        case ENODEV: return "dispositivo inexistente";
        default: return "erro do sistema " + std::to_string(code);
    }
}

}  // namespace Wsr37100
