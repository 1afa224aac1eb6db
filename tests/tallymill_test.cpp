// SPDX-License-Identifier: ISC
#include "run.h"

#include <gtest/gtest.h>

namespace {

TEST(Tallymill, PrintsTheExactTotal)
{
	// Arguments are not read, and no run may lose an update.  Under
	// ThreadSanitizer one run takes over a minute: it is made once, here.
	const result r = run(TALLYMILL, {"--help", "42"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100000000\n");
	EXPECT_EQ(r.err, "");
	for (int i = 0; i < (thread_sanitized ? 0 : 2); i++)
		EXPECT_EQ(run(TALLYMILL, {}).out, "100000000\n");
	// The smallest stack that ulimit -s gives, for the main thread too, and
	// an address space that holds this build's threads only on small stacks.
	if (!sanitized) {
		EXPECT_EQ(run(TALLYMILL, {}, {.limits = {{RLIMIT_STACK, 16 << 10}}}).out,
		          "100000000\n");
#ifndef COVERAGE_BUILD
		EXPECT_EQ(run(TALLYMILL, {}, {.limits = {{RLIMIT_AS, 2440 << 10}}}).out,
		          "100000000\n");
#endif
	}
}

TEST(Tallymill, RefusedThreadsWaitForRoom)
{
	SKIP_IF_SANITIZED();
	if (const char *why = no_task_limit(TALLYMILL, true))
		GTEST_SKIP() << why;
	// At most 49 threads at once, or one, in a directory that the child's
	// user owns.
	for (const int tasks : {50, 2}) {
		const scratch_dir d;
		const result r = run(TALLYMILL, {}, {.dir = d.path(), .tasks = tasks});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "100000000\n");
		EXPECT_EQ(r.err, "");
	}
}

TEST(Tallymill, NoThreadAtAllIsReported)
{
	SKIP_IF_SANITIZED();
	if (const char *why = no_task_limit(TALLYMILL, false))
		GTEST_SKIP() << why;
	const scratch_dir d;
	const result r = run(TALLYMILL, {}, no_room_for_a_thread(d.path()));
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "tallymill: cannot start a thread: Resource temporarily unavailable\n");
}

TEST(Tallymill, FailedOutputIsReported)
{
	if (thread_sanitized)
		GTEST_SKIP()
		    << "under ThreadSanitizer the counter runs once, in PrintsTheExactTotal";
	const struct {
		run_opts opts;
		const char *err;
	} rows[] = {
	    {{.stdout_path = "/dev/full"}, "tallymill: standard output: No space left on device\n"},
	    {{.stdout_gone = true}, "tallymill: standard output: Broken pipe\n"},
	};
	for (const auto &row : rows) {
		const result r = run(TALLYMILL, {}, row.opts);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, row.err);
		EXPECT_EQ(r.out, "");
	}
}

} // namespace
