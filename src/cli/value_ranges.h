#pragma once
// The values a key may take, checked on the command line from the one table of ranges in
// training/training_defaults.h, the table the training form's spin boxes take their limits from:
// the form and the tool cannot disagree. No engine behind it, so the form's tests check the two
// side by side.

#include <string>
#include <vector>

#include "cli/args.h"
#include "training/training_defaults.h"

namespace orvane::cli {

// "more than 0 and at most 1", "from 1 to 256, or -1 to choose it": the values `range` admits.
std::string range_text(const training::ValueRange& range);

// "lr0=-1: the initial learning rate must be more than 0 and at most 1".
std::string range_refusal(const std::string& key, const std::string& value,
                          const training::ValueRange& range);

// Every key of `keys` with a row in the ranges table, except imgsz (see checked_imgsz), must
// hold a number of its kind within its range, given or default. Throws ArgError naming the
// first key in `keys` order that does not: "lr0=-1: the initial learning rate must be more than
// 0 and at most 1".
void check_ranges(const Args& args, const std::vector<KeyHelp>& keys);

// optimizer= must name one of training::kOptimizers (ArgError with the nearest one).
void check_optimizer(const std::string& optimizer);

}  // namespace orvane::cli
