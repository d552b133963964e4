#pragma once
// The readers and writers of each format. A reader turns a source (a folder, or a COCO file) into
// a Dataset, clipping objects to their pictures and reporting everything it cannot carry; a writer
// fills an empty staging folder from a Dataset. convert_dataset (convert.h) ties them together.
//
// Layouts written:
//   yolo     images at their relative paths, each label file beside its image, classes.txt
//   coco     annotations.json, images under images/
//   voc      Annotations/<name>.xml, JPEGImages/<image>, classes.txt (VOC has no class list)
//   labelme  each image with its <name>.json beside it, classes.txt
// Layouts read: these, and the usual variants other tools write (see each reader).

#include <QSize>
#include <QString>
#include <functional>

#include "files/result.h"
#include "interchange/interchange_dataset.h"

namespace orvane::interchange {

// The dataset read, or why nothing can be converted (no class list, a COCO file that is not JSON).
using ReadResult = Result<Dataset>;

// Called once per image written; returns false to stop (the caller then discards the staging).
using StepFn = std::function<bool(int done, int total, const QString& name)>;

// A YOLO folder: an annotator folder (images with label files beside them) or a split dataset
// (images/<part>/a.jpg with labels/<part>/a.txt), any depth. Classes from classes.txt, else
// from the names of data.yaml. An image's path loses its "images" folder on the way
// ("images/train/a.jpg" -> "train/a.jpg"), so label files land beside their images.
ReadResult read_yolo(const QString& source, Report& report);
// A COCO instances file, or a folder holding exactly one (at the top, or in annotations/).
// Images are looked up beside the file, under images/, and above an annotations/ folder.
ReadResult read_coco(const QString& source, Report& report, const Limits& limits);
// A folder of Pascal VOC XML files, any depth; images beside them, or under JPEGImages/.
ReadResult read_voc(const QString& source, Report& report, const Limits& limits);
// A folder of labelme JSON files, any depth, each with its image where imagePath says.
ReadResult read_labelme(const QString& source, Report& report, const Limits& limits);

// Writers return false when `step` asked to stop. They throw WriteError when the disk fails.
bool write_yolo(const Dataset& dataset, const QString& staging, Report& report, const StepFn& step);
bool write_coco(const Dataset& dataset, const QString& staging, Report& report, const StepFn& step);
bool write_voc(const Dataset& dataset, const QString& staging, Report& report, const StepFn& step);
bool write_labelme(const Dataset& dataset, const QString& staging, Report& report,
                   const StepFn& step);

// The walk every writer makes: progress for each image (false once cancelled), the image copied
// to `images_folder` under its relative path, a note for an image that had no label file (when
// `unlabelled_note` is given: "written as an image with no <note>"), then `write(image, index)`
// for the format's own annotation.
bool stage_images(const Dataset& dataset, const QString& images_folder, Report& report,
                  const StepFn& step, const QString& unlabelled_note,
                  const std::function<void(const Image& image, int index)>& write);

// An image's size for a reader: the one its annotation file declares (`declared`, when valid),
// else the picture's own (`real`). When neither exists the image is reported lost ("shown" names
// the annotation file, `file_name` the image) and false returned.
bool settle_image_size(Image& image, QSize declared, QSize real, Report& report,
                       const QString& shown, const QString& file_name);

// Class names in a stable order for formats that name classes on each object (VOC, labelme):
// the source folder's own class list first (classes.txt or data.yaml), in its order; names it
// lacks follow in code point order, so the ids never depend on which file was read first.
QStringList ordered_classes(const QStringList& listed, const QStringList& used);

// classes.txt text: each name with the native line end.
QByteArray classes_text(const QStringList& classes);

}  // namespace orvane::interchange
