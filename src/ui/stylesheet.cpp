#include "ui/stylesheet.h"

#include <QMap>

namespace {

// Every slot of both palettes. Text on accent and danger faces, the danger reds and the console
// green are fixed colours written straight into the template.
const QMap<QString, QString>& palette(bool is_dark) {
  static const QMap<QString, QString> dark{
      {"bg", "#121214"},        {"panel", "#1A1A1E"}, {"inp", "#222226"},
      {"tab_inact", "#18181C"}, {"txt", "#ECECEE"},   {"txt_mute", "#8E8E93"},
      {"border", "#2D2D32"},    {"btn", "#222226"},   {"btn_hov", "#2D2D32"},
      {"cvs", "#0A0A0C"},       {"acc", "#6366F1"},   {"acc_hov", "#4F46E5"},
  };
  static const QMap<QString, QString> light{
      {"bg", "#FAFAFA"},        {"panel", "#FFFFFF"}, {"inp", "#F1F1F4"},
      {"tab_inact", "#E5E5EA"}, {"txt", "#1C1C1E"},   {"txt_mute", "#6C6C70"},
      {"border", "#D1D1D6"},    {"btn", "#E5E5EA"},   {"btn_hov", "#D1D1D6"},
      {"cvs", "#F2F2F7"},       {"acc", "#4F46E5"},   {"acc_hov", "#4338CA"},
  };
  return is_dark ? dark : light;
}

// One rule per line; {slot} is replaced by the palette colour.
constexpr const char* kTemplate[] = {
    "QMainWindow, QDialog, QMessageBox { background-color: {bg}; }",
    "QWidget { color: {txt}; font-family: 'Segoe UI', Arial, sans-serif; font-size: 12px; }",
    "QLabel { background: transparent; }",
    "QScrollArea { background-color: {panel}; border: 1px solid {border}; border-radius: 6px; }",
    "QScrollArea > QWidget > QWidget { background-color: {panel}; color: {txt}; }",
    "QTabWidget::pane { border: 1px solid {border}; background-color: {panel}; "
    "border-radius: 6px; top: -1px; }",
    "QTabBar::tab { background-color: {tab_inact}; color: {txt_mute}; padding: 8px 18px; "
    "font-weight: bold; border-top-left-radius: 6px; border-top-right-radius: 6px; "
    "margin-right: 2px; border: 1px solid {border}; border-bottom: none; }",
    "QTabBar::tab:selected { background-color: {panel}; color: {acc}; "
    "border-bottom: 3px solid {acc}; }",
    "QGroupBox { font-weight: bold; border: 1px solid {border}; border-radius: 6px; "
    "margin-top: 10px; padding-top: 10px; background-color: {panel}; }",
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; "
    "padding: 0 6px; color: {txt}; }",
    "QLineEdit, QSpinBox, QDoubleSpinBox, QComboBox { border: 1px solid {border}; "
    "border-radius: 4px; padding: 5px 8px; background-color: {inp}; color: {txt}; "
    "selection-background-color: {acc}; }",
    "QLineEdit:focus, QSpinBox:focus, QDoubleSpinBox:focus, QComboBox:focus { "
    "border: 1px solid {acc}; background-color: {panel}; }",
    "QComboBox QAbstractItemView { background-color: {panel}; color: {txt}; "
    "selection-background-color: {acc}; border: 1px solid {border}; }",
    "QPushButton { background-color: {btn}; color: {txt}; font-weight: bold; "
    "border-radius: 4px; padding: 6px 12px; border: 1px solid {border}; }",
    "QPushButton:hover { background-color: {btn_hov}; border-color: {acc}; }",
    "QPushButton:disabled { background-color: {tab_inact}; color: {txt_mute}; "
    "border-color: {border}; }",
    "QPushButton#primaryBtn { background-color: {acc}; color: #FFFFFF; font-size: 13px; "
    "padding: 9px 16px; border: none; }",
    "QPushButton#primaryBtn:hover { background-color: {acc_hov}; }",
    "QPushButton#dangerBtn { background-color: #D3112E; color: #FFFFFF; font-size: 12px; "
    "border: none; }",
    "QPushButton#dangerBtn:hover { background-color: #A30D25; }",
    "QTextEdit { background-color: {cvs}; color: #00FF66; font-family: 'Consolas', monospace; "
    "border: 1px solid {border}; border-radius: 6px; padding: 8px; }",
    "QProgressBar { border: 1px solid {border}; border-radius: 4px; text-align: center; "
    "background-color: {inp}; font-weight: bold; color: {txt}; }",
    "QProgressBar::chunk { background-color: {acc}; border-radius: 3px; }",
    "QGraphicsView { background-color: {cvs}; border: 1px solid {border}; border-radius: 6px; }",
    "QTableWidget, QListWidget { border: 1px solid {border}; background-color: {panel}; "
    "color: {txt}; border-radius: 4px; gridline-color: {border}; }",
    "QHeaderView::section { background-color: {inp}; color: {txt}; padding: 4px; border: none; "
    "border-right: 1px solid {border}; border-bottom: 1px solid {border}; font-weight: bold; }",
    "QTableWidget::item:selected, QListWidget::item:selected { background-color: {acc}; "
    "color: #FFFFFF; }",
};

}  // namespace

QString get_stylesheet(bool is_dark) {
  const auto& colours = palette(is_dark);
  QStringList lines;
  for (const char* rule : kTemplate) {
    QString line = QString::fromLatin1(rule);
    for (auto it = colours.cbegin(); it != colours.cend(); ++it)
      line.replace(QLatin1Char('{') + it.key() + QLatin1Char('}'), it.value());
    lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

QPalette theme_palette(bool is_dark) {
  const auto& c = palette(is_dark);
  auto colour = [&](const char* slot) { return QColor(c.value(slot)); };
  QPalette p;
  p.setColor(QPalette::Window, colour("bg"));
  p.setColor(QPalette::WindowText, colour("txt"));
  p.setColor(QPalette::Base, colour("panel"));
  p.setColor(QPalette::AlternateBase, colour("inp"));
  p.setColor(QPalette::Text, colour("txt"));
  p.setColor(QPalette::PlaceholderText, colour("txt_mute"));
  p.setColor(QPalette::Button, colour("btn"));
  p.setColor(QPalette::ButtonText, colour("txt"));
  p.setColor(QPalette::ToolTipBase, colour("panel"));
  p.setColor(QPalette::ToolTipText, colour("txt"));
  p.setColor(QPalette::Highlight, colour("acc"));
  p.setColor(QPalette::HighlightedText, QColor(Qt::white));
  p.setColor(QPalette::Link, colour("acc"));
  for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, colour("txt_mute"));
  return p;
}
