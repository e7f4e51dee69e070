// The system log, where each stamped line goes at debug priority when a log
// daemon listens at /dev/log: "the debugger channel" on Linux.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "platform/linux.h"

namespace platform {
namespace {

// Where the tool's trace goes: the system log, when a log daemon listens.
// Each record waits until the daemon has room for it, as syslog(3) does,
// so that a daemon that reads gets every line.  The run holds its files
// locked all the while, so the waiting of the whole run is bounded: once a
// wait runs out, the daemon is taken for stalled and what it does not take
// at once is dropped from then on, as the system log itself drops records
// under load.
constexpr int64_t kTraceBudgetNs = 1000 * 1000 * 1000;  // 1 s

struct Log {
  int fd = -1;          // -1 when no daemon listens
  bool stream = false;  // a stream socket, whose records end with a NUL
  int64_t budget = kTraceBudgetNs;  // what is left of the waiting
};

int64_t MonotonicNs() {
  struct timespec now;
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Waits until |log| can take more, within what is left of its budget;
// false once the budget is spent or the daemon is gone.
bool WaitForRoom(Log* log) {
  while (log->budget > 0) {
    struct pollfd socket = {log->fd, POLLOUT, 0};
    const int64_t start = MonotonicNs();
    const int ready =
        poll(&socket, 1, static_cast<int>((log->budget + 999999) / 1000000));
    log->budget -= MonotonicNs() - start;
    if (ready > 0)
      return (socket.revents & POLLOUT) != 0;
    if (ready == 0 || errno != EINTR)
      log->budget = 0;
  }
  return false;
}

// Sends one record whole, or drops it.
void Send(Log* log, std::string_view record) {
  size_t sent = 0;
  while (sent < record.size()) {
    const ssize_t n = send(log->fd, record.data() + sent, record.size() - sent,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0 && !log->stream)
      return;
    if (n >= 0)
      sent += static_cast<size_t>(n);
    else if (errno != EINTR && !(errno == EAGAIN && WaitForRoom(log)))
      break;
  }
  // A stream that took only part of a record would run it into the next
  // one: the rest of the run goes unlogged instead.
  if (log->stream && sent > 0 && sent < record.size()) {
    (void)close(log->fd);
    log->fd = -1;
  }
}

// Most daemons take datagrams; one that listens on a stream socket refuses
// them with EPROTOTYPE, and then, as the C library does, we connect again
// by stream.
Log OpenLog() {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, _PATH_LOG, sizeof(addr.sun_path) - 1);
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return Log();
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) ==
        0)
      return Log{fd, type == SOCK_STREAM, kTraceBudgetNs};
    const int error = errno;
    close(fd);
    if (error != EPROTOTYPE)
      return Log();
  }
  return Log();
}

}  // namespace

void Trace(std::string_view line) {
  static Log log = OpenLog();
  static std::string record;
  if (log.fd < 0)
    return;
  // The classic format, <facility and priority>identity: text, without a
  // time: the daemon stamps each record as it takes it, in its own time
  // zone, whatever the run's environment says.
  char head[16];
  const int len = snprintf(head, sizeof(head), "<%d>", LOG_USER | LOG_DEBUG);
  record.assign(head, len > 0 ? static_cast<size_t>(len) : 0);
  record += ProgramName();
  record += ": ";
  // What a debugger would show of the line: up to its first NUL byte.
  record += line.substr(0, line.find('\0'));
  if (log.stream)
    record += '\0';
  Send(&log, record);
}

}  // namespace platform
