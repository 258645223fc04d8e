#pragma once

namespace voxapp {

// The whole process: a tool mode, or the daemon until a stop signal. Returns the exit code.
int run_entry_point(int argc, const char* const* argv);

}  // namespace voxapp
