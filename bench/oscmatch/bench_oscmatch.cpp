// Time one received datagram costs: unpacking it and matching its address,
// taken as a pattern, against the three remote-control addresses, for
// patterns made as expensive as a datagram can carry. Goal: under 1 ms each.
// Build with -DCUEWELL_BENCH=ON -DCMAKE_BUILD_TYPE=Release.
#include "app/Errors.h"
#include "osc/OSCUtils.h"

#include <QRandomGenerator>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

// The largest address a UDP datagram can carry: 65,507 bytes of payload less
// the type tags (4) and the address's own zero and padding (up to 4).
constexpr qsizetype MaxAddress = 65507 - 8;

const QString Targets[] = {QStringLiteral("/cuewell/go"), QStringLiteral("/cuewell/next"),
                           QStringLiteral("/cuewell/previous")};

QString Fill(const QString& head, const QString& unit, const QString& tail) {
    QString s = head;
    while ((s + unit + tail).toUtf8().size() <= MaxAddress)
        s += unit;
    return s + tail;
}

// Distinct alternatives of printable ASCII, shortest first.
QString DistinctAlternatives(const QString& head, const QString& tail) {
    QString body;
    for (int length = 1; length <= 3; ++length) {
        const int count = length == 1 ? 94 : length == 2 ? 94 * 94 : 94 * 94 * 94;
        for (int k = 0; k < count; ++k) {
            QString alternative;
            for (int d = 0, v = k; d < length; ++d, v /= 94) {
                QChar c(u'!' + v % 94);
                // Keep the braces and the comma out of the alternatives.
                if (c == u',' || c == u'{' || c == u'}')
                    c = u'a';
                alternative += c;
            }
            if (head.size() + body.size() + alternative.size() + 1 + tail.size() > MaxAddress)
                return head + body + tail;
            body += alternative + u',';
        }
    }
    return head + body + tail;
}

struct Shape {
    const char* name;
    QString pattern;
};

std::vector<Shape> Shapes() {
    QString set;
    for (char16_t c = 0x100; set.toUtf8().size() < MaxAddress - 8; ++c)
        set += QChar(c);
    QString random;
    QRandomGenerator generator(12345);
    const char16_t alphabet[] = u"*?[]{},!-/cuewlgonxtpri";
    while (random.size() < MaxAddress)
        random += QChar(alphabet[generator.bounded(int(std::size(alphabet)) - 1)]);
    return {
        {"*{,,,...}", Fill(u"*{"_qs, u","_qs, u"}"_qs)},
        {"*{,,,} repeated", Fill(QString(), u"*{,,,}"_qs, QString())},
        {"*{distinct alternatives}", DistinctAlternatives(u"*{"_qs, u"}"_qs)},
        {"*{/cuewell/go,...} repeated", Fill(u"*{"_qs, u"/cuewell/go,"_qs, u"}"_qs)},
        {"*{c,u,e,...}* repeated", Fill(QString(), u"*{c,u,e,w,l,/,g,o}"_qs, QString())},
        {"*[large set]", u"*["_qs + set + u"]"_qs},
        {"*[a-b...] ranges", Fill(u"*["_qs, u"a-b"_qs, u"]"_qs)},
        {"*[!large set]", u"*[!"_qs + set + u"]"_qs},
        {"*[set] repeated", Fill(QString(), u"*[cuewl/]"_qs, QString())},
        {"*e alternating", Fill(QString(), u"*e"_qs, QString())},
        {"? repeated", Fill(QString(), u"?"_qs, QString())},
        {"literal a repeated", Fill(QString(), u"a"_qs, QString())},
        {"random wildcards", random.left(MaxAddress)},
    };
}

QByteArray Datagram(const QString& pattern) {
    return TOSCMessage(pattern).ToOSCBytes();
}

double Microseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// CPU time of this thread: unlike the wall clock, not stretched when the
// machine's other work preempts the benchmark.
double ThreadMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

} // namespace

// Optional argument: run only the shapes whose name contains it.
int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    constexpr int Runs = 200;
    std::printf("One datagram: unpack, then match its address against %s, %s, %s.\n"
                "Microseconds over %d runs, wall clock (and this thread's CPU time);\n"
                "goal: under 1000 each.\n",
                qPrintable(Targets[0]), qPrintable(Targets[1]), qPrintable(Targets[2]), Runs);
    std::printf("%-30s %6s %8s %8s %8s %8s %8s %7s\n", "pattern", "bytes", "median", "p99", "max",
                "cpu med", "cpu p99", "matches");
    for (const Shape& shape : Shapes()) {
        if (argc > 1 && !std::strstr(shape.name, argv[1]))
            continue;
        const QByteArray bytes = Datagram(shape.pattern);
        if (bytes.size() > 65507) {
            std::printf("%-30s does not fit a datagram (%d bytes)\n", shape.name,
                        int(bytes.size()));
            continue;
        }
        std::vector<double> us, cpu;
        int matches = 0;
        for (int run = 0; run < Runs; ++run) {
            const double c0 = ThreadMicroseconds();
            const auto t0 = Clock::now();
            auto packet = TOSCPacket::Unpack(bytes);
            int found = 0;
            for (const QString& target : Targets) {
                if (packet->MatchAddress(target))
                    ++found;
                packet->Unmatch();
            }
            us.push_back(Microseconds(Clock::now() - t0));
            cpu.push_back(ThreadMicroseconds() - c0);
            matches = found;
        }
        std::sort(us.begin(), us.end());
        std::sort(cpu.begin(), cpu.end());
        std::printf("%-30s %6d %8.1f %8.1f %8.1f %8.1f %8.1f %7d\n", shape.name, int(bytes.size()),
                    us[us.size() / 2], us[us.size() * 99 / 100], us.back(), cpu[cpu.size() / 2],
                    cpu[cpu.size() * 99 / 100], matches);
    }
    return 0;
}
