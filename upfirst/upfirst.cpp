// SPDX-License-Identifier: ISC
// upfirst: copies every file named on the command line, each in a thread of
// its own, to PATH_CAPIT.txt beside it, with the first letter of every word
// upper-cased, and logs each worker's creation, start and end.
#include "capit.h"

#include <algorithm>
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
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int max_paths = 999;
constexpr char suffix[] = "_CAPIT.txt";
// The read and write size: large enough that a copy costs little more than
// the kernel's own work, as with dd bs=128K.  Each worker holds two blocks.
constexpr std::size_t block = std::size_t{128} * 1024;
constexpr std::size_t page = 4096;
// When the heap has no room for a worker's blocks (under ulimit -v), it
// copies through two of these on its own stack.
constexpr std::size_t small_block = 1024;

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UPFIRST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UPFIRST_SANITIZED 1
#endif
// Every worker's stack, whatever ulimit -s says: the default (the stack
// limit, 8 MiB as a rule) made 999 workers cost as much as the copying
// itself, failed every thread under a small ulimit -v, and was too small for
// a diagnostic under ulimit -s 16.  The deepest path, a diagnostic from the
// on-stack fallback, was measured to reach 14 KiB, with the thread's own
// records at the top of its stack; this leaves a margin of four times that.
// The sanitizers' frames are many times larger.
#ifdef UPFIRST_SANITIZED
constexpr std::size_t worker_stack = std::size_t{4} << 20;
#else
constexpr std::size_t worker_stack = std::size_t{64} << 10;
#endif

// Slot i holds the worker of argv[i]; slot 0, the program's name, is unused.
// Only the launcher reads it: a worker may start before its slot is stored,
// so it learns its own number from pthread_self().
pthread_t tid[max_paths + 1];

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

// What the launcher found of one path and of its copy before the first worker
// started.  The workers judge by this, so that no outcome of a run depends on
// which of them happens to run first.
struct path_rec {
	const char *nume_in = nullptr; // the argument itself
	int err = 0;                   // why the input could not be found, or 0
	ident in;
	bool copy_exists = false;
	ident copy;
	bool copy_dangling = false; // the copy's name is a symbolic link to nothing
};

// The standard output or error that no copy may be: its file, pipe, socket
// or terminal, but never /dev/null, which any copy may write.
struct std_rec {
	bool guarded = false;
	bool regular = false;
	ident id;
};

struct launch {
	path_rec paths[max_paths + 1]; // slot i for argv[i]
	int count = 0;                 // paths given
	std_rec out, err;
	long fds = 0; // descriptors that the workers may hold together
};

// Filled by record() in main before the first worker starts, and never
// changed afterwards; thread creation orders those writes before everything
// a worker does.  The workers reach it only through run, read-only.
launch launch_storage;
const launch &run = launch_storage;

// The copies that this run's workers have opened, each recorded by its
// worker before it empties the file, and kept for the whole run: a file is
// written by one path's worker or by none.
pthread_mutex_t copies_mtx = PTHREAD_MUTEX_INITIALIZER;
ident copies[max_paths + 1];
bool copy_open[max_paths + 1];

// The descriptor budget.  Each worker holds two descriptors, for its input
// and its copy, and takes both at once, so that none ever holds one while it
// waits for the other.  Under fd_mtx:
// - fd_holders is the number of workers holding their two;
// - fd_free is how many more the workers may take: the open-file limit less
//   what the launcher keeps, less two per holder.  When the system runs out
//   first (descriptors inherited, or the system-wide table full), it is set
//   to zero, since none is free then; a lone worker goes ahead even when it
//   is below two, so it may go below zero.
// - fd_released counts the shares ever given back: a worker that ran out
//   tries again only when one has been given back since it took its own, or
//   will be, by a holder.  Each new try waits for a release that it has not
//   yet seen, so nobody spins, and the last holder never waits, so nobody
//   deadlocks.
pthread_mutex_t fd_mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t fd_freed = PTHREAD_COND_INITIALIZER;
long fd_free;
int fd_holders;
unsigned long fd_released;

// Takes a worker's two descriptors, under fd_mtx; returns fd_released then.
unsigned long fd_take_locked()
{
	while (fd_free < 2 && fd_holders > 0)
		pthread_cond_wait(&fd_freed, &fd_mtx);
	fd_free -= 2;
	fd_holders++;
	return fd_released;
}

