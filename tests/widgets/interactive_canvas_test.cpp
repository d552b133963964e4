#include "widgets/interactive_canvas.h"

#include <gtest/gtest.h>

#include <QGraphicsPixmapItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsRectItem>
#include <QGraphicsSceneMouseEvent>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>
#include <cmath>

#include "common/gui_app.h"
#include "widgets/zoomable_view.h"

using orvane::InteractiveCanvas;
using orvane::ZoomableView;

namespace {

// A canvas shown 1:1 in a ZoomableView, driven by QTest mouse events on the view's viewport,
// exactly as an operator's clicks arrive.
class CanvasTest : public orvane::test::GuiTest {
 protected:
  void SetUp() override {
    QPixmap pixmap(400, 300);
    pixmap.fill(Qt::gray);
    picture = canvas.addPixmap(pixmap);
    view.setScene(&canvas);
    view.setSceneRect(0, 0, 400, 300);
    view.resize(440, 340);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.resetTransform();
    view.centerOn(200, 150);
  }
  void TearDown() override { view.setScene(nullptr); }

  void mode(orvane::DrawMode m) {
    canvas.set_draw_mode(m);
    view.set_interaction_mode(m);
  }
  QPoint at(double x, double y) { return view.mapFromScene(QPointF(x, y)); }
  // Scene point of a viewport pixel: clicks land on whole pixels.
  QPointF scene_of(double x, double y) { return view.mapToScene(at(x, y)); }
  void press(double x, double y, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mousePress(view.viewport(), b, {}, at(x, y));
  }
  void release(double x, double y, Qt::MouseButton b = Qt::LeftButton) {
    QTest::mouseRelease(view.viewport(), b, {}, at(x, y));
  }
  void move(double x, double y) { QTest::mouseMove(view.viewport(), at(x, y)); }
  void click(double x, double y, Qt::MouseButton b = Qt::LeftButton) {
    press(x, y, b);
    release(x, y, b);
  }
  QPolygonF emitted(QSignalSpy& spy, int i = 0) { return spy.at(i).at(0).value<QPolygonF>(); }
  // Polygon items on the scene: with no owner shapes, only previews.
  int preview_items() {
    int n = 0;
    for (QGraphicsItem* item : canvas.items())
      if (dynamic_cast<QGraphicsPolygonItem*>(item) != nullptr) ++n;
    return n;
  }

