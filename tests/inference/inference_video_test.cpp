// The inference tab on a video, with the shapes checkpoint: the slider spans the frames, the step
// buttons move one frame, play runs to the end and pauses, the Track switch draws ids, and a
// truncated video stops at its real end.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "common/dialog_recorder.h"
#include "common/gui_app.h"
#include "common/tab_access.h"
#include "inference/inference_tab.h"
#include "inference/video_player.h"
#include "video/synthetic_video.h"

using orvane::inference::InferenceTab;
using orvane::test::controls;
using orvane::test::state;

namespace {

class InferenceVideoTest : public orvane::test::GuiTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    orvane::test::SceneObject disc;
    disc.circle = true;
    disc.radius = 22;
    disc.path = {{0, {30, 70}}, {11, {160, 70}}};
    video.size = {192, 144};
    video.frames = 12;
    video.objects = {disc};
    ASSERT_TRUE(video.write(path().toStdString()));
    const auto weights = std::filesystem::path(qEnvironmentVariable("ORVANE_SOURCE_DIR").toStdString()) /
                         "tests/data/weights/yolov8n-shapes.pt";
    controls(tab).entry_inf_weights->setText(QString::fromStdString(weights.string()));
    controls(tab).spin_inf_imgsz->setValue(96);
  }
  QString path() const { return dir.filePath("clip.avi"); }
  QString counter() { return controls(tab).lbl_inf_counter->text(); }

  orvane::test::DialogRecorder dialogs;
  QTemporaryDir dir;
  orvane::test::SyntheticVideo video;
  InferenceTab tab;
};

TEST_F(InferenceVideoTest, StepsPlaysAndTracksThroughTheFrames) {
  controls(tab).entry_inf_folder->setText(path());
  tab.init_inference();
  ASSERT_TRUE(dialogs.messages.empty()) << dialogs.messages.front().text.toStdString();
  ASSERT_TRUE(state(tab).video);
  EXPECT_EQ(controls(tab).slider_inf_frame->maximum(), 11);
  EXPECT_TRUE(counter().startsWith("Frame 1 / 12 - clip.avi")) << counter().toStdString();
  QTest::mouseClick(controls(tab).btn_inf_next, Qt::LeftButton);
  EXPECT_TRUE(counter().startsWith("Frame 2 / 12")) << counter().toStdString();
  QTest::mouseClick(controls(tab).btn_inf_prev, Qt::LeftButton);
  EXPECT_EQ(state(tab).video->position(), 0);

  controls(tab).chk_inf_track->setChecked(true);
  EXPECT_TRUE(counter().contains("(1 tracked)")) << counter().toStdString();
  // Play to the end: the timer pauses itself on the last frame.
  QTest::mouseClick(controls(tab).btn_inf_play, Qt::LeftButton);
  EXPECT_TRUE(controls(tab).play_timer->isActive());
  QTRY_VERIFY_WITH_TIMEOUT(!controls(tab).play_timer->isActive(), 30000);
  EXPECT_EQ(state(tab).video->position(), 11);
  EXPECT_EQ(controls(tab).slider_inf_frame->value(), 11);
  EXPECT_TRUE(counter().contains("(1 tracked)")) << counter().toStdString();

  controls(tab).slider_inf_frame->setValue(5);
  EXPECT_TRUE(counter().startsWith("Frame 6 / 12")) << counter().toStdString();
}

TEST_F(InferenceVideoTest, ATruncatedVideoStopsAtItsRealEnd) {
  std::filesystem::resize_file(path().toStdString(), std::filesystem::file_size(path().toStdString()) / 2);
  controls(tab).entry_inf_folder->setText(path());
  tab.init_inference();
  ASSERT_TRUE(state(tab).video);
  controls(tab).slider_inf_frame->setValue(11);
  EXPECT_TRUE(counter().contains("did not decode")) << counter().toStdString();
  EXPECT_LT(controls(tab).slider_inf_frame->maximum(), 11);
}

}  // namespace
