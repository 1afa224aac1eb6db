// SPDX-License-Identifier: ISC
// Runs a built program in a child process and captures what it did.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdlib>
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

struct run_opts {
	std::string dir = ".";                           // working directory of the child
	std::vector<std::pair<int, rlim_t>> limits = {}; // setrlimit(first, second) in the child
	mode_t umask = 022;                              // umask of the child
	const char *stdout_path = nullptr; // standard output goes to this file, if set
	bool stdout_gone = false;          // standard output is a pipe whose reader is gone
	bool std_closed = false;           // standard input and output are not open at all
	bool no_dev = false; // an empty /dev (a private mount namespace) and no standard input
	int extra_fds = 0;   // descriptors inherited open beyond the standard three
	const char *preload = nullptr; // a library preloaded into the child
	// At most this many tasks (RLIMIT_NPROC), each thread being one, for a
	// user of the child's own when the tests run as root, who has no limit.
	int tasks = 0;
};

// Whether a run with run_opts::tasks counts the child's tasks alone.
inline bool own_user()
{
	return ::geteuid() == 0;
}

// Gives the child an empty /dev, as in a container or a chroot without one.
// The mounts are made private first, so that nothing reaches this system.
inline bool hide_dev()
{
	return ::unshare(CLONE_NEWNS) == 0 &&
	       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
	       ::mount("none", "/dev", "tmpfs", 0, nullptr) == 0;
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
	int gone[2] = {-1, -1};
	if (out < 0 || err < 0 || (o.stdout_gone && ::pipe2(gone, O_CLOEXEC) != 0))
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
		if (o.stdout_gone)
			fd1 = gone[1];
		else if (o.stdout_path != nullptr)
			fd1 = ::open(o.stdout_path, O_WRONLY);
		if (fd1 < 0 || ::dup2(fd1, 1) < 0 || ::dup2(err, 2) < 0 ||
		    ::chdir(o.dir.c_str()) != 0)
			::_exit(125);
		if (o.stdout_gone) {
			::close(gone[0]);
			::close(gone[1]);
		}
		// Only what the row asks for: nothing that the test runner left open.
		::close_range(3, ~0U, 0);
		if (o.std_closed) {
			::close(0);
			::close(1);
		}
		if (o.no_dev && (!hide_dev() || ::close(0) != 0))
			::_exit(no_namespace);
		for (int i = 0; i < o.extra_fds; i++)
			if (::dup(2) < 0)
				::_exit(125);
		// NOLINTNEXTLINE(concurrency-mt-unsafe): the child of fork has one thread
		if (o.preload != nullptr && ::setenv("LD_PRELOAD", o.preload, 1) != 0)
			::_exit(125);
		if (o.tasks > 0 && own_user()) {
			const uid_t u = 50000 + static_cast<uid_t>(::getpid() % 10000);
			if (::chown(".", u, u) != 0 || ::setgroups(0, nullptr) != 0 ||
			    ::setgid(u) != 0 || ::setuid(u) != 0)
				::_exit(125);
		}
		if (o.tasks > 0) {
			const struct rlimit rl = {rlim_t(o.tasks), rlim_t(o.tasks)};
			if (::setrlimit(RLIMIT_NPROC, &rl) != 0)
				::_exit(125);
		}
		::umask(o.umask);
		// As a shell would start it, whatever this test process ignores.
		::signal(SIGPIPE, SIG_DFL);
		::signal(SIGXFSZ, SIG_DFL);
		for (const auto &[resource, value] : o.limits) {
			const struct rlimit rl = {value, value};
			if (::setrlimit(resource, &rl) != 0)
				::_exit(125);
		}
		::execv(prog.c_str(), argv.data());
		::_exit(126);
	}
	if (o.stdout_gone) {
		::close(gone[0]);
		::close(gone[1]);
	}
	result r;
	int ws = 0;
	pid_t w = 0;
	while ((w = ::waitpid(pid, &ws, 0)) < 0 && errno == EINTR) {
	}
	if (w < 0)
		throw std::system_error(errno, std::generic_category(), "waitpid");
	r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
	r.out = read_fd(out);
	r.err = read_fd(err);
	::close(out);
	::close(err);
	return r;
}

// A limit under which the program itself runs but not one thread starts.
inline run_opts no_room_for_a_thread()
{
	return {.tasks = 1};
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
