#include "loader/form/MainUnit.h"

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "loader/core/CommandLine.h"
#include "loader/core/RunRecord.h"
#include "loader/form/WindowWaits.h"
#include "loader/windows/LayoutFonts.h"
#include "loader/windows/Progress.h"
#include "loader/windows/SplashUnit.h"
#include "loader/windows/TerminalPaneWidget.h"
#include "serial/qt/AdPortContext.h"
#include "serial/qt/AdWaitWaker.h"
#include "serial/qt/AdWindowClock.h"
#include "serialdevice/AwPortPath.h"

namespace kestrel {

namespace {

// Between a caption and the value right of it.
constexpr int kCaptionGap = 4;

// The window's status bar, as the first to hear of a run.
class TStatusBarObserver : public TRunObserver {
 public:
  explicit TStatusBarObserver(TInfoStatusBar& bar) : FBar(bar) {}
  void Status(const std::string& text, TStatusSource) override {
    FBar.SetSimpleText(QString::fromStdString(text));
  }

 private:
  TInfoStatusBar& FBar;
};

// A label that sizes itself to its text, anchored at its top-left corner.
QLabel* auto_label(const char* text, QWidget* parent, int left, int top, const char* name) {
  auto* label = new QLabel(QString::fromLatin1(text), parent);
  label->setObjectName(QString::fromLatin1(name));
  label->move(left, top);
  label->adjustSize();
  return label;
}

// The waker the port reports to: the shared context's, else the one of
// ports made without a context.
TApdWaitWaker& WakerOf(TApdPortContext* ports) {
  return ports ? ports->Waker() : TApdWaitWaker::Instance();
}

}  // namespace

void end_process_now(int status) {
  std::fflush(nullptr);
  ::_exit(status);
}

TKestrelForm::TKestrelForm(TOperatorDialog& dialog, QWidget* parent, const TPortRoots& portRoots,
                           TApdPortContext* ports)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      Dialog(dialog),
      FPortRoots(portRoots),
      FWindowClock(std::make_unique<TWindowClock>(WakerOf(ports))),
      FWaits(std::make_unique<TWindowWaits>(*FWindowClock, WakerOf(ports))) {
  setObjectName(QStringLiteral("KestrelForm"));
  setWindowTitle(QStringLiteral("Quillmark Inc. :- Kestrel"));
  INIOpenDialog.Filter = "Script files (*.sld)|*.sld|All files (*.*)|*.*";
  INIOpenDialog.InitialDir = "..";

  // The port stays closed until the window opens it. Uploads are paced by
  // RTS/CTS in the driver; the thresholds are set after the flow options,
  // which would otherwise choose their own.
  ApdComPort1 = new TApdComPort(this, ports);
  ApdComPort1->setObjectName(QStringLiteral("ApdComPort1"));
  ApdComPort1->SetComNumber(1);
  ApdComPort1->SetAutoOpen(false);
  ApdComPort1->SetBaud(38400);
  ApdComPort1->SetDataBits(8);
  ApdComPort1->SetParity(pNone);
  ApdComPort1->SetStopBits(1);
  ApdComPort1->SetHWFlowOptions({hwfUseRTS, hwfRequireCTS});
  ApdComPort1->SetBufferFull(2000);
  ApdComPort1->SetBufferResume(409);
  ApdComPort1->SetTraceName("KELP.TRC");
  ApdComPort1->SetTraceHex(false);
  ApdComPort1->SetLogName("KELP.LOG");
  ApdComPort1->SetLogHex(false);
  ApdComPort1->SetOnTriggerAvail(
      [this](TApdCustomComPort* CP, uint16_t Count) { ApdComPort1TriggerAvail(CP, Count); });

  build_controls();
  build_menus();
  FStatusBar = std::make_unique<TStatusBarObserver>(*InfoStatusBar);
  add_observer(*FStatusBar);

  // The lamps follow the port once start-up switches monitoring on.
  ApdSLController1 = new TApdSLController(this);
  ApdSLController1->setObjectName(QStringLiteral("ApdSLController1"));
  TLightSet lights;
  lights.CTSLight = ApdStatusLight1;
  lights.DCDLight = ApdStatusLight2;
  lights.RXDLight = ApdStatusLight3;
  lights.TXDLight = ApdStatusLight4;
  ApdSLController1->SetLights(lights);

  JustUploadTimer = new QTimer(this);
  JustUploadTimer->setObjectName(QStringLiteral("JustUploadTimer"));
  JustUploadTimer->setInterval(1);
  connect(JustUploadTimer, &QTimer::timeout, this, &TKestrelForm::JustUploadTimerTimer);
  CommandTimer = new QTimer(this);
  CommandTimer->setObjectName(QStringLiteral("CommandTimer"));
  CommandTimer->setInterval(4000);
  CommandTimer->setTimerType(Qt::PreciseTimer);
  connect(CommandTimer, &QTimer::timeout, this, &TKestrelForm::CommandTimerTimer);

  // The window takes its size from the client area below the menu bar and
  // cannot be resized by the operator.
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

TKestrelForm::~TKestrelForm() = default;

void TKestrelForm::SetClock(TClock* clock) {
  FWaits->use_clock(clock ? *clock : *FWindowClock);
}

void TKestrelForm::request_stop(const std::string& why, int signal) {
  if (FStopRequested) return;
  FStopRequested = true;
  FStopSignal = signal;
  cancel_run();
  Link.AwaitingResponse = false;
  Waits().stop_waits(true);
  if (FRunActive) Session.Outcome.Interrupt(why);
  // The port is let go now: a wait on it ends as soon as it looks again.
  close_port();
}

int TKestrelForm::exit_status_after_stop() const {
  return FStopSignal ? kExitSignalBase + FStopSignal : kExitRunFailed;
}

void TKestrelForm::SetCompanions(TProgressForm* progress, TSplashForm* splash) {
  FProgressForm = progress;
  FSplashForm = splash;
  if (!progress) return;
  progress->PlaceOver(this);
  connect(progress, &TProgressForm::CancelRequested, this, [this] { cancel_run(); });
  // The rate and the time left stand over the status text while an upload
  // runs, without replacing it: it is back once the window hides.
  connect(progress, &TProgressForm::ProgressText, InfoStatusBar, [this](const QString& text) {
    if (text.isEmpty())
      InfoStatusBar->clearMessage();
    else
      InfoStatusBar->showMessage(text);
  });
}

void TKestrelForm::build_controls() {
  ClientArea = new QWidget(this);
  ClientArea->setObjectName(QStringLiteral("ClientArea"));
  ClientArea->setFont(pixel_font("MS Sans Serif", 11));
  setCentralWidget(ClientArea);
  ClientArea->setFixedSize(kClientWidth, kClientHeight);

  Label1 = new QLabel(QStringLiteral("KESTREL"), ClientArea);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(pixel_font("Comic Sans MS", 15));
  Label1->setAlignment(Qt::AlignCenter);
  QPalette black = Label1->palette();
  black.setColor(QPalette::WindowText, Qt::black);
  Label1->setPalette(black);
  Label1->setGeometry(208, 8, 122, 20);

  VersionLabel = new QLabel(QStringLiteral("Version : "), ClientArea);
  VersionLabel->setObjectName(QStringLiteral("VersionLabel"));
  VersionLabel->setGeometry(447, 10, 44, 13);

  PickButton = new QPushButton(QStringLiteral("Open script file to read and upload"), ClientArea);
  PickButton->setObjectName(QStringLiteral("PickButton"));
  PickButton->setGeometry(40, 38, 176, 25);
  connect(PickButton, &QPushButton::clicked, this, &TKestrelForm::PickButtonClick);

  UploadButton = new QPushButton(QStringLiteral("Upload"), ClientArea);
  UploadButton->setObjectName(QStringLiteral("UploadButton"));
  UploadButton->setGeometry(376, 48, 65, 17);
  UploadButton->setVisible(false);
  connect(UploadButton, &QPushButton::clicked, this, &TKestrelForm::UploadButtonClick);

  RS232GroupBox = new QGroupBox(QStringLiteral("RS-232"), ClientArea);
  RS232GroupBox->setObjectName(QStringLiteral("RS232GroupBox"));
  RS232GroupBox->setGeometry(37, 72, 444, 42);
  // The caption sits on the frame's top edge, leaving the whole box to the
  // lamps and labels placed inside it.
  RS232GroupBox->setStyleSheet(
      QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: 6px; }"
                     "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
                     " left: 7px; padding: 0 2px; }"));

