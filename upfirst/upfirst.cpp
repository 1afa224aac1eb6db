// SPDX-License-Identifier: ISC
// upfirst: copies every file named on the command line, each in a thread of
// its own, to PATH_CAPIT.txt beside it, with the first letter of every word
// upper-cased, and logs each worker's creation, start and end.
#include "capit.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// At most this many workers are alive at once.
constexpr int max_live = 999;
constexpr char suffix[] = "_CAPIT.txt";
// The read and write size: large enough that a copy costs little more than
// the kernel's own work, as with dd bs=128K.  Each worker holds two blocks.
constexpr std::size_t block = std::size_t{128} * 1024;
constexpr std::size_t page = 4096;
// When the heap has no room for a worker's blocks (under ulimit -v), it
// copies through two of these on its own stack.
constexpr std::size_t small_block = 1024;
// How long an open waits for a lease on the copy to be broken: twice the
// time after which the kernel breaks it by default.
constexpr long lease_wait_ms = 90000;
// A refused thread, with no worker left to wait for, is tried again after
// each of at most 100 naps of 1 ms.
constexpr long max_naps = 100;
constexpr struct timespec nap = {0, 1000000};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UPFIRST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UPFIRST_SANITIZED 1
#endif
#endif
// Every worker's stack, whatever ulimit -s says, so that no outcome depends
// on it: four times the deepest use, a diagnostic from the on-stack fallback.
// The sanitizers' frames are many times larger.
#ifdef UPFIRST_SANITIZED
constexpr std::size_t worker_stack = std::size_t{4} << 20;
#else
constexpr std::size_t worker_stack = std::size_t{64} << 10;
#endif

// A ring: path k's worker is in slot k % 1000, which path k - 1000's has
// left.  Only the launcher reads it: a worker may start before its slot is
// stored, so it learns its own number from pthread_self().
pthread_t tid[max_live + 1];

// Two names lead to one file when these agree.  A file is its device, its
// inode number and, where the file system keeps one, its birth time: a file
// deleted during the run frees its number for a new file, which is another.
// A device node is known by the device that it stands for, whatever node
// names it (no file has inode number 0), and an open terminal by the one
// that the kernel says it reaches: /dev/tty and /dev/pts/3 can be one.
struct ident {
	dev_t dev = 0;
	ino_t ino = 0;
	std::int64_t born = 0; // for a device node, its type
	bool operator==(const ident &) const = default;
};

constexpr unsigned int stat_mask = STATX_BASIC_STATS | STATX_BTIME;

ident ident_of(const struct statx &st, int fd = -1)
{
	const std::int64_t type = st.stx_mode & S_IFMT;
	unsigned int tty = 0;
	if (type == S_IFCHR && fd >= 0 && ::ioctl(fd, TIOCGDEV, &tty) == 0)
		return {tty, 0, type};
	if (type == S_IFCHR || type == S_IFBLK)
		return {makedev(st.stx_rdev_major, st.stx_rdev_minor), 0, type};
	const bool born = (st.stx_mask & STATX_BTIME) != 0;
	return {makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino,
	        born ? st.stx_btime.tv_sec * 1000000000 + st.stx_btime.tv_nsec : 0};
}

const ident dev_null = {makedev(1, 3), 0, S_IFCHR};

// What the launcher found of one path before the first worker started, so
// that no outcome of a run depends on which worker happens to run first.
struct path_rec {
	const char *nume_in; // the argument itself
	ident in;
	const char *refusal;  // why the path is not copied, or null
	bool refusal_on_copy; // the refusal names the copy
	bool regular;         // the input is a regular file
	bool copy_existed;
};

// Every file that a rule of the run looks at, one claim each.
struct claim {
	ident id;                       // ident{} in a free slot
	const path_rec *copy = nullptr; // the path whose copy it is, or null
	unsigned int made = 0;          // claims_made once the copy was claimed
	bool input = false;             // a path of the run reads it
	bool read = false;              // a path that will write has been given it
	unsigned char std = 0;          // standard output (1) or error (2), or 0
};
constexpr const char *std_refusal[] = {nullptr, "is standard output", "is standard error"};

