// libsodium.a, as Debian builds it against a glibc of 2.25 or later, calls
// getrandom() and the fortified __explicit_bzero_chk(). A bootstrap that links
// it may need no glibc symbol above 2.17 at load time, so these definitions,
// linked right after libsodium.a, serve those calls inside the program.

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// A kernel older than 3.17 answers ENOSYS, and libsodium then reads /dev/urandom.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name libsodium.a calls
extern "C" ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
  return syscall(SYS_getrandom, buffer, length, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name libsodium.a calls
extern "C" void __explicit_bzero_chk(void* buffer, size_t length, size_t bufferLength) {
  if (length > bufferLength) abort();
  memset(buffer, 0, length);
  // The clearing must stay even though nothing reads the buffer afterwards.
  __asm__ __volatile__("" : : "r"(buffer) : "memory");
}
