#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <memory>

#include "inference/inference_model.h"
#include "inference/model_export.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;

// "Inference & Model Export": tries trained weights on a folder of unseen images, one image at a
// time with the predictions drawn on it, re-predicting whenever the image, the confidence or the
// resolution changes; or on a video, played with predictions (and tracks) frame by frame; and
// exports the weights to a deployment format on a worker thread.
// Prediction runs on the GUI thread through InferenceModel, the engine library in this process.
namespace orvane::test {
struct Access;
}

namespace orvane {
class SliceControls;
class ZoomableView;
}  // namespace orvane

namespace orvane::tasks {
class LongTask;
}

namespace orvane::inference {

class VideoPlayer;

class InferenceTab : public QWidget {
  Q_OBJECT

 public:
  explicit InferenceTab(QWidget* parent = nullptr);
  // A running export is waited for (by its task, a child of the tab).
  ~InferenceTab() override;

 public Q_SLOTS:
  void browse_inf_weights();
  void browse_inf_folder();
  void init_inference();
  void update_inference_display();
  void inf_next_image();
  void inf_prev_image();
  void run_model_export();
  void browse_inf_video();
  // Video: play/pause, and one frame on or back (the step buttons pause first).
  void toggle_video_play();
  void show_video_frame(int index);

 private:
  friend struct orvane::test::Access;
  struct State {
    std::unique_ptr<InferenceModel> inf_model;  // null until a load succeeds
    QStringList inf_image_paths;
    int inf_current_idx = 0;
    tasks::LongTask* export_task = nullptr;  // runs one export at a time; child of this tab
    ExportRequest last_export;               // what the last export started was asked to do
    std::unique_ptr<VideoPlayer> video;      // set while a video (not a folder) is shown
  } state_;
  // Children of this tab.
  struct Ui {
    QLineEdit* entry_inf_weights = nullptr;
    QPushButton* btn_inf_browse_weights = nullptr;
    QLineEdit* entry_inf_folder = nullptr;
    QPushButton* btn_inf_browse_folder = nullptr;
    QDoubleSpinBox* spin_inf_conf = nullptr;
    QSpinBox* spin_inf_imgsz = nullptr;
    SliceControls* inf_slice = nullptr;  // "Sliced" with tile size and overlap
    QPushButton* btn_inf_load = nullptr;
    ZoomableView* inf_view = nullptr;
    QPushButton* btn_inf_prev = nullptr;
    QLabel* lbl_inf_counter = nullptr;
    QPushButton* btn_inf_next = nullptr;
    QLineEdit* entry_export_dir = nullptr;
    QComboBox* combo_export_format = nullptr;
    QPushButton* btn_export = nullptr;
    QPushButton* btn_inf_browse_video = nullptr;
    QWidget* video_row = nullptr;  // shown while a video is loaded
    QPushButton* btn_inf_play = nullptr;
    QSlider* slider_inf_frame = nullptr;
    QCheckBox* chk_inf_track = nullptr;
    QTimer* play_timer = nullptr;
  } ui_;

  void setup_ui();
  QGroupBox* build_parameters();
  QGroupBox* build_export_box();
  QHBoxLayout* build_navigation();
  QWidget* build_video_row();
  void connect_controls();
  PredictSettings predict_settings() const;
  bool open_video(const QString& path);

  // Which file inf_model came from, so pressing load again with unchanged weights (a new folder,
  // say) keeps the model instead of reading it again.
  QString loaded_path_;
  QDateTime loaded_mtime_;
  qint64 loaded_size_ = -1;
  // The last image failure shown in a box: changing a spin box on a broken image must not raise
  // the same box again for every step.
  QString reported_failure_;
};

}  // namespace orvane::inference