// Both are filled by the launcher before the first worker starts; thread
// creation orders those writes before everything a worker does.  Then the
// paths are only read, and the claims are used in copy_refusal() alone,
// under claims_mtx, which is held for no I/O.
path_rec *paths; // slot i for argv[i]
claim *claims;   // open addressing, by identity
std::size_t claims_mask;
pthread_mutex_t claims_mtx = PTHREAD_MUTEX_INITIALIZER;
// Copies claimed so far, and how many of them the launcher claimed.
std::atomic<unsigned int> claims_made;
unsigned int claims_at_launch = UINT_MAX;

// The claim on the file ID, a new one if there is none.  /dev/null gets a
// blank one each time, which nothing keeps: any path may read it and any
// copy write it, and no rule looks at it.
claim &claim_of(ident id)
{
	static claim blank;
	if (id == dev_null)
		return blank = {};
	const std::uint64_t h =
	    (std::uint64_t{id.dev} << 32 ^ id.ino ^ static_cast<std::uint64_t>(id.born)) *
	    0x9e3779b97f4a7c15U;
	for (std::size_t i = (h >> 32) & claims_mask;; i = (i + 1) & claims_mask) {
		claim &c = claims[i];
		if (c.id == ident{})
			c.id = id;
		if (c.id == id)
			return c;
	}
}

// The descriptor budget.  Each worker takes the two for its input and its
// copy at once, before it opens either, so that none holds one while it
// waits for the other.  Under fd_mtx: fd_free is how many of those counted
// free at launch no worker has taken (a lone worker goes ahead below two,
// and learns from the system that it cannot have them); fd_active is the
// number of workers that hold their two and do not wait in fd_wait();
// fd_released counts the shares ever given back (also read without lock).
pthread_mutex_t fd_mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t fd_freed = PTHREAD_COND_INITIALIZER;
long fd_free;
int fd_active;
std::atomic<unsigned long> fd_released;

void fd_take()
{
	pthread_mutex_lock(&fd_mtx);
	while (fd_free < 2 && fd_active > 0)
		pthread_cond_wait(&fd_freed, &fd_mtx);
	fd_free -= 2;
	fd_active++;
	pthread_mutex_unlock(&fd_mtx);
}

void fd_give()
{
	pthread_mutex_lock(&fd_mtx);
	fd_free += 2;
	fd_active--;
	fd_released++;
	pthread_cond_broadcast(&fd_freed);
	pthread_mutex_unlock(&fd_mtx);
}

