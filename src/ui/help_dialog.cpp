#include "ui/help_dialog.h"

#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace orvane::ui {

namespace {

struct Bullet {
  const char* lead;
  const char* text;
};
struct Section {
  const char* title;
  std::initializer_list<Bullet> bullets;
};

const std::initializer_list<Section> kSections = {
    {"1. Image Resizer + Compressor",
     {{"Width / Height / DPI:",
       "Rescale your images perfectly using accurate dimensional metrics."},
      {"Max File Size Constraint:",
       "Automatically compress to hit a target KB size without losing excessive quality."},
      {"Queue System:",
       "Add individual files or entire subfolders recursively for batch processing."}}},
    {"2. Image Splitter",
     {{"Grid Layout:", "Choose how to chop up the image (e.g., 2x2, 1x4)."},
      {"Tile Generation:",
       "Divides extremely large, high-resolution images into smaller, manageable tiles for "
       "detailed AI training."}}},
    {"3. Synthetic Data Enricher",
     {{"Transform Tools:",
       "Manually crop, warp (perspective), and rotate images directly from the interactive "
       "preview canvas."},
      {"Augmentation Ranges:",
       "Dial in Brightness, Contrast, Rotation, Lighting (Gamma), and Warp variations using "
       "Min/Max sliders."},
      {"Batch Generator:",
       "Set 'Variants per Source' to generate multiple augmented duplicates per image "
       "automatically."}}},
    {"4. Image Annotator",
     {{"Labeling Tools:",
       "Draw Polygons, Rectangles, Circles, and Pentagons to annotate specific objects on the "
       "frame."},
      {"AI Auto-Labeling:",
       "Load a pre-trained YOLO .pt model and assign a confidence threshold to automatically "
       "label frames with a single click."},
      {"Export & Split:",
       "Split the newly annotated dataset into balanced Train/Val/Test directories, "
       "auto-generating a valid YOLO <code>data.yaml</code>."}}},
    {"5. YOLO Configuration & AutoML",
     {{"Hyperparameters:",
       "Tweak learning rates, batch size, optimizer type, and total epochs before starting "
       "training."},
      {"AutoML Search:",
       "Run a genetic algorithm sequence to dynamically discover the perfect training "
       "configurations for your specific dataset."}}},
    {"6. Training Analytics & Live Logs",
     {{"Console Output:", "Watch the underlying YOLO training stream in real time."},
      {"Performance Graphs:",
       "Review F1, Precision-Recall, and Confusion Matrix plots once training completes to "
       "verify model accuracy."}}},
    {"7. Inference & Model Export",
     {{"Predictions:", "Test your newly trained model weights against a folder of unseen images."},
      {"Export:",
       "Convert the .pt model to edge-deployable formats like ONNX, TensorRT, OpenVINO, or "
       "CoreML."}}},
};

}  // namespace

QString HelpDialog::guide_text() {
  // Rich text; Qt shows a lone "&" followed by a space as written.
  QString html = QStringLiteral("<br>");
  const std::size_t count = kSections.size();
  std::size_t index = 0;
  for (const Section& section : kSections) {
    html += QStringLiteral("<b>📌 %1</b><br>").arg(QString::fromUtf8(section.title));
    for (const Bullet& bullet : section.bullets) {
      html += QStringLiteral("• <b>%1</b> %2<br>")
                  .arg(QString::fromUtf8(bullet.lead), QString::fromUtf8(bullet.text));
    }
    if (++index < count) html += QStringLiteral("<br>");
  }
  return html;
}

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle("Orvane Studio - User Guide");
  setMinimumSize(750, 600);
  auto* layout = new QVBoxLayout(this);

  auto* title = new QLabel("Orvane Studio - User Guide");
  title->setFont(QFont("Segoe UI", 16, QFont::Bold));
  title->setStyleSheet("color: #6366F1;");
  layout->addWidget(title);
  layout->addSpacing(10);

  auto* scroll = new QScrollArea;
  scroll->setWidgetResizable(true);
  auto* content = new QWidget;
  auto* content_layout = new QVBoxLayout(content);
  guide_label_ = new QLabel(guide_text());
  guide_label_->setWordWrap(true);
  guide_label_->setTextFormat(Qt::RichText);
  content_layout->addWidget(guide_label_);
  scroll->setWidget(content);
  layout->addWidget(scroll);

  close_button_ = new QPushButton("Close Guide");
  connect(close_button_, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(close_button_, 0, Qt::AlignRight);
}

}  // namespace orvane::ui
