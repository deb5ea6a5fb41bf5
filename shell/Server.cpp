#include "shell/Server.h"

#include <malloc.h>

#include <chrono>
#include <stdexcept>
#include <string_view>

#include "files/KeyFile.h"
#include "records/Events.h"
#include "base/Settings.h"
#include "shell/Configuration.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;

constexpr auto RestartDBDelay = 100ms;
constexpr auto FreeInterval = 20s;

// The year of the build, from the compiler's date ("Mmm dd yyyy").
constexpr std::string_view BuildYear = std::string_view(__DATE__).substr(7, 4);

/// The pipe servers' options as the settings give them.
TPipeOptions PipeOptions(const TSettings& s) { return {s.PipeDir, s.PipeMode, s.PipeQueueLimit}; }

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
      programDir_(std::move(programDir)),
      showMessage_(std::move(showMessage)),
      PS(loop),
      CS(loop),
      ReconTimer(loop),
      TimerRestartDB(loop),
      TimerFree(loop) {
  PS.SetPipeName("TelvaroPipe");
  CS.SetPipeName("CmdPipe");
  PS.SetReport(&log_);
  CS.SetReport(&log_);
}

TfMain::~TfMain() { FormClose(); }

bool TfMain::FormCreate() {
  try {
    if (DB) DB->Close();
    log_.Append(Banner());
    log_.Append("Initialization begins");

    dbLogin_ = LoadSettings(programDir_ + "telvaroserver.ini", programDir_);
    log_.Append("Settings loaded");
    for (const auto& note : Settings.Notes) log_.Append(note);
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

    FIsClosed = false;
    if (!Settings.NoBase) {
      DB = MakeCentralDatabase(dbLogin_->client, std::chrono::seconds(Settings.TimeoutSec));
      CreateMobThread();
    }
    CreateClientsThread();

    env.log = &log_;
    env.store = &dm_;
    env.files = &files_;
    IdServer = std::make_unique<TerminalServer>(env);
    // A port number past 16 bits would otherwise be cut to another, unrelated port.
    if (Settings.Port < 0 || Settings.Port > 65535)
      throw std::out_of_range("Could not listen at port " + std::to_string(Settings.Port) +
                              ": not a TCP port number");
    IdServer->Start(static_cast<std::uint16_t>(Settings.Port), Settings.IOThreads);
  } catch (const std::exception& e) {
    showMessage_(e.what());
    return false;
  }

  if (IdServer->Active())
    log_.SetLabel("Port " + std::to_string(IdServer->Port()) + " for Krestel is ready to use.");

  if (Settings.NoBase) {
    log_.SetPanel(0, "No database");
  } else {
    try {
      DB->Open(*dbLogin_);
    } catch (const std::exception&) {
      log_.Append("Could not connect to database");
      log_.SetPanel(0, "No database");
    }
    if (DB->Connected()) {
      log_.Append("Connected to database");
      log_.SetPanel(0, "DB:" + DB->DatabaseName());
    }
  }

  dm_.Close();
  try {
    dm_.Open(Settings.ProgramDir + "upd_sw.mdb", ReportFormatOf(Settings));
  } catch (const std::exception&) {
  }
  log_.Append(dm_.IsOpen() ? "DB for transmiting files opened" : "DB for transmiting files inaccessible");

  if (!Settings.PipeChannel.empty()) {
    try {
      PS.SetOptions(PipeOptions(Settings));
      PS.SetPipeName(Settings.PipeChannel);
      AttachDataPipeHandlers(PS, log_, [this] { return FIsClosed; });
      PS.SetActive(true);
      ClientsThread->SetPipe(&PS);
    } catch (const std::exception&) {
      log_.Append("Could not create pipe channel " + Settings.PipeChannel);
      log_.SetPanel(1, "No pipe channels");
    }
    if (PS.Active()) {
      log_.Append("Pipe server started OK, channel " + Settings.PipeChannel);
      log_.SetPanel(1, "Data: " + Settings.PipeChannel);
      StartReconTimer();
    }
  }

  if (!Settings.CmdChannel.empty()) {
    try {
      CS.SetOptions(PipeOptions(Settings));
      CS.SetPipeName(Settings.CmdChannel);
      commandChannel_ = std::make_unique<TCommandChannel>(
          dm_, [&dm = dm_](std::string_view r) { return dm.GetFuelReport(r); }, log_,
          TCommandOptions{Settings.BLK_SIZE, Settings.DownloadDir});
      commandChannel_->Attach(CS);
      CS.SetActive(true);
    } catch (const std::exception&) {
      log_.Append("Could not create command pipe channel " + Settings.CmdChannel);
      log_.SetPanel(1, "No command channels");
    }
    if (CS.Active()) {
      log_.Append("Command server started OK, channel " + Settings.CmdChannel);
      log_.SetPanel(1, log_.Panel(1) + " Cmd: " + Settings.CmdChannel);
    }
  }

  log_.SetPanel(4, "Version : " + CurrentFileInfo());

  if (IdServer->Active() && CS.Active()) {
    log_.Append("Server started successfully at " +
                FormatDateTime(Settings.ShortDateFormat + " " + Settings.LongTimeFormat, NowLocal()));
  } else {
    log_.Append("There was some errors during initialization process. Server is ready to work, but can be unstable.");
  }
  return true;
}

