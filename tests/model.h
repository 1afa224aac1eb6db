// SPDX-License-Identifier: ISC
// The word-start rule as a reader states it, one byte at a time: the
// transformation is checked against this, not against itself.
#pragma once

#include <string>
#include <string_view>

inline std::string model(std::string_view s)
{
	std::string r(s);
	for (std::size_t i = 0; i < r.size(); i++) {
		const bool start = i == 0 || s[i - 1] == ' ' || s[i - 1] == '\n';
		if (start && s[i] >= 'a' && s[i] <= 'z')
			r[i] = static_cast<char>(s[i] - 'a' + 'A');
	}
	return r;
}
