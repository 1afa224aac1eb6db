// SPDX-License-Identifier: ISC
// Preloaded into upfirst by a test: every page-aligned allocation fails, as
// when the heap has no room left, so that the workers' stack fallback runs.
#include <cerrno>
#include <cstddef>

extern "C" void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
	(void)alignment;
	(void)size;
	errno = ENOMEM;
	return nullptr;
}
