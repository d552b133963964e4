// The review in the annotator: run on the open folder, open the worst image, accept a prediction
// as one undoable saved edit, dismiss a finding, and find it still dismissed after reopening.

#include "review/review_flow.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QKeySequence>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QTableView>
#include <QTemporaryDir>
#include <fstream>

#include "annotator/annotator_tab.h"
#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "engine/pt_test_files.h"
#include "engine/shapes_data.h"
#include "review/review_list_model.h"
#include "review/review_overlay.h"
#include "review/review_panel.h"

using orvane::AnnotatorTab;

namespace orvane::review {
namespace {

namespace fs = std::filesystem;
using test::controls;
using test::state;

QByteArray read_file(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class ReviewFlowTest : public test::GuiTest {
 protected:
  QTemporaryDir tmp;
  QString folder = tmp.filePath("folder");
  QString weights = QString::fromStdString(engine::testing::real_weights().string());
  test::DialogRecorder dialogs;

  void SetUp() override {
    // The drawn shapes set, flattened into an annotator folder.
    const fs::path root = fs::path(tmp.filePath("drawn").toStdString());
    engine::make_dataset(root, /*polygons=*/false, 8, 96);
    fs::create_directories(folder.toStdString());
    for (const auto& entry : fs::directory_iterator(root / "images" / "train")) {
      const std::string stem = entry.path().stem().string();
      fs::copy_file(entry.path(), fs::path(folder.toStdString()) / entry.path().filename());
      fs::copy_file(root / "labels" / "train" / (stem + ".txt"),
                    fs::path(folder.toStdString()) / (stem + ".txt"));
    }
    std::ofstream(fs::path(folder.toStdString()) / "classes.txt") << "square\ndisc\n";
  }

  // Runs the review from the tab and waits for the list.
  void review(AnnotatorTab& tab) {
    QSignalSpy done(state(tab).review_flow, &ReviewFlow::review_finished);
    ASSERT_TRUE(state(tab).review_flow->start_review(weights));
    ASSERT_TRUE(done.wait(120000));
    ASSERT_TRUE(dialogs.messages.empty()) << dialogs.messages.front().text.toStdString();
  }
};

TEST_F(ReviewFlowTest, AcceptUndoDismissAndReopen) {
  QString image_path;
  {
    AnnotatorTab tab;
    tab.open_folder(folder);
    review(tab);
    // Pick an image the model agrees with, and delete its label: the model should ask for it back.
    const ReviewReport& clean = state(tab).review_flow->list_model()->report();
    for (const ImageReview& image : clean.images)
      if (image.findings.empty() && !image.predictions.empty()) image_path = image.image_path;
    ASSERT_FALSE(image_path.isEmpty());
  }
  const QString label_path =
      QFileInfo(image_path).path() + "/" + QFileInfo(image_path).completeBaseName() + ".txt";
  const QByteArray original = read_file(label_path);
  ASSERT_TRUE(QFile::remove(label_path));

  AnnotatorTab tab;
  tab.open_folder(folder);
  review(tab);
  ReviewFlow& flow = *state(tab).review_flow;
  ReviewPanel& panel = *flow.panel();
  ReviewListModel& model = *flow.list_model();
  const int image = model.image_index(image_path);
  ASSERT_GE(image, 0);
  ASSERT_GT(controls(panel).table_review->model()->rowCount(), 0);

  // Selecting the row opens the image, with its predictions drawn over the canvas.
  panel.select_image(image);
  QCoreApplication::processEvents();
  ASSERT_EQ(state(tab).document->image_path(), image_path);
  ASSERT_TRUE(flow.overlay() != nullptr);
  EXPECT_TRUE(flow.overlay()->isVisible());
  std::optional<Finding> f = panel.current_finding();
  ASSERT_TRUE(f.has_value());
  ASSERT_EQ(f->kind, Kind::Unlabelled);
  EXPECT_EQ(controls(panel).btn_accept->text(), "Accept prediction as label");

  // Accept: one step, saved at once, and the finding is gone from the list.
  const int steps = state(tab).document->undo_stack()->count();
  ASSERT_TRUE(flow.accept_current());
  EXPECT_EQ(state(tab).document->undo_stack()->count(), steps + 1);
  const QByteArray accepted = read_file(label_path);
  EXPECT_EQ(accepted.count('\n'), 1);
  EXPECT_TRUE(accepted.startsWith(original.left(2))) << accepted.toStdString();  // its class
  EXPECT_TRUE(model.visible_findings(image).empty());
  EXPECT_EQ(controls(panel).list_findings->count(), 0);

  // Undo from the review list's own window (its undo key): the label file is gone again and the
  // finding is back, without another inference.
  QShortcut* undo_key = nullptr;
  for (QShortcut* s : panel.findChildren<QShortcut*>())
    if (s->key() == QKeySequence(QKeySequence::Undo)) undo_key = s;
  ASSERT_NE(undo_key, nullptr);
  Q_EMIT undo_key->activated();
  EXPECT_FALSE(QFile::exists(label_path));
  ASSERT_EQ(model.visible_findings(image).size(), 1u);

  // Dismiss it: written beside the labels, hidden from the list.
  panel.select_image(image);
  ASSERT_TRUE(panel.current_finding().has_value());
  controls(panel).btn_dismiss->click();
  EXPECT_TRUE(model.visible_findings(image).empty());
  EXPECT_TRUE(read_file(folder + "/.orvane-review-dismissed.json")
                  .contains(QFileInfo(image_path).fileName().toUtf8() + "|possibly unlabelled|"));

  // Reopen the folder and review again: the finding stays dismissed, the labels are untouched.
  tab.open_folder(folder);
  review(tab);
  const int again = flow.list_model()->image_index(image_path);
  ASSERT_GE(again, 0);
  EXPECT_EQ(flow.list_model()->report().images[size_t(again)].findings.size(), 1u);
  EXPECT_TRUE(flow.list_model()->visible_findings(again).empty());
  EXPECT_FALSE(QFile::exists(label_path));
}

TEST_F(ReviewFlowTest, AModelThatDoesNotLoadIsOneMessage) {
  AnnotatorTab tab;
  tab.open_folder(folder);
  QSignalSpy done(state(tab).review_flow, &ReviewFlow::review_finished);
  ASSERT_TRUE(state(tab).review_flow->start_review(tmp.filePath("missing.pt")));
  ASSERT_TRUE(done.wait(60000));
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Review Failed");
  EXPECT_TRUE(dialogs.messages[0].text.contains("missing.pt"));
  EXPECT_FALSE(state(tab).review_flow->panel()->isVisible());
}

}  // namespace
}  // namespace orvane::review
