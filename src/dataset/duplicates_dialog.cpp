#include "dataset/duplicates_dialog.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include "ui/dialogs.h"

namespace orvane::dataset {

namespace {

constexpr int kThumbSide = 96;
constexpr int kMaxRowsWithThumbnails = 300;  // beyond, paths only: the table stays quick to fill

QPixmap thumbnail(const QString& path) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  const QSize size = reader.size();
  if (size.isValid()) reader.setScaledSize(size.scaled(kThumbSide, kThumbSide, Qt::KeepAspectRatio));
  return QPixmap::fromImage(reader.read());
}

}  // namespace

DuplicatesDialog::DuplicatesDialog(const QString& source, QWidget* parent)
    : QDialog(parent), source_(source) {
  setWindowTitle("Dataset Health Inspector: Duplicates & Leakage");
  setMinimumSize(900, 560);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  lbl_source = new QLabel(this);
  top->addWidget(lbl_source, 1);
  btn_open_yaml = new QPushButton("Check a data.yaml…", this);
  btn_open_yaml->setToolTip("Check every split of a split dataset; copies across splits are leaks");
  connect(btn_open_yaml, &QPushButton::clicked, this, &DuplicatesDialog::choose_yaml);
  top->addWidget(btn_open_yaml);
  layout->addLayout(top);
  progress = new QProgressBar(this);
  layout->addWidget(progress);
  lbl_summary = new QLabel(this);
  lbl_summary->setWordWrap(true);
  layout->addWidget(lbl_summary);
  table_pairs = new QTableWidget(0, 5, this);
  table_pairs->setObjectName("table_pairs");
  table_pairs->setHorizontalHeaderLabels({"Kind", "First copy", "Split", "Second copy", "Split"});
  table_pairs->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_pairs->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_pairs->setSelectionMode(QAbstractItemView::SingleSelection);
  table_pairs->setIconSize(QSize(kThumbSide, kThumbSide));
  table_pairs->verticalHeader()->setDefaultSectionSize(kThumbSide + 6);
  table_pairs->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  table_pairs->horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
  layout->addWidget(table_pairs, 1);
  auto* actions = new QHBoxLayout;
  actions->addWidget(new QLabel("Dropped copies move to a removed/ folder beside their split."));
  actions->addStretch();
  btn_drop_first = new QPushButton("Drop First Copy", this);
  btn_drop_second = new QPushButton("Drop Second Copy", this);
  connect(btn_drop_first, &QPushButton::clicked, this, [this] { drop(table_pairs->currentRow(), 0); });
  connect(btn_drop_second, &QPushButton::clicked, this, [this] { drop(table_pairs->currentRow(), 1); });
  actions->addWidget(btn_drop_first);
  actions->addWidget(btn_drop_second);
  auto* close = new QPushButton("Close", this);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  actions->addWidget(close);
  layout->addLayout(actions);
}

DuplicatesDialog::~DuplicatesDialog() {
  stop_ = true;
  if (worker_) worker_->wait();
}

void DuplicatesDialog::start(const QString& source) {
  if (worker_) return;
  source_ = source;
  const bool yaml = QFileInfo(source).isFile();
  lbl_source->setText((yaml ? "data.yaml: " : "Folder: ") + source);
  if (yaml) {
    Result<std::vector<DatasetImage>> listed = yaml_images(source);
    if (!listed) {
      ui::warning(this, "Duplicates", listed.error());
      return;
    }
    images_ = std::move(*listed);
  } else {
    images_ = folder_images(source);
  }
  dropped_.assign(images_.size(), false);
  table_pairs->setRowCount(0);
  progress->setRange(0, int(images_.size()));
  progress->setValue(0);
  lbl_summary->setText(QStringLiteral("Hashing %1 images…").arg(images_.size()));
  for (QPushButton* b : {btn_open_yaml, btn_drop_first, btn_drop_second}) b->setEnabled(false);
  stop_ = false;
  DuplicateOptions options;
  options.cache_file = default_hash_cache(yaml ? QFileInfo(source).absoluteFilePath() : source);
  options.stop = &stop_;
  options.progress = [this](int done, int) {
    QMetaObject::invokeMethod(progress, [bar = progress, done] { bar->setValue(std::max(bar->value(), done)); },
                              Qt::QueuedConnection);
  };
  worker_ = QThread::create([this, options] { report_ = find_duplicates(images_, options); });
  connect(worker_, &QThread::finished, this, [this] {
    worker_->deleteLater();
    worker_ = nullptr;
    for (QPushButton* b : {btn_open_yaml, btn_drop_first, btn_drop_second}) b->setEnabled(true);
    show_report();
    Q_EMIT finished();
  });
  worker_->start();
}

