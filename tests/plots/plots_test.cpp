// The chart renderer draws every chart of a run folder from its data files, and survives
// damaged ones.

#include "plots/plots.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

fs::path make_run(const std::string& name) {
  const fs::path dir =
      fs::temp_directory_path() / ("orvane_plots_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void write(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

// Fraction of pixels that are not white: a blank or nearly blank chart fails.
double ink(const QImage& image) {
  int dark = 0;
  for (int y = 0; y < image.height(); y += 2)
    for (int x = 0; x < image.width(); x += 2)
      if (qGray(image.pixel(x, y)) < 200) ++dark;
  return 4.0 * dark / (image.width() * image.height());
}

std::string curve(double (*f)(double)) {
  std::string out = "[";
  for (int i = 0; i < 1000; ++i) {
    if (i) out += ',';
    out += std::to_string(f(i / 999.0));
  }
  return out + "]";
}

}  // namespace

TEST(Plots, RendersEveryChartOfARunFolder) {
  const fs::path run = make_run("full");
  write(run / "results.csv",
        "                  epoch,         train/box_loss,     metrics/mAP50(B),   lr/pg0\r\n"
        "1, 2.5, 0.01, 0.001\r\n2, 2.1, 0.05, 0.002\r\n3, 1.9, 0.12, 0.003\r\n4, 1.7, 0.2, "
        "0.003\r\n");
  write(run / "confusion_matrix.json",
        R"({"names": ["cat", "dog"], "matrix": [[5, 1, 2], [0, 7, 1], [1, 0, 0]]})");
  std::string px = "[";
  for (int i = 0; i < 1000; ++i) {
    if (i) px += ',';
    px += std::to_string(i / 999.0);
  }
  px += "]";
  const std::string down = curve([](double x) { return 1.0 - x * x; });
  const std::string up = curve([](double x) { return x; });
  const std::string set = R"("classes": [0, 1], "ap50": [0.8, 0.6], "best_conf": [0.4], "p": [)" +
                          up + "," + up + R"(], "r": [)" + down + "," + down + R"(], "f1": [)" +
                          down + "," + up + R"(], "pr": [)" + down + "," + down + "]";
  write(run / "curves.json", R"({"names": ["cat", "dog"], "px": )" + px +
                                 R"(, "sets": [{"prefix": "Box", )" + set +
                                 R"(}, {"prefix": "Mask", )" + set + "}]}");

  const auto written = orvane::plots::render_run_folder(run);
  const std::vector<std::string> expected{
      "results.png",     "confusion_matrix.png", "confusion_matrix_normalized.png",
      "BoxF1_curve.png", "BoxP_curve.png",       "BoxR_curve.png",
      "BoxPR_curve.png", "MaskF1_curve.png",     "MaskPR_curve.png"};
  EXPECT_EQ(written.size(), 11u);
  for (const auto& name : expected) {
    const QImage image(QString::fromStdString((run / name).string()));
    ASSERT_FALSE(image.isNull()) << name;
    EXPECT_GT(image.width(), 600) << name;
    EXPECT_GT(ink(image), 0.005) << name;
  }
  // results.png: one panel per column except epoch (three here, in one row).
  const QImage results(QString::fromStdString((run / "results.png").string()));
  EXPECT_GT(results.width(), 2 * results.height());
  EXPECT_FALSE(fs::exists(run / "F1_curve.png"));  // only the prefixed sets were asked for
  if (!std::getenv("ORVANE_KEEP_PLOTS")) fs::remove_all(run);  // set it to look at the charts
}

TEST(Plots, DamagedOrMissingDataIsSkipped) {
  const fs::path run = make_run("damaged");
  write(run / "confusion_matrix.json", "{\"names\": [\"a\"], \"matrix\": [[1, 2]");  // cut short
  write(run / "curves.json", "not json at all");
  write(run / "results.csv", "epoch\n");  // a header and nothing else
  EXPECT_TRUE(orvane::plots::render_run_folder(run).empty());
  EXPECT_TRUE(orvane::plots::render_run_folder(run / "does_not_exist").empty());
  fs::remove_all(run);
}
