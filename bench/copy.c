// SPDX-License-Identifier: ISC
/* The floor under upfirst's copying: the same files copied one after the
   other in one thread, each to PATH_CAPIT.txt with read and write of 128 KiB
   blocks and no transformation. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
	enum { block = 128 * 1024 };
	char *buf = malloc(block), name[4096];
	int i;

	for (i = 1; i < argc; i++) {
		int fi, fo;
		ssize_t got;

		snprintf(name, sizeof name, "%s_CAPIT.txt", argv[i]);
		fi = open(argv[i], O_RDONLY);
		fo = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
		if (buf == NULL || fi < 0 || fo < 0)
			return 1;
		while ((got = read(fi, buf, block)) > 0)
			if (write(fo, buf, (size_t)got) != got)
				return 1;
		if (got < 0 || close(fi) != 0 || close(fo) != 0)
			return 1;
	}
	return 0;
}
