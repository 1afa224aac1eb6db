// SPDX-License-Identifier: ISC
// tallymill: 1000 threads each add 1 to one shared counter 100000 times,
// taking a mutex around every single addition, and the total is printed.
// The contended mutex is the point: it alone keeps the plain int exact.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <pthread.h>

namespace {

constexpr int threads = 1000;
constexpr int additions = 100000;
// A refused thread is tried again after each of at most 100 naps of 1 ms.
constexpr int max_naps = 100;
constexpr struct timespec nap = {0, 1000000};
// f needs a few hundred bytes of stack; the default, the stack limit
// (8 MiB as a rule), reserved 8 GiB of address space for 1000 threads.  The
// sanitizers' frames are many times larger.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TALLYMILL_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TALLYMILL_SANITIZED 1
#endif
#ifdef TALLYMILL_SANITIZED
constexpr std::size_t stack = std::size_t{1} << 20;
#else
constexpr std::size_t stack = std::size_t{64} << 10;
#endif

// The counter and its mutex share one cache line, and nothing else written
// during the run is on it: each of the 100000000 critical sections then
// moves one contended line between the cores, not two.
struct alignas(64) counter_line {
	pthread_mutex_t mtx;
	int n;
};
static_assert(sizeof(counter_line) == 64);
counter_line line;
pthread_mutex_t &mtx = line.mtx;
int &n = line.n;

void *f(void *p)
{
	(void)p;
	for (int i = 0; i < additions; i++) {
		pthread_mutex_lock(&mtx);
		n++;
		pthread_mutex_unlock(&mtx);
	}
	return nullptr;
}

const char *why(int err)
{
	const char *s = strerrordesc_np(err);
	return s != nullptr ? s : "unknown error";
}

// Reports, as one line, that WHAT failed for REASON; returns the exit status.
int say(const char *what, const char *reason)
{
	std::fprintf(stderr, "tallymill: %s: %s\n", what, reason);
	return 1;
}

} // namespace

int main()
{
	// A reader that went away is reported like any failed output.
	std::signal(SIGPIPE, SIG_IGN);
	pthread_mutex_init(&mtx, nullptr);
	// Off the main thread's stack, which ulimit -s may make as small as
	// 16 KiB.
	static pthread_t t[threads];
	pthread_attr_t attr;
	pthread_attr_init(&attr);
	// Some systems ask for more (arm64: 128 KiB), and refuse less.
	pthread_attr_setstacksize(&attr, std::max<std::size_t>(stack, PTHREAD_STACK_MIN));
	int oldest = 0; // the oldest thread not joined yet
	for (int i = 0; i < threads; i++) {
		int err = 0;
		// When the system refuses a thread, one that ends makes room; the
		// total stays exact as long as every thread runs in the end.  With
		// none left to join, the kernel may still count one just joined
		// against ulimit -u for a moment: a few short naps let it go.
		for (int naps = 0; (err = pthread_create(&t[i], &attr, f, nullptr)) != 0 &&
		                   (oldest < i || (err == EAGAIN && naps++ < max_naps));)
			if (oldest < i)
				pthread_join(t[oldest++], nullptr);
			else
				::nanosleep(&nap, nullptr);
		if (err != 0)
			return say("cannot start a thread", why(err));
	}
	pthread_attr_destroy(&attr);
	for (; oldest < threads; oldest++)
		pthread_join(t[oldest], nullptr);
	pthread_mutex_destroy(&mtx);

	const bool failed = std::printf("%d\n", n) < 0;
	if (std::fclose(stdout) != 0 || failed)
		return say("standard output", why(errno));
	return 0;
}
