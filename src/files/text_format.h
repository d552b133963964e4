#pragma once
// Plain text as every file of this program reads and writes it: lines with any line end, the
// native line end, JSON string literals and UTC timestamps. Plain C++ (no Qt), so the engine,
// the orvane tool and the Qt-side cores share one copy.

#include <string>
#include <string_view>
#include <vector>

namespace orvane::files {

// The lines of a text: LF, CR LF and a lone CR end a line; the line ends are not part of the
// lines, and a final line end does not start an extra line. The views point into `text`.
std::vector<std::string_view> split_lines(std::string_view text);

// The line end text files are written with: "\r\n" on Windows, "\n" elsewhere.
std::string_view native_line_end();

// `text` as a JSON string literal, quotes included: '"' and '\' escaped, LF, CR and tab as \n,
// \r, \t, other control characters as \u00XX; every other byte (UTF-8 included) as it is.
std::string json_quote(std::string_view text);

// The current time in UTC, ISO 8601 to the second: "2026-12-07T09:00:00Z".
std::string utc_timestamp();

// The entry of `known` closest to `word` by edit distance (insertions, deletions,
// substitutions and swaps of neighbours, letter case ignored) when it is at most `max_distance`
// edits away and nearer than every other entry; empty otherwise. For "did you mean" hints.
std::string nearest_name(const std::string& word, const std::vector<std::string>& known,
                         int max_distance = 2);

}  // namespace orvane::files
