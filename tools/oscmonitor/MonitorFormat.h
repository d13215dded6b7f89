#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

// One line per OSC message in a datagram: arrival time, port, the time tag of
// the bundle around it, address, type tags and arguments. Bytes that cannot
// be read give one line that says why, with the first bytes in hex.
QStringList DescribeDatagram(quint16 port, const QByteArray& bytes, const QDateTime& arrival);

// An OSC time tag (seconds since 1900) as text: "immediate" for the time tag
// 1, otherwise a UTC date and time.
QString DescribeTimeTag(double seconds);
