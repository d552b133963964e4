#include "inference/inference_tab.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <exception>
#include <opencv2/core.hpp>

#include "imaging/image_io.h"
#include "inference/inference_core.h"
#include "inference/inference_model.h"
#include "inference/video_player.h"
#include "tasks/long_task.h"
#include "video/video_source.h"
#include "training/training_defaults.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"
#include "widgets/slice_controls.h"
#include "widgets/zoomable_view.h"

namespace orvane::inference {

namespace ui = orvane::ui;
namespace inf = orvane::inference;

InferenceTab::InferenceTab(QWidget* parent) : QWidget(parent) {
  state_.export_task = new tasks::LongTask(this);
  setup_ui();
}

InferenceTab::~InferenceTab() {
  if (ui_.play_timer) ui_.play_timer->stop();
}

void InferenceTab::setup_ui() {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  top->addWidget(build_parameters(), 2);
  top->addWidget(build_export_box(), 1);
  layout->addLayout(top);
  ui_.inf_view = new ZoomableView;
  layout->addWidget(ui_.inf_view, 1);
  layout->addLayout(build_navigation());
  layout->addWidget(build_video_row());
  connect_controls();
}

// Weights, the folder or video, the thresholds, slicing and the load button.
QGroupBox* InferenceTab::build_parameters() {
  auto* params = new QGroupBox("Inference Engine Parameters");
  auto* grid = new QGridLayout(params);

  ui_.entry_inf_weights = new QLineEdit("runs/detect/tavrix_yolo_run/weights/best.pt");
  ui_.entry_inf_weights->setObjectName("entry_inf_weights");
  ui_.btn_inf_browse_weights = new QPushButton("Browse...");
  grid->addWidget(create_info_label("Model Weights (.pt):", "Path to best.pt"), 0, 0);
  grid->addWidget(ui_.entry_inf_weights, 0, 1);
  grid->addWidget(ui_.btn_inf_browse_weights, 0, 2);

  ui_.entry_inf_folder = new QLineEdit;
  ui_.entry_inf_folder->setObjectName("entry_inf_folder");
  ui_.entry_inf_folder->setPlaceholderText("Select directory containing images to predict...");
  ui_.entry_inf_folder->setToolTip("A folder of images, or a video file (Video...)");
  ui_.btn_inf_browse_folder = new QPushButton("Browse...");
  ui_.btn_inf_browse_folder->setObjectName("btn_inf_browse_folder");
  ui_.btn_inf_browse_video = new QPushButton("Video...");
  ui_.btn_inf_browse_video->setObjectName("btn_inf_browse_video");
  grid->addWidget(create_info_label("Inference Directory:", "Test image directory"), 1, 0);
  grid->addWidget(ui_.entry_inf_folder, 1, 1);
  auto* browse = new QHBoxLayout;
  browse->addWidget(ui_.btn_inf_browse_folder);
  browse->addWidget(ui_.btn_inf_browse_video);
  grid->addLayout(browse, 1, 2);

  // Range and step before the value, so the value is never clamped by a default range.
  // Keyboard tracking off: typing "0.45" predicts once, not for "0.4" on the way.
  ui_.spin_inf_conf = new QDoubleSpinBox;
  ui_.spin_inf_conf->setObjectName("spin_inf_conf");
  ui_.spin_inf_conf->setRange(0.01, 1.0);
  ui_.spin_inf_conf->setSingleStep(0.05);
  ui_.spin_inf_conf->setValue(0.25);
  ui_.spin_inf_conf->setKeyboardTracking(false);
  grid->addWidget(create_info_label("Conf Threshold:", "Minimum prediction score"), 2, 0);
  grid->addWidget(ui_.spin_inf_conf, 2, 1);

  ui_.spin_inf_imgsz = new QSpinBox;
  ui_.spin_inf_imgsz->setObjectName("spin_inf_imgsz");
  ui_.spin_inf_imgsz->setRange(32, 4096);
  ui_.spin_inf_imgsz->setSingleStep(32);
  ui_.spin_inf_imgsz->setValue(orvane::training::kTrainingDefaults.imgsz);
  ui_.spin_inf_imgsz->setKeyboardTracking(false);
  grid->addWidget(create_info_label("Inference Res:", "Image resolution"), 3, 0);
  grid->addWidget(ui_.spin_inf_imgsz, 3, 1);

  ui_.inf_slice = new SliceControls;
  grid->addWidget(
      create_info_label("Small Objects:", "Predict on overlapping tiles of a large image"), 4, 0);
  grid->addWidget(ui_.inf_slice, 4, 1);

  ui_.btn_inf_load = new QPushButton(QStringLiteral("⚡ LOAD MODEL && INFER QUEUE"));
  ui_.btn_inf_load->setAccessibleName("Load model and infer queue");
  ui_.btn_inf_load->setObjectName("primaryBtn");
  grid->addWidget(ui_.btn_inf_load, 5, 0, 1, 3);
  grid->setColumnStretch(1, 1);  // the path fields take the width, not the labels
  return params;
}

QGroupBox* InferenceTab::build_export_box() {
  auto* export_box = new QGroupBox("One-Click Production Export");
  auto* form = new QFormLayout(export_box);
  ui_.entry_export_dir = new QLineEdit("exports");
  form->addRow("Export Target Dir:", ui_.entry_export_dir);
  ui_.combo_export_format = new QComboBox;
  ui_.combo_export_format->setEditable(false);
  ui_.combo_export_format->addItems(export_formats());
  ui_.combo_export_format->setCurrentText(export_formats().front());
  form->addRow("Format Engine:", ui_.combo_export_format);
  ui_.btn_export = new QPushButton(QStringLiteral("🚀 EXPORT MODEL BACKBONE"));
  ui_.btn_export->setObjectName("primaryBtn");
  form->addRow(ui_.btn_export);
  return export_box;
}

// Previous and next image around the counter.
QHBoxLayout* InferenceTab::build_navigation() {
  auto* nav = new QHBoxLayout;
  ui_.btn_inf_prev = new QPushButton(QStringLiteral("◄ Previous Image"));
  ui_.lbl_inf_counter = new QLabel("0 / 0");
  ui_.lbl_inf_counter->setObjectName("lbl_inf_counter");
  ui_.lbl_inf_counter->setAlignment(Qt::AlignCenter);
  ui_.btn_inf_next = new QPushButton(QStringLiteral("Next Image ►"));
  nav->addWidget(ui_.btn_inf_prev);
  nav->addWidget(ui_.lbl_inf_counter, 1);
  nav->addWidget(ui_.btn_inf_next);
  return nav;

}

void InferenceTab::connect_controls() {
  connect(ui_.btn_inf_browse_weights, &QPushButton::clicked, this,
          &InferenceTab::browse_inf_weights);
  connect(ui_.btn_inf_browse_folder, &QPushButton::clicked, this, &InferenceTab::browse_inf_folder);
  connect(ui_.btn_inf_load, &QPushButton::clicked, this, &InferenceTab::init_inference);
  connect(ui_.spin_inf_conf, &QDoubleSpinBox::valueChanged, this,
          &InferenceTab::update_inference_display);
  connect(ui_.spin_inf_imgsz, &QSpinBox::valueChanged, this,
          &InferenceTab::update_inference_display);
  connect(ui_.btn_inf_prev, &QPushButton::clicked, this, &InferenceTab::inf_prev_image);
  connect(ui_.btn_inf_next, &QPushButton::clicked, this, &InferenceTab::inf_next_image);
  connect(ui_.btn_export, &QPushButton::clicked, this, &InferenceTab::run_model_export);
  connect(ui_.btn_inf_browse_video, &QPushButton::clicked, this, &InferenceTab::browse_inf_video);
}

// Play/pause, the frame slider and the Track switch; hidden until a video is loaded.
QWidget* InferenceTab::build_video_row() {
  ui_.video_row = new QWidget;
  auto* row = new QHBoxLayout(ui_.video_row);
  row->setContentsMargins(0, 0, 0, 0);
  ui_.btn_inf_play = new QPushButton(QStringLiteral("▶ Play"));
  ui_.btn_inf_play->setObjectName("btn_inf_play");
  ui_.slider_inf_frame = new QSlider(Qt::Horizontal);
  ui_.slider_inf_frame->setObjectName("slider_inf_frame");
  // Frames are predicted when the slider is let go, not for every frame dragged over.
  ui_.slider_inf_frame->setTracking(false);
  ui_.chk_inf_track = new QCheckBox("Track");
  ui_.chk_inf_track->setObjectName("chk_inf_track");
  ui_.chk_inf_track->setToolTip("Link detections into tracks (ByteTrack) and draw their ids");
  row->addWidget(ui_.btn_inf_play);
  row->addWidget(ui_.slider_inf_frame, 1);
  row->addWidget(ui_.chk_inf_track);
  ui_.video_row->hide();
  ui_.play_timer = new QTimer(this);
  connect(ui_.btn_inf_play, &QPushButton::clicked, this, &InferenceTab::toggle_video_play);
  connect(ui_.slider_inf_frame, &QSlider::valueChanged, this, &InferenceTab::show_video_frame);
  connect(ui_.chk_inf_track, &QCheckBox::toggled, this, &InferenceTab::update_inference_display);
  connect(ui_.inf_slice, &SliceControls::changed, this, &InferenceTab::update_inference_display);
  connect(ui_.play_timer, &QTimer::timeout, this, [this] {
    if (!state_.video || state_.video->position() + 1 >= state_.video->frame_count()) {
      toggle_video_play();  // the end: pause
      return;
    }
    show_video_frame(state_.video->position() + 1);
  });
  return ui_.video_row;
}

void InferenceTab::browse_inf_video() {
  const QString path = ui::get_open_file_name(
      this, "Select Video", QString(), "Videos (*.mp4 *.avi *.mkv *.mov *.webm *.m4v *.mpg *.mpeg *.wmv)");
  if (!path.isEmpty()) ui_.entry_inf_folder->setText(path);
}

bool InferenceTab::open_video(const QString& path) {
  auto player = std::make_unique<VideoPlayer>();
  if (const Result<> opened = player->open(path); !opened) {
    ui::critical(this, "Error", opened.error());
    return false;
  }
  ui_.play_timer->stop();
  ui_.btn_inf_play->setText(QStringLiteral("▶ Play"));
  state_.video = std::move(player);
  state_.inf_image_paths.clear();
  {
    const QSignalBlocker block(ui_.slider_inf_frame);
    ui_.slider_inf_frame->setRange(0, std::max(0, state_.video->frame_count() - 1));
    ui_.slider_inf_frame->setValue(0);
  }
  ui_.video_row->show();
  show_video_frame(0);
  return true;
}

void InferenceTab::toggle_video_play() {
  if (!state_.video) return;
  if (ui_.play_timer->isActive()) {
    ui_.play_timer->stop();
    ui_.btn_inf_play->setText(QStringLiteral("▶ Play"));
    return;
  }
  // At the video's rate, or as fast as prediction allows when that is slower.
  ui_.play_timer->start(std::max(1, int(1000.0 / std::max(1.0, state_.video->fps()))));
  ui_.btn_inf_play->setText(QStringLiteral("⏸ Pause"));
}

void InferenceTab::show_video_frame(int index) {
  if (!state_.video || !state_.inf_model) return;
  index = std::clamp(index, 0, std::max(0, state_.video->frame_count() - 1));
  const auto shown = state_.video->show(index, *state_.inf_model, predict_settings(),
                                       ui_.chk_inf_track->isChecked());
  if (!shown) {
    if (ui_.play_timer->isActive()) toggle_video_play();
    ui::warning(this, "Prediction Error",
                "Cannot predict on frame " + QString::number(index + 1) + ":\n" + shown.error());
    return;
  }
  const cv::Mat& picture = *shown;
  if (picture.empty()) {
    // The video is shorter than it claims (a truncated file): stop at its real end.
    if (ui_.play_timer->isActive()) toggle_video_play();
    const QSignalBlocker block(ui_.slider_inf_frame);
    ui_.slider_inf_frame->setMaximum(std::max(0, state_.video->frame_count() - 1));
    ui_.lbl_inf_counter->setText(QStringLiteral("Frame %1 did not decode: the video ends at frame %2")
                                     .arg(index + 1)
                                     .arg(state_.video->frame_count()));
    return;
  }
  ui_.inf_view->set_image(QPixmap::fromImage(orvane::mat_to_qimage(picture)));
  {
    const QSignalBlocker block(ui_.slider_inf_frame);
    ui_.slider_inf_frame->setValue(index);
  }
  QString text = QStringLiteral("Frame %1 / %2 - %3")
                     .arg(index + 1)
                     .arg(state_.video->frame_count())
                     .arg(QFileInfo(state_.video->path()).fileName());
  if (ui_.chk_inf_track->isChecked()) text += QStringLiteral(" (%1 tracked)").arg(state_.video->tracks_shown());
  ui_.lbl_inf_counter->setText(text);
}

void InferenceTab::browse_inf_weights() {
  // Exported models predict too, so they are offered beside our checkpoints.
  const QString path = ui::get_open_file_name(this, "Select Weights", QString(),
                                              "PyTorch Weights (*.pt *.onnx *.torchscript)");
  if (!path.isEmpty()) ui_.entry_inf_weights->setText(path);
}

void InferenceTab::browse_inf_folder() {
  const QString folder = ui::get_existing_directory(this, "Select Test Folder");
  if (!folder.isEmpty()) ui_.entry_inf_folder->setText(folder);
}

void InferenceTab::init_inference() {
  const QString weights = ui_.entry_inf_weights->text().trimmed();
  const QString folder = ui_.entry_inf_folder->text().trimmed();
  const bool is_video = QFileInfo(folder).isFile() && orvane::video::is_video_file(folder.toStdString());
  if (weights.isEmpty() || folder.isEmpty() || !QFileInfo::exists(weights) ||
      (!QFileInfo(folder).isDir() && !is_video)) {
    ui::critical(this, "Error", "Ensure weights and inference folder paths are valid.");
    return;
  }

  // Loading replaces the model only when it succeeds; the previous model and list stay otherwise.
  const QFileInfo info(weights);
  const QString absolute = info.absoluteFilePath();
  const bool unchanged = state_.inf_model && absolute == loaded_path_ &&
                         info.lastModified() == loaded_mtime_ && info.size() == loaded_size_;
  if (!unchanged) {
    auto model = inf::InferenceModel::load(weights);
    if (!model) {
      ui::critical(this, "Error", "Cannot load the model weights " + weights + ":\n" + model.error());
      return;
    }
    state_.inf_model = std::move(*model);
    loaded_path_ = absolute;
    loaded_mtime_ = info.lastModified();
    loaded_size_ = info.size();
  }

  if (is_video) {
    open_video(folder);
    return;
  }
  state_.video.reset();
  ui_.play_timer->stop();
  ui_.video_row->hide();
  state_.inf_image_paths = inf::list_inference_images(folder);
  reported_failure_.clear();
  if (state_.inf_image_paths.isEmpty()) {
    // Without a word the button would seem to do nothing; the view keeps what it showed.
    ui::information(this, "No Images",
                    "No .jpg, .jpeg, .png, .bmp or .webp images were found in:\n" + folder);
    return;
  }
  state_.inf_current_idx = 0;
  update_inference_display();
}

void InferenceTab::update_inference_display() {
  if (state_.video) {
    show_video_frame(std::max(0, state_.video->position()));
    return;
  }
  if (!state_.inf_model || state_.inf_image_paths.isEmpty()) return;
  const QString path = state_.inf_image_paths.at(state_.inf_current_idx);
  ui_.lbl_inf_counter->setText(
      inf::counter_text(state_.inf_current_idx, int(state_.inf_image_paths.size()), path));

  const auto annotated = state_.inf_model->annotate(path, predict_settings());
  if (annotated) {
    ui_.inf_view->set_image(QPixmap::fromImage(orvane::mat_to_qimage(*annotated)));
    reported_failure_.clear();
    return;
  }
  // The entry stays current (the counter names it) and the view is emptied, so no earlier
  // prediction is mistaken for this file's; next/previous step on as usual.
  ui_.inf_view->set_image(QPixmap());
  const QString message = "Cannot predict on " + QFileInfo(path).fileName() + ":\n" + annotated.error();
  if (message != reported_failure_) {
    reported_failure_ = message;
    ui::warning(this, "Prediction Error", message);
  }
}

inf::PredictSettings InferenceTab::predict_settings() const {
  return {.conf = float(ui_.spin_inf_conf->value()),
          .imgsz = ui_.spin_inf_imgsz->value(),
          .slice = ui_.inf_slice->tile_size(),
          .overlap = float(ui_.inf_slice->overlap_value())};
}

void InferenceTab::inf_next_image() {
  if (state_.video) {
    if (ui_.play_timer->isActive()) toggle_video_play();
    show_video_frame(state_.video->position() + 1);
    return;
  }
  if (state_.inf_image_paths.isEmpty()) return;
  state_.inf_current_idx =
      inf::wrap_index(state_.inf_current_idx, 1, int(state_.inf_image_paths.size()));
  update_inference_display();
}

void InferenceTab::inf_prev_image() {
  if (state_.video) {
    if (ui_.play_timer->isActive()) toggle_video_play();
    show_video_frame(state_.video->position() - 1);
    return;
  }
  if (state_.inf_image_paths.isEmpty()) return;
  state_.inf_current_idx =
      inf::wrap_index(state_.inf_current_idx, -1, int(state_.inf_image_paths.size()));
  update_inference_display();
}

void InferenceTab::run_model_export() {
  const QString weights = ui_.entry_inf_weights->text().trimmed();
  const QString export_dir = ui_.entry_export_dir->text().trimmed();
  const QString format = ui_.combo_export_format->currentText();
  if (weights.isEmpty() || !QFileInfo::exists(weights)) {
    ui::critical(this, "Error", "Select a valid weights file first.");
    return;
  }
  if (export_dir.isEmpty()) {
    ui::critical(this, "Error", "Enter an export folder first.");
    return;
  }
  // Two exports of the same weights would write the same file beside them at once; one at a time.
  if (state_.export_task->running()) {
    ui::information(this, "Export Running",
                    "An export is still running. Its result will be shown when it ends.");
    return;
  }

  state_.last_export = {weights, format, export_dir};
  auto placed = std::make_shared<Result<QString>>(fail(QString()));
  state_.export_task->start(
      [request = state_.last_export, placed](tasks::TaskControl&) {
        *placed = export_into_folder(request);
      },
      [this, placed](const tasks::TaskEnd& end) {
        if (!end.error.isEmpty())
          ui::critical(this, "Export Error", end.error);
        else if (*placed)
          ui::information(this, "Export Success", "Model exported to:\n" + **placed);
        else
          ui::critical(this, "Export Error", placed->error());
      });
}

}  // namespace orvane::inference
