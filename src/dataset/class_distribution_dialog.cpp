#include "dataset/class_distribution_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <algorithm>

#include "dataset/statistics_dialog.h"
#include "ui/dialogs.h"

namespace orvane::dataset {

ClassDistributionDialog::ClassDistributionDialog(
    const std::vector<orvane::dataset::ClassCount>& rows, const QString& note, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle("Dataset Class Distribution");
  setMinimumSize(450, 300);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Current Annotation Totals:", this));

  int max_count = 0;
  for (const auto& row : rows) max_count = std::max(max_count, row.count);

  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  auto* inner = new QWidget(scroll);
  auto* rows_layout = new QVBoxLayout(inner);
  for (const auto& row : rows) {
    auto* line = new QHBoxLayout();
    auto* name = new QLabel(orvane::dataset::count_row_text(row), inner);
    name->setFixedWidth(120);
    name->setToolTip(name->text());  // long class names are cut off at this width
    auto* bar = new QProgressBar(inner);
    bar->setRange(0, max_count);
    bar->setValue(row.count);
    bar->setTextVisible(false);
    bar->setFixedHeight(15);
    line->addWidget(name);
    line->addWidget(bar);
    rows_layout->addLayout(line);
  }
  rows_layout->addStretch();
  scroll->setWidget(inner);
  layout->addWidget(scroll);

  if (!note.isEmpty()) {
    auto* skipped = new QLabel(note, this);
    skipped->setObjectName("lbl_skipped");
    skipped->setWordWrap(true);
    layout->addWidget(skipped);
  }
}

void ClassDistributionDialog::add_statistics_button(const QStringList& image_paths,
                                                    const QStringList& classes) {
  auto* button = new QPushButton("📐 Size Statistics…", this);
  button->setObjectName("btn_statistics");
  button->setToolTip("Objects per image, box sizes at the training size, aspect ratios");
  connect(button, &QPushButton::clicked, this, [this, image_paths, classes] {
    StatisticsDialog dialog(image_paths, classes, this);
    ui::exec_dialog(dialog);
  });
  layout()->addWidget(button);
}

}  // namespace orvane::dataset
