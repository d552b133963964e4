#include "splitter/splitter_tab.h"

SplitterTab::SplitterTab(QWidget* parent) : QWidget(parent) {}
