// SPDX-License-Identifier: ISC
// upfirst: copies every file named on the command line, each in a thread of its own, to
// PATH_CAPIT.txt beside it, with the first letter of every word upper-cased, and logs each
// worker's creation, start and end.  The launch looks at every path and copy before the first
// worker starts and decides there what each path may do; a worker only checks that the files
// it opens are still the ones the launch saw.
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
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int max_live = 999; // workers alive at once
constexpr char suffix[] = "_CAPIT.txt";
// Large enough that a copy costs little more than the kernel's own work, as with dd bs=128K.
constexpr std::size_t block = std::size_t{128} * 1024;
constexpr std::size_t page = 4096;
constexpr std::size_t small_block = 1024; // on the stack, when the heap has no room
// Twice the time after which the kernel breaks a lease by default.
constexpr long lease_wait_ms = 90000;
// A refused thread, with no worker left to wait for, is tried again after each nap.
constexpr long max_naps = 100;
constexpr struct timespec nap = {0, 1000000};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UPFIRST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define UPFIRST_SANITIZED 1
#endif
#endif
// Every worker's stack, whatever ulimit -s says, so that no outcome depends on it: four times
// the deepest use, a diagnostic from the on-stack fallback.  The sanitizers' frames are many
// times larger.
#ifdef UPFIRST_SANITIZED
constexpr std::size_t worker_stack = std::size_t{4} << 20;
#else
constexpr std::size_t worker_stack = std::size_t{64} << 10;
#endif

// A ring: path k's worker is in slot k % 1000, which path k - 1000's has left.  Only the main
// thread reads it: a worker may start before its slot is stored.
pthread_t tid[max_live + 1];

// Holds a mutex for the rest of the scope.
struct guard {
	pthread_mutex_t &m;
	explicit guard(pthread_mutex_t &mtx) : m(mtx) { pthread_mutex_lock(&m); }
	guard(const guard &) = delete;
	guard &operator=(const guard &) = delete;
	~guard() { pthread_mutex_unlock(&m); }
};

// Two names lead to one file when these agree: its device, inode number and, where the file
// system keeps one, birth time, as a number freed during the run may name a new file.  A device
// node is known by the device it stands for (no file has inode number 0).
struct ident {
	ino_t ino = 0;
	std::int64_t born_s = 0; // for a device node, its type
	std::uint32_t dev = 0;   // as Linux keeps it: 12 bits of major, 20 of minor
	std::uint32_t born_ns = 0;
	bool operator==(const ident &) const = default;
};

constexpr unsigned int stat_mask = STATX_BASIC_STATS | STATX_BTIME;

// A device number as Linux gives it out (TIOCGDEV, /proc).
constexpr std::uint32_t dev_of(std::uint32_t major, std::uint32_t minor)
{
	return (minor & 0xffU) | major << 8 | (minor & ~0xffU) << 12;
}
constexpr std::uint32_t dev_tty = dev_of(5, 0);
constexpr std::uint32_t dev_ptmx = dev_of(5, 2);
constexpr ident dev_null = {.born_s = S_IFCHR, .dev = dev_of(1, 3)};
// The controlling terminal, which /dev/tty stands for, or 0 where it is not known.
std::uint32_t ctty;

// The identity of ST; with FD, the file open as ST, that of the device that a terminal reaches,
// which a node such as /dev/console does not show.
ident ident_of(const struct statx &st, int fd = -1)
{
	const std::int64_t type = st.stx_mode & S_IFMT;
	unsigned int tty = 0;
	if (type == S_IFCHR && fd >= 0 && ::ioctl(fd, TIOCGDEV, &tty) == 0)
		return {.born_s = type, .dev = tty};
	if (type == S_IFCHR || type == S_IFBLK) {
		const std::uint32_t d = dev_of(st.stx_rdev_major, st.stx_rdev_minor);
		return {.born_s = type,
		        .dev = type == S_IFCHR && d == dev_tty && ctty != 0 ? ctty : d};
	}
	const bool born = (st.stx_mask & STATX_BTIME) != 0;
	return {.ino = st.stx_ino,
	        .born_s = born ? st.stx_btime.tv_sec : 0,
	        .dev = dev_of(st.stx_dev_major, st.stx_dev_minor),
	        .born_ns = born ? st.stx_btime.tv_nsec : 0};
}