  struct Lamp {
    TApdStatusLight** lamp;
    const char* name;
    int x;
    const char* caption;
    const char* labelName;
    int labelX;
  };
  const Lamp lamps[] = {
      {&ApdStatusLight4, "ApdStatusLight4", 75, "TXD", "TXDLabel", 86},
      {&ApdStatusLight3, "ApdStatusLight3", 128, "RXD", "RXDLabel", 140},
      {&ApdStatusLight2, "ApdStatusLight2", 179, "DCD", "DCDLabel", 191},
      {&ApdStatusLight1, "ApdStatusLight1", 236, "CTS", "CTSLabel", 248},
  };
  for (const Lamp& l : lamps) {
    *l.lamp = new TApdStatusLight(RS232GroupBox);
    (*l.lamp)->setObjectName(QString::fromLatin1(l.name));
    (*l.lamp)->setGeometry(l.x, 19, 10, 10);
    auto_label(l.caption, RS232GroupBox, l.labelX, 18, l.labelName);
  }

  QLabel* comCaption = auto_label("COM:", RS232GroupBox, 320, 8, "COMLabel");
  ComNumberLabel = auto_label("None", RS232GroupBox, 352, 8, "ComNumberLabel");
  QLabel* baudCaption = auto_label("Baud:", RS232GroupBox, 320, 24, "BaudLabel");
  ComBaudLabel = auto_label("38400", RS232GroupBox, 353, 25, "ComBaudLabel");
  // A stand-in face wider than the layout's would run caption and value
  // together: the values keep a blank's width from their captions.
  for (auto [caption, value] : {std::pair{comCaption, ComNumberLabel}, {baudCaption, ComBaudLabel}})
    value->move(std::max(value->x(), caption->geometry().right() + 1 + kCaptionGap), value->y());

