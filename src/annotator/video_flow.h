#pragma once
// The annotator's video actions: "🎞️ Open Video…" (frames extracted on a worker thread with
// progress and Cancel, then opened as the folder), propagating the current frame's shapes to the
// next frames, interpolating between two keyframes, and the marks on shapes that were carried
// rather than drawn until the operator touches or accepts them. The tracking and the
// arithmetic live in video/ and annotator/video_labels.h; this only drives the tab.

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "annotator/label_file.h"

class QWidget;
class QProgressDialog;

namespace orvane {

class AnnotationDocument;
namespace tasks {
class LongTask;
}

class VideoFlow : public QObject {
  Q_OBJECT

 public:
  // What the flow needs of the tab.
  struct Hooks {
    std::function<QStringList()> image_paths;
    std::function<int()> current_row;
    std::function<void(int row)> go_to_row;  // saves first; stays when the save failed
    std::function<void(const QString& folder)> open_folder;
    std::function<void()> marks_changed;     // recolour the shapes
  };
  // `document` is the tab's; `parent` (the tab) owns this flow.
  VideoFlow(QWidget* parent, AnnotationDocument* document, Hooks hooks);
  ~VideoFlow() override;  // a running extraction stops after its frame (its task is a child)

  // Asks for a video and how to cut it, extracts, and opens the frames' folder.
  void open_video();
  // Extracts `video` into `out` and opens it (what open_video does after its dialogs).
  void extract(const QString& video, const QString& out, int step, int dedupe);
  bool is_extracting() const;

  // Carries the current frame's shapes onto the next `frames` frames, one undoable step each,
  // stopping at a frame that already has labels. Returns the closing message (also shown).
  QString propagate(int frames);
  // Fills the frames between the nearest earlier labelled frame and this one. Returns the
  // closing message (also shown).
  QString interpolate();
  // The current frame's carried shapes become ordinary ones.
  void accept_carried();
  bool is_carried(int shape_id) const { return carried_ids_.contains(shape_id); }
  int carried_count() const { return int(carried_ids_.size()); }

 Q_SIGNALS:
  void extraction_finished(const QString& message);

 private:
  void refresh_marks();
  void forget_shape(int index);
  // Applies `shapes` to frame `row` as one step and marks them carried. False when the tab
  // could not move there.
  bool apply_to_frame(int row, const std::vector<LabelShape>& shapes, const QString& step);

  QWidget* parent_;
  AnnotationDocument* document_;
  Hooks hooks_;
  QHash<QString, std::vector<LabelShape>> carried_;  // image path -> shapes carried onto it
  QSet<int> carried_ids_;                            // the shown image's carried shapes
  tasks::LongTask* extraction_;                      // child; one extraction at a time
  QString video_folder_;
};

}  // namespace orvane
