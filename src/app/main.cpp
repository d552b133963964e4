#include <QApplication>
#include <QFileInfo>
#include <QIcon>

#include "app/orvane_studio.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The Windows shell application id has no counterpart on this platform.
  const QString icon = OrvaneStudio::icon_path();
  if (QFileInfo::exists(icon)) QApplication::setWindowIcon(QIcon(icon));
  OrvaneStudio window;
  window.show();
  return app.exec();
}