// Whether a worker whose open failed with ERR, and which has closed what it
// held, may try again: only when the system had no descriptor for it (its
// table full, or one taken beyond the count), once a share has been given
// back since SEEN, fd_released when the attempt began, which it moves on.
// It waits only while another holds its share and does not wait, as nothing
// else would end the wait.  The last that does not wait, ALONE, tries once
// more before it gives up: the waiting ones have closed their files.
[[nodiscard]] bool fd_wait(int err, unsigned long &seen, bool &alone)
{
	if (err != ENFILE && err != EMFILE)
		return false;
	pthread_mutex_lock(&fd_mtx);
	if (fd_released == seen && fd_active > 1) {
		fd_active--;
		while (fd_released == seen)
			pthread_cond_wait(&fd_freed, &fd_mtx);
		fd_active++;
	}
	const bool again = fd_released != seen || !alone;
	alone = fd_released == seen;
	seen = fd_released;
	pthread_mutex_unlock(&fd_mtx);
	return again;
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

// The two blocks that a worker copies through.
template <std::size_t size>
struct area {
	unsigned char in[size];
	unsigned char out[size];
};
using big_area = area<block>;
// aligned_alloc() takes only sizes that are a multiple of the alignment.
static_assert(sizeof(big_area) % page == 0);

// Areas that finished workers leave for the next ones, so that a run maps
// only as many as copy at once, and reused memory costs no page fault; each
// page-aligned, as dd's buffer is, which the kernel copies faster.  Never
// freed: the process ends soon after its workers.
pthread_mutex_t pool_mtx = PTHREAD_MUTEX_INITIALIZER;
big_area *pool[max_live];
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
		return std::none_of(s, s + std::strlen(s),
		                    [](unsigned char c) { return c < 0x20 || c == 0x7f; });
	};
	if (plain(name) && plain(tail)) {
		std::fputs(name, stderr);
		std::fputs(tail, stderr);
		return;
	}
	static constexpr char from[] = "\n\t\r\"\\";
	static constexpr char to[] = "ntr\"\\";
	std::fputc('"', stderr);
	for (const char *part : {name, tail})
		for (const auto *s = reinterpret_cast<const unsigned char *>(part); *s != '\0'; s++)
			if (const char *at = std::strchr(from, *s))
				std::fprintf(stderr, "\\%c", to[at - from]);
			else if (*s < 0x20 || *s == 0x7f)
				std::fprintf(stderr, "\\%03o", *s);
			else
				std::fputc(*s, stderr);
	std::fputc('"', stderr);
}

// Reports, as one line, a failure on NAME followed by TAIL, for REASON and
// the system's DETAIL, if any; returns false so that a caller can return it.
bool say(const char *name, const char *reason, const char *tail = "", const char *detail = nullptr)
{
	flockfile(stderr);
	std::fputs("upfirst: ", stderr);
	put_name(name, tail);
	std::fprintf(stderr, ": %s%s%s\n", reason, detail != nullptr ? ": " : "",
	             detail != nullptr ? detail : "");
	funlockfile(stderr);
	return false;
}

// Builds the copy's name, the path with the suffix appended; false, and
// nothing built, when it does not fit in PATH_MAX.
bool copy_name(std::span<char, PATH_MAX> nume_out, const char *nume_in)
{
	const std::size_t len = std::strlen(nume_in);
	if (len + sizeof suffix > PATH_MAX)
		return false;
	std::memcpy(nume_out.data(), nume_in, len);
	std::memcpy(nume_out.data() + len, suffix, sizeof suffix);
	return true;
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
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			return say(nume_in, why(errno));
		const auto len = static_cast<std::size_t>(got);
		prev = cap_block(in.first(len), out.first(len), prev);
		if (!write_all(fo, out.first(len)))
			return say(nume_out, why(errno));
	}
}

// The copy rule, for the launcher and the workers alike: why path P may not
// write ST, the file that its copy's name leads to (open as FD, or -1), or
// null.  A run never writes a file that it reads, nor its log, nor a file
// that another path writes; paths of one input (which reads alike for each)
// share a regular copy, writing the same bytes at the same offsets.  TAKE
// claims the copy for P.  A file that P's worker has just created is new:
// a claim older than SINCE, one more than claims_made before it did so
// (else 0), is about a file that is gone.
const char *copy_refusal(const path_rec &p, const struct statx &st, int fd, bool take,
                         unsigned int since = 0)
{
	// Its other side, which the copy would be written to, is nobody's.
	int pty = 0;
	if (fd >= 0 && S_ISCHR(st.stx_mode) && ::ioctl(fd, TIOCGPTN, &pty) == 0)
		return "is a pseudo-terminal master";
	const ident c = ident_of(st, fd);
	const char *refusal = nullptr;
	pthread_mutex_lock(&claims_mtx);
	claim &e = claim_of(c);
	if (e.made < since)
		e = {.id = c};
	if (e.input && c == p.in)
		refusal = "is the input file itself";
	else if (e.std != 0)
		refusal = std_refusal[e.std];
	else if (e.input)
		refusal = "is also an input of this run";
	else if (e.copy == nullptr && take)
		e = {.id = c, .copy = &p, .made = ++claims_made};
	else if (e.copy != nullptr && e.copy != &p && !(e.copy->in == p.in && S_ISREG(st.stx_mode)))
		refusal = e.made <= claims_at_launch && e.copy < &p
		              ? "is also the copy of an earlier path"
		              : "is also the copy of another path";
	pthread_mutex_unlock(&claims_mtx);
	return refusal;
}

