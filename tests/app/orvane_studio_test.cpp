#include "app/orvane_studio.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>

#include "common/gui_app.h"
#include "ui/stylesheet.h"
#include "ui/theme_toggle.h"

namespace {

class OrvaneStudioTest : public orvane::test::GuiTest {
 protected:
  OrvaneStudio window;
};

TEST_F(OrvaneStudioTest, WindowConstants) {
  EXPECT_EQ(window.windowTitle(), "Orvane Studio - Deep Learning Workstation");
  EXPECT_EQ(window.size(), QSize(1500, 950));
  EXPECT_EQ(window.centralWidget(), window.tabs);
  EXPECT_EQ(window.menuWidget(), nullptr);  // no menu bar
}

TEST_F(OrvaneStudioTest, SevenPagesInOrderWithTheirTitles) {
  const QList<QWidget*> pages = {window.tab_resizer,   window.tab_splitter, window.tab_aug,
                                 window.tab_workspace, window.tab_config,   window.tab_progress,
                                 window.tab_inference};
  const QStringList titles = {"Image Resizer + Compressor",   "Image Splitter",
                              "Synthetic Data Enricher",      "Image Annotator",
                              "YOLO Configuration && AutoML", "Training Analytics && Live Logs",
                              "Inference && Model Export"};
  ASSERT_EQ(window.tabs->count(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(window.tabs->widget(i), pages[i]) << i;
    EXPECT_EQ(window.tabs->tabText(i), titles[i]) << i;
  }
  EXPECT_EQ(window.tabs->currentIndex(), 0);
}

TEST_F(OrvaneStudioTest, CornerHoldsTheHelpButtonThenTheThemeSwitch) {
  QWidget* corner = window.tabs->cornerWidget(Qt::TopRightCorner);
  ASSERT_EQ(corner, window.corner_widget);
  auto* layout = qobject_cast<QHBoxLayout*>(corner->layout());
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->contentsMargins(), QMargins(0, 0, 15, 8));
  EXPECT_EQ(layout->spacing(), 8);
  ASSERT_EQ(layout->count(), 2);
  EXPECT_EQ(layout->itemAt(0)->widget(), window.btn_help);
  EXPECT_EQ(layout->itemAt(1)->widget(), window.theme_toggle);
  EXPECT_EQ(layout->itemAt(0)->alignment(), Qt::AlignVCenter);
  EXPECT_EQ(layout->itemAt(1)->alignment(), Qt::AlignVCenter);

  EXPECT_EQ(window.btn_help->text(), QString::fromUtf8("ℹ"));
  EXPECT_EQ(window.btn_help->size(), QSize(28, 28));
  EXPECT_EQ(window.btn_help->toolTip(), "Orvane Studio - User Guide");
  EXPECT_EQ(window.btn_help->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(
      window.btn_help->styleSheet(),
      "QPushButton { font-size: 14px; font-weight: bold; border-radius: 14px; padding: 0px; }");
}

TEST_F(OrvaneStudioTest, StartsDarkAndTheSwitchDrivesTheTheme) {
  EXPECT_TRUE(window.is_dark_mode);
  EXPECT_TRUE(window.theme_toggle->isChecked());
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(true));
  window.theme_toggle->setChecked(false);
  EXPECT_FALSE(window.is_dark_mode);
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(false));
  window.theme_toggle->setChecked(true);
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(true));
}

TEST(OrvaneStudioIcon, LookedUpBesideTheExecutableAndPlacedThereByTheBuild) {
  orvane::test::gui_app();
  EXPECT_EQ(OrvaneStudio::icon_path(),
            QCoreApplication::applicationDirPath() + "/Orvane-Studio-icon.png");
  const QString built = qEnvironmentVariable("ORVANE_BIN_DIR") + "/Orvane-Studio-icon.png";
  EXPECT_TRUE(QFileInfo::exists(built)) << built.toStdString();
  EXPECT_FALSE(QIcon(built).isNull());
}

}  // namespace
