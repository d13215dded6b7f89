// oscmonitor PORT [PORT...]: listens for UDP on each port (all IPv4
// addresses) and prints every OSC datagram that arrives, one line per
// message, until interrupted. Lets an operator check a target set-up without
// a sound or lighting console.
#include "tools/oscmonitor/MonitorFormat.h"

#include <QCoreApplication>
#include <QNetworkDatagram>
#include <QTextStream>
#include <QUdpSocket>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);

    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains(u"-h"_qs) || args.contains(u"--help"_qs)) {
        err << "Usage: oscmonitor PORT [PORT...]\n"
               "Prints every OSC datagram that arrives on the UDP ports, one line per "
               "message:\n"
               "arrival time, port, bundle time tag, address, type tags, arguments.\n";
        return args.isEmpty() ? 2 : 0;
    }

    std::vector<std::unique_ptr<QUdpSocket>> sockets;
    for (const QString& arg : args) {
        bool ok = false;
        const uint port = arg.toUInt(&ok);
        if (!ok || port == 0 || port > 65535) {
            err << "oscmonitor: '" << arg << "' is not a UDP port (1 to 65535)\n";
            return 2;
        }
        auto socket = std::make_unique<QUdpSocket>();
        if (!socket->bind(QHostAddress::AnyIPv4, quint16(port))) {
            err << "oscmonitor: cannot listen on port " << port << ": " << socket->errorString()
                << "\n";
            return 1;
        }
        QUdpSocket* s = socket.get();
        QObject::connect(s, &QUdpSocket::readyRead, s, [s, port, &out] {
            while (s->hasPendingDatagrams()) {
                const QNetworkDatagram datagram = s->receiveDatagram();
                const QStringList lines =
                    DescribeDatagram(quint16(port), datagram.data(), QDateTime::currentDateTime());
                for (const QString& line : lines)
                    out << line << '\n';
                out.flush();
            }
        });
        sockets.push_back(std::move(socket));
    }
    err << "oscmonitor: listening on UDP port" << (args.size() > 1 ? "s " : " ")
        << args.join(u", "_qs) << "\n";
    err.flush();
    return app.exec();
}
