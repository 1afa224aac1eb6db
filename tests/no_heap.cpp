// SPDX-License-Identifier: ISC
// Preloaded into upfirst by a test: every page-aligned allocation fails, as
// when the heap has no room left, so that the workers' stack fallback runs.
// Each failure leaves the file no_heap.mark in the working directory, so
// that the test knows the fault reached the program.
#include <cerrno>
#include <cstddef>

#include <fcntl.h>
#include <unistd.h>

extern "C" void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
	(void)alignment;
	(void)size;
	const int fd = ::open("no_heap.mark", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
	if (fd >= 0)
		::close(fd);
	errno = ENOMEM;
	return nullptr;
}
