// The interrupt's event, for the Windows waits that watch it.
#pragma once

#include <windows.h>

#include "link/interrupt.hpp"

namespace Wsr37100 {

struct Interrupt::Native {
    Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;
    ~Native();
    HANDLE event = nullptr;
};

}  // namespace Wsr37100
