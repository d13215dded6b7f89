// Operations per second for building and serialising the cue bundle, and for
// unpacking and decoding it, beside liblo and oscpack on the same packets and
// in the same run. Build with -DCUEWELL_BENCH=ON -DCMAKE_BUILD_TYPE=Release.
#include "app/Errors.h"
#include "bench/common/Goal.h"
#include "osc/OSCUtils.h"

#include <lo/lo.h>
#include <lo/lo_lowlevel.h>
#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define CUEWELL_CALLGRIND 1
#endif

namespace {

template <class T> void Keep(const T& value) {
    asm volatile("" : : "r,m"(value) : "memory");
}

using Op = std::function<void()>;

// This thread's CPU time: unlike the wall clock, it does not count the time
// other programs on a busy machine hold the CPU.
double ThreadNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
}

struct Figure {
    double median = 0; // nanoseconds per call
    double p99 = 0;
};

// Nanoseconds per call of each of Ops (thread CPU time), timed in
// interleaved batches of about 2 ms so that a busy machine slows all of them
// alike: the median and the 99th percentile over the batches.
std::vector<Figure> Measure(const std::vector<Op>& ops) {
    constexpr int Batches = 201;
    std::vector<long> batch(ops.size(), 1000);
    for (size_t i = 0; i < ops.size(); ++i) {
        for (int k = 0; k < 20000; ++k)
            ops[i]();
        while (true) {
            const double t0 = ThreadNanoseconds();
            for (long k = 0; k < batch[i]; ++k)
                ops[i]();
            if (ThreadNanoseconds() - t0 > 2e6)
                break;
            batch[i] *= 2;
        }
    }
    std::vector<std::vector<double>> ns(ops.size());
    for (int run = 0; run < Batches; ++run) {
        for (size_t i = 0; i < ops.size(); ++i) {
            const double t0 = ThreadNanoseconds();
            for (long k = 0; k < batch[i]; ++k)
                ops[i]();
            ns[i].push_back((ThreadNanoseconds() - t0) / double(batch[i]));
        }
    }
    std::vector<Figure> figures;
    for (auto& v : ns) {
        std::sort(v.begin(), v.end());
        figures.push_back({v[v.size() / 2], v[v.size() * 99 / 100]});
    }
    return figures;
}

void Row(const char* what, const Figure& ours, const Figure* liblo, const Figure& oscpack) {
    std::printf("%-30s ours %6.1f / %6.1f ns", what, ours.median, ours.p99);
    if (liblo)
        std::printf("  liblo %6.1f / %6.1f ns (%4.2f x)", liblo->median, liblo->p99,
                    ours.median / liblo->median);
    else
        std::printf("  liblo            n/a           ");
    std::printf("  oscpack %6.1f / %6.1f ns (%4.2f x)\n", oscpack.median, oscpack.p99,
                ours.median / oscpack.median);
}

#ifdef CUEWELL_CALLGRIND
// Under callgrind (run with --collect-atstart=no): the instructions of
// Calls runs of each op, one dump per op named after it, so that figures
// from a busy machine can be checked against counts that do not depend on
// it. Returns false when not running under valgrind.
bool CountInstructions(const std::vector<std::pair<const char*, Op>>& ops) {
    if (!RUNNING_ON_VALGRIND)
        return false;
    constexpr int Calls = 10000;
    for (const auto& [name, op] : ops) {
        for (int k = 0; k < 100; ++k)
            op();
        CALLGRIND_TOGGLE_COLLECT;
        for (int k = 0; k < Calls; ++k)
            op();
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(name);
    }
    std::printf("instructions of %d calls of each op dumped per op\n", Calls);
    return true;
}
#endif

} // namespace

