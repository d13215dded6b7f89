#pragma once

// Host names looked up on a thread of their own. A name service can take
// milliseconds when it answers and seconds when it does not; on the thread
// that fires cues that would hold up the next GO or autoplay tick. Look-ups
// run one at a time, in the order asked; each answer comes back as a queued
// call on the receiver's thread, and never after the receiver is gone.

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QObject;

class TNameLookup {
public:
    // The IPv4 address of a name (host byte order); raises CuewellError when
    // there is none. UdpClient::ResolveIPv4 unless replaced.
    using Resolver = std::function<uint32_t(const QString&)>;
    // On the receiver's thread: the address, or the error's text.
    using Answer = std::function<void(bool found, uint32_t address, const QString& error)>;

    explicit TNameLookup(QObject* receiver);
    // Never waits for a look-up in progress: its answer is dropped.
    ~TNameLookup();
    TNameLookup(const TNameLookup&) = delete;
    TNameLookup& operator=(const TNameLookup&) = delete;

    void Ask(const QString& name, Answer answer);
    // Replaces the look-up for look-ups started from now on, so that a test
    // can see where, when and how names are looked up.
    void SetResolver(Resolver resolver);

private:
    struct TShared;
    std::shared_ptr<TShared> FShared;
};
