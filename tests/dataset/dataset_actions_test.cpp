#include "dataset/dataset_actions.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTemporaryDir>

#include "common/dialog_recorder.h"
#include "common/finish_tasks.h"
#include "common/gui_app.h"
#include "dataset/split_config_dialog.h"
#include "dataset/test_files.h"
#include "imaging/image_files.h"

using orvane::dataset::export_and_split_dataset;
using orvane::dataset::run_health_check;
using orvane::dataset::show_dataset_analytics;
using orvane::dataset::SplitConfigDialog;

using orvane::test::DialogRecorder;
using orvane::test::finish_tasks;
using orvane::test::write_file;
using orvane::ui::MessageKind;

namespace {

class DatasetActions : public orvane::test::GuiTest {
 protected:
  QWidget window;
  DialogRecorder recorder;
  QTemporaryDir source, output;

  QString add_image(const QString& name, const QByteArray& label = {}, bool labelled = true) {
    const QString path = source.filePath(name);
    write_file(path, "image");
    if (labelled) write_file(orvane::label_path_for(path), label);
    return path;
  }
};

// Presses the dialog's Ok button, as the operator would.
void press_ok(QDialog& dialog) {
  dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}

}  // namespace

TEST_F(DatasetActions, SplitDialogDefaultsAndValidation) {
  SplitConfigDialog dialog(&window);
  EXPECT_EQ(dialog.windowTitle(), "Dataset Train/Val/Test Splitter");
  EXPECT_EQ(dialog.size(), QSize(320, 220));
  EXPECT_EQ(dialog.train_percent()->value(), 70);
  EXPECT_EQ(dialog.val_percent()->value(), 20);
  EXPECT_EQ(dialog.test_percent()->value(), 10);
  EXPECT_EQ(dialog.train_percent()->maximum(), 100);
  EXPECT_EQ(dialog.format_choice()->count(), 2);
  EXPECT_EQ(dialog.format_choice()->currentText(), "Detection (Bounding Boxes)");
  EXPECT_EQ(dialog.get_format(), "Detection");
  const auto form = dialog.findChild<QFormLayout*>();
  ASSERT_TRUE(form);
  EXPECT_EQ(qobject_cast<QLabel*>(form->itemAt(0, QFormLayout::LabelRole)->widget())->text(),
            "Train %:");

  dialog.train_percent()->setValue(60);  // totals 90
  press_ok(dialog);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(recorder.messages[0].title, "Invalid");
  EXPECT_EQ(recorder.messages[0].text, "Must total 100%.");
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.train_percent()->value(), 60);  // kept as entered

  dialog.val_percent()->setValue(30);
  dialog.format_choice()->setCurrentIndex(1);
  press_ok(dialog);
  EXPECT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const auto [train, val, test] = dialog.get_ratios();
  EXPECT_DOUBLE_EQ(train, 0.6);
  EXPECT_DOUBLE_EQ(val, 0.3);
  EXPECT_DOUBLE_EQ(test, 0.1);
  EXPECT_EQ(dialog.get_format(), "Segmentation");
}

TEST_F(DatasetActions, ExportStopsQuietlyWhenNothingToDoOrCancelled) {
  export_and_split_dataset(&window, {}, {"bolt"});
  finish_tasks(window);
  EXPECT_EQ(recorder.dialogs_run, 0);

  const QStringList images{add_image("a.png", "0 0 0 1 1\n")};
  export_and_split_dataset(&window, images, {"bolt"});  // dialog cancelled
  finish_tasks(window);
  EXPECT_EQ(recorder.dialogs_run, 1);
  EXPECT_TRUE(recorder.messages.empty());

  recorder.dialog_actions.push_back([](QDialog& d) { return press_ok(d), d.result(); });
  export_and_split_dataset(&window, images, {"bolt"});  // folder choice cancelled
  finish_tasks(window);
  EXPECT_EQ(recorder.dialogs_run, 2);
  EXPECT_TRUE(recorder.messages.empty());
  EXPECT_TRUE(QDir(output.path()).isEmpty());
}

TEST_F(DatasetActions, ExportWithoutAnnotationsWarnsAndCreatesNothing) {
  const QStringList images{add_image("a.png", {}, false), add_image("b.png", {}, false)};
  recorder.dialog_actions.push_back([](QDialog& d) { return press_ok(d), d.result(); });
  recorder.directories.push_back(output.path());
  export_and_split_dataset(&window, images, {});
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].kind, MessageKind::Warning);
  EXPECT_EQ(recorder.messages[0].title, "No Annotations");
  EXPECT_EQ(recorder.messages[0].text, "No annotated files found to split.");
  EXPECT_TRUE(QDir(output.path()).isEmpty());
}

