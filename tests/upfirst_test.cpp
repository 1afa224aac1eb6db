// SPDX-License-Identifier: ISC
// upfirst run as a user runs it: in a scratch directory, checking its exact
// log, its copies, its diagnostics and its exit status.
#include "model.h"
#include "run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <map>
#include <regex>
#include <sstream>

#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::string_view_literals;

namespace {

std::vector<std::string> lines(const std::string &s)
{
	std::vector<std::string> v;
	std::istringstream in(s);
	for (std::string l; std::getline(in, l);)
		v.push_back(l);
	return v;
}

// Checks the log of a run over distinct paths: one creation line per
// worker, in argument order; its start line before its end line; the same
// thread number in all three; at most 999 workers at once, path k's
// created after path k - 999's end; and the closing line once, last.
void expect_log(const std::string &out, const std::vector<std::string> &paths)
{
	static const std::regex re(
	    R"((Creat threadul: |Threadul: |Terminat threadul: )(-?\d+) (\.\.\.?)> (.*))");
	struct seen {
		long id[3] = {0, 0, 0};
		std::size_t at[3] = {0, 0, 0};
		int count[3] = {0, 0, 0};
	};
	std::map<std::string, seen> by_path;
	std::vector<std::string> created;
	const auto v = lines(out);
	ASSERT_FALSE(v.empty());
	EXPECT_EQ(v.back(), "Terminat toate thread-urile");
	EXPECT_EQ(v.size(), 3 * paths.size() + 1);
	for (std::size_t i = 0; i + 1 < v.size(); i++) {
		std::smatch m;
		ASSERT_TRUE(std::regex_match(v[i], m, re)) << "line " << i << ": " << v[i];
		const int kind = m[1] == "Creat threadul: " ? 0 : m[1] == "Threadul: " ? 1 : 2;
		EXPECT_EQ(m[3], kind == 1 ? ".." : "...") << v[i];
		auto &s = by_path[m[4]];
		s.id[kind] = std::stol(m[2]);
		s.at[kind] = i;
		s.count[kind]++;
		if (kind == 0)
			created.push_back(m[4]);
	}
	EXPECT_EQ(created, paths);
	for (const auto &p : paths) {
		const seen &s = by_path[p];
		EXPECT_EQ(s.count[0] + s.count[1] + s.count[2], 3) << p;
		EXPECT_LT(s.at[1], s.at[2]) << p;
		EXPECT_EQ(s.id[0], s.id[1]) << p;
		EXPECT_EQ(s.id[1], s.id[2]) << p;
	}
	for (std::size_t k = 999; k < paths.size(); k++)
		EXPECT_GT(by_path[paths[k]].at[0], by_path[paths[k - 999]].at[2]) << paths[k];
}

// "name" followed by i.
std::string numbered(const char *name, int i)
{
	std::string s = name;
	s += std::to_string(i);
	return s;
}

std::string sorted_lines(const std::string &s)
{
	auto v = lines(s);
	std::sort(v.begin(), v.end());
	std::string r;
	for (const auto &l : v)
		r += l + "\n";
	return r;
}

// Waits (at most 20 s) until DONE() holds; whether it did.
template <class F>
bool wait_until(F done)
{
	for (int i = 0; i < 2000; i++, ::usleep(10000))
		if (done())
			return true;
	return false;
}

// Waits until FIFO has a reader, then writes TEXT into it.
bool feed(const fs::path &fifo, const std::string &text)
{
	int fd = -1;
	wait_until([&] { return (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)) >= 0; });
	const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
	::close(fd);
	return ok;
}

// Compares texts that may be megabytes long; a failure names the first
// differing offset instead of printing both.
void expect_text(const std::string &got, const std::string &want, const std::string &what)
{
	if (got == want)
		return;
	const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
	ADD_FAILURE() << what << ": " << got.size() << " bytes where " << want.size()
	              << " were wanted, first difference at offset " << (diff.first - got.begin());
}

class Upfirst : public ::testing::Test {
protected:
	scratch_dir d;
	result up(const std::vector<std::string> &args, run_opts o = {})
	{
		o.dir = d.path();
		return run(UPFIRST, args, o);
	}
	// Writes files named and filled as given, runs upfirst on them, and
	// expects a clean run whose copies hold the wanted texts.
	void expect_copies(const std::vector<std::pair<std::string, std::string>> &in_want,
	                   const std::vector<std::string> &texts, const run_opts &o = {})
	{
		std::vector<std::string> paths;
		for (std::size_t i = 0; i < in_want.size(); i++) {
			spit(d / in_want[i].first, texts[i]);
			paths.push_back(in_want[i].first);
		}
		const result r = up(paths, o);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, "");
		expect_log(r.out, paths);
		for (std::size_t i = 0; i < in_want.size(); i++) {
			expect_text(slurp(d / (paths[i] + "_CAPIT.txt")), in_want[i].second,
			            paths[i]);
			expect_text(slurp(d / paths[i]), texts[i], "input " + paths[i]);
		}
	}
};

TEST_F(Upfirst, NoArgumentsDoNothing)
{
	const result r = up({});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "");
	EXPECT_TRUE(fs::is_empty(d.path()));
}

