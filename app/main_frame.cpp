#include "app/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QMimeData>
#include <QMoveEvent>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QStringList>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWhatsThis>

#include "app/about_dialog.h"
#include "app/commands.h"
#include "app/follow_dialog.h"
#include "app/help_window.h"
#include "app/settings_sheet.h"
#include "app/settings_store.h"
#include "app/trace_files.h"
#include "app/traffic_watch.h"
#include "capture/files/capture_file_loader.h"
#include "capture/remote/remote_adapters.h"
#include "capture/remote/ssh_command.h"
#include "capture/trace/counting_sink.h"
#include "ui/batch_receiver.h"
#include "ui/report_list_view.h"
#include "analysis/row_filter.h"
#include "ui/row_model.h"

// The pictures and help pages are compiled into a library; nothing else refers to them, so
// the linker would leave them out unless they are registered by name.
static void InitResources() { Q_INIT_RESOURCE(orrisvane_res); }

// --- message boxes ---------------------------------------------------------------------

int MessageBoxPresenter::Show(QWidget* parent, const QString& text, const QString& informative) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(ApplicationTitle), text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  if (!informative.isEmpty()) {
    box.setInformativeText(informative);
    // The reason comes from the device: never let it be read as markup.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
      label->setTextFormat(Qt::PlainText);
  }
  return box.exec();
}

bool MessageBoxPresenter::Ask(QWidget* parent, const QString& text, const QString& informative) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(ApplicationTitle), text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  if (!informative.isEmpty()) {
    box.setInformativeText(informative);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
      label->setTextFormat(Qt::PlainText);
  }
  return box.exec() == QMessageBox::Yes;
}

SaveAnswer MessageBoxPresenter::AskToSave(QWidget* parent, const QString& text, bool* dontAskAgain) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(ApplicationTitle), text,
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Save);
  box.setEscapeButton(QMessageBox::Cancel);
  auto* dontAsk = new QCheckBox(QObject::tr("Don't ask again"), &box);
  box.setCheckBox(dontAsk);
  const int answer = box.exec();
  if (dontAskAgain) *dontAskAgain = dontAsk->isChecked();
  if (answer == QMessageBox::Save) return SaveAnswer::Save;
  if (answer == QMessageBox::Discard) return SaveAnswer::Discard;
  return SaveAnswer::Cancel;
}

QString UnsavedTraceQuestion(std::int64_t frames) {
  // Grouped in thousands with commas, whatever the locale: the text is always English.
  return QStringLiteral("The trace has %1 frames that are not saved. Save them?")
      .arg(QLocale(QLocale::English, QLocale::UnitedStates).toString(static_cast<qlonglong>(frames)));
}

// --- status panes ----------------------------------------------------------------------

StatusPane::StatusPane(const QString& text, QWidget* parent) : QLabel(text, parent) {
  // No fixed minimum width: a layout would take it in place of minimumSizeHint and squeeze
  // the pane below its text wherever the bar is short (a narrow screen, a larger scale).
  setTextFormat(Qt::PlainText);
  // Filled with the bar's own colour, the pane is opaque: a new count then repaints the
  // pane alone, not the status bar under it, which lays out and draws its message again
  // (a command's prompt, shown while the pointer rests on a tool button) at every count.
  setAutoFillBackground(true);
}

QSize StatusPane::TextSize() const {
  QSize size = QLabel::sizeHint();
  size.setWidth(std::max(MinimumWidth, size.width()));
  return size;
}

QSize StatusPane::sizeHint() const { return TextSize().expandedTo(minimumSize()); }

QSize StatusPane::minimumSizeHint() const {
  // The text's own width is the floor, so a long count widens the pane instead of being cut.
  return TextSize().expandedTo(minimumSize());
}

int StatusPane::RoughWidth(const QString& text) const {
  // The characters' own advances, which the font keeps: no shaping, unlike a measurement.
  const QFontMetrics metrics = fontMetrics();
  int width = 0;
  for (const QChar c : text) width += metrics.horizontalAdvance(c);
  return width;
}

void StatusPane::Fit(int floor) {
  // A character to spare covers what kerning adds to a text that RoughWidth finds no wider.
  const QSize need = TextSize();
  setFixedSize(std::max(floor, need.width() + fontMetrics().averageCharWidth()), need.height());
}

bool StatusPane::ShowCount(const QString& text) {
  if (text == this->text()) return false;
  // A label of fixed size asks no layout of its parent when its text changes, and the
  // text is measured only when it may be wider than every one measured before.
  setText(text);
  const int rough = RoughWidth(text);
  if (rough <= roughFit_) return false;
  roughFit_ = rough;
  if (TextSize().width() <= minimumWidth() - fontMetrics().averageCharWidth() && minimumHeight() > 0) return false;
  Fit(minimumWidth());
  return true;
}

void StatusPane::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  // Another font or style measures the texts anew: the kept size starts again from the text.
  if ((event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) && roughFit_ >= 0) {
    roughFit_ = RoughWidth(text());
    Fit(0);
  }
}

// --- construction ----------------------------------------------------------------------

