// orvane dataset health|stats|split|classes|duplicates: the annotator's dataset tools on an
// annotated folder or a split dataset's data.yaml.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <charconv>
#include <algorithm>
#include <iostream>
#include <mutex>

#include "annotator/classes_file.h"
#include "annotator/image_folder.h"
#include "cli/args.h"
#include "cli/verbs.h"
#include "dataset/class_counts.h"
#include "dataset/class_operations.h"
#include "dataset/dataset_statistics.h"
#include "dataset/duplicates.h"
#include "dataset/dataset_split.h"
#include "dataset/health_check.h"
#include "imaging/image_files.h"

namespace orvane::cli {

namespace {

namespace ds = orvane::dataset;

const std::vector<KeyHelp>& source_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "annotated image folder (images, label files, classes.txt)"}};
  return keys;
}

const std::vector<KeyHelp>& split_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "annotated image folder (images, label files, classes.txt)"},
      {"output", "", "output folder: {train,val,test}/{images,labels} and data.yaml"},
      {"train", "70", "train percentage"},
      {"val", "20", "val percentage"},
      {"test", "10", "test percentage (the three must total 100)"},
      {"format", "detection", "detection (labels become boxes) | segmentation (copied)"},
      {"seed", "", "shuffle seed for a reproducible split; random when empty"},
  };
  return keys;
}

const std::vector<KeyHelp>& stats_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "annotated image folder (images, label files, classes.txt)"},
      {"sizes", "false", "also print images and boxes per class, objects per image, box sizes in "
                         "pixels at imgsz (small/medium/large), aspect ratios and advice"},
      {"imgsz", default_text(dataset::DatasetStatistics{}.imgsz), "training size the box sizes are measured at (long side)"},
  };
  return keys;
}

const std::vector<KeyHelp>& duplicates_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "image folder"},
      {"data", "", "or a data.yaml: every split, copies across splits marked as leaks"},
      {"drop", "", "IMAGE: move this copy (and its label) to a removed/ folder beside its split "
                   "instead of searching"},
      {"cache", "true", "keep hashes in the user's cache folder, by file size and time"},
      {"threads", "0", "hashing threads (0: one per core)"},
  };
  return keys;
}

const std::vector<KeyHelp>& classes_keys() {
  static const std::vector<KeyHelp> keys{
      {"source", "", "annotated image folder (images, label files, classes.txt)"},
      {"data", "", "or a data.yaml: every split's label files, its names, classes.txt files"},
      {"rename", "", "OLD:NEW"},
      {"merge", "", "A,B:C (C existing or new; keeps C's name, removes A and B)"},
      {"delete", "", "X (its objects are removed)"},
      {"order", "", "every class name in the new order: c,a,b"},
      {"dry_run", "false", "print what would change and change nothing"},
  };
  return keys;
}

struct Sub {
  const char* name;
  const char* summary;
  const std::vector<KeyHelp>& (*keys)();
};

const Sub kSubs[] = {
    {"health", "report unannotated images, orphaned labels, duplicate objects, unknown class ids",
     source_keys},
    {"stats", "objects per class, largest first (sizes=true: the size statistics)", stats_keys},
    {"split", "export annotated images into train/val/test with data.yaml", split_keys},
    {"classes", "rename, merge, delete or reorder classes across every label file (one per run)",
     classes_keys},
    {"duplicates", "exact and near-duplicate images, and copies leaking across splits",
     duplicates_keys},
};

QString to_path(const std::string& text) {
  return QFile::decodeName(QByteArray::fromStdString(text));
}

std::string out(const QString& text) { return text.toLocal8Bit().toStdString(); }

// The source folder, which must exist: a typo should not read as an empty dataset.
QString source_folder(const Args& args) {
  const std::string value = args.str("source");
  if (value.empty()) throw ArgError("source= is required");
  const QString folder = to_path(value);
  if (!QFileInfo(folder).isDir()) throw ArgError("source=" + value + " is not a folder");
  return folder;
}