unsigned long fd_take()
{
	pthread_mutex_lock(&fd_mtx);
	const unsigned long seen = fd_take_locked();
	pthread_mutex_unlock(&fd_mtx);
	return seen;
}

void fd_give()
{
	pthread_mutex_lock(&fd_mtx);
	fd_free += 2;
	fd_holders--;
	fd_released++;
	pthread_cond_broadcast(&fd_freed);
	pthread_mutex_unlock(&fd_mtx);
}

// The system had no descriptor for a worker, which has closed what it held.
// True when trying again can succeed: some worker has given its share back
// since SEEN, or one holds a share and will.  The worker then gives its own
// back and takes one anew, waiting for a release when none is free; else it
// keeps its share, for fd_give() to return.
[[nodiscard]] bool fd_retry(unsigned long &seen)
{
	pthread_mutex_lock(&fd_mtx);
	const bool released = fd_released != seen;
	// With no release since, the system has none free, whatever the
	// budget counted.
	if (!released)
		fd_free = 0;
	const bool retry = released || fd_holders > 1;
	if (retry) {
		fd_holders--;
		if (released)
			fd_free += 2;
		seen = fd_take_locked();
	}
	pthread_mutex_unlock(&fd_mtx);
	return retry;
}

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
// aligned_alloc() takes only sizes that are a multiple of the alignment.
static_assert(sizeof(big_area) % page == 0);

// Areas that finished workers leave for the next ones, so that a run maps
// only as many as run at once, and reused memory costs no page fault.  Each
// is page-aligned, as dd's buffer is: the kernel copies into and out of such
// blocks faster (with malloc's alignment a copy took 6 % longer than dd's).
// They are never freed: the process ends soon after its workers.
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

// strerror() may share one buffer between threads; the bare description
// does not.
const char *why(int err)
{
	const char *s = strerrordesc_np(err);
	return s != nullptr ? s : "unknown error";
}

// Writes NAME and TAIL, the two parts of one name, as they are; or, when
// they hold a control character that could break the line, in double quotes
// with that character, a double quote and a backslash escaped as in C (\n,
// \t, \r, else three octal digits).  The caller holds the stream's lock.
void put_name(const char *name, const char *tail)
{
	const auto plain = [](const char *s) {
		for (; *s != '\0'; s++)
			if (static_cast<unsigned char>(*s) < 0x20 || *s == 0x7f)
				return false;
		return true;
	};
	if (plain(name) && plain(tail)) {
		std::fputs(name, stderr);
		std::fputs(tail, stderr);
		return;
	}
	std::fputc('"', stderr);
	for (const char *part : {name, tail})
		for (const auto *s = reinterpret_cast<const unsigned char *>(part); *s != '\0';
		     s++) {
			const unsigned char c = *s;
			if (c == '"' || c == '\\')
				std::fprintf(stderr, "\\%c", c);
			else if (c == '\n' || c == '\t' || c == '\r')
				std::fprintf(stderr, "\\%c",
				             c == '\n'   ? 'n'
				             : c == '\t' ? 't'
				                         : 'r');
			else if (c < 0x20 || c == 0x7f)
				std::fprintf(stderr, "\\%03o", c);
			else
				std::fputc(c, stderr);
		}
	std::fputc('"', stderr);
}

// Reports, as one line, a failure on NAME followed by TAIL, for REASON and
// the system's DETAIL, if any; returns false so that a caller can return it.
bool say(const char *name, const char *tail, const char *reason, const char *detail = nullptr)
{
	flockfile(stderr);
	std::fputs("upfirst: ", stderr);
	put_name(name, tail);
	std::fprintf(stderr, ": %s%s%s\n", reason, detail != nullptr ? ": " : "",
	             detail != nullptr ? detail : "");
	funlockfile(stderr);
	return false;
}

bool warn(const char *name, const char *reason)
{
	return say(name, "", reason);
}

// A failure on the copy of NUME_IN, before its name is built.
bool warn_copy(const char *nume_in, const char *reason)
{
	return say(nume_in, suffix, reason);
}

// Whether the copy's name, the path with the suffix appended, fits in
// PATH_MAX.
bool name_fits(const char *nume_in)
{
	return std::strlen(nume_in) + sizeof suffix <= PATH_MAX;
}

