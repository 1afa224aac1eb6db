// upfirst: copies every file named on the command line, each in a thread of
// its own, to PATH_CAPIT.txt beside it, with the first letter of every word
// upper-cased, and logs each worker's creation, start and end.
#include "capit.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int max_paths = 999;
constexpr char suffix[] = "_CAPIT.txt";
// The read and write size: large enough that a copy costs little more than
// the kernel's own work, as with dd bs=128K.  Each worker holds two blocks.
constexpr std::size_t block = std::size_t{128} * 1024;

// Slot i holds the worker of argv[i]; slot 0, the program's name, is unused.
pthread_t tid[max_paths + 1];

// One owned descriptor, closed on every early return.  The output's close is
// the last chance to learn of a failed write, so it is also offered checked.
class file {
public:
	explicit file(int fd) : fd_(fd) {}
	file(const file &) = delete;
	file &operator=(const file &) = delete;
	~file()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	[[nodiscard]] bool ok() const { return fd_ >= 0; }
	[[nodiscard]] int get() const { return fd_; }
	[[nodiscard]] int close()
	{
		const int r = ::close(fd_);
		fd_ = -1;
		return r;
	}

private:
	int fd_;
};

// strerror() may share one buffer between threads; the bare description
// does not.
const char *why(int err)
{
	const char *s = strerrordesc_np(err);
	return s != nullptr ? s : "unknown error";
}

// Reports a failure on NAME; returns false so that a caller can return it.
bool warn(const char *name, const char *reason)
{
	std::fprintf(stderr, "upfirst: %s: %s\n", name, reason);
	return false;
}

[[nodiscard]] bool write_all(int fd, std::span<const unsigned char> buf)
{
	while (!buf.empty()) {
		const ssize_t w = ::write(fd, buf.data(), buf.size());
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0) {
			if (w == 0)
				errno = ENOSPC;
			return false;
		}
		buf = buf.subspan(static_cast<std::size_t>(w));
	}
	return true;
}

// Streams fi into fo through the word-start rule, one block at a time; the
// last byte of each block decides whether the next block starts a word.
[[nodiscard]] bool pump(int fi, int fo, const char *nume_in, const char *nume_out)
{
	// On the heap, not the stack: every worker's stack pages are fresh, and
	// glibc hands them back at the thread's exit with a TLB shootdown on
	// every core, which for many small files cost more than the copying.
	// Heap blocks freed by one worker are reused by the next.
	const std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[2 * block]);
	if (!buf)
		return warn(nume_in, why(ENOMEM));
	unsigned char *in = buf.get();
	unsigned char *out = in + block;
	unsigned char prev = '\n';
	for (;;) {
		const ssize_t got = ::read(fi, in, block);
		if (got == 0)
			return true;
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return warn(nume_in, why(errno));
		}
		const auto len = static_cast<std::size_t>(got);
		prev = cap_block({in, len}, {out, len}, prev);
		if (!write_all(fo, {out, len}))
			return warn(nume_out, why(errno));
	}
}

