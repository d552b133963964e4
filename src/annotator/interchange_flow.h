#pragma once
// The annotator's Import… and Export… buttons: ask for the format and the paths, convert on a
// worker thread (the long-task runner) with a progress dialog, then open what was made (an import becomes the open
// folder; an export can be shown in the file manager).

#include <QObject>
#include <QString>
#include <functional>

class QWidget;

namespace orvane::interchange {
struct ConvertRequest;
struct ConvertOutcome;
}  // namespace orvane::interchange
namespace orvane::tasks {
class LongTask;
}

namespace orvane {

class InterchangeFlow : public QObject {
  Q_OBJECT

 public:
  // What the flow needs of the annotator.
  struct Hooks {
    std::function<QString()> folder;                         // the open folder ("" if none)
    std::function<bool()> save_current;                      // false: a write failed, stay
    std::function<void(const QString& folder)> open_folder;  // an import's result
  };
  // `host` (the annotator) owns this flow and parents its dialogs.
  InterchangeFlow(QWidget* host, Hooks hooks);
  // Stops a running conversion (its staging folder is removed) and waits for it.
  ~InterchangeFlow() override;

  void import_dataset();
  void export_dataset();

  // Where a conversion writes when the operator picked `chosen`: the folder itself when it is
  // empty or new, else a new sub-folder "<name>-<format>" (numbered when that exists too), so a
  // folder chooser's pick never has its contents mixed with the result.
  static QString output_folder_in(const QString& chosen, const QString& name,
                                  const QString& format);

  // A conversion is under way.
  bool is_running() const;

 Q_SIGNALS:
  // A conversion ended and its summary was shown.
  void conversion_finished(const QString& summary);

 private:
  void start(const orvane::interchange::ConvertRequest& request, bool importing);
  void finish(const orvane::interchange::ConvertRequest& request,
              const orvane::interchange::ConvertOutcome& outcome, bool importing);

  QWidget* window() const;

  QWidget* host_;  // the parent
  Hooks hooks_;
  tasks::LongTask* task_;  // the conversion runs on it, one at a time
};

}  // namespace orvane
