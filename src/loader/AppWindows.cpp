#include "loader/AppWindows.h"

namespace kestrel {

TKestrelWindows create_windows(TOperatorDialog& dialog, const std::string& settingsFile,
                               TApdPortContext* ports) {
  TKestrelWindows w;
  w.KestrelForm = std::make_unique<TKestrelForm>(dialog, nullptr, TPortRoots{}, ports);
  TStartUp startUp;
  startUp.SettingsFile = settingsFile;
  w.KestrelForm->SetStartUp(startUp);
  w.ProgressForm = std::make_unique<TProgressForm>();
  w.SplashForm = std::make_unique<TSplashForm>(*w.KestrelForm, *w.ProgressForm, settingsFile);
  w.KestrelForm->SetCompanions(w.ProgressForm.get(), w.SplashForm.get());
  return w;
}

std::unique_ptr<TKestrelForm> create_unattended_window(TOperatorDialog& dialog,
                                                       TApdPortContext* ports) {
  auto form = std::make_unique<TKestrelForm>(dialog, nullptr, TPortRoots{}, ports);
  form->setAttribute(Qt::WA_DontShowOnScreen);
  return form;
}

}  // namespace kestrel