CMainFrame::CMainFrame(CaptureEnvironment environment, SettingsProfile& profile, MessagePresenter* messages,
                       std::optional<std::int32_t> adapterIndex, QWidget* parent)
    : QMainWindow(parent),
      environment_(environment),
      profile_(profile),
      messages_(messages ? *messages : defaultMessages_) {
  InitResources();
  // No sizing border: the window can be minimised and maximised but not dragged to
  // another size (FitToScreen pins its size).
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(QString::fromLatin1(ApplicationTitle));

  CreateActions();
  CreateMenus();
  CreateToolBars();
  CreateStatusBar();
  CreateBanner();
  CreateListView();
  CreateTrafficWatch();

  QIcon icon;
  icon.addFile(QStringLiteral(":/images/icon16.png"), QSize(16, 16));
  icon.addFile(QStringLiteral(":/images/icon32.png"), QSize(32, 32));
  setWindowIcon(icon);

  receiver_ = std::make_unique<BatchReceiver>(listView_->Model());
  connect(receiver_.get(), &BatchReceiver::countersChanged, this, &CMainFrame::ShowCounters);
  // Once per trace: the capture thread goes on (backing off) until Stop, so the user needs
  // to learn why no more frames come.
  connect(receiver_.get(), &BatchReceiver::readFailed, this, [this](const QString& reason) {
    ShowMessage(ReadFailedMessage, CaptureControl::ExplainFailure(reason.toStdString()));
  });
  connect(receiver_.get(), &BatchReceiver::framesNotKept, this, [this](const QString& reason) {
    ShowMessage(FramesNotKeptMessage, reason.toStdString());
  });
  log_ = std::make_unique<LogFile>([this](const std::string& text) { ShowMessage(text, {}); }, QDir::homePath());
  countingSink_ = std::make_unique<CountingSink>(*receiver_, traffic_->Tally());
  receiver_->SetObserver([this](const RowStore& batch, const TrafficCounters&) {
    traffic_->BatchListed();
    log_->Append(batch);
  });
  // The Save commands follow whether the list has rows; the title counts a file's rows.
  connect(&listView_->Model(), &QAbstractItemModel::rowsInserted, this, [this] {
    UpdateCommandStates();
    if (shownFile_.IsShown()) ShowFileTitle();
  });
  connect(&listView_->Model(), &QAbstractItemModel::modelReset, this, [this] { UpdateCommandStates(); });
  connect(&listView_->Model(), &QAbstractItemModel::rowsRemoved, this, [this] { UpdateCommandStates(); });
  connect(&listView_->Model(), &RowModel::rowsLeft, this, &CMainFrame::ShowRowsLeft);
  control_ = std::make_unique<CaptureControl>(state_, environment_, static_cast<CaptureView&>(*this));
  loadWatch_ = new QTimer(this);
  loadWatch_->setInterval(50);
  connect(loadWatch_, &QTimer::timeout, this, &CMainFrame::WatchLoad);
  setAcceptDrops(true);
  UpdateCommandStates();

  ReadSettings();
  traffic_->GraphDock().setVisible(state_.graphShown);
  if (adapterIndex) {
    // A choice by index: the adapter's name is taken from the list as it is now.
    state_.adapterIndex = *adapterIndex;
    state_.adapterName.clear();
  }
  ApplyRemoteHosts(true);
  // The list's columns come from the column set just loaded.
  listView_->InsertColumns();

  if (control_->ProbeAdapter() != 0) {
    ShowMessage(ExitingMessage, {});
    startupFailed_ = true;
    // Nothing was changed, so nothing is written: the stored adapter stays as it was, for
    // a run where it can be opened again.
    shutDown_ = true;
    return;
  }
  control_->UpdateTitle();
  FitToScreen();
}

CMainFrame::~CMainFrame() {
  Shutdown();
  // The control joins no thread any more; the receiver refers to the list's model, and the
  // list to the state: take them down while all of them still exist.
  shownFile_.TakeLoader().reset();
  control_.reset();
  countingSink_.reset();
  receiver_.reset();
  delete takeCentralWidget();
}

QAction* CMainFrame::AddCommand(int id, const QString& text, const QString& prompt, const QString& tip) {
  auto* action = new QAction(text, this);
  action->setData(id);
  action->setStatusTip(prompt);
  action->setToolTip(tip);
  actions_[id] = action;
  return action;
}

void CMainFrame::CreateActions() {
  using namespace command_id;
  QAction* a = AddCommand(Open, tr("&Open...\tCtrl+O"), tr("Open an existing document"), tr("Open"));
  a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  a->setWhatsThis(tr("Open: shows the frames of a pcap or pcapng capture file, one row each."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnOpen);

  // Ctrl+E starts and, pressed again, stops (OnStartStop); F5 and Shift+F5 are the
  // actions' own keys.
  a = AddCommand(Start, tr("&Start\tCtrl+E, F5"), tr("Start tracing IP packets"), tr("Start Tracing"));
  a->setShortcut(QKeySequence(Qt::Key_F5));
  a->setIcon(QIcon(QStringLiteral(":/images/start.png")));
  a->setWhatsThis(tr("Start: opens the adapter chosen in the settings and lists every frame it sees."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnStart);

  a = AddCommand(Stop, tr("S&top\tCtrl+E, Shift+F5"), tr("Stop tracing"), tr("Stop Tracing"));
  a->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
  a->setIcon(QIcon(QStringLiteral(":/images/stop.png")));
  a->setWhatsThis(tr("Stop: ends the trace; the rows stay in the list."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnStop);

  a = AddCommand(command_id::SaveTrace, tr("Save Trace"), tr("Save the traced IP packets"), tr("Save Trace"));
  a->setIcon(QIcon(QStringLiteral(":/images/save.png")));
  a->setWhatsThis(tr("Save Trace: writes the rows of the list to a file."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnSaveTrace);

  auto* startStop = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), this);
  connect(startStop, &QShortcut::activated, this, &CMainFrame::OnStartStop);

  a = AddCommand(Clear, tr("&Clear"), tr("Clear the trace window"), tr("Clear Trace Window"));
  a->setIcon(QIcon(QStringLiteral(":/images/clear.png")));
  a->setWhatsThis(tr("Clear: stops a running trace and empties the list. The counters keep counting."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnClear);

  a = AddCommand(GoToPacket, tr("&Go to Packet...\tCtrl+G"), tr("Select the row of a packet number"),
                 tr("Go to Packet"));
  a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_G));
  connect(a, &QAction::triggered, this, &CMainFrame::OnGoToPacket);

  a = AddCommand(Settings, tr("S&ettings"), tr("Settings"), tr("Settings"));
  a->setIcon(QIcon(QStringLiteral(":/images/settings.png")));
  a->setWhatsThis(tr("Settings: the columns, the log file and the adapter. A running trace is stopped first."));
  connect(a, &QAction::triggered, this, &CMainFrame::OnSettings);

  a = AddCommand(Help, tr("Help"), tr("Display help for current task or command"), tr("Help"));
  a->setIcon(QIcon(QStringLiteral(":/images/help.png")));
  a->setShortcut(QKeySequence(Qt::Key_F1));
  a->setShortcutContext(Qt::ApplicationShortcut);
  connect(a, &QAction::triggered, this, &CMainFrame::OnHelp);

  a = AddCommand(Save, tr("&Save\tCtrl+S"), tr("Save the active document"), tr("Save"));
  a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  connect(a, &QAction::triggered, this, &CMainFrame::OnSaveTrace);

  a = AddCommand(Exit, tr("E&xit"), tr("Quit the application; prompts to save documents"), tr("Exit"));
  connect(a, &QAction::triggered, this, &QWidget::close);

  a = AddCommand(HelpTopics, tr("&Help Topics"), tr("List Help topics"), tr("Help Topics"));
  connect(a, &QAction::triggered, this, &CMainFrame::OnHelpTopics);

  a = AddCommand(About, tr("&About Orrisvane..."),
                 tr("Display program information, version number and copyright"), tr("About"));
  connect(a, &QAction::triggered, this, &CMainFrame::OnAbout);

  a = AddCommand(ContextHelp, tr("What's This?"), tr("Display help for clicked on buttons, menus and windows"),
                 tr("Help"));
  a->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));
  a->setShortcutContext(Qt::ApplicationShortcut);
  connect(a, &QAction::triggered, this, &CMainFrame::OnContextHelp);
  addAction(a);  // a key only: no menu item, no button

  a = AddCommand(DefaultHelp, tr("Help Contents"), {}, {});
  connect(a, &QAction::triggered, this, &CMainFrame::OnHelpTopics);
}

