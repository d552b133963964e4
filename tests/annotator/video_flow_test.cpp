// The annotator on the frames of a generated video, as an operator uses it: Open Video extracts
// on a worker and opens the frames; Propagate carries a box along the moving object frame by
// frame (one undo step each, saved like every edit, dashed until touched) and stops at a
// labelled frame; Interpolate fills the frames between two keyframes linearly.
#include "annotator/video_flow.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <QShortcut>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUndoStack>
#include <filesystem>

#include "annotator/annotator_tab.h"
#include "annotator/label_file.h"
#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "imaging/image_files.h"
#include "video/synthetic_video.h"

using namespace orvane;
using orvane::test::controls;
using orvane::test::state;

namespace {

class VideoFlowTest : public test::GuiTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    test::SceneObject crate;
    crate.radius = 24;
    crate.textured = true;
    crate.path = {{0, {60, 100}}, {15, {210, 130}}};  // 10 px right, 2 px down a frame
    video.frames = 16;
    video.objects = {crate};
    ASSERT_TRUE(video.write(dir.filePath("clip.avi").toStdString()));
    frames = dir.filePath("clip_frames");
    QSignalSpy done(flow(), &VideoFlow::extraction_finished);
    flow()->extract(dir.filePath("clip.avi"), frames, 1, 0);
    ASSERT_TRUE(done.wait(60000));
    ASSERT_EQ(state(tab).image_paths.size(), 16);
    EXPECT_TRUE(state(tab).image_paths[3].endsWith("clip_000003.jpg"));
  }

  VideoFlow* flow() { return state(tab).video_flow; }
  AnnotationDocument* doc() { return state(tab).document; }

  QRectF truth(int frame) const {
    const auto box = video.truth_at(frame).at(0).box;
    return {box.x, box.y, box.width, box.height};
  }
  // The boxes of frame `row`'s label file, in pixels.
  std::vector<QRectF> boxes_of(int row) {
    const auto read = read_label_file(label_path_for(state(tab).image_paths[row]), 1);
    std::vector<QRectF> out;
    for (const auto& s : read.shapes) out.push_back(denormalize_polygon(s.points, QSizeF(320, 240)).boundingRect());
    return out;
  }
  static double iou(const QRectF& a, const QRectF& b) {
    const QRectF i = a.intersected(b);
    const double inter = i.width() * i.height();
    return inter / (a.width() * a.height() + b.width() * b.height() - inter);
  }
  void write_box(int row, const QRectF& r) {
    const QPolygonF pixels(r);
    ASSERT_TRUE(write_label_file(label_path_for(state(tab).image_paths[row]),
                                 {LabelShape(0, normalize_polygon(pixels, QSizeF(320, 240)), true)}));
  }

  test::DialogRecorder dialogs;
  QTemporaryDir dir;
  test::SyntheticVideo video;
  QString frames;
  AnnotatorTab tab;
};

TEST_F(VideoFlowTest, PropagateCarriesABoxAlongItsObjectOneUndoStepPerFrame) {
  ASSERT_TRUE(doc()->add_shapes({{QPolygonF(truth(0)), "crate", "Rectangle"}}, "Draw shape"));
  const QString message = flow()->propagate(6);
  EXPECT_TRUE(message.contains("to 6 frame(s)")) << message.toStdString();
  EXPECT_EQ(state(tab).current_idx, 6);
  for (int row = 1; row <= 6; ++row) {
    const auto boxes = boxes_of(row);
    ASSERT_EQ(boxes.size(), 1u) << "frame " << row;
    EXPECT_GT(iou(boxes[0], truth(row)), 0.7) << "frame " << row;
  }
  // Shown dashed until touched; one undo takes this frame's propagation back, file included.
  ASSERT_EQ(doc()->shapes().size(), 1u);
  EXPECT_TRUE(flow()->is_carried(doc()->shapes()[0].id));
  Q_EMIT controls(tab).shortcut_undo->activated();
  EXPECT_TRUE(doc()->shapes().empty());
  EXPECT_TRUE(boxes_of(6).empty());
  Q_EMIT controls(tab).shortcut_redo->activated();
  ASSERT_EQ(boxes_of(6).size(), 1u);
  // Coming back to a carried frame shows it carried still; moving it takes it over.
  controls(tab).list_images->setCurrentRow(5);
  ASSERT_EQ(doc()->shapes().size(), 1u);
  EXPECT_EQ(flow()->carried_count(), 1);
  doc()->move_shape(doc()->shapes()[0].id, QPointF(2, 0));
  EXPECT_EQ(flow()->carried_count(), 0);
  controls(tab).list_images->setCurrentRow(4);
  EXPECT_EQ(flow()->carried_count(), 1);
  flow()->accept_carried();
  EXPECT_EQ(flow()->carried_count(), 0);
}

TEST_F(VideoFlowTest, PropagateStopsBeforeALabelledFrameAndLeavesItAlone) {
  write_box(4, QRectF(5, 5, 20, 20));
  ASSERT_TRUE(doc()->add_shapes({{QPolygonF(truth(0)), "crate", "Rectangle"}}, "Draw shape"));
  const QString message = flow()->propagate(10);
  EXPECT_TRUE(message.contains("to 3 frame(s)")) << message.toStdString();
  EXPECT_TRUE(message.contains("clip_000004.jpg already has labels")) << message.toStdString();
  ASSERT_EQ(boxes_of(4).size(), 1u);
  EXPECT_NEAR(boxes_of(4)[0].x(), 5, 0.01);
}

TEST_F(VideoFlowTest, InterpolateFillsTheFramesBetweenTwoKeyframesLinearly) {
  write_box(9, QRectF(100, 50, 40, 40));
  controls(tab).list_images->setCurrentRow(13);
  ASSERT_TRUE(doc()->add_shapes({{QPolygonF(QRectF(180, 90, 60, 40)), "crate", "Rectangle"}}, "Draw shape"));
  const QString message = flow()->interpolate();
  EXPECT_TRUE(message.contains("over 3 frame(s)")) << message.toStdString();
  EXPECT_EQ(state(tab).current_idx, 13);
  const auto mid = boxes_of(11);
  ASSERT_EQ(mid.size(), 1u);
  EXPECT_NEAR(mid[0].x(), 140, 0.1);
  EXPECT_NEAR(mid[0].y(), 70, 0.1);
  EXPECT_NEAR(mid[0].width(), 50, 0.1);
  const auto first = boxes_of(10);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_NEAR(first[0].x(), 120, 0.1);
  EXPECT_TRUE(boxes_of(12).size() == 1u);
}

}  // namespace
