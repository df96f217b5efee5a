// The shipped bootstrap's terminate handler, linked into the inner build only
// (cmake/ShippedStub.cmake). The C++ runtime's default handler names the
// uncaught exception's type, which links in its whole demangler (48 KB);
// defining the handler in the program keeps the runtime's out. Ending with
// abort() straight away, as the runtime's handler does after printing, is all
// this program needs.

#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

// NOLINTNEXTLINE(bugprone-reserved-identifier): the runtime's own name, defined here instead
void __verbose_terminate_handler() {
  std::abort();
}

}  // namespace __gnu_cxx
