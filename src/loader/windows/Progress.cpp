#include "loader/windows/Progress.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

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

  // Stopping an upload is left to the cancel flag's other setters.
  CancelButton = new QPushButton(QStringLiteral("Cancel"), this);
  CancelButton->setObjectName(QStringLiteral("CancelButton"));
  CancelButton->setGeometry(384, 96, 41, 25);
  CancelButton->setEnabled(false);
  connect(CancelButton, &QPushButton::clicked, this, &TProgressForm::CancelButtonClick);
}

void TProgressForm::ShowProgressForm(int blocks, const TUploadInfo& info) {
  CancelFlag = 0;
  show();
  set_value(BlockNameLabel, QString::fromLocal8Bit(info.FileName), 216 - 4);
  set_value(ChecksumLabel, QString::number(info.Checksum, 16).toUpper(), 216 - 4);
  set_value(LoadAddressLabel, QString::fromLocal8Bit(info.LoadAddress), 384 - 4);
  set_value(FileSizeLabel, QString::number(info.FileSize), 430 - 4);
  FileProgressBar->setMaximum(blocks > 0 ? blocks : 1);
  QCoreApplication::processEvents();
}

void TProgressForm::HideProgressForm() {
  FileProgressBar->setValue(0);
  hide();
  QCoreApplication::processEvents();
}

void TProgressForm::StepIt() {
  FileProgressBar->setValue(std::min(FileProgressBar->value() + 1, FileProgressBar->maximum()));
  emit Stepped();
}

void TProgressForm::CancelButtonClick() {
  CancelFlag = 1;
}

}  // namespace kestrel
