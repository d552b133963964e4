#include "widgets/slice_controls.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>

namespace orvane {

SliceControls::SliceControls(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  sliced_ = new QCheckBox("Sliced");
  sliced_->setObjectName("chk_sliced");
  sliced_->setToolTip(
      "Predict on overlapping tiles at the model's own size, then merge: finds small objects "
      "in large images");
  tile_ = new QSpinBox;
  tile_->setObjectName("spin_slice_tile");
  // Range and step before the value, so the value is never clamped by a default range.
  tile_->setRange(32, 4096);
  tile_->setSingleStep(32);
  tile_->setValue(640);
  tile_->setSuffix(" px");
  tile_->setKeyboardTracking(false);
  tile_->setToolTip("Tile size: the size the model was trained at");
  overlap_ = new QDoubleSpinBox;
  overlap_->setObjectName("spin_slice_overlap");
  overlap_->setRange(0.0, 0.9);
  overlap_->setSingleStep(0.05);
  overlap_->setDecimals(2);
  overlap_->setValue(0.2);
  overlap_->setKeyboardTracking(false);
  overlap_->setToolTip("Share of a tile shared with its neighbour");
  row->addWidget(sliced_);
  row->addWidget(tile_);
  row->addWidget(new QLabel("Overlap:"));
  row->addWidget(overlap_);
  row->addStretch(1);
  auto sync = [this] {
    tile_->setEnabled(sliced_->isChecked());
    overlap_->setEnabled(sliced_->isChecked());
  };
  sync();
  connect(sliced_, &QCheckBox::toggled, this, [this, sync] {
    sync();
    Q_EMIT changed();
  });
  connect(tile_, &QSpinBox::valueChanged, this, [this] {
    if (sliced_->isChecked()) Q_EMIT changed();
  });
  connect(overlap_, &QDoubleSpinBox::valueChanged, this, [this] {
    if (sliced_->isChecked()) Q_EMIT changed();
  });
}

int SliceControls::tile_size() const { return sliced_->isChecked() ? tile_->value() : 0; }

double SliceControls::overlap_value() const { return overlap_->value(); }

void SliceControls::set_tile_size(int pixels) { tile_->setValue(pixels); }

}  // namespace orvane
