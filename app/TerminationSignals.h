#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (logout, shutdown, Ctrl+C in a terminal)
// into a Qt signal on the thread that made this object, so the program can
// close as if the operator had chosen Exit and save what it holds. While the
// object lives it owns those signals; at most one may exist.
class TTerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TTerminationSignals(QObject* parent = nullptr);
    ~TTerminationSignals() override;

signals:
    void Requested(int signalNumber);

private:
    void Drain();

    int FPipe[2] = {-1, -1};
    QSocketNotifier* FNotifier = nullptr;
};
