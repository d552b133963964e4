#include "files/fs_path.h"

#include <QFile>

namespace orvane {

std::filesystem::path fs_path(const QString& path) {
  return std::filesystem::path(QFile::encodeName(path).toStdString());
}

}  // namespace orvane
