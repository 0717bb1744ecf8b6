#pragma once
// The main window: tool bar, banner band, status panes, the report list as its client, and
// the commands. It owns the CaptureState for its whole life. Devices, registry, settings
// profile and message boxes come from outside, so tests put in fakes.

#include <QLabel>
#include <QMargins>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/capture_state.h"
#include "app/filter_bar.h"
#include "app/help_window.h"
#include "app/shown_file.h"
#include "capture/trace/capture_control.h"
#include "capture/trace/capture_environment.h"

class BatchReceiver;
class CountingSink;
class FrameSource;
class LogFile;
class SettingsSheet;
class CRowListView;
class QAction;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolBar;
class SettingsProfile;
class TrafficWatch;
struct TrafficCounters;

// The answers to "Save them?" before an unsaved trace goes.
enum class SaveAnswer { Save, Discard, Cancel };

// Shows modal message boxes: a fixed text and, when known, a reason with a hint.
class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  virtual int Show(QWidget* parent, const QString& text, const QString& informative) = 0;
  // A question answered Yes or No; true for Yes. Without an answer nothing is done.
  virtual bool Ask(QWidget* parent, const QString& text, const QString& informative) {
    (void)parent, (void)text, (void)informative;
    return false;
  }
  // Save / Discard / Cancel, with a "Don't ask again" box whose state goes to
  // *dontAskAgain. Without an answer the rows go, as they did before the question.
  virtual SaveAnswer AskToSave(QWidget* parent, const QString& text, bool* dontAskAgain) {
    (void)parent, (void)text, (void)dontAskAgain;
    return SaveAnswer::Discard;
  }
};

// QMessageBox with an OK button, captioned with the application's title. Every text is
// plain text: adapter descriptions and device reasons come from outside.
class MessageBoxPresenter : public MessagePresenter {
 public:
  int Show(QWidget* parent, const QString& text, const QString& informative) override;
  bool Ask(QWidget* parent, const QString& text, const QString& informative) override;
  SaveAnswer AskToSave(QWidget* parent, const QString& text, bool* dontAskAgain) override;
};

// A status-bar pane: at least 100 pixels wide and never narrower than its text, at any
// scale.
class StatusPane : public QLabel {
  Q_OBJECT

 public:
  static constexpr int MinimumWidth = 100;
  explicit StatusPane(const QString& text, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  // Shows a text that changes often, such as a count: the pane keeps the widest size it
  // has needed, so a new text lays the status bar out again only when it needs more room.
  // Returns whether the pane grew.
  bool ShowCount(const QString& text);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  QSize TextSize() const;
  int RoughWidth(const QString& text) const;
  // Fixes the size at the text's need with a character to spare, no narrower than floor.
  void Fit(int floor);

  int roughFit_ = -1;  // RoughWidth of the widest text measured to fit the kept size
};

inline constexpr char ApplicationTitle[] = "Orrisvane Packet Sniffer with Winsock";
inline constexpr char ExitingMessage[] = "Exiting Orrisvane.";
inline constexpr char ReadFailedMessage[] = "Reading frames from the adapter failed.";
inline constexpr char IdlePrompt[] = "For Help, press F1";
inline constexpr char ContextHelpPrompt[] = "Select an object on which to get Help";
inline constexpr char StopTraceToOpenQuestion[] = "A trace is running. Stop it and open the file?";

// "The trace has 12,345 frames that are not saved. Save them?"
QString UnsavedTraceQuestion(std::int64_t frames);

class CMainFrame : public QMainWindow, private CaptureView {
  Q_OBJECT

 public:
  // Builds the window, loads the settings, probes the stored adapter and sets the title.
  // When the probe fails its message is followed by "Exiting Orrisvane." and StartupFailed()
  // is true: the program then ends without showing the window. messages may be null for
  // real message boxes; it must outlive the frame. adapterIndex (0 to 14, from the command
  // line) takes the stored adapter's place for this run and is stored at exit as a choice
  // made in Settings would be.
  CMainFrame(CaptureEnvironment environment, SettingsProfile& profile, MessagePresenter* messages = nullptr,
             std::optional<std::int32_t> adapterIndex = std::nullopt, QWidget* parent = nullptr);
  ~CMainFrame() override;

