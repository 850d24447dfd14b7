#include "AppWindows.h"

namespace kestrel {

TKestrelWindows create_windows(TOperatorDialog& dialog) {
  TKestrelWindows w;
  w.KestrelForm = std::make_unique<TKestrelForm>(dialog);
  w.ProgressForm = std::make_unique<TProgressForm>();
  w.SplashForm = std::make_unique<TSplashForm>(*w.KestrelForm, *w.ProgressForm);
  w.KestrelForm->SetCompanions(w.ProgressForm.get(), w.SplashForm.get());
  return w;
}

}  // namespace kestrel
