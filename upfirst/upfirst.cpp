// SPDX-License-Identifier: ISC
// upfirst: copies every file named on the command line, each in a thread of
// its own, to PATH_CAPIT.txt beside it, with the first letter of every word
// upper-cased, and logs each worker's creation, start and end.
#include "capit.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
constexpr std::size_t page = 4096;
// When the heap has no room for a worker's blocks (under ulimit -v), it
// copies through two of these on its own stack, which may be as small as
// 16 KiB.
constexpr std::size_t small_block = 1024;
// open_copy's answer for a copy's name that is a symbolic link to nothing,
// and what is said of it.
constexpr int dangling = -2;
constexpr char dangling_why[] = "not writing through dangling symlink";

// Slot i holds the worker of argv[i]; slot 0, the program's name, is unused.
pthread_t tid[max_paths + 1];
char **args;

// Two names lead to one file when these agree.
struct ident {
	dev_t dev = 0;
	ino_t ino = 0;
	bool operator==(const ident &) const = default;
};

ident ident_of(const struct stat &st)
{
	return {st.st_dev, st.st_ino};
}

// What the launcher found of path i and of its copy before the first worker
// started.  The workers judge by this, so that no outcome of a run depends
// on which of them happens to run first.
struct before {
	int err = 0; // why the input could not be found, or 0
	ident in;
	bool copy_exists = false;
	ident copy;
	bool copy_dangling = false; // the copy's name is a symbolic link to nothing
};
before seen[max_paths + 1];
// Standard output, when it is a regular file: the log is written into it.
bool log_is_file;
ident log_file;

// Each worker holds two descriptors, for its input and its copy, and takes
// both from this budget at once, so that none of them ever holds one while
// it waits for the other.  The budget starts from the open-file limit, so
// that under ordinary limits nobody waits.
pthread_mutex_t fd_mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t fd_freed = PTHREAD_COND_INITIALIZER;
long fd_free;   // descriptors the workers may still take
int fd_holders; // workers holding their two

// A worker's share of the budget, from before it opens its input until it
// has closed both files.
class fd_share {
public:
	fd_share()
	{
		pthread_mutex_lock(&fd_mtx);
		take();
		pthread_mutex_unlock(&fd_mtx);
	}
	fd_share(const fd_share &) = delete;
	fd_share &operator=(const fd_share &) = delete;
	~fd_share()
	{
		pthread_mutex_lock(&fd_mtx);
		fd_free += 2;
		fd_holders--;
		pthread_cond_broadcast(&fd_freed);
		pthread_mutex_unlock(&fd_mtx);
	}
	// The system ran out of descriptors before the budget did (other open
	// files, or the system-wide table): none is free now.  The caller has
	// closed what it held; this waits, without a share, until another worker
	// closes its files, and takes a share anew.  False when no other worker
	// holds any, so that waiting could not help.
	[[nodiscard]] bool wait_for_room()
	{
		pthread_mutex_lock(&fd_mtx);
		const bool others = fd_holders > 1;
		if (others) {
			fd_holders--;
			fd_free = 0;
			take();
		}
		pthread_mutex_unlock(&fd_mtx);
		return others;
	}

private:
	// With no other holder, a worker goes ahead even over budget: it alone
	// learns whether the system has a descriptor for it.
	static void take()
	{
		while (fd_free < 2 && fd_holders > 0)
			pthread_cond_wait(&fd_freed, &fd_mtx);
		fd_free -= 2;
		fd_holders++;
	}
};

bool out_of_fds(int err)
{
	return err == EMFILE || err == ENFILE;
}

