#include "shell/Server.h"

#include <malloc.h>

#include <chrono>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "files/KeyFile.h"
#include "records/Events.h"
#include "base/Settings.h"
#include "shell/Configuration.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;

constexpr auto RestartDBDelay = 100ms;
constexpr auto FreeInterval = 20s;
/// How often tasks past their lifetime are looked for among all terminals.
constexpr auto ExpiryInterval = 60s;
/// Pause between attempts to open a shared task database that could not be reached.
constexpr auto TaskDatabaseRetry = 10s;

// The year of the build, from the compiler's date ("Mmm dd yyyy").
constexpr std::string_view BuildYear = std::string_view(__DATE__).substr(7, 4);

/// The pipe servers' options as the settings give them.
TPipeOptions PipeOptions(const TSettings& s) {
  return {s.PipeDir, s.PipeMode, s.PipeQueueLimit, s.PipeMessageLimit};
}

}  // namespace

std::string CurrentFileInfo() { return TELVARO_VERSION; }

std::string Banner() {
  return "Telvaro Server for Krestel terminals, version " + CurrentFileInfo() + ", (c) Telvaro " +
         std::string(BuildYear);
}

TfMain::TfMain(asio::io_context& loop, OperatorLog& log, TDM& dm, std::string programDir,
               std::function<void(const std::string&)> showMessage)
    : loop_(loop),
      log_(log),
      dm_(dm),
      tasks_(&dm),
      programDir_(std::move(programDir)),
      showMessage_(std::move(showMessage)),
      hangup_(loop),
      dataPipe_(loop),
      commandPipe_(loop),
      reconTimer_(loop),
      restartDbTimer_(loop),
      freeTimer_(loop),
      expiryTimer_(loop) {
  dataPipe_.SetPipeName("TelvaroPipe");
  commandPipe_.SetPipeName("CmdPipe");
  dataPipe_.SetReport(&log_);
  commandPipe_.SetReport(&log_);
}

TfMain::~TfMain() { FormClose(); }

