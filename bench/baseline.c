// SPDX-License-Identifier: ISC
/* The straightforward rendering that upfirst is measured against: one
   thread per file, each reading a line at a time with fgets into 1000 bytes,
   finding spaces with strchr and writing with fputs. */
#include <ctype.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>

static pthread_t tid[1000];

static void *make_cap(void *arg)
{
	const char *nume_in = arg;
	char nume_out[1000], line[1000];
	FILE *fi, *fo;
	char *p;

	printf("Threadul: %ld ..> %s\n", (long)pthread_self(), nume_in);
	snprintf(nume_out, sizeof nume_out, "%s_CAPIT.txt", nume_in);
	fi = fopen(nume_in, "r");
	fo = fopen(nume_out, "w");
	while (fgets(line, sizeof line, fi) != NULL) {
		if (line[0] == '\0')
			continue;
		line[0] = (char)toupper((unsigned char)line[0]);
		for (p = line; (p = strchr(p, ' ')) != NULL;) {
			p++;
			if (*p == '\n')
				break;
			*p = (char)toupper((unsigned char)*p);
		}
		fputs(line, fo);
	}
	fclose(fi);
	fclose(fo);
	printf("Terminat threadul: %ld ...> %s\n", (long)pthread_self(), nume_in);
	return NULL;
}

int main(int argc, char *argv[])
{
	int i;

	(void)argc;
	for (i = 1; argv[i] != NULL; i++) {
		pthread_create(&tid[i], NULL, make_cap, argv[i]);
		printf("Creat threadul: %ld ...> %s\n", (long)tid[i], argv[i]);
	}
	for (i = 1; argv[i] != NULL; i++)
		pthread_join(tid[i], NULL);
	if (argv[1] != NULL)
		puts("Terminat toate thread-urile");
	return 0;
}
