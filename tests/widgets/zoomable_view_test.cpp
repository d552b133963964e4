#include "widgets/zoomable_view.h"

#include <gtest/gtest.h>

#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPixmap>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>
#include <cmath>

#include "common/gui_app.h"
#include "widgets/interactive_canvas.h"

using orvane::InteractiveCanvas;
using orvane::ZoomableView;

namespace {

void wheel(ZoomableView& view, QPoint pos, QPoint angle_delta) {
  QWheelEvent event(pos, view.viewport()->mapToGlobal(pos), QPoint(), angle_delta, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view.viewport(), &event);
}

void mouse(ZoomableView& view, QEvent::Type type, Qt::MouseButton button, QPointF pos) {
  const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : button;
  QMouseEvent event(type, pos, view.viewport()->mapToGlobal(pos), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(view.viewport(), &event);
}

QPixmap picture(int w, int h) {
  QPixmap pixmap(w, h);
  pixmap.fill(Qt::darkCyan);
  return pixmap;
}

class ZoomableViewTest : public orvane::test::GuiTest {
 protected:
  void SetUp() override {
    view.resize(400, 300);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
  }
  ZoomableView view;
};

TEST_F(ZoomableViewTest, ConstructionSettings) {
  EXPECT_EQ(view.scene(), view.own_scene());
  EXPECT_EQ(view.dragMode(), QGraphicsView::ScrollHandDrag);
  EXPECT_EQ(view.transformationAnchor(), QGraphicsView::AnchorUnderMouse);
  EXPECT_EQ(view.resizeAnchor(), QGraphicsView::AnchorUnderMouse);
  EXPECT_TRUE(view.renderHints().testFlag(QPainter::Antialiasing));
  EXPECT_TRUE(view.renderHints().testFlag(QPainter::SmoothPixmapTransform));
  EXPECT_EQ(view.pixmap_item(), nullptr);
  EXPECT_FALSE(view.is_panning());
}

TEST_F(ZoomableViewTest, SetImageFitsAndSecondImageReplacesTheFirst) {
  view.own_scene()->addRect(0, 0, 10, 10);  // something the owner drew earlier
  view.set_image(picture(2000, 1000));
  ASSERT_NE(view.pixmap_item(), nullptr);
  EXPECT_EQ(view.own_scene()->items().size(), 1);
  EXPECT_EQ(view.sceneRect(), QRectF(0, 0, 2000, 1000));
  // Fitted: the whole picture is visible and fills the view's width (the limiting side).
  const QRectF visible = view.mapToScene(view.viewport()->rect()).boundingRect();
  EXPECT_TRUE(visible.adjusted(-1, -1, 1, 1).contains(QRectF(0, 0, 2000, 1000)));
  EXPECT_LT(view.transform().m11(), 0.25);

  view.set_image(picture(100, 400));
  EXPECT_EQ(view.own_scene()->items().size(), 1);
  EXPECT_EQ(view.pixmap_item()->pixmap().size(), QSize(100, 400));
  EXPECT_EQ(view.sceneRect(), QRectF(0, 0, 100, 400));
  EXPECT_NEAR(view.transform().m11(), view.transform().m22(), 1e-9);  // aspect kept
  EXPECT_LT(view.transform().m11(), 1.0);
}

TEST_F(ZoomableViewTest, SetImageAlwaysUsesTheOwnSceneEvenWhileAnotherIsShown) {
  InteractiveCanvas canvas;
  view.setScene(&canvas);
  view.set_image(picture(50, 50));
  EXPECT_EQ(view.scene(), &canvas);
  EXPECT_TRUE(canvas.items().isEmpty());
  EXPECT_EQ(view.own_scene()->items().size(), 1);
  view.setScene(nullptr);
}

TEST_F(ZoomableViewTest, WheelOverEmptySceneScrollsInsteadOfZooming) {
  view.setSceneRect(0, 0, 400, 5000);  // room to scroll, but no items
  const QTransform before = view.transform();
  const int scroll_before = view.verticalScrollBar()->value();
  wheel(view, QPoint(200, 150), QPoint(0, -120));
  EXPECT_EQ(view.transform(), before);
  EXPECT_GT(view.verticalScrollBar()->value(), scroll_before);
}

TEST_F(ZoomableViewTest, WheelZoomsOneStepPerEventAndIsUnbounded) {
  view.set_image(picture(400, 300));
  const double start = view.transform().m11();
  wheel(view, QPoint(200, 150), QPoint(0, 1200));  // a big delta is still one step
  EXPECT_NEAR(view.transform().m11() / start, 1.15, 1e-9);
  wheel(view, QPoint(200, 150), QPoint(120, 0));  // horizontal only: zooms out
  EXPECT_NEAR(view.transform().m11() / start, 1.0, 1e-9);
  wheel(view, QPoint(200, 150), QPoint(0, -1));
  EXPECT_NEAR(view.transform().m11() / start, 1.0 / 1.15, 1e-9);
  for (int i = 0; i < 80; ++i) wheel(view, QPoint(200, 150), QPoint(0, -120));
  EXPECT_NEAR(view.transform().m11() / start, std::pow(1.15, -81), 1e-12);
  for (int i = 0; i < 160; ++i) wheel(view, QPoint(200, 150), QPoint(0, 120));
  EXPECT_NEAR(view.transform().m11() / start, std::pow(1.15, 79), 1e-3 * std::pow(1.15, 79));
}

TEST_F(ZoomableViewTest, TenStepsInAndOutReturnToTheSameScaleAndPoint) {
  view.set_image(picture(800, 600));
  const QPoint centre = view.viewport()->rect().center();
  const double start = view.transform().m11();
  const QPointF anchor = view.mapToScene(centre);
  for (int i = 0; i < 10; ++i) wheel(view, centre, QPoint(0, 120));
  EXPECT_NEAR(view.transform().m11() / start, std::pow(1.15, 10), 1e-9);
  for (int i = 0; i < 10; ++i) wheel(view, centre, QPoint(0, -120));
  EXPECT_NEAR(view.transform().m11() / start, 1.0, 1e-9);
  // Scroll positions are whole pixels, so the anchor may drift by a pixel of the view, no more.
  const QPoint back = view.mapFromScene(anchor);
  EXPECT_LE((back - centre).manhattanLength(), 2);
}

TEST_F(ZoomableViewTest, InteractionModeSwitchesDragAndCursor) {
  view.set_interaction_mode(orvane::DrawMode::Polygon);
  EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag);
  EXPECT_EQ(view.viewport()->cursor().shape(), Qt::CrossCursor);
  view.set_interaction_mode(orvane::DrawMode::Warp);
  EXPECT_EQ(view.dragMode(), QGraphicsView::NoDrag);
  view.set_interaction_mode(orvane::DrawMode::SelectMove);
  EXPECT_EQ(view.dragMode(), QGraphicsView::ScrollHandDrag);
  EXPECT_EQ(view.viewport()->cursor().shape(), Qt::OpenHandCursor);
}

class PanTest : public ZoomableViewTest, public ::testing::WithParamInterface<orvane::DrawMode> {};

TEST_P(PanTest, MiddleDragScrollsWithTheMouseAndNeverReachesTheCanvas) {
  InteractiveCanvas canvas;
  QPixmap pixmap = picture(2000, 2000);
  canvas.addPixmap(pixmap);
  view.setScene(&canvas);
  view.setSceneRect(0, 0, 2000, 2000);
  view.set_interaction_mode(GetParam());
  canvas.set_draw_mode(GetParam());
  QSignalSpy points(&canvas, &InteractiveCanvas::point_clicked);
  QSignalSpy shapes(&canvas, &InteractiveCanvas::polygon_completed);
  view.horizontalScrollBar()->setValue(500);
  view.verticalScrollBar()->setValue(500);

  mouse(view, QEvent::MouseButtonPress, Qt::MiddleButton, QPointF(100, 100));
  EXPECT_TRUE(view.is_panning());
  EXPECT_EQ(view.cursor().shape(), Qt::ClosedHandCursor);
  mouse(view, QEvent::MouseMove, Qt::MiddleButton, QPointF(80, 70));
  EXPECT_EQ(view.horizontalScrollBar()->value(), 520);
  EXPECT_EQ(view.verticalScrollBar()->value(), 530);
  mouse(view, QEvent::MouseMove, Qt::MiddleButton, QPointF(130, 90));
  EXPECT_EQ(view.horizontalScrollBar()->value(), 470);
  EXPECT_EQ(view.verticalScrollBar()->value(), 510);
  mouse(view, QEvent::MouseButtonRelease, Qt::MiddleButton, QPointF(130, 90));
  EXPECT_FALSE(view.is_panning());
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);

