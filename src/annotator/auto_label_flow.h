#pragma once
// The annotator's auto-labelling: "Load AI Model", "Auto-Label Frame" (the current image's
// predicted shapes as one undoable step) and "Auto-Label Folder" (every unlabelled image of the
// folder on a worker thread, the long-task runner, behind a cancellable progress dialog). It holds
// the loaded model; the tab holds this flow and no engine type.

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "annotator/auto_label_model.h"

class QWidget;

namespace orvane::tasks {
class LongTask;
}

namespace orvane {

class AnnotationDocument;

class AutoLabelFlow : public QObject {
  Q_OBJECT

 public:
  // What the flow needs of the tab.
  struct Hooks {
    std::function<QString()> folder;         // the open folder ("" before one is opened)
    std::function<QString()> current_image;  // the image on screen ("" when none)
    std::function<bool()> save_current;      // writes what is on screen; false: a write failed
    // A folder run ended well: `classes` is the class list now, the label files changed.
    std::function<void(const QStringList& classes)> folder_labelled;
  };
  // `document` is the tab's; `host` (the tab) owns this flow and parents its dialogs.
  AutoLabelFlow(QWidget* host, AnnotationDocument* document, Hooks hooks);
  ~AutoLabelFlow() override;  // a running folder job stops after its image and is waited for

  // Asks for a weights file and loads it (not while a folder job runs: it uses the model).
  void choose_model();
  // Loads `path`; the previous model stays when it fails (an error box says why).
  bool load_model_file(const QString& path);
  // Predicts on the image on screen at `conf` and adds the shapes as one step.
  void label_current_image(double conf, const engine::SliceOptions& slice = {});
  // Labels every image of the folder that has no label file yet, saving the screen's first.
  void label_folder(double conf, const engine::SliceOptions& slice = {});

  bool has_model() const { return model_.has_value(); }
  // The loaded model; nullptr before one loaded.
  const AutoLabelModel* model() const { return model_ ? &*model_ : nullptr; }
  bool running() const;

 Q_SIGNALS:
  void model_loaded();
  // The folder run ended and its summary was shown.
  void folder_finished(const QString& summary);

 private:
  QWidget* window() const;

  QWidget* host_;
  AnnotationDocument* document_;
  Hooks hooks_;
  std::optional<AutoLabelModel> model_;
  tasks::LongTask* task_;  // the folder run, one at a time
};

}  // namespace orvane
