#include "ui/info_label.h"

#include <gtest/gtest.h>

#include <QHBoxLayout>
#include <QLabel>
#include <memory>

#include "common/gui_app.h"

namespace {

TEST(InfoLabel, TextThenInfoMarkWithTooltipThenStretch) {
  orvane::test::gui_app();
  std::unique_ptr<QWidget> widget(create_info_label("Input Folder:", "Source directory"));
  auto* layout = qobject_cast<QHBoxLayout*>(widget->layout());
  ASSERT_NE(layout, nullptr);
  EXPECT_EQ(layout->contentsMargins(), QMargins(0, 0, 0, 0));
  EXPECT_EQ(layout->spacing(), 4);
  ASSERT_EQ(layout->count(), 3);
  auto* text = qobject_cast<QLabel*>(layout->itemAt(0)->widget());
  auto* mark = qobject_cast<QLabel*>(layout->itemAt(1)->widget());
  ASSERT_TRUE(text && mark);
  EXPECT_NE(layout->itemAt(2)->spacerItem(), nullptr);
  EXPECT_EQ(text->text(), "Input Folder:");
  EXPECT_EQ(mark->text(), QString::fromUtf8("ⓘ"));
  EXPECT_EQ(mark->toolTip(), "Source directory");
  // Fixed colour: the mark does not follow the theme.
  EXPECT_EQ(mark->styleSheet(), "color: #6366F1; font-weight: bold; font-size: 11px;");
}

}  // namespace
