#pragma once

#include <QVariantMap>
#include <QWidget>

#include "training/training_params.h"

class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QHBoxLayout;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace orvane::training {
class YoloTunerThread;
}
namespace orvane::test {
struct Access;
}

namespace orvane::training {

// "YOLO Configuration & AutoML": the training form, and the AutoML search whose learning rates
// land back in it. The training itself is started by the monitor tab, which the window wires to
// start_training_requested.
class TrainingConfigTab : public QWidget {
  Q_OBJECT

 public:
  explicit TrainingConfigTab(QWidget* parent = nullptr);
  ~TrainingConfigTab() override;

  bool is_tuning() const;
  // The window is closing: the search is asked to stop and its outcome is no longer shown.
  void stop_tuning_for_close();
  // Ends the search's child at once (a second close while it stops).
  void abort_tuning();

  // The form's values right now.
  orvane::training::TrainingForm current_form() const;

 Q_SIGNALS:
  void start_training_requested();
  // Resume was chosen: `form` holds the run's own options and its last.pt (form.resume).
  void resume_training_requested(const orvane::training::TrainingForm& form);
  // A search is starting: the window clears the console and shows the monitor.
  void automl_started();
  // Console text of the search.
  void log_text(const QString& text);
  // The search's results are in the form: the window shows this tab.
  void show_requested();
  // The search's thread has ended (whatever the outcome); is_tuning() is false from here on.
  void tuning_ended();

 public Q_SLOTS:
  void browse_data_yaml();
  void browse_model();
  // Resume: the operator picks a run folder or its last.pt.
  void pick_run_to_resume();
  // Resumes the run `picked` stands for (a run folder or a last.pt): the form shows its options.
  void resume_run(const QString& picked);
  void start_automl_tuning();
  void apply_automl_results(const QVariantMap& best_params);
  void automl_error(const QString& message);

 private:
  friend struct orvane::test::Access;
  void setup_config_tab();
  QGroupBox* build_model_group(const orvane::training::TrainingForm& defaults);
  QGroupBox* build_hyperparameter_group(const orvane::training::TrainingForm& defaults);
  QHBoxLayout* build_buttons();
  void set_form(const orvane::training::TrainingForm& form);

  struct Ui {
    QComboBox* model_combo = nullptr;
    QLineEdit* data_yaml_input = nullptr;
    QLineEdit* project_dir_input = nullptr;
    QLineEdit* run_name_input = nullptr;
    QSpinBox* epochs_input = nullptr;
    QSpinBox* imgsz_input = nullptr;
    QSpinBox* batch_input = nullptr;
    QSpinBox* workers_input = nullptr;
    QComboBox* optimizer_combo = nullptr;
    QDoubleSpinBox* lr0_input = nullptr;
    QDoubleSpinBox* lrf_input = nullptr;
    QSpinBox* close_mosaic_input = nullptr;
    QPushButton* btn_browse_model = nullptr;
    QPushButton* btn_resume = nullptr;
  } ui_;
  struct State {
    // The last tuning search started; null before the first. Owned by this tab.
    orvane::training::YoloTunerThread* tuner_thread = nullptr;
  } state_;
  int last_batch_ = kTrainingDefaults.batch;  // the batch box's last value other than 0, to step over 0 from
};

}  // namespace orvane::training