void CMainFrame::CreateMenus() {
  using namespace command_id;
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(Action(Open));
  file->addAction(Action(Save));
  file->addSeparator();
  file->addAction(Action(Exit));

  QMenu* trace = menuBar()->addMenu(tr("&Trace"));
  trace->addAction(Action(Start));
  trace->addAction(Action(Stop));
  trace->addSeparator();
  trace->addAction(Action(Clear));
  trace->addAction(Action(GoToPacket));
  trace->addSeparator();
  trace->addAction(Action(Settings));

  // The View menu's two toggles are made with the bars (CreateToolBars, CreateStatusBar).
  menuBar()->addMenu(tr("&View"))->setObjectName(QStringLiteral("viewMenu"));

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->setObjectName(QStringLiteral("helpMenu"));
  help->addAction(Action(HelpTopics));
  help->addSeparator();
  help->addAction(Action(About));
}

void CMainFrame::CreateToolBars() {
  using namespace command_id;
  mainToolBar_ = new QToolBar(tr("Toolbar"), this);
  mainToolBar_->setObjectName(QStringLiteral("mainToolBar"));
  mainToolBar_->setIconSize(QSize(16, 15));
  mainToolBar_->setAllowedAreas(Qt::AllToolBarAreas);
  mainToolBar_->setMovable(true);  // the gripper
  mainToolBar_->setFloatable(true);
  mainToolBar_->addAction(Action(Start));
  mainToolBar_->addAction(Action(Stop));
  mainToolBar_->addSeparator();
  mainToolBar_->addAction(Action(command_id::SaveTrace));
  mainToolBar_->addAction(Action(Clear));
  mainToolBar_->addSeparator();
  mainToolBar_->addAction(Action(Settings));
  mainToolBar_->addSeparator();
  mainToolBar_->addAction(Action(Help));
  addToolBar(Qt::TopToolBarArea, mainToolBar_);
  setDockOptions(dockOptions() | QMainWindow::AnimatedDocks);

  QAction* toggle = mainToolBar_->toggleViewAction();
  toggle->setText(tr("&Toolbar"));
  toggle->setData(ToggleToolBar);
  toggle->setStatusTip(tr("Show or hide the toolbar"));
  toggle->setToolTip(tr("Toggle ToolBar"));
  actions_[ToggleToolBar] = toggle;
  findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(toggle);
}

void CMainFrame::CreateBanner() {
  // A band of its own below the tool bar: the banner picture on black, black to the right.
  addToolBarBreak(Qt::TopToolBarArea);
  bannerBar_ = new QToolBar(tr("Banner"), this);
  bannerBar_->setObjectName(QStringLiteral("banner"));
  bannerBar_->setMovable(false);
  bannerBar_->setFloatable(false);
  bannerBar_->toggleViewAction()->setVisible(false);
  bannerBar_->setStyleSheet(QStringLiteral("QToolBar#banner { background: black; border: 0px; padding: 0px; }"));
  auto* picture = new QLabel(bannerBar_);
  picture->setObjectName(QStringLiteral("bannerPicture"));
  // As an icon, so that banner@2x.png is taken where a pixel is two (QT_SCALE_FACTOR=2).
  const QIcon banner(QStringLiteral(":/images/banner.png"));
  // Without the picture the window works on; the band is then left out.
  if (banner.availableSizes().isEmpty()) {
    delete bannerBar_;
    bannerBar_ = nullptr;
    return;
  }
  picture->setPixmap(banner.pixmap(QSize(800, 100), devicePixelRatioF()));
  picture->setMinimumSize(800, 100);
  picture->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  picture->setStyleSheet(QStringLiteral("background: black;"));
  picture->setWhatsThis(tr("Orrisvane: every frame the adapter sees, one row each."));
  bannerBar_->addWidget(picture);
  addToolBar(Qt::TopToolBarArea, bannerBar_);
}