  ComCheckBox = new QCheckBox(QStringLiteral("Use COM"), RS232GroupBox);
  ComCheckBox->setObjectName(QStringLiteral("ComCheckBox"));
  ComCheckBox->setGeometry(8, 16, 65, 17);
  ComCheckBox->setVisible(false);
  // Like the form toolkit it replaces, the box reacts to every change of its
  // state, also one the program makes.
  connect(ComCheckBox, &QCheckBox::toggled, this, &TKestrelForm::ComCheckBoxClick);

  // The window speaks to its terminal pane only through TTerminalPane.
  auto* pane = new TAdTerminalPane(ApdComPort1, ClientArea);
  pane->setObjectName(QStringLiteral("AdTerminal1"));
  pane->setGeometry(16, 120, 497, 273);
  AdTerminal1 = pane;
  AdTerminal1->SetOnKeyPress([this](char& Key) { AdTerminal1KeyPress(Key); });
  // Keys typed while an upload runs would land among the file's bytes.
  AdTerminal1->Widget()->installEventFilter(this);

  InfoStatusBar = new TInfoStatusBar(ClientArea);
  InfoStatusBar->setObjectName(QStringLiteral("InfoStatusBar"));
  InfoStatusBar->SetSimpleText(QStringLiteral("Info"));
  set_client_height(kClientHeight);
}

