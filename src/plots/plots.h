#pragma once
// Run-folder charts drawn with QPainter on QImage (Qt Gui only, no widgets, no display):
// results.png from results.csv, confusion matrices from confusion_matrix.json, and the
// F1/P/R/PR curves from curves.json.

#include <filesystem>
#include <string>
#include <vector>

namespace orvane::plots {

// (Re)draws every chart whose data file exists in `run_dir` and returns the files written.
// Needs a QGuiApplication; when the process has no application object yet it creates an
// offscreen one (tools without a GUI call this from their main thread). Never throws: a data
// file that does not parse is skipped with a line on standard error.
std::vector<std::filesystem::path> render_run_folder(const std::filesystem::path& run_dir);

// Single charts, for tests and tools. Return false when the data is unusable or writing failed.
bool render_results(const std::filesystem::path& csv, const std::filesystem::path& png);
bool render_confusion(const std::filesystem::path& json, const std::filesystem::path& png,
                      bool normalized);
// Writes <prefix>F1_curve.png, <prefix>PR_curve.png, <prefix>P_curve.png, <prefix>R_curve.png
// for every set in the file into `dir`.
std::vector<std::filesystem::path> render_curves(const std::filesystem::path& json,
                                                 const std::filesystem::path& dir);

// tune_fitness.png from a tuning search's tune_results.csv (first column "fitness", one row per
// iteration): fitness per iteration with the best iteration marked.
bool render_tune_fitness(const std::filesystem::path& csv, const std::filesystem::path& png);

}  // namespace orvane::plots
