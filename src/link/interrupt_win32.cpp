// The interrupt on Windows: a manual-reset event.
#include "link/interrupt_win32.hpp"

#include <system_error>

namespace Wsr37100 {

Interrupt::Native::Native() : event(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (event == nullptr) throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), "CreateEvent");
}

Interrupt::Native::~Native() { ::CloseHandle(event); }

Interrupt::Interrupt() : native_(std::make_unique<Native>()) {}
Interrupt::~Interrupt() = default;

void Interrupt::raise() { ::SetEvent(native_->event); }

bool Interrupt::raised() const { return ::WaitForSingleObject(native_->event, 0) == WAIT_OBJECT_0; }

}  // namespace Wsr37100
