#include "dataset/statistics_dialog.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "imaging/image_files.h"
#include "ui/wait_cursor.h"

namespace orvane::dataset {

namespace {

// A bar chart as the class distribution draws one: a row per bin, its bar against the largest.
QWidget* bar_chart(const QStringList& labels, const std::vector<int>& values, const QString& note = {}) {
  auto* area = new QScrollArea;
  area->setWidgetResizable(true);
  auto* inner = new QWidget;
  auto* rows = new QVBoxLayout(inner);
  const int top = std::max(1, values.empty() ? 1 : *std::max_element(values.begin(), values.end()));
  const int total = std::max(1, [&] { int t = 0; for (int v : values) t += v; return t; }());
  for (size_t i = 0; i < values.size(); ++i) {
    auto* row = new QHBoxLayout;
    auto* name = new QLabel(labels[qsizetype(i)]);
    name->setFixedWidth(140);
    auto* bar = new QProgressBar;
    bar->setRange(0, top);
    bar->setValue(values[i]);
    bar->setTextVisible(false);
    bar->setFixedHeight(15);
    auto* count = new QLabel(QStringLiteral("%1 (%2%)").arg(values[i]).arg(qRound(100.0 * values[i] / total)));
    count->setFixedWidth(90);
    row->addWidget(name);
    row->addWidget(bar, 1);
    row->addWidget(count);
    rows->addLayout(row);
  }
  if (!note.isEmpty()) {
    auto* label = new QLabel(note);
    label->setWordWrap(true);
    rows->addWidget(label);
  }
  rows->addStretch();
  area->setWidget(inner);
  return area;
}

}  // namespace

StatisticsDialog::StatisticsDialog(const QStringList& image_paths, const QStringList& classes, QWidget* parent)
    : QDialog(parent), image_paths_(image_paths), classes_(classes) {
  setWindowTitle("Dataset Statistics");
  setMinimumSize(640, 480);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  spin_imgsz = new QSpinBox(this);
  spin_imgsz->setObjectName("spin_imgsz");
  spin_imgsz->setRange(32, 8192);
  spin_imgsz->setSingleStep(32);
  spin_imgsz->setValue(DatasetStatistics{}.imgsz);
  spin_imgsz->setToolTip("The training size: box sizes are measured with each image's long side scaled to it");
  connect(spin_imgsz, &QSpinBox::editingFinished, this, [this] { recompute(spin_imgsz->value()); });
  form->addRow("Training size (imgsz):", spin_imgsz);
  layout->addLayout(form);
  lbl_summary = new QLabel(this);
  lbl_summary->setWordWrap(true);
  layout->addWidget(lbl_summary);
  lbl_advice = new QLabel(this);
  lbl_advice->setObjectName("lbl_advice");
  lbl_advice->setWordWrap(true);
  lbl_advice->setStyleSheet("color: #FF9F0A; font-weight: bold;");
  layout->addWidget(lbl_advice);
  tab_charts = new QTabWidget(this);
  layout->addWidget(tab_charts, 1);
  recompute(DatasetStatistics{}.imgsz);
}

void StatisticsDialog::recompute(int imgsz) {
  {
    ui::WaitCursor wait;
    stats_ = compute_statistics(image_paths_, classes_, imgsz, [](const QString& image) { return label_path_for(image); });
  }
  if (spin_imgsz->value() != imgsz) spin_imgsz->setValue(imgsz);
  lbl_summary->setText(QStringLiteral("%1 images, %2 objects; %3 images without objects.")
                           .arg(stats_.images)
                           .arg(stats_.objects)
                           .arg(stats_.images_without_objects));
  const QString advice = size_advice(stats_);
  lbl_advice->setText(advice);
  lbl_advice->setVisible(!advice.isEmpty());

  const int current = tab_charts->currentIndex();
  while (tab_charts->count() > 0) {
    QWidget* page = tab_charts->widget(0);
    tab_charts->removeTab(0);
    delete page;
  }
  auto* table = new QTableWidget(int(stats_.classes.size()), 6);
  table->setObjectName("table_class_stats");
  table->setHorizontalHeaderLabels({"Class", "Objects", "Images", "Small", "Medium", "Large"});
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  for (int row = 0; row < int(stats_.classes.size()); ++row) {
    const ClassStatistics& c = stats_.classes[size_t(row)];
    const int values[] = {c.objects, c.images, c.sizes[0], c.sizes[1], c.sizes[2]};
    table->setItem(row, 0, new QTableWidgetItem(c.name));
    for (int k = 0; k < 5; ++k) {
      auto* item = new QTableWidgetItem;
      item->setData(Qt::DisplayRole, values[k]);
      table->setItem(row, k + 1, item);
    }
  }
  table->setSortingEnabled(true);
  tab_charts->addTab(table, "Classes");

  QStringList names;
  std::vector<int> objects;
  for (const ClassStatistics& c : stats_.classes) {
    names << c.name;
    objects.push_back(c.objects);
  }
  tab_charts->addTab(bar_chart(names, objects), "Objects per Class");
  tab_charts->addTab(bar_chart(count_bin_names(), std::vector<int>(stats_.objects_per_image.begin(),
                                                                   stats_.objects_per_image.end()),
                               QStringLiteral("Images by their number of objects (most: %1).")
                                   .arg(stats_.max_objects_per_image)),
                     "Objects per Image");
  const auto spread = [](const std::vector<double>& v) {
    return QStringLiteral("p10 %1, median %2, p90 %3 px")
        .arg(qRound(percentile(v, 0.1)))
        .arg(qRound(percentile(v, 0.5)))
        .arg(qRound(percentile(v, 0.9)));
  };
  tab_charts->addTab(
      bar_chart({"small (< 32²)", "medium (< 96²)", "large"},
                std::vector<int>(stats_.sizes.begin(), stats_.sizes.end()),
                QStringLiteral("Box area in pixels at imgsz=%1. Width: %2. Height: %3.")
                    .arg(imgsz)
                    .arg(spread(stats_.widths), spread(stats_.heights))),
      "Box Sizes");
  tab_charts->addTab(bar_chart(aspect_bin_names(), std::vector<int>(stats_.aspects.begin(), stats_.aspects.end()),
                               "Width / height of each box at the training size."),
                     "Aspect Ratios");
  if (current >= 0) tab_charts->setCurrentIndex(current);
}

}  // namespace orvane::dataset
