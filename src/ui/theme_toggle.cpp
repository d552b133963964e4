#include "ui/theme_toggle.h"

ThemeToggle::ThemeToggle(QWidget* parent) : QCheckBox(parent) {}
