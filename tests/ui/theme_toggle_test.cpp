#include "ui/theme_toggle.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include "common/gui_app.h"

using orvane::ui::ThemeToggle;

namespace {

class ThemeToggleTest : public orvane::test::GuiTest {
 protected:
  QImage render() {
    QImage image(toggle.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    toggle.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);  // no window background
    return image;
  }
  ThemeToggle toggle;
};

TEST_F(ThemeToggleTest, Construction) {
  EXPECT_EQ(toggle.size(), QSize(56, 26));
  EXPECT_EQ(toggle.minimumSize(), QSize(56, 26));
  EXPECT_EQ(toggle.maximumSize(), QSize(56, 26));
  EXPECT_EQ(toggle.toolTip(), "Toggle Mode");
  EXPECT_EQ(toggle.cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(toggle.text().isEmpty());
}

TEST_F(ThemeToggleTest, AClickAnywhereOnTheTrackToggles) {
  toggle.setChecked(true);
  QSignalSpy spy(&toggle, &ThemeToggle::toggled);
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(48, 13));  // on the knob, far right
  ASSERT_EQ(spy.count(), 1);
  EXPECT_FALSE(spy.at(0).at(0).toBool());
  QTest::mouseClick(&toggle, Qt::LeftButton, {}, QPoint(28, 20));
  EXPECT_TRUE(toggle.isChecked());
}

TEST_F(ThemeToggleTest, KnobRightAndDarkTrackWhenCheckedKnobLeftWhenNot) {
  toggle.setChecked(true);
  QImage dark = render();
  EXPECT_EQ(dark.pixelColor(56 - 12, 13), QColor("#FFFFFF"));  // knob centre, right
  EXPECT_EQ(dark.pixelColor(28, 22), QColor("#222226"));       // track, below the middle
  EXPECT_NE(dark.pixelColor(14, 13), QColor("#FFFFFF"));       // no knob on the left

  toggle.setChecked(false);
  QImage light = render();
  EXPECT_EQ(light.pixelColor(14, 13), QColor("#FFFFFF"));  // knob centre, left
  EXPECT_EQ(light.pixelColor(28, 22), QColor("#D1D1D6"));
  EXPECT_NE(light.pixelColor(56 - 12, 13), QColor("#FFFFFF"));
  // Rounded track: the very corner stays transparent.
  EXPECT_EQ(light.pixelColor(0, 0).alpha(), 0);
}

// True when something other than the track is painted inside the columns [x0, x1).
bool has_glyph(const QImage& image, int x0, int x1, const QColor& track) {
  for (int y = 3; y < image.height() - 3; ++y)
    for (int x = x0; x < x1; ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.alpha() == 255 && c != track && c != QColor("#FFFFFF")) return true;
    }
  return false;
}

TEST_F(ThemeToggleTest, GlyphSitsOppositeTheKnob) {
  toggle.setChecked(true);
  const QImage dark = render();
  EXPECT_TRUE(has_glyph(dark, 6, 28, QColor("#222226")));    // moon on the left
  EXPECT_FALSE(has_glyph(dark, 28, 33, QColor("#222226")));  // nothing between glyph and knob
  toggle.setChecked(false);
  const QImage light = render();
  EXPECT_TRUE(has_glyph(light, 28, 50, QColor("#D1D1D6")));  // sun on the right
  EXPECT_FALSE(has_glyph(light, 25, 28, QColor("#D1D1D6")));
}

}  // namespace
