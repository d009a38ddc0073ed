// Web origins as a browser sends them in its Origin header: scheme://host[:port], nothing after.
// The service answers cross-origin requests only from such an exact origin, and browser-policy
// hands the same origins to the browsers.
#pragma once

#include <string>
#include <string_view>

namespace Wsr37100::common {

// True for scheme://host[:port]: a scheme of letters, digits, '+', '-' and '.' that starts with a
// letter; a host name of letters, digits, '-', '.' and '_', or an IPv6 address in brackets; a
// port from 1 to 65535. Nothing after: no path, query, fragment, user, blank or quote.
bool valid_origin(std::string_view origin);

// True when a valid origin's host is this computer: localhost (or a name under .localhost),
// 127.0.0.0/8 or [::1].
bool loopback_origin(std::string_view origin);

// A valid origin as a browser writes it in its Origin header: scheme and host in lower case, the
// scheme's default port left out, the port without leading zeros, an IPv6 address in its shortest
// form. Empty for an origin no browser sends: a host ending in a dot, brackets that hold no IPv6
// address, or an IPv4 address not written as four numbers from 0 to 255 without leading zeros.
std::string serialized_origin(std::string_view origin);

}  // namespace Wsr37100::common
