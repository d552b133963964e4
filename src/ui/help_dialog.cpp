#include "ui/help_dialog.h"

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {}
