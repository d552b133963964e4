#include <QApplication>
#include <QFileInfo>
#include <QFont>
#include <QIcon>
#include <QTimer>

#include "app/orvane_studio.h"
#include "engine/compute_thread.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

// Gives the studio its own task-bar group and icon on Windows; elsewhere there is no such id.
void register_app_id() {
#ifdef Q_OS_WIN
  // Looked up at run time so an old or stripped shell32 cannot stop the start; any failure only
  // costs the task-bar grouping and is ignored.
  using SetAppId = HRESULT(WINAPI*)(PCWSTR);
  if (HMODULE shell = LoadLibraryW(L"shell32.dll")) {
    auto set_app_id = reinterpret_cast<SetAppId>(
        reinterpret_cast<void*>(GetProcAddress(shell, "SetCurrentProcessExplicitAppUserModelID")));
    if (set_app_id != nullptr) (void)set_app_id(L"orvane.studio.engine.1.0");
  }
#endif
}

// The stylesheet asks for 'Segoe UI', then Arial. Where neither exists, fontconfig's metric twin
// of Arial (Liberation Sans) keeps the layout the stylesheet was drawn for; without it Qt falls to
// the generic sans-serif, whose wider letters push the last tab titles off the tab bar.
void install_font_fallbacks() {
  QFont::insertSubstitutions("Segoe UI", {"Arial", "Liberation Sans"});
  QFont::insertSubstitution("Arial", "Liberation Sans");
  QFont::insertSubstitutions("Consolas", {"Liberation Mono", "DejaVu Sans Mono"});
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  // The window thread never fans LibTorch work out: prediction and export run on the engine's
  // compute thread, and a second OpenMP team here would slow that thread's every operation.
  orvane::engine::use_one_compute_thread();
  register_app_id();
  install_font_fallbacks();
  // Looked up beside the executable, so launching from any working directory finds it; a missing
  // file only means no icon.
  const QString icon = orvane::OrvaneStudio::icon_path();
  if (QFileInfo::exists(icon)) QApplication::setWindowIcon(QIcon(icon));
  orvane::OrvaneStudio window;
  window.show();
  // After the first paint, so the question appears over the window it belongs to.
  QTimer::singleShot(0, &window, &orvane::OrvaneStudio::offer_to_resume);
  return app.exec();
}
