#include "loader/windows/QtOperatorDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QFontDialog>
#include <QFontInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace kestrel {

QString message_box_text(const std::string& text) {
  QString out = QString::fromLocal8Bit(text.data(), qsizetype(text.size()));
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return out;
}

QString qt_name_filter(const std::string& filter) {
  const QStringList parts = QString::fromLocal8Bit(filter.c_str()).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i];
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    // "*.*" means every file, also those without a dot in their name.
    for (QString& p : patterns)
      if (p == QLatin1String("*.*")) p = QStringLiteral("*");
    // Qt reads the patterns from the parentheses of the description.
    const qsizetype open = description.lastIndexOf(QLatin1Char('('));
    if (open >= 0) description.truncate(open);
    filters << description.trimmed() + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                   QLatin1Char(')');
  }
  return filters.join(QStringLiteral(";;"));
}

namespace {

// Qt's own file dialog starts its columns narrower than their headings and
// cuts sizes, types and dates short: the columns after the name take what
// their headings and entries need, the name the rest.
void widen_columns(QFileDialog& dialog) {
  auto* view = dialog.findChild<QTreeView*>();
  if (!view || !view->model()) return;
  QHeaderView* header = view->header();
  const QFontMetrics metrics(header->font());
  const int margins = 2 * metrics.height() +
                      2 * header->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header);
  for (int i = 1; i < header->count(); ++i) {
    const QString heading = view->model()->headerData(i, Qt::Horizontal).toString();
    view->resizeColumnToContents(i);
    header->resizeSection(
        i, std::max(header->sectionSize(i), metrics.horizontalAdvance(heading) + margins));
  }
}

void show_columns_whole(QFileDialog& dialog) {
  dialog.resize(std::max(dialog.width(), 760), dialog.height());
  // Entries arrive as the folder is read.
  if (auto* files = dialog.findChild<QFileSystemModel*>())
    QObject::connect(files, &QFileSystemModel::directoryLoaded, &dialog,
                     [&dialog] { widen_columns(dialog); });
  QTimer::singleShot(0, &dialog, [&dialog] { widen_columns(dialog); });
}

}  // namespace

void TQtOperatorDialog::hide_splash() {
  if (FSplash && FSplash->isVisible()) FSplash->hide();
}

void TQtOperatorDialog::ShowMessage(const std::string& text) {
  hide_splash();
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle),
                  message_box_text(text), QMessageBox::Ok, QApplication::activeWindow());
  box.exec();
}

bool TQtOperatorDialog::ConfirmExit(QWidget* owner, const std::string& text) {
  hide_splash();
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kConfirmExitCaption),
                  message_box_text(text), QMessageBox::Yes | QMessageBox::No, owner);
  // One Enter must not abort a flash in mid-image.
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void TQtOperatorDialog::AskExit(QWidget* owner, const std::string& text,
                                std::function<void(bool yes)> answer) {
  // Window-modal and not executed: the loop that called us keeps running.
  auto* box = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kConfirmExitCaption),
                              message_box_text(text), QMessageBox::Yes | QMessageBox::No, owner);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setDefaultButton(QMessageBox::No);
  box->setWindowModality(Qt::WindowModal);
  QObject::connect(box, &QMessageBox::finished, box, [answer = std::move(answer)](int result) {
    answer(result == QMessageBox::Yes);
  });
  box->open();
}

