// What the studio reads of a run folder to resume it: the last.pt a pick stands for, the form a
// resume shows, the unfinished run it offers, and the command line it runs.

#include "training/resume_run.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "training/training_params.h"

namespace orvane::training {
namespace {

void write(const QString& path, const QByteArray& text) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(text);
}

// A run folder: args.yaml for `epochs`, `rows` results rows, last.pt, and curves.json when the
// final validation ran.
QString make_run(const QDir& project, const QString& name, int epochs, int rows, bool validated) {
  const QString run = project.filePath(name);
  write(run + "/args.yaml", "data: /data/set.yaml\nepochs: " + QByteArray::number(epochs) +
                                "\nimgsz: 96\nbatch: 8\nworkers: 2\noptimizer: SGD\nlr0: 0.02\n"
                                "lrf: 0.1\nclose_mosaic: 3\nseed: 0\n");
  QByteArray csv = "epoch,time\n";
  for (int r = 1; r <= rows; ++r) csv += QByteArray::number(r) + ",1.0\n";
  write(run + "/results.csv", csv);
  write(run + "/weights/last.pt", "checkpoint");
  if (validated) write(run + "/curves.json", "{}");
  return run;
}

TEST(ResumeRun, APickedFolderOrFileStandsForTheRunsLastPt) {
  QTemporaryDir dir;
  const QString run = make_run(QDir(dir.path()), "a", 10, 3, false);
  const QString last = QFileInfo(run + "/weights/last.pt").absoluteFilePath();
  EXPECT_EQ(*resume_checkpoint(run), last);
  EXPECT_EQ(*resume_checkpoint(run + "/weights"), last);
  EXPECT_EQ(*resume_checkpoint(last), last);
  const auto none = resume_checkpoint(dir.path());
  ASSERT_FALSE(none);
  EXPECT_TRUE(none.error().contains("holds no weights/last.pt")) << none.error().toStdString();
  EXPECT_FALSE(resume_checkpoint(dir.filePath("gone")));
}

TEST(ResumeRun, TheFormShowsTheRunsOwnOptionsAndResumesOnlyByItsLastPt) {
  QTemporaryDir dir;
  const QString run = make_run(QDir(dir.path()), "a", 12, 3, false);
  TrainingForm typed;
  typed.epochs = 100;
  typed.batch = 32;
  const auto form = form_for_resume(run + "/weights/last.pt", typed);
  ASSERT_TRUE(form) << form.error().toStdString();
  EXPECT_EQ(form->epochs, 12);
  EXPECT_EQ(form->batch, 8);
  EXPECT_EQ(form->imgsz, 96);
  EXPECT_EQ(form->optimizer, "SGD");
  EXPECT_DOUBLE_EQ(form->lr0, 0.02);
  EXPECT_EQ(form->data_yaml, "/data/set.yaml");
  EXPECT_EQ(QDir(form->project).filePath(form->name), QFileInfo(run).absoluteFilePath());
  EXPECT_EQ(train_arguments(*form, "cpu"),
            (QStringList{"resume=" + form->resume, "device=cpu", "workers=2"}));
  // A last.pt outside a run folder has no options to show.
  write(dir.filePath("loose/w/last.pt"), "x");
  EXPECT_FALSE(form_for_resume(dir.filePath("loose/w/last.pt"), typed));
}

TEST(ResumeRun, TheOfferIsTheNewestRunThatStoppedShortOfItsEpochs) {
  QTemporaryDir dir;
  const QDir project(dir.path());
  EXPECT_FALSE(find_unfinished_run(project.filePath("none")));
  make_run(project, "done", 5, 5, true);
  make_run(project, "early_stop", 50, 20, true);  // patience ended it: validated
  EXPECT_FALSE(find_unfinished_run(dir.path()));
  make_run(project, "older", 10, 2, false);
  QThread::msleep(1100);  // file times of one second
  const QString newer = make_run(project, "newer", 10, 0, false);  // cut in its first epoch
  const auto offer = find_unfinished_run(dir.path());
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->folder, QFileInfo(newer).absoluteFilePath());
  EXPECT_EQ(offer->epochs_done, 0);
  EXPECT_EQ(offer->epochs, 10);
}

}  // namespace
}  // namespace orvane::training
