// Training forms and command lines, the chart search of a run folder, and the tuning
// result file.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include "training/run_charts.h"
#include "training/training_params.h"
#include "training/yolo_threads.h"

using namespace orvane::training;

namespace {

void touch(const QString& path, const QByteArray& content = "x") {
  QDir().mkpath(QFileInfo(path).path());
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(content);
}

TrainingForm typed_form() {
  TrainingForm f;
  f.model_path = "  yolov8n-seg.pt ";
  f.data_yaml = "\t/data/set/data.yaml  ";
  f.project = " runs/seg ";
  f.name = " exp 1 ";
  f.epochs = 100;
  f.imgsz = 320;
  f.batch = -1;
  f.workers = 0;
  f.optimizer = "AdamW";
  f.lr0 = 0.0123;
  f.lrf = 0.2;
  f.close_mosaic = 0;
  return f;
}

TEST(TrainingForms, DefaultsComeFromTheOneTableAndTrimmingKeepsInnerBlanks) {
  const TrainingForm defaults;
  EXPECT_EQ(defaults.model_path, "yolov8s.pt");
  EXPECT_EQ(defaults.project, "runs/detect");
  EXPECT_EQ(defaults.imgsz, kTrainingDefaults.imgsz);
  EXPECT_EQ(defaults.lr0, 0.01);
  const TrainingForm t = trimmed(typed_form());
  EXPECT_EQ(t.model_path, "yolov8n-seg.pt");
  EXPECT_EQ(t.data_yaml, "/data/set/data.yaml");
  EXPECT_EQ(t.project, "runs/seg");
  EXPECT_EQ(t.name, "exp 1");  // inner blanks are part of the name
  EXPECT_EQ(tuning_run_name(typed_form()), "exp 1_tune");
  EXPECT_EQ(tuning_epochs(3), 3);
  EXPECT_EQ(tuning_epochs(100), 10);
}

TEST(TrainingForms, CommandLinesCarryEveryValueAsOneWord) {
  EXPECT_EQ(train_arguments(typed_form(), "cpu"),
            (QStringList{"model=yolov8n-seg.pt", "data=/data/set/data.yaml", "epochs=100",
                         "imgsz=320", "batch=-1", "workers=0", "optimizer=AdamW", "lr0=0.0123",
                         "lrf=0.2", "close_mosaic=0", "device=cpu", "project=runs/seg",
                         "name=exp 1", "exist_ok=true"}));
  EXPECT_EQ(val_arguments("/r/exp 1", typed_form(), "cuda:0"),
            (QStringList{"model=/r/exp 1/weights/best.pt", "data=/data/set/data.yaml", "imgsz=320",
                         "device=cuda:0"}));
  // The search trains every trial at the form's size, batch, workers and device.
  EXPECT_EQ(tune_arguments(typed_form(), "cpu"),
            (QStringList{"model=yolov8n-seg.pt", "data=/data/set/data.yaml", "epochs=10",
                         "iterations=5", "imgsz=320", "batch=-1", "workers=0", "device=cpu",
                         "optimizer=AdamW", "project=runs/seg", "name=exp 1_tune", "plots=false",
                         "save=false", "exist_ok=true"}));
  // The threads keep the form as typed, trimmed once.
  const YoloTrainerThread trainer(typed_form(), "cpu");
  EXPECT_EQ(trainer.form().data_yaml, "/data/set/data.yaml");
  EXPECT_EQ(trainer.form().lr0, 0.0123);
  const YoloTunerThread tuner(typed_form(), "cpu");
  EXPECT_EQ(tuner.form().project, "runs/seg");
}

TEST(RunCharts, DetectionAndSegmentationRunsFindEveryPicture) {
  QTemporaryDir detect, segment, other;
  for (const char* name :
       {"results.png", "confusion_matrix.png", "confusion_matrix_normalized.png", "F1_curve.png",
        "PR_curve.png", "P_curve.png", "val_batch0_pred.jpg", "val_batch0_labels.jpg"})
    touch(detect.filePath(name));
  for (const char* name :
       {"results.png", "confusion_matrix.png", "MaskF1_curve.png", "BoxF1_curve.png",
        "BoxPR_curve.png", "MaskPR_curve.png", "val_batch0_labels.jpg"})
    touch(segment.filePath(name));
  const QStringList want_detect{"results.png", "confusion_matrix.png", "F1_curve.png",
                                "PR_curve.png", "val_batch0_pred.jpg"};
  const QStringList want_segment{"results.png", "confusion_matrix.png", "BoxF1_curve.png",
                                 "BoxPR_curve.png", "val_batch0_labels.jpg"};
  const Chart charts[] = {Chart::Loss, Chart::ConfusionMatrix, Chart::F1, Chart::PrecisionRecall,
                          Chart::ValBatch};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(find_run_chart(detect.path(), chart_patterns(charts[i])),
              detect.filePath(want_detect[i]));
    EXPECT_EQ(find_run_chart(segment.path(), chart_patterns(charts[i])),
              segment.filePath(want_segment[i]));
  }
  // Fallbacks: another confusion matrix, the live loss plot; nothing below the folder counts.
  touch(other.filePath("live_loss_plot.png"));
  touch(other.filePath("val_confusion_matrix_x.png"));
  touch(other.filePath("sub/F1_curve.png"));
  EXPECT_EQ(find_run_chart(other.path(), chart_patterns(Chart::Loss)),
            other.filePath("live_loss_plot.png"));
  EXPECT_EQ(find_run_chart(other.path(), chart_patterns(Chart::ConfusionMatrix)),
            other.filePath("val_confusion_matrix_x.png"));
  EXPECT_EQ(find_run_chart(other.path(), chart_patterns(Chart::F1)), "");
}

