#pragma once
// The upload progress window. It is created hidden at start-up and lives
// until the program ends; its Cancel button asks the run to cancel the upload
// and the script around it.

#include <QElapsedTimer>
#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace kestrel {

// What the window tells about the file being uploaded.
struct TUploadInfo {
  std::string FileName;  // as the script names it
  std::string FilePath;  // where it was found: the name's tooltip
  uint32_t Checksum = 0;
  std::string LoadAddress;
  uint32_t FileSize = 0;
  uint32_t BlockSize = 0;  // bytes per step of the bar
};

// `name` as it fits in `width`: whole, or with the middle of its folders
// left out so that the file's own name shows, or, when even that is too
// long, with the middle of the name left out.
QString elided_file_name(const QString& name, const QFontMetrics& metrics, int width);

// Window thread only.
class TProgressForm : public QWidget {
  Q_OBJECT
 public:
  explicit TProgressForm(QWidget* parent = nullptr);

  // Each upload shows the window over `window` (while that is on screen)
  // rather than at the layout's place in the corner of the screen.
  void PlaceOver(QWidget* window) { FPlaceOver = window; }

  // Shows the window for an upload of `blocks`
  // whole blocks and paints it before the first block goes out.
  void ShowProgressForm(int blocks, const TUploadInfo& info);
  // Empties the bar and hides the window.
  void HideProgressForm();
  // One block more; a bar that is full stays full.
  void StepIt();
  void CancelButtonClick();

 signals:
  // The operator asks to cancel the upload.
  void CancelRequested();
  // How far the upload has come, its rate and the time left, after every
  // step; empty once the window is hidden.
  void ProgressText(const QString& text);

 public:
  QLabel* Label1 = nullptr;
  QProgressBar* FileProgressBar = nullptr;
  QLabel* BlockNameLabel = nullptr;
  QLabel* FileSizeLabel = nullptr;
  QLabel* ChecksumLabel = nullptr;
  QLabel* LoadAddressLabel = nullptr;
  QLabel* FilePathLabel = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  void place();

  QPointer<QWidget> FPlaceOver;
  TUploadInfo FInfo;
  int FSteps = 0;
  QElapsedTimer FSince;
};

}  // namespace kestrel
