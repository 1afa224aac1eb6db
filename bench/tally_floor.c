// SPDX-License-Identifier: ISC
/* The floor under tallymill: the same 100000000 lock and unlock pairs, made
   by one thread, so that the mutex is never contended. */
#include <pthread.h>
#include <stdio.h>

static int n;
static pthread_mutex_t mtx = PTHREAD_MUTEX_INITIALIZER;

int main(void)
{
	int i;

	for (i = 0; i < 100000000; i++) {
		pthread_mutex_lock(&mtx);
		n++;
		pthread_mutex_unlock(&mtx);
	}
	printf("%d\n", n);
	return 0;
}