void TKestrelForm::build_menus() {
  ControllerMainMenu = menuBar();
  ControllerMainMenu->setObjectName(QStringLiteral("ControllerMainMenu"));

  auto item = [this](QWidget* owner, const char* name, const char* caption,
                     void (TKestrelForm::*handler)()) {
    auto* action = new QAction(QString::fromLatin1(caption), owner);
    action->setObjectName(QString::fromLatin1(name));
    owner->addAction(action);
    if (handler) connect(action, &QAction::triggered, this, handler);
    return action;
  };
  auto submenu = [](QWidget* owner, const char* name, const char* caption) {
    auto* menu = new QMenu(QString::fromLatin1(caption), owner);
    menu->setObjectName(QString::fromLatin1(name));
    menu->menuAction()->setObjectName(QString::fromLatin1(name));
    owner->addAction(menu->menuAction());
    return menu;
  };
  auto separator = [](QWidget* owner, const char* name) {
    auto* action = new QAction(owner);
    action->setObjectName(QString::fromLatin1(name));
    action->setSeparator(true);
    owner->addAction(action);
  };

  ExitMenu = item(ControllerMainMenu, "ExitMenu", "Exit", &TKestrelForm::ExitMenuClick);

  ConfigMenu = submenu(ControllerMainMenu, "ConfigMenu", "RS232 Config");
  COMPortMenu = submenu(ConfigMenu, "COMPortMenu", "COM Port");
  NoneMenu = item(COMPortMenu, "NoneMenu", "None", &TKestrelForm::NoneMenuClick);
  COM1Menu = item(COMPortMenu, "COM1Menu", "COM1", &TKestrelForm::COM1MenuClick);
  COM2Menu = item(COMPortMenu, "COM2Menu", "COM2", &TKestrelForm::COM2MenuClick);
  separator(COMPortMenu, "N1");
  SearchAllMenu = item(COMPortMenu, "SearchAllMenu", "Search", &TKestrelForm::SearchAllMenuClick);
  ChoosePortMenu =
      item(COMPortMenu, "ChoosePortMenu", "Choose port...", &TKestrelForm::ChoosePortMenuClick);
  Baud1 = submenu(ConfigMenu, "Baud1", "Baud");
  N12001 = item(Baud1, "N12001", "1200", &TKestrelForm::N12001Click);
  N24001 = item(Baud1, "N24001", "2400", &TKestrelForm::N24001Click);
  N96001 = item(Baud1, "N96001", "9600", &TKestrelForm::N96001Click);
  N192001 = item(Baud1, "N192001", "19200", &TKestrelForm::N192001Click);
  N384001 = item(Baud1, "N384001", "38400", &TKestrelForm::N384001Click);
  N576001 = item(Baud1, "N576001", "57600", &TKestrelForm::N576001Click);

  Terminal1 = submenu(ControllerMainMenu, "Terminal1", "Terminal");
  VisibleMenu = item(Terminal1, "VisibleMenu", "Visible", nullptr);
  VisibleMenu->setCheckable(true);
  VisibleMenu->setChecked(true);
  // VisibleMenuClick flips the mark itself; undo the flip Qt makes on a click.
  connect(VisibleMenu, &QAction::triggered, this, [this] {
    VisibleMenu->setChecked(!VisibleMenu->isChecked());
    VisibleMenuClick();
  });

  BackgroundColor1 = submenu(Terminal1, "BackgroundColor1", "Background Color");
  item(BackgroundColor1, "BackBlackMenu", "Black", &TKestrelForm::BackBlackMenuClick);
  item(BackgroundColor1, "BackRedMenu", "Red", &TKestrelForm::BackRedMenuClick);
  item(BackgroundColor1, "BackGreenMenu", "Green", &TKestrelForm::BackGreenMenuClick);
  item(BackgroundColor1, "BackBlueMenu", "Blue", &TKestrelForm::BackBlueMenuClick);
  item(BackgroundColor1, "BackWhiteMenu", "White", &TKestrelForm::BackWhiteMenuClick);
  separator(BackgroundColor1, "N2");
  item(BackgroundColor1, "BackDefaultMenu", "Default", &TKestrelForm::BackDefaultMenuClick);

  ForegroundColor1 = submenu(Terminal1, "ForegroundColor1", "Text Color");
  ForegroundColor1->menuAction()->setVisible(false);
  item(ForegroundColor1, "TextBlackMenu", "Black", &TKestrelForm::TextBlackMenuClick);
  item(ForegroundColor1, "TextRedMenu", "Red", &TKestrelForm::TextRedMenuClick);
  item(ForegroundColor1, "TextGreenMenu", "Green", &TKestrelForm::TextGreenMenuClick);
  item(ForegroundColor1, "TextBlueMenu", "Blue", &TKestrelForm::TextBlueMenuClick);
  item(ForegroundColor1, "TextWhiteMenu", "White", &TKestrelForm::TextWhiteMenuClick);
  separator(ForegroundColor1, "N3");
  item(ForegroundColor1, "TextDefaultMenu", "Default", &TKestrelForm::TextDefaultMenuClick);

  TerminalFonts1 =
      item(Terminal1, "TerminalFonts1", "Terminal Fonts...", &TKestrelForm::TerminalFonts1Click);
}

