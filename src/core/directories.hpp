#pragma once

#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Creates `path` and every missing parent, each with mode 0700. A single trailing '/' is
// ignored; a directory that exists already is not an error. Fails with the errno of the
// first other mkdir failure.
Status create_directories(std::string_view path);

}  // namespace voxapp
