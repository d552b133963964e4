// Placeholder until the dataset tools land.
#include "dataset/dataset_actions.h"

void run_health_check(QWidget*, const QString&) {}
void show_dataset_analytics(QWidget*, const QStringList&, const QStringList&) {}
void export_and_split_dataset(QWidget*, const QStringList&, const QStringList&) {}
