#pragma once

#include <string>
#include <vector>

namespace voxapp::test {

// Splits console or log output into lines and drops each line's leading
// "YYYY-MM-DD HH:MM:SS" stamp, which must be there: a line without a well-formed stamp is kept
// whole, prefixed with "<no stamp>", so that the comparison in the test fails visibly.
// A final line without a line feed is kept and marked "<no newline>".
std::vector<std::string> unstamped_lines(const std::string& output);

}  // namespace voxapp::test