// What the launch decided for one path: complete before the first worker starts, then only
// read but for the last two fields.
struct path_rec {
	const char *nume_in; // the argument itself
	ident in;
	ident copy;           // the copy, where it existed at launch, else ident{}
	const char *refusal;  // why the path is not copied, or null
	int writer;           // this path's slot, or the first one's of its input with its copy
	bool refusal_on_copy; // the refusal names the copy
	bool done, failed;    // under share_mtx: a writer's copy is finished; it failed
};

// Every file that a rule looks at, and every missing copy by its name in its directory: the
// launch claims each once, and nothing changes a claim after it.
struct claim {
	ident id;                 // ident{} in a free slot
	path_rec *copy = nullptr; // the path that writes it
	bool missing = false;     // a missing copy: ID is its directory, and COPY names it there
	bool input = false;       // a path of the run names it
	bool regular = false;     // ... and it is a regular file
	bool read = false;        // a path that writes its copy reads it
	unsigned char std = 0;    // standard output (1) or error (2), or 0
};
constexpr const char *std_refusal[] = {nullptr, "is standard output", "is standard error"};

path_rec *paths; // slot i for argv[i]
claim *claims;   // open addressing, at most half full
std::size_t claims_mask;

const char *last_part(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	return slash != nullptr ? slash + 1 : path;
}

// The claim on ID, or on the missing copy NAME in directory ID, or the free slot where it goes.
// /dev/null gets a blank one each time, which nothing keeps: any path may read it and any copy
// write it.
claim &slot_of(const ident &id, const char *name = nullptr)
{
	static claim blank; // the launch's alone: workers look up terminals only
	if (id == dev_null)
		return blank = {};
	std::uint64_t h = std::uint64_t{id.dev} << 32 ^ id.ino ^
	                  static_cast<std::uint64_t>(id.born_s) ^ id.born_ns;
	for (const char *s = name; s != nullptr && *s != '\0'; s++)
		h = h * 131 + static_cast<unsigned char>(*s);
	h *= 0x9e3779b97f4a7c15U;
	for (std::size_t i = (h >> 32) & claims_mask;; i = (i + 1) & claims_mask) {
		const claim &c = claims[i];
		if (c.id == ident{} ||
		    (c.id == id &&
		     (name == nullptr
		          ? !c.missing
		          : c.missing && std::strcmp(last_part(c.copy->nume_in), name) == 0)))
			return claims[i];
	}
}

// The copy rule: why path P may not write file ID, or null.  A run writes no file that it
// reads, nor its log, nor a file that a path of another input writes.
const char *copy_rule(const path_rec &p, const ident &id)
{
	const claim &c = slot_of(id);
	if (c.input && id == p.in)
		return "is the input file itself";
	if (c.std != 0)
		return std_refusal[c.std];
	if (c.input)
		return "is also an input of this run";
	if (c.copy != nullptr && !(c.copy->in == p.in))
		return c.copy < &p ? "is also the copy of an earlier path"
		                   : "is also the copy of another path";
	return nullptr;
}

// The descriptor budget: a worker takes the two for its input and copy before it opens either,
// so that none holds one while it waits for the other.  Under fd_mtx: fd_free, those counted
// free at launch that no worker has taken (a lone worker goes ahead below two, and learns from
// the system that it cannot have them); fd_active, the workers that hold their two and do not
// wait in fd_wait(); fd_released, the shares ever given back.
pthread_mutex_t fd_mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t fd_freed = PTHREAD_COND_INITIALIZER;
long fd_free;
int fd_active;
unsigned long fd_released;