int run_health(const Args& args) {
  const QString folder = source_folder(args);
  const ds::HealthResult result = ds::check_dataset_health(folder);
  if (!result) {
    std::cerr << "orvane dataset health: cannot list " << out(folder) << ": " << out(result.error())
              << "\n";
    return 1;
  }
  std::cout << out(ds::format_health_report(*result)) << "\n";
  return 0;
}

// The annotator's state for a folder: its image list and classes.txt.
struct LoadedFolder {
  QStringList image_paths;
  QStringList classes;
};

LoadedFolder load_folder(const QString& folder, const char* verb) {
  LoadedFolder loaded;
  loaded.image_paths = orvane::scan_image_folder(folder).image_paths;
  const Result<ClassesFileContents> classes = read_classes_file(classes_path_in(folder));
  if (!classes) throw std::runtime_error(out(classes.error()));
  if (!classes->exists)
    std::cerr << "orvane dataset " << verb << ": no classes.txt in " << out(folder)
              << ", so no class has a name\n";
  loaded.classes = classes->classes;
  return loaded;
}

int run_stats(const Args& args) {
  const QString folder = source_folder(args);
  const LoadedFolder loaded = load_folder(folder, "stats");
  if (loaded.image_paths.isEmpty()) {
    std::cerr << "orvane dataset stats: no images in " << out(folder) << "\n";
    return 1;
  }
  const ds::ClassCounts counts = ds::count_classes(loaded.image_paths, loaded.classes);
  const QString note = ds::skipped_note(counts);
  if (!note.isEmpty()) std::cerr << "orvane dataset stats: " << out(note) << "\n";
  if (counts.counts.empty()) {
    std::cout << "No objects annotated yet.\n";
    return 0;
  }
  for (const ds::ClassCount& row : ds::sorted_by_count(counts.counts))
    std::cout << out(ds::count_row_text(row)) << "\n";
  if (args.boolean("sizes")) {
    const int imgsz = args.integer("imgsz");
    if (imgsz < 1) throw ArgError("imgsz must be a positive number of pixels");
    const ds::DatasetStatistics stats = ds::compute_statistics(
        loaded.image_paths, loaded.classes, imgsz, [](const QString& image) { return label_path_for(image); });
    std::cout << "\n";
    for (const QString& line : ds::statistics_lines(stats)) std::cout << out(line) << "\n";
  }
  return 0;
}

int percent(const Args& args, const char* key) {
  const int value = args.integer(key);
  if (value < 0 || value > 100)
    throw ArgError(std::string(key) + "=" + std::to_string(value) + " must be 0 to 100");
  return value;
}

int run_split_dataset(const Args& args) {
  const QString folder = source_folder(args);
  if (args.str("output").empty()) throw ArgError("output= is required");
  const int train = percent(args, "train"), val = percent(args, "val"),
            test = percent(args, "test");
  if (train + val + test != 100) throw ArgError("train + val + test must total 100%");
  ds::ExportRequest request;
  request.output_dir = to_path(args.str("output"));
  request.train_ratio = train / 100.0;
  request.val_ratio = val / 100.0;
  const std::string format = args.str("format");
  if (format == "detection")
    request.format = ds::LabelFormat::Detection;
  else if (format == "segmentation")
    request.format = ds::LabelFormat::Segmentation;
  else
    throw ArgError("format=" + format + " must be detection or segmentation");
  std::optional<std::uint64_t> seed;
  if (const std::string text = args.str("seed"); !text.empty()) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
      throw ArgError("seed=" + text + " is not a whole number");
    seed = value;
  }

  const LoadedFolder loaded = load_folder(folder, "split");
  std::vector<ds::LabeledImage> pairs = ds::annotated_pairs(loaded.image_paths);
  if (pairs.empty()) {
    std::cerr << "orvane dataset split: No annotated files found to split.\n";
    return 1;
  }
  ds::shuffle_pairs(pairs, seed);
  const ds::SplitSizes sizes =
      ds::split_sizes(static_cast<int>(pairs.size()), request.train_ratio, request.val_ratio);
  std::cerr << "orvane dataset split: " << pairs.size() << " annotated images -> train "
            << sizes.train << ", val " << sizes.val << ", test " << sizes.test << " (" << format
            << ")\n";
  const ds::ExportResult result = ds::export_split(pairs, loaded.classes, request);
  if (!result.status.ok()) {
    std::cerr << "orvane dataset split: export stopped: " << out(result.status.error())
              << " (files already written stay; data.yaml was not written)\n";
    return 1;
  }
  std::cout << "Exported dataset successfully to:\n" << out(request.output_dir) << "\n";
  return 0;
}

