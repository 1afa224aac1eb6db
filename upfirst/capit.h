// SPDX-License-Identifier: ISC
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
[[gnu::always_inline]] constexpr inline unsigned char
cap_plain(std::span<const unsigned char> in, std::span<unsigned char> out, unsigned char prev)
{
	const std::size_t len = in.size();
	if (len == 0)
		return prev;
	const unsigned char *src = in.data();
	unsigned char *dst = out.data();
	dst[0] = cap_byte(prev, src[0]);
#if defined(__GNUC__) && !defined(__clang__)
	// GCC's loop of one vector an iteration is bound by the loop itself;
	// two double the speed.  (Clang unrolls on its own, and would not
	// vectorize with the pragma.)
#pragma GCC unroll 2
#endif
	for (std::size_t i = 1; i < len; i++)
		dst[i] = cap_byte(src[i - 1], src[i]);
	return src[len - 1];
}

using cap_fn = unsigned char (*)(std::span<const unsigned char>, std::span<unsigned char>,
                                 unsigned char);

// The same loop compiled for wider vectors, so that a portable build still
// uses what the CPU has.  AVX-512BW is left out on purpose: its loop is a
// fifth faster on its own, but whole copies with it were slower than with
// AVX2 on the AVX-512 machine measured.
inline unsigned char cap_generic(std::span<const unsigned char> in, std::span<unsigned char> out,
                                 unsigned char prev)
{
	return cap_plain(in, out, prev);
}
#if defined(__x86_64__)
[[gnu::target("avx2")]] inline unsigned char
cap_avx2(std::span<const unsigned char> in, std::span<unsigned char> out, unsigned char prev)
{
	return cap_plain(in, out, prev);
}
#endif

struct cap_version {
	const char *name;
	cap_fn fn;
};

// The versions that this CPU can run, the widest first: upfirst uses the
// first, and the tests run every one.  (Safe in static initializers, which
// may run before libgcc has read the CPU.)
inline std::span<const cap_version> cap_versions() noexcept
{
	static const cap_version all[] = {
#if defined(__x86_64__)
		{"avx2", cap_avx2},
#endif
		{"generic", cap_generic},
	};
	std::span<const cap_version> v = all;
#if defined(__x86_64__)
	__builtin_cpu_init();
	if (__builtin_cpu_supports("avx2") == 0)
		v = v.subspan(1);
#endif
	return v;
}

// Chosen once, at start-up, before any thread: no call needs a lock or a
// check.
inline const cap_fn cap_block = cap_versions().front().fn;
