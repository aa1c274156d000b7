// Stand-ins for parts of the C++ runtime that would cost the DLL far more than they give it.
// Only the DLL's link uses this file: cmake/dll.cmake routes the runtime's own references here
// with the linker's --wrap option, so nothing is redefined and every other part of the runtime
// stays as shipped. Were a wrapped name ever to change, the runtime's part would simply be
// linked again and the size audit would say so.
//
// The names are fixed by --wrap ("__wrap_" and the wrapped symbol), hence reserved identifiers.
// NOLINTBEGIN(bugprone-reserved-identifier)
#include <cstddef>
#include <exception>
#include <new>

namespace {

// __cxa_demangle's status for a name it cannot demangle (Itanium C++ ABI).
constexpr int kInvalidMangledName = -2;

// Thrown where the string and container code would throw std::length_error,
// std::out_of_range or std::logic_error. The export frame answers it as it answers those:
// as an internal failure. Those classes would bring the runtime's second, copy-on-write
// string implementation into the DLL.
class LibraryLimitError : public std::exception {
  public:
    const char* what() const noexcept override { return "library limit exceeded"; }
};

}  // namespace

// What cmake/dll.cmake wraps, one stand-in each.
extern "C" {
char* __wrap___cxa_demangle(const char* mangledName, char* buffer, size_t* length, int* status);
[[noreturn]] void __wrap__ZSt17__throw_bad_allocv();
[[noreturn]] void __wrap__ZSt28__throw_bad_array_new_lengthv();
[[noreturn]] void __wrap__ZSt19__throw_logic_errorPKc(const char* what);
[[noreturn]] void __wrap__ZSt20__throw_length_errorPKc(const char* what);
[[noreturn]] void __wrap__ZSt24__throw_out_of_range_fmtPKcz(const char* format, ...);
}

extern "C" {

// The runtime's terminate handler names an uncaught exception's type through the demangler,
// 45 KB of code. Answered "not demangled", it prints the type's mangled name instead. No
// exception ever reaches it: every export catches all of them.
char* __wrap___cxa_demangle(const char* /*mangledName*/, char* /*buffer*/, size_t* /*length*/,
                            int* status) {
    if (status != nullptr) {
        *status = kInvalidMangledName;
    }
    return nullptr;
}

[[noreturn]] void __wrap__ZSt17__throw_bad_allocv() {
    throw std::bad_alloc();
}

[[noreturn]] void __wrap__ZSt28__throw_bad_array_new_lengthv() {
    throw std::bad_array_new_length();
}

[[noreturn]] void __wrap__ZSt19__throw_logic_errorPKc(const char* /*what*/) {
    throw LibraryLimitError();
}

[[noreturn]] void __wrap__ZSt20__throw_length_errorPKc(const char* /*what*/) {
    throw LibraryLimitError();
}

[[noreturn]] void __wrap__ZSt24__throw_out_of_range_fmtPKcz(const char* /*format*/, ...) {
    throw LibraryLimitError();
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier)
