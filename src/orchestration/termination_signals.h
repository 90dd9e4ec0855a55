#pragma once

#include <QObject>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace vexal {

// Termination signals (SIGINT, SIGTERM, SIGHUP) turned into a Qt signal on the main
// thread: the handler only writes the signal's number to a socket, which a notifier
// reads in the event loop (nothing else is async-signal-safe). One at a time per
// process; destroying it restores the default handlers.
class TerminationSignals : public QObject {
  Q_OBJECT
 public:
  explicit TerminationSignals(std::initializer_list<int> signalNumbers, QObject* parent = nullptr);
  ~TerminationSignals() override;

  // False when the socket could not be made: the signals keep their default action.
  bool isInstalled() const { return notifier_ != nullptr; }

 signals:
  void received(int signalNumber);

 private:
  void drain();

  std::vector<int> numbers_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace vexal
