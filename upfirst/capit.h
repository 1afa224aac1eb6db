// The word-start rule of upfirst, kept apart from the I/O so that it can be
// tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <span>

// A byte starts a word when it is the first byte of the text or follows a
// space or a newline; a word start that is an ASCII lower-case letter is
// upper-cased, and every other byte is copied as it is.  Only a-z change,
// exactly as toupper() does in the POSIX locale.
constexpr bool starts_word(unsigned char prev)
{
	return prev == ' ' || prev == '\n';
}

constexpr unsigned char cap_byte(unsigned char prev, unsigned char c)
{
	const bool lower = static_cast<unsigned char>(c - 'a') < 26;
	return static_cast<unsigned char>(c - ((starts_word(prev) && lower) ? 0x20 : 0));
}

// Transforms one block: out[i] is in[i], capitalized if it starts a word.
// prev is the byte before the block ('\n' at the start of a file, so that its
// first byte counts as a word start); the result is the block's last byte,
// the prev of the next block.  out must hold in.size() bytes and must not
// overlap in: the loop then reads in[i - 1] and writes out[i] with no
// dependence between iterations, which the compiler turns into SIMD code.
constexpr unsigned char cap_block(std::span<const unsigned char> in, std::span<unsigned char> out,
                                  unsigned char prev)
{
	const std::size_t len = in.size();
	if (len == 0)
		return prev;
	const unsigned char *src = in.data();
	unsigned char *dst = out.data();
	dst[0] = cap_byte(prev, src[0]);
	for (std::size_t i = 1; i < len; i++)
		dst[i] = cap_byte(src[i - 1], src[i]);
	return src[len - 1];
}
