// SPDX-License-Identifier: ISC
/* The straightforward rendering that tallymill is measured against: 1000
   threads, one pthread mutex taken around every single addition. */
#include <pthread.h>
#include <stdio.h>

static int n;
static pthread_mutex_t mtx;

static void *f(void *p)
{
	int i;

	(void)p;
	for (i = 0; i < 100000; i++) {
		pthread_mutex_lock(&mtx);
		n++;
		pthread_mutex_unlock(&mtx);
	}
	return NULL;
}

int main(void)
{
	pthread_t t[1000];
	int i;

	pthread_mutex_init(&mtx, NULL);
	for (i = 0; i < 1000; i++)
		pthread_create(&t[i], NULL, f, NULL);
	for (i = 0; i < 1000; i++)
		pthread_join(t[i], NULL);
	pthread_mutex_destroy(&mtx);
	printf("%d\n", n);
	return 0;
}
