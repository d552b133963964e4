#pragma once
// What a left press on an image canvas does. The combos that choose it show draw_mode_text and
// carry the mode itself as their item data, so no code compares display texts.

#include <QComboBox>
#include <QString>
#include <initializer_list>

namespace orvane {

enum class DrawMode {
  SelectMove,  // plain scene behaviour: the owner's items select and move
  Polygon,     // left presses add vertices, a right press finishes
  Rectangle,   // press-drag-release draws the shape
  Circle,
  Pentagon,
  Crop,  // each left press reports one point
  Warp,
};

// The text the operator sees for `mode` ("Select/Move", "Polygon", ...).
inline QString draw_mode_text(DrawMode mode) {
  switch (mode) {
    case DrawMode::SelectMove:
      return QStringLiteral("Select/Move");
    case DrawMode::Polygon:
      return QStringLiteral("Polygon");
    case DrawMode::Rectangle:
      return QStringLiteral("Rectangle");
    case DrawMode::Circle:
      return QStringLiteral("Circle");
    case DrawMode::Pentagon:
      return QStringLiteral("Pentagon");
    case DrawMode::Crop:
      return QStringLiteral("Crop");
    case DrawMode::Warp:
      return QStringLiteral("Warp");
  }
  return {};
}

// Fills `combo` with `modes`, each item's data the mode itself.
inline void add_draw_modes(QComboBox* combo, std::initializer_list<DrawMode> modes) {
  for (DrawMode mode : modes) combo->addItem(draw_mode_text(mode), static_cast<int>(mode));
}

// The mode of `combo`'s item `index` (filled by add_draw_modes).
inline DrawMode draw_mode_at(const QComboBox* combo, int index) {
  return static_cast<DrawMode>(combo->itemData(index).toInt());
}

// Selects `mode` in a combo filled by add_draw_modes (no change when it is not offered).
inline void select_draw_mode(QComboBox* combo, DrawMode mode) {
  const int index = combo->findData(static_cast<int>(mode));
  if (index >= 0) combo->setCurrentIndex(index);
}

}  // namespace orvane
