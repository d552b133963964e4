#pragma once
// One QApplication for a whole widget-test executable, created on first use. Widget tests run
// offscreen (QT_QPA_PLATFORM is set by orvane_test).

#include <gtest/gtest.h>

#include <QApplication>

namespace orvane::test {

inline QApplication& gui_app() {
  static int argc = 1;
  static char name[] = "orvane-test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);  // lives until process exit
  return *app;
}

// Base for fixtures that hold widgets as members: the application exists before they are built.
class GuiTest : public ::testing::Test {
 protected:
  GuiTest() { gui_app(); }
};

}  // namespace orvane::test