int main() {
    const QString address = QStringLiteral("/sound/go");
    const QByteArray argument("5");
    const char* path = "/sound/go";

    // --- Encoding --------------------------------------------------------
    const Op oursBundle = [&] {
        auto message = std::make_unique<TOSCMessage>(address);
        message->AddString(argument);
        TOSCBundle bundle;
        bundle.Add(std::move(message));
        const QByteArray bytes = bundle.ToOSCBytes();
        Keep(bytes.constData()[20]);
    };
    const Op libloBundle = [&] {
        char buffer[256];
        size_t size = sizeof buffer;
        lo_message message = lo_message_new();
        lo_message_add_string(message, "5");
        lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
        lo_bundle_add_message(bundle, path, message);
        lo_bundle_serialise(bundle, buffer, &size);
        Keep(buffer[20]);
        lo_bundle_free_recursive(bundle);
    };
    const Op oscpackBundle = [&] {
        char buffer[256];
        osc::OutboundPacketStream stream(buffer, sizeof buffer);
        stream << osc::BeginBundleImmediate << osc::BeginMessage(path) << "5" << osc::EndMessage
               << osc::EndBundle;
        Keep(stream.Data()[20]);
    };

    const Op oursMessage = [&] {
        TOSCMessage message(address);
        message.AddString(argument);
        const QByteArray bytes = message.ToOSCBytes();
        Keep(bytes.constData()[12]);
    };
    const Op libloMessage = [&] {
        char buffer[256];
        size_t size = sizeof buffer;
        lo_message message = lo_message_new();
        lo_message_add_string(message, "5");
        lo_message_serialise(message, path, buffer, &size);
        Keep(buffer[12]);
        lo_message_free(message);
    };
    const Op oscpackMessage = [&] {
        char buffer[256];
        osc::OutboundPacketStream stream(buffer, sizeof buffer);
        stream << osc::BeginMessage(path) << "5" << osc::EndMessage;
        Keep(stream.Data()[12]);
    };

    // --- Decoding --------------------------------------------------------
    TOSCBundle sample;
    {
        auto message = std::make_unique<TOSCMessage>(address);
        message->AddString(argument);
        sample.Add(std::move(message));
    }
    const QByteArray bundleBytes = sample.ToOSCBytes();
    const QByteArray messageBytes = bundleBytes.mid(20);

    const Op oursReadBundle = [&] {
        const TOSCBundle bundle = TOSCBundle::Unpack(bundleBytes);
        auto* message = static_cast<TOSCMessage*>(bundle.Packet(0));
        message->Decode();
        Keep(message->ArgumentData(0).data()[0]);
    };
    const Op oscpackReadBundle = [&] {
        osc::ReceivedPacket packet(bundleBytes.constData(),
                                   osc::osc_bundle_element_size_t(bundleBytes.size()));
        osc::ReceivedBundle bundle(packet);
        osc::ReceivedMessage message(*bundle.ElementsBegin());
        Keep(message.ArgumentsBegin()->AsString()[0]);
    };

    const Op oursReadMessage = [&] {
        TOSCMessage message = TOSCMessage::Unpack(messageBytes);
        message.Decode();
        Keep(message.ArgumentData(0).data()[0]);
    };
    QByteArray libloInput = messageBytes; // lo_message_deserialise takes a non-const pointer
    const Op libloReadMessage = [&] {
        int result = 0;
        lo_message message = lo_message_deserialise(libloInput.data(), libloInput.size(), &result);
        Keep(lo_message_get_argv(message)[0]->s);
        lo_message_free(message);
    };
    const Op oscpackReadMessage = [&] {
        osc::ReceivedPacket packet(messageBytes.constData(),
                                   osc::osc_bundle_element_size_t(messageBytes.size()));
        osc::ReceivedMessage message(packet);
        Keep(message.ArgumentsBegin()->AsString()[0]);
    };

#ifdef CUEWELL_CALLGRIND
    if (CountInstructions({{"ours-build-bundle", oursBundle},
                           {"liblo-build-bundle", libloBundle},
                           {"oscpack-build-bundle", oscpackBundle},
                           {"ours-build-message", oursMessage},
                           {"liblo-build-message", libloMessage},
                           {"oscpack-build-message", oscpackMessage},
                           {"ours-read-bundle", oursReadBundle},
                           {"oscpack-read-bundle", oscpackReadBundle},
                           {"ours-read-message", oursReadMessage},
                           {"liblo-read-message", libloReadMessage},
                           {"oscpack-read-message", oscpackReadMessage}}))
        return 0;
#endif

    const std::vector<Figure> bundle = Measure({oursBundle, libloBundle, oscpackBundle});
    const std::vector<Figure> message = Measure({oursMessage, libloMessage, oscpackMessage});
    const std::vector<Figure> readBundle = Measure({oursReadBundle, oscpackReadBundle});
    const std::vector<Figure> readMessage =
        Measure({oursReadMessage, libloReadMessage, oscpackReadMessage});

    std::printf("OSC packets, /sound/go \"5\": message %d bytes, cue bundle %d bytes.\n"
                "Thread CPU time per call, median / 99th percentile of 201 interleaved "
                "batches; (x) = ours / theirs, medians\n",
                int(messageBytes.size()), int(bundleBytes.size()));
    Row("build + serialise cue bundle", bundle[0], &bundle[1], bundle[2]);
    Row("build + serialise message", message[0], &message[1], message[2]);
    Row("unpack + decode cue bundle", readBundle[0], nullptr, readBundle[1]);
    Row("unpack + decode message", readMessage[0], &readMessage[1], readMessage[2]);
    std::printf("(liblo has no public bundle reader)\n");
    PrintGoal("osc-encode-bundle-x-liblo", bundle[0].median / bundle[1].median, 1);
    PrintGoal("osc-encode-message-x-liblo", message[0].median / message[1].median, 1);
    PrintGoal("osc-decode-message-x-liblo", readMessage[0].median / readMessage[1].median, 1);
    PrintGoal("osc-decode-message-x-oscpack", readMessage[0].median / readMessage[2].median, 2);
    PrintGoal("osc-decode-bundle-x-oscpack", readBundle[0].median / readBundle[1].median, 2);
    return 0;
}
