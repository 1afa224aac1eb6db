// SPDX-License-Identifier: ISC
/* What upfirst's design costs before any file is touched: one thread per
   path, all started before any is joined, and the same log lines.  Built
   with STACK defined, each thread gets a stack of that many bytes, carved
   as upfirst carves its workers' stacks from one mapping with a guard page
   under each, instead of the default (the stack limit) made by the thread
   library. */
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

static pthread_t tid[1000];

static void *make_cap(void *nume_in)
{
	printf("Threadul: %ld ..> %s\n", (long)pthread_self(), (char *)nume_in);
	printf("Terminat threadul: %ld ...> %s\n", (long)pthread_self(), (char *)nume_in);
	return NULL;
}

int main(int argc, char *argv[])
{
	pthread_attr_t attr;
	int i;
	char *stacks = NULL;
	size_t stride = 0, guard = (size_t)sysconf(_SC_PAGESIZE);

	(void)argc;
	pthread_attr_init(&attr);
#ifdef STACK
	stride = STACK + guard;
	stacks = mmap(NULL, (size_t)argc * stride, PROT_READ | PROT_WRITE,
	              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
	if (stacks == MAP_FAILED)
		return 1;
	for (i = 0; i < argc; i++)
		mprotect(stacks + (size_t)i * stride, guard, PROT_NONE);
#endif
	for (i = 1; argv[i] != NULL; i++) {
		if (stacks != NULL)
			pthread_attr_setstack(&attr, stacks + (size_t)i * stride + guard,
			                      stride - guard);
		pthread_create(&tid[i], &attr, make_cap, argv[i]);
		printf("Creat threadul: %ld ...> %s\n", (long)tid[i], argv[i]);
	}
	for (i = 1; argv[i] != NULL; i++)
		pthread_join(tid[i], NULL);
	if (argv[1] != NULL)
		puts("Terminat toate thread-urile");
	return 0;
}
