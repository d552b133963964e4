// The training form and `orvane train` take the same values: each bounded control of the form is
// tried at and just beyond its limits, and a value the form holds as given is one the command
// line's check lets through, while one the form will not hold is one the command line refuses.

#include <gtest/gtest.h>

#include <QDoubleSpinBox>
#include <QSpinBox>

#include <string>
#include <vector>

#include "cli/args.h"
#include "cli/value_ranges.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "training/training_config_tab.h"

using orvane::training::TrainingConfigTab;
using namespace orvane::test;

namespace {

// Whether the command line's range check lets key=value through.
bool command_line_takes(const std::string& key, const std::string& value) {
  const std::vector<orvane::cli::KeyHelp> keys{{key, "", ""}};
  try {
    orvane::cli::check_ranges(orvane::cli::Args({key + "=" + value}, keys), keys);
    return true;
  } catch (const orvane::cli::ArgError&) {
    return false;
  }
}

class FormRangesTest : public GuiTest {
 protected:
  TrainingConfigTab tab;
};

TEST_F(FormRangesTest, TheFormHoldsExactlyTheWholeNumbersTheCommandLineTakes) {
  const struct {
    const char* key;
    QSpinBox* box;
    std::vector<int> tries;
  } fields[] = {
      {"epochs", controls(tab).epochs_input, {-1, 0, 1, 2000, 2001}},
      {"batch", controls(tab).batch_input, {-2, -1, 0, 1, 256, 257}},
      {"workers", controls(tab).workers_input, {-2, -1, 0, 32, 33}},
      {"close_mosaic", controls(tab).close_mosaic_input, {-1, 0, 100, 101}},
  };
  for (const auto& f : fields)
    for (int v : f.tries) {
      f.box->setValue(v);
      EXPECT_EQ(f.box->value() == v, command_line_takes(f.key, std::to_string(v)))
          << f.key << "=" << v << " form holds " << f.box->value();
    }
}

TEST_F(FormRangesTest, TheFormHoldsExactlyTheLearningRatesTheCommandLineTakes) {
  const struct {
    const char* key;
    QDoubleSpinBox* box;
    std::vector<double> tries;
  } fields[] = {
      {"lr0", controls(tab).lr0_input, {-1, 0, 0.00001, 0.01, 1, 1.5, 50}},
      {"lrf", controls(tab).lrf_input, {-0.5, 0, 0.01, 1, 1.00001, 50}},
  };
  for (const auto& f : fields)
    for (double v : f.tries) {
      f.box->setValue(v);
      const std::string text = QString::number(v, 'g', 10).toStdString();
      EXPECT_EQ(f.box->value() == v, command_line_takes(f.key, text))
          << f.key << "=" << text << " form holds " << f.box->value();
    }
}

// 0 is no batch size: stepping down from 1 lands on -1 (the engine chooses), and up from -1 on 1.
TEST_F(FormRangesTest, TheBatchBoxStepsOverZero) {
  QSpinBox* batch = controls(tab).batch_input;
  batch->setValue(1);
  batch->stepDown();
  EXPECT_EQ(batch->value(), -1);
  batch->stepUp();
  EXPECT_EQ(batch->value(), 1);
}

// The image size is not refused below a multiple of 32: both sides round it, as the ecosystem
// does (the form steps by 32, the command line rounds up and says so); they agree on the limits.
TEST_F(FormRangesTest, TheImageSizeBoxHasTheTablesLimits) {
  const auto& range = *orvane::training::training_range("imgsz");
  EXPECT_EQ(controls(tab).imgsz_input->minimum(), int(range.min));
  EXPECT_EQ(controls(tab).imgsz_input->maximum(), int(range.max));
}

}  // namespace
