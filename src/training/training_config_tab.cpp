#include "training/training_config_tab.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cmath>

#include "training/compute_device.h"
#include "training/resume_run.h"
#include "training/training_defaults.h"
#include "training/yolo_threads.h"
#include "ui/dialogs.h"
#include "ui/info_label.h"

namespace orvane::training {

using namespace orvane::training;

TrainingConfigTab::TrainingConfigTab(QWidget* parent) : QWidget(parent) { setup_config_tab(); }

TrainingConfigTab::~TrainingConfigTab() {
  // The thread object's own destructor ends a search still running; nothing is left behind.
  delete state_.tuner_thread;
}

namespace {

// The models the form offers: every scale of YOLOv8 and YOLO11, detection and segmentation, as
// pretrained zoo files (.pt) and then as fresh architectures (.yaml).
QStringList model_choices() {
  struct Family {
    const char* name;
    std::initializer_list<const char*> scales;
  };
  const Family families[] = {{"yolov8", {"s", "n", "m", "l", "x"}}, {"yolo11", {"n", "s", "m", "l", "x"}}};
  QStringList out;
  for (const char* ext : {".pt", ".yaml"})
    for (const Family& family : families)
      for (const char* task : {"", "-seg"})
        for (const char* scale : family.scales)
          out << QString("%1%2%3%4").arg(family.name, scale, task, ext);
  return out;
}

}  // namespace

void TrainingConfigTab::setup_config_tab() {
  const TrainingForm defaults;  // the fields start from the one defaults table
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(build_model_group(defaults));
  layout->addWidget(build_hyperparameter_group(defaults));
  layout->addStretch();
  layout->addLayout(build_buttons());
}

QGroupBox* TrainingConfigTab::build_model_group(const TrainingForm& defaults) {
  auto* model_group = new QGroupBox("Model Backbone && Dataset Mapping");
  auto* model_grid = new QGridLayout(model_group);
  ui_.model_combo = new QComboBox;
  ui_.model_combo->setObjectName("model_combo");
  ui_.model_combo->setEditable(true);
  // Pretrained zoo files (.pt) first, then the same architectures with fresh weights (.yaml).
  ui_.model_combo->addItems(model_choices());
  ui_.model_combo->setCurrentText(defaults.model_path);
  ui_.model_combo->setToolTip(
      "A zoo name (yolov8s.pt ...) fine-tunes the pretrained weights, downloaded once into the "
      "weights folder; a .yaml name trains from fresh weights; or type the path of any .pt file");
  ui_.data_yaml_input = new QLineEdit(defaults.data_yaml);
  ui_.data_yaml_input->setObjectName("data_yaml_input");
  auto* browse = new QPushButton("Browse...");
  browse->setAccessibleName("Browse for the data manifest");
  connect(browse, &QPushButton::clicked, this, &TrainingConfigTab::browse_data_yaml);
  ui_.project_dir_input = new QLineEdit(defaults.project);
  ui_.project_dir_input->setObjectName("project_dir_input");
  ui_.run_name_input = new QLineEdit(defaults.name);
  ui_.run_name_input->setObjectName("run_name_input");
  model_grid->addWidget(create_info_label("YOLO Model Architecture:", "Pretrained weights file"), 0,
                        0);
  ui_.btn_browse_model = new QPushButton("Browse...");
  ui_.btn_browse_model->setAccessibleName("Browse for a weights file");
  connect(ui_.btn_browse_model, &QPushButton::clicked, this, &TrainingConfigTab::browse_model);
  model_grid->addWidget(ui_.model_combo, 0, 1);
  model_grid->addWidget(ui_.btn_browse_model, 0, 2);
  model_grid->addWidget(create_info_label("Data Manifest (.yaml):", "Dataset configuration path"),
                        1, 0);
  model_grid->addWidget(ui_.data_yaml_input, 1, 1);
  model_grid->addWidget(browse, 1, 2);
  model_grid->addWidget(create_info_label("Save Project Directory:", "Output folder"), 2, 0);
  model_grid->addWidget(ui_.project_dir_input, 2, 1, 1, 2);
  model_grid->addWidget(create_info_label("Run Identification Name:", "Experiment folder name"), 3,
                        0);
  // Beside the run's name: a run folder is what a resume continues.
  ui_.btn_resume = new QPushButton(QStringLiteral("⏯ Resume..."));
  ui_.btn_resume->setAccessibleName("Resume an interrupted training");
  ui_.btn_resume->setToolTip(
      "Continue an interrupted run from its weights/last.pt: pick the run folder or the file");
  connect(ui_.btn_resume, &QPushButton::clicked, this, &TrainingConfigTab::pick_run_to_resume);
  model_grid->addWidget(ui_.run_name_input, 3, 1);
  model_grid->addWidget(ui_.btn_resume, 3, 2);
  model_grid->setColumnStretch(1, 1);  // the fields take the width, not the labels
  return model_group;

}

QGroupBox* TrainingConfigTab::build_hyperparameter_group(const TrainingForm& defaults) {
  // Limits from the ranges table, which `orvane train` checks too: the form cannot hold a value
  // the run would refuse.
  auto spin = [](const char* key, int step, int value) {
    const ValueRange& range = *training_range(key);
    auto* box = new QSpinBox;
    box->setRange(int(range.has_special ? std::min(range.min, range.special) : range.min),
                  int(range.max));
    box->setSingleStep(step);
    box->setValue(value);
    return box;
  };
  auto* hyper_group = new QGroupBox("Training Hyperparameters");
  auto* hyper = new QGridLayout(hyper_group);
  ui_.epochs_input = spin("epochs", 1, defaults.epochs);
  ui_.imgsz_input = spin("imgsz", 32, defaults.imgsz);
  ui_.batch_input = spin("batch", 1, defaults.batch);
  // Between -1 (the engine chooses) and 1 lies 0, which means nothing: the box steps over it.
  connect(ui_.batch_input, &QSpinBox::valueChanged, this, [this](int value) {
    if (value == 0) ui_.batch_input->setValue(last_batch_ < 0 ? 1 : -1);
    else last_batch_ = value;
  });
  ui_.workers_input = spin("workers", 1, defaults.workers);
  ui_.epochs_input->setObjectName("epochs_input");
  ui_.imgsz_input->setObjectName("imgsz_input");
  ui_.batch_input->setObjectName("batch_input");
  ui_.workers_input->setObjectName("workers_input");
  ui_.optimizer_combo = new QComboBox;
  for (const char* name : kOptimizers) ui_.optimizer_combo->addItem(name);
  ui_.optimizer_combo->setCurrentText(defaults.optimizer);
  // An open end (a learning rate of 0) becomes the nearest value the box can show.
  auto real_spin = [](const char* key, int decimals, double value) {
    const ValueRange& range = *training_range(key);
    const double unit = std::pow(10.0, -decimals);
    auto* box = new QDoubleSpinBox;
    box->setDecimals(decimals);
    box->setRange(range.min_open ? range.min + unit : range.min,
                  range.max_open ? range.max - unit : range.max);
    box->setValue(value);
    return box;
  };
  ui_.lr0_input = real_spin("lr0", 5, defaults.lr0);
  ui_.lr0_input->setSingleStep(0.0001);
  ui_.lrf_input = real_spin("lrf", 5, defaults.lrf);
  ui_.close_mosaic_input = spin("close_mosaic", 1, defaults.close_mosaic);
  struct Row {
    const char* text;
    const char* tip;
    QWidget* field;
  };
  const Row rows[] = {
      {"Epochs:", "Passes", ui_.epochs_input},
      {"Image Size:", "Pixel size", ui_.imgsz_input},
      {"Batch Size:", "Batch size (-1 for auto)", ui_.batch_input},
      {"DataLoader Workers:", "Worker threads", ui_.workers_input},
      {"Optimizer:", "Optimization strategy", ui_.optimizer_combo},
      {"Initial LR:", "Starting learning rate", ui_.lr0_input},
      {"Final LR Ratio:", "Final learning rate factor", ui_.lrf_input},
      {"Close Mosaic Epochs:", "Disable mosaic at end", ui_.close_mosaic_input},
  };
  for (int i = 0; i < 8; ++i) {
    hyper->addWidget(create_info_label(rows[i].text, rows[i].tip), i / 2, (i % 2) * 2);
    hyper->addWidget(rows[i].field, i / 2, (i % 2) * 2 + 1);
  }
  hyper->setColumnStretch(1, 1);
  hyper->setColumnStretch(3, 1);
  return hyper_group;

}

QHBoxLayout* TrainingConfigTab::build_buttons() {
  auto* buttons = new QHBoxLayout;
  auto* automl = new QPushButton(QStringLiteral("🧬 AutoML Hyperparameter Genetic Search"));
  connect(automl, &QPushButton::clicked, this, &TrainingConfigTab::start_automl_tuning);
  auto* start = new QPushButton(QStringLiteral("🚀 START MODEL TRAINING"));
  start->setAccessibleName("Start model training");
  start->setObjectName("primaryBtn");
  connect(start, &QPushButton::clicked, this, &TrainingConfigTab::start_training_requested);
  buttons->addWidget(automl);
  buttons->addWidget(start);
  return buttons;
}

TrainingForm TrainingConfigTab::current_form() const {
  TrainingForm form;
  form.model_path = ui_.model_combo->currentText();
  form.data_yaml = ui_.data_yaml_input->text();
  form.project = ui_.project_dir_input->text();
  form.name = ui_.run_name_input->text();
  form.epochs = ui_.epochs_input->value();
  form.imgsz = ui_.imgsz_input->value();
  form.batch = ui_.batch_input->value();
  form.workers = ui_.workers_input->value();
  form.optimizer = ui_.optimizer_combo->currentText();
  form.lr0 = ui_.lr0_input->value();
  form.lrf = ui_.lrf_input->value();
  form.close_mosaic = ui_.close_mosaic_input->value();
  return form;
}

bool TrainingConfigTab::is_tuning() const {
  return state_.tuner_thread && state_.tuner_thread->isRunning();
}

void TrainingConfigTab::stop_tuning_for_close() {
  if (!is_tuning()) return;
  // Its outcome is no longer shown; its end is still announced.
  disconnect(state_.tuner_thread, &YoloTunerThread::log_signal, this, nullptr);
  disconnect(state_.tuner_thread, &YoloTunerThread::finished_signal, this, nullptr);
  state_.tuner_thread->stop();
}

void TrainingConfigTab::abort_tuning() {
  if (is_tuning()) state_.tuner_thread->abort();
}

void TrainingConfigTab::browse_data_yaml() {
  const QString path =
      orvane::ui::get_open_file_name(this, "Select Data YAML", QString(), "YAML (*.yaml *.yml)");
  if (!path.isEmpty()) ui_.data_yaml_input->setText(path);
}

void TrainingConfigTab::browse_model() {
  const QString path = orvane::ui::get_open_file_name(this, "Select Weights", QString(),
                                                      "Weights (*.pt *.yaml);;All files (*)");
  if (!path.isEmpty()) ui_.model_combo->setCurrentText(path);
}

void TrainingConfigTab::pick_run_to_resume() {
  const QString picked = orvane::ui::get_open_file_name(
      this, "Select the Run's last.pt (or its folder)", ui_.project_dir_input->text().trimmed(),
      "Checkpoints (last.pt *.pt)");
  if (!picked.isEmpty()) resume_run(picked);
}

void TrainingConfigTab::resume_run(const QString& picked) {
  const Result<QString> last_pt = resume_checkpoint(picked);
  if (!last_pt) {
    orvane::ui::warning(this, "Cannot Resume", last_pt.error());
    return;
  }
  const Result<TrainingForm> form = form_for_resume(*last_pt, current_form());
  if (!form) {
    orvane::ui::warning(this, "Cannot Resume", form.error());
    return;
  }
  set_form(*form);
  Q_EMIT resume_training_requested(*form);
}

void TrainingConfigTab::set_form(const TrainingForm& form) {
  ui_.model_combo->setCurrentText(form.model_path);
  ui_.data_yaml_input->setText(form.data_yaml);
  ui_.project_dir_input->setText(form.project);
  ui_.run_name_input->setText(form.name);
  ui_.epochs_input->setValue(form.epochs);
  ui_.imgsz_input->setValue(form.imgsz);
  ui_.batch_input->setValue(form.batch);
  ui_.workers_input->setValue(form.workers);
  ui_.optimizer_combo->setCurrentText(form.optimizer);
  ui_.lr0_input->setValue(form.lr0);
  ui_.lrf_input->setValue(form.lrf);
  ui_.close_mosaic_input->setValue(form.close_mosaic);
}

void TrainingConfigTab::start_automl_tuning() {
  const QString data_yaml = ui_.data_yaml_input->text().trimmed();
  if (!QFileInfo::exists(data_yaml)) {
    orvane::ui::critical(this, "Error", "Data YAML file path does not exist.");
    return;
  }
  // One search at a time: two would share the console and the machine's cores.
  if (is_tuning()) {
    orvane::ui::warning(this, "AutoML Busy",
                        "An AutoML search is already running; wait for it to finish.");
    return;
  }
  Q_EMIT automl_started();

  delete state_.tuner_thread;  // the previous search has ended
  state_.tuner_thread =
      new YoloTunerThread(current_form(), QString::fromStdString(compute_device()));
  connect(state_.tuner_thread, &YoloTunerThread::log_signal, this, &TrainingConfigTab::log_text);
  connect(state_.tuner_thread, &YoloTunerThread::finished_signal, this,
          [this](bool stopped, const QString& error, const QVariantMap& best_params) {
            if (stopped)
              automl_error("AutoML tuning was stopped.");
            else if (!error.isEmpty())
              automl_error(error);
            else
              apply_automl_results(best_params);
          });
  connect(state_.tuner_thread, &QThread::finished, this, &TrainingConfigTab::tuning_ended);
  state_.tuner_thread->start();
}

void TrainingConfigTab::apply_automl_results(const QVariantMap& best_params) {
  // Both values are checked before either is set, so a bad file leaves the form as it was.
  struct Target {
    const char* key;
    QDoubleSpinBox* box;
    double value = 0;
  };
  Target targets[] = {{"lr0", ui_.lr0_input}, {"lrf", ui_.lrf_input}};
  QStringList problems;
  for (Target& t : targets) {
    if (!best_params.contains(t.key)) continue;
    bool ok = false;
    t.value = best_params[t.key].toString().trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(t.value))
      problems << QString("%1 is not a number (\"%2\")").arg(t.key, best_params[t.key].toString());
  }
  if (!problems.isEmpty()) {
    orvane::ui::warning(this, "AutoML Error",
                        "The tuning result was not applied: " + problems.join("; ") +
                            ". The form keeps its values.");
    Q_EMIT show_requested();
    return;
  }
  for (const Target& t : targets)
    if (best_params.contains(t.key)) t.box->setValue(t.value);
  orvane::ui::information(this, "AutoML Complete", "Optimal hyperparameters applied to controls.");
  Q_EMIT show_requested();
}

void TrainingConfigTab::automl_error(const QString& message) {
  orvane::ui::critical(this, "AutoML Error", message);
}

}  // namespace orvane::training
