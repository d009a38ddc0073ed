// What every link shares beyond its interface: the rate an open sets, read from a host's text.
#include "link/link.hpp"

#include "base/conversions.hpp"

namespace Wsr37100 {

std::int32_t BaudRate::value() const { return from_text_ ? whole_number_conversion(text_) : rate_; }

}  // namespace Wsr37100
