#include "base/Settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string_view>

#include <fmt/format.h>

#include "base/IniFile.h"
#include "base/ProgramFiles.h"

namespace telvaro {

TSettings Settings;

namespace {

// The largest file block one command frame carries: its 16-bit payload length less the
// payload's 10 head bytes and the block's 12 header bytes.
constexpr std::int32_t MaxBlkSize = 65535 - 10 - 12;

/// An ODBC attribute value, braced when it holds characters the syntax reserves.
std::string OdbcValue(const std::string& v) {
  if (v.find_first_of(";{}=") == std::string::npos && (v.empty() || v.front() != ' ')) return v;
  std::string r = "{";
  for (char c : v) {
    r += c;
    if (c == '}') r += '}';
  }
  return r + "}";
}

bool IsLibpqKeyword(std::string_view key) {
  static constexpr std::string_view Keywords[] = {
      "host", "hostaddr", "port", "dbname", "user", "password", "passfile", "service", "options",
      "connect_timeout", "client_encoding", "application_name", "fallback_application_name",
      "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count", "tcp_user_timeout",
      "channel_binding", "sslmode", "requiressl", "sslcompression", "sslcert", "sslkey", "sslpassword",
      "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "ssl_min_protocol_version", "ssl_max_protocol_version",
      "requirepeer", "gssencmode", "krbsrvname", "gsslib", "target_session_attrs", "replication"};
  return std::find(std::begin(Keywords), std::end(Keywords), key) != std::end(Keywords);
}

/// True when an ODBC key that names the driver or data source starts the string or
/// follows a ';' or a blank.
bool NamesOdbcSource(std::string_view s) {
  std::size_t start = 0;
  while (start < s.size()) {
    const std::size_t eq = s.find('=', start);
    if (eq == std::string_view::npos) break;
    const std::size_t sep = s.find_last_of("; \t", eq);
    const std::size_t keyStart = sep == std::string_view::npos || sep < start ? start : sep + 1;
    const std::string key = IniFile::Lower(IniFile::Trim(s.substr(keyStart, eq - keyStart)));
    if (key == "driver" || key == "dsn" || key == "filedsn") return true;
    start = eq + 1;
  }
  return false;
}

std::string ResolveDir(std::string value, const std::string& programDir) {
  std::replace(value.begin(), value.end(), '\\', '/');
  if (value.empty() || value == "/") return programDir;
  if (value.front() == '/') return value;
  return programDir + value;
}

}  // namespace

DbClient ProviderClient(std::string_view provider) {
  const std::string_view p = IniFile::Trim(provider);
  if (p.starts_with("postgresql://") || p.starts_with("postgres://")) return DbClient::Libpq;
  const std::size_t eq = p.find('=');
  if (eq == std::string_view::npos || !IsLibpqKeyword(IniFile::Trim(p.substr(0, eq)))) return DbClient::Odbc;
  return NamesOdbcSource(p) ? DbClient::Odbc : DbClient::Libpq;
}

std::optional<DbLogin> LoadSettings(const std::string& iniFileName, const std::string& programDir,
                                    TSettings& s) {
  IniFile ini(iniFileName);
  s = TSettings{};
  s.ProgramDir = programDir.empty() || programDir.back() == '/' ? programDir : programDir + '/';

  std::optional<DbLogin> login;
  s.NoBase = ini.ReadBool("DB", "NoBase", false);
  const std::string provider = ini.ReadString("DB", "Provider", "");
  const std::int32_t winAuth = ini.ReadInt("DB", "WinAuth", 0);
  // Read whether used or not: a key that is read is a known key.
  const std::string user = ini.ReadString("DB", "User", "sa");
  const std::string password = ini.ReadString("DB", "Password", "");
  if (!s.NoBase) {
    DbLogin l;
    l.client = ProviderClient(provider);
    l.connectionString = provider;
    if (l.client == DbClient::Libpq) {
      // The process's own account is libpq's default login (peer, GSSAPI or a
      // password file); otherwise User and Password, unless the string names its own.
      if (winAuth != 1) {
        l.user = user;
        l.password = password;
      }
    } else {
      std::string& conn = l.connectionString;
      if (!conn.empty() && conn.back() != ';') conn += ';';
      if (winAuth == 1) {
        conn += "Trusted_Connection=Yes";
      } else {
        conn += "UID=" + OdbcValue(user) + ";PWD=" + OdbcValue(password);
      }
    }
    login = std::move(l);
  }
  s.ReconnectSec = static_cast<std::int32_t>(ini.ReadInt64("DB", "ReconnectSec", 10, 1, 86400));
  s.QueueLimit = static_cast<std::int32_t>(ini.ReadInt64("DB", "QueueLimit", 1000000, 1, INT32_MAX));
  s.TimeoutSec = static_cast<std::int32_t>(ini.ReadInt64("DB", "TimeoutSec", 30, 1, 86400));

  s.Port = ini.ReadInt("Server", "Port", 4001);
  s.PipeChannel = ini.ReadString("Server", "PipeChannel", "TelvaroPipe");
  s.CmdChannel = ini.ReadString("Server", "CmdChannel", "CmdPipe");
  s.ThreadTimeout = ini.ReadInt("Server", "ThreadTimeout", 5);
  s.BLK_SIZE = ini.ReadInt("Server", "BLK_SIZE", 1024);
  // Larger blocks could never be sent.
  if (s.BLK_SIZE < 1 || s.BLK_SIZE > MaxBlkSize) {
    s.Notes.push_back(fmt::format("BLK_SIZE {} is outside 1 to {}, using 1024", s.BLK_SIZE, MaxBlkSize));
    s.BLK_SIZE = 1024;
  }
  s.DelayBeforeCmd = ini.ReadInt("Server", "DelayBeforeCmd", 2000);
  s.SendAfterAVL = ini.ReadBool("Server", "SendAfterAVL", true);
  s.EventsToDB = ini.ReadString("Server", "EventsToDB", "150");
  s.IOThreads = static_cast<std::int32_t>(ini.ReadInt64("Server", "IOThreads", 0, 0, 1024));
  s.PipeDir = ini.ReadString("Server", "PipeDir", "/tmp");
  if (const auto mode = ini.Find("Server", "PipeMode")) {
    char* end = nullptr;
    errno = 0;
    const unsigned long m = std::strtoul(mode->c_str(), &end, 8);
    if (!mode->empty() && *end == '\0' && errno == 0 && m <= 07777) s.PipeMode = static_cast<std::uint32_t>(m);
    else ini.NoteValue("Server", "PipeMode", fmt::format("is not an octal file mode; using {:04o}", s.PipeMode));
  }
  s.PipeQueueLimit = static_cast<std::uint64_t>(
      ini.ReadInt64("Server", "PipeQueueLimit", 256ll << 20, 65536, INT64_MAX / 2));
  s.PipeMessageLimit = static_cast<std::uint64_t>(
      ini.ReadInt64("Server", "PipeMessageLimit", 64ll << 20, 65536, INT64_MAX / 2));
  s.FrameTimeoutSec = static_cast<std::int32_t>(ini.ReadInt64("Server", "FrameTimeoutSec", 300, 0, 86400));
  s.Identify = ini.ReadBool("Server", "Identify", false);
  s.ReconInterval = static_cast<std::int32_t>(ini.ReadInt64("Server", "ReconInterval", 600000, 0, INT32_MAX));
  s.TrimMemory = ini.ReadBool("Server", "TrimMemory", false);
  s.ProxyProtocol = ini.ReadBool("Server", "ProxyProtocol", false);

  s.Store = IniFile::Lower(IniFile::Trim(ini.ReadString("Tasks", "Store", "sqlite")));
  if (s.Store != "sqlite" && s.Store != "postgresql") {
    ini.NoteValue("Tasks", "Store", "is neither sqlite nor postgresql; using sqlite");
    s.Store = "sqlite";
  }
  s.Connection = ini.ReadString("Tasks", "Connection", "");
  s.LeaseSec = static_cast<std::int32_t>(ini.ReadInt64("Tasks", "LeaseSec", 60, 5, 86400));
  s.CommandTTLSec = static_cast<std::int32_t>(ini.ReadInt64("Tasks", "CommandTTLSec", 0, 0, INT32_MAX));

  if (std::string f = ini.ReadString("Server", "LogFile", ""); !f.empty())
    s.LogFile = f.front() == '/' ? std::move(f) : s.ProgramDir + f;

  s.HttpAddress = ini.ReadString("Http", "Address", "127.0.0.1");
  s.HttpPort = static_cast<std::int32_t>(ini.ReadInt64("Http", "Port", 4002, 0, 65535));
  s.HttpToken = ini.ReadString("Http", "Token", "");

  s.StreamUrl = ini.ReadString("Stream", "Url", "");
  s.StreamSubject = ini.ReadString("Stream", "Subject", "telvaro");
  s.StreamName = ini.ReadString("Stream", "Name", "TELVARO");
  s.StreamMaxAgeHours = static_cast<std::int32_t>(ini.ReadInt64("Stream", "MaxAgeHours", 168, 1, 24 * 365 * 100));
  s.StreamQueueLimit =
      static_cast<std::int32_t>(ini.ReadInt64("Stream", "QueueLimit", 1000000, 1, INT32_MAX));
  s.StreamDbConsumer = ini.ReadString("Stream", "DbConsumer", "dbwriter");
  s.StreamPipeFromStream = ini.ReadBool("Stream", "PipeFromStream", false);

  s.DownloadDir = ResolveDir(ini.ReadString("FILES", "Dir", "\\"), s.ProgramDir);

  s.EntitiesToPrint = ini.ReadString("Entities", "EntitiesToPrint", "");
  std::string_view rest = s.EntitiesToPrint;
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view item = IniFile::Trim(rest.substr(0, comma));
    const auto n = IniFile::ParseInt(item);
    if (n && *n >= 1 && *n <= 255) s.EntitiesToPrintList.push_back(static_cast<int>(*n));
    else ini.NoteValue("Entities", "EntitiesToPrint", fmt::format("leaves out \"{}\": not an element number 1 to 255", item));
    rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
  }
  s.iButtonNum = ini.ReadInt("Entities", "iButtonNum", 78);
  s.CounterNum = ini.ReadInt("Entities", "CounterNum", 105);
  s.TimeLastPos = ini.ReadInt("Entities", "TimeLastPos", 106);
  s.ModeNum = ini.ReadInt("Entities", "ModeNum", 30);

  if (const auto sep = ini.Find("Regional", "DecimalSeparator"); sep && !sep->empty())
    s.DecimalSeparator = sep->front();
  if (const auto f = ini.Find("Regional", "ShortDateFormat"); f && !f->empty()) s.ShortDateFormat = *f;
  if (const auto f = ini.Find("Regional", "LongTimeFormat"); f && !f->empty()) s.LongTimeFormat = *f;

  // The values replaced go first, in reading order, then what nothing read.
  std::vector<std::string> notes = ini.Notes();
  notes.insert(notes.end(), s.Notes.begin(), s.Notes.end());
  for (auto& n : ini.UnknownNotes()) notes.push_back(std::move(n));
  s.Notes = std::move(notes);
  return login;
}

void LoadBlackList(const std::string& programDir, std::vector<std::string>& list) {
  list.clear();
  // Lines are taken whole: blanks and empty lines are entries too.
  ReadProgramFileLines(programDir, "blacklist.txt", [&](std::string& line) { list.push_back(line); });
}

}  // namespace telvaro
