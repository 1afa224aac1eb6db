// SPDX-License-Identifier: ISC
// Runs a built program in a child process and captures what it did.
#pragma once

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#if defined(__has_feature)
#define RUN_HAS_FEATURE(x) __has_feature(x)
#else
#define RUN_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || RUN_HAS_FEATURE(thread_sanitizer)
constexpr bool thread_sanitized = true;
#else
constexpr bool thread_sanitized = false;
#endif
#if defined(__SANITIZE_ADDRESS__) || RUN_HAS_FEATURE(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = thread_sanitized;
#endif

// The sanitizers reserve terabytes of address space for their shadow memory,
// so a run under an address-space limit cannot be made in such a build.
#define SKIP_IF_SANITIZED()                                                                        \
	do {                                                                                       \
		if (sanitized)                                                                     \
			GTEST_SKIP() << "an address-space limit leaves no room for the "           \
			                "sanitizer's shadow memory";                               \
	} while (0)

struct result {
	int status = -1; // exit status, or 128 + the signal that ended it
	std::string out;
	std::string err;
};

// Exit status of a child that could not hide /dev: the test is skipped.
constexpr int no_namespace = 124;

// A limit set in the child, as a shell's ulimit sets it.
struct limit {
	int resource;
	rlim_t soft;
	rlim_t hard = 0; // 0: the soft one
};

struct run_opts {
	std::string dir = ".";             // working directory of the child
	std::vector<limit> limits = {};    // setrlimit() in the child
	mode_t umask = 022;                // umask of the child
	const char *stdout_path = nullptr; // standard output goes to this file, if set
	bool stdout_gone = false;          // standard output is a pipe whose reader is gone
	// Standard output is a pipe, or a new terminal that is the child's
	// controlling terminal, read into result::out while the child runs.
	bool stdout_pipe = false;
	bool stdout_tty = false;
	const char *typed = nullptr; // typed at that terminal before the child starts, not echoed
	bool std_closed = false;     // standard input and output are not open at all
	bool no_dev = false; // an empty /dev (a private mount namespace) and no standard input
	// A devpts of the child's own (in such a namespace) mounted on this directory, its one
	// terminal held by the child.
	const char *devpts = nullptr;
	int extra_fds = 0; // descriptors inherited open beyond the standard three
	// The rules of tests/fault.cpp, preloaded into the child.
	const char *fault = nullptr;
	// At most this many tasks (RLIMIT_NPROC), each thread being one, for a
	// user of the child's own when the tests run as root, who has no limit.
	int tasks = 0;
	// The child is killed after this many seconds, so that a hang fails its
	// row instead of the whole suite.
	unsigned timeout = 300;
};

// Whether a run with run_opts::tasks counts the child's tasks alone.
inline bool own_user()
{
	return ::geteuid() == 0;
}

// Why PROG cannot run with run_opts::tasks, or null; OWN when the limit must
// count the child's tasks alone.  As root the child runs as a user of its
// own, started from a descriptor opened before the user changes, so that
// PROG may lie below a directory that only root can search; but that user
// must be allowed to execute it.
inline const char *no_task_limit(const char *prog, bool own)
{
	struct stat st = {};
	if (!own_user())
		return own ? "needs root, to run as a user whose tasks are the child's alone"
		           : nullptr;
	if (::stat(prog, &st) != 0 || (st.st_mode & S_IXOTH) == 0)
		return "the program is not executable by other users (built under a strict umask)";
	return nullptr;
}