void CMainFrame::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("statusBar"));
  bar->setSizeGripEnabled(false);
  static const char* const initial[] = {IdlePrompt,           TraceOffText,       "0 Live Connection(s)",
                                        "0 Packets Received", "0 Packets Sent",   "0 Bytes Received",
                                        "0 Bytes Sent",       "0 Dropped",        "0 Older Rows Left",
                                        "0 Late Frames"};
  for (int i = 0; i < PaneCount; ++i) {
    panes_[i] = new StatusPane(QString::fromLatin1(initial[i]), bar);
    panes_[i]->setObjectName(QStringLiteral("pane%1").arg(i));
  }
  // Pane 0 stretches and gives way to the prompts; panes 1 to 6 keep their place.
  bar->addWidget(panes_[0], 1);
  cancelView_ = new QPushButton(tr("Cancel"), bar);
  cancelView_->setObjectName(QStringLiteral("cancelViewChange"));
  cancelView_->setToolTip(tr("Stop filtering or sorting the list; it stays as it was"));
  cancelView_->setVisible(false);
  bar->addWidget(cancelView_);
  // Panes 1 to 8 keep their place at the right, in a box of their own: ArrangePanes puts
  // them in more rows where one row would cut their texts.
  panesBox_ = new QWidget(bar);
  ArrangePanes();
  bar->addPermanentWidget(panesBox_);
  panes_[7]->setVisible(false);
  panes_[8]->setVisible(false);
  panes_[8]->setToolTip(tr("Rows that left the list at its start because it keeps at most the rows set in Settings"));
  panes_[8]->setWhatsThis(tr("How many of the oldest rows left the list since it was last cleared: the list keeps at most "
                             "the number of rows set on the Column Headings page. The log file still has them."));
  panes_[7]->setToolTip(tr("Frames the kernel dropped because they could not be taken in time"));
  panes_[9]->setVisible(false);
  panes_[9]->setToolTip(tr("Frames of a trace of several adapters that came after later frames of another "
                           "adapter had been listed, and were listed as they came"));

  panes_[1]->setWhatsThis(tr("Whether a trace runs."));
  panes_[2]->setWhatsThis(tr("TCP connections open in the running trace."));
  panes_[3]->setWhatsThis(tr("Frames received by the adapter since the program started."));
  panes_[4]->setWhatsThis(tr("Frames sent by the adapter since the program started."));
  panes_[5]->setWhatsThis(tr("Bytes of the frames received since the program started."));
  panes_[6]->setWhatsThis(tr("Bytes of the frames sent since the program started."));
  panes_[7]->setWhatsThis(tr("Frames the kernel dropped because the program could not take them in time."));

  auto* toggle = new QAction(tr("&Status Bar"), this);
  toggle->setCheckable(true);
  toggle->setChecked(true);
  toggle->setData(command_id::ToggleStatusBar);
  toggle->setStatusTip(tr("Show or hide the status bar"));
  toggle->setToolTip(tr("Toggle StatusBar"));
  connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
  actions_[command_id::ToggleStatusBar] = toggle;
  findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(toggle);
}

void CMainFrame::CreateListView() {
  auto* client = new QWidget(this);
  auto* column = new QVBoxLayout(client);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  filterBar_ = new FilterBar(client);
  FilterBarEdit* edit = filterBar_->Edit();

  auto* focus = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_F), this);
  connect(focus, &QShortcut::activated, this, [edit] {
    edit->setFocus(Qt::ShortcutFocusReason);
    edit->selectAll();
  });

  listView_ = new CRowListView(state_, client);
  listView_->setObjectName(QStringLiteral("reportList"));
  listView_->setWhatsThis(tr("One row per frame. Double-click a row to see all of its values."));
  listView_->SetConnectionFollower([this](std::int64_t connection) { FollowConnection(connection); });
  // Follow Connection narrows the list with the filter bar, as typing conn == N would.
  applyDisplayFilter_ = [this](const QString& expression) { ApplyDisplayFilter(expression); };
  filterBar_->SetModel(&listView_->Model());
  column->addWidget(filterBar_);
  column->addWidget(listView_, 1);
  setCentralWidget(client);
  // The list, which the user watches, starts with the focus: the filter bar would take it
  // as the first field, and its blinking cursor would repaint an idle window.
  listView_->setFocus();
  RowModel& model = listView_->Model();
  connect(&model, &RowModel::shownChanged, this, [this] { ShowRowsShown(); });
  connect(&model, &RowModel::viewChangeProgress, this, [this](int percent, bool sorting) {
    viewProgress_ = (sorting ? tr("Sorting %1%") : tr("Filtering %1%")).arg(percent);
    cancelView_->setVisible(true);
    ShowRowsShown();
  });
  connect(&model, &RowModel::viewChangeEnded, this, [this](bool applied) { ViewChangeEnded(applied); });
  connect(cancelView_, &QPushButton::clicked, &model, &RowModel::CancelViewChange);
}

void CMainFrame::CreateTrafficWatch() {
  TrafficWatch::Hooks hooks;
  hooks.followConnection = [this](std::int64_t connection) { FollowConnection(connection); };
  hooks.applyFilter = [this](const QString& expression) { return ApplyDisplayFilter(expression); };
  hooks.appliedFilter = [this] { return filterBar_->AskedFilter(); };
  traffic_ = new TrafficWatch(*this, *listView_, std::move(hooks));
  findChild<QMenu*>(QStringLiteral("viewMenu"))->addAction(traffic_->GraphAction());
  auto* statistics = new QMenu(tr("&Statistics"), this);
  statistics->addAction(traffic_->ConnectionsAction());
  statistics->addAction(traffic_->EndpointsAction());
  statistics->addAction(traffic_->ProtocolsAction());
  menuBar()->insertMenu(findChild<QMenu*>(QStringLiteral("helpMenu"))->menuAction(), statistics);
}

void CMainFrame::ViewChangeEnded(bool applied) {
  cancelView_->setVisible(false);
  viewProgress_.clear();
  filterBar_->ViewChangeEnded(applied);
  ShowRowsShown();
}

bool CMainFrame::ApplyDisplayFilter(const QString& text) { return filterBar_->Apply(text); }

