// Data pipeline: data.yaml forms, label parsing, the dataset scan, letterbox geometry, the
// augmentation keeping boxes/masks on their objects, and the loader's determinism.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <set>

#include "engine/data/augment.h"
#include "engine/data/data_config.h"
#include "engine/data/dataset.h"
#include "engine/data/labels.h"
#include "engine/data/loader.h"
#include "engine/error.h"
#include "engine/logger.h"

namespace fs = std::filesystem;
using namespace orvane::engine;

namespace {

fs::path temp_dir(const std::string& name) {
  fs::path dir =
      fs::temp_directory_path() / ("orvane_data_test_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

void write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// A grey image with one red rectangle (class 0) and one blue disc (class 1, as a polygon).
struct Drawn {
  cv::Mat image;
  std::string labels;
};
Drawn draw_scene(int w, int h, int seed) {
  std::mt19937 rng(seed);
  auto u = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Drawn d;
  d.image = cv::Mat(h, w, CV_8UC3, cv::Scalar(90, 90, 90));
  const int rw = u(w / 6, w / 3), rh = u(h / 6, h / 3);
  const int rx = u(0, w / 2 - rw), ry = u(0, h - rh - 1);
  cv::rectangle(d.image, cv::Rect(rx, ry, rw, rh), cv::Scalar(0, 0, 255), cv::FILLED);
  const int r = u(std::min(w, h) / 10, std::min(w, h) / 6);
  const int cx = u(w / 2 + r, w - r - 1), cy = u(r, h - r - 1);
  cv::circle(d.image, {cx, cy}, r, cv::Scalar(255, 0, 0), cv::FILLED);
  std::ostringstream s;
  s << "0 " << (rx + rw / 2.0) / w << " " << (ry + rh / 2.0) / h << " " << double(rw) / w << " "
    << double(rh) / h << "\r\n1";
  for (int k = 0; k < 24; ++k) {
    const double a = k * 2 * CV_PI / 24;
    s << " " << (cx + r * std::cos(a)) / w << " " << (cy + r * std::sin(a)) / h;
  }
  d.labels = s.str();  // CR LF between lines, no final newline
  return d;
}

// root/{train,val}/{images,labels} with n generated images each.
fs::path make_dataset(const std::string& name, int n, int w = 96, int h = 64) {
  const fs::path root = temp_dir(name);
  for (const char* split : {"train", "val"})
    for (int i = 0; i < n; ++i) {
      Drawn d = draw_scene(w + 8 * (i % 3), h, i * 7 + (split[0] == 'v'));
      const std::string stem = "img" + std::to_string(i);
      fs::create_directories(root / split / "images");
      cv::imwrite((root / split / "images" / (stem + ".png")).string(), d.image);
      write(root / split / "labels" / (stem + ".txt"), d.labels);
    }
  write(root / "data.yaml", "path: " + root.string() +
                                "\ntrain: train/images\nval: val/images\nnc: 2\nnames:\n"
                                "  - red box\n  - blue disc\n");
  return root;
}

}  // namespace

TEST(Labels, LabelPathFollowsTheImagesFolderRule) {
  EXPECT_EQ(label_path_for_image("/d/train/images/a.b.jpg"), "/d/train/labels/a.b.txt");
  EXPECT_EQ(label_path_for_image("/images/x/images/b.PNG"), "/images/x/labels/b.txt");
  EXPECT_EQ(label_path_for_image("/d/pics/c.webp"), "/d/pics/c.txt");
}

TEST(Labels, BoxesPolygonsLineEndsAndMendedSlips) {
  const std::string text =
      "\xEF\xBB\xBF"  // a byte order mark from a Windows tool
      "0 0.5 0.5 0.2 0.4\r\n"
      "\r\n"
      "1 0.1 0.1 0.3 0.1 0.3 0.4 0.1 0.1\r\n"  // polygon that revisits its first point
      "0 0.50 0.5 0.2 0.4\n"                   // the first line again: dropped
      "0 0.5 0.5 0 0.4\n"                      // no width: dropped
      "1.0 0.2,0.2,0.1,0.1\n"                  // commas, and a class written as 1.0
      "1 0.998 0.5 0.01 0.2\n"                 // a corner past the edge: cut to the picture
      "0 -0.004 0.5 0.2 0.2";                  // a value slightly outside 0..1: clipped
  const LabelFile f = parse_training_labels(text, 2);
  ASSERT_FALSE(f.fault) << f.fault->message;
  EXPECT_EQ(f.duplicates, 1);
  EXPECT_EQ(f.no_area, 1);
  EXPECT_EQ(f.clipped, 1);  // only values outside 0..1 count, not box corners
  ASSERT_EQ(f.instances.size(), 5u);
  EXPECT_EQ(f.instances[0].cls, 0);
  EXPECT_TRUE(f.instances[0].polygon.empty());
  EXPECT_NEAR(f.instances[0].box.x, 0.4, 1e-6);
  EXPECT_NEAR(f.instances[0].box.y, 0.3, 1e-6);
  EXPECT_NEAR(f.instances[0].box.width, 0.2, 1e-6);
  EXPECT_NEAR(f.instances[0].box.height, 0.4, 1e-6);
  EXPECT_EQ(f.instances[1].cls, 1);
  EXPECT_EQ(f.instances[1].polygon.size(), 4u);
  EXPECT_NEAR(f.instances[1].box.x, 0.1, 1e-6);
  EXPECT_NEAR(f.instances[1].box.width, 0.2, 1e-6);
  EXPECT_NEAR(f.instances[1].box.height, 0.3, 1e-6);
  EXPECT_EQ(f.instances[2].cls, 1);
  EXPECT_LE(f.instances[3].box.x + f.instances[3].box.width, 1.0f);
  EXPECT_GE(f.instances[4].box.x, 0.0f);
}

// One fault makes the whole file unusable; the message names the cause and the line.
TEST(Labels, EachFaultIsNamedWithItsLine) {
  const struct {
    const char* text;
    const char* kind;
    const char* message;
  } cases[] = {
      {"0 0.5 0.5 0.2 0.2\n3 0.5 0.5 0.2 0.2\n", "class beyond the names",
       "Label class 3 exceeds dataset class count 2 (line 2)"},
      {"-1 0.5 0.5 0.2 0.2\n", "negative class id", "negative class label -1 (line 1)"},
      {"1.5 0.5 0.5 0.2 0.2\n", "class id not a whole number", "class label 1.5"},
      {"\n0 0.5 x 0.2 0.2\n", "non-numeric value", "non-numeric value 'x' (line 2)"},
      {"0 0.5 0.5 0.2 0.2a\n", "non-numeric value", "'0.2a'"},
      {"1 0.1 0.1 0.3 0.1\r\n", "", ""},  // four values are a box, not two points
      {"1 0.1 0.1 0.3 0.1 0.3\n", "odd count of polygon values", "5 polygon values"},
      {"1 0.1 0.1\n", "fewer than 3 points", "polygon of 1 point, at least 3 needed (line 1)"},
      {"1\n", "no coordinates", "(line 1)"},
      {"0 1.5 0.5 0.2 0.2\n", "coordinates out of bounds", "coordinate 1.5 (line 1)"},
      {"0 245 120 30 40\n", "coordinates out of bounds", "non-normalized"},
      {"0 0.5 0.5 nan 0.2\n", "coordinates out of bounds", "nan"},
  };
  for (const auto& c : cases) {
    const LabelFile f = parse_training_labels(c.text, 2);
    if (std::string(c.message).empty()) {
      EXPECT_FALSE(f.fault) << c.text;
      continue;
    }
    ASSERT_TRUE(f.fault) << c.text;
    EXPECT_TRUE(f.instances.empty());
    EXPECT_EQ(f.fault->kind, c.kind) << c.text;
    EXPECT_NE(f.fault->message.find(c.message), std::string::npos) << f.fault->message;
  }
  // Without a class count only the form of the id is checked.
  EXPECT_FALSE(parse_training_labels("7 0.5 0.5 0.2 0.2", -1).fault);

  // A missing file is a background; one that cannot be read is a fault.
  const fs::path dir = temp_dir("labelfile");
  EXPECT_FALSE(read_training_labels((dir / "none.txt").string(), 2).fault);
  fs::create_directories(dir / "folder.txt");
  const LabelFile folder = read_training_labels((dir / "folder.txt").string(), 2);
  ASSERT_TRUE(folder.fault);
  EXPECT_EQ(folder.fault->kind, "unreadable label file");
  fs::remove_all(dir);
}

TEST(DataConfig, OurSplitAndEcosystemForms) {
  const fs::path root = make_dataset("cfg", 1);
  DataConfig ours = load_data_config(root / "data.yaml");
  EXPECT_EQ(ours.names, (std::vector<std::string>{"red box", "blue disc"}));
  ASSERT_EQ(ours.train.size(), 1u);
  EXPECT_EQ(list_split_images(ours.train).size(), 1u);

  // Ecosystem form: relative path, names as a mapping, val as a list file, CR LF throughout.
  write(root / "val.txt", "val/images/img0.png\r\n\r\n./train/images/img0.png\r\n");
  write(root / "sub" / "eco.yaml",
        "path: ..\r\ntrain: [train/images]\r\nval: val.txt\r\ntest:\r\nnames:\r\n  0: red box\r\n"
        "  1: blue disc\r\n");
  DataConfig eco = load_data_config(root / "sub" / "eco.yaml");
  EXPECT_EQ(fs::weakly_canonical(eco.root), fs::weakly_canonical(root));
  EXPECT_EQ(eco.names[1], "blue disc");
  EXPECT_TRUE(eco.test.empty());
  const auto val = list_split_images(eco.val);
  ASSERT_EQ(val.size(), 2u);
  EXPECT_TRUE(fs::exists(val[0]) && fs::exists(val[1]));

  write(root / "bad_nc.yaml", "train: train/images\nval: val/images\nnc: 3\nnames: [a, b]\n");
  write(root / "broken.yaml", "train: [unclosed\n");
  write(root / "no_names.yaml", "train: train/images\nval: val/images\n");
  for (const char* name : {"bad_nc.yaml", "broken.yaml", "no_names.yaml", "missing.yaml"}) {
    try {
      load_data_config(root / name);
      ADD_FAILURE() << name << " was accepted";
    } catch (const EngineError& e) {
      const std::string what = e.what();
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
      EXPECT_NE(what.find(name), std::string::npos) << what;
    }
  }
  fs::remove_all(root);
}

// One rule for a bad sample: the image is left out, named once with its reason, and counted.
TEST(Dataset, LeavesOutBadSamplesAndNamesEachOnce) {
  const fs::path root = make_dataset("scan", 4);
  const fs::path images = root / "train" / "images", labels = root / "train" / "labels";
  write(images / "broken.jpg", "not a jpeg");
  write(labels / "img1.txt", "0 0.5 0.5 0.2 0.2\nnonsense\n");
  write(labels / "img2.txt", "5 0.5 0.5 0.2 0.2\n");
  write(labels / "img3.txt", "0 0.5 0.5 0.2 0.2\n0 0.5 0.5 0.2 0.2\n1 1.004 0.5 0.2 0.2\n");
  const auto files = list_split_images({images});
  ASSERT_EQ(files.size(), 5u);
  std::vector<std::string> warnings;
  const int handler = LOGGER.add_handler([&](const LogRecord& r) {
    if (r.level == LogLevel::warning || r.level == LogLevel::info) warnings.push_back(r.message);
  });
  DatasetOptions opt;
  opt.imgsz = 64;
  opt.threads = 3;
  YoloDataset ds(files, {"red box", "blue disc"}, opt);
  LOGGER.remove_handler(handler);
  EXPECT_EQ(ds.size(), 2u);
  EXPECT_EQ(ds.corrupt_images(), 3);
  EXPECT_EQ(ds.clipped_labels(), 1);
  EXPECT_EQ(ds.duplicate_labels(), 1);
  EXPECT_TRUE(ds.cached());
  EXPECT_EQ(ds.resized_shape(0)[1], 64);  // the longer side becomes imgsz
  EXPECT_EQ(ds.ori_shape(0)[1], 96);
  EXPECT_EQ(ds.labels(1).size(), 2u);  // img3: the duplicate dropped, the clipped one kept
  // Named in file order, each once, then the summary line and, as most were left out, a word
  // on that.
  ASSERT_EQ(warnings.size(), 6u);
  const std::string prefix = "WARNING \u26a0\ufe0f ";
  EXPECT_EQ(warnings[0], prefix + (images / "broken.jpg").string() +
                             ": ignoring corrupt image/label: not an image (unknown file format)");
  EXPECT_EQ(warnings[1],
            prefix + (images / "img1.png").string() +
                ": ignoring corrupt image/label: non-numeric value 'nonsense' (line 2)");
  EXPECT_EQ(warnings[2], prefix + (images / "img2.png").string() +
                             ": ignoring corrupt image/label: Label class 5 exceeds dataset class "
                             "count 2 (line 1)");
  EXPECT_EQ(warnings[3], prefix + (images / "img3.png").string() + ": 1 duplicate label removed");
  EXPECT_EQ(warnings[4], ds.summary());
  EXPECT_EQ(ds.summary().rfind(
                "train: 2 images, 0 backgrounds, 3 corrupt, 1 label clipped, 1 duplicate label "
                "removed, cached ",
                0),
            0u)
      << ds.summary();
  EXPECT_EQ(warnings[5], prefix +
                             "train: 3 of 5 images were left out as corrupt (1 not an image, "
                             "1 non-numeric value, 1 class beyond the names)");
  EXPECT_EQ(ds.named().size(), 4u);

  // Already named (the training split read the same files): counted, not named again.
  warnings.clear();
  opt.already_named = ds.named();
  const int again = LOGGER.add_handler([&](const LogRecord& r) { warnings.push_back(r.message); });
  YoloDataset second(files, {"red box", "blue disc"}, opt);
  LOGGER.remove_handler(again);
  EXPECT_EQ(second.corrupt_images(), 3);
  EXPECT_EQ(warnings.size(), 2u);  // the summary and the share left out

  // Nothing usable left: one line with the count and the commonest reasons.
  for (const char* stem : {"img0", "img3"})
    write(labels / (std::string(stem) + ".txt"), "2 0.5 0.5 0.1 0.1\n");
  try {
    YoloDataset none(files, {"red box", "blue disc"}, opt);
    ADD_FAILURE() << "a set without a usable image was accepted";
  } catch (const EngineError& e) {
    EXPECT_EQ(std::string(e.what()),
              "train: no usable images: all 5 were skipped as corrupt (3 class beyond the names, "
              "1 not an image, 1 non-numeric value; data.yaml names 2 classes)");
  }
  fs::remove_all(root);
}

// Grey, 16-bit, alpha and EXIF-rotated images are no faults: they load as 8-bit BGR as they
// display. Truncated, empty and tiny images are faults.
TEST(Dataset, ImageFormsAndImageFaults) {
  const fs::path dir = temp_dir("forms");
  cv::Mat colour(40, 60, CV_8UC3, cv::Scalar(30, 60, 200));
  colour(cv::Rect(0, 0, 30, 40)).setTo(cv::Scalar(200, 30, 30));  // left half blue
  cv::Mat grey, deep, alpha;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  colour.convertTo(deep, CV_16UC3, 257);
  cv::cvtColor(colour, alpha, cv::COLOR_BGR2BGRA);
  cv::imwrite((dir / "grey.png").string(), grey);
  cv::imwrite((dir / "deep.png").string(), deep);
  cv::imwrite((dir / "alpha.png").string(), alpha);
  for (const char* name : {"grey.png", "deep.png", "alpha.png"}) {
    SampleFault fault;
    const cv::Mat m = read_training_image((dir / name).string(), fault);
    ASSERT_FALSE(m.empty()) << name << ": " << fault.message;
    EXPECT_EQ(m.type(), CV_8UC3) << name;
    EXPECT_EQ(m.size(), cv::Size(60, 40)) << name;
  }
  // A JPEG whose EXIF says "rotate 90 degrees clockwise" (orientation 6) loads upright: taller
  // than wide, the blue half on top.
  std::vector<uchar> jpeg;
  cv::imencode(".jpg", colour, jpeg, {cv::IMWRITE_JPEG_QUALITY, 95});
  const std::vector<uchar> exif{0xFF, 0xE1, 0x00, 0x22, 'E',  'x',  'i',  'f',  0,
                                0,    'M',  'M',  0x00, 0x2A, 0x00, 0x00, 0x00, 0x08,
                                0x00, 0x01, 0x01, 0x12, 0x00, 0x03, 0x00, 0x00, 0x00,
                                0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  jpeg.insert(jpeg.begin() + 2, exif.begin(), exif.end());
  {
    std::ofstream out(dir / "rotated.jpg", std::ios::binary);
    out.write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
  }
  SampleFault fault;
  const cv::Mat upright = read_training_image((dir / "rotated.jpg").string(), fault);
  ASSERT_EQ(upright.size(), cv::Size(40, 60)) << fault.message;
  EXPECT_GT(upright.at<cv::Vec3b>(10, 20)[0], 150);  // blue on top
  EXPECT_LT(upright.at<cv::Vec3b>(50, 20)[0], 100);

  // The same JPEG cut short would decode with a grey bottom: refused, as are the others.
  {
    std::ofstream out(dir / "cut.jpg", std::ios::binary);
    out.write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size() * 2 / 3));
  }
  write(dir / "empty.png", "");
  cv::imwrite((dir / "tiny.png").string(), cv::Mat(8, 40, CV_8UC3, cv::Scalar(1, 2, 3)));
  const std::pair<const char*, const char*> faults[] = {{"cut.jpg", "truncated image"},
                                                        {"empty.png", "empty image file"},
                                                        {"tiny.png", "image too small"},
                                                        {"missing.png", "unreadable image"}};
  for (const auto& [name, kind] : faults) {
    SampleFault f;
    EXPECT_TRUE(read_training_image((dir / name).string(), f).empty()) << name;
    EXPECT_EQ(f.kind, kind) << name << ": " << f.message;
  }
  // Data after the end of the picture (a phone's motion clip) is no truncation.
  jpeg.insert(jpeg.end(), 5000, 0x42);
  {
    std::ofstream out(dir / "trailer.jpg", std::ios::binary);
    out.write(reinterpret_cast<const char*>(jpeg.data()), std::streamsize(jpeg.size()));
  }
  EXPECT_FALSE(read_training_image((dir / "trailer.jpg").string(), fault).empty()) << fault.message;
  fs::remove_all(dir);
}

TEST(Letterbox, GeometryAndInverseMapping) {
  const cv::Mat image(50, 100, CV_8UC3, cv::Scalar(0, 0, 0));
  cv::Mat out;
  LetterboxInfo lb = letterbox(image, out, {64, 64}, false, true);
  EXPECT_EQ(out.size(), cv::Size(64, 64));
  EXPECT_FLOAT_EQ(lb.gain, 0.64f);
  EXPECT_FLOAT_EQ(lb.pad_x, 0.0f);
  EXPECT_FLOAT_EQ(lb.pad_y, 16.0f);
  EXPECT_EQ(out.at<cv::Vec3b>(0, 0), cv::Vec3b(114, 114, 114));
  EXPECT_EQ(out.at<cv::Vec3b>(32, 32), cv::Vec3b(0, 0, 0));

  // Minimal padding: 320 wide, 160 + padding to the next multiple of 32 high.
  const cv::Mat tall(300, 600, CV_8UC3);
  lb = letterbox(tall, out, {320, 320}, true, true);
  EXPECT_EQ(out.size(), cv::Size(320, 160));
  EXPECT_FLOAT_EQ(lb.pad_y, 0.0f);
  const cv::Mat odd(250, 600, CV_8UC3);
  lb = letterbox(odd, out, {320, 320}, true, true);  // 133 high -> 160: 13 above, 14 below
  EXPECT_EQ(out.size(), cv::Size(320, 160));
  EXPECT_FLOAT_EQ(lb.pad_y, 13.0f);

  // A box and an outline in input pixels map back onto the source and are clipped to it.
  const cv::Rect2f in_box(10 * lb.gain, 20 * lb.gain + lb.pad_y, 100 * lb.gain, 500 * lb.gain);
  const cv::Rect2f back = unletterbox_box(in_box, lb, {600, 250});
  EXPECT_NEAR(back.x, 10, 1e-3);
  EXPECT_NEAR(back.y, 20, 1e-3);
  EXPECT_NEAR(back.width, 100, 1e-3);
  EXPECT_NEAR(back.height, 230, 1e-3);  // clipped at the bottom edge
  // The tensor form gives the same, leaves extra columns alone, and clips a box reaching into
  // the margin above the picture to its top edge.
  const float x2 = in_box.x + in_box.width, y2 = in_box.y + in_box.height;
  const auto boxes = unletterbox_boxes(torch::tensor({{in_box.x, in_box.y, x2, y2, 0.9f},
                                                      {0.0f, 2.0f, 30.0f, lb.pad_y + 5.0f, 0.5f}}),
                                       lb, {600, 250});
  EXPECT_TRUE(
      torch::allclose(boxes[0], torch::tensor({10.0f, 20.0f, 110.0f, 250.0f, 0.9f}), 1e-4, 1e-3));
  EXPECT_NEAR(boxes[1][1].item<float>(), 0.0f, 1e-4);
  EXPECT_NEAR(boxes[1][3].item<float>(), 5.0f / lb.gain, 1e-3);
  EXPECT_FLOAT_EQ(boxes[1][4].item<float>(), 0.5f);
  const auto pts = unletterbox_points({{0, lb.pad_y}, {320, 160}}, lb, {600, 250});
  EXPECT_NEAR(pts[0].x, 0, 1e-3);
  EXPECT_NEAR(pts[0].y, 0, 1e-3);
  EXPECT_NEAR(pts[1].x, 600, 1e-3);
  EXPECT_NEAR(pts[1].y, 250, 1e-3);
}

TEST(Augment, ClippedPolygonBox) {
  // A concave outline half outside the image: its box is the visible part.
  const std::vector<cv::Point2f> poly{{-10, 10}, {30, 10}, {30, 50}, {20, 50}, {20, 20}, {-10, 20}};
  const cv::Rect2f b = clipped_polygon_box(poly, {40, 40});
  EXPECT_NEAR(b.x, 0, 1e-4);
  EXPECT_NEAR(b.y, 10, 1e-4);
  EXPECT_NEAR(b.width, 30, 1e-4);
  EXPECT_NEAR(b.height, 30, 1e-4);
  EXPECT_TRUE(clipped_polygon_box({{50, 50}, {60, 50}, {60, 60}}, {40, 40}).empty());
}

// After mosaic + affine + flip the boxes still sit on the drawn objects and the masks cover them.
TEST(Augment, BoxesAndMasksFollowTheObjects) {
  const fs::path root = make_dataset("aug", 6, 128, 96);
  const DataConfig cfg = load_data_config(root / "data.yaml");
  LoaderOptions opt;
  opt.imgsz = 128;
  opt.batch = 4;
  opt.workers = 0;
  opt.augment = true;
  opt.shuffle = true;
  opt.segment = true;
  opt.hyp.hsv_h = opt.hyp.hsv_s = opt.hyp.hsv_v = 0;  // keep the colours recognisable
  opt.hyp.degrees = 10;                               // and exercise rotation too
  auto loader = build_loader(cfg, "train", opt);
  int objects = 0;
  for (int epoch = 0; epoch < 3; ++epoch) {
    loader->set_mosaic(epoch < 2);
    loader->begin_epoch(epoch);
    while (auto batch = loader->next()) {
      ASSERT_EQ(batch->images.sizes(), (std::vector<int64_t>{batch->images.size(0), 3, 128, 128}));
      ASSERT_EQ(batch->masks.size(0), batch->cls.size(0));
      for (int64_t k = 0; k < batch->cls.size(0); ++k) {
        const int64_t i = batch->batch_idx[k].item<int64_t>();
        const int cls = static_cast<int>(batch->cls[k].item<int64_t>());
        auto b = batch->bboxes[k];
        const float cx = b[0].item<float>() * 128, cy = b[1].item<float>() * 128;
        const float w = b[2].item<float>() * 128, h = b[3].item<float>() * 128;
        // Slivers cut by the image edge are too small to judge on a 1/4-scale mask.
        if (w < 8 || h < 8) continue;
        // RGB planes of the image: class 0 red (R high), class 1 blue (B high).
        auto img = batch->images[i];
        auto target = img[cls == 0 ? 0 : 2], other = img[cls == 0 ? 2 : 0];
        auto object = (target > 0.7) & (other < 0.3);
        const int x1 = std::max(0, int(cx - w / 2)), x2 = std::min(128, int(cx + w / 2 + 1));
        const int y1 = std::max(0, int(cy - h / 2)), y2 = std::min(128, int(cy + h / 2 + 1));
        auto inside =
            object.index({torch::indexing::Slice(y1, y2), torch::indexing::Slice(x1, x2)});
        const double fill = inside.to(torch::kFloat).mean().item<double>();
        // Rectangles fill their box; discs about pi/4 of it (the remainder is antialiasing).
        EXPECT_GT(fill, cls == 0 ? 0.6 : 0.45) << "epoch " << epoch << " object " << k;
        // The mask (1/4 scale) lies on the object.
        auto mask = batch->masks[k] > 0.5;
        auto small = torch::nn::functional::avg_pool2d(
            object.to(torch::kFloat).unsqueeze(0), torch::nn::functional::AvgPool2dFuncOptions(4));
        const double on_object =
            (small[0].index({mask}) > 0.25).to(torch::kFloat).mean().item<double>();
        EXPECT_GT(on_object, 0.7) << "epoch " << epoch << " object " << k;
        ++objects;
      }
    }
  }
  EXPECT_GT(objects, 20);
  fs::remove_all(root);
}

TEST(Loader, DeterministicWhateverTheWorkersAndRectShapes) {
  const fs::path root = make_dataset("loader", 7, 96, 64);
  const DataConfig cfg = load_data_config(root / "data.yaml");
  LoaderOptions opt;
  opt.imgsz = 96;
  opt.batch = 3;
  opt.augment = true;
  opt.shuffle = true;
  opt.seed = 11;
  auto collect = [&](int workers) {
    opt.workers = workers;
    auto loader = build_loader(cfg, "train", opt);
    EXPECT_EQ(loader->size(), 3u);
    std::vector<Batch> batches;
    loader->begin_epoch(1);
    while (auto b = loader->next()) batches.push_back(*b);
    return batches;
  };
  const auto a = collect(0), b = collect(3);
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 3u);
  std::set<std::string> seen;
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_TRUE(torch::equal(a[i].images, b[i].images));
    EXPECT_TRUE(torch::equal(a[i].bboxes, b[i].bboxes));
    EXPECT_EQ(a[i].paths, b[i].paths);
    seen.insert(a[i].paths.begin(), a[i].paths.end());
  }
  EXPECT_EQ(seen.size(), 7u);

  // Validation: rect batches, stride multiples, letterbox info maps back to the source.
  LoaderOptions vopt;
  vopt.imgsz = 96;
  vopt.batch = 4;
  vopt.rect = true;
  vopt.workers = 2;
  auto val = build_loader(cfg, "val", vopt);
  while (auto batch = val->next()) {
    EXPECT_EQ(batch->images.size(2) % 32, 0);
    EXPECT_EQ(batch->images.size(3), 96);
    EXPECT_LE(batch->images.size(2), 96);  // wide images need less height
    for (std::size_t i = 0; i < batch->paths.size(); ++i) {
      const LetterboxInfo& lb = batch->letterbox[i];
      EXPECT_NEAR(batch->ori_shapes[i][1] * lb.gain + 2 * lb.pad_x, 96, 1.0);
    }
  }
  // With the validation margin the same batches grow by a stride each way, and the images keep
  // their scale, centred in the margin.
  vopt.rect_pad = 0.5f;
  auto padded = build_loader(cfg, "val", vopt);
  while (auto batch = padded->next()) {
    EXPECT_EQ(batch->images.size(3), 128);
    EXPECT_LE(batch->images.size(2), 128);
    for (std::size_t i = 0; i < batch->paths.size(); ++i) {
      const LetterboxInfo& lb = batch->letterbox[i];
      EXPECT_NEAR(batch->ori_shapes[i][1] * lb.gain + 2 * lb.pad_x, 128, 1.0);
      EXPECT_GE(lb.pad_x, 15.5f);
    }
  }
  fs::remove_all(root);
}

