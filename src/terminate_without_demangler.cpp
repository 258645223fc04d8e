// With LLVM's libc++ linked into the program (the router's build), the message of an uncaught
// exception names its type through libc++abi's demangler, a sixth of the whole binary for one
// line that is never meant to be printed. This stand-in declines every name, so that message
// shows the type's mangled name instead. With GCC's libstdc++, a shared library, nothing here.
#include <cstddef>

#ifdef _LIBCPP_VERSION
extern "C" char* __cxa_demangle(const char*, char*, std::size_t*, int* status) {
    if (status != nullptr) {
        *status = -2;  // "not a valid mangled name": the caller keeps the name as it is
    }
    return nullptr;
}
#endif