  bool StartupFailed() const { return startupFailed_; }

  // The action of a command identifier (command_id), or null.
  QAction* Action(int commandId) const;
  // Status pane 0 (prompts) to 6, 7 (frames the kernel dropped; hidden while none) and 8
  // (older rows that left the list past its limit; hidden while none).
  static constexpr int PaneCount = 10;
  QLabel* Pane(int index) const;
  QToolBar* MainToolBar() const { return mainToolBar_; }
  QToolBar* BannerBar() const { return bannerBar_; }
  CRowListView& ListView() const { return *listView_; }
  CaptureState& State() { return state_; }
  CaptureControl& Control() { return *control_; }
  HelpWindow* HelpViewer() const { return helpWindow_; }
  // The traffic totals, their windows and the graph dock.
  TrafficWatch& Traffic() const { return *traffic_; }

  // How the settings sheet and the save dialog are run. Tests replace them so that nothing
  // waits in a modal loop; the runner returns the dialog's result.
  using SheetRunner = std::function<int(SettingsSheet&)>;
  using SavePathAsker = std::function<QString(QWidget*)>;
  void SetSheetRunner(SheetRunner runner) { runSheet_ = std::move(runner); }
  void SetSavePathAsker(SavePathAsker asker) { askSavePath_ = std::move(asker); }
  void SetOpenPathAsker(SavePathAsker asker) { askOpenPath_ = std::move(asker); }

  // Shows the frames of a pcap or pcapng file in place of the list's rows, loaded off
  // this thread (File > Open, the command line, a file dropped on the window). A running
  // trace is stopped first, once the user agrees; a file that cannot be shown is refused
  // with the reason and the list stays as it was.
  void OpenFile(const QString& path);
  // A file is being read into the list.
  bool IsLoading() const { return shownFile_.IsLoading(); }
  // The frames of the file whose rows the list shows (null when it shows none): the
  // details dialog and saving read them here.
  const FrameSource* ShownFileFrames() const;

  // Follow Connection N (the list's context menu on a row of connection N): the display
  // filter keeps the rows between its two endpoints ("conn == N", or "conn == N or conn ==
  // M" where each direction has a number of its own) and a dialog shows their payload
  // from their frames, read from the file shown or the trace's spool.
  void FollowConnection(std::int64_t connection);
  // How the display filter is set to an expression (the filter bar's).
  using DisplayFilterApplier = std::function<void(const QString& expression)>;
  void SetDisplayFilterApplier(DisplayFilterApplier applier) { applyDisplayFilter_ = std::move(applier); }
  // Sets the filter bar's text and applies it, as Enter in the bar does: the list then
  // shows only the rows the expression keeps (every row when it is empty). An expression
  // with a mistake is refused with its place and what was expected, shown beside the
  // bar, and the list stays as it was; returns whether it was applied.
  bool ApplyDisplayFilter(const QString& text);
  QLineEdit* FilterEdit() const { return filterBar_->Edit(); }
  // Why the last expression was refused (empty after one was applied).
  QLabel* FilterMessage() const { return filterBar_->Message(); }
  // Shown in the status bar while the list's rows are being filtered or sorted: drops
  // that change, as Esc in the filter bar does, and the list stays as it was.
  QPushButton* CancelViewButton() const { return cancelView_; }

  // Writes the settings, then stops a running trace or load. Runs once: at close, or at
  // destruction when the window was never closed.
  void Shutdown();

 public slots:
  void OnStart();
  void OnStop();
  void OnClear();
  void OnOpen();
  void OnSettings();
  // Save Trace and File > Save: writing the rows to a file belongs here.
  void OnSaveTrace();
  void OnAbout();
  void OnHelp();
  void OnHelpTopics();
  void OnContextHelp();
  // Ctrl+E: Start when no trace runs, otherwise Stop.
  void OnStartStop();
  // Ctrl+G: asks for a packet number and selects its row.
  void OnGoToPacket();

