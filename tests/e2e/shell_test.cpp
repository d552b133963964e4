// The whole window as an operator meets it: shown, clicked, switched and used, with every
// dialog answered through the test seam.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include "app/orvane_studio.h"
#include "common/dialog_recorder.h"
#include "common/finish_tasks.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "splitter/splitter_tab.h"
#include "ui/help_dialog.h"
#include "ui/stylesheet.h"
#include "ui/theme_toggle.h"

using orvane::OrvaneStudio;
using orvane::splitter::SplitterTab;
using orvane::ui::HelpDialog;
using orvane::ui::ThemeToggle;

using orvane::test::controls;
using orvane::test::finish_tasks;

namespace {

class ShellTest : public orvane::test::GuiTest {
 protected:
  void SetUp() override {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  QTabWidget* tabs() const { return qobject_cast<QTabWidget*>(window.centralWidget()); }
  QPushButton* help() const { return window.findChild<QPushButton*>("helpBtn"); }
  ThemeToggle* toggle() const { return window.findChild<ThemeToggle*>(); }

  OrvaneStudio window;
  orvane::test::DialogRecorder dialogs;
};

TEST_F(ShellTest, TabBarShowsSevenTitlesWithSingleAmpersands) {
  QTabBar* bar = tabs()->tabBar();
  ASSERT_EQ(bar->count(), 7);
  // The bar shows "&&" as one "&" and makes no mnemonic: the shown text is the title with "&&"
  // halved, and every tab is wide enough for its whole title.
  const QStringList shown = {"Image Resizer + Compressor",  "Image Splitter",
                             "Synthetic Data Enricher",     "Image Annotator",
                             "YOLO Configuration & AutoML", "Training Analytics & Live Logs",
                             "Inference & Model Export"};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(bar->tabText(i).replace("&&", "&"), shown[i]);
    EXPECT_GE(bar->tabRect(i).width(), bar->fontMetrics().horizontalAdvance(shown[i])) << i;
  }
  // Clicking a tab shows its page.
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(1).center());
  EXPECT_EQ(tabs()->currentWidget(), window.page(OrvaneStudio::Page::Splitter));
}

TEST_F(ShellTest, CornerButtonsAreVisibleInTheTabBarRow) {
  ASSERT_TRUE(help()->isVisible());
  ASSERT_TRUE(toggle()->isVisible());
  const QRect help_rect = QRect(help()->mapTo(&window, QPoint()), help()->size());
  const QRect toggle_rect = QRect(toggle()->mapTo(&window, QPoint()), toggle()->size());
  EXPECT_LT(help_rect.right(), toggle_rect.left());  // help first, then the switch
  EXPECT_LE(toggle_rect.right(), window.width() - 15);
  EXPECT_GT(help_rect.left(), window.width() / 2);  // in the top-right corner
  EXPECT_LT(help_rect.top(), tabs()->tabBar()->height() + 10);
}

TEST_F(ShellTest, ClickingTheSwitchChangesTheWholeTheme) {
  // An empty page shows the tab pane, painted in the palette's panel colour.
  tabs()->setCurrentWidget(window.page(OrvaneStudio::Page::TrainingConfig));
  auto pane_colour = [&] {
    const QImage shot = tabs()->grab().toImage();
    return shot.pixelColor(shot.width() / 2, shot.height() - 20);
  };
  EXPECT_EQ(pane_colour(), QColor("#1A1A1E"));
  QTest::mouseClick(toggle(), Qt::LeftButton);
  EXPECT_FALSE(window.is_dark_mode());
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(false));
  EXPECT_EQ(pane_colour(), QColor("#FFFFFF"));
  QTest::mouseClick(toggle(), Qt::LeftButton);
  EXPECT_TRUE(window.is_dark_mode());
  EXPECT_EQ(pane_colour(), QColor("#1A1A1E"));
}

TEST_F(ShellTest, HelpButtonOpensANewGuideEachTime) {
  QStringList titles;
  int guides = 0;
  for (int i = 0; i < 2; ++i) {
    dialogs.dialog_actions.push_back([&](QDialog& dialog) {
      titles << dialog.windowTitle();
      if (auto* help = qobject_cast<HelpDialog*>(&dialog)) {
        ++guides;
        EXPECT_EQ(help->parentWidget(), &window);
        EXPECT_TRUE(help->guide_label()->text().contains("7. Inference & Model Export"));
      }
      return int(QDialog::Accepted);
    });
  }
  QTest::mouseClick(help(), Qt::LeftButton);
  QTest::mouseClick(help(), Qt::LeftButton);
  EXPECT_EQ(dialogs.dialogs_run, 2);
  EXPECT_EQ(guides, 2);
  EXPECT_EQ(titles, QStringList({"Orvane Studio - User Guide", "Orvane Studio - User Guide"}));
}

TEST_F(ShellTest, SplitterTabCutsAFolderFromTheWindow) {
  QTemporaryDir input, output;
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(Qt::darkGreen);
  ASSERT_TRUE(image.save(input.path() + "/field.PNG", "PNG"));
  tabs()->setCurrentWidget(window.page(OrvaneStudio::Page::Splitter));
  SplitterTab* tab = window.findChild<SplitterTab*>();
  ASSERT_NE(tab, nullptr);
  dialogs.directories = {input.path(), output.path()};
  QTest::mouseClick(controls(*tab).btn_browse_in, Qt::LeftButton);
  QTest::mouseClick(controls(*tab).btn_browse_out, Qt::LeftButton);
  controls(*tab).spin_split_parts->setValue(2);
  QTest::mouseClick(controls(*tab).btn_split, Qt::LeftButton);
  finish_tasks(*tab);
  ASSERT_EQ(dialogs.messages.size(), 1u);
  EXPECT_EQ(dialogs.messages[0].title, "Splitting Success");
  EXPECT_EQ(dialogs.messages[0].text, "Split 1 images into 2 tile parts.");
  EXPECT_EQ(QImage(output.path() + "/part_2/field_part_2.PNG").size(), QSize(32, 32));
}

}  // namespace
