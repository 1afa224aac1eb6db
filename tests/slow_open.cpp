// SPDX-License-Identifier: ISC
// Preloaded into upfirst by a test: open() returns late, as from a thread
// that was preempted there.  A read-only open that succeeds returns 10 ms
// late, so that other workers open their inputs meanwhile; one that finds
// no descriptor free returns 50 ms late.
#include <cerrno>
#include <cstdarg>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>

namespace {

void pause_ms(long ms)
{
	const struct timespec t = {0, ms * 1000000};
	nanosleep(&t, nullptr);
}

} // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): its names are reserved
extern "C" int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const auto mode = static_cast<mode_t>(va_arg(ap, int));
	va_end(ap);
	using open_fn = int (*)(const char *, int, ...);
	static const auto next = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
	const int fd = next(path, flags, mode);
	const int err = errno;
	if (fd >= 0 && (flags & O_ACCMODE) == O_RDONLY)
		pause_ms(10);
	if (fd < 0 && err == EMFILE)
		pause_ms(50);
	errno = err;
	return fd;
}