// Takes a worker's share; returns fd_released, from which its waits count.
unsigned long fd_take()
{
	const guard g(fd_mtx);
	while (fd_free < 2 && fd_active > 0)
		pthread_cond_wait(&fd_freed, &fd_mtx);
	fd_free -= 2;
	fd_active++;
	return fd_released;
}

void fd_give()
{
	const guard g(fd_mtx);
	fd_free += 2;
	fd_active--;
	fd_released++;
	pthread_cond_broadcast(&fd_freed);
}

// Waits until a share is given back after SEEN, unless no other worker holds one without
// waiting, as nothing would end the wait then; returns fd_released.
unsigned long fd_wait(unsigned long seen)
{
	const guard g(fd_mtx);
	if (fd_released == seen && fd_active > 1) {
		fd_active--;
		while (fd_released == seen)
			pthread_cond_wait(&fd_freed, &fd_mtx);
		fd_active++;
	}
	return fd_released;
}

// One owned descriptor, closed on every early return.  The copy's close is the last chance to
// learn of a failed write, so it is also offered checked.
struct file {
	int fd = -1;
	file() = default;
	file(const file &) = delete;
	file &operator=(const file &) = delete;
	~file() { reset(-1); }
	void reset(int to)
	{
		if (fd >= 0)
			::close(fd);
		fd = to;
	}
	[[nodiscard]] int close() { return ::close(std::exchange(fd, -1)); }
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

// Areas that finished workers leave for the next ones, so that a run maps only as many as copy
// at once and reused memory costs no page fault; page-aligned, as dd's buffer, which the kernel
// copies faster.  Never freed: the process ends soon after its workers.
pthread_mutex_t pool_mtx = PTHREAD_MUTEX_INITIALIZER;
big_area *pool[max_live];
int pooled;

// A worker's area, from the pool or new; null when the heap has no room.
big_area *take_area()
{
	{
		const guard g(pool_mtx);
		if (pooled > 0)
			return pool[--pooled];
	}
	return static_cast<big_area *>(std::aligned_alloc(page, sizeof(big_area)));
}

void leave_area(big_area *a)
{
	const guard g(pool_mtx);
	if (a != nullptr)
		pool[pooled++] = a;
}

// strerror() may share one buffer between threads; the bare description does not.
const char *why(int err)
{
	const char *s = strerrordesc_np(err);
	return s != nullptr ? s : "unknown error";
}

// Writes NAME and TAIL, the two parts of one name, as they are; or, when the name is empty or
// holds a control character that could break the line, in double quotes with that character, a
// double quote and a backslash escaped as in C (\n, \t, \r, else three octal digits).
void put_name(const char *name, const char *tail)
{
	const auto plain = [](const char *s) {
		return std::none_of(s, s + std::strlen(s),
		                    [](unsigned char c) { return c < 0x20 || c == 0x7f; });
	};
	if (*name != '\0' && plain(name) && plain(tail)) {
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

// Reports, as one line, a failure on NAME followed by TAIL, for REASON and the system's
// DETAIL, if any; returns false so that a caller can return it.
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

// Builds the copy's name; false, and nothing built, when it does not fit in PATH_MAX.
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

// Streams fi into fo through the word-start rule; the last byte of each block decides whether
// the next block starts a word.
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

// Opens a copy that exists.  A lease on it (an NFS server's delegation, a Samba oplock) fails
// a non-blocking open, which starts to break the lease: the holder lets go, or the kernel
// takes the lease away after its lease-break-time.  Until then, the open is tried again.
int open_leased(const char *nume_out, int flags)
{
	int fd = ::open(nume_out, flags);
	for (long ms = 1, waited = 0; fd < 0 && errno == EWOULDBLOCK && waited < lease_wait_ms;
	     waited += ms, ms = std::min(2 * ms, 64L)) {
		const struct timespec pause = {0, ms * 1000000};
		::nanosleep(&pause, nullptr);
		fd = ::open(nume_out, flags);
	}
	return fd;
}

// Opens path P's copy into FO for writing, not emptied, and without blocking: a FIFO with no
// reader fails with ENXIO instead of waiting for ever.  A copy that was there at launch must
// still be that file, checked through its name before it is opened (opening a FIFO or a device
// is itself an action) and through the descriptor after.  One missing then, or now, is created
// with MODE less the umask and O_EXCL, which follows no link: a new file, of nobody else's
// choosing.  Returns a refusal; or null, with ST the open copy's, or FO not open and errno set.
const char *open_copy(const path_rec &p, const char *nume_out, mode_t mode, file &fo,
                      struct statx &st)
{
	constexpr int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
	const char *changed = "changed during the run";
	const bool existed = !(p.copy == ident{});
	bool old = existed && ::statx(AT_FDCWD, nume_out, 0, stat_mask, &st) == 0;
	if (old && !(ident_of(st) == p.copy))
		return changed;
	if (old)
		fo.reset(open_leased(nume_out, flags));
	if (fo.fd < 0 && (!old || errno == ENOENT)) {
		old = false;
		fo.reset(::open(nume_out, flags | O_CREAT | O_EXCL, mode));
		if (fo.fd < 0 && errno == EEXIST)
			return existed ? changed : "appeared during the run";
	}
	if (fo.fd >= 0 && ::statx(fo.fd, "", AT_EMPTY_PATH, stat_mask, &st) != 0)
		fo.reset(-1);
	if (fo.fd < 0)
		return nullptr;
	const ident node = ident_of(st);
	if (old && !(node == p.copy))
		return changed;
	const ident to = ident_of(st, fo.fd);
	return to == node ? nullptr : copy_rule(p, to);
}

// Opens path P's input and copy into FI and FO, the copy emptied; false when either failed or
// was refused, which is reported here.  A worker that the system has no descriptor for closes
// what it opened, and tries again once another has given its share back since SEEN; the last
// one that does not wait tries once more alone, as the waiting ones hold none.
[[nodiscard]] bool open_both(const path_rec &p, const char *nume_out, file &fi, file &fo,
                             unsigned long seen)
{
	struct statx st = {};
	for (bool alone = false;;) {
		const char *failed = p.nume_in; // the file that the system refused, if any
		fi.reset(::open(p.nume_in, O_RDONLY | O_CLOEXEC | O_NOCTTY));
		if (fi.fd >= 0 && ::statx(fi.fd, "", AT_EMPTY_PATH, stat_mask, &st) == 0) {
			if (!(ident_of(st) == p.in))
				return say(p.nume_in, "was replaced during the run");
			if (const char *refusal =
			        open_copy(p, nume_out, st.stx_mode & 0666, fo, st))
				return say(nume_out, refusal);
			failed = fo.fd < 0 ? nume_out : nullptr;
		}
		if (failed == nullptr)
			break;
		const int err = errno;
		fi.reset(-1);
		if (err != ENFILE && err != EMFILE)
			return say(failed, why(err));
		const unsigned long now = fd_wait(seen);
		if (now == seen && alone)
			return say(failed, why(err));
		alone = now == seen;
		seen = now;
	}
	const int fl = ::fcntl(fo.fd, F_GETFL);
	if (fl == -1 || ::fcntl(fo.fd, F_SETFL, fl & ~O_NONBLOCK) == -1)
		return say(nume_out, why(errno));
	// A new copy is left alone: ext4 takes the emptying of a file as the file being replaced,
	// and writes it back early.
	if (S_ISREG(st.stx_mode) && st.stx_size > 0 && ::ftruncate(fo.fd, 0) != 0)
		return say(nume_out, why(errno));
	return true;
}

// Copies through blocks on the stack, for a worker for which the heap has no room; out of
// copy_cap's frame, so that the stack is used only then.
[[gnu::noinline, nodiscard]] bool copy_small(int fi, int fo, const char *nume_in,
                                             const char *nume_out)
{
	area<small_block> a;
	return pump(fi, fo, a.in, a.out, nume_in, nume_out);
}

// Writes path P's copy.  Every failure is reported here or below, once (a copy whose write
// failed is not reported again when its close fails too), and none leaves an input changed.
[[nodiscard]] bool copy_cap(const path_rec &p)
{
	char nume_out[PATH_MAX];
	(void)copy_name(nume_out, p.nume_in); // the launch refused one that does not fit
	const unsigned long seen = fd_take();
	bool ok = false;
	{
		file fi;
		file fo;
		if (open_both(p, nume_out, fi, fo, seen)) {
			// Only now, so that the run holds no more blocks than it copies through.
			big_area *a = take_area();
			ok = a != nullptr ? pump(fi.fd, fo.fd, a->in, a->out, p.nume_in, nume_out)
			                  : copy_small(fi.fd, fo.fd, p.nume_in, nume_out);
			leave_area(a);
			if (fo.close() != 0 && ok)
				ok = say(nume_out, why(errno));
		}
	}
	fd_give();
	return ok;
}

// What paths of one input share: the writer marks its copy finished, and the others wait.
pthread_mutex_t share_mtx = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t share_done = PTHREAD_COND_INITIALIZER;

void finish(path_rec &writer, bool ok)
{
	const guard g(share_mtx);
	writer.done = true;
	writer.failed = !ok;
	pthread_cond_broadcast(&share_done);
}

bool wait_copy(const path_rec &writer)
{
	const guard g(share_mtx);
	while (!writer.done)
		pthread_cond_wait(&share_done, &share_mtx);
	return !writer.failed;
}

// The first failure of the log, or 0: the stream keeps only that there was one.
std::atomic<int> log_err;

void log_failed()
{
	int none = 0;
	log_err.compare_exchange_strong(none, errno);
}

// One log line, in one call, so that the lines of threads never mix.
void log_line(const char *format, long id, const char *name)
{
	if (std::printf(format, id, name) < 0)
		log_failed();
}

// The body of one worker, on its path's record; null when the copy is sound.  A path that
// shares its copy writes nothing, and its failure is the writer's to report.
void *make_cap(void *slot)
{
	auto &p = *static_cast<path_rec *>(slot);
	const long self = static_cast<long>(pthread_self());
	log_line("Threadul: %ld ..> %s\n", self, p.nume_in);
	bool ok = false;
	if (p.refusal != nullptr) {
		say(p.nume_in, p.refusal, p.refusal_on_copy ? suffix : "");
	} else if (&paths[p.writer] != &p) {
		ok = wait_copy(paths[p.writer]);
	} else {
		ok = copy_cap(p);
		finish(p, ok);
	}
	log_line("Terminat threadul: %ld ...> %s\n", self, p.nume_in);
	return ok ? nullptr : slot;
}

// The controlling terminal, from the kernel's record of this process, so that /dev/tty is known
// without being opened; 0 when there is none, or no /proc to tell.
std::uint32_t controlling_tty()
{
	static char stat[1024]; // zeroed, and read once
	file f;
	f.reset(::open("/proc/self/stat", O_RDONLY | O_CLOEXEC));
	// The program's name, in parentheses, may hold anything; the terminal is the fifth field
	// after it.
	const char *field = f.fd < 0 || ::read(f.fd, stat, sizeof stat - 1) <= 0
	                        ? nullptr
	                        : std::strrchr(stat, ')');
	for (int k = 0; k < 5 && field != nullptr; k++)
		field = std::strchr(field + 1, ' ');
	return field != nullptr ? static_cast<unsigned int>(std::strtol(field + 1, nullptr, 10))
	                        : 0;
}

// Records path P's input; returns why the input rules refuse it, or null.  A path missing at
// launch is missing for the whole run, even if another worker creates it.
const char *look_input(path_rec &p)
{
	struct statx st = {};
	if (::statx(AT_FDCWD, p.nume_in, 0, stat_mask, &st) != 0)
		return why(errno);
	p.in = ident_of(st);
	claim &in = slot_of(p.in);
	in.id = p.in;
	in.input = true;
	in.regular = S_ISREG(st.stx_mode);
	// The log's terminal may be read, as cat /dev/tty reads it.
	if (in.std != 0 && !S_ISCHR(st.stx_mode))
		return std_refusal[in.std];
	if (S_ISDIR(st.stx_mode))
		return why(EISDIR);
	return nullptr;
}

// Decides path P's copy once every input is known: returns why the rules refuse the path, or
// null with P's writer set.  Paths of one input whose copy is one file, there or not yet, have
// one writer, the first; an input that is no regular file is read by one path, as two would
// each read a part of it.
const char *look_copy(path_rec &p)
{
	// Not on the stack, which ulimit -s 16 leaves as small as 8 KiB for the main thread.
	static char nume_out[PATH_MAX];
	p.refusal_on_copy = true; // as every refusal below but the last
	if (!copy_name(nume_out, p.nume_in))
		return why(ENAMETOOLONG);
	struct statx st = {};
	ident key;
	const char *name = nullptr;
	if (::statx(AT_FDCWD, nume_out, 0, stat_mask, &st) == 0) {
		// Each open of one makes a terminal whose other side nobody holds.
		if (S_ISCHR(st.stx_mode) &&
		    dev_of(st.stx_rdev_major, st.stx_rdev_minor) == dev_ptmx)
			return "is a pseudo-terminal master";
		key = p.copy = ident_of(st);
		if (const char *refusal = copy_rule(p, p.copy))
			return refusal;
	} else if (errno != ENOENT) {
		return why(errno);
	} else if (::statx(AT_FDCWD, nume_out, AT_SYMLINK_NOFOLLOW, 0, &st) == 0) {
		// Anybody could plant one in a shared directory.
		return "not writing through dangling symlink";
	} else {
		// Known by its directory and its name there; NUME_OUT is cut at its last slash.
		char *slash = std::strrchr(nume_out, '/');
		const char *dir = slash == nullptr ? "." : slash == nume_out ? "/" : nume_out;
		if (slash != nullptr)
			*slash = '\0';
		if (::statx(AT_FDCWD, dir, 0, stat_mask, &st) != 0)
			return why(errno);
		key = ident_of(st);
		name = last_part(p.nume_in);
	}
	claim &c = slot_of(key, name);
	// A path of P's input: the copy rule lets no other through, and a missing copy's name in
	// its directory is its input's.
	if (c.copy != nullptr) {
		p.writer = static_cast<int>(c.copy - paths);
		return nullptr;
	}
	claim &in = slot_of(p.in);
	if (in.read && !in.regular) {
		p.refusal_on_copy = false;
		return "is also read by another path";
	}
	in.read = true;
	c.id = key;
	c.missing = name != nullptr;
	c.copy = &p;
	p.writer = static_cast<int>(&p - paths);
	return nullptr;
}

// How many descriptors the workers may hold, up to WANT: those free below the soft limit, which
// is first raised to the hard one where allowed (999 workers need more than 1024).
long raise_and_count_fds(long want)
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

// The launch: standard output and error, every path and its copy, and the descriptors free.
// False, said, when there is no memory for it.
[[nodiscard]] bool record(int argc, char *argv[])
{
	const int n = std::max(argc - 1, 0);
	// Each path claims at most its input and its copy: every search ends at a free slot.
	const std::size_t size = std::bit_ceil(4 * static_cast<std::size_t>(n) + 8);
	paths =
	    static_cast<path_rec *>(std::calloc(static_cast<std::size_t>(n) + 1, sizeof *paths));
	claims = static_cast<claim *>(std::calloc(size, sizeof *claims));
	if (paths == nullptr || claims == nullptr) {
		char what[48];
		std::snprintf(what, sizeof what, "cannot record %d paths", n);
		return say(what, why(ENOMEM));
	}
	claims_mask = size - 1;
	ctty = controlling_tty();
	// No copy may be standard output or error, and no input but a terminal, as upfirst would
	// read what it writes for ever.  A descriptor not open for writing (a closed one's
	// placeholder) is no log; standard output's claim wins where both are one file.
	for (const int fd : {STDERR_FILENO, STDOUT_FILENO}) {
		struct statx st = {};
		const int fl = ::fcntl(fd, F_GETFL);
		if (fl == -1 || (fl & O_ACCMODE) == O_RDONLY ||
		    ::statx(fd, "", AT_EMPTY_PATH, stat_mask, &st) != 0)
			continue;
		const ident log = ident_of(st, fd);
		claim &c = slot_of(log);
		c.id = log;
		c.std = static_cast<unsigned char>(fd);
	}
	for (int i = 1; i < argc; i++) {
		paths[i].nume_in = argv[i];
		paths[i].refusal = look_input(paths[i]);
	}
	for (int i = 1; i < argc; i++)
		if (paths[i].refusal == nullptr)
			paths[i].refusal = look_copy(paths[i]);
	fd_free = raise_and_count_fds(2L * std::min(n, max_live));
	return true;
}

// With standard output closed, a copy would be opened as descriptor 1 and the log written into
// it: each closed one is held by the root directory opened as a bare path, which every write to
// fails.  False, said, when it cannot.
[[nodiscard]] bool hold_std_fds()
{
	for (int fd = 0; fd <= 2; fd++)
		if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
		    ::open("/", O_PATH | O_DIRECTORY) != fd) {
			const int err = errno;
			char what[40];
			std::snprintf(what, sizeof what, "cannot hold closed descriptor %d", fd);
			return say(what, why(err));
		}
	return true;
}

// The workers' stacks, from one mapping made at launch, so that no worker's start or end changes
// a mapping (a TLB flush on every CPU): SLOTS of STRIDE bytes, GUARD of them a guard at the
// foot.  Null where it is refused: the thread library then makes each stack.
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

// A failed log is reported here, once, after every copy is finished, with its first reason.
[[nodiscard]] bool close_stdout()
{
	const bool failed = std::ferror(stdout) != 0;
	errno = 0;
	if (std::fclose(stdout) == 0 && !failed)
		return true;
	log_failed();
	return say("standard output", log_err != 0 ? why(log_err) : "write error");
}

} // namespace

int main(int argc, char *argv[])
{
	// A diagnostic is one line, written under the stream's lock, and needs no large stack
	// buffer, as printing to an unbuffered stream does.
	static char err_buf[BUFSIZ];
	std::setvbuf(stderr, err_buf, _IOLBF, sizeof err_buf);
	if (!hold_std_fds())
		return 1;
	// A reader of the log that goes away, or a copy at the file size limit, fails that write
	// alone instead of killing every copy.
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
		// When the system refuses a thread, one that ends makes room; with none left, the
		// kernel may still count one just joined (ulimit -u).
		for (long naps = 0; (err = pthread_create(&t, &attr, make_cap, &paths[i])) != 0 &&
		                    (oldest < i || (err == EAGAIN && naps++ < max_naps));)
			if (oldest < i)
				join_oldest();
			else
				::nanosleep(&nap, nullptr);
		if (err != 0) {
			say(argv[i], "cannot start a thread", "", why(err));
			finish(paths[i], false); // the paths that share its copy wait for none
			status = 1;
			oldest = i + 1;
			continue;
		}
		log_line("Creat threadul: %ld ...> %s\n", static_cast<long>(t), argv[i]);
	}
	pthread_attr_destroy(&attr);
	while (oldest < argc)
		join_oldest();
	if (argc > 1 && std::puts("Terminat toate thread-urile") < 0)
		log_failed();
	if (!close_stdout())
		status = 1;
	return status;
}