// The dataset a tool works on: source=DIR or data=DATA.yaml, exactly one.
ds::ClassDataset open_dataset(const Args& args) {
  const bool folder = !args.str("source").empty(), yaml = !args.str("data").empty();
  if (folder == yaml) throw ArgError("give source=DIR or data=DATA.yaml (one of them)");
  const Result<ds::ClassDataset> data = folder ? ds::open_folder_dataset(source_folder(args))
                                               : ds::open_yaml_dataset(to_path(args.str("data")));
  if (!data) throw std::runtime_error(out(data.error()));
  return *data;
}

int run_classes(const Args& args) {
  const struct {
    const char* key;
    ds::ClassOperationKind kind;
  } kinds[] = {{"rename", ds::ClassOperationKind::Rename},
               {"merge", ds::ClassOperationKind::Merge},
               {"delete", ds::ClassOperationKind::Delete},
               {"order", ds::ClassOperationKind::Reorder}};
  std::optional<ds::ClassOperation> operation;
  for (const auto& k : kinds) {
    if (args.str(k.key).empty()) continue;
    if (operation) throw ArgError("one operation per run: rename=, merge=, delete= or order=");
    const Result<ds::ClassOperation> parsed =
        ds::parse_class_operation(k.kind, QString::fromStdString(args.str(k.key)));
    if (!parsed) throw ArgError(out(parsed.error()));
    operation = *parsed;
  }
  if (!operation) throw ArgError("give one operation: rename=OLD:NEW, merge=A,B:C, delete=X or order=...");
  const bool dry_run = args.boolean("dry_run");

  ds::ClassDataset data = open_dataset(args);
  // An operation interrupted earlier is finished (or rolled back) before this one is planned.
  if (!dry_run) {
    const Result<QString> recovered = ds::recover_class_operation(data.root);
    if (!recovered) throw std::runtime_error(out(recovered.error()));
    if (!recovered->isEmpty()) {
      std::cerr << "orvane dataset classes: " << out(*recovered) << "\n";
      data = open_dataset(args);
    }
  } else if (QFileInfo::exists(ds::journal_path(data.root))) {
    std::cerr << "orvane dataset classes: an interrupted operation is pending; it completes on the "
                 "next run without dry_run\n";
  }
  const Result<ds::ClassPlan> plan = ds::plan_class_operation(data, *operation);
  if (!plan) throw std::runtime_error(out(plan.error()));
  const QStringList lines = ds::describe_plan(*plan);
  for (qsizetype i = 0; i < lines.size(); ++i)
    std::cout << (dry_run && i == 0 ? "would " : "") << out(lines[i]) << "\n";
  if (dry_run) {
    std::cerr << "orvane dataset classes: dry run, nothing was changed\n";
    return 0;
  }
  const Result<> applied = ds::apply_file_changes(data.root, plan->changes, plan->mapping.description);
  if (!applied) {
    std::cerr << "orvane dataset classes: " << out(applied.error()) << "\n";
    return 1;
  }
  std::cerr << "orvane dataset classes: done, " << plan->changes.size() << " files rewritten\n";
  return 0;
}