TEST_F(Upfirst, CopiesWithWordStartsCapitalized)
{
	const std::string words = "the quick brown fox\nhELLO wORLD\nx\ty\nwell-known fact\n lead\n"
	                          "a  b\ntail \n1st place\n\xc3\xa9t\xc3\xa9 est ici\n\n";
	const std::string words_up =
	    "The Quick Brown Fox\nHELLO WORLD\nX\ty\nWell-known Fact\n Lead\n"
	    "A  B\nTail \n1st Place\n\xc3\xa9t\xc3\xa9 Est Ici\n\n";
	const std::string long_line =
	    std::string(2500, 'q') + " r\n" + std::string(999, 'z') + "\nend";
	const std::string long_up =
	    "Q" + std::string(2499, 'q') + " R\nZ" + std::string(998, 'z') + "\nEnd";
	const std::string nul = "ab\0cd e\0 f\n\0g"s;
	const std::string nul_up = "Ab\0cd E\0 F\n\0g"s;
	// Large enough to take many reads, with word starts at every offset.
	std::string big, big_up;
	for (int i = 0; big.size() < 300000; i++) {
		const std::string w(static_cast<std::size_t>(i % 13) + 1, 'k');
		big += w + (i % 7 == 0 ? "\n" : " ");
		big_up += "K" + w.substr(1) + (i % 7 == 0 ? "\n" : " ");
	}
	expect_copies({{"words.txt", words_up},
	               {"empty.txt", ""},
	               {"last.txt", "Last Line"},
	               {"crlf.txt", "One\r\nTwo\r\n"},
	               {"long.txt", long_up},
	               {"nul.bin", nul_up},
	               {"big.txt", big_up}},
	              {words, "", "last line", "one\r\ntwo\r\n", long_line, nul, big});
}

TEST_F(Upfirst, EveryArgumentIsAPath)
{
	expect_copies({{"-n", "Dash"}, {"--", "Double"}, {"-", "Single"}, {"--help", "Help"}},
	              {"dash", "double", "single", "help"});
}

TEST_F(Upfirst, SamePathTwiceGivesOneSoundCopy)
{
	// One writer: its new copy, of mode 0444, lets no second one in but root.
	if (const char *why = no_task_limit(UPFIRST, false))
		GTEST_SKIP() << why;
	const std::string text(100000, 'w');
	spit(d / "a.txt", text);
	fs::permissions(d / "a.txt", fs::perms(0444));
	const result r = up({"a.txt", "./a.txt", "a.txt"}, {.tasks = own_user() ? 100 : 0});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(lines(r.out).size(), 10U);
	expect_text(slurp(d / "a.txt_CAPIT.txt"), "W" + text.substr(1), "a.txt_CAPIT.txt");
}

TEST_F(Upfirst, LogOfManyWorkers)
{
	std::vector<std::string> paths;
	for (int i = 0; i < 999; i++) {
		paths.push_back(numbered("f", i) + ".txt");
		spit(d / paths.back(), numbered("file number ", i) + "\n");
	}
	const result r = up(paths);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "");
	expect_log(r.out, paths);
	for (int i = 0; i < 999; i++)
		ASSERT_EQ(slurp(d / (paths[i] + "_CAPIT.txt")), numbered("File Number ", i) + "\n");
}

TEST_F(Upfirst, AnyNumberOfPaths)
{
	// Every rule covers the whole list: the first path's copy is a late input.
	std::vector<std::string> paths;
	for (int i = 0; i < 2500; i++) {
		paths.push_back(i == 2399 ? "f0_CAPIT.txt" : numbered("f", i));
		spit(d / paths.back(), numbered("file ", i));
	}
	const result r = up(paths);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: f0_CAPIT.txt: is also an input of this run\n");
	expect_log(r.out, paths);
	for (int i = 1; i < 2500; i++)
		ASSERT_EQ(slurp(d / (paths[i] + "_CAPIT.txt")), numbered("File ", i)) << paths[i];
	EXPECT_EQ(slurp(d / "f0_CAPIT.txt"), "file 2399");
	// The 1000th worker, in the ring's first slot again, is waited for: its failure counts,
	// and its FIFO, fed late, is read before the run ends.
	std::vector<std::string> ring(paths.begin() + 1, paths.begin() + 1001);
	ring.back() = "missing";
	EXPECT_EQ(up(ring).status, 1);
	ring.back() = "late";
	::mkfifo((d / "late").c_str(), 0600);
	if (::fork() == 0)
		::_exit(::usleep(500000) == 0 && feed(d / "late", "late") ? 0 : 1);
	const result late = up(ring);
	EXPECT_EQ(late.status, 0);
	expect_log(late.out, ring);
	EXPECT_EQ(slurp(d / "late_CAPIT.txt"), "Late");
	::wait(nullptr);
	// No room to record 100 000 paths: said, and nothing done.
	if (!sanitized) {
		const result m =
		    up(std::vector<std::string>(100000, "f1"), {.limits = {{RLIMIT_AS, 16 << 20}}});
		EXPECT_EQ(m.status, 1);
		EXPECT_EQ(m.out + m.err,
		          "upfirst: cannot record 100000 paths: Cannot allocate memory\n");
	}
}

TEST_F(Upfirst, UnreadableInputsAreReportedAndLeaveNoCopy)
{
	fs::create_directory(d / "dir");
	spit(d / "good.txt", "good one");
	const result r = up({"missing.txt", "dir", "good.txt", "tab\tdel\x7f", ""});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(sorted_lines(r.err), "upfirst: \"\": No such file or directory\n"
	                               "upfirst: \"tab\\tdel\\177\": No such file or directory\n"
	                               "upfirst: dir: Is a directory\n"
	                               "upfirst: missing.txt: No such file or directory\n");
	expect_log(r.out, {"missing.txt", "dir", "good.txt", "tab\tdel\x7f", ""});
	EXPECT_FALSE(fs::exists(d / "missing.txt_CAPIT.txt"));
	EXPECT_FALSE(fs::exists(d / "dir_CAPIT.txt"));
	EXPECT_EQ(slurp(d / "good.txt_CAPIT.txt"), "Good One");
}