bool TfMain::FormCreate() {
  try {
    if (centralDb_) centralDb_->Close();
    log_.Append(Banner());
    log_.Append("Initialization begins");

    dbLogin_ = LoadSettings(programDir_ + "telvaroserver.ini", programDir_);
    log_.Append("Settings loaded");
    for (const auto& note : Settings.Notes) log_.Append(note);
    OpenLogFile();
    if (Settings.TrimMemory) StartTimerFree();

    LoadEvents(Settings.ProgramDir);
    ConnectionEnv env = ConnectionEnvOf(Settings);
    LoadBlackList(Settings.ProgramDir, env.parser.blackList);
    if (!env.parser.blackList.empty()) log_.Append("Black list loaded");
    if (Settings.Identify) {
      KeyTableLoad loaded = LoadKeyTable(Settings.ProgramDir);
      if (loaded.table) env.parser.keys = std::make_shared<const KeyTable>(*loaded.table);
      else log_.Append("Identification off: " + loaded.reason);
    }

    closed_ = false;
    tasks_ = Settings.Store == "postgresql" ? static_cast<TaskDatabase*>(&sharedTasks_) : &dm_;
    CreateMetrics();
    if (!Settings.NoBase) {
      centralDb_ = MakeCentralDatabase(dbLogin_->client, std::chrono::seconds(Settings.TimeoutSec));
      if (!Settings.StreamUrl.empty())
        dbFeeder_ =
            std::make_unique<StreamDbFeeder>(StreamOptionsOf(), Settings.StreamDbConsumer, Mobiles, log_, metrics_.get());
      CreateMobThread();
      if (dbFeeder_) dbFeeder_->Start();
    }
    CreateClientsThread();
    CreateStream();

    env.log = &log_;
    env.store = tasks_;
    env.files = &files_;
    env.metrics = metrics_.get();
    terminalServer_ = std::make_unique<TerminalServer>(env);
    // A port number past 16 bits would otherwise be cut to another, unrelated port.
    if (Settings.Port < 0 || Settings.Port > 65535)
      throw std::out_of_range("Could not listen at port " + std::to_string(Settings.Port) +
                              ": not a TCP port number");
    terminalServer_->Start(static_cast<std::uint16_t>(Settings.Port), Settings.IOThreads);
  } catch (const std::exception& e) {
    showMessage_(e.what());
    return false;
  }

  if (terminalServer_->Active())
    log_.SetLabel("Port " + std::to_string(terminalServer_->Port()) + " for Krestel is ready to use.");

  if (Settings.NoBase) {
    log_.SetPanel(0, "No database");
  } else {
    try {
      centralDb_->Open(*dbLogin_);
    } catch (const std::exception&) {
      log_.Append("Could not connect to database");
      log_.SetPanel(0, "No database");
    }
    if (centralDb_->Connected()) {
      log_.Append("Connected to database");
      log_.SetPanel(0, "DB:" + centralDb_->DatabaseName());
    }
  }

  OpenTaskDatabase();
  StartAdmin();

  if (!Settings.PipeChannel.empty()) {
    try {
      dataPipe_.SetOptions(PipeOptions(Settings));
      dataPipe_.SetPipeName(Settings.PipeChannel);
      AttachDataPipeHandlers(dataPipe_, log_, [this] { return closed_; });
      dataPipe_.SetActive(true);
      dataChannel_->SetPipe(&dataPipe_);
    } catch (const std::exception&) {
      log_.Append("Could not create pipe channel " + Settings.PipeChannel);
      log_.SetPanel(1, "No pipe channels");
    }
    if (dataPipe_.Active()) {
      log_.Append("Pipe server started OK, channel " + Settings.PipeChannel);
      log_.SetPanel(1, "Data: " + Settings.PipeChannel);
      StartReconTimer();
    }
  }

  if (!Settings.CmdChannel.empty()) {
    try {
      commandPipe_.SetOptions(PipeOptions(Settings));
      commandPipe_.SetPipeName(Settings.CmdChannel);
      commandChannel_ = std::make_unique<TCommandChannel>(
          *tasks_, [tasks = tasks_](std::string_view r) { return tasks->GetFuelReport(r); }, log_,
          TCommandOptions{Settings.BLK_SIZE, Settings.DownloadDir});
      commandChannel_->Attach(commandPipe_);
      commandPipe_.SetActive(true);
    } catch (const std::exception&) {
      log_.Append("Could not create command pipe channel " + Settings.CmdChannel);
      log_.SetPanel(1, "No command channels");
    }
    if (commandPipe_.Active()) {
      log_.Append("Command server started OK, channel " + Settings.CmdChannel);
      log_.SetPanel(1, log_.Panel(1) + " Cmd: " + Settings.CmdChannel);
    }
  }

  log_.SetPanel(4, "Version : " + CurrentFileInfo());

  if (terminalServer_->Active() && commandPipe_.Active()) {
    log_.Append("Server started successfully at " +
                FormatDateTime(Settings.ShortDateFormat + " " + Settings.LongTimeFormat, NowLocal()));
  } else {
    log_.Append("There was some errors during initialization process. Server is ready to work, but can be unstable.");
  }
  return true;
}

void TfMain::OpenTaskDatabase() {
  dm_.Close();
  sharedTasks_.Close();
  const TaskOptions options{.format = ReportFormatOf(Settings),
                            .commandTtl = std::chrono::seconds(Settings.CommandTTLSec),
                            .log = &log_,
                            .expired = metrics_ ? &metrics_->tasksExpired : nullptr,
                            .now = {}};
  if (tasks_ == &dm_) {
    try {
      dm_.Open(Settings.ProgramDir + "upd_sw.mdb", options);
    } catch (const std::exception&) {
    }
  } else {
    const std::chrono::seconds lease(Settings.LeaseSec);
    try {
      sharedTasks_.Open(Settings.Connection, options, lease);
    } catch (const std::exception& e) {
      log_.Append(std::string("Shared task database: ") + e.what());
      // Several instances depend on it: keep trying rather than run without it.
      sharedTasks_.KeepOpening(Settings.Connection, options, lease, TaskDatabaseRetry,
                               [this] { log_.Append("DB for transmiting files opened"); });
    }
  }
  log_.Append(tasks_->IsOpen() ? "DB for transmiting files opened" : "DB for transmiting files inaccessible");
  StartExpiryTimer();
}