 protected:
  // The settings sheet, run by OnSettings after the trace has been stopped. It edits the
  // capture state and, on OK, rebuilds the list's columns and the title.
  virtual void RunSettingsSheet();
  // The stored remote hosts into the adapter list; at start-up also listed at once when
  // the stored adapter is past the machine's own.
  void ApplyRemoteHosts(bool startingUp);
  // Whether there is anything to save: the Save commands are enabled by this.
  virtual bool CanSaveTrace() const;

  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool event(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBars();
  void CreateBanner();
  void CreateStatusBar();
  void CreateListView();
  // The traffic windows' and the graph's commands into the menus (after the list).
  void CreateTrafficWatch();
  void ShowRowsShown();
  void ViewChangeEnded(bool applied);
  void ReadSettings();
  void WriteSettings();
  QAction* AddCommand(int id, const QString& text, const QString& prompt, const QString& tip);
  void FitToScreen();
  // Panes 1 to 8 in one row, or in as many as it takes for none to be narrower than its
  // text at the window's width.
  void ArrangePanes();
  void ShowCounters(const TrafficCounters& counters);
  void ShowRowsLeft(qint64 total);
  void ShowHelpPage(const QString& page);
  // Writes the rows shown, in the order shown (or, with everyRow, every row of the list in
  // capture order), or their frames, to a file the user picks; true once written.
  bool SaveRows(bool everyRow);
  // Before the rows of a trace that was never saved go (Open, Clear, new columns, Exit):
  // asks whether to save them first. False when the user cancels (or the save failed):
  // nothing may go then.
  bool MayDropTrace();
  // Loading: the share read and the end of a load; Stop cancels it. EndLoad with wait
  // cancels, joins the thread and applies its rows at once (Clear, Settings, closing, the
  // next file).
  void WatchLoad();
  void EndLoad(bool wait);
  void ShowFileTitle();
  // The list no longer shows the file: the session's counters and title come back.
  void ForgetFile();
  // Where the list's rows rebuild their Data and the details read their bytes (null: none).
  void ListFramesFrom(const FrameSource* frames);

  // CaptureView
  void EnableStartButton(bool enabled) override;
  void EnableStopButton(bool enabled) override;
  void UpdateCommandStates() override;
  void SetTitle(const std::string& title) override;
  void SetTracePane(const std::string& text) override;
  int ShowMessage(const std::string& text, const std::string& informative) override;
  BatchSink& Rows() override;
  std::chrono::milliseconds BatchAge() const override;
  void ApplyPendingRows() override;
  void DeleteAllRows() override;
  void TraceStarted() override;
  void TraceStopped() override;
  void FramesLeaving(std::int64_t packetNumber) override;
  std::function<void()> SpoolAsker() override;

  // Declared in the order of their use: the capture state outlives the receiver and the
  // control, and the control (whose destruction stops a trace) goes first.
  CaptureState state_;
  CaptureEnvironment environment_;
  SettingsProfile& profile_;
  MessageBoxPresenter defaultMessages_;
  MessagePresenter& messages_;
  std::map<int, QAction*> actions_;
  QToolBar* mainToolBar_ = nullptr;
  QToolBar* bannerBar_ = nullptr;
  StatusPane* panes_[PaneCount] = {};
  QWidget* panesBox_ = nullptr;
  std::vector<int> paneRows_;  // the row of each pane, as ArrangePanes last put them
  CRowListView* listView_ = nullptr;
  FilterBar* filterBar_ = nullptr;
  TrafficWatch* traffic_ = nullptr;
  QPushButton* cancelView_ = nullptr;
  QString viewProgress_;  // "Filtering N%" while the list's view changes
  QPointer<HelpWindow> helpWindow_;
  std::unique_ptr<BatchReceiver> receiver_;
  // In front of the receiver: counts the trace's and the file's rows on a thread of its own.
  std::unique_ptr<CountingSink> countingSink_;
  std::unique_ptr<LogFile> log_;
  SheetRunner runSheet_;
  SavePathAsker askSavePath_;
  DisplayFilterApplier applyDisplayFilter_;
  SavePathAsker askOpenPath_;
  std::unique_ptr<CaptureControl> control_;
  ShownFile shownFile_;
  QTimer* loadWatch_ = nullptr;
  bool startupFailed_ = false;
  bool shutDown_ = false;
  bool columnsPlaced_ = false;
  // The list's rows below this packet number were written by the last save (0: none).
  std::int64_t savedBelow_ = 0;
  QMargins fittedFrame_;  // the window manager's frame the size was fitted to
};
