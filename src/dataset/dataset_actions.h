#pragma once
// The annotator's three dataset buttons. Each reads the annotator's folder, image list and class
// list, shows its own dialogs and message boxes (parented to `parent`) and changes no annotator
// state.

#include <QString>
#include <QStringList>

class QWidget;

namespace orvane::dataset {

void run_health_check(QWidget* parent, const QString& image_folder);
void show_dataset_analytics(QWidget* parent, const QStringList& image_paths,
                            const QStringList& classes);
void export_and_split_dataset(QWidget* parent, const QStringList& image_paths,
                              const QStringList& classes);

}  // namespace orvane::dataset