// Writes the capitalized copy of nume_in.  Every failure is reported here,
// and none of them leaves the input changed.
[[nodiscard]] bool copy_cap(const char *nume_in)
{
	char nume_out[PATH_MAX];
	const int len = std::snprintf(nume_out, sizeof nume_out, "%s%s", nume_in, suffix);
	if (len < 0 || static_cast<std::size_t>(len) >= sizeof nume_out) {
		std::fprintf(stderr, "upfirst: %s%s: %s\n", nume_in, suffix, why(ENAMETOOLONG));
		return false;
	}

	// The input is checked before the copy exists, so that a path that
	// cannot be copied leaves no empty copy behind.
	file fi(::open(nume_in, O_RDONLY | O_CLOEXEC));
	if (!fi.ok())
		return warn(nume_in, why(errno));
	struct stat si = {};
	if (::fstat(fi.get(), &si) != 0)
		return warn(nume_in, why(errno));
	if (S_ISDIR(si.st_mode))
		return warn(nume_in, why(EISDIR));

	// Not O_TRUNC: the copy's name may lead back to the input through a
	// link, and it is emptied only once it is known to be another file.
	file fo(::open(nume_out, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
	if (!fo.ok())
		return warn(nume_out, why(errno));
	struct stat so = {};
	if (::fstat(fo.get(), &so) != 0)
		return warn(nume_out, why(errno));
	if (so.st_dev == si.st_dev && so.st_ino == si.st_ino)
		return warn(nume_out, "is the input file itself");
	if (S_ISREG(so.st_mode) && ::ftruncate(fo.get(), 0) != 0)
		return warn(nume_out, why(errno));

	const bool ok = pump(fi.get(), fo.get(), nume_in, nume_out);
	if (fo.close() != 0)
		return warn(nume_out, why(errno));
	return ok;
}

// The body of one worker.  Its result tells the launcher how the copy went:
// null when it is sound, the path itself when it failed (already reported).
void *make_cap(void *nume_in)
{
	const char *path = static_cast<const char *>(nume_in);
	const long self = static_cast<long>(pthread_self());
	std::printf("Threadul: %ld ..> %s\n", self, path);
	const bool ok = copy_cap(path);
	std::printf("Terminat threadul: %ld ...> %s\n", self, path);
	return ok ? nullptr : nume_in;
}

// Joins worker i; false if its copy failed.
bool join(int i)
{
	void *res = nullptr;
	pthread_join(tid[i], &res);
	return res == nullptr;
}

// open() hands out the lowest free descriptor: with standard output closed,
// a copy would land on descriptor 1 and the log would be written into it.
// Each closed standard descriptor is held by /dev/null opened read-only, so
// that writing to it fails and is reported instead.
[[nodiscard]] bool hold_std_fds()
{
	for (int fd = 0; fd <= 2; fd++)
		if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
		    ::open("/dev/null", O_RDONLY) != fd)
			return warn("/dev/null", why(errno));
	return true;
}

// Every live worker holds two descriptors; 999 of them need more than the
// customary soft limit of 1024.
void raise_fd_limit()
{
	struct rlimit rl = {};
	if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
		rl.rlim_cur = rl.rlim_max;
		::setrlimit(RLIMIT_NOFILE, &rl);
	}
}

// The log is written by many threads; a failure of it is learnt here, once,
// after every copy is finished.
[[nodiscard]] bool close_stdout()
{
	const bool failed = std::ferror(stdout) != 0;
	errno = 0;
	if (std::fclose(stdout) != 0 || failed) {
		warn("standard output", errno != 0 ? why(errno) : "write error");
		return false;
	}
	return true;
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc - 1 > max_paths) {
		std::fprintf(stderr, "upfirst: too many paths: %d, at most %d\n", argc - 1,
		             max_paths);
		return 2;
	}
	if (!hold_std_fds())
		return 1;
	// A reader of the log that goes away must not cut the copies short.
	std::signal(SIGPIPE, SIG_IGN);
	raise_fd_limit();

	int status = 0;
	int oldest = 1; // the oldest worker not joined yet
	int i = 1;
	for (; argv[i] != nullptr; i++) {
		int err = 0;
		// When the system refuses a thread, one that ends makes room.
		while ((err = pthread_create(&tid[i], nullptr, make_cap, argv[i])) != 0 &&
		       oldest < i)
			if (!join(oldest++))
				status = 1;
		if (err != 0) {
			std::fprintf(stderr, "upfirst: %s: cannot start a thread: %s\n", argv[i],
			             why(err));
			status = 1;
			oldest = i + 1;
			continue;
		}
		std::printf("Creat threadul: %ld ...> %s\n", static_cast<long>(tid[i]), argv[i]);
	}
	for (; oldest < i; oldest++)
		if (!join(oldest))
			status = 1;
	if (i > 1)
		std::puts("Terminat toate thread-urile");
	if (!close_stdout())
		status = 1;
	return status;
}