void CMainFrame::ShowRowsShown() {
  const RowModel& model = listView_->Model();
  if (model.ViewChanging()) {
    panes_[0]->setText(viewProgress_);
    return;
  }
  if (!model.HasFilter()) {
    panes_[0]->setText(QString::fromLatin1(IdlePrompt));
    return;
  }
  panes_[0]->setText(QStringLiteral("%1 of %2 rows shown")
                         .arg(static_cast<long long>(model.ShownRows()))
                         .arg(static_cast<long long>(model.TotalRows())));
}

// --- settings --------------------------------------------------------------------------

void CMainFrame::ReadSettings() { LoadSettings(profile_, state_); }

void CMainFrame::WriteSettings() {
  state_.graphShown = traffic_->GraphAction()->isChecked();
  SaveSettings(profile_, state_);
}

void CMainFrame::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  // The settings first, as they are at this moment; then the trace, before anything the
  // capture thread uses goes away.
  WriteSettings();
  if (control_ && control_->IsTracing()) control_->Stop();
  if (shownFile_.IsLoading()) EndLoad(true);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (!shutDown_ && !MayDropTrace()) {
    event->ignore();
    return;
  }
  Shutdown();
  if (helpWindow_) helpWindow_->close();
  event->accept();
}

// --- window ----------------------------------------------------------------------------

namespace {

// The frame a window manager draws around a top-level widget (zero while there is none).
QMargins FrameMargins(const QWidget& window) {
  const QRect outer = window.frameGeometry(), inner = window.geometry();
  return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
          outer.bottom() - inner.bottom()};
}

}  // namespace

void CMainFrame::FitToScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  // The window's size is the screen's working area less the frame the window manager draws
  // around it, title bar included; the frame goes to the area's corner when it sticks out.
  const QRect area = screen->availableGeometry();
  fittedFrame_ = FrameMargins(*this);
  const QSize size = area.size().shrunkBy(fittedFrame_);
  const bool changed = size != this->size();
  setFixedSize(size);
  ArrangePanes();
  if (isVisible() && changed && isMaximized()) {
    // A window manager keeps a maximised window at the size it gave it under the old
    // limits: maximised anew, it takes the new ones.
    setWindowState(windowState() & ~Qt::WindowMaximized);
    setWindowState(windowState() | Qt::WindowMaximized);
  }
  if (isVisible() && !area.contains(QRect(frameGeometry().topLeft(), area.size()))) move(area.topLeft());
}

void CMainFrame::ArrangePanes() {
  // Each pane needs its text's width, and a little for the bar's spacing; pane 0 and the
  // Cancel button stay on the first row's left.
  constexpr int Spacing = 12;
  int room = width() - panes_[0]->minimumSizeHint().width() - Spacing;
  if (!cancelView_->isHidden()) room -= cancelView_->sizeHint().width() + Spacing;
  std::vector<int> rowOf(PaneCount, 0);
  int row = 0, used = 0;
  for (int i = 1; i < PaneCount; ++i) {
    const int need = panes_[i]->isHidden() ? 0 : panes_[i]->minimumSizeHint().width() + Spacing;
    if (used > 0 && used + need > room) {
      ++row;
      used = 0;
    }
    used += need;
    rowOf[static_cast<std::size_t>(i)] = row;
  }
  if (rowOf == paneRows_) return;
  paneRows_ = rowOf;
  delete panesBox_->layout();  // the panes stay, children of the box
  auto* rows = new QVBoxLayout(panesBox_);
  rows->setContentsMargins(0, 0, 0, 0);
  rows->setSpacing(0);
  QHBoxLayout* line = nullptr;
  for (int i = 1; i < PaneCount; ++i) {
    if (!line || rowOf[static_cast<std::size_t>(i)] != rowOf[static_cast<std::size_t>(i - 1)]) {
      line = new QHBoxLayout;
      line->setSpacing(Spacing);
      line->addStretch(1);  // the panes keep to the right
      rows->addLayout(line);
    }
    line->addWidget(panes_[i]);
  }
}

void CMainFrame::moveEvent(QMoveEvent* event) {
  QMainWindow::moveEvent(event);
  // A window manager frames the window after it is shown, and moves it when it does:
  // fitted again once the frame is known.
  if (isVisible() && FrameMargins(*this) != fittedFrame_) FitToScreen();
}

void CMainFrame::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  QTimer::singleShot(0, this, [this] {
    FitToScreen();
    if (!columnsPlaced_ && listView_->Model().rowCount() == 0) {
      columnsPlaced_ = true;
      listView_->InsertColumns();  // widths from the list's final size
    }
  });
}

bool CMainFrame::event(QEvent* event) {
  switch (event->type()) {
    case QEvent::EnterWhatsThisMode:
      statusBar()->showMessage(QString::fromLatin1(ContextHelpPrompt));
      break;
    case QEvent::LeaveWhatsThisMode:
      statusBar()->clearMessage();
      break;
    default:
      break;
  }
  return QMainWindow::event(event);
}

QAction* CMainFrame::Action(int commandId) const {
  auto it = actions_.find(commandId);
  return it == actions_.end() ? nullptr : it->second;
}

QLabel* CMainFrame::Pane(int index) const { return index >= 0 && index < PaneCount ? panes_[index] : nullptr; }

void CMainFrame::ShowRowsLeft(qint64 total) {
  bool grew = panes_[8]->ShowCount(QString::asprintf("%lld Older Rows Left", static_cast<long long>(total)));
  if (panes_[8]->isHidden() == (total > 0)) {
    panes_[8]->setVisible(total > 0);
    grew = true;
  }
  if (grew) ArrangePanes();
}