  ZoomableView view;
  InteractiveCanvas canvas;
  QGraphicsPixmapItem* picture = nullptr;
};

TEST_F(CanvasTest, StartsInSelectMoveAndIdle) {
  EXPECT_EQ(canvas.draw_mode(), orvane::DrawMode::SelectMove);
  EXPECT_FALSE(canvas.is_drawing());
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_FALSE(canvas.drag_start().has_value());
}

TEST_F(CanvasTest, PolygonLeftClicksAddVerticesAndRightClickFinishes) {
  mode(orvane::DrawMode::Polygon);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  click(10, 10);
  EXPECT_TRUE(canvas.is_drawing());
  ASSERT_NE(canvas.preview_item(), nullptr);
  EXPECT_EQ(canvas.preview_item()->pen().style(), Qt::DashLine);
  EXPECT_EQ(canvas.preview_item()->pen().color(), QColor("#6366F1"));
  EXPECT_EQ(canvas.preview_item()->pen().widthF(), 2.0);
  click(100, 10);
  click(100, 80);
  click(40, 120);
  EXPECT_EQ(canvas.preview_item()->polygon().size(), 4);
  EXPECT_EQ(preview_items(), 1);  // the old preview was replaced, not stacked
  click(300, 200, Qt::RightButton);
  ASSERT_EQ(spy.count(), 1);
  const QPolygonF poly = emitted(spy);
  ASSERT_EQ(poly.size(), 4);
  EXPECT_EQ(poly[0], scene_of(10, 10));
  EXPECT_EQ(poly[1], scene_of(100, 10));
  EXPECT_EQ(poly[2], scene_of(100, 80));
  EXPECT_EQ(poly[3], scene_of(40, 120));
  EXPECT_FALSE(canvas.is_drawing());
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_EQ(canvas.items().size(), 1);  // only the picture
}

TEST_F(CanvasTest, PolygonWithFewerThanThreeVerticesIsSilentlyAbandoned) {
  mode(orvane::DrawMode::Polygon);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  for (int vertices : {1, 2}) {
    for (int i = 0; i < vertices; ++i) click(20 + 30 * i, 20);
    click(20, 20, Qt::RightButton);
    EXPECT_EQ(spy.count(), 0);
    EXPECT_EQ(canvas.preview_item(), nullptr);
    EXPECT_TRUE(canvas.current_polygon().isEmpty());
    EXPECT_EQ(canvas.items().size(), 1);
  }
}

TEST_F(CanvasTest, ClickOnAnExistingShapeSelectsItInsteadOfAddingAVertex) {
  auto* shape = canvas.addPolygon(QPolygonF({{200, 100}, {300, 100}, {300, 200}, {200, 200}}),
                                  QPen(Qt::red), QBrush(QColor(255, 0, 0, 60)));
  shape->setFlags(QGraphicsItem::ItemIsSelectable | QGraphicsItem::ItemIsMovable);
  mode(orvane::DrawMode::Polygon);
  click(10, 10);
  click(50, 10);
  click(250, 150);  // inside the shape, mid-construction
  EXPECT_TRUE(shape->isSelected());
  EXPECT_EQ(canvas.current_polygon().size(), 2);
  click(10, 60);  // drawing continues on the picture
  EXPECT_EQ(canvas.current_polygon().size(), 3);
}

TEST_F(CanvasTest, RectangleDragEmitsCornersInDragOrder) {
  mode(orvane::DrawMode::Rectangle);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  press(300, 200);
  move(250, 150);
  ASSERT_NE(canvas.preview_item(), nullptr);
  EXPECT_EQ(canvas.preview_item()->polygon().size(), 4);
  move(100, 50);
  EXPECT_EQ(preview_items(), 1);
  release(100, 50);
  ASSERT_EQ(spy.count(), 1);
  const QPointF s = scene_of(300, 200), e = scene_of(100, 50);
  EXPECT_EQ(emitted(spy), QPolygonF({s, QPointF(e.x(), s.y()), e, QPointF(s.x(), e.y())}));
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_FALSE(canvas.is_drawing());
}

TEST_F(CanvasTest, RectangleClickWithoutMovementGivesFourEqualVertices) {
  mode(orvane::DrawMode::Rectangle);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  click(0, 0);  // at the scene origin, like anywhere else
  ASSERT_EQ(spy.count(), 1);
  const QPolygonF poly = emitted(spy);
  ASSERT_EQ(poly.size(), 4);
  for (const QPointF& p : poly) EXPECT_EQ(p, scene_of(0, 0));
}

TEST_F(CanvasTest, RightClickWhileDraggingARectangleDoesNotFinishIt) {
  mode(orvane::DrawMode::Rectangle);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  press(50, 50);
  move(120, 90);
  click(120, 90, Qt::RightButton);
  EXPECT_EQ(spy.count(), 0);
  EXPECT_TRUE(canvas.is_drawing());
  release(150, 100);
  EXPECT_EQ(spy.count(), 1);
}

TEST_F(CanvasTest, CircleIsA32GonAroundThePressAndTinyDragsEmitNothing) {
  mode(orvane::DrawMode::Circle);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  click(200, 150);
  press(200, 150);
  move(201, 150);
  release(201, 150);  // radius exactly 1: not a circle
  EXPECT_EQ(spy.count(), 0);
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_EQ(canvas.items().size(), 1);

  press(200, 150);
  move(230, 190);
  release(230, 190);
  ASSERT_EQ(spy.count(), 1);
  const QPolygonF poly = emitted(spy);
  ASSERT_EQ(poly.size(), 32);
  const QPointF c = scene_of(200, 150);
  const double r = std::hypot(30.0, 40.0);
  for (const QPointF& p : poly) EXPECT_NEAR(std::hypot(p.x() - c.x(), p.y() - c.y()), r, 1e-9);
  EXPECT_NEAR(poly[0].x(), c.x(), 1e-9);
  EXPECT_NEAR(poly[0].y(), c.y() - r, 1e-9);
  EXPECT_GT(poly[1].x(), poly[0].x());  // clockwise on screen: second vertex to the right
}

TEST_F(CanvasTest, PentagonStandsApexUpWhateverTheDragDirection) {
  mode(orvane::DrawMode::Pentagon);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  press(200, 150);
  move(150, 200);  // left and down
  release(150, 200);
  ASSERT_EQ(spy.count(), 1);
  const QPolygonF poly = emitted(spy);
  ASSERT_EQ(poly.size(), 5);
  const QPointF c = scene_of(200, 150);
  const double r = std::hypot(50.0, 50.0);
  EXPECT_NEAR(poly[0].x(), c.x(), 1e-9);
  EXPECT_NEAR(poly[0].y(), c.y() - r, 1e-9);
  // The base (vertices 2 and 3) is horizontal and below the centre.
  EXPECT_NEAR(poly[2].y(), poly[3].y(), 1e-9);
  EXPECT_GT(poly[2].y(), c.y());
}

TEST_F(CanvasTest, CalculateShapeForEveryMode) {
  const QPointF s(10, 20), e(40, 60);
  canvas.set_draw_mode(orvane::DrawMode::Rectangle);
  EXPECT_EQ(canvas.calculate_shape(s, e).size(), 4);
  canvas.set_draw_mode(orvane::DrawMode::Circle);
  EXPECT_EQ(canvas.calculate_shape(s, e).size(), 32);
  EXPECT_TRUE(canvas.calculate_shape(s, QPointF(10, 21)).isEmpty());  // radius exactly 1
  EXPECT_EQ(canvas.calculate_shape(s, QPointF(10, 21.01)).size(), 32);
  canvas.set_draw_mode(orvane::DrawMode::Pentagon);
  EXPECT_EQ(canvas.calculate_shape(s, e).size(), 5);
  for (orvane::DrawMode m : {orvane::DrawMode::Polygon, orvane::DrawMode::Crop,
                             orvane::DrawMode::Warp, orvane::DrawMode::SelectMove}) {
    canvas.set_draw_mode(m);
    EXPECT_TRUE(canvas.calculate_shape(s, e).isEmpty()) << orvane::draw_mode_text(m).toStdString();
  }
}

TEST_F(CanvasTest, CropAndWarpEmitOnePointPerLeftPressAndIgnoreRightPresses) {
  for (orvane::DrawMode m : {orvane::DrawMode::Crop, orvane::DrawMode::Warp}) {
    mode(m);
    QSignalSpy points(&canvas, &InteractiveCanvas::point_clicked);
    QSignalSpy shapes(&canvas, &InteractiveCanvas::polygon_completed);
    click(10, 20);
    press(30, 40);
    move(90, 90);
    release(90, 90);
    click(60, 60, Qt::RightButton);
    ASSERT_EQ(points.count(), 2) << orvane::draw_mode_text(m).toStdString();
    EXPECT_EQ(points.at(0).at(0).toPointF(), scene_of(10, 20));
    EXPECT_EQ(points.at(1).at(0).toPointF(), scene_of(30, 40));
    EXPECT_EQ(shapes.count(), 0);
    EXPECT_FALSE(canvas.is_drawing());
    EXPECT_EQ(canvas.preview_item(), nullptr);
  }
}

TEST_F(CanvasTest, SelectMoveDragsTheOwnersShapesAndDrawsNothing) {
  auto* shape = canvas.addPolygon(QPolygonF({{100, 100}, {150, 100}, {150, 150}, {100, 150}}));
  shape->setFlags(QGraphicsItem::ItemIsSelectable | QGraphicsItem::ItemIsMovable);
  shape->setBrush(Qt::red);
  mode(orvane::DrawMode::SelectMove);
  QSignalSpy shapes(&canvas, &InteractiveCanvas::polygon_completed);
  QSignalSpy points(&canvas, &InteractiveCanvas::point_clicked);
  press(120, 120);
  EXPECT_TRUE(shape->isSelected());
  move(140, 130);
  move(160, 150);
  release(160, 150);
  EXPECT_EQ(shape->pos(), scene_of(160, 150) - scene_of(120, 120));
  EXPECT_EQ(shapes.count(), 0);
  EXPECT_EQ(points.count(), 0);
}

TEST_F(CanvasTest, ChangingModeAbandonsTheShapeAndItsPreview) {
  mode(orvane::DrawMode::Polygon);
  click(10, 10);
  click(60, 10);
  ASSERT_NE(canvas.preview_item(), nullptr);
  mode(orvane::DrawMode::Rectangle);
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_TRUE(canvas.current_polygon().isEmpty());
  EXPECT_FALSE(canvas.is_drawing());
  EXPECT_EQ(canvas.items().size(), 1);
}

// The owners clear the whole scene to show the next picture, possibly mid-shape. The canvas must
// forget the deleted preview and abandon the shape of the old picture.
TEST_F(CanvasTest, ClearingTheSceneMidPolygonAbandonsTheShapeSafely) {
  mode(orvane::DrawMode::Polygon);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  click(10, 10);
  click(60, 10);
  click(60, 60);
  canvas.clear();
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_FALSE(canvas.is_drawing());
  EXPECT_TRUE(canvas.current_polygon().isEmpty());
  click(100, 100, Qt::RightButton);
  EXPECT_EQ(spy.count(), 0);
  // The next shape on the new picture works normally.
  click(10, 10);
  click(60, 10);
  click(60, 60);
  click(60, 60, Qt::RightButton);
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(emitted(spy).size(), 3);
}

TEST_F(CanvasTest, ClearingTheSceneMidDragEmitsNothingOnRelease) {
  mode(orvane::DrawMode::Circle);
  QSignalSpy spy(&canvas, &InteractiveCanvas::polygon_completed);
  press(200, 150);
  move(240, 150);
  ASSERT_NE(canvas.preview_item(), nullptr);
  canvas.clear();
  move(250, 150);
  release(250, 150);
  EXPECT_EQ(spy.count(), 0);
  EXPECT_TRUE(canvas.items().isEmpty());
}

TEST_F(CanvasTest, AHandlerThatClearsTheSceneOrChangesModeIsSafe) {
  mode(orvane::DrawMode::Polygon);
  QPolygonF received;
  QObject::connect(&canvas, &InteractiveCanvas::polygon_completed, [&](const QPolygonF& p) {
    EXPECT_NE(canvas.preview_item(), nullptr);  // the outline is still visible to the handler
    canvas.clear();
    canvas.set_draw_mode(orvane::DrawMode::Rectangle);
    received = p;
  });
  click(10, 10);
  click(60, 10);
  click(60, 60);
  click(60, 60, Qt::RightButton);
  EXPECT_EQ(received.size(), 3);
  EXPECT_EQ(canvas.preview_item(), nullptr);
  EXPECT_EQ(canvas.draw_mode(), orvane::DrawMode::Rectangle);
}

// Counts its own destruction; placed as a child of the preview, it dies exactly when the preview
// does (a child item is deleted by its parent's destructor).
class DestructionProbe : public QGraphicsRectItem {
 public:
  DestructionProbe(QGraphicsItem* parent, int* deaths)
      : QGraphicsRectItem(parent), deaths_(deaths) {}
  ~DestructionProbe() override { ++*deaths_; }