// One owned descriptor, closed on every early return.  The output's close is
// the last chance to learn of a failed write, so it is also offered checked.
class file {
public:
	file() = default;
	file(const file &) = delete;
	file &operator=(const file &) = delete;
	~file() { reset(-1); }
	void reset(int fd)
	{
		if (fd_ >= 0)
			::close(fd_);
		fd_ = fd;
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
	int fd_ = -1;
};

// A worker's working storage: its copy's name and the two blocks that it
// copies through.  Kept off the worker's stack, which is fresh memory for
// every thread: a frame that reached one more page of it cost a page fault
// per worker, and on the machine measured that took more time than copying
// a small file.
template <std::size_t size>
struct area {
	unsigned char in[size];
	unsigned char out[size];
	char nume_out[PATH_MAX];
};
using big_area = area<block>;

// Areas that finished workers leave for the next ones, so that a run maps
// only as many as run at once, and reused memory costs no page fault.  Each
// is page-aligned, as dd's buffer is: the kernel copies into and out of such
// blocks faster (with malloc's alignment a copy took 6 % longer than dd's).
pthread_mutex_t pool_mtx = PTHREAD_MUTEX_INITIALIZER;
big_area *pool[max_paths];
int pooled;

// A worker's area, from the pool or new; null when the heap has no room.
class area_lease {
public:
	area_lease()
	{
		pthread_mutex_lock(&pool_mtx);
		if (pooled > 0)
			a_ = pool[--pooled];
		pthread_mutex_unlock(&pool_mtx);
		if (a_ == nullptr)
			a_ = static_cast<big_area *>(std::aligned_alloc(page, sizeof(big_area)));
	}
	area_lease(const area_lease &) = delete;
	area_lease &operator=(const area_lease &) = delete;
	~area_lease()
	{
		if (a_ == nullptr)
			return;
		pthread_mutex_lock(&pool_mtx);
		pool[pooled++] = a_;
		pthread_mutex_unlock(&pool_mtx);
	}
	[[nodiscard]] big_area *get() const { return a_; }

private:
	big_area *a_ = nullptr;
};

// Once every worker has been joined.
void free_areas()
{
	while (pooled > 0)
		std::free(pool[--pooled]);
}

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

// Reports a failure on the copy of NUME_IN, before its name is built.
bool warn_copy(const char *nume_in, const char *reason)
{
	std::fprintf(stderr, "upfirst: %s%s: %s\n", nume_in, suffix, reason);
	return false;
}

// Whether the copy's name, the path with the suffix appended, fits in
// PATH_MAX.
bool name_fits(const char *nume_in)
{
	return std::strlen(nume_in) + sizeof suffix <= PATH_MAX;
}

void copy_name(std::span<char, PATH_MAX> nume_out, const char *nume_in)
{
	std::snprintf(nume_out.data(), nume_out.size(), "%s%s", nume_in, suffix);
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
[[nodiscard]] bool pump(int fi, int fo, std::span<unsigned char> in, std::span<unsigned char> out,
                        const char *nume_in, const char *nume_out)
{
	unsigned char prev = '\n';
	for (;;) {
		const ssize_t got = ::read(fi, in.data(), in.size());
		if (got == 0)
			return true;
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return warn(nume_in, why(errno));
		}
		const auto len = static_cast<std::size_t>(got);
		prev = cap_block(in.first(len), out.first(len), prev);
		if (!write_all(fo, out.first(len)))
			return warn(nume_out, why(errno));
	}
}

// Opens the copy for writing without emptying it.  An existing file, or a
// link to one, is opened as it is.  A missing one is created with MODE less
// the umask, and never through a symbolic link: O_EXCL does not follow one,
// so that a link to nowhere planted where the copy goes cannot make upfirst
// create a file of someone else's choosing.  EXISTED, what the launcher saw,
// only picks which call to try first, so that one call does in most runs.
int open_copy(const char *nume_out, mode_t mode, bool existed)
{
	int fd = -1;
	if (existed) {
		fd = ::open(nume_out, O_WRONLY | O_CLOEXEC);
		if (fd >= 0 || errno != ENOENT)
			return fd;
	}
	fd = ::open(nume_out, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
	if (fd >= 0 || errno != EEXIST)
		return fd;
	// It exists after all: a worker for the same input has just created
	// it, or it is a symbolic link.
	fd = ::open(nume_out, O_WRONLY | O_CLOEXEC);
	return fd < 0 && errno == ENOENT ? dangling : fd;
}

// Why the copy, now open as the file C, must not be written, or null.  A run
// never writes a file that it reads, nor one that another worker writes.
const char *copy_refusal(int i, ident c)
{
	const before &b = seen[i];
	if (c == b.in)
		return "is the input file itself";
	if (log_is_file && c == log_file)
		return "is standard output";
	for (int j = 1; args[j] != nullptr; j++)
		if (seen[j].err == 0 && seen[j].in == c)
			return "is also an input of this run";
	// Two inputs whose existing copies are one file: the first one writes.
	for (int j = 1; j < i; j++)
		if (seen[j].copy_exists && seen[j].copy == c && seen[j].err == 0 &&
		    !(seen[j].in == b.in))
			return "is also the copy of an earlier path";
	return nullptr;
}

// Opens path i and its copy into FI and FO, the copy emptied; false when the
// path was refused or failed, which is reported here.  When descriptors run
// out, it closes what it opened before it waits for room, and starts again.
[[nodiscard]] bool open_both(int i, const char *nume_out, file &fi, file &fo, fd_share &share)
{
	const char *nume_in = args[i];
	for (;;) {
		fi.reset(::open(nume_in, O_RDONLY | O_CLOEXEC));
		struct stat si = {};
		if (!fi.ok() || ::fstat(fi.get(), &si) != 0) {
			const int err = errno;
			if (out_of_fds(err) && share.wait_for_room())
				continue;
			return warn(nume_in, why(err));
		}
		if (!(ident_of(si) == seen[i].in))
			return warn(nume_in, "was replaced during the run");
		if (S_ISDIR(si.st_mode))
			return warn(nume_in, why(EISDIR));

		// Not O_TRUNC: the copy's name may lead to a file that must not
		// change, and it is emptied only once it is known to be none of them.
		fo.reset(open_copy(nume_out, si.st_mode & 0666, seen[i].copy_exists));
		if (fo.get() == dangling)
			return warn(nume_out, dangling_why);
		struct stat so = {};
		if (!fo.ok() || ::fstat(fo.get(), &so) != 0) {
			const int err = errno;
			if (out_of_fds(err)) {
				fi.reset(-1);
				if (share.wait_for_room())
					continue;
			}
			return warn(nume_out, why(err));
		}
		if (const char *refusal = copy_refusal(i, ident_of(so)))
			return warn(nume_out, refusal);
		// A new copy is left alone: emptying an empty file costs nothing
		// here, but ext4 takes it as a file being replaced and writes it
		// back early.
		if (S_ISREG(so.st_mode) && so.st_size > 0 && ::ftruncate(fo.get(), 0) != 0)
			return warn(nume_out, why(errno));
		return true;
	}
}

// Builds the copy's name, opens both files and copies, through the storage
// given.
[[nodiscard]] bool copy_through(int i, fd_share &share, std::span<unsigned char> in,
                                std::span<unsigned char> out, std::span<char, PATH_MAX> name)
{
	copy_name(name, args[i]);
	const char *nume_out = name.data();
	file fi;
	file fo;
	if (!open_both(i, nume_out, fi, fo, share))
		return false;
	const bool ok = pump(fi.get(), fo.get(), in, out, args[i], nume_out);
	if (fo.close() != 0)
		return warn(nume_out, why(errno));
	return ok;
}

// Kept out of copy_cap's frame, so that the stack is only used when the heap
// has no room.
[[gnu::noinline, nodiscard]] bool copy_small(int i, fd_share &share)
{
	area<small_block> a;
	return copy_through(i, share, a.in, a.out, a.nume_out);
}

// Writes the capitalized copy of path i.  Every failure is reported here,
// and none of them leaves an input changed.
[[nodiscard]] bool copy_cap(int i)
{
	const char *nume_in = args[i];
	if (!name_fits(nume_in))
		return warn_copy(nume_in, why(ENAMETOOLONG));
	// Missing when the run began is missing for the whole run, even if
	// another worker creates the file meanwhile.
	if (seen[i].err != 0)
		return warn(nume_in, why(seen[i].err));
	if (log_is_file && seen[i].in == log_file)
		return warn(nume_in, "is standard output");
	if (seen[i].copy_dangling)
		return warn_copy(nume_in, dangling_why);

	fd_share share;
	// Taken before the copy is emptied, so that no copy is emptied for
	// want of memory.
	const area_lease lease;
	if (big_area *a = lease.get())
		return copy_through(i, share, a->in, a->out, a->nume_out);
	return copy_small(i, share);
}

// The slot of a worker's path: the launcher hands it the argument string
// itself.
int slot_of(const void *nume_in)
{
	int i = 1;
	while (args[i] != nume_in)
		i++;
	return i;
}

// The body of one worker.  Its result tells the launcher how the copy went:
// null when it is sound, the path itself when it failed (already reported).
void *make_cap(void *nume_in)
{
	const char *path = static_cast<const char *>(nume_in);
	const long self = static_cast<long>(pthread_self());
	std::printf("Threadul: %ld ..> %s\n", self, path);
	const bool ok = copy_cap(slot_of(nume_in));
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

// Records the log's file, when standard output is one, before any worker
// runs: no copy may be written into it, and no input read from it.
void look_at_log()
{
	struct stat st = {};
	if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
		log_is_file = true;
		log_file = ident_of(st);
	}
}

// Records path i and its copy as they are before any worker runs.
void look(int i)
{
	before &b = seen[i];
	struct stat st = {};
	if (::stat(args[i], &st) != 0) {
		b.err = errno;
		return;
	}
	b.in = ident_of(st);
	if (!name_fits(args[i]))
		return;
	char nume_out[PATH_MAX];
	copy_name(nume_out, args[i]);
	// A missing copy, the usual case, takes one call; a link one more.
	if (::lstat(nume_out, &st) != 0)
		return;
	if (S_ISLNK(st.st_mode) && ::stat(nume_out, &st) != 0) {
		b.copy_dangling = errno == ENOENT;
		return;
	}
	b.copy_exists = true;
	b.copy = ident_of(st);
}

// open() hands out the lowest free descriptor: with standard output closed,
// a copy would land on descriptor 1 and the log would be written into it.
// Each closed standard descriptor is held by the root directory opened as a
// bare path, which every system has and every write to fails.
void hold_std_fds()
{
	for (int fd = 0; fd <= 2; fd++)
		if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
			::open("/", O_PATH | O_DIRECTORY);
}

// Every live worker holds two descriptors; 999 of them need more than the
// customary soft limit of 1024.  Returns the limit.
long raise_fd_limit()
{
	struct rlimit rl = {};
	if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
		return 1024;
	if (rl.rlim_cur < rl.rlim_max) {
		rl.rlim_cur = rl.rlim_max;
		::setrlimit(RLIMIT_NOFILE, &rl);
	}
	return rl.rlim_cur > INT_MAX ? INT_MAX : static_cast<long>(rl.rlim_cur);
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
	hold_std_fds();
	// A reader of the log that goes away, or a copy that reaches the file
	// size limit, fails that write alone instead of killing every copy.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	fd_free = raise_fd_limit() - 3;
	args = argv;
	look_at_log();
	for (int i = 1; argv[i] != nullptr; i++)
		look(i);

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
	free_areas();
	if (i > 1)
		std::puts("Terminat toate thread-urile");
	if (!close_stdout())
		status = 1;
	return status;
}