// Only for a name that fits.
void copy_name(std::span<char, PATH_MAX> nume_out, const char *nume_in)
{
	const std::size_t len = std::strlen(nume_in);
	std::memcpy(nume_out.data(), nume_in, len);
	std::memcpy(nume_out.data() + len, suffix, sizeof suffix);
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

// The rules that decide whether a path is copied, in the order they apply.
// Each returns the reason for a refusal, or null.

// Before anything is opened, by what the launcher saw.  The copy's name is
// the path's with the suffix appended (ON_COPY).  A path missing when the run
// began is missing for the whole run, even if another worker creates it.
const char *launch_refusal(const path_rec &p, bool &on_copy)
{
	on_copy = false;
	if (p.err != 0)
		return why(p.err);
	if (run.out.regular && p.in == run.out.id)
		return "is standard output";
	if (run.err.regular && p.in == run.err.id)
		return "is standard error";
	on_copy = true;
	if (!name_fits(p.nume_in))
		return why(ENAMETOOLONG);
	if (p.copy_dangling)
		return "not writing through dangling symlink";
	return nullptr;
}

// Once the input is open as SI.
const char *input_refusal(const path_rec &p, const struct stat &si)
{
	if (!(ident_of(si) == p.in))
		return "was replaced during the run";
	if (S_ISDIR(si.st_mode))
		return why(EISDIR);
	return nullptr;
}

// Whether another path's worker has opened the file C as its copy; records
// it as slot I's when not.  Workers of one input write the same bytes, and
// may share it.
bool copy_taken(int i, ident c)
{
	bool taken = false;
	pthread_mutex_lock(&copies_mtx);
	for (int j = 1; j <= run.count && !taken; j++)
		taken = copy_open[j] && copies[j] == c && !(run.paths[j].in == run.paths[i].in);
	if (!taken) {
		copies[i] = c;
		copy_open[i] = true;
	}
	pthread_mutex_unlock(&copies_mtx);
	return taken;
}

// Once the copy is open as C, before it is emptied.  A run never writes a
// file that it reads, nor its log or diagnostics, nor a file that another
// path's worker writes.
const char *copy_refusal(int i, ident c)
{
	const path_rec &p = run.paths[i];
	if (c == p.in)
		return "is the input file itself";
	if (run.out.guarded && c == run.out.id)
		return "is standard output";
	if (run.err.guarded && c == run.err.id)
		return "is standard error";
	for (int j = 1; j <= run.count; j++)
		if (run.paths[j].err == 0 && run.paths[j].in == c)
			return "is also an input of this run";
	// Two inputs whose existing copies were one file: the first one writes,
	// whichever worker gets there first.
	for (int j = 1; j < i; j++)
		if (run.paths[j].copy_exists && run.paths[j].copy == c && run.paths[j].err == 0 &&
		    !(run.paths[j].in == p.in))
			return "is also the copy of an earlier path";
	if (copy_taken(i, c))
		return "is also the copy of another path";
	return nullptr;
}

// Opens the copy for writing without emptying it, and without blocking: a
// FIFO with no reader fails with ENXIO instead of waiting for one forever.
// An existing file, or a link to one, is opened as it is.  A missing one is
// created with MODE less the umask, and never through a symbolic link:
// O_EXCL does not follow one, so that a link to nowhere planted where the
// copy goes cannot make upfirst create a file of someone else's choosing.
// EXISTED, what the launcher saw, only picks which call to try first, so
// that one call does in most runs.  Sets DANGLING for a link to nowhere.
int open_copy(const char *nume_out, mode_t mode, bool existed, bool &dangling)
{
	constexpr int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
	dangling = false;
	int fd = -1;
	if (existed) {
		fd = ::open(nume_out, flags);
		if (fd >= 0 || errno != ENOENT)
			return fd;
	}
	fd = ::open(nume_out, flags | O_CREAT | O_EXCL, mode);
	if (fd >= 0 || errno != EEXIST)
		return fd;
	// It exists after all: a worker for the same input has just created
	// it, or it is a symbolic link.
	fd = ::open(nume_out, flags);
	dangling = fd < 0 && errno == ENOENT;
	return fd;
}

// Opens path i and its copy into FI and FO, the copy emptied; false when the
// path was refused or failed, which is reported here.  When descriptors run
// out, it closes what it opened and tries again while that can succeed.
[[nodiscard]] bool open_both(int i, const char *nume_out, file &fi, file &fo,
                             unsigned long &fds_seen)
{
	const path_rec &p = run.paths[i];
	for (;;) {
		fi.reset(::open(p.nume_in, O_RDONLY | O_CLOEXEC));
		struct stat si = {};
		if (!fi.ok() || ::fstat(fi.get(), &si) != 0) {
			const int err = errno;
			if (out_of_fds(err) && fd_retry(fds_seen))
				continue;
			return warn(p.nume_in, why(err));
		}
		if (const char *refusal = input_refusal(p, si))
			return warn(p.nume_in, refusal);

		// Not O_TRUNC: the copy's name may lead to a file that must not
		// change, and it is emptied only once it is known to be none of them.
		bool dangling = false;
		fo.reset(open_copy(nume_out, si.st_mode & 0666, p.copy_exists, dangling));
		if (dangling)
			return warn(nume_out, "not writing through dangling symlink");
		struct stat so = {};
		if (!fo.ok() || ::fstat(fo.get(), &so) != 0) {
			const int err = errno;
			if (out_of_fds(err)) {
				fi.reset(-1);
				if (fd_retry(fds_seen))
					continue;
			}
			return warn(nume_out, why(err));
		}
		if (const char *refusal = copy_refusal(i, ident_of(so)))
			return warn(nume_out, refusal);
		const int fl = ::fcntl(fo.get(), F_GETFL);
		if (fl == -1 || ::fcntl(fo.get(), F_SETFL, fl & ~O_NONBLOCK) == -1)
			return warn(nume_out, why(errno));
		// A new copy is left alone: emptying an empty file costs nothing
		// here, but ext4 takes it as a file being replaced and writes it
		// back early.
		if (S_ISREG(so.st_mode) && so.st_size > 0 && ::ftruncate(fo.get(), 0) != 0)
			return warn(nume_out, why(errno));
		return true;
	}
}

// Builds the copy's name, opens both files and copies, through the storage
// given.  Each failure is reported once: a copy whose write failed is not
// reported again when its close fails too.
[[nodiscard]] bool copy_through(int i, unsigned long &fds_seen, std::span<unsigned char> in,
                                std::span<unsigned char> out, std::span<char, PATH_MAX> name)
{
	copy_name(name, run.paths[i].nume_in);
	const char *nume_out = name.data();
	file fi;
	file fo;
	if (!open_both(i, nume_out, fi, fo, fds_seen))
		return false;
	const bool ok = pump(fi.get(), fo.get(), in, out, run.paths[i].nume_in, nume_out);
	if (fo.close() != 0 && ok)
		return warn(nume_out, why(errno));
	return ok;
}

// Kept out of copy_cap's frame, so that the stack is only used when the heap
// has no room.
[[gnu::noinline, nodiscard]] bool copy_small(int i, unsigned long &fds_seen)
{
	area<small_block> a;
	return copy_through(i, fds_seen, a.in, a.out, a.nume_out);
}

// Writes the capitalized copy of path i.  Every failure is reported here or
// below, and none of them leaves an input changed.
[[nodiscard]] bool copy_cap(int i)
{
	const path_rec &p = run.paths[i];
	bool on_copy = false;
	if (const char *refusal = launch_refusal(p, on_copy))
		return on_copy ? warn_copy(p.nume_in, refusal) : warn(p.nume_in, refusal);

	unsigned long fds_seen = fd_take();
	bool ok = false;
	{
		// Taken before the copy is emptied, so that no copy is emptied for
		// want of memory.
		const area_lease lease;
		if (big_area *a = lease.get())
			ok = copy_through(i, fds_seen, a->in, a->out, a->nume_out);
		else
			ok = copy_small(i, fds_seen);
	}
	fd_give();
	return ok;
}

// The body of one worker; its argument is its path's slot in the launch
// record.  Its result tells the launcher how the copy went: null when it is
// sound, anything else when it failed (already reported).
void *make_cap(void *slot)
{
	const auto &p = *static_cast<const path_rec *>(slot);
	const int i = static_cast<int>(&p - run.paths);
	const char *nume_in = p.nume_in;
	const long self = static_cast<long>(pthread_self());
	std::printf("Threadul: %ld ..> %s\n", self, nume_in);
	const bool ok = copy_cap(i);
	std::printf("Terminat threadul: %ld ...> %s\n", self, nume_in);
	return ok ? nullptr : slot;
}

// Joins worker i; false if its copy failed.
bool join(int i)
{
	void *res = nullptr;
	pthread_join(tid[i], &res);
	return res == nullptr;
}

// What standard output or error is, for the copies to be checked against.
std_rec look_at_std(int fd)
{
	std_rec r;
	struct stat st = {};
	if (::fstat(fd, &st) != 0)
		return r;
	const bool dev_null = S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
	r.guarded = !dev_null;
	r.regular = S_ISREG(st.st_mode);
	r.id = ident_of(st);
	return r;
}

// Records path P and its copy as they are before any worker runs.
void look(path_rec &p)
{
	struct stat st = {};
	if (::stat(p.nume_in, &st) != 0) {
		p.err = errno;
		return;
	}
	p.in = ident_of(st);
	if (!name_fits(p.nume_in))
		return;
	// Not on the stack, which ulimit -s 16 leaves as small as 8 KiB for the
	// main thread.
	static char nume_out[PATH_MAX];
	copy_name(nume_out, p.nume_in);
	// A missing copy, the usual case, takes one call; a link one more.
	if (::lstat(nume_out, &st) != 0)
		return;
	if (S_ISLNK(st.st_mode) && ::stat(nume_out, &st) != 0) {
		p.copy_dangling = errno == ENOENT;
		return;
	}
	p.copy_exists = true;
	p.copy = ident_of(st);
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

// The launch record: every path, its copy, and the standard descriptors, as
// they are before the first worker starts.
void record(char *argv[])
{
	launch &l = launch_storage;
	for (int i = 1; argv[i] != nullptr; i++) {
		l.paths[i].nume_in = argv[i];
		look(l.paths[i]);
		l.count = i;
	}
	l.out = look_at_std(STDOUT_FILENO);
	l.err = look_at_std(STDERR_FILENO);
	l.fds = raise_fd_limit() - 3;
}

// open() hands out the lowest free descriptor: with standard output closed,
// a copy would land on descriptor 1 and the log would be written into it.
// Each closed standard descriptor is held by the root directory opened as a
// bare path, which every system has and every write to fails.  False, said,
// when one cannot be held.
[[nodiscard]] bool hold_std_fds()
{
	for (int fd = 0; fd <= 2; fd++)
		if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
		    ::open("/", O_PATH | O_DIRECTORY) != fd) {
			std::fprintf(stderr, "upfirst: cannot hold closed descriptor %d: %s\n", fd,
			             why(errno));
			return false;
		}
	return true;
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
	// Each diagnostic leaves in one write, and none needs the large stack
	// buffer that printing to an unbuffered stream takes.
	static char err_buf[BUFSIZ];
	std::setvbuf(stderr, err_buf, _IOLBF, sizeof err_buf);
	if (argc - 1 > max_paths) {
		std::fprintf(stderr, "upfirst: too many paths: %d, at most %d\n", argc - 1,
		             max_paths);
		return 2;
	}
	if (!hold_std_fds())
		return 1;
	// A reader of the log that goes away, or a copy that reaches the file
	// size limit, fails that write alone instead of killing every copy.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	record(argv);
	fd_free = run.fds;

	pthread_attr_t attr;
	pthread_attr_init(&attr);
	// Some systems ask for more (arm64: 128 KiB), and refuse less.
	pthread_attr_setstacksize(&attr, std::max<std::size_t>(worker_stack, PTHREAD_STACK_MIN));
	int status = 0;
	int oldest = 1; // the oldest worker not joined yet
	int i = 1;
	for (; argv[i] != nullptr; i++) {
		int err = 0;
		// When the system refuses a thread, one that ends makes room.
		while ((err = pthread_create(&tid[i], &attr, make_cap, &launch_storage.paths[i])) !=
		           0 &&
		       oldest < i)
			if (!join(oldest++))
				status = 1;
		if (err != 0) {
			say(argv[i], "", "cannot start a thread", why(err));
			status = 1;
			oldest = i + 1;
			continue;
		}
		std::printf("Creat threadul: %ld ...> %s\n", static_cast<long>(tid[i]), argv[i]);
	}
	pthread_attr_destroy(&attr);
	for (; oldest < i; oldest++)
		if (!join(oldest))
			status = 1;
	if (i > 1)
		std::puts("Terminat toate thread-urile");
	if (!close_stdout())
		status = 1;
	return status;
}