void TfMain::StartExpiryTimer() {
  expiryTimer_.expires_after(ExpiryInterval);
  expiryTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || closed_) return;
    try {
      if (tasks_->IsOpen()) tasks_->RemoveExpired();
    } catch (const std::exception& e) {
      log_.Append(std::string("Could not remove expired tasks: ") + e.what());
    }
    StartExpiryTimer();
  });
}

void TfMain::CreateMobThread() {
  dbWriter_ = std::make_unique<TMobilesThread>(*centralDb_, Mobiles, Settings);
  if (dbFeeder_) dbWriter_->SetOnStored([feeder = dbFeeder_.get()](std::size_t n) { feeder->Stored(n); });
  dbWriter_->SetReport(&log_);
  dbWriter_->SetMetrics(metrics_.get());
  // The end handler runs on the writer's own thread: it only hands over to the loop.
  dbWriter_->SetOnTerminate([this] { asio::post(loop_, [this] { OnDBThreadTerminate(); }); });
  dbWriter_->Start();
}

void TfMain::CreateClientsThread() {
  dataChannel_ = std::make_unique<TClientsThread>(MobilesToSend, metrics_.get());
  dataChannel_->SetReport(&log_);
  dataChannel_->Start();
}

void TfMain::CreateStream() {
  if (Settings.StreamUrl.empty()) return;
  stream_ = std::make_unique<StreamPublisher>(StreamOptionsOf(), MobilesToStream, log_, metrics_.get());
  stream_->Start();
  if (Settings.StreamPipeFromStream) {
    pipeFeeder_ = std::make_unique<StreamPipeFeeder>(StreamOptionsOf(), MobilesToSend, log_);
    pipeFeeder_->Start();
  }
}

StreamOptions TfMain::StreamOptionsOf() const {
  return StreamOptions{.url = Settings.StreamUrl,
                       .subject = Settings.StreamSubject,
                       .name = Settings.StreamName,
                       .maxAgeHours = Settings.StreamMaxAgeHours,
                       .queueLimit = static_cast<std::size_t>(Settings.StreamQueueLimit)};
}

void TfMain::CreateMetrics() {
  if (Settings.HttpPort == 0 || metrics_) return;
  metrics_ = std::make_unique<ServerMetrics>(ServerMetrics::Sources{
      .tasksQueued =
          [this] {
            try {
              return static_cast<double>(tasks_->QueuedTaskCount());
            } catch (const std::exception&) {
              return std::numeric_limits<double>::quiet_NaN();  // the shared database is out of reach
            }
          },
      .dataPipeClients = [this] { return static_cast<double>(dataPipe_.ClientCount()); },
      .dataPipeClientsDropped = [this] { return static_cast<double>(dataPipe_.DroppedClients()); },
      .dbQueueLength = [] { return static_cast<double>(Mobiles.Size()); },
      .streamPending = [this] { return stream_ ? static_cast<double>(stream_->Pending()) : 0.0; }});
}

void TfMain::StartAdmin() {
  if (!metrics_) return;
  const std::string port = std::to_string(Settings.HttpPort);
  try {
    if (Settings.HttpPort < 0 || Settings.HttpPort > 65535)
      throw std::out_of_range("Could not open the HTTP port " + port + ": not a TCP port number");
    admin_ = std::make_unique<AdminServer>(
        AdminSources{&log_, &metrics_->registry, terminalServer_.get(), tasks_, [this] { return CentralState(); }},
        AdminOptions{.address = Settings.HttpAddress,
                     .port = static_cast<std::uint16_t>(Settings.HttpPort),
                     .token = Settings.HttpToken});
    admin_->Start();
  } catch (const std::exception& e) {
    admin_.reset();
    log_.Append(e.what());
    return;
  }
  log_.Append("HTTP server started OK, address " + Settings.HttpAddress + " port " + port);
}

