// What the Qt dialogs are handed (message lines and file filters), and the
// font dialog's keys.

#include "loader/windows/QtOperatorDialog.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "LoaderTestApp.h"

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

// Opens the real font dialog and does to it what `operate` does, as an
// operator would; the dialog must end by itself.
std::optional<TTerminalFont> ChooseFontDoing(std::function<void(QDialog&)> operate, bool& hung) {
  hung = false;
  QTimer::singleShot(0, [operate] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog));
    operate(*dialog);
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

// Types `key` into the face list.
std::optional<TTerminalFont> ChooseFontTyping(Qt::Key key, bool& hung) {
  return ChooseFontDoing(
      [key](QDialog& dialog) {
        auto* faces = dialog.findChild<QFontDialog*>()->findChild<QListView*>();
        ASSERT_NE(faces, nullptr);
        QTest::keyClick(faces, key);
      },
      hung);
}

// The font dialog's list of sizes.
QListView* size_list(QDialog& dialog) {
  for (QListView* list : dialog.findChildren<QListView*>())
    if (list->model()->rowCount() > 0 && list->model()->index(0, 0).data().toString().toInt() > 0)
      return list;
  return nullptr;
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

TEST(QtOperatorDialog, EnterConfirmsTheFontDialogWhereverTheFocusIsButOnCancel) {
  struct Case {
    const char* what;
    std::function<void(QDialog&)> operate;
    bool confirmed;
  };
  auto enter = [](QDialog& dialog, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QWidget* focus = dialog.focusWidget();
    ASSERT_NE(focus, nullptr);
    QTest::keyClick(focus, key, modifiers);
  };
  const Case cases[] = {
      {"a size picked with the mouse",
       [&](QDialog& dialog) {
         QListView* sizes = size_list(dialog);
         ASSERT_NE(sizes, nullptr);
         const QModelIndex fourteen =
             sizes->model()->match(sizes->model()->index(0, 0), Qt::DisplayRole, "14").value(0);
         ASSERT_TRUE(fourteen.isValid());
         QTest::mouseClick(sizes->viewport(), Qt::LeftButton, {},
                           sizes->visualRect(fourteen).center());
         enter(dialog, Qt::Key_Return);
       },
       true},
      {"keypad Enter after Tab",
       [&](QDialog& dialog) {
         ASSERT_NE(dialog.focusWidget(), nullptr);
         QTest::keyClick(dialog.focusWidget(), Qt::Key_Tab);
         enter(dialog, Qt::Key_Enter, Qt::KeypadModifier);
       },
       true},
      {"Enter on Cancel",
       [&](QDialog& dialog) {
         QPushButton* cancel =
             dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel);
         cancel->setFocus();
         enter(dialog, Qt::Key_Return);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bool hung = false;
    const auto chosen = ChooseFontDoing(c.operate, hung);
    EXPECT_FALSE(hung);
    EXPECT_EQ(chosen.has_value(), c.confirmed);
    if (chosen && std::string(c.what).find("mouse") != std::string::npos) {
      EXPECT_EQ(chosen->Font.pointSize(), 14);
    }
  }
}

TEST(QtOperatorDialog, EnterAtTheExitQuestionAnswersNo) {
  // Asked while the upload goes on.
  QWidget owner;
  owner.show();
  std::optional<bool> answer;
  TQtOperatorDialog().AskExit(&owner, "File upload in progress.", [&](bool yes) { answer = yes; });
  QCoreApplication::processEvents();
  auto* box = owner.findChild<QMessageBox*>();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
  QTest::keyClick(box, Qt::Key_Return);
  QCoreApplication::processEvents();
  EXPECT_EQ(answer, std::optional<bool>(false));
}

}  // namespace
}  // namespace kestrel
