// The service's OpenAPI 3.1 description (openapi.json), built into the program and served at /v1/openapi.json.
#pragma once

#include <string_view>

namespace Wsr37100::service {

std::string_view openapi_document();

}  // namespace Wsr37100::service