// Opens path P's existing copy with FLAGS, judged first through its name, as
// opening a FIFO or a device is itself an action: -1, with REFUSAL set, when
// the rules refuse it.  A lease on it (an NFS server's delegation, a Samba
// oplock) fails a non-blocking open, which starts to break the lease: the
// holder lets go, or the kernel takes the lease away after its
// lease-break-time.  Until then, the open is tried again.
int open_existing(const path_rec &p, const char *nume_out, int flags, const char *&refusal)
{
	struct statx st = {};
	if (::statx(AT_FDCWD, nume_out, 0, stat_mask, &st) == 0 &&
	    (refusal = copy_refusal(p, st, -1, false)) != nullptr)
		return -1;
	int fd = ::open(nume_out, flags);
	for (long ms = 1, waited = 0; fd < 0 && errno == EWOULDBLOCK && waited < lease_wait_ms;
	     waited += ms, ms = std::min(2 * ms, 64L)) {
		const struct timespec pause = {0, ms * 1000000};
		::nanosleep(&pause, nullptr);
		fd = ::open(nume_out, flags);
	}
	return fd;
}

// Opens path P's copy for writing without emptying it, and without
// blocking: a FIFO with no reader fails with ENXIO instead of waiting for one
// forever.  A missing one is created with MODE less the umask, never through
// a link: O_EXCL follows none, so that a link to nowhere planted where the
// copy goes cannot make upfirst create a file of someone else's choosing.
// What the launcher saw picks the first call.  Sets CREATED when it made the
// file; -1, with REFUSAL set, when the copy is refused.
int open_copy(const path_rec &p, const char *nume_out, mode_t mode, bool &created,
              const char *&refusal)
{
	constexpr int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
	if (p.copy_existed) {
		const int fd = open_existing(p, nume_out, flags, refusal);
		if (fd >= 0 || refusal != nullptr || errno != ENOENT)
			return fd;
	}
	const int fd = ::open(nume_out, flags | O_CREAT | O_EXCL, mode);
	created = fd >= 0;
	if (fd >= 0 || errno != EEXIST)
		return fd;
	// It exists after all: a worker for the same input has just created
	// it, or it is a symbolic link.
	const int again = open_existing(p, nume_out, flags, refusal);
	if (again < 0 && refusal == nullptr && errno == ENOENT)
		refusal = "not writing through dangling symlink";
	return again;
}