void TKestrelForm::set_client_height(int height) {
  ClientArea->setFixedSize(kClientWidth, height);
  // The status bar stays docked at the bottom edge.
  InfoStatusBar->setGeometry(0, height - 19, kClientWidth, 19);
  // The window follows at once, not on the next pass of the event loop.
  if (QLayout* frame = layout()) {
    frame->invalidate();
    frame->activate();
  }
}

void TKestrelForm::set_status(const char* text) {
  report_status(text, TStatusSource::Run);
}

void TKestrelForm::set_status_text(const std::string& text) {
  report_status(text, TStatusSource::Run);
}

void TKestrelForm::report_status(const std::string& text, TStatusSource source) {
  tell_observers([&](TRunObserver& o) { o.Status(text, source); });
}

void TKestrelForm::add_observer(TRunObserver& observer) {
  FObservers.push_back(&observer);
}

void TKestrelForm::remove_observer(TRunObserver& observer) {
  std::erase(FObservers, &observer);
}

void TKestrelForm::end_program(int status) {
  tell_observers([status](TRunObserver& o) { o.ProgramEnds(status); });
}

void TKestrelForm::show_message(const std::string& text) {
  // Once the run is being stopped nobody is there to acknowledge a box: what
  // the stop cut short is no failure of its own, and the record says what
  // the operator saw.
  if (FStopRequested) return;
  tell_observers([&](TRunObserver& o) { o.Message(text, false); });
  if (FRunActive) Session.Outcome.ErrorReported();
  Dialog.ShowMessage(text);
}

TRunRecorder::TPort TKestrelForm::port_for_record() const {
  static const char* const kParity[] = {"none", "odd", "even", "mark", "space"};
  TRunRecorder::TPort port;
  port.ComNumber = ApdComPort1->ComNumber();
  if (port_open()) port.Path = ApdComPort1->PortMap().ResolvePortPath(port.ComNumber);
  port.Baud = ApdComPort1->Baud();
  port.DataBits = ApdComPort1->DataBits();
  port.Parity = ApdComPort1->Parity() <= pSpace ? kParity[ApdComPort1->Parity()] : "";
  port.StopBits = ApdComPort1->StopBits();
  return port;
}

void TKestrelForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (FShowDone) return;
  FShowDone = true;
  // Start-up work runs from the event loop, once the window is on screen.
  QMetaObject::invokeMethod(this, &TKestrelForm::FormShow, Qt::QueuedConnection);
}

bool TKestrelForm::eventFilter(QObject* watched, QEvent* event) {
  if (Session.UploadInProgress && watched == AdTerminal1->Widget() &&
      (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
    if (event->type() == QEvent::KeyPress) QApplication::beep();
    event->accept();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TKestrelForm::closeEvent(QCloseEvent* event) {
  bool CanClose = true;
  FormCloseQuery(CanClose);
  if (!CanClose) {
    event->ignore();
    return;
  }
  event->accept();
  // This is the application's main window: closing it ends the event loop
  // even while the progress or splash window is still on screen.
  QCoreApplication::quit();
}

}  // namespace kestrel
