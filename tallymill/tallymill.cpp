// SPDX-License-Identifier: ISC
// tallymill: 1000 threads each add 1 to one shared counter 100000 times,
// taking a mutex around every single addition, and the total is printed.
// The contended mutex is the point: it alone keeps the plain int exact.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <pthread.h>

namespace {

constexpr int threads = 1000;
constexpr int additions = 100000;

int n;
pthread_mutex_t mtx;

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

} // namespace

int main()
{
	// A reader that went away is reported like any failed output.
	std::signal(SIGPIPE, SIG_IGN);
	pthread_mutex_init(&mtx, nullptr);
	pthread_t t[threads];
	int oldest = 0; // the oldest thread not joined yet
	for (int i = 0; i < threads; i++) {
		int err = 0;
		// When the system refuses a thread, one that ends makes room; the
		// total stays exact as long as every thread runs in the end.
		while ((err = pthread_create(&t[i], nullptr, f, nullptr)) != 0 && oldest < i)
			pthread_join(t[oldest++], nullptr);
		if (err != 0) {
			std::fprintf(stderr, "tallymill: %s\n", why(err));
			return 1;
		}
	}
	for (; oldest < threads; oldest++)
		pthread_join(t[oldest], nullptr);
	pthread_mutex_destroy(&mtx);

	const bool failed = std::printf("%d\n", n) < 0;
	if (std::fclose(stdout) != 0 || failed) {
		std::fprintf(stderr, "tallymill: standard output: %s\n", why(errno));
		return 1;
	}
	return 0;
}