// Opens path P and its copy into FI and FO, the copy emptied; false when
// the path was refused or failed, which is reported here.  When the system
// has no descriptor to give, it closes what it opened and tries again once
// another worker has given its own back.
[[nodiscard]] bool open_both(const path_rec &p, const char *nume_out, file &fi, file &fo)
{
	bool alone = false;
	for (unsigned long seen = fd_released;;) {
		fi.reset(::open(p.nume_in, O_RDONLY | O_CLOEXEC | O_NOCTTY));
		struct statx st = {};
		if (fi.get() < 0 || ::statx(fi.get(), "", AT_EMPTY_PATH, stat_mask, &st) != 0) {
			const int err = errno;
			if (fd_wait(err, seen, alone))
				continue;
			return say(p.nume_in, why(err));
		}
		if (!(ident_of(st) == p.in))
			return say(p.nume_in, "was replaced during the run");
		// Judged again once open, as its name may lead elsewhere by then.
		// Not O_TRUNC: it is emptied only once it has passed.
		const unsigned int since = claims_made + 1;
		bool created = false;
		const char *refusal = nullptr;
		fo.reset(open_copy(p, nume_out, st.stx_mode & 0666, created, refusal));
		if (refusal != nullptr)
			return say(nume_out, refusal);
		if (fo.get() < 0 || ::statx(fo.get(), "", AT_EMPTY_PATH, stat_mask, &st) != 0) {
			const int err = errno;
			fi.reset(-1);
			if (fd_wait(err, seen, alone))
				continue;
			return say(nume_out, why(err));
		}
		if ((refusal = copy_refusal(p, st, fo.get(), true, created ? since : 0)) != nullptr)
			return say(nume_out, refusal);
		const int fl = ::fcntl(fo.get(), F_GETFL);
		if (fl == -1 || ::fcntl(fo.get(), F_SETFL, fl & ~O_NONBLOCK) == -1)
			return say(nume_out, why(errno));
		// A new copy is left alone: ext4 takes the emptying of a file as
		// the file being replaced, and writes it back early.
		if (S_ISREG(st.stx_mode) && st.stx_size > 0 && ::ftruncate(fo.get(), 0) != 0)
			return say(nume_out, why(errno));
		return true;
	}
}

// Copies through blocks on the stack, for a worker for which the heap has no
// room; out of copy_cap's frame, so that the stack is used only then.
[[gnu::noinline, nodiscard]] bool copy_small(int fi, int fo, const char *nume_in,
                                             const char *nume_out)
{
	area<small_block> a;
	return pump(fi, fo, a.in, a.out, nume_in, nume_out);
}

// Writes the capitalized copy of path P.  Every failure is reported here or
// below, once (a copy whose write failed is not reported again when its
// close fails too), and none of them leaves an input changed.
[[nodiscard]] bool copy_cap(const path_rec &p)
{
	if (p.refusal != nullptr)
		return say(p.nume_in, p.refusal, p.refusal_on_copy ? suffix : "");
	char nume_out[PATH_MAX];
	(void)copy_name(nume_out, p.nume_in); // the launcher refused one that does not fit
	fd_take();
	bool ok = false;
	{
		file fi;
		file fo;
		if (open_both(p, nume_out, fi, fo)) {
			// Only now: a worker that waits to open its files holds no
			// blocks, and the run no more blocks than it copies through.
			const area_lease lease;
			big_area *a = lease.get();
			ok = a != nullptr
			         ? pump(fi.get(), fo.get(), a->in, a->out, p.nume_in, nume_out)
			         : copy_small(fi.get(), fo.get(), p.nume_in, nume_out);
			if (fo.close() != 0 && ok)
				ok = say(nume_out, why(errno));
		}
	}
	fd_give();
	return ok;
}

// The body of one worker; its argument is its path's record.  Its result
// is null when the copy is sound, anything else when it failed (reported).
void *make_cap(void *slot)
{
	const auto &p = *static_cast<const path_rec *>(slot);
	const long self = static_cast<long>(pthread_self());
	std::printf("Threadul: %ld ..> %s\n", self, p.nume_in);
	const bool ok = copy_cap(p);
	std::printf("Terminat threadul: %ld ...> %s\n", self, p.nume_in);
	return ok ? nullptr : slot;
}

// Claims standard output or error as FD (1 or 2): no copy may be it, and no
// input but a terminal, since upfirst writes it and would read it for ever.
// A descriptor not open for writing (a closed one's placeholder) is no log.
void claim_std(int fd)
{
	struct statx st = {};
	const int fl = ::fcntl(fd, F_GETFL);
	if (fl != -1 && (fl & O_ACCMODE) != O_RDONLY &&
	    ::statx(fd, "", AT_EMPTY_PATH, stat_mask, &st) == 0)
		claim_of(ident_of(st, fd)).std = static_cast<unsigned char>(fd);
}

