#include "annotator/annotator_tab.h"

AnnotatorTab::AnnotatorTab(QWidget* parent) : QWidget(parent) {}
