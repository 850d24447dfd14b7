// What the Qt dialogs are handed (message lines and file filters), and the
// font dialog's keys.

#include <gtest/gtest.h>

#include <QDialog>
#include <QFontDialog>
#include <QListView>
#include <QTest>
#include <QTimer>

#include "LoaderTestApp.h"
#include "loader/windows/QtOperatorDialog.h"

namespace kestrel {
namespace {

TEST(QtOperatorDialog, CarriageReturnsBecomeLineBreaks) {
  EXPECT_EQ(message_box_text("File upload in progress.\rAre you sure?"),
            QStringLiteral("File upload in progress.\nAre you sure?"));
  EXPECT_EQ(message_box_text("a\r\nb"), QStringLiteral("a\nb"));
}

TEST(QtOperatorDialog, FilterPairsBecomeQtNameFilters) {
  EXPECT_EQ(qt_name_filter("Script files (*.sld)|*.sld|All files (*.*)|*.*"),
            QStringLiteral("Script files (*.sld);;All files (*)"));
  EXPECT_EQ(qt_name_filter("Images|*.bmp;*.jpg"), QStringLiteral("Images (*.bmp *.jpg)"));
  // A dangling description without a pattern is dropped.
  EXPECT_EQ(qt_name_filter("Scripts|*.sld|Broken"), QStringLiteral("Scripts (*.sld)"));
}

// Opens the real font dialog and types `key` into its face list, as an
// operator would; the dialog must end by itself.
std::optional<TTerminalFont> ChooseFontTyping(Qt::Key key, bool& hung) {
  hung = false;
  QTimer::singleShot(0, [key] {
    auto* fonts = QApplication::activeModalWidget()->findChild<QFontDialog*>();
    ASSERT_NE(fonts, nullptr);
    auto* faces = fonts->findChild<QListView*>();
    ASSERT_NE(faces, nullptr);
    QTest::keyClick(faces, key);
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&hung] {
    if (auto* left = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      hung = true;
      left->reject();
    }
  });
  guard.start(3000);
  TQtOperatorDialog dialogs;
  return dialogs.ChooseFont(nullptr, default_terminal_font());
}

TEST(QtOperatorDialog, EscapeCancelsAndEnterConfirmsTheWholeFontDialog) {
  bool hung = false;
  EXPECT_EQ(ChooseFontTyping(Qt::Key_Escape, hung), std::nullopt);
  EXPECT_FALSE(hung);
  const auto chosen = ChooseFontTyping(Qt::Key_Return, hung);
  EXPECT_FALSE(hung);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->Color, paneSilver);
  EXPECT_EQ(chosen->Font.family(), QFontInfo(default_terminal_font().Font).family());
}

}  // namespace
}  // namespace kestrel
