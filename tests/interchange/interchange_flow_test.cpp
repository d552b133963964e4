// The annotator's Import… and Export… buttons, answered through the dialog seam: the folder goes
// out to COCO, comes back into a new YOLO folder, opens, and its shapes are there.
#include "annotator/interchange_flow.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QSignalSpy>

#include "annotator/annotator_tab.h"
#include "annotator/convert_format_dialog.h"
#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "interchange/interchange_fixture.h"

using orvane::AnnotatorTab;
using orvane::ConvertFormatDialog;
using orvane::InterchangeFlow;

using namespace orvane;
using namespace orvane::test;

namespace {

class InterchangeFlowTest : public GuiTest {
 protected:
  QString at(const QString& name) const { return dir.filePath(name); }
  // The next format dialog picks `text` and is accepted.
  void pick(const QString& text) {
    dialogs.dialog_actions.push_back([text](QDialog& d) {
      auto* dialog = dynamic_cast<ConvertFormatDialog*>(&d);
      if (!dialog) return int(QDialog::Rejected);
      dialog->format_choice()->setCurrentText(text);
      return int(QDialog::Accepted);
    });
  }
  // Clicks `button` and waits for the conversion it starts.
  void run(QPushButton* button) {
    QSignalSpy finished(state(tab).interchange_flow, &InterchangeFlow::conversion_finished);
    button->click();
    ASSERT_TRUE(finished.wait(20000));
  }
  QTemporaryDir dir;
  DialogRecorder dialogs;
  AnnotatorTab tab;
};

}  // namespace

TEST_F(InterchangeFlowTest, ExportToCocoThenImportIntoANewFolderAndStepThrough) {
  make_yolo_folder(at("work"));
  tab.open_folder(at("work"));
  ASSERT_EQ(state(tab).image_paths.size(), 2);

  pick("COCO JSON");
  QDir().mkpath(at("exports"));
  dialogs.directories.push_back(at("exports"));
  run(controls(tab).btn_export_dataset);
  ASSERT_FALSE(dialogs.messages.empty());
  EXPECT_EQ(dialogs.messages.back().kind, ui::MessageKind::Question);
  EXPECT_TRUE(dialogs.messages.back().text.startsWith("Converted 3 images with 4 objects"))
      << dialogs.messages.back().text.toStdString();
  ASSERT_TRUE(QFileInfo::exists(at("exports/annotations.json")));

  // Into a folder that already holds something: the result goes into a new sub-folder.
  pick("COCO JSON");
  dialogs.files.push_back(at("exports/annotations.json"));
  dialogs.directories.push_back(at("work"));
  run(controls(tab).btn_import_dataset);
  EXPECT_EQ(dialogs.messages.back().kind, ui::MessageKind::Information)
      << dialogs.messages.back().text.toStdString();
  EXPECT_EQ(state(tab).image_folder, at("work/exports-yolo"));
  ASSERT_EQ(state(tab).image_paths.size(), 2);
  EXPECT_EQ(state(tab).document->shapes().size(), 3u);
  EXPECT_EQ(tab.classes(),
            (QStringList{"rice bug", QString::fromUtf8("wereng daun\xc3\xa9t\xc3\xa9"),
                         QString::fromUtf8("chat \xe7\x8c\xab")}));
  controls(tab).btn_next_img->click();
  EXPECT_EQ(state(tab).current_idx, 1);
  EXPECT_TRUE(state(tab).document->shapes().empty());
  EXPECT_EQ(get(at("work/exports-yolo/a.txt")), get(at("work/a.txt")));
}

TEST_F(InterchangeFlowTest, CancelledDialogsAndFailuresChangeNothing) {
  // Nothing open yet: nothing to export.
  controls(tab).btn_export_dataset->click();
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].kind, ui::MessageKind::Warning);

  make_yolo_folder(at("work"));
  tab.open_folder(at("work"));
  controls(tab).btn_import_dataset->click();  // the format dialog is cancelled
  pick("Pascal VOC XML");
  controls(tab).btn_import_dataset->click();  // then the folder chooser
  EXPECT_EQ(dialogs.dialogs_run, 2);
  EXPECT_EQ(state(tab).interchange_flow->is_running(), false);

  // A folder with no VOC file in it: one critical message, the open folder stays.
  pick("Pascal VOC XML");
  QDir().mkpath(at("empty"));
  dialogs.directories.push_back(at("empty"));
  dialogs.directories.push_back(at("new"));
  run(controls(tab).btn_import_dataset);
  EXPECT_EQ(dialogs.messages.back().kind, ui::MessageKind::Critical);
  EXPECT_TRUE(dialogs.messages.back().text.contains("holds no Pascal VOC XML file"));
  EXPECT_EQ(state(tab).image_folder, at("work"));
  EXPECT_FALSE(QFileInfo::exists(at("new")));
}

TEST(OutputFolder, AnEmptyChoiceIsUsedAndAFullOneGetsANewSubFolder) {
  QTemporaryDir dir;
  EXPECT_EQ(InterchangeFlow::output_folder_in(dir.path(), "shots", "coco"), dir.path());
  put(dir.filePath("x"), "x");
  EXPECT_EQ(InterchangeFlow::output_folder_in(dir.path(), "shots", "coco"),
            dir.filePath("shots-coco"));
  QDir().mkpath(dir.filePath("shots-coco"));
  EXPECT_EQ(InterchangeFlow::output_folder_in(dir.path(), "shots", "coco"),
            dir.filePath("shots-coco-2"));
}
