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

using orvane::OrvaneStudio;
using orvane::ui::ThemeToggle;

namespace {

class OrvaneStudioTest : public orvane::test::GuiTest {
 protected:
  QTabWidget* tabs() const { return qobject_cast<QTabWidget*>(window.centralWidget()); }
  // The corner's help button and theme switch, as the operator finds them.
  QPushButton* help() const { return window.findChild<QPushButton*>("helpBtn"); }
  ThemeToggle* toggle() const { return window.findChild<ThemeToggle*>(); }

  OrvaneStudio window;
};

using Page = OrvaneStudio::Page;

TEST_F(OrvaneStudioTest, WindowConstants) {
  EXPECT_EQ(window.windowTitle(), "Orvane Studio - Deep Learning Workstation");
  EXPECT_EQ(window.size(), QSize(1500, 950));
  ASSERT_NE(tabs(), nullptr);
  EXPECT_EQ(window.menuWidget(), nullptr);  // no menu bar
}

TEST_F(OrvaneStudioTest, SevenPagesInOrderWithTheirTitles) {
  const Page pages[] = {Page::Resizer,   Page::Splitter,       Page::Enricher,
                        Page::Annotator, Page::TrainingConfig, Page::TrainingMonitor,
                        Page::Inference};
  const QStringList titles = {"Image Resizer + Compressor",   "Image Splitter",
                              "Synthetic Data Enricher",      "Image Annotator",
                              "YOLO Configuration && AutoML", "Training Analytics && Live Logs",
                              "Inference && Model Export"};
  ASSERT_EQ(tabs()->count(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(tabs()->widget(i), window.page(pages[i])) << i;
    EXPECT_EQ(tabs()->tabText(i), titles[i]) << i;
  }
  EXPECT_EQ(tabs()->currentIndex(), 0);
  window.show_page(Page::TrainingMonitor);
  EXPECT_EQ(tabs()->currentIndex(), 5);
}

TEST_F(OrvaneStudioTest, CornerHoldsTheHelpButtonThenTheThemeSwitch) {
  QWidget* corner = tabs()->cornerWidget(Qt::TopRightCorner);
  ASSERT_NE(corner, nullptr);
  auto* layout = qobject_cast<QHBoxLayout*>(corner->layout());
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->contentsMargins(), QMargins(0, 0, 15, 8));
  EXPECT_EQ(layout->spacing(), 8);
  ASSERT_EQ(layout->count(), 2);
  EXPECT_EQ(layout->itemAt(0)->widget(), help());
  EXPECT_EQ(layout->itemAt(1)->widget(), toggle());
  EXPECT_EQ(layout->itemAt(0)->alignment(), Qt::AlignVCenter);
  EXPECT_EQ(layout->itemAt(1)->alignment(), Qt::AlignVCenter);

  EXPECT_EQ(help()->text(), QString::fromUtf8("ℹ"));
  EXPECT_EQ(help()->size(), QSize(28, 28));
  EXPECT_EQ(help()->toolTip(), "Orvane Studio - User Guide");
  EXPECT_EQ(help()->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(
      help()->styleSheet(),
      "QPushButton { font-size: 14px; font-weight: bold; border-radius: 14px; padding: 0px; }");
}

TEST_F(OrvaneStudioTest, StartsDarkAndTheSwitchDrivesTheTheme) {
  EXPECT_TRUE(window.is_dark_mode());
  EXPECT_TRUE(toggle()->isChecked());
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(true));
  toggle()->setChecked(false);
  EXPECT_FALSE(window.is_dark_mode());
  EXPECT_EQ(qApp->styleSheet(), get_stylesheet(false));
  toggle()->setChecked(true);
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
