#pragma once

namespace voxapp {

// Loads the TLS library's error strings, ciphers and digests. Safe to call more than once and
// from several threads; the work is done once per process.
void initialise_tls_library();

}  // namespace voxapp
