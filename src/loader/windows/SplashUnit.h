#pragma once
// The splash window: borderless and on top, created after the main and
// progress windows. Creating it reads the brand setting (counted line 23 of
// the settings file), sets both windows' captions and may show one of two
// pictures; the main window hides it once probing is over.

#include <QLabel>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

#include "loader/core/LoaderSettings.h"

namespace kestrel {

inline constexpr int kBrandSettingLine = 23;
inline constexpr long kHouseBrand = 0;
inline constexpr long kSecondBrand = 100;

// The brand setting as `atol` reads it from the text after the first "=" of
// counted line 23, or nothing when the file cannot be read, is shorter or
// the line has no "=".
std::optional<long> read_brand_setting(const char* path);

// A picture control; it reports a click when one is wired.
class TSplashImage : public QLabel {
  Q_OBJECT
 public:
  explicit TSplashImage(QWidget* parent = nullptr) : QLabel(parent) {}
  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// Window thread only.
class TSplashForm : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kPauseMs = 640;

  // `main` and `progress`: the windows whose captions the brand sets.
  // `settingsFile`: the settings file the brand setting is read from.
  TSplashForm(QWidget& main, QWidget& progress, const std::string& settingsFile = kSettingsFileName,
              QWidget* parent = nullptr);

  void QMIImageClick();

  // Why the brand's picture could not be shown; empty when it could.
  const std::string& PictureError() const { return FPictureError; }

  TSplashImage* QMIImage = nullptr;  // house brand, 600 x 400 bitmap
  TSplashImage* KLRImage = nullptr;  // second brand, 800 x 700 JPEG

 private:
  void select_brand(QWidget& main, QWidget& progress, const std::string& settingsFile);
  bool load_picture(long brand);

  std::string FPictureError;
};

}  // namespace kestrel
