#include "loader/windows/Progress.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>

#include "loader/core/UploadRate.h"
#include "loader/windows/LayoutFonts.h"

namespace kestrel {

namespace {

QLabel* place_label(const char* text, QWidget* parent, int left, int top, const char* name) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  label->move(left, top);
  label->adjustSize();
  return label;
}

// A value label sits at its laid-out place, or just right of its caption
// where a wider stand-in face pushes the caption past that place. It grows
// with its text up to `right`, where it is cut.
void set_value(QLabel* label, const QString& text, int right) {
  auto* caption = label->parentWidget()->findChild<QLabel*>(label->property("caption").toString());
  const int laidOut = label->property("left").toInt();
  const int left = caption ? std::max(laidOut, caption->geometry().right() + 4) : laidOut;
  label->setText(text);
  label->adjustSize();
  label->setGeometry(left, label->y(), std::clamp(right - left, 0, label->width()),
                     label->height());
  label->setToolTip(text);
}

QLabel* value_label(QWidget* parent, int left, int top, const char* name, const char* caption) {
  QLabel* label = place_label("", parent, left, top, name);
  label->setProperty("left", left);
  label->setProperty("caption", QString::fromLatin1(caption));
  return label;
}

}  // namespace

QString elided_file_name(const QString& name, const QFontMetrics& metrics, int width) {
  if (metrics.horizontalAdvance(name) <= width) return name;
  const qsizetype slash = name.lastIndexOf(QLatin1Char('/'));
  if (slash > 0) {
    const QString own = name.mid(slash);  // with the slash before it
    const int room = width - metrics.horizontalAdvance(own);
    const QString folders = metrics.elidedText(name.left(slash), Qt::ElideMiddle, room);
    if (room > 0 && !folders.isEmpty()) return folders + own;
  }
  return metrics.elidedText(name, Qt::ElideMiddle, width);
}

TProgressForm::TProgressForm(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowTitle(QStringLiteral("Quillmark Inc. :- File Upload Progress"));
  QFont font = pixel_font("Comic Sans MS", 11);
  setFont(font);
  QPalette black = palette();
  black.setColor(QPalette::WindowText, Qt::black);
  setPalette(black);
  setFixedSize(430, 123);
  move(0, 0);

  Label1 = place_label("TRANSFER STATUS ", this, 144, 0, "Label1");
  Label1->setFont(pixel_font("Comic Sans MS", 15));
  Label1->setGeometry(144, 0, 149, 20);

  FileProgressBar = new QProgressBar(this);
  FileProgressBar->setObjectName(QStringLiteral("FileProgressBar"));
  FileProgressBar->setGeometry(8, 40, 417, 25);
  FileProgressBar->setRange(0, 100);
  FileProgressBar->setValue(0);
  FileProgressBar->setTextVisible(false);

  place_label("File Name : ", this, 8, 80, "Label2");
  BlockNameLabel = value_label(this, 67, 80, "BlockNameLabel", "Label2");
  place_label("File Size", this, 216, 80, "Label6");
  FileSizeLabel = value_label(this, 291, 80, "FileSizeLabel", "Label6");
  place_label("Checksum :", this, 8, 104, "Label3");
  ChecksumLabel = value_label(this, 67, 104, "ChecksumLabel", "Label3");
  place_label("Load Address :", this, 216, 104, "Label4");
  LoadAddressLabel = value_label(this, 291, 104, "LoadAddressLabel", "Label4");
  place_label("File Path :", this, 8, 16, "Label5")->setVisible(false);
  FilePathLabel = place_label("FilePathLabel", this, 83, 17, "FilePathLabel");
  FilePathLabel->resize(406, FilePathLabel->height());
  FilePathLabel->setVisible(false);

  // Stopping an upload is left to the cancel flag's other setters. The
  // button keeps the layout's corner and grows to the left as far as its
  // caption needs in the face that stands in.
  CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  const QSize needed = CancelButton->sizeHint().expandedTo(QSize(41, 25));
  CancelButton->setGeometry(384 + 41 - needed.width(), 96 + 25 - needed.height(), needed.width(),
                            needed.height());
  CancelButton->setEnabled(false);
  connect(CancelButton, &QPushButton::clicked, this, &TProgressForm::CancelButtonClick);
}

void TProgressForm::ShowProgressForm(int blocks, const TUploadInfo& info) {
  FInfo = info;
  FSteps = 0;
  FSince.start();
  place();
  show();
  const QString name = QString::fromLocal8Bit(info.FileName);
  const int nameRight = 216 - 4;
  // Placed first, so that the room right of the caption is known.
  set_value(BlockNameLabel, name, nameRight);
  set_value(BlockNameLabel,
            elided_file_name(name, BlockNameLabel->fontMetrics(), nameRight - BlockNameLabel->x()),
            nameRight);
  const QString path =
      QString::fromLocal8Bit(info.FilePath.empty() ? info.FileName : info.FilePath);
  BlockNameLabel->setToolTip(QFileInfo(path).absoluteFilePath());
  set_value(ChecksumLabel, QString::number(info.Checksum, 16).toUpper(), 216 - 4);
  set_value(LoadAddressLabel, QString::fromLocal8Bit(info.LoadAddress), CancelButton->x() - 4);
  set_value(FileSizeLabel, QString::number(info.FileSize), 430 - 4);
  FileProgressBar->setMaximum(blocks > 0 ? blocks : 1);
  QCoreApplication::processEvents();
}

void TProgressForm::place() {
  if (!FPlaceOver || !FPlaceOver->isVisible()) return;
  // A tool window of the main window: it stays above it, also after the
  // main window has been raised (by a closed message box, a click).
  winId();
  if (QWindow* over = FPlaceOver->window()->windowHandle())
    windowHandle()->setTransientParent(over);
  // Centred over the window, and whole on its screen.
  QRect frame = frameGeometry();
  frame.moveCenter(FPlaceOver->frameGeometry().center());
  if (QScreen* screen = FPlaceOver->screen()) {
    const QRect area = screen->availableGeometry();
    frame.moveLeft(
        std::clamp(frame.left(), area.left(), std::max(area.left(), area.right() - frame.width())));
    frame.moveTop(
        std::clamp(frame.top(), area.top(), std::max(area.top(), area.bottom() - frame.height())));
  }
  move(frame.topLeft());
}

void TProgressForm::HideProgressForm() {
  FileProgressBar->setValue(0);
  hide();
  emit ProgressText(QString());
  QCoreApplication::processEvents();
}

void TProgressForm::StepIt() {
  FileProgressBar->setValue(std::min(FileProgressBar->value() + 1, FileProgressBar->maximum()));
  ++FSteps;
  if (FInfo.BlockSize > 0) {
    const uint64_t sent = std::min<uint64_t>(uint64_t(FSteps) * FInfo.BlockSize, FInfo.FileSize);
    // The window names the file; the bar has room for the numbers only.
    const std::string text =
        "Uploading " + upload_progress_text(sent, FInfo.FileSize, FSince.elapsed() / 1000.0);
    emit ProgressText(QString::fromLocal8Bit(text));
  }
}

void TProgressForm::CancelButtonClick() {
  emit CancelRequested();
}

}  // namespace kestrel