void TfMain::CreateMobThread() {
  MobThread = std::make_unique<TMobilesThread>(*DB, Mobiles, Settings);
  MobThread->SetReport(&log_);
  // The end handler runs on the writer's own thread: it only hands over to the loop.
  MobThread->SetOnTerminate([this] { asio::post(loop_, [this] { OnDBThreadTerminate(); }); });
  MobThread->Start();
}

void TfMain::CreateClientsThread() {
  ClientsThread = std::make_unique<TClientsThread>(MobilesToSend);
  ClientsThread->SetReport(&log_);
  ClientsThread->Start();
}

void TfMain::OnDBThreadTerminate() {
  TimerRestartDB.expires_after(RestartDBDelay);
  TimerRestartDB.async_wait([this](const asio::error_code& ec) {
    if (ec || FIsClosed) return;
    if (MobThread && !MobThread->Running()) {
      MobThread->Stop();
      CreateMobThread();
    }
  });
}

void TfMain::StartReconTimer() {
  if (Settings.ReconInterval <= 0) return;
  ReconTimer.expires_after(std::chrono::milliseconds(Settings.ReconInterval));
  ReconTimer.async_wait([this](const asio::error_code& ec) {
    if (ec || FIsClosed) return;
    ReconTimerTimer();
    StartReconTimer();
  });
}

void TfMain::ReconTimerTimer() {
  try {
    if (PS.Active()) {
      ClientsThread->SetPipe(nullptr);
      PS.SetActive(false);
    }
    PS.SetActive(true);
    ClientsThread->SetPipe(&PS);
  } catch (const std::exception&) {
    log_.Append("Exception when reconnecting clients");
  }
}

void TfMain::StartTimerFree() {
  TimerFree.expires_after(FreeInterval);
  TimerFree.async_wait([this](const asio::error_code& ec) {
    if (ec) return;
    // Gives freed heap pages back to the system; long runs otherwise keep their peak.
    // Off unless asked for: on a large heap the trim stalls other threads' allocations.
    malloc_trim(0);
    StartTimerFree();
  });
}

void TfMain::FormClose() {
  if (FIsClosed) return;
  FIsClosed = true;
  ReconTimer.cancel();
  TimerRestartDB.cancel();
  TimerFree.cancel();

  try {
    PS.SetActive(false);
    CS.SetActive(false);
  } catch (const std::exception&) {
  }
  if (ClientsThread) ClientsThread->SetPipe(nullptr);

  if (MobThread) MobThread->Stop();
  if (ClientsThread) ClientsThread->Stop();
  if (DB) DB->Close();
  MobThread.reset();
  Mobiles.Clear();

  // Closing the listener ends every terminal connection with its own end lines.
  if (IdServer) IdServer->Stop();
  IdServer.reset();
  ClientsThread.reset();
  MobilesToSend.Clear();
  dm_.Close();
}

}  // namespace telvaro
