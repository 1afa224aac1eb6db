// SPDX-License-Identifier: ISC
// libFuzzer target: every version of the transformation that this CPU can
// run must match the rule byte for byte, however the input is split between
// two reads.
#include "capit.h"
#include "model.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	const std::span<const unsigned char> in(data, size);
	const std::string want = model({reinterpret_cast<const char *>(data), size});
	std::vector<unsigned char> out(size);
	const std::span<unsigned char> to(out);
	for (const cap_version &v : cap_versions()) {
		for (std::size_t k = 0; k <= size; k++) {
			const unsigned char prev = v.fn(in.first(k), to.first(k), '\n');
			if (v.fn(in.subspan(k), to.subspan(k), prev) != data[size - 1] ||
			    std::memcmp(out.data(), want.data(), size) != 0)
				std::abort();
		}
	}
	return 0;
}