// Gives the child mounts of its own, private, so that none of its mounts reaches this system.
inline bool own_mounts()
{
	return ::unshare(CLONE_NEWNS) == 0 &&
	       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Types TEXT at the terminal whose other side is TTY, with echo off, so that the log alone
// comes back.
inline bool type_at(int tty, const char *text)
{
	struct termios t = {};
	if (::tcgetattr(tty, &t) != 0)
		return false;
	t.c_lflag &= ~tcflag_t{ECHO};
	return ::tcsetattr(tty, TCSANOW, &t) == 0 && ::write(tty, text, std::strlen(text)) >= 0;
}

inline std::string read_fd(int fd)
{
	std::string s;
	char buf[65536];
	::lseek(fd, 0, SEEK_SET);
	ssize_t got = 0;
	while ((got = ::read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<std::size_t>(got));
	return s;
}

inline result run(const std::string &prog, const std::vector<std::string> &args,
                  const run_opts &o = {})
{
	const int out = ::memfd_create("stdout", MFD_CLOEXEC);
	const int err = ::memfd_create("stderr", MFD_CLOEXEC);
	// The parent's end of a pipe or of a terminal's, and the child's end
	// of a pipe; the child opens a terminal by its name.
	int ends[2] = {-1, -1};
	char tty[64] = "";
	if (o.stdout_tty && ((ends[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0 ||
	                     ::grantpt(ends[0]) != 0 || ::unlockpt(ends[0]) != 0 ||
	                     ::ptsname_r(ends[0], tty, sizeof tty) != 0))
		throw std::runtime_error("cannot open a pseudo-terminal");
	if (o.typed != nullptr && !type_at(ends[0], o.typed))
		throw std::runtime_error("cannot type at the terminal");
	if (out < 0 || err < 0 ||
	    ((o.stdout_gone || o.stdout_pipe) && ::pipe2(ends, O_CLOEXEC) != 0))
		throw std::runtime_error("cannot set up the child's output");
	std::vector<char *> argv{const_cast<char *>(prog.c_str())};
	for (const auto &a : args)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);

	const pid_t pid = ::fork();
	if (pid < 0)
		throw std::system_error(errno, std::generic_category(), "fork");
	if (pid == 0) {
		int fd1 = out;
		if (o.stdout_gone || o.stdout_pipe)
			fd1 = ends[1];
		else if (o.stdout_path != nullptr)
			fd1 = ::open(o.stdout_path, O_WRONLY);
		// A session's first terminal becomes its controlling terminal.
		else if (o.stdout_tty && (::setsid() < 0 || (fd1 = ::open(tty, O_RDWR)) < 0))
			::_exit(125);
		if (fd1 < 0 || ::dup2(fd1, 1) < 0 || ::dup2(err, 2) < 0 ||
		    ::chdir(o.dir.c_str()) != 0)
			::_exit(125);
		// Only what the row asks for: nothing that the test runner left open.
		::close_range(3, ~0U, 0);
		if (o.std_closed) {
			::close(0);
			::close(1);
		}
		// As in a container or a chroot without /dev.
		if (o.no_dev &&
		    (!own_mounts() || ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
		     ::close(0) != 0))
			::_exit(no_namespace);
		if (o.devpts != nullptr &&
		    (!own_mounts() ||
		     ::mount("devpts", o.devpts, "devpts", 0, "newinstance,max=1,ptmxmode=0666") !=
		         0 ||
		     ::open((std::string(o.devpts) + "/ptmx").c_str(), O_RDWR | O_NOCTTY) < 0))
			::_exit(no_namespace);
		for (int i = 0; i < o.extra_fds; i++)
			if (::dup(2) < 0)
				::_exit(125);
		// LD_PRELOAD parts its list at spaces and colons, which the path to
		// the tree may hold: the library goes through a link without them.
		// NOLINTBEGIN(concurrency-mt-unsafe): the child of fork has one thread
		if (o.fault != nullptr) {
			::unlink("preload.so");
			if (::symlink(FAULT_LIB, "preload.so") != 0 ||
			    ::setenv("LD_PRELOAD", "./preload.so", 1) != 0 ||
			    ::setenv("FAULT", o.fault, 1) != 0)
				::_exit(125);
		}
		// Opened while the path may still lead where only root may go.
		const int exe = ::open(prog.c_str(), O_PATH | O_CLOEXEC);
		if (o.tasks > 0 && own_user()) {
			const uid_t u = 50000 + static_cast<uid_t>(::getpid() % 10000);
			// A coverage build's counters go where that user may write
			// them, below the build's own path, to be merged afterwards.
			if (const char *shared = ::getenv("GCOV_OTHER_USERS")) {
				const std::string build = std::filesystem::path(prog).parent_path();
				::mkdir(shared, 01777);
				if (::chmod(shared, 01777) != 0 ||
				    ::setenv(
				        "GCOV_PREFIX",
				        (std::string(shared) + "/" + std::to_string(u)).c_str(),
				        1) != 0 ||
				    ::setenv("GCOV_PREFIX_STRIP",
				             std::to_string(std::ranges::count(build, '/')).c_str(),
				             1) != 0)
					::_exit(125);
			}
			if (::chown(".", u, u) != 0 || ::setgroups(0, nullptr) != 0 ||
			    ::setgid(u) != 0 || ::setuid(u) != 0)
				::_exit(125);
		}
		// NOLINTEND(concurrency-mt-unsafe)
		if (o.tasks > 0) {
			const struct rlimit rl = {rlim_t(o.tasks), rlim_t(o.tasks)};
			if (::setrlimit(RLIMIT_NPROC, &rl) != 0)
				::_exit(125);
		}
		::umask(o.umask);
		// As a shell would start it, whatever this test process ignores.
		::signal(SIGPIPE, SIG_DFL);
		::signal(SIGXFSZ, SIG_DFL);
		for (const auto &l : o.limits) {
			const struct rlimit rl = {l.soft, l.hard != 0 ? l.hard : l.soft};
			if (::setrlimit(l.resource, &rl) != 0)
				::_exit(125);
		}
		::alarm(o.timeout);
		::fexecve(exe, argv.data(), environ);
		::_exit(126);
	}
	result r;
	if (ends[1] >= 0)
		::close(ends[1]);
	if (o.stdout_gone)
		::close(std::exchange(ends[0], -1));
	// Until the child's end is closed: a terminal's then fails with EIO.
	char buf[4096];
	for (ssize_t got = 0;
	     (o.stdout_pipe || o.stdout_tty) &&
	     ((got = ::read(ends[0], buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR));)
		r.out.append(buf, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
	// A terminal ends its lines with a carriage return as well.
	if (o.stdout_tty)
		std::erase(r.out, '\r');
	int ws = 0;
	pid_t w = 0;
	while ((w = ::waitpid(pid, &ws, 0)) < 0 && errno == EINTR) {
	}
	// Only now: a terminal's hangup would end the child.
	if (ends[0] >= 0)
		::close(ends[0]);
	if (w < 0)
		throw std::system_error(errno, std::generic_category(), "waitpid");
	r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	r.out += read_fd(out);
	r.err = read_fd(err);
	::close(out);
	::close(err);
	return r;
}

// A limit under which the program itself runs but not one thread starts, in
// DIR, which becomes the child's user's own.
inline run_opts no_room_for_a_thread(const std::string &dir)
{
	return {.dir = dir, .tasks = 1};
}

inline std::string slurp(const std::filesystem::path &p)
{
	std::ifstream f(p, std::ios::binary);
	return {std::istreambuf_iterator<char>(f), {}};
}

inline void spit(const std::filesystem::path &p, const std::string &s)
{
	std::ofstream f(p, std::ios::binary | std::ios::trunc);
	f << s;
}

// A fresh directory for one test, removed with everything in it afterwards.
class scratch_dir {
public:
	scratch_dir()
	{
		std::string tmpl = (std::filesystem::temp_directory_path() / "upfirst-test.XXXXXX");
		if (::mkdtemp(tmpl.data()) == nullptr)
			throw std::runtime_error("mkdtemp failed");
		path_ = tmpl;
	}
	scratch_dir(const scratch_dir &) = delete;
	scratch_dir &operator=(const scratch_dir &) = delete;
	~scratch_dir()
	{
		std::error_code ec;
		std::filesystem::remove_all(path_, ec);
	}
	[[nodiscard]] const std::filesystem::path &path() const { return path_; }
	[[nodiscard]] std::filesystem::path operator/(const std::string &name) const
	{
		return path_ / name;
	}

private:
	std::filesystem::path path_;
};
