#pragma once

#include <QString>

class QWidget;

// A form label followed by a small "ⓘ" mark whose tool tip explains the field. The caller owns
// the returned widget (parent it by adding it to a layout).
QWidget* create_info_label(const QString& text, const QString& tooltip_text);