TEST_F(Upfirst, CopyNameLeadingToTheInputIsRefused)
{
	spit(d / "sym.txt", "keep me\n");
	spit(d / "hard.txt", "and me\n");
	fs::create_symlink("sym.txt", d / "sym.txt_CAPIT.txt");
	fs::create_hard_link(d / "hard.txt", d / "hard.txt_CAPIT.txt");
	const result r = up({"sym.txt", "hard.txt"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(sorted_lines(r.err), "upfirst: hard.txt_CAPIT.txt: is the input file itself\n"
	                               "upfirst: sym.txt_CAPIT.txt: is the input file itself\n");
	EXPECT_EQ(slurp(d / "sym.txt"), "keep me\n");
	EXPECT_EQ(slurp(d / "hard.txt"), "and me\n");
}

TEST_F(Upfirst, ExistingCopyIsRewrittenThroughLinks)
{
	spit(d / "old.txt_CAPIT.txt", std::string(5000, '#'));
	spit(d / "other.txt", "untouched? no: the link leads here");
	fs::create_symlink("other.txt", d / "via.txt_CAPIT.txt");
	expect_copies({{"old.txt", "Short"}, {"via.txt", "Linked Text"}}, {"short", "linked text"});
	EXPECT_EQ(slurp(d / "other.txt"), "Linked Text");
	EXPECT_TRUE(fs::is_symlink(d / "via.txt_CAPIT.txt"));
}

TEST_F(Upfirst, NewCopyTakesTheInputsModeLessTheUmask)
{
	// A copy never grants access that its input does not; one that exists
	// keeps its mode.
	const struct {
		const char *name;
		fs::perms input;
		mode_t umask;
		int existing; // mode of a copy that is there before the run, or -1
		fs::perms want;
	} cases[] = {
	    {"private", fs::perms(0600), 022, -1, fs::perms(0600)},
	    {"group", fs::perms(0664), 027, -1, fs::perms(0640)},
	    {"open", fs::perms(0644), 0, -1, fs::perms(0644)},
	    {"execute", fs::perms(0755), 0, -1, fs::perms(0644)},
	    {"kept", fs::perms(0644), 022, 0604, fs::perms(0604)},
	};
	for (const auto &c : cases) {
		spit(d / c.name, "a");
		fs::permissions(d / c.name, c.input);
		const std::string copy = c.name + "_CAPIT.txt"s;
		if (c.existing >= 0) {
			spit(d / copy, "old");
			fs::permissions(d / copy, fs::perms(c.existing));
		}
		ASSERT_EQ(up({c.name}, {.umask = c.umask}).status, 0) << c.name;
		EXPECT_EQ(fs::status(d / copy).permissions(), c.want) << c.name;
		EXPECT_EQ(slurp(d / copy), "A") << c.name;
	}
}

// Text of some size with a word start in every few bytes.
std::string words_of(std::size_t size, int seed)
{
	std::string s;
	for (int i = seed; s.size() < size; i++)
		s += numbered(i % 5 == 0 ? "line\n" : "word ", i);
	s.resize(size);
	return s;
}

TEST_F(Upfirst, LimitsLoseNoFile)
{
	// Each row sets a limit in the child as a shell's ulimit would; every
	// file is copied whole but the one that the row names as failed.
	const struct {
		const char *what;
		run_opts opts;
		int files;
		std::size_t size;
		std::size_t first_size; // of in0, which alone may fail
		bool needs_plain_build; // the sanitizers need room, and to be loaded first
		std::string err;
	} rows[] = {
	    {"file size",
	     {.limits = {{RLIMIT_FSIZE, 64 << 10}}},
	     4,
	     40 << 10,
	     100 << 10,
	     false,
	     "upfirst: in0_CAPIT.txt: File too large\n"},
	    {"descriptors", {.limits = {{RLIMIT_NOFILE, 10}}}, 60, 1 << 20, 1 << 20, false, ""},
	    // Three more held by the parent: the system runs out before the budget.
	    {"inherited descriptors",
	     {.limits = {{RLIMIT_NOFILE, 10}}, .extra_fds = 3},
	     60,
	     1 << 20,
	     1 << 20,
	     false,
	     ""},
	    {"address space", {.limits = {{RLIMIT_AS, 10000 << 10}}}, 200, 30, 30, true, ""},
	    {"no heap", {.fault = "aligned_alloc:*:1+:0"}, 3, 100 << 10, 100 << 10, true, ""},
	    // A diagnostic from a worker copying through its stack.  (Under
	    // 20 KiB the loader itself may fail to load the preloaded library.)
	    {"small stack, no heap",
	     {.limits = {{RLIMIT_STACK, 20 << 10}, {RLIMIT_FSIZE, 64 << 10}},
	      .fault = "aligned_alloc:*:1+:0"},
	     4,
	     40 << 10,
	     100 << 10,
	     true,
	     "upfirst: in0_CAPIT.txt: File too large\n"},
	    // A system-wide table with room for two of the run's files refuses
	    // the others 50 ms late, when a worker may have given its files
	    // back meanwhile: the refused wait, or try again at once.  Opens
	    // that succeed take 10 ms, so that workers open theirs together.
	    {"the system's table full, its refusals late",
	     {.fault = "open:*:>4:ENFILE:50,open:*:1+:ok:10"},
	     20,
	     1000,
	     1000,
	     true,
	     ""},
	    // Calls interrupted by a signal are made again; with the stacks'
	    // mapping refused, the thread library makes each stack.
	    {"interrupted calls, no stacks mapped",
	     {.fault = "read:in1:1:EINTR,write:in1_CAPIT.txt:1:EINTR,mprotect:*:1:ENOMEM"},
	     3,
	     100 << 10,
	     100 << 10,
	     true,
	     ""},
	    {"one descriptor",
	     {.limits = {{RLIMIT_NOFILE, 4}}},
	     1,
	     10,
	     10,
	     false,
	     "upfirst: in0_CAPIT.txt: Too many open files\n"},
	    {"no /dev", {.no_dev = true}, 3, 1000, 1000, false, ""},
	};
	std::string skipped; // the rows that could not run here, and why
	for (const auto &row : rows) {
		if (row.needs_plain_build && sanitized) {
			skipped += row.what + ": needs a build without sanitizers; "s;
			continue;
		}
		SCOPED_TRACE(row.what);
		std::vector<std::string> paths;
		for (int i = 0; i < row.files; i++) {
			paths.push_back(numbered("in", i));
			spit(d / paths.back(), words_of(i == 0 ? row.first_size : row.size, i));
			// An old copy, which must not be emptied without being rewritten.
			spit(d / (paths.back() + "_CAPIT.txt"), "old");
		}
		const result r = up(paths, row.opts);
		if (r.status == no_namespace && row.opts.no_dev) {
			skipped += row.what + ": no mount namespace for an empty /dev; "s;
			continue;
		}
		// The fault was made, not merely asked for.
		if (row.opts.fault != nullptr) {
			EXPECT_TRUE(fs::remove(d / "fault.log"));
		}
		EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
		EXPECT_EQ(r.err, row.err);
		expect_log(r.out, paths);
		for (int i = row.err.empty() ? 0 : 1; i < row.files; i++)
			expect_text(slurp(d / (paths[i] + "_CAPIT.txt")),
			            model(words_of(row.size, i)), paths[i]);
		for (const auto &p : paths) {
			fs::remove(d / p);
			fs::remove(d / (p + "_CAPIT.txt"));
		}
	}
	if (!skipped.empty())
		GTEST_SKIP() << skipped;
}

// A neighbour holds a lease on b's copy until b's worker, opening it, breaks it; if REPLACE,
// it then puts a new file at that name before it lets go.
void lease_b_copy(const fs::path &w, bool replace)
{
	spit(w / "b_CAPIT.txt", "old");
	int ready[2] = {-1, -1};
	ASSERT_EQ(::pipe(ready), 0);
	if (::fork() == 0) {
		sigset_t io;
		sigemptyset(&io);
		sigaddset(&io, SIGIO);
		int sig = 0;
		const int fd = ::open((w / "b_CAPIT.txt").c_str(), O_RDONLY);
		if (::pthread_sigmask(SIG_BLOCK, &io, nullptr) == 0 &&
		    ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0 && ::write(ready[1], "y", 1) == 1 &&
		    ::sigwait(&io, &sig) == 0 && replace) {
			spit(w / "new", "new");
			fs::rename(w / "new", w / "b_CAPIT.txt");
		}
		::_exit(0);
	}
	::close(ready[1]);
	char leased = 'n';
	EXPECT_EQ(::read(ready[0], &leased, 1), 1) << "no lease";
	::close(ready[0]);
}

// c, a second name of a, and b have links to a's copy, which is not there yet.
void links_to_a_copy(const fs::path &w)
{
	fs::remove(w / "a_CAPIT.txt");
	fs::create_hard_link(w / "a", w / "c");
	fs::create_symlink("a_CAPIT.txt", w / "c_CAPIT.txt");
	fs::create_symlink("a_CAPIT.txt", w / "b_CAPIT.txt");
}

// Why a row cannot show its fault here, or null.
const char *needs_root(const fs::path &)
{
	return ::geteuid() == 0 ? nullptr : "needs root, to make device nodes";
}
const char *plain_build(const fs::path &)
{
	return sanitized ? "the sanitizers must be loaded first" : nullptr;
}
// Mounts on W a small file system whose inodes have no room for birth times; its journal
// makes it give a freed number again at once.
const char *no_birth_times(const fs::path &w)
{
	if (sanitized)
		return "the sanitizers must be loaded first";
	if (::geteuid() != 0)
		return "needs root, to mount a file system";
	const std::string img = "'" + w.string() + ".img'";
	// NOLINTNEXTLINE(cert-env33-c, concurrency-mt-unsafe): a shell line, on this one thread
	if (std::system(("truncate -s 8M " + img + " && mkfs.ext3 -q -I 128 " + img +
	                 " >/dev/null 2>&1 && mount -o loop " + img + " '" + w.string() + "'")
	                    .c_str()) != 0) {
		fs::remove(w.string() + ".img");
		return "cannot mount a file system image here";
	}
	return nullptr;
}
const char *reuses_inodes(const fs::path &w)
{
	struct stat st[2] = {};
	for (auto &s : st) {
		spit(w / "probe", "");
		::stat((w / "probe").c_str(), &s);
		fs::remove(w / "probe");
	}
	return st[0].st_ino == st[1].st_ino ? nullptr : "no freed inode number is given again";
}

TEST_F(Upfirst, RunNeverWritesWhatItReads)
{
	// Large enough that a worker still reads while another would write.
	const std::string a = words_of(1 << 20, 1);
	const std::string b = words_of(1 << 20, 2);
	// Every row starts from a, b, a's copy and an empty log, which is
	// standard output unless the row's is a pipe or a terminal; then its
	// own step adds to that.
	using step = void (*)(const fs::path &);
	const struct {
		const char *what;
		step setup;
		std::vector<std::string> args;
		std::string err;                                       // sorted lines; "": exit 0
		std::vector<std::pair<std::string, std::string>> want; // file, text ("-" if absent)
		run_opts log = {};
		const char *(*cannot)(const fs::path &) = nullptr;
	} rows[] = {
	    {"a second run over its own copies",
	     [](const fs::path &w) { spit(w / "b_CAPIT.txt", "old"); },
	     {"a", "a_CAPIT.txt", "b", "b_CAPIT.txt"},
	     "upfirst: a_CAPIT.txt: is also an input of this run\n"
	     "upfirst: b_CAPIT.txt: is also an input of this run\n",
	     {{"a_CAPIT.txt", model(a)}, {"a_CAPIT.txt_CAPIT.txt", model(a)}, {"b", b}}},
	    {"a copy linked to another input",
	     [](const fs::path &w) { fs::create_hard_link(w / "a", w / "b_CAPIT.txt"); },
	     {"a", "b"},
	     "upfirst: b_CAPIT.txt: is also an input of this run\n",
	     {{"a", a}, {"a_CAPIT.txt", model(a)}}},
	    {"an input that another worker creates",
	     [](const fs::path &w) { fs::remove(w / "a_CAPIT.txt"); },
	     {"a", "a_CAPIT.txt"},
	     "upfirst: a_CAPIT.txt: No such file or directory\n",
	     {{"a_CAPIT.txt", model(a)}, {"a_CAPIT.txt_CAPIT.txt", "-"}}},
	    {"two inputs sharing one copy",
	     [](const fs::path &w) { fs::create_hard_link(w / "a_CAPIT.txt", w / "b_CAPIT.txt"); },
	     {"a", "b"},
	     "upfirst: b_CAPIT.txt: is also the copy of an earlier path\n",
	     {{"a_CAPIT.txt", model(a)}, {"b", b}}},
	    {"a link to nowhere as the copy",
	     [](const fs::path &w) { fs::create_symlink("nowhere", w / "b_CAPIT.txt"); },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: not writing through dangling symlink\n",
	     {{"nowhere", "-"}, {"a_CAPIT.txt", model(a)}}},
	    {"standard error as a copy",
	     [](const fs::path &w) { fs::create_symlink("/dev/stderr", w / "b_CAPIT.txt"); },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: is standard error\n",
	     {{"a_CAPIT.txt", model(a)}}},
	    {"a FIFO with no reader as a copy",
	     [](const fs::path &w) { ::mkfifo((w / "b_CAPIT.txt").c_str(), 0600); },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: No such device or address\n",
	     {{"a_CAPIT.txt", model(a)}}},
	    {"an input that cannot be read",
	     [](const fs::path &w) { fs::create_symlink("/proc/self/mem", w / "mem"); },
	     {"mem", "a"},
	     "upfirst: mem: Input/output error\n",
	     {{"a_CAPIT.txt", model(a)}}},
	    // z, a FIFO, holds its worker until a neighbour has linked z's copy
	    // name to the copy that b's worker is writing.
	    {"a link to another path's copy, made during the run",
	     [](const fs::path &w) {
		     ::mkfifo((w / "z").c_str(), 0600);
		     if (::fork() != 0)
			     return;
		     wait_until([&w] {
			     std::error_code ec;
			     return fs::file_size(w / "b_CAPIT.txt", ec) == (1 << 20) && !ec;
		     });
		     fs::create_symlink("b_CAPIT.txt", w / "z_CAPIT.txt");
		     ::_exit(feed(w / "z", "") ? 0 : 1);
	     },
	     {"b", "z"},
	     "upfirst: z_CAPIT.txt: appeared during the run\n",
	     {{"b_CAPIT.txt", model(b)}}},
	    {"standard output as an input and as a copy",
	     [](const fs::path &w) { fs::create_symlink("log", w / "b_CAPIT.txt"); },
	     {"log", "b", "a"},
	     "upfirst: b_CAPIT.txt: is standard output\n"
	     "upfirst: log: is standard output\n",
	     {{"a_CAPIT.txt", model(a)}, {"log_CAPIT.txt", "-"}}},
	    {"the log's pipe as an input",
	     [](const fs::path &) {},
	     {"/dev/stdout", "a"},
	     "upfirst: /dev/stdout: is standard output\n",
	     {},
	     {.stdout_pipe = true}},
	    {"the log's terminal by another name as a copy",
	     [](const fs::path &w) { fs::create_symlink("/dev/tty", w / "b_CAPIT.txt"); },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: is standard output\n",
	     {},
	     {.stdout_tty = true}},
	    {"a copy under a lease",
	     [](const fs::path &w) { lease_b_copy(w, false); },
	     {"b", "a"},
	     "",
	     {{"b_CAPIT.txt", model(b)}}},
	    // Between the worker's look at the name and its open: the open file tells.
	    {"a copy replaced while its worker waits for a lease",
	     [](const fs::path &w) { lease_b_copy(w, true); },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: changed during the run\n",
	     {{"b_CAPIT.txt", "new"}}},
	    {"an earlier path that never writes",
	     [](const fs::path &w) {
		     fs::create_directory(w / "d");
		     spit(w / "a_CAPIT.txt", "old");
		     fs::create_hard_link(w / "a_CAPIT.txt", w / "d_CAPIT.txt");
	     },
	     {"d", "a"},
	     "upfirst: d: Is a directory\n",
	     {{"a_CAPIT.txt", model(a)}}},
	    // Two readers of a FIFO would each read a part of it, and its only
	    // writer would be b's worker, were it to open it; /dev/null reads
	    // alike for any number.
	    {"a FIFO named twice and as another path's copy, /dev/null, a socket",
	     [](const fs::path &w) {
		     ::mkfifo((w / "f").c_str(), 0600);
		     fs::create_symlink("f", w / "g");
		     fs::create_symlink("f", w / "b_CAPIT.txt");
		     fs::create_symlink("/dev/null", w / "n");
		     struct sockaddr_un sa = {.sun_family = AF_UNIX, .sun_path = {}};
		     (w / "s").string().copy(sa.sun_path, sizeof sa.sun_path - 1);
		     (void)::bind(::socket(AF_UNIX, SOCK_STREAM, 0),
		                  reinterpret_cast<sockaddr *>(&sa), sizeof sa);
		     if (::fork() == 0)
			     ::_exit(feed(w / "f", "fifo text") ? 0 : 1);
	     },
	     {"f", "g", "b", "n", "./n", "s"},
	     "upfirst: b_CAPIT.txt: is also an input of this run\n"
	     "upfirst: g: is also read by another path\n"
	     "upfirst: s: No such device or address\n",
	     {{"f_CAPIT.txt", "Fifo Text"}, {"n_CAPIT.txt", ""}}},
	    // /proc/thread-self leads each thread to files of its own.
	    {"an input that is another file when its worker opens it",
	     [](const fs::path &) {},
	     {"/proc/thread-self/comm"},
	     "upfirst: /proc/thread-self/comm: was replaced during the run\n",
	     {}},
	    // Under a soft limit of 5, one worker at a time would wait for a
	    // FIFO that is fed after the others: the soft limit is raised.
	    {"FIFOs fed last-first under a soft descriptor limit",
	     [](const fs::path &w) {
		     for (const char *p : {"p0", "p1", "p2", "p3"})
			     ::mkfifo((w / p).c_str(), 0600);
		     if (::fork() == 0)
			     ::_exit(feed(w / "p3", "p3") && feed(w / "p2", "p2") &&
			                     feed(w / "p1", "p1") && feed(w / "p0", "p0")
			                 ? 0
			                 : 1);
	     },
	     {"p0", "p1", "p2", "p3"},
	     "",
	     {{"p0_CAPIT.txt", "P0"}, {"p3_CAPIT.txt", "P3"}},
	     {.limits = {{RLIMIT_NOFILE, 5, 20}}, .timeout = 60}},
	    // b's worker may not open its input at first (told 100 ms late, when
	    // f's worker surely holds its share): it waits for f's to end, and
	    // tries again.
	    {"no descriptor for an input while another worker holds its own",
	     [](const fs::path &w) {
		     ::mkfifo((w / "f").c_str(), 0600);
		     if (::fork() == 0)
			     ::_exit(wait_until([&w] { return fs::exists(w / "fault.log"); }) &&
			                     feed(w / "f", "f")
			                 ? 0
			                 : 1);
	     },
	     {"f", "b"},
	     "",
	     {{"b_CAPIT.txt", model(b)}, {"fault.log", "open ENFILE\n"}},
	     {.fault = "open:b:1:ENFILE:100"},
	     plain_build},
	    // Once the launch is over (y has a reader), a neighbour deletes e;
	    // the next new file, z's copy, gets its number.
	    {"an input deleted during the run",
	     [](const fs::path &w) {
		     spit(w / "e", "e");
		     fs::create_hard_link(w / "e", w / "e_CAPIT.txt");
		     for (const char *fifo : {"y", "z"})
			     ::mkfifo((w / fifo).c_str(), 0600);
		     if (::fork() == 0)
			     ::_exit(feed(w / "y", "") && fs::remove(w / "e") &&
			                     fs::remove(w / "e_CAPIT.txt") && feed(w / "z", "zz")
			                 ? 0
			                 : 1);
	     },
	     {"e", "y", "z"},
	     "upfirst: e_CAPIT.txt: is the input file itself\n",
	     {{"y_CAPIT.txt", ""}, {"z_CAPIT.txt", "Zz"}},
	     {},
	     reuses_inodes},
	    // Two nodes of one block device, which no driver serves.
	    {"a block device by two names",
	     [](const fs::path &w) {
		     for (const char *node : {"disk", "disk_CAPIT.txt"})
			     ::mknod((w / node).c_str(), S_IFBLK | 0600, makedev(0, 1));
	     },
	     {"disk"},
	     "upfirst: disk_CAPIT.txt: is the input file itself\n",
	     {},
	     {},
	     needs_root},
	    // Each open makes a terminal whose other side nobody holds.
	    {"a pseudo-terminal master, and a link to itself, as copies",
	     [](const fs::path &w) {
		     spit(w / "c", "c");
		     fs::create_symlink("/dev/ptmx", w / "c_CAPIT.txt");
		     spit(w / "l", "l");
		     fs::create_symlink("l_CAPIT.txt", w / "l_CAPIT.txt");
	     },
	     {"c", "l", "a"},
	     "upfirst: c_CAPIT.txt: is a pseudo-terminal master\n"
	     "upfirst: l_CAPIT.txt: Too many levels of symbolic links\n",
	     {{"a_CAPIT.txt", model(a)}}},
	    // A devpts of the run's own whose one terminal is held: no master is opened.
	    {"a pseudo-terminal master with no terminal left",
	     [](const fs::path &w) {
		     fs::create_directory(w / "pts");
		     fs::create_symlink("pts/ptmx", w / "b_CAPIT.txt");
	     },
	     {"b", "a"},
	     "upfirst: b_CAPIT.txt: is a pseudo-terminal master\n",
	     {{"a_CAPIT.txt", model(a)}},
	     {.devpts = "pts"}},
	    // The terminal that the log is shown on, by /dev/tty and by its own node.
	    {"the log's terminal named twice as an input",
	     [](const fs::path &w) {
		     fs::create_symlink("/dev/tty", w / "t1");
		     fs::create_symlink("/dev/stdout", w / "t2");
	     },
	     {"t1", "t2"},
	     "upfirst: t2: is also read by another path\n",
	     {{"t1_CAPIT.txt", "Typed\n"}},
	     {.stdout_tty = true, .typed = "typed\n\x04\x04"}},
	    // The launch decides, whichever worker would open first.
	    {"links to a copy not made yet, a's worker first",
	     links_to_a_copy,
	     {"a", "c", "b"},
	     "upfirst: b_CAPIT.txt: not writing through dangling symlink\n"
	     "upfirst: c_CAPIT.txt: not writing through dangling symlink\n",
	     {{"a_CAPIT.txt", model(a)}},
	     {.fault = "open:c:1:ok:300,open:b:1:ok:300"},
	     plain_build},
	    {"links to a copy not made yet, a's worker last",
	     links_to_a_copy,
	     {"a", "c", "b"},
	     "upfirst: b_CAPIT.txt: not writing through dangling symlink\n"
	     "upfirst: c_CAPIT.txt: not writing through dangling symlink\n",
	     {{"a_CAPIT.txt", model(a)}},
	     {.fault = "open:a:1:ok:300"},
	     plain_build},
	    // a's copy, deleted once whole, frees its inode number for b's, made later.
	    {"a new copy with a number freed during the run",
	     [](const fs::path &w) {
		     fs::remove(w / "a_CAPIT.txt");
		     if (::fork() != 0)
			     return;
		     struct stat st = {};
		     const auto at = [&](const char *name) {
			     return ::stat((w / name).c_str(), &st) == 0 ? st.st_ino : 0;
		     };
		     wait_until([&] { return at("a_CAPIT.txt") != 0 && st.st_size == 1 << 20; });
		     const ino_t freed = at("a_CAPIT.txt");
		     fs::remove(w / "a_CAPIT.txt");
		     wait_until([&] { return at("b_CAPIT.txt") != 0; });
		     spit(w / "number", at("b_CAPIT.txt") == freed ? "reused" : "new");
		     ::_exit(0);
	     },
	     {"a", "b"},
	     "",
	     {{"b_CAPIT.txt", model(b)}, {"number", "reused"}},
	     {.fault = "open:a_CAPIT.txt:1:ok:100,open:b_CAPIT.txt:1:ok:400"},
	     no_birth_times},
	    // Forty FIFOs hold their workers, while eight copies find no descriptor; before each
	    // FIFO is fed, a neighbour puts a new file at every one of the eight names.
	    {"copies replaced while their workers wait for descriptors",
	     [](const fs::path &w) {
		     for (int i = 0; i < 40; i++)
			     ::mkfifo((w / numbered("f", i)).c_str(), 0600);
		     for (int i = 0; i < 8; i++) {
			     spit(w / (numbered("", i) + "r"), "r");
			     spit(w / (numbered("", i) + "r_CAPIT.txt"), "old");
		     }
		     if (::fork() != 0)
			     return;
		     wait_until([&w] { return lines(slurp(w / "fault.log")).size() >= 8; });
		     for (int i = 0, kept = 0; i < 40; i++, ::usleep(5000)) {
			     for (int j = 0; j < 8; j++) {
				     spit(w / "t", "");
				     fs::create_hard_link(w / "t", w / numbered("kept", kept++));
				     fs::rename(w / "t", w / (numbered("", j) + "r_CAPIT.txt"));
			     }
			     feed(w / numbered("f", i), "");
		     }
		     ::_exit(0);
	     },
	     [] {
		     std::vector<std::string> v(48);
		     for (int i = 0; i < 48; i++)
			     v[i] = i < 40 ? numbered("f", i) : numbered("", i - 40) + "r";
		     return v;
	     }(),
	     [] {
		     std::string e;
		     for (int i = 0; i < 8; i++)
			     e += "upfirst: " + numbered("", i) +
			          "r_CAPIT.txt: changed during the run\n";
		     return e;
	     }(),
	     {{"f39_CAPIT.txt", ""}},
	     {.fault = "open:r_CAPIT.txt:1+:ENFILE", .timeout = 60},
	     plain_build},
	};
	std::string skipped; // the rows that could not run here, and why
	for (const auto &row : rows) {
		SCOPED_TRACE(row.what);
		scratch_dir w;
		if (const char *why = row.cannot != nullptr ? row.cannot(w.path()) : nullptr) {
			skipped += row.what + ": "s + why + "; ";
			continue;
		}
		spit(w / "a", a);
		spit(w / "b", b);
		spit(w / "a_CAPIT.txt", model(a));
		spit(w / "log", "");
		row.setup(w.path());
		const std::string log = w / "log";
		run_opts o = row.log;
		o.dir = w.path();
		if (!o.stdout_pipe && !o.stdout_tty)
			o.stdout_path = log.c_str();
		const result r = run(UPFIRST, row.args, o);
		if (r.status == no_namespace) {
			skipped += row.what + ": no mount namespace of its own; "s;
			continue;
		}
		while (::wait(nullptr) > 0) {
		}
		EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
		EXPECT_EQ(sorted_lines(r.err), row.err);
		for (const auto &[name, text] : row.want)
			if (text == "-")
				EXPECT_FALSE(fs::exists(w / name)) << name;
			else
				expect_text(slurp(w / name), text, name);
		EXPECT_EQ(slurp(w / "a"), a);
		if (row.args[0] != "log")
			expect_log(o.stdout_path != nullptr ? slurp(w / "log") : r.out, row.args);
		::umount2(w.path().c_str(), MNT_DETACH);
		fs::remove(w.path().string() + ".img");
	}
	if (!skipped.empty())
		GTEST_SKIP() << skipped;
}

TEST_F(Upfirst, FailedWriteIsReported)
{
	// x's copy fails as the row makes it fail; y is copied all the same.
	const struct {
		const char *fault;
		const char *copy; // before the run: what a link leads to, "old", or none
		const char *err;
	} rows[] = {
	    {nullptr, "/dev/full", "x.txt_CAPIT.txt: No space left on device"},
	    {"write:x.txt_CAPIT.txt:1:0", nullptr, "x.txt_CAPIT.txt: No space left on device"},
	    {"close:x.txt_CAPIT.txt:1:EIO", nullptr, "x.txt_CAPIT.txt: Input/output error"},
	    {"ftruncate:x.txt_CAPIT.txt:1:EIO", "old", "x.txt_CAPIT.txt: Input/output error"},
	    // As from an unwritable directory: the copy cannot be created.
	    {"open:x.txt_CAPIT.txt:1:EACCES", nullptr, "x.txt_CAPIT.txt: Permission denied"},
	    {"open:x.txt:1:EACCES", nullptr, "x.txt: Permission denied"}, // stat() found it
	};
	spit(d / "x.txt", std::string(100000, 'x'));
	spit(d / "y.txt", "y");
	for (const auto &row : rows) {
		if (row.fault != nullptr && sanitized)
			continue; // the sanitizers must be loaded first
		fs::remove(d / "x.txt_CAPIT.txt");
		if (row.copy != nullptr && row.copy != "old"sv)
			fs::create_symlink(row.copy, d / "x.txt_CAPIT.txt");
		else if (row.copy != nullptr)
			spit(d / "x.txt_CAPIT.txt", "old");
		const result r = up({"x.txt", "y.txt"}, {.fault = row.fault});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "upfirst: "s + row.err + "\n");
		expect_log(r.out, {"x.txt", "y.txt"});
		EXPECT_EQ(slurp(d / "y.txt_CAPIT.txt"), "Y");
	}
}

TEST_F(Upfirst, LongPaths)
{
	// Deeper than any fixed 1000-byte buffer, and still within PATH_MAX.
	const std::string part(200, 'd');
	std::string deep;
	for (int i = 0; i < 8; i++) {
		deep += part + "/";
		fs::create_directory(d / deep);
	}
	deep += "file.txt";
	spit(d / deep, "deep inside");
	// A name whose copy name is longer than a name may be.
	const std::string wide(250, 'w');
	spit(d / wide, "wide");
	// A path whose copy name does not fit in PATH_MAX: ./././...
	std::string dots;
	while (dots.size() + 2 + wide.size() < PATH_MAX - 5)
		dots += "./";
	const result r = up({deep, wide, dots + wide});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(sorted_lines(r.err),
	          sorted_lines("upfirst: " + wide + "_CAPIT.txt: File name too long\n" +
	                       "upfirst: " + dots + wide + "_CAPIT.txt: File name too long\n"));
	EXPECT_EQ(slurp(d / (deep + "_CAPIT.txt")), "Deep Inside");
	expect_log(r.out, {deep, wide, dots + wide});
}

TEST_F(Upfirst, RefusedThreadsWaitForRoom)
{
	SKIP_IF_SANITIZED();
	if (const char *why = no_task_limit(UPFIRST, true))
		GTEST_SKIP() << why;
	// Only three workers may run at once; large files keep the first ones
	// busy while more are started.
	std::vector<std::pair<std::string, std::string>> want;
	std::vector<std::string> texts;
	for (int i = 0; i < 40; i++) {
		texts.push_back(std::string(1 << 20, 'w'));
		want.emplace_back(numbered("in", i), "W" + texts.back().substr(1));
	}
	expect_copies(want, texts, {.tasks = 4});
}

TEST_F(Upfirst, NoThreadAtAllIsReported)
{
	SKIP_IF_SANITIZED();
	if (const char *why = no_task_limit(UPFIRST, false))
		GTEST_SKIP() << why;
	spit(d / "a.txt", "a");
	// A name that could break its diagnostic line is quoted.
	const result r = up({"a.txt", "new\nline\1\"\\"}, no_room_for_a_thread(d.path()));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: a.txt: cannot start a thread: Resource temporarily unavailable\n"
	                 "upfirst: \"new\\nline\\001\\\"\\\\\": cannot start a thread: Resource "
	                 "temporarily unavailable\n");
	EXPECT_EQ(r.out, "Terminat toate thread-urile\n");
	EXPECT_FALSE(fs::exists(d / "a.txt_CAPIT.txt"));
}

