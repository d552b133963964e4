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

QString rule(bool dark, const QString& selector) {
  for (const QString& line : get_stylesheet(dark).split('\n'))
    if (line.startsWith(selector + " {")) return line;
  return {};
}

TEST(Stylesheet, ThemeSpecificAndFixedColours) {
  // Light accent is the dark theme's hover accent; its own hover is darker still.
  EXPECT_TRUE(rule(false, "QPushButton#primaryBtn").contains("background-color: #4F46E5;"));
  EXPECT_TRUE(rule(false, "QPushButton#primaryBtn:hover").contains("#4338CA"));
  EXPECT_TRUE(rule(true, "QPushButton#primaryBtn").contains("background-color: #6366F1;"));
  for (bool dark : {true, false}) {
    const QString primary = rule(dark, "QPushButton#primaryBtn");
    EXPECT_TRUE(primary.contains("color: #FFFFFF;") && primary.contains("border: none;"));
    EXPECT_TRUE(rule(dark, "QPushButton#dangerBtn").contains("background-color: #D3112E;"));
    EXPECT_TRUE(rule(dark, "QPushButton#dangerBtn:hover").contains("#A30D25"));
    EXPECT_TRUE(rule(dark, "QTextEdit").contains("color: #00FF66;"));
    // Disabled buttons never take the accent, even on hover.
    const QString disabled = rule(dark, "QPushButton:disabled");
    EXPECT_FALSE(disabled.contains(dark ? "#6366F1" : "#4F46E5"));
    EXPECT_TRUE(disabled.contains(dark ? "#18181C" : "#E5E5EA"));
    EXPECT_TRUE(disabled.contains(dark ? "#8E8E93" : "#6C6C70"));
  }
  EXPECT_TRUE(rule(true, "QWidget").contains("font-family: 'Segoe UI', Arial, sans-serif;"));
  EXPECT_TRUE(rule(false, "QTextEdit").contains("font-family: 'Consolas', monospace;"));
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
