// The name server.cpp still gives the tools' common layer (cli::to_json, cli::timestamp,
// cli::describe, cli::to_utf8): the one it had while the reading's forms lived in tools/cli/.
// For server.cpp alone, until its rewrite says common::; then this header goes.
#pragma once

namespace Wsr37100::common {}

namespace Wsr37100::service {
namespace cli = ::Wsr37100::common;
}  // namespace Wsr37100::service
