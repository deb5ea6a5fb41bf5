#include "shell/TuiFrontEnd.h"

#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <langinfo.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <clocale>
#include <csignal>
#include <cstring>
#include <cwchar>
#include <exception>
#include <stdexcept>

namespace telvaro {
namespace {

constexpr std::array FatalSignals = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// What it takes to give the terminal back from a signal handler or a termination:
// only memory filled in beforehand and async-signal-safe calls. Process-wide, as the
// terminal is; one window at a time owns it.
struct RestoreState {
  int fd = -1;
  bool haveTermios = false;
  termios saved{};
  char sequence[256] = {};
  std::size_t sequenceSize = 0;
  std::array<struct sigaction, FatalSignals.size()> previous{};
  std::terminate_handler previousTerminate = nullptr;
};
RestoreState restore;
std::atomic<bool> windowExists{false};

void RestoreTerminal() noexcept {
  if (restore.fd < 0) return;
  if (restore.sequenceSize) [[maybe_unused]] auto n = write(restore.fd, restore.sequence, restore.sequenceSize);
  if (restore.haveTermios) tcsetattr(restore.fd, TCSANOW, &restore.saved);
}

extern "C" void OnFatalSignal(int sig) {
  RestoreTerminal();
  // Hand the signal on to whoever had it before (the default action, or a sanitizer).
  for (std::size_t i = 0; i < FatalSignals.size(); ++i)
    if (FatalSignals[i] == sig) sigaction(sig, &restore.previous[i], nullptr);
  raise(sig);
}

void OnTerminate() {
  RestoreTerminal();
  if (restore.previousTerminate) restore.previousTerminate();
  std::abort();
}

// Appends a terminfo string capability, if the terminal has one without padding.
void AddCapability(const char* name) {
  const char* s = tigetstr(name);
  if (s == nullptr || s == reinterpret_cast<char*>(-1) || std::strstr(s, "$<")) return;
  const std::size_t n = std::strlen(s);
  if (restore.sequenceSize + n > sizeof restore.sequence) return;
  std::memcpy(restore.sequence + restore.sequenceSize, s, n);
  restore.sequenceSize += n;
}

// Log lines are UTF-8 whatever the environment says; ncurses needs a UTF-8 character
// type to draw them.
std::string UseUtf8Locale() {
  std::string previous = std::setlocale(LC_CTYPE, nullptr);
  const char* chosen = std::setlocale(LC_CTYPE, "");
  if (chosen == nullptr || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0)
    std::setlocale(LC_CTYPE, "C.UTF-8");
  return previous;
}

/// One character of a line with the columns it takes.
struct Cell {
  wchar_t ch;
  int width;
};

// Decodes UTF-8 for drawing; bytes that are not UTF-8 and characters that cannot be
// drawn become "?".
void Decode(std::string_view s, std::vector<Cell>& cells) {
  cells.clear();
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
    bool ok = len > 0 && i + len <= s.size();
    for (int k = 1; ok && k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      ok = (c & 0xC0) == 0x80;
      cp = (cp << 6) | (c & 0x3F);
    }
    int width = ok ? wcwidth(static_cast<wchar_t>(cp)) : -1;
    if (width < 0) {
      cp = U'?';
      width = 1;
    }
    cells.push_back({static_cast<wchar_t>(cp), width});
    i += ok ? len : 1;
  }
}

// Draws `text` at (y, x) within `width` columns, leaving out its first `skip` columns.
void Put(int y, int x, std::string_view text, int width, int skip = 0) {
  static thread_local std::vector<Cell> cells;
  static thread_local std::wstring out;
  Decode(text, cells);
  out.clear();
  int col = 0;
  int used = 0;
  for (const Cell& c : cells) {
    if (col < skip) {
      col += c.width;
      continue;
    }
    if (used + c.width > width) break;
    out += c.ch;
    used += c.width;
  }
  if (!out.empty()) mvaddnwstr(y, x, out.c_str(), static_cast<int>(out.size()));
}

int Columns(std::string_view text) {
  static thread_local std::vector<Cell> cells;
  Decode(text, cells);
  int n = 0;
  for (const Cell& c : cells) n += c.width;
  return n;
}

// Splits `text` into lines of at most `width` columns, at line ends and blanks where it can.
std::vector<std::string> Wrap(std::string_view text, int width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t nl = text.find('\n', start);
    std::string_view rest = text.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
    while (Columns(rest) > width) {
      // The longest prefix that fits, ended at a blank when there is one.
      std::size_t cut = 0, blank = 0;
      for (std::size_t i = 1; i <= rest.size(); ++i) {
        if (i < rest.size() && (static_cast<unsigned char>(rest[i]) & 0xC0) == 0x80) continue;
        if (Columns(rest.substr(0, i)) > width) break;
        cut = i;
        if (i < rest.size() && rest[i] == ' ') blank = i;
      }
      if (blank > 0) cut = blank;
      if (cut == 0) cut = 1;
      lines.emplace_back(rest.substr(0, cut));
      rest.remove_prefix(cut);
      if (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    }
    lines.emplace_back(rest);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return lines;
}

}  // namespace

struct TuiFrontEnd::Screen {
  SCREEN* screen = nullptr;
  std::string previousLocale;

