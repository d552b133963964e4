#include "annotator/video_flow.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QLineEdit>
#include <QProgressDialog>
#include <QSpinBox>
#include <QWidget>

#include "annotator/annotation_document.h"
#include "annotator/video_labels.h"
#include "imaging/image_files.h"
#include "imaging/image_io.h"
#include "tasks/long_task.h"
#include "ui/dialogs.h"
#include "ui/task_progress_dialog.h"
#include "ui/wait_cursor.h"
#include "video/frame_extract.h"
#include "video/propagation.h"

namespace orvane {

namespace {

QString file_name_of(const QString& path) { return QFileInfo(path).fileName(); }

// Frames of one video carry their index in their names; anything else counts by position.
std::vector<double> frame_times(const QStringList& paths, int a, int b) {
  std::vector<double> ts;
  const auto ia = video::frame_index_from_name(file_name_of(paths[a]).toStdString());
  const auto ib = video::frame_index_from_name(file_name_of(paths[b]).toStdString());
  for (int r = a + 1; r < b; ++r) {
    const auto ir = video::frame_index_from_name(file_name_of(paths[r]).toStdString());
    if (ia && ib && ir && *ib > *ia)
      ts.push_back(double(*ir - *ia) / double(*ib - *ia));
    else
      ts.push_back(double(r - a) / double(b - a));
  }
  return ts;
}

}  // namespace

VideoFlow::VideoFlow(QWidget* parent, AnnotationDocument* document, Hooks hooks)
    : QObject(parent),
      parent_(parent),
      document_(document),
      hooks_(std::move(hooks)),
      extraction_(new tasks::LongTask(this)) {
  connect(document_, &AnnotationDocument::reset, this, &VideoFlow::refresh_marks);
  // Moving or relabelling a carried shape is the operator taking it over.
  connect(document_, &AnnotationDocument::shape_changed, this, &VideoFlow::forget_shape);
}

VideoFlow::~VideoFlow() = default;

bool VideoFlow::is_extracting() const { return extraction_->running(); }

void VideoFlow::refresh_marks() {
  carried_ids_.clear();
  const auto it = carried_.constFind(document_->image_path());
  if (it != carried_.constEnd() && document_->has_image()) {
    const auto shapes = document_->label_shapes();
    for (size_t i = 0; i < shapes.size(); ++i)
      for (const auto& c : *it)
        if (same_label_shape(shapes[i], c)) carried_ids_.insert(document_->shapes()[i].id);
  }
  if (hooks_.marks_changed) hooks_.marks_changed();
}

void VideoFlow::forget_shape(int index) {
  if (index < 0 || size_t(index) >= document_->shapes().size()) return;
  const int id = document_->shapes()[size_t(index)].id;
  if (!carried_ids_.remove(id)) return;
  // Forget it for this image too, so it is not marked again when the image comes back.
  auto& list = carried_[document_->image_path()];
  list.clear();
  const auto shapes = document_->label_shapes();
  for (size_t i = 0; i < shapes.size(); ++i)
    if (carried_ids_.contains(document_->shapes()[i].id)) list.push_back(shapes[i]);
  if (hooks_.marks_changed) hooks_.marks_changed();
}

void VideoFlow::accept_carried() {
  carried_.remove(document_->image_path());
  refresh_marks();
}

bool VideoFlow::apply_to_frame(int row, const std::vector<LabelShape>& shapes, const QString& step) {
  hooks_.go_to_row(row);
  if (hooks_.current_row() != row || !document_->has_image()) return false;
  // Remembered before the edit: its save and the views' rebuild then already see the marks.
  auto& list = carried_[document_->image_path()];
  list.insert(list.end(), shapes.begin(), shapes.end());
  document_->replace_shapes(shapes, step);  // saved by the tab like every edit
  refresh_marks();
  return true;
}

QString VideoFlow::propagate(int frames) {
  const QStringList paths = hooks_.image_paths();
  const int start_row = hooks_.current_row();
  if (!document_->has_image() || start_row < 0 || start_row >= paths.size()) {
    ui::warning(parent_, "Propagate", "Open a folder of frames and label a frame first.");
    return {};
  }
  const std::vector<LabelShape> start = document_->label_shapes();
  if (start.empty()) {
    ui::information(parent_, "Propagate", "This frame has no shapes to propagate.");
    return {};
  }
  const QSize size = document_->image_size();
  video::ShapePropagator propagator(video::TrackerKind::csrt);
  {
    ui::WaitCursor wait;
    propagator.start(read_image_bgr(paths[start_row]), carried_from(start, size));
  }
  QProgressDialog progress("Propagating shapes…", "Cancel", 0, frames, parent_);
  progress.setWindowTitle("Propagate");
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  QStringList lost;
  QString stop_reason;
  int done = 0;
  for (int k = 1; k <= frames; ++k) {
    const int row = start_row + k;
    if (row >= paths.size()) {
      stop_reason = "the last frame was reached";
      break;
    }
    if (progress.wasCanceled()) {
      stop_reason = "cancelled";
      break;
    }
    // A frame the operator (or an earlier run) labelled is never overwritten.
    const LabelFileContents existing = read_label_file(label_path_for(paths[row]), document_->classes().size());
    if (!existing.shapes.empty() || existing.status == LabelReadStatus::Unreadable ||
        existing.status == LabelReadStatus::Stopped) {
      stop_reason = file_name_of(paths[row]) + " already has labels";
      break;
    }
    const cv::Mat frame = read_image_bgr(paths[row]);
    if (frame.empty()) {
      stop_reason = file_name_of(paths[row]) + " could not be decoded";
      break;
    }
    const video::CarryStep step = propagator.next(frame);
    for (int key : step.lost)
      lost << QStringLiteral("'%1' (row %2 of the start frame) at %3")
                  .arg(document_->classes().value(start[size_t(key)].class_id))
                  .arg(key + 1)
                  .arg(file_name_of(paths[row]));
    if (step.shapes.empty()) {
      stop_reason = "every object was lost";
      break;
    }
    if (!apply_to_frame(row, labels_from(step, start, size), "Propagate shapes")) {
      stop_reason = file_name_of(paths[row]) + " could not be opened";
      break;
    }
    ++done;
    progress.setValue(k);  // last: a modal progress dialog runs the event loop here
  }
  progress.reset();
  QString text = QStringLiteral("Propagated %1 shape(s) to %2 frame(s).").arg(start.size()).arg(done);
  if (!stop_reason.isEmpty()) text += "\nStopped: " + stop_reason + ".";
  if (!lost.isEmpty())
    text += "\nTracks lost (not carried further, check these objects):\n  " + lost.join("\n  ");
  if (done > 0) text += "\nCarried shapes have dashed outlines until moved or accepted.";
  ui::information(parent_, "Propagate", text);
  return text;
}

QString VideoFlow::interpolate() {
  const QStringList paths = hooks_.image_paths();
  const int b = hooks_.current_row();
  if (!document_->has_image() || b < 0 || b >= paths.size() || document_->shapes().empty()) {
    ui::information(parent_, "Interpolate",
                    "Label this frame and an earlier one first: the frames between the two get "
                    "shapes interpolated from both.");
    return {};
  }
  int a = -1;
  std::vector<LabelShape> a_shapes;
  for (int r = b - 1; r >= 0; --r) {
    const LabelFileContents read = read_label_file(label_path_for(paths[r]), document_->classes().size());
    if (!read.shapes.empty()) {
      a = r;
      a_shapes = read.shapes;
      break;
    }
  }
  if (a < 0) {
    ui::information(parent_, "Interpolate", "No earlier frame has labels to interpolate from.");
    return {};
  }
  if (a == b - 1) {
    ui::information(parent_, "Interpolate", "The previous frame is labelled: there is no frame between.");
    return {};
  }
  const std::vector<LabelShape> b_shapes = document_->label_shapes();
  const auto result = interpolate_keyframes(a_shapes, b_shapes, frame_times(paths, a, b));
  if (result.paired == 0) {
    ui::information(parent_, "Interpolate",
                    "No shape of " + file_name_of(paths[a]) + " has a partner of its class here.");
    return {};
  }
  int done = 0;
  for (int r = a + 1; r < b; ++r) {
    if (!apply_to_frame(r, result.frames[size_t(r - a - 1)], "Interpolate shapes")) break;
    ++done;
  }
  hooks_.go_to_row(b);
  QString text = QStringLiteral("Interpolated %1 shape(s) over %2 frame(s) between %3 and %4.")
                     .arg(result.paired)
                     .arg(done)
                     .arg(file_name_of(paths[a]), file_name_of(paths[b]));
  if (result.by_box > 0)
    text += QStringLiteral("\n%1 outline(s) differ in vertex count between the keyframes: they were "
                           "interpolated by their boxes and written as boxes.")
                .arg(result.by_box);
  if (result.unpaired > 0)
    text += QStringLiteral("\n%1 shape(s) had no partner of their class in the other keyframe and were left out.")
                .arg(result.unpaired);
  ui::information(parent_, "Interpolate", text);
  return text;
}

void VideoFlow::open_video() {
  if (is_extracting()) return;
  const QString video = ui::get_open_file_name(
      parent_, "Open Video", {}, "Videos (*.mp4 *.avi *.mkv *.mov *.webm *.m4v *.mpg *.mpeg *.wmv);;All Files (*)");
  if (video.isEmpty()) return;
  const QFileInfo info(video);
  QDialog dialog(parent_);
  dialog.setWindowTitle("Extract Frames");
  auto* form = new QFormLayout(&dialog);
  auto* out = new QLineEdit(QDir(info.absolutePath()).filePath(info.completeBaseName() + "_frames"));
  out->setObjectName("entry_frames_out");
  auto* step = new QSpinBox;
  step->setObjectName("spin_frame_step");
  step->setRange(1, 10000);
  step->setValue(1);
  step->setToolTip("Keep every Nth frame");
  auto* dedupe = new QSpinBox;
  dedupe->setObjectName("spin_frame_dedupe");
  dedupe->setRange(0, 64);
  dedupe->setToolTip(
      "Skip frames within this many bits (of 64) of the last kept frame's perceptual hash; 0 keeps every frame");
  form->addRow("Frames folder:", out);
  form->addRow("Every Nth frame:", step);
  form->addRow("Skip near-duplicates (bits):", dedupe);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  form->addRow(buttons);
  if (ui::exec_dialog(dialog) != QDialog::Accepted || out->text().trimmed().isEmpty()) return;
  extract(video, out->text().trimmed(), step->value(), dedupe->value());
}

void VideoFlow::extract(const QString& video, const QString& out, int step, int dedupe) {
  if (extraction_->running()) return;
  video::FrameOptions options;
  options.step = step;
  options.dedupe = dedupe;
  video_folder_ = out;
  auto report = std::make_shared<video::FrameReport>();
  extraction_->start(
      [video, out, options, report](tasks::TaskControl& control) {
        try {
          *report = video::extract_frames(
              video.toStdString(), out.toStdString(), options, [&control](int done, int total) {
                // A video whose length is not known counts frames without a total.
                control.report(done, std::max(total, 0),
                               total > 0 ? QStringLiteral("Frame %1 of %2").arg(done).arg(total)
                                         : QStringLiteral("Frame %1").arg(done));
                return !control.stop_requested();
              });
        } catch (const std::exception& e) {
          // OpenCV's own errors deep in decoding or encoding: the run ends with the reason.
          report->error = e.what();
        }
      },
      [this, report](const tasks::TaskEnd&) {
        const QString message = QString::fromStdString(report->message());
        if (!report->frames.empty()) hooks_.open_folder(video_folder_);
        if (report->ok())
          ui::information(parent_, "Open Video", message);
        else
          ui::warning(parent_, "Open Video", message);
        Q_EMIT extraction_finished(message);
      });
  ui::TaskProgressDialog::follow(extraction_, "Open Video", parent_);
}

}  // namespace orvane
