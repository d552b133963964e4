// Dismissed findings on disk: per folder and model, kept across sessions, never counted as data
// by the health check or the split.

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include "common/run_orvane.h"
#include "dataset/health_check.h"
#include "review/dismissed.h"

namespace orvane::review {
namespace {

Finding missed_at(int line) {
  Finding f;
  f.kind = Kind::Missed;
  f.line = line;
  f.class_id = 0;
  f.box = QRectF(10.2, 20.4, 30, 30);
  return f;
}

QByteArray read_all(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(DismissedStore, StaysDismissedForThatFolderAndModelOnly) {
  QTemporaryDir dir;
  const QString key = finding_key(dir.filePath("a.png"), missed_at(2));
  EXPECT_EQ(key, "a.png|missed|2|0|10,20,40,50");
  {
    DismissedStore store(dir.path(), dir.filePath("best.pt"));
    EXPECT_FALSE(store.contains(key));
    ASSERT_TRUE(store.dismiss(key).ok());
  }
  EXPECT_TRUE(QFile::exists(dir.filePath(".orvane-review-dismissed.json")));
  DismissedStore again(dir.path(), dir.filePath("best.pt"));
  EXPECT_TRUE(again.contains(key));
  // Another model's review starts with nothing dismissed, and its dismissals keep the first's.
  DismissedStore other(dir.path(), dir.filePath("last.pt"));
  EXPECT_FALSE(other.contains(key));
  ASSERT_TRUE(other.dismiss(finding_key(dir.filePath("b.png"), missed_at(1))).ok());
  EXPECT_TRUE(DismissedStore(dir.path(), dir.filePath("best.pt")).contains(key));
  ASSERT_TRUE(again.restore(key).ok());
  EXPECT_FALSE(DismissedStore(dir.path(), dir.filePath("best.pt")).contains(key));
  EXPECT_EQ(DismissedStore(dir.path(), dir.filePath("last.pt")).size(), 1);
}

TEST(DismissedStore, AFileItCannotReadIsNeverOverwritten) {
  QTemporaryDir dir;
  const QString path = dir.filePath(".orvane-review-dismissed.json");
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("{ half written");
  file.close();
  DismissedStore store(dir.path(), dir.filePath("best.pt"));
  EXPECT_FALSE(store.error().isEmpty());
  EXPECT_FALSE(store.dismiss("a.png|missed|1|0|0,0,1,1").ok());
  EXPECT_EQ(read_all(path), "{ half written");
}

TEST(DismissedStore, HealthCheckAndSplitIgnoreTheFile) {
  QTemporaryDir dir;
  const QString folder = dir.filePath("data");
  QDir().mkpath(folder);
  for (const char* name : {"a.png", "b.png"}) {
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::gray);
    ASSERT_TRUE(image.save(QDir(folder).filePath(name)));
    QFile label(QDir(folder).filePath(QString(name).replace(".png", ".txt")));
    ASSERT_TRUE(label.open(QIODevice::WriteOnly));
    label.write("0 0.5 0.5 0.2 0.2\n");
  }
  QFile classes(QDir(folder).filePath("classes.txt"));
  ASSERT_TRUE(classes.open(QIODevice::WriteOnly));
  classes.write("nut\n");
  classes.close();
  DismissedStore store(folder, dir.filePath("best.pt"));
  ASSERT_TRUE(store.dismiss("a.png|missed|1|0|0,0,1,1").ok());

  const dataset::HealthResult health = dataset::check_dataset_health(folder);
  ASSERT_TRUE(health.ok()) << health.error().toStdString();
  EXPECT_TRUE(health->orphaned.isEmpty());
  EXPECT_TRUE(health->unannotated.isEmpty());
  EXPECT_FALSE(dataset::format_health_report(*health).contains("orvane-review"));

  const test::ToolRun run = test::run_orvane(
      "dataset", {"split", "source=" + folder, "output=" + dir.filePath("out"), "train=50",
                  "val=50", "test=0", "seed=1"});
  ASSERT_EQ(run.code, 0) << run.err.toStdString();
  QDirIterator it(dir.filePath("out"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  int copied = 0;
  while (it.hasNext()) {
    const QString path = it.next();
    EXPECT_FALSE(path.contains("orvane-review")) << path.toStdString();
    copied += path.endsWith(".png");
  }
  EXPECT_EQ(copied, 2);
}

}  // namespace
}  // namespace orvane::review
