#pragma once
// The upload progress window. It is created hidden at start-up and lives
// until the program ends; it owns the cancel flag that stops an upload and
// the script run around it.

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
  uint32_t Checksum = 0;
  std::string LoadAddress;
  uint32_t FileSize = 0;
};

// Window thread only.
class TProgressForm : public QWidget {
  Q_OBJECT
 public:
  explicit TProgressForm(QWidget* parent = nullptr);

  // Clears the cancel flag, shows the window for an upload of `blocks`
  // whole blocks and paints it before the first block goes out.
  void ShowProgressForm(int blocks, const TUploadInfo& info);
  // Empties the bar and hides the window.
  void HideProgressForm();
  // One block more; a bar that is full stays full.
  void StepIt();
  void CancelButtonClick();

 signals:
  // After every step, also one that leaves a full bar full.
  void Stepped();

 public:
  // 0: run, 1: stop.
  int CancelFlag = 0;

  QLabel* Label1 = nullptr;
  QProgressBar* FileProgressBar = nullptr;
  QLabel* BlockNameLabel = nullptr;
  QLabel* FileSizeLabel = nullptr;
  QLabel* ChecksumLabel = nullptr;
  QLabel* LoadAddressLabel = nullptr;
  QLabel* FilePathLabel = nullptr;
  QPushButton* CancelButton = nullptr;
};

}  // namespace kestrel
