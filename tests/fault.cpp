// SPDX-License-Identifier: ISC
// Preloaded into a program by a test: fails chosen calls, or answers them
// late, as a system that runs short or is busy does.  FAULT holds rules,
// separated by commas, each FUNC:PATH:WHICH:RESULT[:MS]: calls of FUNC on
// files whose names end in PATH, or on any if PATH is *; WHICH is N, the
// Nth of them, N+, it and every later one, or >K, every open made while K
// descriptors that open() returned are open, as a system-wide table with
// room for K; RESULT is an errno name, with which the call fails, a
// number, which it returns, or ok, for a call made as usual; MS delays the
// answer.  The first rule that holds for a call applies.  Each fault made
// adds a line to fault.log in the working directory, so that a test knows.
// A rule that cannot be read stops the program with a message: it would
// make no fault, and a row that asks for it would pass on a fault not made.
#undef _FORTIFY_SOURCE // its wrappers would stand in for the calls defined here
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct rule {
	char func[16], path[64], which[16], result[16];
	long n;     // of WHICH
	int err;    // of RESULT, or 0
	long value; // of RESULT, when it is no errno name
	long ms;
	std::atomic<long> calls;
} rules[8];
int nrules;
std::atomic<long> opened;      // descriptors that open() returned, still open
std::atomic<bool> ours[65536]; // ... which they are

[[noreturn]] void bad(const char *what, const char *p)
{
	std::fprintf(stderr, "fault: %s: %s\n", what, p);
	std::_Exit(125);
}

// Whether S, up to a comma or its end, is a whole number, N.
bool number(const char *s, long &n)
{
	char *end = nullptr;
	n = std::strtol(s, &end, 10);
	return end != s && (*end == '\0' || *end == ',');
}

[[gnu::constructor]] void parse()
{
	// NOLINTNEXTLINE(concurrency-mt-unsafe): before the program runs, on its one thread
	for (const char *p = std::getenv("FAULT"); p != nullptr && *p != '\0';
	     p = std::strchr(p, ',') != nullptr ? std::strchr(p, ',') + 1 : "") {
		if (nrules == 8)
			bad("more than 8 rules", p);
		rule &r = rules[nrules++];
		int used = 0;
		if (std::sscanf(p, "%15[^:]:%63[^:]:%15[^:]:%15[^:,]%n", r.func, r.path, r.which,
		                r.result, &used) != 4 ||
		    (p[used] == ':' ? !number(p + used + 1, r.ms)
		                    : p[used] != ',' && p[used] != '\0'))
			bad("not FUNC:PATH:WHICH:RESULT[:MS]", p);
		char n[16] = "";
		std::strncat(n, r.which + (*r.which == '>'), sizeof n - 1);
		if (char *plus = std::strchr(n, '+');
		    plus != nullptr && plus[1] == '\0' && *r.which != '>')
			*plus = '\0';
		if (!number(n, r.n))
			bad("WHICH is not N, N+ or >K", p);
		for (int e = 1; e < 256 && r.err == 0; e++)
			if (const char *name = strerrorname_np(e);
			    name && std::strcmp(name, r.result) == 0)
				r.err = e;
		if (r.err == 0 && std::strcmp(r.result, "ok") != 0 && !number(r.result, r.value))
			bad("RESULT is no errno name, number or ok", p);
	}
}

template <class F>
F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Whether this call of FUNC, on PATH or the file open as FD, fails, and with
// which RESULT: counts it, and makes and logs the fault.
bool fails(const char *func, long &result, int fd = -1, const char *path = "")
{
	char name[4096] = "";
	if (fd >= 0 && nrules > 0) {
		char link[32];
		std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
		(void)readlink(link, name, sizeof name - 1);
		path = name;
	}
	for (rule *r = rules; r < rules + nrules; r++) {
		const std::size_t n = std::strlen(path), k = std::strlen(r->path);
		if (std::strcmp(r->func, func) != 0 ||
		    (*r->path != '*' && (n < k || std::strcmp(path + n - k, r->path) != 0)))
			continue;
		const long call = ++r->calls;
		if (*r->which == '>' ? opened < r->n
		                     : call != r->n && !(call > r->n && std::strchr(r->which, '+')))
			continue;
		const struct timespec t = {r->ms / 1000, r->ms % 1000 * 1000000};
		nanosleep(&t, nullptr);
		if (std::strcmp(r->result, "ok") == 0)
			return false;
		char line[40];
		const int fd = real<int (*)(const char *, int, ...)>("open")(
		    "fault.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
		real<ssize_t (*)(int, const void *, size_t)>("write")(
		    fd, line, std::snprintf(line, sizeof line, "%s %s\n", func, r->result));
		real<int (*)(int)>("close")(fd);
		result = r->err != 0 ? -1 : r->value;
		errno = r->err;
		return true;
	}
	return false;
}

} // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name): reserved names
extern "C" int open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	const auto mode = static_cast<mode_t>(va_arg(ap, int));
	va_end(ap);
	long r = 0;
	if (fails("open", r, -1, path))
		return static_cast<int>(r);
	const int fd = real<int (*)(const char *, int, ...)>("open")(path, flags, mode);
	if (fd >= 0 && fd < 65536 && !ours[fd].exchange(true))
		opened++;
	return fd;
}

// A close that fails has closed the descriptor all the same, as Linux's does.
extern "C" int close(int fd)
{
	long r = 0;
	const bool failed = fails("close", r, fd);
	if (fd >= 0 && fd < 65536 && ours[fd].exchange(false))
		opened--;
	const int closed = real<int (*)(int)>("close")(fd);
	return failed ? static_cast<int>(r) : closed;
}

// FD is the descriptor that the call works on, or -1.
#define FAULT_OR(ret, func, params, fd, ...)                                                       \
	extern "C" ret func params                                                                 \
	{                                                                                          \
		long r = 0;                                                                        \
		if (fails(#func, r, fd))                                                           \
			return (ret)(r); /* NOLINT(performance-no-int-to-ptr): null */             \
		return real<ret(*) params>(#func)(__VA_ARGS__);                                    \
	}
FAULT_OR(ssize_t, read, (int fd, void *buf, size_t n), fd, fd, buf, n)
FAULT_OR(ssize_t, write, (int fd, const void *buf, size_t n), fd, fd, buf, n)
FAULT_OR(int, ftruncate, (int fd, off_t len), fd, fd, len)
FAULT_OR(int, mprotect, (void *addr, size_t len, int prot), -1, addr, len, prot)
FAULT_OR(void *, aligned_alloc, (size_t align, size_t size) noexcept, -1, align, size)
// NOLINTEND(readability-inconsistent-declaration-parameter-name)
