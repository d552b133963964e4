#include "resizer/resizer_tab.h"

ResizerTab::ResizerTab(QWidget* parent) : QWidget(parent) {}