// Records path P's input as it is before any worker runs; returns why the
// input rules refuse it, or null.  A path missing when the run began is
// missing for the whole run, even if another worker creates it.
const char *look_input(path_rec &p)
{
	struct statx st = {};
	if (::statx(AT_FDCWD, p.nume_in, 0, stat_mask, &st) != 0)
		return why(errno);
	p.in = ident_of(st);
	p.regular = S_ISREG(st.stx_mode);
	claim &in = claim_of(p.in);
	in.input = true;
	// The terminal that the log goes to may be read, as cat /dev/tty
	// reads it; its file, pipe or socket would be read for ever.
	if (in.std != 0 && !S_ISCHR(st.stx_mode))
		return std_refusal[in.std];
	if (S_ISDIR(st.stx_mode))
		return why(EISDIR);
	return nullptr;
}

// Judges path P's copy as it is before any worker runs, once every input
// is known, and claims it where it exists; returns why the rules refuse
// the path, or null.  An input that is no regular file is read by one path:
// two would each read a part of it.  A path that will not write claims no
// copy.
const char *look_copy(path_rec &p)
{
	// Not on the stack, which ulimit -s 16 leaves as small as 8 KiB for the
	// main thread.
	static char nume_out[PATH_MAX];
	claim &in = claim_of(p.in); // the table never moves
	if (in.read && !p.regular)
		return "is also read by another path";
	p.refusal_on_copy = true; // as every refusal below
	if (!copy_name(nume_out, p.nume_in))
		return why(ENAMETOOLONG);
	struct statx st = {};
	p.copy_existed = ::statx(AT_FDCWD, nume_out, 0, stat_mask, &st) == 0;
	if (const char *refusal = p.copy_existed ? copy_refusal(p, st, -1, true) : nullptr)
		return refusal;
	in.read = true;
	return nullptr;
}

// How many descriptors the workers may hold, up to WANT: those free below
// the soft limit, which is first raised to the hard limit where the system
// allows it (999 workers need more than the customary 1024).
long count_free_fds(long want)
{
	struct rlimit rl = {};
	if (::getrlimit(RLIMIT_NOFILE, &rl) != 0)
		return 0;
	const struct rlimit raised = {rl.rlim_max, rl.rlim_max};
	if (rl.rlim_cur < rl.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
		rl = raised;
	long free = 0;
	for (int fd = 0; static_cast<rlim_t>(fd) < rl.rlim_cur && fd < INT_MAX && free < want; fd++)
		if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF)
			free++;
	return free;
}

// The launch record: standard output and error, every path and its copy,
// and the descriptors free, as they are before the first worker starts.
// False, said, when there is no memory for it.
[[nodiscard]] bool record(int argc, char *argv[])
{
	const int n = std::max(argc - 1, 0);
	// Each path claims at most its input, its copy as the run began, and,
	// when a neighbour moves the name meanwhile, the copy that its worker
	// looked at and the one that it opened: the table never fills up.
	const std::size_t size = std::bit_ceil(4 * static_cast<std::size_t>(n) + 8);
	paths =
	    static_cast<path_rec *>(std::calloc(static_cast<std::size_t>(n) + 1, sizeof *paths));
	claims = static_cast<claim *>(std::calloc(size, sizeof *claims));
	if (paths == nullptr || claims == nullptr) {
		std::fprintf(stderr, "upfirst: cannot record %d paths: %s\n", n, why(ENOMEM));
		return false;
	}
	claims_mask = size - 1;
	// Standard output's claim wins where both are one file.
	claim_std(STDERR_FILENO);
	claim_std(STDOUT_FILENO);
	for (int i = 1; i < argc; i++) {
		paths[i].nume_in = argv[i];
		paths[i].refusal = look_input(paths[i]);
	}
	for (int i = 1; i < argc; i++)
		if (paths[i].refusal == nullptr)
			paths[i].refusal = look_copy(paths[i]);
	claims_at_launch = claims_made;
	fd_free = count_free_fds(2L * std::min(n, max_live));
	return true;
}