CentralDatabaseState TfMain::CentralState() const {
  if (Settings.NoBase) return CentralDatabaseState::Off;
  // The writer keeps the gauge; asking the connection would wait behind a transaction.
  return metrics_->dbConnected.Value() ? CentralDatabaseState::Connected : CentralDatabaseState::Disconnected;
}

void TfMain::OnDBThreadTerminate() {
  restartDbTimer_.expires_after(RestartDBDelay);
  restartDbTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || closed_) return;
    if (dbWriter_ && !dbWriter_->Running()) {
      dbWriter_->Stop();
      CreateMobThread();
    }
  });
}

void TfMain::StartReconTimer() {
  if (Settings.ReconInterval <= 0) return;
  reconTimer_.expires_after(std::chrono::milliseconds(Settings.ReconInterval));
  reconTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec || closed_) return;
    ReconTimerTimer();
    StartReconTimer();
  });
}

void TfMain::ReconTimerTimer() {
  try {
    if (dataPipe_.Active()) {
      dataChannel_->SetPipe(nullptr);
      dataPipe_.SetActive(false);
    }
    dataPipe_.SetActive(true);
    dataChannel_->SetPipe(&dataPipe_);
  } catch (const std::exception&) {
    log_.Append("Exception when reconnecting clients");
  }
}

void TfMain::StartTimerFree() {
  freeTimer_.expires_after(FreeInterval);
  freeTimer_.async_wait([this](const asio::error_code& ec) {
    if (ec) return;
    // Gives freed heap pages back to the system; long runs otherwise keep their peak.
    // Off unless asked for: on a large heap the trim stalls other threads' allocations.
    malloc_trim(0);
    StartTimerFree();
  });
}

void TfMain::OpenLogFile() {
  if (Settings.LogFile.empty() || logFile_) return;
  // The lines logged so far, without the empty line the log starts with.
  std::vector<std::string> earlier = log_.Lines();
  if (!earlier.empty() && earlier.front().empty()) earlier.erase(earlier.begin());
  try {
    logFile_ = std::make_unique<LogFile>(log_, Settings.LogFile, earlier);
  } catch (const std::system_error& e) {
    log_.Append(e.what());
    return;
  }
  hangup_.add(SIGHUP);
  WaitForHangup();
}

void TfMain::WaitForHangup() {
  hangup_.async_wait([this](const asio::error_code& ec, int) {
    if (ec) return;
    // logrotate has moved the file away: the lines go on in a new one.
    logFile_->Reopen();
    WaitForHangup();
  });
}

void TfMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  // First, so that no request reads what the steps below take apart.
  admin_.reset();
  hangup_.cancel();
  reconTimer_.cancel();
  restartDbTimer_.cancel();
  freeTimer_.cancel();
  expiryTimer_.cancel();

  try {
    dataPipe_.SetActive(false);
    commandPipe_.SetActive(false);
  } catch (const std::exception&) {
  }
  if (dataChannel_) dataChannel_->SetPipe(nullptr);

  if (dbWriter_) dbWriter_->Stop();
  pipeFeeder_.reset();
  if (dataChannel_) dataChannel_->Stop();
  if (centralDb_) centralDb_->Close();
  dbWriter_.reset();
  // What it handed the writer and was not stored comes again from the stream.
  if (dbFeeder_) dbFeeder_->Stop();
  dbFeeder_.reset();
  Mobiles.Clear();

  // Closing the listener ends every terminal connection with its own end lines.
  if (terminalServer_) terminalServer_->Stop();
  terminalServer_.reset();
  // After the connections, so that their last records are published too.
  if (stream_) stream_->Stop();
  stream_.reset();
  MobilesToStream.Clear();
  dataChannel_.reset();
  MobilesToSend.Clear();
  dm_.Close();
  sharedTasks_.Close();
}

}  // namespace telvaro
