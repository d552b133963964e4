#include "dataset/classes_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "ui/dialogs.h"
#include "ui/wait_cursor.h"

namespace orvane::dataset {

ClassesDialog::ClassesDialog(const ClassDataset& dataset, QWidget* parent)
    : QDialog(parent), dataset_(dataset) {
  setWindowTitle("Classes");
  setMinimumSize(520, 380);
  usage_ = class_usage(dataset_.label_files, int(dataset_.names.size()));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(
      "Every label file of the folder is rewritten at once; the whole operation is one undo step."));
  table_classes = new QTableWidget(int(dataset_.names.size()), 4, this);
  table_classes->setObjectName("table_classes");
  table_classes->setHorizontalHeaderLabels({"Id", "Class", "Objects", "Images"});
  table_classes->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_classes->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_classes->verticalHeader()->hide();
  table_classes->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  for (int row = 0; row < dataset_.names.size(); ++row) {
    const auto cell = [&](int column, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      if (column != 1) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table_classes->setItem(row, column, item);
    };
    cell(0, QString::number(row));
    cell(1, dataset_.names[row]);
    cell(2, QString::number(usage_.objects[size_t(row)]));
    cell(3, QString::number(usage_.images[size_t(row)]));
  }
  layout->addWidget(table_classes);
  auto* buttons = new QHBoxLayout;
  const auto button = [&](const char* text, const char* name, auto slot) {
    auto* b = new QPushButton(text, this);
    b->setObjectName(name);
    connect(b, &QPushButton::clicked, this, slot);
    buttons->addWidget(b);
    return b;
  };
  button("Rename…", "btn_rename_class", [this] { rename(); });
  button("Merge…", "btn_merge_classes", [this] { merge(); });
  button("Delete…", "btn_delete_class", [this] { remove(); })->setProperty("class", "danger");
  button("▲ Up", "btn_class_up", [this] { move(-1); });
  button("▼ Down", "btn_class_down", [this] { move(+1); });
  layout->addLayout(buttons);
  auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(close);
}

QList<int> ClassesDialog::selected_rows() const {
  QList<int> rows;
  for (const QModelIndex& index : table_classes->selectionModel()->selectedRows()) rows.append(index.row());
  std::sort(rows.begin(), rows.end());
  return rows;
}

bool ClassesDialog::propose(const ClassOperation& operation) {
  Result<ClassPlan> plan = [&] {
    ui::WaitCursor wait;
    return plan_class_operation(dataset_, operation);
  }();
  if (!plan) {
    ui::warning(this, "Classes", plan.error());
    return false;
  }
  const QString summary = describe_plan(*plan).join('\n');
  if (ui::question(this, "Classes", summary + "\n\nApply to the whole folder?") != QMessageBox::Yes)
    return false;
  plan_ = std::move(*plan);
  accept();
  return true;
}

void ClassesDialog::rename() {
  const QList<int> rows = selected_rows();
  if (rows.size() != 1) {
    ui::information(this, "Classes", "Select the one class to rename.");
    return;
  }
  bool ok = false;
  const QString name = QInputDialog::getText(this, "Rename Class", "New name:", QLineEdit::Normal,
                                             dataset_.names[rows[0]], &ok).trimmed();
  if (!ok || name.isEmpty()) return;
  propose({ClassOperationKind::Rename, {dataset_.names[rows[0]]}, name});
}

void ClassesDialog::merge() {
  const QList<int> rows = selected_rows();
  if (rows.isEmpty()) {
    ui::information(this, "Classes", "Select the classes to merge.");
    return;
  }
  QStringList sources;
  for (int row : rows) sources.append(dataset_.names[row]);
  bool ok = false;
  const QString target =
      QInputDialog::getItem(this, "Merge Classes",
                            "Merge " + sources.join(", ") + " into (a class or a new name):",
                            dataset_.names, rows[0], true, &ok).trimmed();
  if (!ok || target.isEmpty()) return;
  propose({ClassOperationKind::Merge, sources, target});
}

void ClassesDialog::remove() {
  const QList<int> rows = selected_rows();
  if (rows.size() != 1) {
    ui::information(this, "Classes", "Select the one class to delete.");
    return;
  }
  // The plan's summary names how many objects on how many images go.
  propose({ClassOperationKind::Delete, {dataset_.names[rows[0]]}, {}});
}

void ClassesDialog::move(int step) {
  const QList<int> rows = selected_rows();
  if (rows.size() != 1) return;
  const int to = rows[0] + step;
  if (to < 0 || to >= dataset_.names.size()) return;
  QStringList order = dataset_.names;
  order.swapItemsAt(rows[0], to);
  propose({ClassOperationKind::Reorder, order, {}});
}

std::optional<ClassPlan> choose_class_operation(QWidget* parent, const QString& folder) {
  if (folder.isEmpty()) {
    ui::information(parent, "Classes", "Please load a dataset folder first.");
    return std::nullopt;
  }
  if (const Result<QString> recovered = recover_class_operation(folder); !recovered) {
    ui::warning(parent, "Classes", recovered.error());
    return std::nullopt;
  }
  const Result<ClassDataset> dataset = open_folder_dataset(folder);
  if (!dataset) {
    ui::warning(parent, "Classes", dataset.error());
    return std::nullopt;
  }
  if (dataset->names.isEmpty()) {
    ui::information(parent, "Classes", "This folder has no classes yet.");
    return std::nullopt;
  }
  ClassesDialog dialog(*dataset, parent);
  if (ui::exec_dialog(dialog) != QDialog::Accepted) return std::nullopt;
  return dialog.plan();
}

}  // namespace orvane::dataset
