#include "ui/help_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QTextDocument>

#include "common/gui_app.h"

using orvane::ui::HelpDialog;

namespace {

QString plain(const QString& html) {
  QTextDocument doc;
  doc.setHtml(html);
  return doc.toPlainText();
}

TEST(HelpDialog, WindowAndControls) {
  orvane::test::gui_app();
  HelpDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Orvane Studio - User Guide");
  EXPECT_EQ(dialog.minimumSize(), QSize(750, 600));
  auto* scroll = dialog.findChild<QScrollArea*>();
  ASSERT_NE(scroll, nullptr);
  EXPECT_TRUE(scroll->widgetResizable());
  EXPECT_TRUE(dialog.guide_label()->wordWrap());
  EXPECT_EQ(dialog.guide_label()->textFormat(), Qt::RichText);
  EXPECT_EQ(dialog.close_button()->text(), "Close Guide");
  bool titled = false;
  for (auto* label : dialog.findChildren<QLabel*>()) {
    if (label->text() == "Orvane Studio - User Guide") {
      titled = true;
      EXPECT_EQ(label->font().pointSize(), 16);
      EXPECT_TRUE(label->font().bold());
    }
  }
  EXPECT_TRUE(titled);
  dialog.show();
  QTest::mouseClick(dialog.close_button(), Qt::LeftButton);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.isVisible());
}

TEST(HelpDialog, GuideTextShape) {
  const QString html = HelpDialog::guide_text();
  EXPECT_TRUE(html.startsWith("<br><b>📌 1. Image Resizer + Compressor</b><br>"));
  EXPECT_TRUE(html.endsWith("CoreML.<br>"));  // no blank line after the last section
  EXPECT_EQ(html.count("📌"), 7);
  EXPECT_EQ(html.count("• <b>"), 17);
  EXPECT_EQ(html.count("<br><br>"), 6);  // one blank line between consecutive sections
  EXPECT_TRUE(html.contains("YOLO <code>data.yaml</code>."));
  EXPECT_TRUE(
      html.contains("• <b>Grid Layout:</b> Choose how to chop up the image (e.g., 2x2, 1x4).<br>"));
}

TEST(HelpDialog, GuideReadsAsWrittenWithAmpersands) {
  const QString text = plain(HelpDialog::guide_text());
  const QStringList headings = {
      "1. Image Resizer + Compressor",  "2. Image Splitter",
      "3. Synthetic Data Enricher",     "4. Image Annotator",
      "5. YOLO Configuration & AutoML", "6. Training Analytics & Live Logs",
      "7. Inference & Model Export"};
  qsizetype last = -1;
  for (const QString& heading : headings) {
    const qsizetype at = text.indexOf(QString::fromUtf8("📌 ") + heading + "\n");
    EXPECT_GT(at, last) << heading.toStdString();
    last = at;
  }
  EXPECT_TRUE(text.contains(
      "• Export & Split: Split the newly annotated dataset into balanced Train/Val/Test "
      "directories, auto-generating a valid YOLO data.yaml."));
  EXPECT_TRUE(
      text.contains("• Batch Generator: Set 'Variants per Source' to generate multiple "
                    "augmented duplicates per image automatically."));
}

}  // namespace
