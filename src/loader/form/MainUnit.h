#pragma once
// The main window: its layout and menus, the start-up work, the settings,
// the terminal-pane menus and the close query.

#include <QMainWindow>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loader/core/CaptureLine.h"
#include "loader/core/FileChain.h"
#include "loader/core/LinkState.h"
#include "loader/core/LoaderSettings.h"
#include "loader/core/PromptJudge.h"
#include "loader/core/RunObserver.h"
#include "loader/core/ScriptFiles.h"
#include "loader/core/ScriptReader.h"
#include "loader/core/ScriptSession.h"
#include "loader/core/UploadWatch.h"
#include "loader/form/LoaderRun.h"
#include "loader/form/MainWidgets.h"
#include "loader/form/WindowWaits.h"
#include "loader/windows/OperatorDialog.h"
#include "loader/windows/TerminalPane.h"
#include "serial/qt/Adport.h"
#include "serial/qt/Adstatlt.h"
#include "serialdevice/AwPortDiscovery.h"

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace kestrel {

class TClock;
class TProgressForm;
class TRunRecorder;
class TSplashForm;

inline constexpr int kClientWidth = 527;
inline constexpr int kClientHeight = 416;      // as laid out
inline constexpr int kClientHeightPane = 420;  // after showing the pane from the menu
inline constexpr int kClientHeightNoPane = 139;
inline constexpr const char* kProgramVersion = "1.04";

// How long a prompt exchange waits for the unit, in ticks of 55 ms.
inline constexpr int kPromptWaitDefault = 265;
inline constexpr int kPromptWaitProbing = 65;
inline constexpr int kPromptWaitLong = 170;

// One prompt exchange: how long it waits, and which try of how many it is
// (0 of 0: not told).
struct TPromptExchange {
  int Wait = kPromptWaitDefault;
  int Attempt = 0;
  int Attempts = 0;
};

// What one prompt exchange came to.
struct TExchange {
  bool Ok = false;
  // Why not, in the unit's terms: what it said since the step that failed
  // began, or that it said nothing.
  std::string Why;
};

// Ends the process at once with `status`; used where the program quits.
void end_process_now(int status);

// Window thread only.
class TKestrelForm : public QMainWindow, public TLoaderRun {
  Q_OBJECT
 public:
  // The port dialog looks for serial devices under `portRoots`. The port
  // shares `ports` with the program's other ports (none: it keeps its own).
  explicit TKestrelForm(TOperatorDialog& dialog, QWidget* parent = nullptr,
                        const TPortRoots& portRoots = {}, TApdPortContext* ports = nullptr);
  ~TKestrelForm() override;

  // The windows created after this one; the splash is hidden at the end of
  // start-up, the progress window shows each upload and its Cancel button
  // cancels the run.
  void SetCompanions(TProgressForm* progress, TSplashForm* splash);

  // Start-up and closing.
  void FormShow() override;
  void FormCloseQuery(bool& CanClose);
  void ExitMenuClick();
  void JustUploadTimerTimer();
  void disable_btns();
  void enable_btns();
  void com_not_found();
  void read_settings();

  // Device link.
  void SendString(const std::string& text);
  bool SendCOMCmd_GetPrompt(const std::string& text, char prompt,
                            const TPromptExchange& exchange = {});
  // Sends `text` and waits for `prompt`: the prompt the unit shows once it
  // has fallen quiet, not a prompt character inside its words. The unit's
  // other prompt ends the wait at once, as a failure.
  TExchange exchange_prompt(const std::string& text, char prompt,
                            const TPromptExchange& exchange = {});
  bool check_com(int port);
  int process_com();
  // Sends `command` and a carriage return and waits for the unit's one-line
  // answer: a prompt ends it only after `minLineLength` bytes.
  void query_unit(const std::string& command, int minLineLength = kQueryLineMinimum);
  void send_command_buffer(const std::string& command);
  void ApdComPort1TriggerAvail(TApdCustomComPort* CP, uint16_t Count);
  void CommandTimerTimer();
  void NoneMenuClick();
  void COM1MenuClick();
  void COM2MenuClick();
  void SearchAllMenuClick();
  // Maps the current COM number to a serial device the operator picks, for
  // this session, and probes it as the COM items do.
  void ChoosePortMenuClick();
  void N12001Click();
  void N24001Click();
  void N96001Click();
  void N192001Click();
  void N384001Click();
  void N576001Click();
  void ComCheckBoxClick();

  // Script runner. A run of `script` begins from a fresh session: nothing
  // an earlier run left (command lines, the last answer, the pause after an
  // upload, the file it named, a cancel) carries over; read_ini runs it.
  void begin_run(const std::string& script);
  bool read_ini();
  bool read_script_file();
  bool run_script_line();
  void clear_script_lines();
  bool get_date();
  void PickButtonClick();

  // File upload.
  bool get_file_checksum();
  // Uploads the file the chain names, opening it afresh.
  void UploadButtonClick();
  // Uploads `file`, the one the chain checked and announced (null: opens
  // the file the chain names).
  void upload_file(TFilePtr file);
  void SendByte(int count, const uint8_t* bytes);
  // Sends one block and waits until it has left the port; says why not
  // (the message the operator was shown) when the upload cannot go on.
  TExchange send_block(int count, const uint8_t* bytes);

  // Terminal pane.
  void VisibleMenuClick();
  void BackDefaultMenuClick();
  void BackBlackMenuClick();
  void BackRedMenuClick();
  void BackGreenMenuClick();
  void BackBlueMenuClick();
  void BackWhiteMenuClick();
  void TextDefaultMenuClick();
  void TextBlackMenuClick();
  void TextRedMenuClick();
  void TextGreenMenuClick();
  void TextBlueMenuClick();
  void TextWhiteMenuClick();
  void TerminalFonts1Click();
  void AdTerminal1KeyPress(char& Key);
  // Menu choices by the index the settings file uses: 0 default, 1 black,
  // 2 red, 3 green, 4 blue, 5 white.
  void choose_background(int choice);
  void choose_text_color(int choice);

  // The window's state: the settings file's values, the exchanges with the
  // unit, the script run and the file its next upload sends.
  TLoaderSettings Settings;
  TLinkState Link;
  TScriptSession Session;
  TFileChain Chain;

  static constexpr int kCaptureLineSize = TCaptureLine::kSize;
  static constexpr int kQueryEchoPauseMs = 200;
  static constexpr int kQueryLineMinimum = 10;
  // An upload hands the port this many bytes at a time.
  static constexpr int kUploadBlockSize = 2000;
  // What the capture line holds: a completed line up to its end, otherwise
  // the bytes gathered so far.
  std::string captured_text() const;

  // What the script runner hands to the device link and the upload; each
  // text keeps to the size of its field.
  static constexpr int kCommandBufferSize = kScriptCommandBufferSize;
  static constexpr int kUploadFileNameSize = kScriptUploadFileNameSize;
  static constexpr int kLoadAddressSize = kScriptLoadAddressSize;
  static constexpr int kVersionTextSize = kScriptVersionTextSize;

  // Stops a run from outside it (the window closed, a signal): the cancel
  // flag goes up, the port is released, every wait ends and every exchange
  // cut short counts as failed. `why` goes into the record; `signal` is the
  // signal's number, 0 for a close.
  void request_stop(const std::string& why, int signal = 0) override;
  bool run_stopping() const override { return FStopRequested; }
  // Whether the run is cancelled: a failure that stops the upload and the
  // script, the progress window's Cancel button or a stop. Each upload and
  // each run start uncancelled.
  bool run_cancelled() const { return FCancel.Raised; }
  int stop_signal() const { return FStopSignal; }
  // The exit status a stopped run has: 128 and the signal's number, or 1
  // when the operator closed the window.
  int exit_status_after_stop() const override;

  // Before the window is shown: what its start-up reads and runs.
  void SetStartUp(const TStartUp& startUp) override;

  // Those who watch the runs: the status bar first, then the record, the
  // console, a station or a test, told in the order they were added. An
  // observer outlives the window or is removed before it goes. The program
  // ends only through an observer's ProgramEnds.
  void add_observer(TRunObserver& observer) override;
  void remove_observer(TRunObserver& observer);
  // The port and its line settings, as the record keeps them.
  TRunRecorder::TPort port_for_record() const override;
  const TRunOutcome& settle_outcome(const std::string& script) override;
  const std::vector<std::string>& port_failures() const override { return Link.PortFailures; }

  // Every wait of the window on time takes it from one clock. A test or
  // the fuzz harness hands in one of its own (kept by the caller, and
  // outliving the window or handed back with null: the real clock again).
  void SetClock(TClock* clock);
  TWindowWaits& Waits() const { return *FWaits; }

  // Components.
  TApdComPort* ApdComPort1 = nullptr;
  TApdSLController* ApdSLController1 = nullptr;

  // Controls.
  QWidget* ClientArea = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* VersionLabel = nullptr;
  QPushButton* PickButton = nullptr;
  QPushButton* UploadButton = nullptr;
  QGroupBox* RS232GroupBox = nullptr;
  TApdStatusLight* ApdStatusLight1 = nullptr;  // CTS
  TApdStatusLight* ApdStatusLight2 = nullptr;  // DCD
  TApdStatusLight* ApdStatusLight3 = nullptr;  // RXD
  TApdStatusLight* ApdStatusLight4 = nullptr;  // TXD
  QLabel* ComNumberLabel = nullptr;
  QLabel* ComBaudLabel = nullptr;
  QCheckBox* ComCheckBox = nullptr;
  TTerminalPane* AdTerminal1 = nullptr;
  TInfoStatusBar* InfoStatusBar = nullptr;
  QTimer* JustUploadTimer = nullptr;
  QTimer* CommandTimer = nullptr;
  TOpenFileRequest INIOpenDialog;

  // Menus.
  QMenuBar* ControllerMainMenu = nullptr;
  QAction* ExitMenu = nullptr;
  QMenu* ConfigMenu = nullptr;
  QMenu* COMPortMenu = nullptr;
  QAction* NoneMenu = nullptr;
  QAction* COM1Menu = nullptr;
  QAction* COM2Menu = nullptr;
  QAction* SearchAllMenu = nullptr;
  QAction* ChoosePortMenu = nullptr;
  QMenu* Baud1 = nullptr;
  QAction* N12001 = nullptr;
  QAction* N24001 = nullptr;
  QAction* N96001 = nullptr;
  QAction* N192001 = nullptr;
  QAction* N384001 = nullptr;
  QAction* N576001 = nullptr;
  QMenu* Terminal1 = nullptr;
  QAction* VisibleMenu = nullptr;
  QMenu* BackgroundColor1 = nullptr;
  QMenu* ForegroundColor1 = nullptr;
  QAction* TerminalFonts1 = nullptr;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class TSettingsApplier;

  void build_controls();
  void build_menus();
  void set_client_height(int height);
  void set_status(const char* text);
  void set_status_text(const std::string& text);
  // Puts `text` on the status bar and tells every observer.
  void report_status(const std::string& text, TStatusSource source);
  // Tells every observer, in order, through `tell`.
  template <typename Tell>
  void tell_observers(Tell&& tell) {
    const std::vector<TRunObserver*> observers = FObservers;
    for (TRunObserver* observer : observers) tell(*observer);
  }
  // The window's work is over: the observers end the program.
  void end_program(int status);
  void show_message(const std::string& text);
  // The verdict of a run that went through to its end.
  const char* verdict_text() const;
  // Cancels the run, which stops the upload and the script; `why`, the
  // message shown for it, is the reason the upload under way failed. The
  // latest reason counts; once a stop is under way, what it cuts short
  // gives none.
  void cancel_run(const std::string& why = {});
  // Shows `message` and cancels the run for it.
  void cancel_for(const std::string& message);

  // Upload steps.
  // How long the drain and CTS waits after a block see nothing move before
  // they fail, unless three times the block's wire time is longer. A unit
  // may hold CTS low (or stop reading) while it writes a block to flash.
  static constexpr int64_t kSendStallMs = 5000;
  // How long `count` bytes take on the wire at the port's line settings.
  int64_t wire_time_ms(int count) const;
  void send_file_blocks(std::FILE* file, int blockCount);
  // Tells the observers what became of the file the upload sent.
  void tell_file_result();
  // Says why an announced upload did not start, and stops the run: the
  // unit now waits for bytes that will not come.
  void upload_not_started(const std::string& why);
  // Shows `message` for the file waiting to be sent, keeps it with `why`
  // as the reason the file was not loaded, and puts `status: why` on the
  // status bar.
  void file_not_loaded(const std::string& message, const std::string& status,
                       const std::string& why);
  // The file the upload line announces, held open until the upload sends
  // it; null, with the reason told, when it cannot be opened.
  TFilePtr hold_upload_file();
  // Says why _LA took no checksum, or _LV no date.
  void checksum_not_taken(const std::string& why);
  // A script line, or its argument, longer than its field.
  bool script_line_cut(const std::string& line);
  void section_line_refused(const std::string& why);
  std::string script_line_text() const;
  void date_not_taken();
  // The port's device went away during the upload or the prompt check
  // after it: says so and stops the upload and the run.
  TExchange device_lost_during_upload();
  TExchange prompt_after_upload(const TPromptExchange& exchange);
  // Waits up to `ticks` for `awaited`, delivery held off, taking what the
  // unit sends meanwhile.
  TPromptVerdict await_prompt(char awaited, int ticks);
  // Every byte the unit sends passes here: its words are kept for the
  // failure they may explain, an upload under way watches them, and the
  // observers are shown them, in the order the unit sent them.
  void unit_said(const char* bytes, size_t count);
  // Reads what the unit sent and nobody has taken yet, `most` bytes at the
  // most, and returns it.
  std::string take_waiting_bytes(size_t most = SIZE_MAX);
  // A step begins whose failure the unit's words from now on explain.
  void mark_unit_words();
  // Whether the unit has shown that it did not take the upload under way;
  // said once, and the upload stops: nothing more of it is sent.
  bool upload_refused();
  // Waits `ms` while the unit answers the upload, less when it shows that
  // it did not take it.
  void listen_for_refusal(int ms);

  // Port operations whose failures the window absorbs.
  bool port_open() const { return ApdComPort1->Open(); }
  bool try_open_port();
  void close_port();
  void set_port_baud(long baud);
  void show_port_number();

  // The script commands; false stops the run.
  bool run_script_command(const std::string& line);
  void script_send_command(const std::string& line);
  bool script_test_loader_mode(const std::string& line);
  void script_display_message(const std::string& line);
  void script_delay(const std::string& line);
  void script_load_pause(const std::string& line);
  void script_load_command(const std::string& line);
  void script_load_file(const std::string& line);
  void script_load_address(const std::string& line);
  void script_load_version(const std::string& line);
  bool script_load_do();
  void script_prompt_character(const std::string& line);
  void script_query(const std::string& line);
  bool script_compare(const std::string& line, bool substring);
  void stop_script_run_cleanly();

  // Start-up steps handed to other parts of the window.
  bool probe_at_start_up();
  void probe_from_menu(int port);
  int current_com_number() const;
  // Shows why a port cannot be used on the status bar and keeps it for the
  // round's summary.
  void note_port_failure(const std::string& text);
  // Shows the round's last reason again.
  void show_port_failure();
  // Probes COM1, then COM2, leaving out `probed` (tried already); 1 when
  // the unit answered on one of them, -1 otherwise.
  int probe_ports(int probed);
  void start_status_lights();
  void hide_splash();

  TOperatorDialog& Dialog;
  TStartUp FStartUp;
  const TPortRoots FPortRoots;
  std::unique_ptr<TClock> FWindowClock;
  std::unique_ptr<TWindowWaits> FWaits;
  bool FRunActive = false;
  bool FStopRequested = false;
  int FStopSignal = 0;
  bool FExitQuestionOpen = false;
  bool FExitAfterRun = false;
  struct TCancel {
    bool Raised = false;
    std::string Why;
  };
  TCancel FCancel;
  // Watches the unit from the upload line to the end of the data; a refusal
  // it saw is kept with the message shown for it.
  std::optional<TUploadWatch> FUploadWatch;
  std::string FUploadRefusal;
  // The upload under way has handed its last bytes to the port.
  bool FDataHandedOver = false;
  std::vector<TRunObserver*> FObservers;
  std::unique_ptr<TRunObserver> FStatusBar;
  TProgressForm* FProgressForm = nullptr;
  TSplashForm* FSplashForm = nullptr;
  bool FShowDone = false;
  // Why the program runs on its defaults, when it does: shown again over
  // the probe's outcome once start-up is over.
  QString FSettingsNote;
};

}  // namespace kestrel
