#pragma once

#include <map>
#include <string>

namespace voxapp {

// IANA zone name (e.g. "Europe/Berlin") → POSIX TZ string (e.g. "CET-1CEST,M3.5.0,M10.5.0/3").
using TimeZoneTable = std::map<std::string, std::string, std::less<>>;

// Reads "NAME=POSIX" lines. Empty lines, lines starting with '#' and lines without '=' are
// skipped; the name ends at the first '=' and the POSIX string is the rest of the line as it
// stands (a CR of a CRLF line end is not part of it). A later line for a name wins. A file that
// cannot be opened gives an empty table.
TimeZoneTable load_time_zone_table(const std::string& path);

}  // namespace voxapp