std::optional<std::string> TQtOperatorDialog::OpenFile(QWidget* owner,
                                                       const TOpenFileRequest& request) {
  hide_splash();
  QFileDialog dialog(owner, QStringLiteral("Open"),
                     QString::fromLocal8Bit(request.InitialDir.c_str()),
                     qt_name_filter(request.Filter));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  show_columns_whole(dialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().constFirst().toLocal8Bit().toStdString();
}

namespace {

struct TNamedColor {
  const char* Name;
  uint32_t Color;
};

// The sixteen colours a font chooser classically offers.
constexpr TNamedColor kFontColors[] = {
    {"Black", pane_rgb(0, 0, 0)},        {"Maroon", pane_rgb(128, 0, 0)},
    {"Green", pane_rgb(0, 128, 0)},      {"Olive", pane_rgb(128, 128, 0)},
    {"Navy", pane_rgb(0, 0, 128)},       {"Purple", pane_rgb(128, 0, 128)},
    {"Teal", pane_rgb(0, 128, 128)},     {"Gray", pane_rgb(128, 128, 128)},
    {"Silver", pane_rgb(192, 192, 192)}, {"Red", pane_rgb(255, 0, 0)},
    {"Lime", pane_rgb(0, 255, 0)},       {"Yellow", pane_rgb(255, 255, 0)},
    {"Blue", pane_rgb(0, 0, 255)},       {"Fuchsia", pane_rgb(255, 0, 255)},
    {"Aqua", pane_rgb(0, 255, 255)},     {"White", pane_rgb(255, 255, 255)},
};

// Enter and keypad Enter confirm a dialog wherever the focus is in it (a
// list picked with the mouse, a field reached by Tab), except on Cancel,
// which they press. An open drop-down list is a window of its own and keeps
// them for its choice.
class TEnterConfirms : public QObject {
 public:
  TEnterConfirms(QDialog& dialog, QWidget* cancel) : FDialog(dialog), FCancel(cancel) {
    qApp->installEventFilter(this);
  }
  ~TEnterConfirms() override { qApp->removeEventFilter(this); }

  bool eventFilter(QObject* target, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
    auto* widget = qobject_cast<QWidget*>(target);
    if (!widget || widget == FCancel || !(widget == &FDialog || FDialog.isAncestorOf(widget)))
      return false;
    FDialog.accept();
    return true;
  }

 private:
  QDialog& FDialog;
  QWidget* FCancel;
};

}  // namespace

std::optional<TTerminalFont> TQtOperatorDialog::ChooseFont(QWidget* owner,
                                                           const TTerminalFont& current) {
  hide_splash();
  QDialog dialog(owner);
  dialog.setWindowTitle(QStringLiteral("Font"));
  auto* layout = new QVBoxLayout(&dialog);

  // The dialog lists installed faces in points: start it from the face the
  // pane really shows, at the size it really has.
  QFont start = current.Font;
  const QFontInfo shown(current.Font);
  start.setFamilies({shown.family()});
  if (current.Font.pointSizeF() <= 0) start.setPointSizeF(shown.pointSizeF());
  auto* fonts = new QFontDialog(start, &dialog);
  fonts->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog);
  fonts->setWindowFlags(Qt::Widget);
  layout->addWidget(fonts);
  // The embedded chooser is a dialog too: Escape and Enter in it end it on
  // their own and would leave the window empty around the colour list.
  // They end the whole dialog instead.
  QObject::connect(fonts, &QDialog::accepted, &dialog, &QDialog::accept);
  QObject::connect(fonts, &QDialog::rejected, &dialog, &QDialog::reject);

  auto* colors = new QComboBox(&dialog);
  int selected = -1;
  for (const TNamedColor& c : kFontColors) {
    if (c.Color == current.Color) selected = colors->count();
    colors->addItem(QString::fromLatin1(c.Name), QVariant::fromValue(c.Color));
  }
  if (selected < 0) {
    selected = colors->count();
    colors->addItem(QStringLiteral("Custom"), QVariant::fromValue(current.Color));
  }
  colors->setCurrentIndex(selected);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Color:"), colors);
  layout->addLayout(form);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  const TEnterConfirms enter(dialog, buttons->button(QDialogButtonBox::Cancel));

  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  TTerminalFont chosen;
  chosen.Font = fonts->currentFont();
  chosen.Color = colors->currentData().value<uint32_t>();
  return chosen;
}

}  // namespace kestrel
