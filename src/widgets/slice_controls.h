#pragma once

#include <QWidget>

class QCheckBox;
class QDoubleSpinBox;
class QSpinBox;

namespace orvane {

// The "Sliced" switch with its tile size and overlap, as the inference tab and the annotator's
// auto-label show it: off, prediction sees the whole image at its inference size; on, it runs on
// overlapping tiles of the given size (small objects in large images). The size and overlap are
// enabled only while the switch is on.
class SliceControls : public QWidget {
  Q_OBJECT

 public:
  explicit SliceControls(QWidget* parent = nullptr);

  // The tile size in pixels while the switch is on, 0 while it is off; the overlap (0-0.9).
  // (Plain values: the widgets do not link the engine; the tabs make its SliceOptions.)
  int tile_size() const;
  double overlap_value() const;
  void set_tile_size(int pixels);

  QCheckBox* sliced() const { return sliced_; }
  QSpinBox* tile() const { return tile_; }
  QDoubleSpinBox* overlap() const { return overlap_; }

 Q_SIGNALS:
  // Any of the three changed (the switch, or a value while it is on).
  void changed();

 private:
  QCheckBox* sliced_;  // children of this widget
  QSpinBox* tile_;
  QDoubleSpinBox* overlap_;
};

}  // namespace orvane