// open() hands out the lowest free descriptor: with standard output closed,
// a copy would land on descriptor 1 and the log would be written into it.
// Each closed one is held by the root directory opened as a bare path, which
// every system has and every write to fails.  False, said, when it cannot.
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

// The workers' stacks, carved from one mapping made at launch, so that
// starting and ending a worker changes no mapping while others run (each
// change costs every CPU a TLB flush).  Path k runs on slot k % 1000, of
// STRIDE bytes with GUARD bytes of guard at its foot, once path k - 1000 is
// joined.  Null where it is refused: the thread library makes each stack.
char *map_stacks(std::size_t slots, std::size_t stride, std::size_t guard)
{
	void *m = ::mmap(nullptr, slots * stride, PROT_READ | PROT_WRITE,
	                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
	if (m == MAP_FAILED)
		return nullptr;
	auto *base = static_cast<char *>(m);
	for (std::size_t k = 0; k < slots; k++)
		if (::mprotect(base + k * stride, guard, PROT_NONE) != 0) {
			::munmap(m, slots * stride);
			return nullptr;
		}
	return base;
}

// The log is written by many threads; a failure of it is learnt here, once,
// after every copy is finished.
[[nodiscard]] bool close_stdout()
{
	const bool failed = std::ferror(stdout) != 0;
	errno = 0;
	if (std::fclose(stdout) != 0 || failed) {
		say("standard output", errno != 0 ? why(errno) : "write error");
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
	if (!hold_std_fds())
		return 1;
	// A reader of the log that goes away, or a copy that reaches the file
	// size limit, fails that write alone instead of killing every copy.
	std::signal(SIGPIPE, SIG_IGN);
	std::signal(SIGXFSZ, SIG_IGN);
	if (!record(argc, argv))
		return 1;

	pthread_attr_t attr;
	pthread_attr_init(&attr);
	// Some systems ask for more (arm64: 128 KiB), and refuse less.
	const std::size_t stack = std::max<std::size_t>(worker_stack, PTHREAD_STACK_MIN);
	const auto guard = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
	pthread_attr_setstacksize(&attr, stack);
	char *stacks = map_stacks(std::min(argc, max_live + 1), stack + guard, guard);
	int status = 0;
	int oldest = 1; // the oldest worker not joined yet
	const auto join_oldest = [&] {
		void *res = nullptr; // not null when the copy failed
		pthread_join(tid[oldest++ % (max_live + 1)], &res);
		if (res != nullptr)
			status = 1;
	};
	for (int i = 1; i < argc; i++) {
		if (i - oldest == max_live)
			join_oldest();
		const int slot = i % (max_live + 1);
		if (stacks != nullptr)
			pthread_attr_setstack(&attr, stacks + slot * (stack + guard) + guard,
			                      stack);
		pthread_t &t = tid[slot];
		int err = 0;
		// When the system refuses a thread, one that ends makes room; with
		// none left, the kernel may still count one just joined (ulimit -u).
		for (long naps = 0; (err = pthread_create(&t, &attr, make_cap, &paths[i])) != 0 &&
		                    (oldest < i || (err == EAGAIN && naps++ < max_naps));)
			if (oldest < i)
				join_oldest();
			else
				::nanosleep(&nap, nullptr);
		if (err != 0) {
			say(argv[i], "cannot start a thread", "", why(err));
			status = 1;
			oldest = i + 1;
			continue;
		}
		std::printf("Creat threadul: %ld ...> %s\n", static_cast<long>(t), argv[i]);
	}
	pthread_attr_destroy(&attr);
	while (oldest < argc)
		join_oldest();
	if (argc > 1)
		std::puts("Terminat toate thread-urile");
	if (!close_stdout())
		status = 1;
	return status;
}
