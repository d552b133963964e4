#include "ui/stylesheet.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <cmath>

namespace {

// Golden files hold the 27 rules written out by hand for each palette, one per line.
QString golden(const char* name) {
  QFile file(qEnvironmentVariable("ORVANE_SOURCE_DIR") + "/tests/data/ui/" + name);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
  return QString::fromUtf8(file.readAll()).trimmed();
}

TEST(Stylesheet, MatchesTheGoldenTextForBothPalettes) {
  EXPECT_EQ(get_stylesheet(true).toStdString(), golden("stylesheet_dark.qss").toStdString());
  EXPECT_EQ(get_stylesheet(false).toStdString(), golden("stylesheet_light.qss").toStdString());
  EXPECT_EQ(get_stylesheet(), get_stylesheet(true));  // dark by default
}

TEST(Stylesheet, TwentySevenRulesEachOnItsOwnLineWithEveryPlaceholderFilled) {
  for (bool dark : {true, false}) {
    const QStringList lines = get_stylesheet(dark).split('\n');
    ASSERT_EQ(lines.size(), 27);
    for (const QString& line : lines) {
      EXPECT_EQ(line.count('{'), 1) << line.toStdString();
      EXPECT_TRUE(line.endsWith(" }")) << line.toStdString();
      EXPECT_FALSE(line.contains(QRegularExpression("\\{[a-z_]+\\}"))) << line.toStdString();
    }
  }
}

}  // namespace

// Views the stylesheet does not name (file chooser lists) draw text on the palette's base: the
// two must contrast in both themes, and follow the theme's own panel and text colours.
TEST(Stylesheet, PaletteGivesReadableViewsInBothThemes) {
  for (bool dark : {true, false}) {
    const QPalette p = theme_palette(dark);
    const double base = p.color(QPalette::Base).lightnessF();
    const double text = p.color(QPalette::Text).lightnessF();
    EXPECT_GT(std::abs(base - text), 0.6) << dark;
    EXPECT_EQ(p.color(QPalette::Base), QColor(dark ? "#1A1A1E" : "#FFFFFF"));
    EXPECT_EQ(p.color(QPalette::Text), QColor(dark ? "#ECECEE" : "#1C1C1E"));
    EXPECT_EQ(p.color(QPalette::Window), QColor(dark ? "#121214" : "#FAFAFA"));
  }
}
