#include "review/review_flow.h"

#include <QFileInfo>
#include <QGraphicsScene>
#include <QKeySequence>
#include <QShortcut>
#include <QTimer>

#include "annotator/annotation_document.h"
#include "review/review_list_model.h"
#include "review/review_overlay.h"
#include "review/review_panel.h"
#include "tasks/long_task.h"
#include "ui/dialogs.h"
#include "ui/task_progress_dialog.h"

namespace orvane::review {

namespace {

// A box as the annotator keeps one: its four corners, clockwise from the top left.
QPolygonF corners(const QRectF& r) { return QPolygonF(r).mid(0, 4); }

}  // namespace

ReviewFlow::ReviewFlow(QWidget* host, AnnotationDocument* document, QGraphicsScene* canvas,
                       std::function<QString()> folder,
                       std::function<void(const QString&)> open_image)
    : QObject(host),
      host_(host),
      document_(document),
      canvas_(canvas),
      folder_(std::move(folder)),
      open_image_(std::move(open_image)),
      model_(new ReviewListModel(this)),
      panel_(new ReviewPanel(model_, host)),
      task_(new tasks::LongTask(this)) {
  // The canvas rebuilds its picture after the document loads: draw over it once that is done.
  connect(document_, &AnnotationDocument::reset, this,
          [this] { QTimer::singleShot(0, this, &ReviewFlow::show_overlay); });
  connect(document_, &AnnotationDocument::edited, this, &ReviewFlow::on_document_edited);
  connect(panel_, &ReviewPanel::image_selected, this, [this](int image) {
    const QString path = model_->report().images[size_t(image)].image_path;
    if (document_->image_path() != path)
      open_image_(path);
    else
      show_overlay();
  });
  connect(panel_, &ReviewPanel::finding_selected, this, &ReviewFlow::on_finding_selected);
  connect(panel_, &ReviewPanel::accept_requested, this, &ReviewFlow::accept_current);
  // The list is a window of its own, so the annotator's undo keys do not reach it from there.
  auto forward = [this](const QKeySequence& keys, void (ReviewFlow::*request)()) {
    connect(new QShortcut(keys, panel_), &QShortcut::activated, this, request);
  };
  forward(QKeySequence::Undo, &ReviewFlow::undo_requested);
  forward(QKeySequence::Redo, &ReviewFlow::redo_requested);
  forward(QKeySequence(Qt::CTRL | Qt::Key_Y), &ReviewFlow::redo_requested);
}

ReviewOverlay* ReviewFlow::overlay() const { return static_cast<ReviewOverlay*>(overlay_.data()); }

ReviewFlow::~ReviewFlow() = default;  // the task stops and waits for its work

bool ReviewFlow::running() const { return task_->running(); }

void ReviewFlow::choose_model_and_review() {
  const QString folder = folder_();
  if (folder.isEmpty()) {
    ui::warning(host_, QStringLiteral("Review with Model"),
                QStringLiteral("Open an image folder first."));
    return;
  }
  const QString path =
      ui::get_open_file_name(host_, QStringLiteral("Review with Model: choose the trained weights"),
                             folder, QStringLiteral("Model weights (*.pt);;All files (*)"));
  if (!path.isEmpty()) start_review(path);
}

bool ReviewFlow::start_review(const QString& model_path) {
  const QString folder = folder_();
  if (task_->running()) return false;
  if (folder.isEmpty()) {
    ui::warning(host_, QStringLiteral("Review with Model"),
                QStringLiteral("Open an image folder first."));
    return false;
  }
  ReviewOptions options;
  options.folder = folder;
  running_folder_ = folder;
  running_model_ = model_path;
  auto report = std::make_shared<Result<ReviewReport>>(fail(QString()));
  task_->start(
      [model_path, options, report](tasks::TaskControl& control) {
        *report = review_with_model(
            model_path, options,
            [&control](int done, int total, const QString& name) {
              control.report(done, total, name);
            },
            control.stop_flag());
      },
      [this, report](const tasks::TaskEnd&) { on_finished(std::move(*report)); });
  ui::TaskProgressDialog::follow(task_, QStringLiteral("Review with Model"), host_);
  return true;
}

void ReviewFlow::on_finished(Result<ReviewReport> ran) {
  if (!ran) {
    ui::warning(host_, QStringLiteral("Review Failed"), ran.error());
    Q_EMIT review_finished();
    return;
  }
  ReviewReport report = std::move(*ran);
  auto store = std::make_unique<DismissedStore>(running_folder_, running_model_);
  const QString store_error = store->error();
  model_->set_report(std::move(report), std::move(store));
  panel_->setWindowTitle(
      QStringLiteral("Label review — %1 — %2")
          .arg(QFileInfo(running_folder_).fileName(), QFileInfo(running_model_).fileName()));
  panel_->show();
  panel_->raise();
  if (!store_error.isEmpty())
    ui::warning(host_, QStringLiteral("Dismissed Findings Not Read"),
                store_error + QStringLiteral("\nEvery finding is shown; new dismissals "
                                             "are not saved."));
  show_overlay();
  Q_EMIT review_finished();
}

void ReviewFlow::show_overlay() {
  const int image = model_->image_index(document_->image_path());
  if (image < 0) {
    if (overlay_) overlay_->hide();
    return;
  }
  if (!overlay_ || overlay_->scene() != canvas_) {
    overlay_ = new ReviewOverlay;
    canvas_->addItem(overlay_);
  }
  const ImageReview& review = model_->report().images[size_t(image)];
  overlay()->set_predictions(review.predictions, model_->report().names, QSizeF(review.size));
  overlay_->show();
  if (panel_->current_image() != image) panel_->select_image(image);
  on_finding_selected();
}

void ReviewFlow::on_finding_selected() {
  if (!overlay_) return;
  const int image = model_->image_index(document_->image_path());
  const std::optional<Finding> f = panel_->current_finding();
  overlay()->set_current(f && panel_->current_image() == image ? &*f : nullptr);
}

void ReviewFlow::on_document_edited() {
  const int image = model_->image_index(document_->image_path());
  if (image < 0) return;
  // The labels as they are now; line numbers follow the order a save writes them in.
  std::vector<LabelObject> labels;
  const auto& shapes = document_->shapes();
  for (size_t i = 0; i < shapes.size(); ++i)
    labels.push_back({int(i + 1), document_->class_id(shapes[i].label), shapes[i].points});
  model_->relabel(image, std::move(labels));
}

bool ReviewFlow::accept_current() {
  const std::optional<Finding> f = panel_->current_finding();
  const int image = panel_->current_image();
  if (!f || image < 0 || f->kind == Kind::Unreadable) return false;
  const ImageReview& review = model_->report().images[size_t(image)];
  if (document_->image_path() != review.image_path) return false;
  QString error;
  bool done = false;
  const auto& shapes = document_->shapes();
  if (f->prediction >= 0) {
    const Prediction& p = review.predictions[size_t(f->prediction)];
    const QPolygonF points = p.outline.size() >= 3 ? p.outline : corners(p.box);
    const QString label = class_name(model_->report().names, p.class_id);
    if (f->kind == Kind::Unlabelled) {
      const QString type =
          p.outline.size() >= 3 ? QStringLiteral("AI Polygon") : QStringLiteral("AI Rectangle");
      const Result<> added =
          document_->add_shapes({{points, label, type}}, QStringLiteral("Accept Prediction"));
      done = bool(added);
      if (!added) error = added.error();
    } else if (f->label >= 0 && f->label < int(shapes.size())) {
      // The label gives way to the prediction, in one step that undo restores whole.
      std::vector<LabelShape> replaced = document_->label_shapes();
      const QPolygonF normal = normalize_polygon(points, QSizeF(document_->image_size()));
      replaced[size_t(f->label)] = LabelShape(p.class_id, normal, p.outline.size() < 3);
      done = document_->replace_shapes(replaced, QStringLiteral("Replace Label by Prediction"));
    }
  } else if (f->label >= 0 && f->label < int(shapes.size())) {
    done = document_->remove_shape(shapes[size_t(f->label)].id);
  }
  if (!done && !error.isEmpty()) ui::warning(host_, QStringLiteral("Accept Failed"), error);
  return done;
}

}  // namespace orvane::review
