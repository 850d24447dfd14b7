// The splash window: the brand setting read from counted line 23, the
// captions and picture each brand gives, the click that hides the house
// splash, the message box that never waits behind it, and the JPEG decoder
// on our picture and on damaged ones.

#include "loader/windows/SplashUnit.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

#include "LoaderTestApp.h"
#include "RecordingOperatorDialog.h"
#include "loader/form/MainUnit.h"
#include "loader/windows/JpegPicture.h"
#include "loader/windows/Progress.h"
#include "loader/windows/QtOperatorDialog.h"

namespace kestrel {
namespace {

// 22 counted lines (with comments and empty lines between them), then `line23`.
std::string settings_with_brand(const std::string& line23) {
  std::string text = "; settings\n";
  for (int n = 1; n <= 22; ++n) {
    text += "Line" + std::to_string(n) + "=1\r\n";
    if (n % 5 == 0) text += "\n[section]\n;Brand=100\n";
  }
  return text + line23;
}

TEST(BrandSetting, IsReadFromCountedLine23AsAtolReadsIt) {
  test_application();
  struct Case {
    std::string file;
    std::optional<long> brand;
  };
  const std::vector<Case> cases = {
      {settings_with_brand("Brand=0\r\n"), 0},
      {settings_with_brand("Brand= 0\n"), 0},
      {settings_with_brand("Brand=abc\n"), 0},
      {settings_with_brand("Brand=100\r\nLine24=LF\n"), 100},
      {settings_with_brand("Brand=7"), 7},
      {settings_with_brand("Brand=-5x"), -5},
      {settings_with_brand("Brand=100=7\n"), 100},
      {settings_with_brand("no equals sign here\n"), std::nullopt},
      {settings_with_brand(""), std::nullopt},
      {settings_with_brand("; Brand=100\n\n"), std::nullopt},
  };
  for (const Case& c : cases) {
    TScratchFolder folder(&c.file);
    EXPECT_EQ(read_brand_setting("LoaderDefault.ini"), c.brand) << c.file;
  }
  TScratchFolder empty;
  EXPECT_EQ(read_brand_setting("LoaderDefault.ini"), std::nullopt);
  std::string longLines = settings_with_brand("Brand=100\n");
  longLines.insert(longLines.find("Line3="), std::string(5000, 'x').append("=9\n"));
  TScratchFolder folder(&longLines);
  // The overlong line counts once: the old line 22 is now line 23.
  EXPECT_EQ(read_brand_setting("LoaderDefault.ini"), 1);
}

class SplashWindow : public ::testing::Test {
 protected:
  void SetUp() override { test_application(); }

  struct TWindows {
    std::unique_ptr<TKestrelForm> Main;
    std::unique_ptr<TProgressForm> Progress;
    std::unique_ptr<TSplashForm> Splash;
  };
  TWindows create(const std::string* settings) {
    TScratchFolder folder(settings);
    TWindows w;
    w.Main = std::make_unique<TKestrelForm>(Dialog);
    w.Progress = std::make_unique<TProgressForm>();
    w.Splash = std::make_unique<TSplashForm>(*w.Main, *w.Progress);
    return w;
  }
  static std::string caption(QWidget& w) { return w.windowTitle().toStdString(); }

  TRecordingOperatorDialog Dialog;
};

TEST_F(SplashWindow, HouseBrandShowsTheBitmapUntilClicked) {
  const std::string settings = settings_with_brand("Brand= 0\n");
  // A click during the pause hides the splash at once.
  TSplashForm* clicked = nullptr;
  QTimer::singleShot(200, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* splash = qobject_cast<TSplashForm*>(w); splash && splash->isVisible()) {
        EXPECT_EQ(splash->size(), QSize(600, 400));
        EXPECT_TRUE(splash->QMIImage->isVisible());
        EXPECT_FALSE(splash->KLRImage->isVisible());
        QTest::mouseClick(splash->QMIImage, Qt::LeftButton, {}, QPoint(300, 200));
        clicked = splash;
      }
  });
  TWindows w = create(&settings);
  EXPECT_EQ(clicked, w.Splash.get());
  EXPECT_FALSE(w.Splash->isVisible());
  EXPECT_EQ(caption(*w.Main), "Quillmark Inc :- Kestrel");
  EXPECT_EQ(caption(*w.Progress), "Quillmark Inc :- File Upload Progress");
  EXPECT_EQ(w.Splash->QMIImage->pixmap().size(), QSize(600, 400));
  EXPECT_EQ(w.Splash->PictureError(), "");
}