  EXPECT_EQ(points.count(), 0);
  EXPECT_EQ(shapes.count(), 0);
  EXPECT_TRUE(canvas.current_polygon().isEmpty());
  EXPECT_FALSE(canvas.is_drawing());
  view.setScene(nullptr);
}

INSTANTIATE_TEST_SUITE_P(BothDragModes, PanTest,
                         ::testing::Values(orvane::DrawMode::SelectMove, orvane::DrawMode::Polygon,
                                           orvane::DrawMode::Crop, orvane::DrawMode::Rectangle));

TEST_F(ZoomableViewTest, SubPixelPanStepsAreTruncatedAndNotAccumulated) {
  view.setSceneRect(0, 0, 3000, 3000);
  view.own_scene()->addRect(0, 0, 3000, 3000);
  view.horizontalScrollBar()->setValue(500);
  mouse(view, QEvent::MouseButtonPress, Qt::MiddleButton, QPointF(100, 100));
  // Moving right by 0.6: 500 + 0.6 truncates back to 500 each time; the start point moves on,
  // so the fractions never add up to a whole pixel.
  mouse(view, QEvent::MouseMove, Qt::MiddleButton, QPointF(99.4, 100));
  mouse(view, QEvent::MouseMove, Qt::MiddleButton, QPointF(98.8, 100));
  EXPECT_EQ(view.horizontalScrollBar()->value(), 500);
  mouse(view, QEvent::MouseMove, Qt::MiddleButton, QPointF(96.8, 100));
  EXPECT_EQ(view.horizontalScrollBar()->value(), 502);
  mouse(view, QEvent::MouseButtonRelease, Qt::MiddleButton, QPointF(96.8, 100));
}

}  // namespace