 private:
  int* deaths_;
};

// Left presses delivered straight to a scene that no view shows.
void press_vertices(InteractiveCanvas& canvas, std::initializer_list<QPointF> points) {
  for (const QPointF& point : points) {
    QGraphicsSceneMouseEvent press(QEvent::GraphicsSceneMousePress);
    press.setButton(Qt::LeftButton);
    press.setButtons(Qt::LeftButton);
    press.setScenePos(point);
    QCoreApplication::sendEvent(&canvas, &press);
  }
}

TEST(CanvasLifetime, DestroyingTheCanvasWithAPreviewIsSafe) {
  orvane::test::gui_app();
  // The canvas goes first: the preview is destroyed with it, once, after the canvas part is gone
  // (it must not report back into it then).
  int deaths = 0;
  auto* canvas = new InteractiveCanvas;
  canvas->set_draw_mode(orvane::DrawMode::Polygon);
  press_vertices(*canvas, {QPointF(1, 1), QPointF(5, 5)});
  ASSERT_NE(canvas->preview_item(), nullptr);
  new DestructionProbe(canvas->preview_item(), &deaths);
  delete canvas;
  EXPECT_EQ(deaths, 1);

  // The preview goes first (the owner clears the scene for the next picture): the canvas lets go
  // of it and of the shape it outlined, and draws a fresh preview afterwards.
  deaths = 0;
  InteractiveCanvas survivor;
  survivor.set_draw_mode(orvane::DrawMode::Polygon);
  press_vertices(survivor, {QPointF(1, 1), QPointF(5, 5)});
  new DestructionProbe(survivor.preview_item(), &deaths);
  survivor.clear();
  EXPECT_EQ(deaths, 1);
  EXPECT_EQ(survivor.preview_item(), nullptr);
  EXPECT_TRUE(survivor.current_polygon().isEmpty());
  press_vertices(survivor, {QPointF(2, 2), QPointF(6, 6)});
  ASSERT_NE(survivor.preview_item(), nullptr);
  EXPECT_EQ(survivor.items().size(), 1);
}

}  // namespace
