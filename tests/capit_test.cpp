// SPDX-License-Identifier: ISC
#include "capit.h"
#include "model.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

// Found by GoogleTest beside cap_version itself.
void PrintTo(const cap_version &v, std::ostream *os)
{
	*os << v.name;
}

namespace {

// Every test runs once for each version of the transformation that this CPU
// can run, each checked against the rule on its own.
class Capit : public ::testing::TestWithParam<cap_version> {
protected:
	std::string cap(const std::string &s, const std::vector<std::size_t> &cuts = {}) const;
};

// Runs the transformation over s cut into reads of the given sizes, carrying
// the last byte across as a copy loop does.
std::string Capit::cap(const std::string &s, const std::vector<std::size_t> &cuts) const
{
	std::vector<unsigned char> in(s.begin(), s.end());
	std::vector<unsigned char> out(in.size());
	unsigned char prev = '\n';
	std::size_t at = 0;
	auto piece = [&](std::size_t len) {
		prev = GetParam().fn(std::span(in).subspan(at, len),
		                     std::span(out).subspan(at, len), prev);
		at += len;
	};
	for (const std::size_t c : cuts)
		piece(c);
	piece(in.size() - at);
	return {out.begin(), out.end()};
}

TEST_P(Capit, WordStarts)
{
	const std::pair<std::string, std::string> cases[] = {
	    {"the quick brown fox\n", "The Quick Brown Fox\n"},
	    {"hELLO wORLD\n", "HELLO WORLD\n"},
	    {"x\ty\n", "X\ty\n"},
	    {"well-known fact\n", "Well-known Fact\n"},
	    {" lead\n", " Lead\n"},
	    {"a  b\n", "A  B\n"},
	    {"tail \n", "Tail \n"},
	    {"1st place\n", "1st Place\n"},
	    {"\xc3\xa9t\xc3\xa9 est ici\n", "\xc3\xa9t\xc3\xa9 Est Ici\n"},
	    {"one\r\ntwo\r\n", "One\r\nTwo\r\n"},
	    {"\n\nx", "\n\nX"},
	    {"no newline at end", "No Newline At End"},
	    {"(paren) [bracket] ,comma", "(paren) [bracket] ,comma"},
	    {"", ""},
	};
	for (const auto &[in, want] : cases)
		EXPECT_EQ(cap(in), want) << "input: " << in;
}

TEST_P(Capit, OnlyAsciiLowerCaseChanges)
{
	// Every byte value after a space: only a-z may change, and by 0x20.
	std::string s;
	for (int c = 0; c < 256; c++) {
		s += ' ';
		s += static_cast<char>(c);
	}
	const std::string got = cap(s);
	ASSERT_EQ(got.size(), s.size());
	for (int c = 0; c < 256; c++) {
		const auto want = (c >= 'a' && c <= 'z') ? c - 0x20 : c;
		EXPECT_EQ(static_cast<unsigned char>(got[2 * c + 1]), want) << "byte " << c;
	}
}

TEST_P(Capit, NulBytesAreData)
{
	EXPECT_EQ(cap("ab\0cd e\0 f\n\0g"s), "Ab\0cd E\0 F\n\0g"s);
}

TEST_P(Capit, LongLinesOnlyWordStarts)
{
	// A 2500-letter word is one word, however it is read.
	const std::string s = std::string(2500, 'q') + " r\n";
	const std::string want = "Q" + std::string(2499, 'q') + " R\n";
	EXPECT_EQ(cap(s), want);
	EXPECT_EQ(cap(s, {999, 999}), want);
}

TEST_P(Capit, WordStartSplitAcrossReads)
{
	const std::string s = "alpha beta\ngamma  delta \nepsilon";
	const std::string want = model(s);
	for (std::size_t i = 0; i <= s.size(); i++)
		EXPECT_EQ(cap(s, {i}), want) << "split at " << i;
	EXPECT_EQ(cap(s, {0, 5, 0, 1, 1, 6}), want);
}

TEST_P(Capit, MatchesModelOnRandomText)
{
	// Few distinct bytes, so that spaces, newlines and letters meet often;
	// lengths cover several rounds of the widest vector loop, and its tail.
	std::mt19937 rng(12345); // NOLINT(cert-msc32-c,cert-msc51-cpp): the same text every run
	const std::string alphabet = "ab z\n\t\r-A\x80\xff\0"s;
	for (int round = 0; round < 300; round++) {
		std::string s(rng() % 600, ' ');
		for (char &c : s)
			c = alphabet[rng() % alphabet.size()];
		std::vector<std::size_t> cuts;
		for (std::size_t left = s.size(); left > 0;) {
			const std::size_t c = rng() % (left + 1);
			cuts.push_back(c);
			left -= c;
		}
		EXPECT_EQ(cap(s), model(s));
		EXPECT_EQ(cap(s, cuts), model(s));
	}
}

INSTANTIATE_TEST_SUITE_P(Versions, Capit, ::testing::ValuesIn(cap_versions()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