  explicit Screen(const TuiTerminal& terminal) {
    previousLocale = UseUtf8Locale();
    const int fd = fileno(terminal.out);
    restore.fd = fd;
    restore.haveTermios = tcgetattr(fd, &restore.saved) == 0;
    restore.sequenceSize = 0;
    screen = newterm(terminal.type, terminal.out, terminal.in);
    if (screen == nullptr) {
      restore.fd = -1;
      std::setlocale(LC_CTYPE, previousLocale.c_str());
      throw std::runtime_error("The terminal cannot show the operator window");
    }
    set_term(screen);
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    // Leave attributes, keypad mode and the alternate screen, and show the cursor.
    for (const char* cap : {"sgr0", "rmkx", "cnorm", "rmcup"}) AddCapability(cap);

    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_NODEFER;
    for (std::size_t i = 0; i < FatalSignals.size(); ++i)
      sigaction(FatalSignals[i], &action, &restore.previous[i]);
    restore.previousTerminate = std::set_terminate(OnTerminate);
  }

  ~Screen() {
    std::set_terminate(restore.previousTerminate);
    for (std::size_t i = 0; i < FatalSignals.size(); ++i)
      sigaction(FatalSignals[i], &restore.previous[i], nullptr);
    set_term(screen);
    endwin();
    delscreen(screen);
    restore.fd = -1;
    std::setlocale(LC_CTYPE, previousLocale.c_str());
  }
};

TuiFrontEnd::TuiFrontEnd(asio::io_context& io, OperatorLog& log, std::function<void()> onClose,
                         TuiTerminal terminal)
    : log_(log), onClose_(std::move(onClose)), timer_(io) {
  if (windowExists.exchange(true)) throw std::logic_error("There is already an operator window");
  try {
    screen_ = std::make_unique<Screen>(terminal);
  } catch (...) {
    windowExists = false;
    throw;
  }
  Tick();
}

TuiFrontEnd::~TuiFrontEnd() {
  timer_.cancel();
  screen_.reset();
  windowExists = false;
}

void TuiFrontEnd::ShowMessage(std::string text) {
  messages_.push_back(std::move(text));
  dirty_ = true;
}

void TuiFrontEnd::Tick() {
  wint_t key = 0;
  for (int r; (r = wget_wch(stdscr, &key)) != ERR;) HandleKey(r, static_cast<unsigned>(key));
  if (dirty_ || log_.Version() != drawnVersion_) Draw();
  timer_.expires_after(FrameInterval);
  timer_.async_wait([this](const asio::error_code& ec) {
    if (!ec) Tick();
  });
}

void TuiFrontEnd::HandleKey(int result, unsigned key) {
  const bool function = result == KEY_CODE_YES;
  if (function ? key == static_cast<unsigned>(KEY_F(10)) : key == 'q' || key == 'Q') {
    // Posted, so that the owner may destroy the window from the callback.
    if (!closeCalled_) asio::post(timer_.get_executor(), onClose_);
    closeCalled_ = true;
    return;
  }
  const long page = std::max(1, LogRows() - 1);
  if (function) {
    switch (key) {
      case KEY_UP: Scroll(-1); break;
      case KEY_DOWN: Scroll(1); break;
      case KEY_PPAGE: Scroll(-page); break;
      case KEY_NPAGE: Scroll(page); break;
      case KEY_HOME: Scroll(-static_cast<long>(total_)); break;
      case KEY_END: Scroll(static_cast<long>(total_)); break;
      case KEY_LEFT: column_ = std::max(0, column_ - 8); break;
      case KEY_RIGHT: column_ = std::min(column_ + 8, 4096); break;
      case KEY_ENTER: if (!messages_.empty()) messages_.pop_front(); break;
      default: break;  // KEY_RESIZE among them: ncurses has the new size, a redraw follows
    }
  } else if (key == '\r' || key == '\n' || key == ' ' || key == 27) {
    if (!messages_.empty()) messages_.pop_front();
  }
  dirty_ = true;
}

void TuiFrontEnd::Scroll(long delta) {
  const auto rows = static_cast<std::size_t>(LogRows());
  const std::size_t last = total_ > rows ? total_ - rows : 0;
  const long from = static_cast<long>(follow_ ? last : std::min(top_, last));
  top_ = static_cast<std::size_t>(std::clamp(from + delta, 0L, static_cast<long>(last)));
  follow_ = top_ == last;
  dirty_ = true;
}

int TuiFrontEnd::LogRows() const { return std::max(0, getmaxy(stdscr) - 3); }

void TuiFrontEnd::Draw() {
  // The version is read first: a change made while drawing is drawn on the next tick.
  drawnVersion_ = log_.Version();
  dirty_ = false;
  const int rows = getmaxy(stdscr);
  const int cols = getmaxx(stdscr);
  erase();

  const int logRows = LogRows();
  const std::size_t count = log_.LineCount();
  const std::size_t last = count > static_cast<std::size_t>(logRows) ? count - logRows : 0;
  if (!follow_ && top_ >= last) follow_ = true;  // the log was emptied under the view
  const std::size_t first = follow_ ? last : top_;
  total_ = log_.CopyLines(first, static_cast<std::size_t>(logRows), visible_);

  attron(A_REVERSE);
  mvhline(0, 0, ' ', cols);
  Put(0, std::max(0, (cols - Columns(Title)) / 2), Title, cols);
  if (!follow_) {
    const std::string where = "line " + std::to_string(first + 1) + "/" + std::to_string(total_) + " ";
    const int w = Columns(where);
    if (w < cols) Put(0, cols - w, where, w);
  }
  attroff(A_REVERSE);
  if (rows > 1) Put(1, 0, log_.Label(), cols);
  for (std::size_t i = 0; i < visible_.size(); ++i) Put(2 + static_cast<int>(i), 0, visible_[i], cols, column_);

  if (rows > 2) {
    // Panel widths keep the proportions of the original status bar.
    static constexpr std::array<int, OperatorLog::PanelCount> Weights = {150, 200, 150, 150, 150};
    constexpr int WeightSum = 800;
    attron(A_REVERSE);
    mvhline(rows - 1, 0, ' ', cols);
    int start = 0, sum = 0;
    for (int p = 0; p < OperatorLog::PanelCount; ++p) {
      sum += Weights[p];
      const int end = cols * sum / WeightSum;
      const bool lastPanel = p + 1 == OperatorLog::PanelCount;
      Put(rows - 1, start, log_.Panel(p), end - start - (lastPanel ? 0 : 1));
      if (!lastPanel && end - 1 >= 0 && end - 1 < cols) mvaddch(rows - 1, end - 1, '|');
      start = end;
    }
    attroff(A_REVERSE);
  }

  if (!messages_.empty() && cols >= 8 && rows >= 5) {
    const int inner = std::min(cols - 4, 60);
    const std::vector<std::string> text = Wrap(messages_.front(), inner);
    int width = 4;  // room for "OK"
    for (const auto& line : text) width = std::max(width, Columns(line));
    const int shown = std::min(static_cast<int>(text.size()), rows - 4);
    const int h = shown + 4, w = width + 4;
    const int y = (rows - h) / 2, x = (cols - w) / 2;
    for (int r = 0; r < h; ++r) mvhline(y + r, x, ' ', w);
    mvaddch(y, x, ACS_ULCORNER);
    mvhline(y, x + 1, ACS_HLINE, w - 2);
    mvaddch(y, x + w - 1, ACS_URCORNER);
    mvvline(y + 1, x, ACS_VLINE, h - 2);
    mvvline(y + 1, x + w - 1, ACS_VLINE, h - 2);
    mvaddch(y + h - 1, x, ACS_LLCORNER);
    mvhline(y + h - 1, x + 1, ACS_HLINE, w - 2);
    mvaddch(y + h - 1, x + w - 1, ACS_LRCORNER);
    for (int r = 0; r < shown; ++r) Put(y + 1 + r, x + 2, text[r], width);
    attron(A_REVERSE);
    Put(y + h - 2, x + (w - 4) / 2, " OK ", 4);
    attroff(A_REVERSE);
  }

  wnoutrefresh(stdscr);
  doupdate();
}

}  // namespace telvaro
