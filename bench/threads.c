// SPDX-License-Identifier: ISC
/* What upfirst's design costs before any file is touched: one thread per
   path, all started before any is joined, and the same log lines.  Built
   with STACK defined, each thread gets a stack of that many bytes instead of
   the default (the stack limit). */
#include <pthread.h>
#include <stdio.h>

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

	(void)argc;
	pthread_attr_init(&attr);
#ifdef STACK
	pthread_attr_setstacksize(&attr, STACK);
#endif
	for (i = 1; argv[i] != NULL; i++) {
		pthread_create(&tid[i], &attr, make_cap, argv[i]);
		printf("Creat threadul: %ld ...> %s\n", (long)tid[i], argv[i]);
	}
	for (i = 1; argv[i] != NULL; i++)
		pthread_join(tid[i], NULL);
	if (argv[1] != NULL)
		puts("Terminat toate thread-urile");
	return 0;
}