int run_duplicates(const Args& args) {
  const bool folder = !args.str("source").empty(), yaml = !args.str("data").empty();
  if (folder == yaml) throw ArgError("give source=DIR or data=DATA.yaml (one of them)");
  std::vector<ds::DatasetImage> images;
  QString root;
  if (folder) {
    root = source_folder(args);
    images = ds::folder_images(root);
  } else {
    const QString path = to_path(args.str("data"));
    const Result<std::vector<ds::DatasetImage>> listed = ds::yaml_images(path);
    if (!listed) throw std::runtime_error(out(listed.error()));
    images = *listed;
    root = QFileInfo(path).absoluteFilePath();
  }
  if (const std::string drop = args.str("drop"); !drop.empty()) {
    const QString wanted = QFileInfo(to_path(drop)).absoluteFilePath();
    const auto it = std::find_if(images.begin(), images.end(), [&](const ds::DatasetImage& image) {
      return QFileInfo(image.path).absoluteFilePath() == wanted;
    });
    if (it == images.end()) throw ArgError("drop=" + drop + " is not an image of this dataset");
    const Result<QString> moved = ds::drop_copy(*it);
    if (!moved) throw std::runtime_error(out(moved.error()));
    std::cout << out(*moved) << "\n";
    return 0;
  }
  const int threads = args.integer("threads");
  if (threads < 0) throw ArgError("threads must be 0 or more");
  ds::DuplicateOptions options;
  options.threads = threads;
  if (args.boolean("cache")) options.cache_file = ds::default_hash_cache(root);
  int last_percent = -1;
  std::mutex progress_mutex;
  options.progress = [&](int done, int total) {
    const std::lock_guard lock(progress_mutex);
    const int percent = total ? done * 100 / total : 100;
    if (percent / 10 == last_percent / 10) return;
    last_percent = percent;
    std::cerr << "orvane dataset duplicates: hashed " << done << " of " << total << "\n";
  };
  const ds::DuplicateReport report = ds::find_duplicates(images, options);
  int exact = 0, leaks = 0;
  for (const ds::DuplicatePair& pair : report.pairs) {
    std::cout << out(ds::pair_line(images, pair)) << "\n";
    exact += pair.exact ? 1 : 0;
    leaks += images[size_t(pair.a)].split != images[size_t(pair.b)].split ? 1 : 0;
  }
  for (const QString& path : report.unreadable)
    std::cerr << "orvane dataset duplicates: cannot decode " << out(path) << "\n";
  std::cerr << "orvane dataset duplicates: " << images.size() << " images (" << report.hashed
            << " hashed, " << report.cached << " from the cache) in " << report.seconds << " s; "
            << exact << " exact and " << report.pairs.size() - size_t(exact) << " near pairs";
  if (yaml) std::cerr << ", " << leaks << " across splits";
  std::cerr << "\n";
  return 0;
}

void print_help() {
  std::cout << "orvane dataset health|stats|split|classes|duplicates key=value ...\n";
  for (const Sub& sub : kSubs)
    std::cout << format_help(std::string("dataset ") + sub.name, sub.summary, sub.keys());
}

}  // namespace

int run_dataset(const std::vector<std::string>& words) {
  if (words.empty() || words[0] == "help") {
    print_help();
    return words.empty() ? 2 : 0;
  }
  const std::vector<std::string> rest(words.begin() + 1, words.end());
  for (const Sub& sub : kSubs) {
    if (words[0] != sub.name) continue;
    if (rest.size() == 1 && rest[0] == "help") {
      std::cout << format_help(std::string("dataset ") + sub.name, sub.summary, sub.keys());
      return 0;
    }
    const Args args(rest, sub.keys());
    if (words[0] == "health") return run_health(args);
    if (words[0] == "stats") return run_stats(args);
    if (words[0] == "classes") return run_classes(args);
    if (words[0] == "duplicates") return run_duplicates(args);
    return run_split_dataset(args);
  }
  throw ArgError("unknown dataset tool '" + words[0] + "' (health, stats, split, classes or duplicates)");
}

}  // namespace orvane::cli
