#include "enricher/enricher_tab.h"

EnricherTab::EnricherTab(QWidget* parent) : QWidget(parent) {}
