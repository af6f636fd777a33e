// Private stand-ins for C library symbols that the statically linked C++ runtime refers to but
// that older C libraries lack (compiled into the module only with the static runtime, see
// cmake/CxxRuntime.cmake). The runtime was built against this machine's C library and names
// whatever that one offers; each definition here binds those references inside the module, so
// the module does not require a newer C library than its own code needs. Hidden, like
// everything else in the module: nothing outside sees them. The runtime's std::random_device
// comes along with its exception classes whether or not the code uses it, hence the two
// entropy sources.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" {

// Read by the runtime's reference counts and one-time initialisation to skip atomic operations
// while the process has a single thread. Zero means "maybe several threads", which is always
// correct: the runtime then simply keeps using atomic operations.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// std::random_device's source when the processor has no generator of its own: the kernel's,
// through the system call (the C library's wrappers of it are themselves too new). Fails as the
// C library's version does: EIO beyond 256 bytes, the call's own error (ENOSYS on a kernel
// without it, which makes std::random_device try its next source).
__attribute__((visibility("hidden"))) int getentropy(void* buffer, std::size_t length) {
  if (length > 256) {
    errno = EIO;
    return -1;
  }
  auto* cursor = static_cast<unsigned char*>(buffer);
  while (length > 0) {
    const long count = syscall(SYS_getrandom, cursor, length, 0);
    if (count < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    cursor += count;
    length -= static_cast<std::size_t>(count);
  }
  return 0;
}

// std::random_device's next source, reached only when getentropy() fails: /dev/urandom. With no
// entropy at all it aborts, as the C library's own version does.
__attribute__((visibility("hidden"))) std::uint32_t arc4random() noexcept {
  std::uint32_t value = 0;
  if (getentropy(&value, sizeof value) == 0) return value;
  const int device = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (device >= 0) {
    const ssize_t count = read(device, &value, sizeof value);
    close(device);
    if (count == static_cast<ssize_t>(sizeof value)) return value;
  }
  std::abort();
}

}  // extern "C"
