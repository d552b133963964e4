// The pieces of the annotator's large-picture view: the pyramid item paints the right part from
// the right level, the overview maps between its thumbnail and the picture and moves a view,
// and the "Sliced" controls give the slicing the operator set.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QPainter>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyleOptionGraphicsItem>
#include <QTest>

#include "common/gui_app.h"
#include "widgets/large_image_item.h"
#include "widgets/overview_navigator.h"
#include "widgets/slice_controls.h"

using namespace orvane;

namespace {

// Four quadrants of different colours, so a painted part tells where it came from.
QImage quadrants(int w, int h) {
  QImage m(w, h, QImage::Format_RGB888);
  QPainter p(&m);
  p.fillRect(0, 0, w, h, QColor(0, 0, 255));                           // blue
  p.fillRect(w / 2, 0, w - w / 2, h / 2, QColor(0, 255, 0));           // green top right
  p.fillRect(0, h / 2, w / 2, h - h / 2, QColor(255, 0, 0));           // red bottom left
  p.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, QColor(255, 255, 255));
  return m;
}

// The picture and its halved copies down to a longer side of 1024 (as image_pyramid makes).
std::vector<QImage> pyramid(const QImage& image) {
  std::vector<QImage> levels{image};
  while (std::max(levels.back().width(), levels.back().height()) > 1024) {
    const QImage& last = levels.back();
    levels.push_back(last.scaled((last.width() + 1) / 2, (last.height() + 1) / 2));
  }
  return levels;
}

TEST(LargeImageItem, PyramidLevelsHalveUntilSmallAndFollowTheZoom) {
  const LargeImageItem item(pyramid(quadrants(5000, 3000)));
  // 5000 -> 2500 -> 1250 -> 625: four levels, each half (rounded up) of the one before.
  ASSERT_EQ(item.levels(), 4);
  EXPECT_EQ(item.level(1).size(), QSize(2500, 1500));
  EXPECT_EQ(item.level(3).size(), QSize(625, 375));
  EXPECT_EQ(item.level_for(2.0), 0);   // zoomed in: the picture itself
  EXPECT_EQ(item.level_for(1.0), 0);
  EXPECT_EQ(item.level_for(0.6), 0);   // half would show fewer pixels than the screen has
  EXPECT_EQ(item.level_for(0.5), 1);
  EXPECT_EQ(item.level_for(0.2), 2);
  EXPECT_EQ(item.level_for(0.01), 3);  // never beyond the smallest
  EXPECT_EQ(item.boundingRect(), QRectF(0, 0, 5000, 3000));
  const QImage thumb = item.thumbnail(200);
  EXPECT_EQ(thumb.size(), QSize(200, 120));
}

TEST(LargeImageItem, PaintsTheExposedPartAtAnyZoom) {
  LargeImageItem item(pyramid(quadrants(4000, 4000)));
  for (const double scale : {1.0, 0.3, 0.05}) {
    SCOPED_TRACE(scale);
    // A 100x100 screen showing the picture from (2000 - 50/scale, 2000 - 50/scale): the centre
    // of the picture, where the four quadrants meet, is the screen's centre.
    QImage screen(100, 100, QImage::Format_RGB32);
    screen.fill(Qt::black);
    QPainter painter(&screen);
    painter.translate(50, 50);
    painter.scale(scale, scale);
    painter.translate(-2000, -2000);
    QStyleOptionGraphicsItem option;
    option.exposedRect = QRectF(2000 - 50 / scale, 2000 - 50 / scale, 100 / scale, 100 / scale);
    item.paint(&painter, &option);
    painter.end();
    EXPECT_EQ(screen.pixelColor(25, 25), QColor(0, 0, 255));    // blue, top left
    EXPECT_EQ(screen.pixelColor(75, 25), QColor(0, 255, 0));    // green, top right
    EXPECT_EQ(screen.pixelColor(25, 75), QColor(255, 0, 0));    // red, bottom left
    EXPECT_EQ(screen.pixelColor(75, 75), QColor(255, 255, 255));
  }
}

TEST(OverviewNavigator, MapsBetweenThumbnailAndPicture) {
  // A 10000 x 5000 picture in a 220 x 160 navigator: 220 x 110, 25 px above and below.
  const NavigatorGeometry g(QSize(10000, 5000), QSize(220, 160));
  EXPECT_EQ(g.thumb, QRectF(0, 25, 220, 110));
  EXPECT_EQ(g.to_image(QPointF(110, 80)), QPointF(5000, 2500));
  EXPECT_EQ(g.to_image(QPointF(0, 25)), QPointF(0, 0));
  EXPECT_EQ(g.to_image(QPointF(-30, 300)), QPointF(0, 5000));  // outside: clamped
  EXPECT_EQ(g.to_widget(QRectF(5000, 0, 1000, 2500)), QRectF(110, 25, 22, 55));
  // A visible part larger than the picture is drawn as the thumbnail, no further.
  EXPECT_EQ(g.to_widget(QRectF(-500, -500, 20000, 20000)), g.thumb);
  EXPECT_TRUE(NavigatorGeometry(QSize(), QSize(220, 160)).thumb.isEmpty());
}

TEST(OverviewNavigator, ClickAndDragMoveTheViewAndTheOutlineFollows) {
  test::gui_app();
  QGraphicsScene scene;
  scene.setSceneRect(0, 0, 10000, 10000);
  QGraphicsView view(&scene);
  view.resize(400, 300);
  view.show();
  QApplication::processEvents();
  OverviewNavigator nav;
  nav.resize(200, 200);
  nav.set_image(QImage(100, 100, QImage::Format_RGB32), QSize(10000, 10000));
  nav.follow(&view);
  nav.show();
  // Click at the navigator's centre: the view centres on the picture's centre.
  QTest::mouseClick(&nav, Qt::LeftButton, {}, QPoint(100, 100));
  QRectF visible = view.mapToScene(view.viewport()->rect()).boundingRect();
  EXPECT_NEAR(visible.center().x(), 5000, 2);
  EXPECT_NEAR(visible.center().y(), 5000, 2);
  EXPECT_EQ(nav.visible(), visible);
  // Drag to three quarters across and a quarter down.
  QTest::mousePress(&nav, Qt::LeftButton, {}, QPoint(100, 100));
  QMouseEvent move(QEvent::MouseMove, QPointF(150, 50), nav.mapToGlobal(QPointF(150, 50)),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&nav, &move);
  QTest::mouseRelease(&nav, Qt::LeftButton, {}, QPoint(150, 50));
  visible = view.mapToScene(view.viewport()->rect()).boundingRect();
  EXPECT_NEAR(visible.center().x(), 7500, 2);
  EXPECT_NEAR(visible.center().y(), 2500, 2);
  // Scrolling the view moves the outline.
  view.horizontalScrollBar()->setValue(0);
  EXPECT_NEAR(nav.visible().left(), 0, 1);
}

TEST(SliceControls, GiveTheSlicingOnlyWhenSwitchedOn) {
  test::gui_app();
  SliceControls controls;
  EXPECT_EQ(controls.tile_size(), 0);
  EXPECT_FALSE(controls.tile()->isEnabled());
  controls.set_tile_size(96);
  controls.overlap()->setValue(0.25);
  controls.sliced()->setChecked(true);
  EXPECT_EQ(controls.tile_size(), 96);
  EXPECT_DOUBLE_EQ(controls.overlap_value(), 0.25);
  EXPECT_TRUE(controls.overlap()->isEnabled());
}

}  // namespace