// Ground-truth masks are rasterised the way the YOLO ecosystem's checkpoints were trained and
// scored: outline points truncated to whole pixels, filled with the boundary, reduced 4x by
// taking a cell when at least two of its four middle pixels are set; where objects overlap the
// smaller one keeps the cells. An exact-area fill gives other cells and mask mAP that does not
// agree with the ecosystem's figures for the same weights.
TEST(Loader, MasksFollowTheEcosystemRasterisationAndSmallerObjectsWinOverlaps) {
  const fs::path root = temp_dir("masks");
  fs::create_directories(root / "val" / "images");
  cv::imwrite((root / "val" / "images" / "a.png").string(),
              cv::Mat(64, 64, CV_8UC3, cv::Scalar(90, 90, 90)));
  auto square = [](int cls, double x1, double y1, double x2, double y2) {
    std::ostringstream s;
    s << cls;
    for (auto [x, y] : {std::pair{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}})
      s << " " << x / 64 << " " << y / 64;
    return s.str() + "\n";
  };
  // Pixels 10..26 x 10..18 once truncated; cells 2..6 x 2..4 without the corner (2,2), which
  // reads only one of its middle pixels each way.
  const std::string big = square(0, 10.5, 10.5, 26.5, 18.5);
  // Pixels 20..30 x 14..24: cells 5..7 x 3..5, overlapping the big square at 5..6 x 3..4.
  const std::string small = square(1, 20.5, 14.5, 30.5, 24.5);
  write(root / "val" / "labels" / "a.txt", big + small);
  write(root / "data.yaml", "path: " + root.string() +
                                "\ntrain: val/images\nval: val/images\nnames: [big, small]\n");
  LoaderOptions opt;
  opt.imgsz = 64;
  opt.batch = 1;
  opt.workers = 0;
  opt.segment = true;
  auto loader = build_loader(load_data_config(root / "data.yaml"), "val", opt);
  auto batch = loader->next();
  ASSERT_TRUE(batch);
  ASSERT_EQ(batch->masks.size(0), 2);
  auto cells = [](const torch::Tensor& m) {
    std::set<std::pair<int, int>> out;
    for (int y = 0; y < m.size(0); ++y)
      for (int x = 0; x < m.size(1); ++x)
        if (m[y][x].item<float>() > 0.5f) out.insert({x, y});
    return out;
  };
  std::set<std::pair<int, int>> want_big, want_small;
  for (int x = 2; x <= 6; ++x)
    for (int y = 2; y <= 4; ++y)
      if (!(x == 2 && y == 2) && !(x >= 5 && y >= 3)) want_big.insert({x, y});
  for (int x = 5; x <= 7; ++x)
    for (int y = 3; y <= 5; ++y) want_small.insert({x, y});
  EXPECT_EQ(cells(batch->masks[0]), want_big);
  EXPECT_EQ(cells(batch->masks[1]), want_small);
  fs::remove_all(root);
}