TEST_F(Upfirst, CopiesAreFinishedWhenTheLogFails)
{
	// Many files, the first of them long, so that the log is flushed
	// while copies are open.
	constexpr int files = 300;
	const auto tail = [](int i) { return std::string(i == 0 ? 4 << 20 : 20000, 'x'); };
	std::vector<std::string> paths;
	for (int i = 0; i < files; i++) {
		paths.push_back(numbered("p", i));
		spit(d / paths.back(), numbered("some words ", i) + " " + tail(i));
	}
	const auto expect_all_copied = [&] {
		for (int i = 0; i < files; i++)
			expect_text(slurp(d / (paths[i] + "_CAPIT.txt")),
			            numbered("Some Words ", i) + " X" + tail(i).substr(1),
			            paths[i]);
		for (const auto &p : paths)
			fs::remove(d / (p + "_CAPIT.txt"));
	};
	result r = up(paths, {.stdout_gone = true});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: standard output: Broken pipe\n");
	expect_all_copied();

	r = up(paths, {.stdout_path = "/dev/full"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: standard output: No space left on device\n");
	expect_all_copied();
	// A log small enough to fail only at its last flush.
	r = up({"p1"}, {.stdout_path = "/dev/full"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: standard output: No space left on device\n");

	// With descriptors 0 and 1 closed, the first copy opened would be
	// given descriptor 1; the log must not end up inside it.
	r = up(paths, {.std_closed = true});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "upfirst: standard output: Bad file descriptor\n");
	expect_all_copied();
	// No descriptor to hold closed ones with.
	if (!sanitized) {
		r = up({"p1"}, {.std_closed = true, .fault = "open:*:1:EMFILE"});
		EXPECT_EQ(r.err, "upfirst: cannot hold closed descriptor 0: Too many open files\n");
		EXPECT_EQ(r.status, 1);
	}
	// What holds descriptor 1 meanwhile is no log that a path could name.
	r = up({"/"}, {.std_closed = true});
	EXPECT_EQ(r.err,
	          "upfirst: /: Is a directory\nupfirst: standard output: Bad file descriptor\n");
}

} // namespace