void DuplicatesDialog::show_report() {
  progress->setValue(progress->maximum());
  int exact = 0, leaks = 0;
  for (const DuplicatePair& p : report_.pairs) {
    exact += p.exact;
    leaks += images_[size_t(p.a)].split != images_[size_t(p.b)].split;
  }
  QString summary = QStringLiteral("%1 images checked in %2 s (%3 from the cache): %4 exact and %5 near copies")
                        .arg(images_.size())
                        .arg(report_.seconds, 0, 'f', 1)
                        .arg(report_.cached)
                        .arg(exact)
                        .arg(int(report_.pairs.size()) - exact);
  if (!images_.empty() && !images_.front().split.isEmpty())
    summary += QStringLiteral(", %1 across splits").arg(leaks);
  summary += '.';
  if (!report_.unreadable.isEmpty())
    summary += QStringLiteral(" %1 images could not be decoded.").arg(report_.unreadable.size());
  if (report_.pairs.empty()) summary += " No duplicates found.";
  lbl_summary->setText(summary);
  table_pairs->setRowCount(int(report_.pairs.size()));
  for (int row = 0; row < int(report_.pairs.size()); ++row) {
    const DuplicatePair& p = report_.pairs[size_t(row)];
    const bool thumbs = row < kMaxRowsWithThumbnails;
    table_pairs->setItem(row, 0, new QTableWidgetItem(p.exact ? "exact" : "near"));
    int column = 1;
    for (int index : {p.a, p.b}) {
      const DatasetImage& image = images_[size_t(index)];
      auto* item = new QTableWidgetItem(QFileInfo(image.path).fileName());
      item->setToolTip(image.path);
      if (thumbs) item->setIcon(QIcon(thumbnail(image.path)));
      table_pairs->setItem(row, column, item);
      table_pairs->setItem(row, column + 1, new QTableWidgetItem(image.split.isEmpty() ? "-" : image.split));
      column += 2;
    }
  }
}

void DuplicatesDialog::drop(int row, int which) {
  if (row < 0 || row >= int(report_.pairs.size())) {
    ui::information(this, "Duplicates", "Select a pair first.");
    return;
  }
  const DuplicatePair& pair = report_.pairs[size_t(row)];
  const int index = which == 0 ? pair.a : pair.b;
  if (dropped_[size_t(index)]) {
    ui::information(this, "Duplicates", "That copy was dropped already.");
    return;
  }
  const Result<QString> moved = drop_copy(images_[size_t(index)]);
  if (!moved) {
    ui::warning(this, "Duplicates", moved.error());
    return;
  }
  dropped_[size_t(index)] = true;
  // Every row showing this copy says where it went.
  for (int r = 0; r < table_pairs->rowCount(); ++r) {
    const DuplicatePair& p = report_.pairs[size_t(r)];
    for (int side = 0; side < 2; ++side)
      if ((side == 0 ? p.a : p.b) == index) {
        QTableWidgetItem* item = table_pairs->item(r, 1 + 2 * side);
        item->setText("(dropped) " + item->text());
        item->setToolTip("Moved to " + *moved);
        item->setForeground(Qt::gray);
      }
  }
}

void DuplicatesDialog::choose_yaml() {
  const QString yaml = ui::get_open_file_name(this, "Select data.yaml", QString(), "YAML (*.yaml *.yml)");
  if (!yaml.isEmpty()) start(yaml);
}

int show_duplicates(QWidget* parent, const QString& folder) {
  if (folder.isEmpty()) {
    ui::information(parent, "Duplicates", "Please load a dataset folder first.");
    return 0;
  }
  DuplicatesDialog dialog(folder, parent);
  dialog.start(folder);
  ui::exec_dialog(dialog);
  return dialog.dropped_count();
}

}  // namespace orvane::dataset
