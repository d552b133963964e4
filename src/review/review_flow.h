#pragma once
// Runs a label review from the annotator: asks for the model, reviews the open folder on a worker
// thread (the long-task runner) behind a cancellable progress dialog, shows the review list, opens the image of the
// selected row, draws the predictions over the canvas, applies Accept through the annotation
// document (one undoable, saved edit), and re-matches the shown image whenever its labels change.

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

#include "files/result.h"

class QGraphicsObject;
class QGraphicsScene;
class QWidget;

namespace orvane {
class AnnotationDocument;
}
namespace orvane::tasks {
class LongTask;
}

namespace orvane::review {

class ReviewListModel;
class ReviewOverlay;
class ReviewPanel;
struct ReviewReport;

class ReviewFlow : public QObject {
  Q_OBJECT

 public:
  // `folder()` is the annotator's open folder; `open_image(path)` shows that image in the
  // annotator (saving the current one first, as moving between images does).
  ReviewFlow(QWidget* host, AnnotationDocument* document, QGraphicsScene* canvas,
             std::function<QString()> folder, std::function<void(const QString&)> open_image);
  // Stops a running review and waits for it.
  ~ReviewFlow() override;

  // "Review with model…": asks for the weights file, then start_review.
  void choose_model_and_review();
  // Reviews the open folder with the model at `model_path`. Returns false (with a message box)
  // when there is no folder or a review is already running.
  bool start_review(const QString& model_path);
  // Applies the selected finding (see accept_text).
  bool accept_current();

  ReviewPanel* panel() const { return panel_; }
  ReviewListModel* list_model() const { return model_; }
  ReviewOverlay* overlay() const;
  bool running() const;

 Q_SIGNALS:
  // The run ended and the list is up (or its error was shown).
  void review_finished();
  // Undo or redo keys pressed in the review list: the host undoes as its own keys would.
  void undo_requested();
  void redo_requested();

 private:
  void on_finished(Result<ReviewReport> ran);
  void show_overlay();
  void on_document_edited();
  void on_finding_selected();

  QWidget* host_;
  AnnotationDocument* document_;
  QGraphicsScene* canvas_;
  std::function<QString()> folder_;
  std::function<void(const QString&)> open_image_;
  ReviewListModel* model_;
  ReviewPanel* panel_;
  QPointer<QGraphicsObject> overlay_;  // a ReviewOverlay; the canvas deletes it with every picture
  tasks::LongTask* task_;  // the review runs on it, one at a time
  QString running_folder_, running_model_;
};

}  // namespace orvane::review