void CMainFrame::ShowCounters(const TrafficCounters& c) {
  // The counts change with every batch: the bar is arranged again only where a pane grew.
  bool grew = false;
  grew |= panes_[2]->ShowCount(QString::asprintf("%lld Live Connection(s)", static_cast<long long>(c.liveConnections)));
  grew |= panes_[3]->ShowCount(QString::asprintf("%lld Packets Received", static_cast<long long>(c.packetsReceived)));
  grew |= panes_[4]->ShowCount(QString::asprintf("%lld Packets Sent", static_cast<long long>(c.packetsSent)));
  grew |= panes_[5]->ShowCount(QString::asprintf("%lld Bytes Received", static_cast<long long>(c.bytesReceived)));
  grew |= panes_[6]->ShowCount(QString::asprintf("%lld Bytes Sent", static_cast<long long>(c.bytesSent)));
  if (c.kernelDrops > 0) {
    grew |= panes_[7]->ShowCount(QString::asprintf("%llu Dropped", static_cast<unsigned long long>(c.kernelDrops)));
    if (panes_[7]->isHidden()) {
      panes_[7]->setVisible(true);
      grew = true;
    }
    // A trace of several adapters: the sum, and each adapter's count in the tool tip.
    const Trace& trace = control_->CurrentTrace();
    if (trace.adapter && trace.adapter->device) {
      QStringList lines{tr("Frames the kernel dropped because they could not be taken in time")};
      for (const AdapterDrops& drops : trace.adapter->device->DropsPerAdapter())
        lines << QStringLiteral("%1: %2").arg(QString::fromStdString(drops.name).toHtmlEscaped()).arg(drops.dropped);
      // Names come from other hosts: escaped, in a text that is rich text for certain.
      if (lines.size() > 1) panes_[7]->setToolTip(QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")));
    }
  }
  if (c.lateFrames > 0) {
    grew |= panes_[9]->ShowCount(QString::asprintf("%llu Late Frames", static_cast<unsigned long long>(c.lateFrames)));
    if (panes_[9]->isHidden()) {
      panes_[9]->setVisible(true);
      grew = true;
    }
  }
  if (grew) ArrangePanes();
}

// --- commands --------------------------------------------------------------------------

void CMainFrame::OnStart() {
  if (shownFile_.IsLoading()) return;
  // The list shows one source at a time: a trace takes the place of a file's rows (the file
  // itself stays where it is).
  if (shownFile_.IsShown()) {
    DeleteAllRows();
    ForgetFile();
  }
  control_->Start();
}

void CMainFrame::OnStop() {
  if (shownFile_.IsLoading()) {
    shownFile_.Loader().Cancel();  // WatchLoad ends the load once its last rows are in the list
    return;
  }
  control_->Stop();
}

void CMainFrame::OnClear() {
  if (!MayDropTrace()) return;
  if (shownFile_.IsLoading()) EndLoad(true);
  control_->Clear();
  if (shownFile_.IsShown()) ForgetFile();
}

void CMainFrame::OnSettings() {
  if (shownFile_.IsLoading()) EndLoad(true);
  control_->Stop();
  RunSettingsSheet();
}

void CMainFrame::OnOpen() {
  const QString path =
      askOpenPath_ ? askOpenPath_(this)
                   : QFileDialog::getOpenFileName(this, tr("Open"), QString(),
                                                  tr("Capture files (*.pcap *.pcapng *.cap);;All files (*)"));
  if (!path.isEmpty()) OpenFile(path);
}

void CMainFrame::OpenFile(const QString& path) {
  const QString name = QFileInfo(path).fileName();
  // The file is looked at first: one that cannot be shown stops nothing.
  std::string why;
  std::unique_ptr<CaptureFileLoader> loader = CaptureFileLoader::Open(QFile::encodeName(path).toStdString(), &why);
  if (!loader) {
    ShowMessage("Cannot open " + name.toStdString() + ".", why);
    return;
  }
  if (control_->IsTracing()) {
    if (!messages_.Ask(this, QString::fromLatin1(StopTraceToOpenQuestion), name)) return;
    control_->Stop();
  }
  if (!MayDropTrace()) return;
  if (shownFile_.IsLoading()) EndLoad(true);
  DeleteAllRows();
  // A file of several interfaces says which one each frame came through.
  if (loader->Interfaces().size() > 1 && !state_.columns.IsShown(ColumnId::Interface)) {
    ShowInterfaceColumn(state_.columns);
    listView_->InsertColumns();
  }
  shownFile_.Show(std::move(loader), name);
  traffic_->SetOver(false);
  ListFramesFrom(shownFile_.Frames());
  // The panes count the file's frames while it is shown, not the session's.
  ShowCounters(TrafficCounters{});
  ShowFileTitle();
  receiver_->Prepare(listView_->Model().Rows().RowCount());
  receiver_->SetApplyInterval({});
  shownFile_.Loader().Start(state_.columns, state_.adapterMac, *countingSink_);
  SetTracePane("Loading 0%");
  loadWatch_->start();
  UpdateCommandStates();
}

const FrameSource* CMainFrame::ShownFileFrames() const { return shownFile_.Frames(); }

void CMainFrame::FollowConnection(std::int64_t connection) {
  // The rows are read before the filter is set: the dialog takes every row of the
  // connection, whatever the list shows afterwards.
  const FrameSource* frames = shownFile_.IsShown() ? shownFile_.Frames() : control_->Frames();
  FollowedConnection followed = ::FollowConnection(listView_->Model().Rows(), connection, frames);
  QStringList numbers;
  for (const std::int64_t number : followed.connections) numbers << QStringLiteral("conn == %1").arg(number);
  if (numbers.isEmpty()) numbers << QStringLiteral("conn == %1").arg(connection);
  if (applyDisplayFilter_) applyDisplayFilter_(numbers.join(QStringLiteral(" or ")));
  auto* dialog = new FollowDialog(connection, std::move(followed), this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
}

void CMainFrame::WatchLoad() {
  if (!shownFile_.IsLoading()) {
    loadWatch_->stop();
    return;
  }
  // Done once the thread has ended and its last batch is in the list.
  // In this order: a batch leaves the counting sink for the receiver's queue.
  if (shownFile_.Loader().Finished() && !countingSink_->Busy() && receiver_->PendingCount() == 0) {
    EndLoad(false);
    return;
  }
  const int percent = shownFile_.LoadPercent();
  SetTracePane(QStringLiteral("Loading %1%").arg(percent).toStdString());
}

void CMainFrame::EndLoad(bool wait) {
  loadWatch_->stop();
  std::unique_ptr<CaptureFileLoader> loader = shownFile_.TakeLoader();
  if (wait) {
    loader->Cancel();
    loader->Wait();
    ApplyPendingRows();
  }
  loader->Wait();
  traffic_->SetOver(true);
  SetTracePane(TraceOffText);
  ShowFileTitle();
  UpdateCommandStates();
  // Ended by Clear, Settings or closing, the file's rows go anyway: no word on its damage.
  if (!wait && !loader->Damage().empty()) {
    ShowMessage("The file " + shownFile_.Name().toStdString() + " is damaged. The " +
                    std::to_string(listView_->Model().NextPacketNumber()) + " packets before the damage are shown.",
                loader->Damage());
  }
}

void CMainFrame::ShowFileTitle() {
  setWindowTitle(shownFile_.Title(listView_->Model().NextPacketNumber()));
}

void CMainFrame::ForgetFile() {
  shownFile_.Forget();
  ShowCounters(TrafficCounters::Of(state_));
  control_->UpdateTitle();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() == 1 && urls.front().isLocalFile()) event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event) {
  const QList<QUrl> urls = event->mimeData()->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return;
  event->acceptProposedAction();
  // Opened once the drop is over: the question about a running trace is a modal box.
  QTimer::singleShot(0, this, [this, path = urls.front().toLocalFile()] { OpenFile(path); });
}

void CMainFrame::ApplyRemoteHosts(bool startingUp) {
  if (!environment_.remoteHosts) return;
  environment_.remoteHosts->SetHosts(SplitHosts(state_.remoteHosts));
  environment_.remoteHosts->SetKeepOwnSession(state_.keepOwnSession);
  if (!startingUp || environment_.remoteHosts->Hosts().empty()) return;
  // An adapter of a remote host is chosen: its host must be listed before the start-up
  // probe can find it. The window is not up yet; a host that does not answer is given up
  // after a few seconds, and the probe then says which adapters there are.
  std::uint32_t local = 0;
  FindAdapter(environment_.registry, 0, ProbeAdapterLimit, &local);
  const bool remoteChosen = state_.adapterName.empty() ? static_cast<std::uint32_t>(state_.adapterIndex) >= local
                                                       : SplitRemoteKey(state_.adapterName).has_value();
  if (remoteChosen) environment_.remoteHosts->ListAll();
}

void CMainFrame::RunSettingsSheet() {
  // The sheet shows the stored adapter at its index: where it is now, if the list moved.
  control_->ChosenAdapter(ProbeAdapterLimit);
  SettingsSheet sheet(state_, environment_, [this](const std::string& text) { ShowMessage(text, {}); }, this);
  const int result = runSheet_ ? runSheet_(sheet) : sheet.exec();
  if (result != QDialog::Accepted) {
    // The page may have listed hosts the user then cancelled.
    ApplyRemoteHosts(false);
    return;
  }
  // OK empties the list: a trace never saved is offered for saving first, and Cancel there
  // leaves the list and the settings as they were.
  if (!MayDropTrace()) {
    ApplyRemoteHosts(false);
    return;
  }
  const auto kept = sheet.ApplyTo(state_);
  // OK always rebuilds the list, whether or not the choice changed: rows made under the
  // old column set could not be shown under the new one. The rows go before their frames'
  // source, so that none of them has to keep its Data first.
  listView_->RemoveColumns();
  savedBelow_ = 0;
  ListFramesFrom(nullptr);
  // A file's rows are gone with the list.
  if (shownFile_.IsShown()) ForgetFile();
  ApplyRemoteHosts(false);
  listView_->InsertColumns();
  control_->DropFrames();
  control_->UpdateTitle();
  if (kept) ShowMessage(AdapterAddressKeptMessage, CaptureControl::ExplainFailure(kept->reason));
}

bool CMainFrame::CanSaveTrace() const { return listView_ && listView_->Model().ShownRows() > 0; }

void CMainFrame::OnSaveTrace() { SaveRows(false); }

bool CMainFrame::SaveRows(bool everyRow) {
  if (!everyRow && !CanSaveTrace()) return false;
  const QString path = askSavePath_ ? askSavePath_(this) : AskSaveTracePath(this);
  if (path.isEmpty()) return false;
  QString error;
  // The rows shown, in the order shown.
  const RowModel& model = listView_->Model();
  const RowStore& rows = model.Rows();
  const std::int64_t shown = everyRow ? rows.RowCount() : model.ShownRows();
  const auto storeRowOf = [&model, everyRow](std::int64_t row) { return everyRow ? row : model.StoreRow(row); };
  const std::int64_t next = model.NextPacketNumber();
  if (!SavesFrames(path)) {
    if (!::SaveTrace(path, state_.columns, rows, shown, storeRowOf, &error)) {
      ShowMessage(error.toStdString(), {});
      return false;
    }
    savedBelow_ = next;
    return true;
  }
  std::int64_t missing = 0;
  // The rows shown, in the order shown; a row's frame is found by its packet number.
  const auto packetNumberOf = [&](std::int64_t row) { return rows.PacketNumber(storeRowOf(row)); };
  // A file's rows come from the file, a trace's from its spool.
  const FrameSource* frames = shownFile_.IsShown() ? shownFile_.Frames() : control_->Frames();
  PacketRow fields;
  const auto ownerOf = [&](std::int64_t row) {
    return rows.PacketFields(storeRowOf(row), fields) ? fields.owner : nullptr;
  };
  const std::vector<frame_file::FileInterface> interfaces =
      shownFile_.IsShown() ? shownFile_.Interfaces() : FileInterfacesOf(state_.interfaces);
  QString framesPath = path;
  if (const QString question = PcapOfSeveralAdaptersQuestion(path, interfaces.size()); !question.isEmpty()) {
    if (!messages_.Ask(this, question, {})) return false;
    framesPath = AsPcapng(path);
  }
  if (!SaveFrames(framesPath, frames, shown, packetNumberOf, &missing, &error, interfaces, ownerOf)) {
    ShowMessage(error.toStdString(), {});
    return false;
  }
  if (missing > 0) ShowMessage(FramesMissingMessage(missing, shown), {});
  savedBelow_ = next;
  return true;
}

bool CMainFrame::MayDropTrace() {
  const RowModel& model = listView_->Model();
  // A file's rows are in their file; a trace saved since its last frame came is kept too.
  if (!state_.askToSave || shownFile_.IsShown() || model.TotalRows() == 0 || model.NextPacketNumber() <= savedBelow_)
    return true;
  bool dontAskAgain = false;
  const SaveAnswer answer = messages_.AskToSave(this, UnsavedTraceQuestion(model.TotalRows()), &dontAskAgain);
  if (answer == SaveAnswer::Cancel) return false;
  if (dontAskAgain) state_.askToSave = false;
  // Every row the question counted, whatever the filter shows.
  return answer == SaveAnswer::Discard || SaveRows(true);
}

void CMainFrame::OnStartStop() {
  if (Action(command_id::Stop)->isEnabled()) {
    OnStop();
  } else if (Action(command_id::Start)->isEnabled()) {
    OnStart();
  }
}

void CMainFrame::OnGoToPacket() {
  bool ok = false;
  const RowModel& model = listView_->Model();
  const int number = QInputDialog::getInt(this, tr("Go to Packet"), tr("Packet number:"), 0, 0,
                                          static_cast<int>(std::min<std::int64_t>(model.NextPacketNumber(), INT32_MAX)),
                                          1, &ok);
  if (!ok) return;
  if (!listView_->GoToPacket(number)) {
    ShowMessage("Packet " + std::to_string(number) + " is not shown in the list.",
                "It may have left the list, or the filter may leave it out.");
  }
}

void CMainFrame::OnAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CMainFrame::ShowHelpPage(const QString& page) {
  if (!helpWindow_) helpWindow_ = new HelpWindow(this);
  helpWindow_->ShowPage(QUrl(page));
}

void CMainFrame::OnHelp() {
  // Help for the current context: the page on the part of the window that has the focus.
  QString page = QString::fromLatin1(HelpContentsPage);
  if (QWidget* focus = QApplication::focusWidget()) {
    if (focus == listView_ || listView_->isAncestorOf(focus)) page = QStringLiteral("qrc:/help/window.html");
  }
  ShowHelpPage(page);
}

void CMainFrame::OnHelpTopics() { ShowHelpPage(QString::fromLatin1(HelpContentsPage)); }

void CMainFrame::OnContextHelp() { QWhatsThis::enterWhatsThisMode(); }

// --- what capture control needs of the window ---------------------------------------------

void CMainFrame::EnableStartButton(bool enabled) { Action(command_id::Start)->setEnabled(enabled); }

void CMainFrame::EnableStopButton(bool enabled) { Action(command_id::Stop)->setEnabled(enabled); }

void CMainFrame::UpdateCommandStates() {
  // Stop also cancels a load, and no trace starts while a file is read.
  Action(command_id::Start)->setEnabled(control_->CanStart() && !shownFile_.IsLoading());
  Action(command_id::Stop)->setEnabled(control_->CanStop() || shownFile_.IsLoading());
  const bool canSave = CanSaveTrace();
  Action(command_id::SaveTrace)->setEnabled(canSave);
  Action(command_id::Save)->setEnabled(canSave);
}

// The list takes rows in at most this often: batches as old cost the capture, counting
// and user-interface threads a third of the hand-overs of younger ones.
std::chrono::milliseconds CMainFrame::BatchAge() const { return BatchReceiver::TraceApplyInterval; }

void CMainFrame::SetTitle(const std::string& title) {
  // While a file is shown its title stays; the adapter's comes back with the next trace.
  if (shownFile_.IsShown()) return;
  setWindowTitle(QString::fromStdString(title));
}

void CMainFrame::SetTracePane(const std::string& text) {
  panes_[1]->setText(QString::fromStdString(text));
  panes_[1]->repaint();
}

int CMainFrame::ShowMessage(const std::string& text, const std::string& informative) {
  return messages_.Show(this, QString::fromStdString(text), QString::fromStdString(informative));
}

BatchSink& CMainFrame::Rows() {
  // Packet numbers go on from the last row's, also when older rows have left the list.
  receiver_->Prepare(listView_->Model().NextPacketNumber());
  receiver_->SetApplyInterval(BatchReceiver::TraceApplyInterval);
  return *countingSink_;
}

void CMainFrame::ApplyPendingRows() {
  countingSink_->WaitPassedOn();
  receiver_->ApplyPending();
}

void CMainFrame::DeleteAllRows() {
  // Rows first: without rows, no Data has to be kept when the source goes.
  listView_->Model().Clear();
  traffic_->Clear();
  savedBelow_ = 0;
  ListFramesFrom(nullptr);
}

void CMainFrame::ListFramesFrom(const FrameSource* frames) {
  listView_->Model().SetFrameSource(frames);
  listView_->SetFrameSource(frames);
}

void CMainFrame::FramesLeaving(std::int64_t packetNumber) {
  // A file's rows read their Data from the file, which stays.
  if (!shownFile_.IsShown()) listView_->Model().FramesLeaving(packetNumber);
}

std::function<void()> CMainFrame::SpoolAsker() {
  // Queued to this thread; the control (and the spool it owns) lives as long as the window.
  return [this] { QMetaObject::invokeMethod(this, [this] { control_->AnswerSpool(); }, Qt::QueuedConnection); };
}

void CMainFrame::TraceStarted() {
  // The trace's rows read their Data and bytes from its spool.
  ListFramesFrom(control_->Frames());
  traffic_->SetOver(false);
  if (state_.saveLog) log_->Open(state_.logFilePath, state_.columns);
}

void CMainFrame::TraceStopped() {
  // Every row of the trace is in the list by now, so the log has all of them too.
  log_->Close();
  traffic_->SetOver(true);
}