TEST_F(SplashWindow, SecondBrandShowsTheJpegAndIgnoresClicks) {
  const std::string settings = settings_with_brand("Brand=100\n");
  TWindows w = create(&settings);
  EXPECT_EQ(caption(*w.Main), "KLR :- Kestrel");
  EXPECT_EQ(caption(*w.Progress), "KLR :- File Upload Progress");
  ASSERT_TRUE(w.Splash->isVisible()) << w.Splash->PictureError();
  EXPECT_EQ(w.Splash->size(), QSize(800, 700));
  EXPECT_FALSE(w.Splash->QMIImage->isVisible());
  EXPECT_EQ(w.Splash->KLRImage->pixmap().size(), QSize(800, 700));
  QTest::mouseClick(w.Splash->KLRImage, Qt::LeftButton, {}, QPoint(400, 350));
  EXPECT_TRUE(w.Splash->isVisible());
}

TEST_F(SplashWindow, OtherBrandsAndMissingSettingsShowNoSplash) {
  const std::string seven = settings_with_brand("Brand=7\n");
  TWindows w = create(&seven);
  EXPECT_FALSE(w.Splash->isVisible());
  EXPECT_EQ(caption(*w.Main), "Kestrel");
  EXPECT_EQ(caption(*w.Progress), "Kestrel");

  const std::string shortFile = "Line1=COM1\n";
  for (const std::string* settings : {&shortFile, static_cast<const std::string*>(nullptr)}) {
    TWindows u = create(settings);
    EXPECT_FALSE(u.Splash->isVisible());
    EXPECT_EQ(caption(*u.Main), "Quillmark Inc. :- Kestrel");
    EXPECT_EQ(caption(*u.Progress), "Quillmark Inc. :- File Upload Progress");
  }
}

TEST_F(SplashWindow, AMessageBoxHidesTheSplashBeforeItShows) {
  // The second brand's splash stays until start-up hides it, on top of
  // everything: a box shown meanwhile would wait unseen behind it.
  const std::string settings = settings_with_brand("Brand=100\n");
  TWindows w = create(&settings);
  ASSERT_TRUE(w.Splash->isVisible()) << w.Splash->PictureError();
  TQtOperatorDialog operatorDialog;
  operatorDialog.SetSplash(w.Splash.get());

  std::optional<bool> splashShownWithBox;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    poll.stop();
    splashShownWithBox = w.Splash->isVisible();
    box->button(QMessageBox::Ok)->click();
  });
  poll.start(20);
  operatorDialog.ShowMessage("Error! Baud Rate set in INI file is invalid!");
  ASSERT_TRUE(splashShownWithBox.has_value());
  EXPECT_FALSE(*splashShownWithBox);
}

QByteArray our_jpeg() {
  QFile file(QStringLiteral(":/splash/KLRSplash.jpg"));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  return file.readAll();
}

QImage decode(const QByteArray& bytes, std::string& error) {
  return decode_jpeg(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()),
                     error);
}

TEST(JpegPicture, DecodesOurPictureAndRefusesDamagedOnes) {
  test_application();
  const QByteArray good = our_jpeg();
  std::string error;
  QImage image = decode(good, error);
  ASSERT_FALSE(image.isNull()) << error;
  EXPECT_EQ(image.size(), QSize(800, 700));
  // The same pixels as Qt's own reading of the file, within JPEG's rounding.
  QImage reference = QImage::fromData(good).convertToFormat(QImage::Format_RGB888);
  if (!reference.isNull()) {
    for (QPoint p : {QPoint(0, 0), QPoint(400, 350), QPoint(799, 699), QPoint(120, 600)}) {
      const QColor a = image.pixelColor(p), b = reference.pixelColor(p);
      EXPECT_LE(std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
                    std::abs(a.blue() - b.blue()),
                12);
    }
  }

  QByteArray truncated = good.left(good.size() / 2);
  QByteArray scribbled = good;
  for (int i = scribbled.size() / 3; i < scribbled.size() / 3 + 400; ++i) scribbled[i] = char(0xFF);
  QByteArray noHeader = good.mid(2);
  QByteArray garbage(5000, 'x');
  for (QByteArray* bad : {&truncated, &scribbled, &noHeader, &garbage}) {
    error.clear();
    EXPECT_TRUE(decode(*bad, error).isNull());
    EXPECT_FALSE(error.empty());
  }
  error.clear();
  EXPECT_TRUE(decode_jpeg(nullptr, 0, error).isNull());
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace kestrel
