#pragma once
// The wait cursor for work that runs on the GUI thread (a batch in a button's slot). It shows for
// the object's lifetime, so every way out of the work, an exception included, restores the
// ordinary cursor; a cursor restored by hand stays stuck when the work throws.

#include <QGuiApplication>

namespace orvane::ui {

class WaitCursor {
 public:
  WaitCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QGuiApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace orvane::ui
