#include "loader/windows/SplashUnit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "loader/core/LoaderSettings.h"
#include "loader/core/ScriptFiles.h"
#include "loader/windows/JpegPicture.h"

namespace kestrel {

namespace {

constexpr const char* kHousePicture = ":/splash/QMISplash.bmp";
constexpr const char* kSecondPicture = ":/splash/KLRSplash.jpg";

struct TBrandLook {
  const char* MainCaption;
  const char* ProgressCaption;
  bool Splash;
  int Width;
  int Height;
};

TBrandLook look_of(long brand) {
  if (brand == kHouseBrand)
    return {"Quillmark Inc :- Kestrel", "Quillmark Inc :- File Upload Progress", true, 600, 400};
  if (brand == kSecondBrand)
    return {"KLR :- Kestrel", "KLR :- File Upload Progress", true, 800, 700};
  return {"Kestrel", "Kestrel", false, 0, 0};
}

}  // namespace

std::optional<long> read_brand_setting(const char* path) {
  // Only a regular file: a FIFO under the settings name would block start-up.
  const TFilePtr file = open_file_for_read(path);
  if (!file) return std::nullopt;
  std::string line;
  int counted = 0;
  bool more = true;
  while (more && counted < kLastSettingsLine) {
    line.clear();
    int c;
    while ((c = std::getc(file.get())) != EOF && c != '\n')
      if (line.size() < kMaxSettingsLine) line.push_back(char(c));
    more = c != EOF;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == ';' || line.front() == '[') continue;
    if (++counted != kBrandSettingLine) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    return settings_atol(line.substr(eq + 1));
  }
  return std::nullopt;
}

void TSplashImage::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (OnClick && rect().contains(event->position().toPoint())) OnClick();
}

TSplashForm::TSplashForm(QWidget& main, QWidget& progress, const std::string& settingsFile,
                         QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setObjectName(QStringLiteral("SplashForm"));
  resize(795, 687);
  QMIImage = new TSplashImage(this);
  QMIImage->setObjectName(QStringLiteral("QMIImage"));
  QMIImage->OnClick = [this] { QMIImageClick(); };
  KLRImage = new TSplashImage(this);
  KLRImage->setObjectName(QStringLiteral("KLRImage"));
  select_brand(main, progress, settingsFile);
}

void TSplashForm::QMIImageClick() {
  hide();
}

void TSplashForm::select_brand(QWidget& main, QWidget& progress, const std::string& settingsFile) {
  const std::optional<long> brand = read_brand_setting(settingsFile.c_str());
  if (!brand) return;
  const TBrandLook look = look_of(*brand);
  main.setWindowTitle(QString::fromLatin1(look.MainCaption));
  progress.setWindowTitle(QString::fromLatin1(look.ProgressCaption));
  if (!look.Splash) return;

  (*brand == kHouseBrand ? KLRImage : QMIImage)->hide();
  if (!load_picture(*brand)) {
    // The captions stand; without its picture the splash is not shown.
    qWarning("Kestrel: the splash picture cannot be shown: %s", FPictureError.c_str());
    return;
  }
  resize(look.Width, look.Height);
  QMIImage->setGeometry(rect());
  KLRImage->setGeometry(rect());
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  show();
  QCoreApplication::processEvents();
  // The pause keeps handling events, so a click on the house picture hides
  // the splash at once.
  QEventLoop pause;
  QTimer::singleShot(kPauseMs, &pause, &QEventLoop::quit);
  pause.exec();
  QCoreApplication::processEvents();
}

bool TSplashForm::load_picture(long brand) {
  const char* name = brand == kHouseBrand ? kHousePicture : kSecondPicture;
  QFile file(QString::fromLatin1(name));
  if (!file.open(QIODevice::ReadOnly)) {
    FPictureError = std::string(name).append(": missing");
    return false;
  }
  const QByteArray bytes = file.readAll();
  QImage image;
  if (brand == kHouseBrand) {
    image.loadFromData(bytes, "BMP");
    if (image.isNull()) FPictureError = std::string(name).append(": not a readable bitmap");
  } else {
    std::string error;
    image = decode_jpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                        error);
    if (image.isNull()) FPictureError = std::string(name).append(": ").append(error);
  }
  if (image.isNull()) return false;
  (brand == kHouseBrand ? QMIImage : KLRImage)->setPixmap(QPixmap::fromImage(image));
  return true;
}

}  // namespace kestrel