TEST_F(DatasetActions, ExportWritesTheSplitAndReportsTheFolder) {
  QStringList images;
  for (int i = 0; i < 10; ++i)
    images << add_image(QStringLiteral("p%1.png").arg(i), "0 0.1 0.2 0.3 0.4 0.2 0.6\n");
  recorder.dialog_actions.push_back([](QDialog& d) {
    auto& split = static_cast<SplitConfigDialog&>(d);
    split.train_percent()->setValue(0);
    split.val_percent()->setValue(0);
    split.test_percent()->setValue(100);
    split.format_choice()->setCurrentIndex(1);  // segmentation: labels copied unchanged
    press_ok(d);
    return d.result();
  });
  recorder.directories.push_back(output.path());
  export_and_split_dataset(&window, images, {"bolt"});
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].kind, MessageKind::Information);
  EXPECT_EQ(recorder.messages[0].title, "Export Complete");
  EXPECT_EQ(recorder.messages[0].text, "Exported dataset successfully to:\n" + output.path());
  EXPECT_EQ(QDir(output.filePath("test/labels")).entryList(QDir::Files).size(), 10);
  EXPECT_EQ(orvane::test::read_file(output.filePath("test/labels/p3.txt")),
            "0 0.1 0.2 0.3 0.4 0.2 0.6\n");
  EXPECT_TRUE(QFileInfo::exists(output.filePath("data.yaml")));
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(DatasetActions, FailedExportShowsTheCauseAndNoSuccess) {
  const QStringList images{add_image("a.png", "0 0.1 zero 0.3 0.4\n")};
  recorder.dialog_actions.push_back([](QDialog& d) { return press_ok(d), d.result(); });
  recorder.directories.push_back(output.path());
  export_and_split_dataset(&window, images, {"bolt"});
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].kind, MessageKind::Critical);
  EXPECT_EQ(recorder.messages[0].title, "Error");
  EXPECT_TRUE(recorder.messages[0].text.contains(orvane::label_path_for(images[0])));
  EXPECT_TRUE(recorder.messages[0].text.contains("'zero' is not a number"));
  EXPECT_FALSE(QFileInfo::exists(output.filePath("data.yaml")));
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(DatasetActions, HealthCheckMessages) {
  run_health_check(&window, "");
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].title, "Health Check");
  EXPECT_EQ(recorder.messages[0].text, "Please load a dataset folder first.");

  add_image("a.png", "0 0 0 1 1\n0 0 0 1 1\n");
  add_image("b.png", {}, false);
  run_health_check(&window, source.path());
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_EQ(recorder.messages[1].kind, MessageKind::Information);
  EXPECT_EQ(recorder.messages[1].text,
            "🩺 Dataset QA Health Report:\n\nUnannotated Images: 1\nOrphaned Label Files: 0\n"
            "Overlapping Polygons/Boxes (Duplicates): 1\n\nMissing Annotations (Sample):\n"
            "['b.png']\n\nHigh IoU Overlaps:\n['a.txt (IoU > 90%)']");
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);

  // The folder went away after loading: the operator is told, the cursor is back.
  run_health_check(&window, source.filePath("gone"));
  finish_tasks(window);
  ASSERT_EQ(recorder.messages.size(), 3u);
  EXPECT_EQ(recorder.messages[2].kind, MessageKind::Warning);
  EXPECT_TRUE(recorder.messages[2].text.contains(source.filePath("gone")));
  EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(DatasetActions, AnalyticsMessagesAndBars) {
  show_dataset_analytics(&window, {}, {"bolt"});
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0].title, "Analytics");
  EXPECT_EQ(recorder.messages[0].text, "Load a dataset first.");

  QStringList images{add_image("none.png", {}, false)};
  show_dataset_analytics(&window, images, {"bolt"});
  ASSERT_EQ(recorder.messages.size(), 2u);
  EXPECT_EQ(recorder.messages[1].text, "No objects annotated yet.");
  EXPECT_EQ(recorder.dialogs_run, 0);

  images << add_image("a.png", "0 0 0\n0 0 0\n1 0 0\nnut 0 0\n")
         << add_image("b.png", "1 0 0\n1 0 0\n1 0 0\n1 0 0\n0 0 0\n7 0 0\n");
  QStringList rows;
  QList<int> values, maxima;
  QString title, note;
  recorder.dialog_actions.push_back([&](QDialog& d) {
    title = d.windowTitle();
    const auto* scroll = d.findChild<QScrollArea*>();
    for (const QLabel* label : scroll->widget()->findChildren<QLabel*>()) rows << label->text();
    for (const QProgressBar* bar : scroll->widget()->findChildren<QProgressBar*>()) {
      values << bar->value();
      maxima << bar->maximum();
    }
    if (const auto* skipped = d.findChild<QLabel*>("lbl_skipped")) note = skipped->text();
    return int(QDialog::Accepted);
  });
  show_dataset_analytics(&window, images, {"bolt", "nut"});
  EXPECT_EQ(recorder.dialogs_run, 1);
  EXPECT_EQ(title, "Dataset Class Distribution");
  EXPECT_EQ(rows, (QStringList{"nut (5)", "bolt (3)"}));
  EXPECT_EQ(values, (QList<int>{5, 3}));
  EXPECT_EQ(maxima, (QList<int>{5, 5}));
  EXPECT_EQ(note, "Skipped 1 line whose class id is not an integer.");
}