TEST(TuningResult, NewestFileBelowTheProjectWrittenByThisSearch) {
  QTemporaryDir project;
  EXPECT_EQ(find_best_hyperparameters(project.path()), "");
  touch(project.filePath("old_tune/best_hyperparameters.yaml"), "lr0: 0.5\n");
  QThread::msleep(1100);  // file times must differ; the search below must ignore the old file
  const QDateTime since = QDateTime::currentDateTime();
  EXPECT_EQ(find_best_hyperparameters(project.path(), since), "");
  EXPECT_EQ(find_best_hyperparameters(project.path()),
            project.filePath("old_tune/best_hyperparameters.yaml"));
  touch(project.filePath("a/b/run_tune/best_hyperparameters.yaml"), "lr0: 0.0123456\nlrf: 0.2\n");
  EXPECT_EQ(find_best_hyperparameters(project.path(), since),
            project.filePath("a/b/run_tune/best_hyperparameters.yaml"));
  EXPECT_EQ(find_best_hyperparameters(project.path()),
            project.filePath("a/b/run_tune/best_hyperparameters.yaml"));
}

TEST(TuningResult, ReadsTheMappingAndRefusesAnythingElse) {
  QTemporaryDir dir;
  touch(dir.filePath("good.yaml"), "lr0: 0.0123456\nlrf: abc\nmomentum: 0.9\nlist: [1, 2]\n");
  const orvane::Result<QVariantMap> good = read_hyperparameters(dir.filePath("good.yaml"));
  ASSERT_TRUE(good) << good.error().toStdString();
  EXPECT_EQ((*good)["lr0"].toString(), "0.0123456");
  EXPECT_EQ((*good)["lrf"].toString(), "abc");
  EXPECT_EQ((*good)["list"].toList().size(), 2);
  touch(dir.filePath("list.yaml"), "- 1\n- 2\n");
  EXPECT_NE(read_hyperparameters(dir.filePath("list.yaml")).error().indexOf("not a mapping"), -1);
  touch(dir.filePath("broken.yaml"), "lr0: [1, 2\n");
  EXPECT_FALSE(read_hyperparameters(dir.filePath("broken.yaml")));
  EXPECT_FALSE(read_hyperparameters(dir.filePath("missing.yaml")));
}

}  // namespace
