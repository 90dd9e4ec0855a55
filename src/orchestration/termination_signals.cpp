#include "orchestration/termination_signals.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace vexal {
namespace {

int gSocket[2] = {-1, -1};  // written by the handler, read on the main thread

void onSignal(int number) {
  // A signal may land between any call and its errno check on the main thread.
  const int savedErrno = errno;
  const auto byte = static_cast<unsigned char>(number);
  // A full socket drops the repeat, which changes nothing.
  [[maybe_unused]] const auto written = ::write(gSocket[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent), numbers_(signalNumbers) {
  if (gSocket[0] >= 0 ||
      ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSocket) != 0)
    return;
  notifier_ = std::make_unique<QSocketNotifier>(gSocket[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::drain);
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : numbers_) sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  if (!notifier_) return;
  for (int number : numbers_) std::signal(number, SIG_DFL);
  notifier_.reset();
  ::close(gSocket[0]);
  ::close(gSocket[1]);
  gSocket[0] = gSocket[1] = -1;
}

void TerminationSignals::drain() {
  unsigned char bytes[16];
  const auto count = ::read(gSocket[0], bytes, sizeof bytes);
  for (ssize_t i = 0; i < count; ++i) emit received(bytes[i]);
}

}  // namespace vexal
